#include "mail/smtp_client.h"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <stdexcept>
#include <vector>

#include "common/domain_name.h"
#include "common/scope_exit.h"
#include "mail/smtp_text.h"
#include "platform/text_codec.h"

namespace qw {

namespace {

constexpr int kQuitWaitSeconds = 5;

}  // namespace

TDeliveryResult TDeliveryResult::FailedAt(TSmtpStep step, int64_t code, std::string text,
                                          const std::string& recipient) {
  TDeliveryResult result;
  result.status = Status::Failure(SmtpStepWord(step, recipient), code, std::move(text));
  result.step = step;
  return result;
}

// ---- client ----

const TSMTPClient::TStateRow TSMTPClient::kStates[] = {
    {ssGreeting, TSmtpStep::Greeting, TSends::Nothing, nullptr, &TSMTPClient::OnGreeting},
    {ssTls, TSmtpStep::Tls, TSends::Handshake, nullptr, nullptr},
    {ssEhlo, TSmtpStep::Ehlo, TSends::Command, &TSMTPClient::EhloCommand, &TSMTPClient::OnEhlo},
    {ssHelo, TSmtpStep::Helo, TSends::Command, &TSMTPClient::HeloCommand, &TSMTPClient::OnHelo},
    {ssStartTls, TSmtpStep::StartTls, TSends::Command, &TSMTPClient::StartTlsCommand, &TSMTPClient::OnStartTls},
    {ssAuth, TSmtpStep::Auth, TSends::Command, &TSMTPClient::AuthCommand, &TSMTPClient::OnAuth},
    {ssAuthAnswer, TSmtpStep::Auth, TSends::Command, &TSMTPClient::AuthAnswerCommand, &TSMTPClient::OnAuth},
    {ssRset, TSmtpStep::Rset, TSends::Command, &TSMTPClient::RsetCommand, &TSMTPClient::OnRset},
    {ssMail, TSmtpStep::Mail, TSends::Command, &TSMTPClient::MailCommand, &TSMTPClient::OnMail},
    {ssRcpt, TSmtpStep::Rcpt, TSends::Command, &TSMTPClient::RcptCommand, &TSMTPClient::OnRcpt},
    {ssData, TSmtpStep::Data, TSends::Command, &TSMTPClient::DataCommand, &TSMTPClient::OnData},
    {ssText, TSmtpStep::EndOfData, TSends::MessageText, nullptr, &TSMTPClient::OnText},
    {ssQuit, TSmtpStep::Quit, TSends::Command, &TSMTPClient::QuitCommand, &TSMTPClient::OnQuit},
};

const TSMTPClient::TStateRow& TSMTPClient::RowOf(TSmtpState state) {
  for (const TStateRow& row : kStates)
    if (row.state == state) return row;
  throw std::logic_error("SMTP state without a row");  // ssReady and ssFailed run nothing
}

namespace {

// The talk's code for the exchange of a state: any code but tsNone will do.
TTalkStep TalkStepOf(int state) { return state + 1; }

}  // namespace

TSMTPClient::TSMTPClient(std::string name, MessageLoop& loop, std::unique_ptr<ClientSocket> socket)
    : Name(std::move(name)) {
  auto tls = std::make_unique<TlsSocket>(std::move(socket));
  FTls = tls.get();
  FTalk = std::make_unique<TSocketTalk>(this, loop, std::move(tls));
  // The end of a handshake ends the wait of Handshake (or, with TLS from the
  // first byte, a failure ends the wait for the greeting).
  FTls->OnTlsReady = [this] {
    FLink.tlsDone = true;
    if (FState == ssTls) FTalk->CancelWait();
  };
  FTls->OnTlsFailed = [this](const Status& failure) {
    FLink.tlsFailure = failure;
    FLink.noQuit = true;  // no clear-text word follows a failed handshake
    FTalk->CancelWait();
  };
  FTalk->KeepReplyText = false;  // the reader keeps what it needs, bounded
  FTalk->SetCancelFlag(&FCancel);
  FTalk->OnPieceReceived = [this](TSocketTalk&, TTalkStep, bool&, const std::string& piece) { FReader.Feed(piece); };
  // The wait ends at a complete reply or a protocol error; the state's
  // handler judges what came.
  FTalk->OnCheckComplete = [this](TSocketTalk&, TTalkStep, const std::string&) {
    return FReader.HasReply() || FReader.Failed();
  };
  FTalk->OnReplyComplete = [](TSocketTalk&, TTalkStep step, bool& succeeded, const std::string&) {
    if (step != tsNone) succeeded = true;
  };
  FTalk->OnFailure = [this](TSocketTalk& talk, TTalkStep, TTalkError error) {
    FLink.talkError = error;
    FLink.talkErrorCode = talk.LastErrorCode();
    talk.CancelWait();
  };
  FTalk->OnConnectionClosed = [this](TSocketTalk&) {
    FLink.greeted = false;
    FLink.peerClosed = true;
  };
  FTalk->Socket().OnConnect = [this] {
    FLink.socketConnected = true;
    if (Security == TSmtpSecurity::Tls) FTls->StartTls(TlsOptions{HostWithoutBrackets(Host), TlsVerify});
  };
}

TSMTPClient::~TSMTPClient() = default;

void TSMTPClient::Fail(const char* suffix) const { throw std::runtime_error(Name + suffix); }

void TSMTPClient::CheckText(const std::string& text) const {
  if (text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) Fail(": Invalid character in address");
}

void TSMTPClient::RequestCancel() {
  FCancel.store(true);
  FTalk->Wake();  // the waiting loop looks at the flag
}

std::string TSMTPClient::GreetingName() {
  ClientSocket& socket = FTalk->Socket();
  return GreetingNameFor(socket.LocalHostName(), socket.LocalAddressText());
}

std::string TSMTPClient::TimeOutText(int seconds, bool inAll) const {
  return "time-out after " + std::to_string(seconds) + " s" + (inAll ? " in all" : "");
}

TSmtpStep TSMTPClient::StepOf(TSmtpState state) const {
  if (state == ssGreeting) {
    if (!FLink.socketConnected) return TSmtpStep::Connect;
    if (Security == TSmtpSecurity::Tls && !FLink.tlsDone) return TSmtpStep::Tls;
  }
  return RowOf(state).step;
}

std::string TSMTPClient::RecipientOf(TSmtpState state) const {
  if (state != ssRcpt || FMail.nextRecipient >= FMail.recipients.size()) return "";
  return FMail.recipients[FMail.nextRecipient];
}

// ---- the commands ----

std::string TSMTPClient::EhloCommand() const { return "EHLO " + FLink.heloName + "\r\n"; }
std::string TSMTPClient::HeloCommand() const { return "HELO " + FLink.heloName + "\r\n"; }
std::string TSMTPClient::StartTlsCommand() const { return "STARTTLS\r\n"; }
std::string TSMTPClient::AuthCommand() const { return AuthCommandLine(FLink.auth); }
std::string TSMTPClient::AuthAnswerCommand() const { return FLink.auth.answers[FLink.nextAnswer] + "\r\n"; }
std::string TSMTPClient::RsetCommand() const { return "RSET\r\n"; }
std::string TSMTPClient::MailCommand() const { return "MAIL FROM:<" + FMail.from + ">\r\n"; }
std::string TSMTPClient::RcptCommand() const { return "RCPT TO:<" + FMail.recipients[FMail.nextRecipient] + ">\r\n"; }
std::string TSMTPClient::DataCommand() const { return "DATA\r\n"; }
std::string TSMTPClient::QuitCommand() const { return "QUIT\r\n"; }

// ---- the run ----

bool TSMTPClient::Run(TSmtpState state) {
  while (state != ssReady && state != ssFailed) {
    FState = state;
    if (CancelRequested()) {
      state = Failed(state, 0, "cancelled by stop");
      break;
    }
    if (FTalk->DeadlinePassed()) {
      state = Failed(state, 0, TimeOutText(Deadline, true));
      break;
    }
    const TStateRow& row = RowOf(state);
    if (row.sends == TSends::Handshake) {
      state = Handshake();
      continue;
    }
    TSmtpReply reply;
    if (!SendFor(row) || !AwaitReply(state, &reply)) {
      state = ssFailed;
      break;
    }
    if (row.sends == TSends::MessageText) FLink.dataOpen = false;  // answered: the server reads commands again
    state = (this->*row.judge)(reply);
  }
  FState = state;
  return state == ssReady;
}

bool TSMTPClient::SendFor(const TStateRow& row) {
  if (row.sends == TSends::Nothing) return true;  // the greeting comes unasked
  FLink.talkError = teNone;  // a failure while sending counts as much as one while waiting
  FLink.talkErrorCode = 0;
  if (!FTalk->Socket().Active()) {
    Failed(row.state, 0, "connection closed by the server");
    return false;
  }
  if (row.sends == TSends::MessageText) {
    FLink.dataOpen = true;
    FTalk->SetSendPacketSize(PacketSize);
    FTalk->SendText(FMail.text, "\r\n", TalkStepOf(row.state));
    return true;
  }
  const std::string command = (this->*row.command)();
  if (OnCommand) OnCommand(Mask().Apply(MaskedCommand(command, row.state == ssAuthAnswer)));
  FTalk->SendText(command, "\r\n", TalkStepOf(row.state));
  return true;
}

bool TSMTPClient::AwaitReply(TSmtpState state, TSmtpReply* reply) {
  if (FReader.HasReply() || FReader.Failed()) {
    FTalk->CancelWait();  // it is here already
  } else {
    FTalk->WaitReply();
  }
  if (!FLink.tlsFailure.Ok()) {
    FLink.noQuit = true;
    FStatus = FLink.tlsFailure;  // What() "TLS"
    FStep = TSmtpStep::Tls;
    return false;
  }
  if (FReader.HasReply()) {
    *reply = FReader.TakeReply();
    if (OnReply) {
      for (const std::string& line : reply->lines) OnReply(Mask().Apply(line));
    }
    return true;
  }
  if (FReader.Failed()) {
    FLink.noQuit = true;  // the server speaks no SMTP we know: no more words
    Failed(state, 0, FReader.ErrorText());
    return false;
  }
  Failed(state, 0, WaitFailureText());
  return false;
}

std::string TSMTPClient::AttemptText() {
  // Only while connecting, and only when it tells more than the host does:
  // the address a name stood for, and how many were tried.
  if (FState != ssGreeting || FLink.socketConnected) return "";
  ClientSocket& socket = FTalk->Socket();
  const int count = socket.AttemptCount();
  IpAddress address, given;
  if (count <= 0 || !ParseHostLiteral(socket.AttemptAddressText(), &address)) return "";
  if (count == 1 && ParseHostLiteral(Host, &given) && given == address) return "";
  std::string text = address.BracketedText();
  if (count > 1) text += " (the last of " + std::to_string(count) + " addresses tried)";
  return text + ": ";
}

std::string TSMTPClient::WaitFailureText() {
  std::string text;
  switch (FLink.talkError) {
    case teTimeOut: text = AttemptText() + TimeOutText(FTalk->TimeOut(), false); break;
    case teDeadline:
      FLink.noQuit = true;
      text = TimeOutText(Deadline, true);
      break;
    case teCancelled:
      FLink.noQuit = true;
      text = "cancelled by stop";
      break;
    case teNone: text = FLink.peerClosed ? "connection closed by the server" : "no reply"; break;
    default:
      text = AttemptText() +
             (FLink.talkErrorCode != 0 ? FTalk->Socket().ErrorDescription(FLink.talkErrorCode) : "socket error");
      break;
  }
  return text;
}

TSMTPClient::TSmtpState TSMTPClient::Handshake() {
  FLink.tlsDone = false;
  FLink.tlsFailure = Status();
  FLink.talkError = teNone;
  FLink.talkErrorCode = 0;
  FTalk->ExpectReply(TalkStepOf(ssTls));  // the silence time-out bounds the handshake
  // The server may have closed right after its 220 (the close can be told
  // before the handshake begins): nothing would ever answer.
  if (FTalk->Socket().Active()) FTls->StartTls(TlsOptions{HostWithoutBrackets(Host), TlsVerify});
  if (!FLink.tlsDone && FLink.tlsFailure.Ok() && FTalk->Socket().Active()) FTalk->WaitReply();
  FTalk->CancelWait();
  if (!FLink.tlsFailure.Ok()) {
    FStatus = FLink.tlsFailure;
    FStep = TSmtpStep::Tls;
    return ssFailed;
  }
  if (!FLink.tlsDone) {
    FLink.noQuit = true;  // a half-done handshake leaves no channel for QUIT
    if (FLink.talkError == teNone && !FLink.peerClosed && !FTalk->Socket().Active()) FLink.peerClosed = true;
    return Failed(ssTls, 0, WaitFailureText());
  }
  // RFC 3207 4.2: everything learned before TLS is forgotten.
  FReader.Clear();
  FLink.extensions = TSmtpExtensions();
  return ssEhlo;
}

TSMTPClient::TSmtpState TSMTPClient::Failed(TSmtpState state, int64_t code, std::string text) {
  // The text may end in an event entry: whatever a server echoes back of
  // the login is masked there too.
  FStep = StepOf(state);
  FStatus = Status::Failure(SmtpStepWord(FStep, RecipientOf(state)), code, Mask().Apply(text));
  return ssFailed;
}

TSMTPClient::TSmtpState TSMTPClient::Refused(TSmtpState state, const TSmtpReply& reply) {
  if (reply.code == 421) FLink.noQuit = true;  // the server is closing the connection
  return Failed(state, reply.code, reply.finalLine);
}

// ---- the handlers ----

TSMTPClient::TSmtpState TSMTPClient::OnGreeting(const TSmtpReply& reply) {
  if (reply.code != 220) return Refused(ssGreeting, reply);
  FLink.heloName = GreetingName();
  return ssEhlo;
}

TSMTPClient::TSmtpState TSMTPClient::OnEhlo(const TSmtpReply& reply) {
  if (reply.code == 250) {
    FLink.extensions = TSmtpExtensions::Parse(reply);
    return AfterGreetingWords();
  }
  // RFC 5321 4.1.4: a server that does not know EHLO (500 unrecognised,
  // 502 not implemented) may still take HELO, unless the settings need an
  // extension (STARTTLS, AUTH); any other refusal is the server's answer to
  // this client and stands.
  bool needsExtension = (Security == TSmtpSecurity::StartTls && !FTls->Encrypted()) || !User.empty();
  if ((reply.code == 500 || reply.code == 502) && !needsExtension) return ssHelo;
  return Refused(ssEhlo, reply);
}

TSMTPClient::TSmtpState TSMTPClient::OnHelo(const TSmtpReply& reply) {
  if (reply.code != 250) return Refused(ssHelo, reply);
  FLink.extensions = TSmtpExtensions();
  return AfterGreetingWords();
}

TSMTPClient::TSmtpState TSMTPClient::AfterGreetingWords() {
  if (Security == TSmtpSecurity::StartTls && !FTls->Encrypted()) {
    if (!FLink.extensions.startTls) return Failed(ssStartTls, 0, "the server does not offer STARTTLS");
    return ssStartTls;
  }
  if (User.empty()) return ssReady;
  if (!FTls->Encrypted() && Security != TSmtpSecurity::None) {
    return Failed(ssAuth, 0, "the connection is not encrypted");  // never reached: TLS came first
  }
  return StartAuth();
}

TSMTPClient::TSmtpState TSMTPClient::StartAuth() {
  // A bearer token goes only by the mechanisms made for it, a password
  // only by the others.
  const bool bearer = !BearerToken.empty();
  const TSaslMechanism* chosen = nullptr;
  std::string known;
  for (const TSaslMechanism& mechanism : SaslMechanisms()) {
    if (mechanism.bearer != bearer) continue;
    known += std::string(known.empty() ? "" : " nor") + " AUTH " + mechanism.name;
    if (!chosen && FLink.extensions.OffersAuth(mechanism.name)) chosen = &mechanism;
  }
  if (!chosen) return Failed(ssAuth, 0, "the server offers neither" + known);
  // RFC 4616 and RFC 4954: the login travels as UTF-8. A name or password
  // that does not convert whole is not sent in part.
  TSaslLogin login;
  if (!SjisToUtf8Exact(User, &login.user))
    return Failed(ssAuth, 0, "the user name is not Shift-JIS text and cannot be sent as UTF-8");
  if (bearer) {
    // A token is visible ASCII (the token client holds it to that); a
    // control byte would end the SASL message early.
    for (char c : BearerToken)
      if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7F)
        return Failed(ssAuth, 0, "the access token holds a byte that is no visible ASCII character");
    login.bearerToken = BearerToken;
    login.host = HostWithoutBrackets(Host);
    login.port = Port;
  } else if (!SjisToUtf8Exact(Password, &login.password)) {
    return Failed(ssAuth, 0, "the password is not Shift-JIS text and cannot be sent as UTF-8");
  }
  FLink.auth = chosen->start(login);
  FLink.nextAnswer = 0;
  FLink.bearerAuth = bearer;
  FLink.challenge.clear();
  FLink.passwordInClear = !FTls->Encrypted();
  return ssAuth;
}

TSMTPClient::TSmtpState TSMTPClient::OnStartTls(const TSmtpReply& reply) {
  if (reply.code != 220) return Refused(ssStartTls, reply);
  // Bytes after the 220 came before TLS and would be taken as if they came
  // through it (a man in the middle injecting commands): none may be there.
  if (FReader.Buffered() > 0 || FReader.HasReply() || FTalk->Socket().PendingLength() > 0) {
    FLink.noQuit = true;
    return Failed(ssStartTls, 0, "data after the reply to STARTTLS");
  }
  return ssTls;
}

TSMTPClient::TSmtpState TSMTPClient::OnAuth(const TSmtpReply& reply) {
  if (FState == ssAuthAnswer) ++FLink.nextAnswer;  // that answer has been read
  if (reply.code == 235) return ssReady;
  // A bearer token refused: the challenge says why; it is answered so that
  // the server ends the exchange with its final reply.
  if (reply.code == 334 && FLink.bearerAuth && FLink.challenge.empty()) {
    const std::string& line = reply.finalLine;
    FLink.challenge = BearerChallengeText(line.size() > 4 ? line.substr(4) : "");
  }
  // A challenge: the mechanism's next answer, while it has one.
  if (reply.code == 334 && FLink.nextAnswer < FLink.auth.answers.size()) return ssAuthAnswer;
  if (!FLink.challenge.empty()) {
    if (reply.code == 421) FLink.noQuit = true;
    return Failed(FState, reply.code, reply.finalLine + " (" + FLink.challenge + ")");
  }
  return Refused(FState, reply);
}

TSMTPClient::TSmtpState TSMTPClient::OnRset(const TSmtpReply& reply) {
  if (reply.code != 250) return Refused(ssRset, reply);
  FLink.openTransaction = false;
  return ssMail;
}

TSMTPClient::TSmtpState TSMTPClient::OnMail(const TSmtpReply& reply) {
  if (reply.code != 250) return Refused(ssMail, reply);
  FLink.openTransaction = true;
  FMail.nextRecipient = 0;
  FMail.accepted = 0;
  return ssRcpt;
}

TSMTPClient::TSmtpState TSMTPClient::OnRcpt(const TSmtpReply& reply) {
  // 251: "user not local; will forward". A refusal names only this
  // recipient (RFC 5321 3.3): the others go on, except when the server is
  // closing the connection.
  if (reply.code == 250 || reply.code == 251) {
    ++FMail.accepted;
  } else if (reply.code == 421) {
    return Refused(ssRcpt, reply);
  } else {
    FMail.refused.emplace_back(FMail.recipients[FMail.nextRecipient], Mask().Apply(reply.finalLine));
  }
  if (FMail.nextRecipient + 1 < FMail.recipients.size()) {
    ++FMail.nextRecipient;
    return ssRcpt;
  }
  if (FMail.accepted == 0) return Refused(ssRcpt, reply);  // every one refused: "RCPT <last address>"
  ++FMail.nextRecipient;
  PrepareText();
  return ssData;
}

TSMTPClient::TSmtpState TSMTPClient::OnData(const TSmtpReply& reply) {
  return reply.code == 354 ? ssText : Refused(ssData, reply);
}

TSMTPClient::TSmtpState TSMTPClient::OnText(const TSmtpReply& reply) {
  FLink.openTransaction = false;  // the end of the text ends the transaction either way
  if (reply.code != 250) return Refused(ssText, reply);
  FMail.acceptedReply = Mask().Apply(reply.finalLine);
  return ssReady;
}

TSMTPClient::TSmtpState TSMTPClient::OnQuit(const TSmtpReply&) { return ssReady; }

void TSMTPClient::PrepareText() {
  // An IPv6 address stands in brackets on the right of the Message-ID (a
  // domain literal, RFC 5322 3.6.4): its colons are no dot-atom.
  std::string local = FTalk->Socket().LocalAddressText();
  if (ParseIpv6(local)) local = "[" + local + "]";
  MailMessage->SetMessageIdHeader(local);
  std::vector<std::string> savedHeader = MailMessage->HeaderLines;
  OnScopeExit restore([&] { MailMessage->HeaderLines = std::move(savedHeader); });
  MailMessage->SetHeaderValue("Bcc", "");  // the transmitted text names no Bcc recipient
  FMail.text = MakeTransparent(MailMessage->FullText());
  FMail.text += "\r\n.\r\n";
}

// ---- the public operations ----

bool TSMTPClient::Connect() {
  ClientSocket& socket = FTalk->Socket();
  auto refuse = [this](const char* text) {
    FStatus = Status::Failure("CONNECT", 0, text);
    FStep = TSmtpStep::Connect;
    return false;
  };
  if (FLink.greeted || socket.Active()) return refuse("already connected");
  if (Host.empty()) return refuse("no server host");
  CheckText(Host);
  if (CancelRequested()) return refuse("cancelled by stop");
  if (ParseHostLiteral(Host)) {  // a dotted quad or an IPv6 address, bracketed or not
    socket.SetHost("");
    socket.SetAddress(Host);
  } else {
    socket.SetHost(Host);  // a name, or a number of some other form: the socket decides
    socket.SetAddress("");
  }
  socket.SetPort(Port);

  FConnectionDeadline.emplace(*FTalk, Deadline);
  FReader.Clear();
  FStatus = Status();
  FStep = TSmtpStep::None;
  FLink = TConnection();
  FState = ssGreeting;
  // A connection that did not come about is closed whatever ended it, and
  // its deadline ends with it.
  OnScopeExit closeUnlessGreeted([this] {
    if (FLink.greeted) return;
    FTalk->Socket().Close();
    FConnectionDeadline.reset();
  });
  FTalk->ExpectReply(TalkStepOf(ssGreeting));
  const Status opened = socket.Open();
  if (!opened) {
    FTalk->CancelWait();
    FStatus = Status::Failure("CONNECT", 0, opened.Text());
    FStep = TSmtpStep::Connect;
    return false;
  }
  FLink.greeted = Run(ssGreeting);
  // A server that refused the greeting or EHLO/HELO (except a 421, which
  // closes) waits for QUIT (RFC 5321 3.1).
  if (!FLink.greeted && FStatus.Code() != 0) SayQuit();
  return FLink.greeted;
}

std::string TSMTPClient::AllRecipients() const {
  std::string recipients;
  if (MailMessage->ToRecipients().Count() > 0) recipients = MailMessage->ToRecipients().AddressText();
  for (TMailRecipients* list : {&MailMessage->CcRecipients(), &MailMessage->BccRecipients()}) {
    if (list->Count() > 0) {
      if (!recipients.empty()) recipients += ",";
      recipients += list->AddressText();
    }
  }
  return recipients;
}

bool TSMTPClient::Send() {
  if (!MailMessage) Fail(": MailMessage unassigned");
  return SendTo(MailMessage->SenderAddress(), AllRecipients());
}

std::vector<std::string> TSMTPClient::Envelope(const std::string& fromAddress, const std::string& recipients) {
  std::vector<std::string> envelope = EnvelopeAddresses(recipients);
  if (envelope.empty()) Fail(": No recipients to send message");
  CheckText(fromAddress);
  for (const std::string& address : envelope) CheckText(address);
  return envelope;
}

bool TSMTPClient::SendTo(const std::string& fromAddress, const std::string& recipients) {
  FMail = TTransaction();
  if (!FLink.greeted || !FTalk->Socket().Active()) {
    FStatus = Status::Failure("MAIL", 0, "not connected");
    FStep = TSmtpStep::Mail;
    return false;
  }
  if (!MailMessage) Fail(": MailMessage unassigned");
  if (MailMessage->NeedsRebuild()) Fail(": MailMessage need rebuild");
  FMail.recipients = Envelope(fromAddress, recipients);
  FMail.from = fromAddress;
  FStatus = Status();
  FStep = TSmtpStep::None;
  OnScopeExit dropText([this] {
    FMail.text.clear();
    FMail.text.shrink_to_fit();
  });
  return Run(FLink.openTransaction ? ssRset : ssMail);
}

void TSMTPClient::SayQuit() {
  ClientSocket& socket = FTalk->Socket();
  if (!socket.Active() || FLink.dataOpen || FLink.noQuit || CancelRequested() || FTalk->DeadlinePassed()) return;
  const int timeOut = FTalk->TimeOut();
  FTalk->SetTimeOut(std::min(timeOut, kQuitWaitSeconds));
  TalkDeadline quitDeadline(*FTalk, kQuitWaitSeconds);  // a trickling answer is bounded too
  // The answer to QUIT changes no outcome.
  const Status kept = FStatus;
  const TSmtpStep keptStep = FStep;
  OnScopeExit restore([&] {
    FStatus = kept;
    FStep = keptStep;
    FTalk->SetTimeOut(timeOut);
  });
  Run(ssQuit);
}

void TSMTPClient::Disconnect() {
  OnScopeExit close([this] {
    FTalk->Socket().Close();
    FLink = TConnection();  // the login's exchange goes with it
    FConnectionDeadline.reset();
  });
  if (FLink.greeted) SayQuit();
}

TDeliveryResult TSMTPClient::Deliver() {
  // Misuse raises before anything is sent.
  if (!MailMessage) Fail(": MailMessage unassigned");
  if (MailMessage->NeedsRebuild()) Fail(": MailMessage need rebuild");
  const std::string from = MailMessage->SenderAddress();
  const std::string recipients = EnvelopeRecipients.empty() ? AllRecipients() : EnvelopeRecipients;
  Envelope(from, recipients);
  CheckText(Host);

  FConnectionDeadline.reset();  // one left by an earlier Connect: this attempt has its own
  TalkDeadline whole(*FTalk, Deadline);
  TDeliveryResult result;
  // A raise on the way leaves nothing open.
  const int raised = std::uncaught_exceptions();
  OnScopeExit closeOnRaise([this, raised] {
    if (std::uncaught_exceptions() == raised) return;
    FTalk->Socket().Close();
    FLink.greeted = false;
    FConnectionDeadline.reset();
  });
  if (Connect()) SendTo(from, recipients);  // the outcome is in FStatus either way
  result.status = FStatus;
  result.step = FStep;
  result.refused = FMail.refused;
  result.acceptedReply = FMail.acceptedReply;
  result.encrypted = FTls->Encrypted();
  result.verified = FTls->Verified();
  result.tlsProtocol = FTls->Protocol();
  result.passwordInClear = FLink.passwordInClear;
  Disconnect();
  return result;
}

}  // namespace qw
