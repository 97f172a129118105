#include "mail/smtp_client.h"

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "common/comma_list.h"
#include "platform/ascii_text.h"
#include "platform/text_codec.h"

namespace qw {

namespace {

constexpr int kQuitWaitSeconds = 5;

// The three-digit code that begins a reply line, or -1.
int ReplyCodeOf(std::string_view line) {
  if (line.size() < 3) return -1;
  int code = 0;
  for (size_t i = 0; i < 3; ++i) {
    if (line[i] < '0' || line[i] > '9') return -1;
    code = code * 10 + (line[i] - '0');
  }
  return code;
}

// Base64 on one line (RFC 4648), as SASL wants it.
std::string Base64Line(std::string_view bytes) { return Base64OneLine(bytes); }

// The words of `text` split at blanks and tabs.
std::vector<std::string_view> Words(std::string_view text) {
  std::vector<std::string_view> words;
  size_t at = 0;
  while (at < text.size()) {
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
    size_t end = at;
    while (end < text.size() && text[end] != ' ' && text[end] != '\t') ++end;
    if (end > at) words.push_back(text.substr(at, end - at));
    at = end;
  }
  return words;
}

}  // namespace

// ---- EHLO keywords and AUTH ----

TSmtpExtensions TSmtpExtensions::Parse(const TSmtpReply& reply) {
  TSmtpExtensions found;
  if (reply.code != 250) return found;
  // The first line greets; every later one is "keyword [params]".
  for (size_t i = 1; i < reply.lines.size(); ++i) {
    std::string_view line = reply.lines[i];
    if (line.size() <= 4) continue;
    line.remove_prefix(4);  // "250-" or "250 "
    std::vector<std::string_view> words = Words(line);
    if (words.empty()) continue;
    std::string_view keyword = words[0];
    std::vector<std::string_view> mechanisms(words.begin() + 1, words.end());
    if (keyword.size() > 5 && CompareCaseless(keyword.substr(0, 5), "AUTH=") == 0) {
      mechanisms.insert(mechanisms.begin(), keyword.substr(5));
      keyword = keyword.substr(0, 4);
    }
    if (CompareCaseless(keyword, "STARTTLS") == 0) {
      found.startTls = true;
    } else if (CompareCaseless(keyword, "AUTH") == 0) {
      for (std::string_view mechanism : mechanisms) {
        if (CompareCaseless(mechanism, "PLAIN") == 0) found.authPlain = true;
        if (CompareCaseless(mechanism, "LOGIN") == 0) found.authLogin = true;
      }
    }
  }
  return found;
}

std::string AuthPlainCommand(const std::string& user, const std::string& password) {
  std::string message;
  message += '\0';
  message += user;
  message += '\0';
  message += password;
  return "AUTH PLAIN " + Base64Line(message) + "\r\n";
}

std::string MaskedCommand(const std::string& line, bool inAuthExchange) {
  std::vector<std::string_view> words = Words(line);
  bool auth = !words.empty() && CompareCaseless(words[0], "AUTH") == 0;
  if (!auth && !inAuthExchange) return line;
  std::string ending = line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0 ? "\r\n" : "";
  // An answer within the exchange is a credential whatever it looks like.
  if (auth && !inAuthExchange) {
    std::string masked = "AUTH";
    if (words.size() > 1) masked += " " + std::string(words[1].substr(0, words[1].find_first_of("\r\n")));
    if (words.size() > 2) masked += " ****";
    return masked + ending;
  }
  return "****" + ending;
}

// ---- reply reader ----

void TSmtpReplyReader::Clear() {
  FBuffer.clear();
  FStart = 0;
  FScanned = 0;
  FReply = TSmtpReply();
  FKeptText = 0;
  FReplies.clear();
  FError.clear();
}

void TSmtpReplyReader::Feed(const char* bytes, size_t count) {
  if (Failed()) return;  // nothing more is read after a protocol error
  FBuffer.append(bytes, count);
  Parse();
}

TSmtpReply TSmtpReplyReader::TakeReply() {
  TSmtpReply reply = std::move(FReplies.front());
  FReplies.pop_front();
  return reply;
}

void TSmtpReplyReader::Parse() {
  while (!Failed()) {
    size_t lf = FBuffer.find('\n', FScanned);
    if (lf == std::string::npos) {
      FScanned = FBuffer.size();
      // A CR may still wait for its LF.
      if (FBuffer.size() - FStart > kMaxLine + 1) {
        FError = "reply line longer than " + std::to_string(kMaxLine) + " bytes";
      }
      break;
    }
    size_t end = lf;
    if (end > FStart && FBuffer[end - 1] == '\r') --end;
    if (end - FStart > kMaxLine) {
      FError = "reply line longer than " + std::to_string(kMaxLine) + " bytes";
      break;
    }
    std::string line = FBuffer.substr(FStart, end - FStart);
    FStart = lf + 1;
    FScanned = FStart;
    TakeLine(std::move(line));
  }
  if (Failed()) {
    FBuffer.clear();
    FBuffer.shrink_to_fit();
    FStart = FScanned = 0;
    return;
  }
  if (FStart > 0) {  // keep only the partial line
    FBuffer.erase(0, FStart);
    FScanned -= FStart;
    FStart = 0;
  }
}

void TSmtpReplyReader::TakeLine(std::string line) {
  const int code = ReplyCodeOf(line);
  bool wellFormed = code >= 0 && (line.size() == 3 || line[3] == ' ' || line[3] == '-');
  if (!wellFormed) {
    FError = line.empty() ? "empty reply line" : line;
    return;
  }
  if (line.size() > 3 && line[3] == '-') {
    if (FKeptText + line.size() <= kMaxKeptText) {  // the rest of a huge reply is dropped
      FKeptText += line.size();
      FReply.lines.push_back(std::move(line));
    }
    return;
  }
  FReply.code = code;
  FReply.finalLine = line;
  FReply.lines.push_back(std::move(line));
  FReplies.push_back(std::move(FReply));
  FReply = TSmtpReply();
  FKeptText = 0;
  if (FReplies.size() > kMaxQueued) FError = "more replies than commands";
}

// ---- client ----

TSMTPClient::TSMTPClient(std::string name, MessageLoop& loop, std::unique_ptr<ClientSocket> socket)
    : Name(std::move(name)) {
  auto tls = std::make_unique<TlsSocket>(std::move(socket));
  FTls = tls.get();
  FTalk = std::make_unique<TSocketTalk>(this, loop, std::move(tls));
  // The end of a handshake ends the wait of Handshake (or, with TLS from the
  // first byte, a failure ends the wait for the greeting).
  FTls->OnTlsReady = [this] {
    FTlsDone = true;
    if (FState == ssTls) FTalk->CancelWait();
  };
  FTls->OnTlsFailed = [this](const Status& failure) {
    FTlsFailure = failure;
    FNoQuit = true;  // no clear-text word follows a failed handshake
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
    FTalkError = error;
    FTalkErrorCode = talk.LastErrorCode();
    talk.CancelWait();
  };
  FTalk->OnConnectionClosed = [this](TSocketTalk&) {
    FConnected = false;
    FPeerClosed = true;
  };
  FTalk->Socket().OnConnect = [this] {
    FSocketConnected = true;
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

bool TSMTPClient::IsNumericAddress(const std::string& text) { return ParseDottedQuad(text); }

namespace {

// Labels of letters, digits and hyphens, 1 to 63 bytes, no hyphen at either
// end; a single final dot allowed.
bool DomainLabels(std::string name, size_t minLabels) {
  if (!name.empty() && name.back() == '.') name.pop_back();
  if (name.empty() || name.size() > 253) return false;
  size_t labels = 0;
  size_t start = 0;
  bool lastNumeric = true;
  for (;;) {
    size_t dot = name.find('.', start);
    size_t end = dot == std::string::npos ? name.size() : dot;
    size_t length = end - start;
    if (length == 0 || length > 63 || name[start] == '-' || name[end - 1] == '-') return false;
    lastNumeric = true;
    for (size_t i = start; i < end; ++i) {
      char c = name[i];
      bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
      bool digit = c >= '0' && c <= '9';
      if (!letter && !digit && c != '-') return false;
      if (!digit) lastNumeric = false;
    }
    ++labels;
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  return labels >= minLabels && !lastNumeric;  // no top-level label is numeric
}

}  // namespace

bool TSMTPClient::IsFullDomain(const std::string& text) { return DomainLabels(text, 2); }

std::string TSMTPClient::GreetingName() {
  ClientSocket& socket = FTalk->Socket();
  std::string name = socket.LocalHostName();
  if (!name.empty() && name.back() == '.') name.pop_back();
  if (IsFullDomain(name)) return name;
  // RFC 5321 4.1.4: without a fully qualified name, the address literal
  // (4.1.3: "[IPv6:...]" for an IPv6 address).
  std::string address = socket.LocalAddressText();
  if (ParseDottedQuad(address)) return "[" + address + "]";
  if (ParseIpv6(address)) return "[IPv6:" + address + "]";
  if (DomainLabels(name, 1)) return name;
  return "localhost";
}

std::string TSMTPClient::MakeTransparent(const std::string& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 64 + 8);
  size_t lineStart = 0;
  while (lineStart <= text.size()) {
    size_t end = text.find("\r\n", lineStart);
    if (lineStart < text.size() && text[lineStart] == '.') out += '.';
    if (end == std::string::npos) {
      out.append(text, lineStart, std::string::npos);
      break;
    }
    out.append(text, lineStart, end + 2 - lineStart);
    lineStart = end + 2;
  }
  return out;
}

bool TSMTPClient::IsCompleteReply(const std::string& text) {
  if (text.size() < 2 || text.compare(text.size() - 2, 2, "\r\n") != 0) return false;
  size_t end = text.size() - 2;  // end of the last line
  if (end == 0) return false;
  size_t previous = text.rfind("\r\n", end - 1);
  size_t start = previous == std::string::npos ? 0 : previous + 2;
  std::string line = text.substr(start, end - start);
  if (ReplyCodeOf(line) < 0) return false;
  return line.size() == 3 || line[3] == ' ';
}


std::string TSMTPClient::TimeOutText(int seconds, bool inAll) const {
  return "time-out after " + std::to_string(seconds) + " s" + (inAll ? " in all" : "");
}

std::string TSMTPClient::StepWord(TSmtpState state) const {
  switch (state) {
    case ssGreeting:
      if (!FSocketConnected) return "CONNECT";
      return Security == TSmtpSecurity::Tls && !FTlsDone ? "TLS" : "GREETING";
    case ssStartTls: return "STARTTLS";
    case ssTls: return "TLS";
    case ssAuth:
    case ssAuthUser:
    case ssAuthPassword: return "AUTH";
    case ssEhlo: return "EHLO";
    case ssHelo: return "HELO";
    case ssRset: return "RSET";
    case ssMail: return "MAIL";
    case ssRcpt:
      return FNextRecipient < FRecipients.size() ? "RCPT <" + FRecipients[FNextRecipient] + ">" : "RCPT";
    case ssData: return "DATA";
    case ssText: return ".";
    case ssQuit: return "QUIT";
    case ssReady:
    case ssFailed: break;
  }
  return "";
}

std::string TSMTPClient::CommandFor(TSmtpState state) const {
  switch (state) {
    case ssEhlo: return "EHLO " + FHeloName + "\r\n";
    case ssHelo: return "HELO " + FHeloName + "\r\n";
    case ssRset: return "RSET\r\n";
    case ssMail: return "MAIL FROM:<" + FFrom + ">\r\n";
    case ssRcpt: return "RCPT TO:<" + FRecipients[FNextRecipient] + ">\r\n";
    case ssData: return "DATA\r\n";
    case ssQuit: return "QUIT\r\n";
    case ssStartTls: return "STARTTLS\r\n";
    case ssAuth: return FAuthLogin ? "AUTH LOGIN\r\n" : AuthPlainCommand(FAuthUser, FAuthPassword);
    case ssAuthUser: return Base64Line(FAuthUser) + "\r\n";
    case ssAuthPassword: return Base64Line(FAuthPassword) + "\r\n";
    default: break;
  }
  return "";
}

namespace {

TTalkStep TalkStepOf(int state) {
  // Same order as TSmtpState up to ssAuthPassword.
  static const TTalkStep steps[] = {tsGreeting, tsEhlo, tsHelo, tsRset, tsMailFrom, tsRcptTo, tsData, tsMessageText,
                                    tsQuit, tsStartTls, tsTls, tsAuth, tsAuth, tsAuth};
  return state >= 0 && state < 14 ? steps[state] : tsNone;
}

}  // namespace

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
    if (state == ssTls) {
      state = Handshake();
      continue;
    }
    if (state != ssGreeting) {  // the greeting comes unasked
      FTalkError = teNone;  // a failure while sending counts as much as one while waiting
      FTalkErrorCode = 0;
      if (!FTalk->Socket().Active()) {
        state = Failed(state, 0, "connection closed by the server");
        break;
      }
      if (state == ssText) {
        FDataOpen = true;
        FTalk->SetSendPacketSize(PacketSize);
        FTalk->SendText(FText, "\r\n", tsMessageText);
      } else {
        std::string command = CommandFor(state);
        if (OnCommand) OnCommand(Mask().Apply(MaskedCommand(command, state == ssAuthUser || state == ssAuthPassword)));
        FTalk->SendText(command, "\r\n", TalkStepOf(state));
      }
    }
    TSmtpReply reply;
    if (!AwaitReply(state, &reply)) {
      state = ssFailed;
      break;
    }
    if (state == ssText) FDataOpen = false;  // answered: the server reads commands again
    state = Judge(state, reply);
  }
  FState = state;
  return state == ssReady;
}

bool TSMTPClient::AwaitReply(TSmtpState state, TSmtpReply* reply) {
  if (FReader.HasReply() || FReader.Failed()) {
    FTalk->CancelWait();  // it is here already
  } else {
    FTalk->WaitReply();
  }
  if (!FTlsFailure.Ok()) {
    FNoQuit = true;
    FStatus = FTlsFailure;  // What() "TLS"
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
    FNoQuit = true;  // the server speaks no SMTP we know: no more words
    Failed(state, 0, FReader.ErrorText());
    return false;
  }
  Failed(state, 0, WaitFailureText());
  return false;
}

std::string TSMTPClient::AttemptText() {
  // Only while connecting, and only when it tells more than the host does:
  // the address a name stood for, and how many were tried.
  if (FState != ssGreeting || FSocketConnected) return "";
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
  switch (FTalkError) {
    case teTimeOut: text = AttemptText() + TimeOutText(FTalk->TimeOut(), false); break;
    case teDeadline:
      FNoQuit = true;
      text = TimeOutText(Deadline, true);
      break;
    case teCancelled:
      FNoQuit = true;
      text = "cancelled by stop";
      break;
    case teNone: text = FPeerClosed ? "connection closed by the server" : "no reply"; break;
    default:
      text = AttemptText() +
             (FTalkErrorCode != 0 ? FTalk->Socket().ErrorDescription(FTalkErrorCode) : "socket error");
      break;
  }
  return text;
}

TSMTPClient::TSmtpState TSMTPClient::Handshake() {
  FTlsDone = false;
  FTlsFailure = Status();
  FTalkError = teNone;
  FTalkErrorCode = 0;
  FTalk->ExpectReply(tsTls);  // the silence time-out bounds the handshake
  // The server may have closed right after its 220 (the close can be told
  // before the handshake begins): nothing would ever answer.
  if (FTalk->Socket().Active()) FTls->StartTls(TlsOptions{HostWithoutBrackets(Host), TlsVerify});
  if (!FTlsDone && FTlsFailure.Ok() && FTalk->Socket().Active()) FTalk->WaitReply();
  FTalk->CancelWait();
  if (!FTlsFailure.Ok()) {
    FStatus = FTlsFailure;
    return ssFailed;
  }
  if (!FTlsDone) {
    FNoQuit = true;  // a half-done handshake leaves no channel for QUIT
    if (FTalkError == teNone && !FPeerClosed && !FTalk->Socket().Active()) FPeerClosed = true;
    return Failed(ssTls, 0, WaitFailureText());
  }
  // RFC 3207 4.2: everything learned before TLS is forgotten.
  FReader.Clear();
  FExtensions = TSmtpExtensions();
  return ssEhlo;
}

const SecretMask& TSMTPClient::Mask() {
  if (!FMaskMade || FMaskUser != User || FMaskPassword != Password) {
    FMask = LoginMask(User, Password);
    FMaskUser = User;
    FMaskPassword = Password;
    FMaskMade = true;
  }
  return FMask;
}

TSMTPClient::TSmtpState TSMTPClient::Failed(TSmtpState state, int64_t code, std::string text) {
  // The text may end in an event entry: whatever a server echoes back of
  // the login is masked there too.
  FStatus = Status::Failure(StepWord(state), code, Mask().Apply(text));
  return ssFailed;
}

TSMTPClient::TSmtpState TSMTPClient::Refused(TSmtpState state, const TSmtpReply& reply) {
  if (reply.code == 421) FNoQuit = true;  // the server is closing the connection
  return Failed(state, reply.code, reply.finalLine);
}

TSMTPClient::TSmtpState TSMTPClient::Judge(TSmtpState state, const TSmtpReply& reply) {
  switch (state) {
    case ssGreeting: return OnGreeting(reply);
    case ssEhlo: return OnEhlo(reply);
    case ssHelo: return OnHelo(reply);
    case ssRset: return OnRset(reply);
    case ssMail: return OnMail(reply);
    case ssRcpt: return OnRcpt(reply);
    case ssData: return OnData(reply);
    case ssText: return OnText(reply);
    case ssQuit: return OnQuit(reply);
    case ssStartTls: return OnStartTls(reply);
    case ssAuth:
    case ssAuthUser:
    case ssAuthPassword: return OnAuth(state, reply);
    case ssTls:
    case ssReady:
    case ssFailed: break;
  }
  return ssFailed;
}

TSMTPClient::TSmtpState TSMTPClient::OnGreeting(const TSmtpReply& reply) {
  if (reply.code != 220) return Refused(ssGreeting, reply);
  FHeloName = GreetingName();
  return ssEhlo;
}

TSMTPClient::TSmtpState TSMTPClient::OnEhlo(const TSmtpReply& reply) {
  if (reply.code == 250) {
    FExtensions = TSmtpExtensions::Parse(reply);
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
  FExtensions = TSmtpExtensions();
  return AfterGreetingWords();
}

TSMTPClient::TSmtpState TSMTPClient::AfterGreetingWords() {
  if (Security == TSmtpSecurity::StartTls && !FTls->Encrypted()) {
    if (!FExtensions.startTls) return Failed(ssStartTls, 0, "the server does not offer STARTTLS");
    return ssStartTls;
  }
  if (User.empty()) return ssReady;
  if (!FTls->Encrypted() && Security != TSmtpSecurity::None) {
    return Failed(ssAuth, 0, "the connection is not encrypted");  // never reached: TLS came first
  }
  if (FExtensions.authPlain) {
    FAuthLogin = false;
  } else if (FExtensions.authLogin) {
    FAuthLogin = true;
  } else {
    return Failed(ssAuth, 0, "the server offers neither AUTH PLAIN nor AUTH LOGIN");
  }
  // RFC 4616 and RFC 4954: the login travels as UTF-8. A name or password
  // that does not convert whole is not sent in part.
  if (!SjisToUtf8Exact(User, &FAuthUser))
    return Failed(ssAuth, 0, "the user name is not Shift-JIS text and cannot be sent as UTF-8");
  if (!SjisToUtf8Exact(Password, &FAuthPassword))
    return Failed(ssAuth, 0, "the password is not Shift-JIS text and cannot be sent as UTF-8");
  FPasswordInClear = !FTls->Encrypted();
  return ssAuth;
}

TSMTPClient::TSmtpState TSMTPClient::OnStartTls(const TSmtpReply& reply) {
  if (reply.code != 220) return Refused(ssStartTls, reply);
  // Bytes after the 220 came before TLS and would be taken as if they came
  // through it (a man in the middle injecting commands): none may be there.
  if (FReader.Buffered() > 0 || FReader.HasReply() || FTalk->Socket().PendingLength() > 0) {
    FNoQuit = true;
    return Failed(ssStartTls, 0, "data after the reply to STARTTLS");
  }
  return ssTls;
}

TSMTPClient::TSmtpState TSMTPClient::OnAuth(TSmtpState state, const TSmtpReply& reply) {
  if (reply.code == 235) return ssReady;
  if (state == ssAuth && FAuthLogin && reply.code == 334) return ssAuthUser;
  if (state == ssAuthUser && reply.code == 334) return ssAuthPassword;
  return Refused(state, reply);
}

TSMTPClient::TSmtpState TSMTPClient::OnRset(const TSmtpReply& reply) {
  if (reply.code != 250) return Refused(ssRset, reply);
  FOpenTransaction = false;
  return ssMail;
}

TSMTPClient::TSmtpState TSMTPClient::OnMail(const TSmtpReply& reply) {
  if (reply.code != 250) return Refused(ssMail, reply);
  FOpenTransaction = true;
  FNextRecipient = 0;
  FAccepted = 0;
  return ssRcpt;
}

TSMTPClient::TSmtpState TSMTPClient::OnRcpt(const TSmtpReply& reply) {
  // 251: "user not local; will forward". A refusal names only this
  // recipient (RFC 5321 3.3): the others go on, except when the server is
  // closing the connection.
  if (reply.code == 250 || reply.code == 251) {
    ++FAccepted;
  } else if (reply.code == 421) {
    return Refused(ssRcpt, reply);
  } else {
    FRefused.emplace_back(FRecipients[FNextRecipient], Mask().Apply(reply.finalLine));
  }
  if (FNextRecipient + 1 < FRecipients.size()) {
    ++FNextRecipient;
    return ssRcpt;
  }
  if (FAccepted == 0) return Refused(ssRcpt, reply);  // every one refused: "RCPT <last address>"
  ++FNextRecipient;
  PrepareText();
  return ssData;
}

TSMTPClient::TSmtpState TSMTPClient::OnData(const TSmtpReply& reply) {
  return reply.code == 354 ? ssText : Refused(ssData, reply);
}

TSMTPClient::TSmtpState TSMTPClient::OnText(const TSmtpReply& reply) {
  FOpenTransaction = false;  // the end of the text ends the transaction either way
  if (reply.code != 250) return Refused(ssText, reply);
  FAcceptedReply = Mask().Apply(reply.finalLine);
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
  try {
    MailMessage->SetHeaderValue("Bcc", "");  // the transmitted text names no Bcc recipient
    FText = MakeTransparent(MailMessage->FullText());
    FText += "\r\n.\r\n";
  } catch (...) {
    MailMessage->HeaderLines = std::move(savedHeader);
    throw;
  }
  MailMessage->HeaderLines = std::move(savedHeader);
}

bool TSMTPClient::Connect() {
  ClientSocket& socket = FTalk->Socket();
  if (FConnected || socket.Active()) {
    FStatus = Status::Failure("CONNECT", 0, "already connected");
    return false;
  }
  if (Host.empty()) {
    FStatus = Status::Failure("CONNECT", 0, "no server host");
    return false;
  }
  CheckText(Host);
  if (CancelRequested()) {
    FStatus = Status::Failure("CONNECT", 0, "cancelled by stop");
    return false;
  }
  if (ParseHostLiteral(Host)) {  // a dotted quad or an IPv6 address, bracketed or not
    socket.SetHost("");
    socket.SetAddress(Host);
  } else {
    socket.SetHost(Host);  // a name, or a number of some other form: the socket decides
    socket.SetAddress("");
  }
  socket.SetPort(Port);

  if (!FInDeliver) FTalk->StartDeadline(Deadline);
  FReader.Clear();
  FStatus = Status();
  FPeerClosed = false;
  FSocketConnected = false;
  FNoQuit = false;
  FDataOpen = false;
  FOpenTransaction = false;
  FTlsDone = false;
  FTlsFailure = Status();
  FPasswordInClear = false;
  FExtensions = TSmtpExtensions();
  FState = ssGreeting;
  FTalkError = teNone;
  FTalkErrorCode = 0;
  FTalk->ExpectReply(tsGreeting);
  try {
    socket.Open();
  } catch (...) {
    FTalk->CancelWait();
    if (!FInDeliver) FTalk->StopDeadline();
    throw;
  }
  FConnected = Run(ssGreeting);
  if (!FConnected) {
    // A server that refused the greeting or EHLO/HELO (except a 421, which
    // closes) waits for QUIT (RFC 5321 3.1).
    if (FStatus.Code() != 0) {
      try {
        SayQuit();
      } catch (...) {
        socket.Close();
        if (!FInDeliver) FTalk->StopDeadline();
        throw;
      }
    }
    socket.Close();  // nothing is left half open
    if (!FInDeliver) FTalk->StopDeadline();
  }
  return FConnected;
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
  // Ascending order, letter case ignored; the first form of an address wins.
  std::vector<std::string> envelope;
  for (std::string& item : ReadCommaList(recipients)) {
    if (item.empty()) continue;  // "a,,b" or a trailing comma names no one
    auto at = std::lower_bound(envelope.begin(), envelope.end(), item,
                               [](const std::string& a, const std::string& b) { return CompareCaseless(a, b) < 0; });
    if (at != envelope.end() && CompareCaseless(*at, item) == 0) continue;
    envelope.insert(at, std::move(item));
  }
  if (envelope.empty()) Fail(": No recipients to send message");
  CheckText(fromAddress);
  for (const std::string& address : envelope) CheckText(address);
  return envelope;
}

bool TSMTPClient::SendTo(const std::string& fromAddress, const std::string& recipients) {
  FRefused.clear();
  FAcceptedReply.clear();
  if (!FConnected || !FTalk->Socket().Active()) {
    FStatus = Status::Failure("MAIL", 0, "not connected");
    return false;
  }
  if (!MailMessage) Fail(": MailMessage unassigned");
  if (MailMessage->NeedsRebuild()) Fail(": MailMessage need rebuild");
  FRecipients = Envelope(fromAddress, recipients);
  FFrom = fromAddress;
  FNextRecipient = 0;
  FAccepted = 0;
  FStatus = Status();
  bool delivered;
  try {
    delivered = Run(FOpenTransaction ? ssRset : ssMail);
  } catch (...) {
    FText.clear();
    throw;
  }
  FText.clear();
  FText.shrink_to_fit();
  return delivered;
}

void TSMTPClient::SayQuit() {
  ClientSocket& socket = FTalk->Socket();
  if (socket.Active() && !FDataOpen && !FNoQuit && !CancelRequested() && !FTalk->DeadlinePassed()) {
    int timeOut = FTalk->TimeOut();
    FTalk->SetTimeOut(std::min(timeOut, kQuitWaitSeconds));
    bool ownDeadline = !FTalk->DeadlineRunning();
    if (ownDeadline) FTalk->StartDeadline(kQuitWaitSeconds);  // a trickling answer is bounded too
    Status kept = FStatus;  // the answer to QUIT changes no outcome
    try {
      Run(ssQuit);
    } catch (...) {
      FTalk->SetTimeOut(timeOut);
      if (ownDeadline) FTalk->StopDeadline();
      socket.Close();
      FConnected = false;
      throw;
    }
    FStatus = kept;
    FTalk->SetTimeOut(timeOut);
    if (ownDeadline) FTalk->StopDeadline();
  }
}

void TSMTPClient::Disconnect() {
  ClientSocket& socket = FTalk->Socket();
  if (FConnected) SayQuit();
  socket.Close();
  FConnected = false;
  FDataOpen = false;
  FOpenTransaction = false;
  FAuthUser.clear();
  FAuthPassword.clear();
  if (!FInDeliver) FTalk->StopDeadline();
}

TDeliveryResult TSMTPClient::Deliver() {
  // Misuse raises before anything is sent.
  if (!MailMessage) Fail(": MailMessage unassigned");
  if (MailMessage->NeedsRebuild()) Fail(": MailMessage need rebuild");
  const std::string from = MailMessage->SenderAddress();
  const std::string recipients = EnvelopeRecipients.empty() ? AllRecipients() : EnvelopeRecipients;
  Envelope(from, recipients);
  CheckText(Host);

  TDeliveryResult result;
  FInDeliver = true;
  FTalk->StartDeadline(Deadline);
  auto finish = [&] {
    FInDeliver = false;
    FTalk->StopDeadline();
  };
  try {
    try {
      if (Connect()) SendTo(from, recipients);
    } catch (const ESocketError& e) {
      FStatus = Status::Failure(FState == ssReady || FState == ssFailed ? "CONNECT" : StepWord(FState), 0, e.what());
    }
    result.status = FStatus;
    result.refused = FRefused;
    result.acceptedReply = FAcceptedReply;
    result.encrypted = FTls->Encrypted();
    result.verified = FTls->Verified();
    result.tlsProtocol = FTls->Protocol();
    result.passwordInClear = FPasswordInClear;
    try {
      Disconnect();
    } catch (const ESocketError&) {
      // The outcome is settled; a socket that fails while closing adds nothing.
    }
  } catch (...) {
    try {
      FTalk->Socket().Close();
    } catch (...) {
    }
    FConnected = false;
    finish();
    throw;
  }
  finish();
  return result;
}

}  // namespace qw
