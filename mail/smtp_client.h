// TSMTPClient delivers one TMailMessage to an SMTP server (RFC 5321) over one
// TCP connection: Connect opens it and says EHLO (HELO when the server does
// not know EHLO and no extension is needed), secures it as Security asks
// (STARTTLS and EHLO again, RFC 3207, or TLS from the first byte) and logs
// in when User is set (AUTH PLAIN or LOGIN, RFC 4954); Send or SendTo give
// the envelope (MAIL FROM, one RCPT TO per distinct recipient) and the
// message text after DATA; Disconnect says QUIT and closes. Deliver does all three as one bounded attempt.
//
// The conversation is a state machine held in one table, a row per state:
// the step it reports, what it sends, and its handler. Each state sends its
// command, waits (by dispatching the calling thread's messages through its
// TSocketTalk) for one complete reply, read line by line by
// TSmtpReplyReader, and its handler judges the reply and names the next
// state. The login is a SASL mechanism of mail/sasl.h.
//
// Network outcomes are boolean results (and LastStatus, or the result of
// Deliver). Misuse (no message, a message that needs rebuilding, no
// recipients, CR, LF or NUL in an address, the host or a command) raises
// std::runtime_error with Name + ": " + a fixed text before anything is
// sent.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/secret_mask.h"
#include "mail/mail_message.h"
#include "mail/mail_types.h"
#include "mail/sasl.h"
#include "mail/smtp_reply.h"
#include "mail/smtp_step.h"
#include "mail/socket_talk.h"
#include "platform/client_socket.h"
#include "platform/message_loop.h"
#include "platform/status.h"
#include "platform/tls_socket.h"

namespace qw {

// How the connection is secured: not at all, by STARTTLS after the first
// EHLO, or with TLS from the first byte.
enum class TSmtpSecurity { None, StartTls, Tls };

// What one delivery attempt came to.
struct TDeliveryResult {
  // Ok when the server accepted the message text for at least one
  // recipient. Otherwise What() names the step by its SMTP word ("CONNECT",
  // "GREETING", "EHLO", "HELO", "STARTTLS", "TLS" (the handshake, also with
  // TLS from the first byte), "AUTH", "MAIL", "RCPT <address>", "DATA", "."
  // for the end of the text), Code() is the reply code (0 for a socket
  // error, a time-out, a stop, a reply that is not SMTP; the engine's code
  // for a failed handshake), and Text() is the server's final reply line
  // verbatim, the TLS engine's text (a certificate's begins with "証明書"),
  // "the server does not offer STARTTLS", the socket error's text ("<system text>
  // (<number>)", e.g. "No such host is known. (11001)"), "time-out after N s"
  // (silence of TimeOut seconds), "time-out after N s in all" (the
  // Deadline), "cancelled by stop", "connection closed by the server", or for
  // a reply that is not SMTP the offending line itself, "empty reply line",
  // "reply line longer than 65536 bytes" or "more replies than commands".
  // With every recipient refused, What() is "RCPT <last address>" and the
  // code and text are of that last refusal.
  Status status;
  // The step of a failure as a value (What() is its word, which a caller
  // may extend, e.g. with the server's name); None when delivered.
  TSmtpStep step = TSmtpStep::None;
  // Recipients the server refused, each with its reply line verbatim.
  std::vector<std::pair<std::string, std::string>> refused;
  // The server's reply line to the message text when it was accepted.
  std::string acceptedReply;
  // The conversation ran over TLS; its certificate chain and host name
  // verified; the protocol ("TLSv1.3").
  bool encrypted = false;
  bool verified = false;
  std::string tlsProtocol;
  // AUTH went over a connection without TLS (SECURITY=NONE with a user).
  bool passwordInClear = false;

  bool Delivered() const { return status.Ok(); }
  bool Complete() const { return status.Ok() && refused.empty(); }

  // A failed attempt: the step, its word (with the recipient for RCPT) as
  // What(), the code and the text.
  static TDeliveryResult FailedAt(TSmtpStep step, int64_t code, std::string text, const std::string& recipient = "");
};

class TSMTPClient {
 public:
  // `loop` is the loop of the thread that will use the client; the socket is
  // the real TCP client unless a test hands in another.
  explicit TSMTPClient(std::string name = "SMTPClient", MessageLoop& loop = ThisThreadLoop(),
                       std::unique_ptr<ClientSocket> socket = NewClientSocket());
  ~TSMTPClient();
  TSMTPClient(const TSMTPClient&) = delete;
  TSMTPClient& operator=(const TSMTPClient&) = delete;

  // Component name, the start of every error text.
  std::string Name;
  // TCP port of the server.
  int Port = 25;
  // The server: a host name, a dotted quad or an IPv6 address (bare or in
  // brackets: "::1", "[2001:db8::1]").
  std::string Host;
  // The message to send; not owned.
  TMailMessage* MailMessage = nullptr;
  // Packet size for the message text; 0 or less sends it in one piece.
  int PacketSize = 102400;
  // TLS and login. With StartTls or Tls nothing goes in clear after the
  // point TLS was asked for: a server that does not offer or refuses
  // STARTTLS, or whose handshake fails, ends the attempt. A non-empty User
  // logs in with AUTH PLAIN, else AUTH LOGIN, after the (second) EHLO; in
  // clear only with Security None. User and Password are Shift-JIS, as the
  // settings hold them, and go to the server as UTF-8 (RFC 4616, RFC 4954);
  // one that is no Shift-JIS text is not sent: the attempt ends at "AUTH".
  TSmtpSecurity Security = TSmtpSecurity::None;
  bool TlsVerify = true;
  std::string User;
  std::string Password;
  // When not empty, the login is by an OAuth 2.0 access token instead of
  // the password: User is the mailbox that sends, the mechanism XOAUTH2,
  // else OAUTHBEARER, whichever the server offers first in that order (it
  // must offer one; PLAIN and LOGIN are never tried with it). A token the
  // server refuses after its 334 challenge fails at "AUTH" with the final
  // reply and the decoded challenge in parentheses. The token is masked as
  // the password is.
  std::string BearerToken;
  // Every command sent, with AUTH lines masked (MaskedCommand); for tools
  // and tests. Null: none recorded.
  //
  // Everything the client hands out (the lines to OnCommand and OnReply,
  // the status text, the refused recipients' replies, the accepted reply)
  // has passed through LoginMask(User, Password): a server that echoes the
  // login puts no password, payload or base64 form of them in any of it.
  std::function<void(const std::string& line)> OnCommand;
  // Every reply line received, CR LF removed, as the server sent it but
  // masked (the earlier lines of a very long reply only as far as
  // TSmtpReply keeps them). Null: none recorded.
  std::function<void(const std::string& line)> OnReply;

  // Longest silence allowed while waiting for the server, in seconds.
  int TimeOut() const { return FTalk->TimeOut(); }
  void SetTimeOut(int seconds) { FTalk->SetTimeOut(seconds); }
  // Progress while the message text goes out in packets (Sender: this).
  const TProgressEvent& OnProgress() const { return FTalk->OnProgress; }
  void SetOnProgress(TProgressEvent handler) { FTalk->OnProgress = std::move(handler); }

  // True after EHLO or HELO was accepted, until Disconnect or the connection
  // closes.
  bool Connected() const { return FLink.greeted; }

  // Opens the connection, waits for the greeting, says EHLO (HELO after a
  // 5xx to EHLO). True when it was accepted. False, without raising, when a
  // connection is open or active, when Host is empty, on a refusal, a socket
  // error, the closing of the connection, a time-out or a cancel; a failed
  // attempt closes what it opened. A socket that cannot be opened fails at
  // "CONNECT" with the system's words. Host is taken as a number only when
  // it is a dotted quad or an IPv6 address; anything else is looked up, and
  // every address of the name is tried in turn (a silent one for the
  // time-out). Starts the Deadline unless it runs already.
  bool Connect();
  // Sends MailMessage from the address of its "From" header to every address
  // of its To, Cc and Bcc lists. True when the server accepted the text.
  bool Send();
  // Sends MailMessage with an explicit envelope: `fromAddress` is a bare
  // address, `recipients` a comma list of bare addresses (sent in ascending
  // order, letter case ignored, each address once). A refused recipient
  // does not end the transaction: the text goes to those accepted (the
  // refused ones are in RefusedRecipients); with none accepted there is no
  // DATA and the result is false. A transaction left unfinished is reset
  // (RSET) before the next one on the same connection.
  bool SendTo(const std::string& fromAddress, const std::string& recipients);
  // Says QUIT (waiting a few seconds at most for the answer) when connected,
  // then closes the connection. No QUIT follows a message text that the
  // server did not answer (it would be read as more text), a protocol error,
  // a passed deadline or a cancel. Stops the Deadline.
  void Disconnect();

  // The outcome of the last Connect, Send or SendTo, worded as in
  // TDeliveryResult.
  const Status& LastStatus() const { return FStatus; }
  // The recipients refused by the last Send or SendTo, with the reply lines.
  const std::vector<std::pair<std::string, std::string>>& RefusedRecipients() const { return FMail.refused; }
  // The name said with EHLO or HELO: the computer's DNS name when it is a
  // fully qualified ASCII domain, else the address literal of the local end
  // ("[192.0.2.5]").
  std::string GreetingName();
  TSocketTalk& Talk() { return *FTalk; }

  // One whole attempt: Connect, Send, Disconnect, bounded by Deadline
  // seconds overall besides the silence time-out. Network outcomes, refusals
  // and a cancel are in the result; misuse still raises as above.
  TDeliveryResult Deliver();
  // When not empty, the recipients Deliver sends to (a comma list of bare
  // addresses) in place of every address of the message's To, Cc and Bcc
  // lists, which the header lines still show: a retry for the recipients
  // that refused an earlier attempt for now.
  std::string EnvelopeRecipients;
  // Longest whole conversation of Deliver (or from Connect to Disconnect),
  // in seconds; 0 or less: none.
  int Deadline = 300;
  // Safe from any thread: ends the conversation in progress (its wait
  // returns within moments) as "cancelled by stop", and makes every later
  // exchange of this client fail the same way. It posts an empty task to
  // the client's loop to wake the wait, so the client and the loop of its
  // thread must still exist during the call. No QUIT follows a cancel.
  void RequestCancel();
  bool CancelRequested() const { return FCancel.load(); }

 private:
  // The states of the conversation; ssReady and ssFailed end a run.
  enum TSmtpState {
    ssGreeting, ssTls, ssEhlo, ssHelo, ssStartTls, ssAuth, ssAuthAnswer, ssRset, ssMail, ssRcpt, ssData, ssText,
    ssQuit, ssReady, ssFailed
  };
  // What a state sends before its reply is awaited.
  enum class TSends { Nothing, Command, MessageText, Handshake };
  // One row per state, the whole truth about it: the step it reports, what
  // it sends (Command: the line `command` makes), and the handler that
  // judges the reply and names the next state.
  struct TStateRow {
    TSmtpState state;
    TSmtpStep step;
    TSends sends;
    std::string (TSMTPClient::*command)() const;
    TSmtpState (TSMTPClient::*judge)(const TSmtpReply& reply);
  };
  static const TStateRow kStates[];
  static const TStateRow& RowOf(TSmtpState state);

  // What is known of the connection; a new connection starts from a fresh
  // value.
  struct TConnection {
    bool socketConnected = false;  // the TCP connection came about
    bool greeted = false;          // EHLO or HELO accepted and the connection open
    bool peerClosed = false;
    bool noQuit = false;           // the connection is beyond a polite QUIT
    bool dataOpen = false;         // the message text went out and was not answered
    bool openTransaction = false;  // MAIL was accepted and the transaction not finished
    bool tlsDone = false;          // the handshake ended well
    Status tlsFailure;
    bool passwordInClear = false;
    std::string heloName;
    TSmtpExtensions extensions;
    TSaslExchange auth;            // the login's exchange, UTF-8 inside
    size_t nextAnswer = 0;         // its next answer to a 334
    bool bearerAuth = false;       // the exchange carries a bearer token
    std::string challenge;         // a bearer challenge, decoded for the failure
    TTalkError talkError = teNone; // what ended the last wait
    int talkErrorCode = 0;
  };
  // The envelope and text of the transaction in progress, and what came of
  // it.
  struct TTransaction {
    std::string from;
    std::vector<std::string> recipients;
    size_t nextRecipient = 0;
    size_t accepted = 0;
    std::string text;
    std::string acceptedReply;
    std::vector<std::pair<std::string, std::string>> refused;
  };

  // Runs the conversation from `state` until ssReady or ssFailed; true for
  // ssReady.
  bool Run(TSmtpState state);
  // The step a failure in `state` is reported at: CONNECT until the TCP
  // connection came about, TLS while TLS from the first byte is still
  // being negotiated.
  TSmtpStep StepOf(TSmtpState state) const;
  std::string RecipientOf(TSmtpState state) const;
  // Sends what the state sends; false (FStatus set) when that ended the run.
  bool SendFor(const TStateRow& row);
  // Waits for the reply to the command of `state`; false (FStatus set) when
  // none came.
  bool AwaitReply(TSmtpState state, TSmtpReply* reply);

  std::string EhloCommand() const;
  std::string HeloCommand() const;
  std::string StartTlsCommand() const;
  std::string AuthCommand() const;
  std::string AuthAnswerCommand() const;
  std::string RsetCommand() const;
  std::string MailCommand() const;
  std::string RcptCommand() const;
  std::string DataCommand() const;
  std::string QuitCommand() const;

  TSmtpState OnGreeting(const TSmtpReply& reply);
  TSmtpState OnEhlo(const TSmtpReply& reply);
  TSmtpState OnHelo(const TSmtpReply& reply);
  TSmtpState OnStartTls(const TSmtpReply& reply);
  TSmtpState OnAuth(const TSmtpReply& reply);
  TSmtpState OnRset(const TSmtpReply& reply);
  TSmtpState OnMail(const TSmtpReply& reply);
  TSmtpState OnRcpt(const TSmtpReply& reply);
  TSmtpState OnData(const TSmtpReply& reply);
  TSmtpState OnText(const TSmtpReply& reply);
  TSmtpState OnQuit(const TSmtpReply& reply);
  // What follows an accepted EHLO or HELO: STARTTLS, AUTH or ready.
  TSmtpState AfterGreetingWords();
  // Picks the mechanism and makes the login's exchange: ssAuth, or ssFailed.
  TSmtpState StartAuth();
  // Runs the TLS handshake on the open connection.
  TSmtpState Handshake();
  // The failure text of a wait that ended without a reply.
  std::string WaitFailureText();
  // "[2001:db8::1] (the last of 2 addresses tried): " before the reason of a
  // failed connection; empty when it would only repeat the host.
  std::string AttemptText();
  TSmtpState Refused(TSmtpState state, const TSmtpReply& reply);
  TSmtpState Failed(TSmtpState state, int64_t code, std::string text);
  // The mask of the current User and Password (made again when they change).
  const SecretMask& Mask() { return FMask.For(User, BearerToken.empty() ? Password : BearerToken); }

  std::vector<std::string> Envelope(const std::string& fromAddress, const std::string& recipients);
  std::string AllRecipients() const;
  void PrepareText();
  std::string TimeOutText(int seconds, bool inAll) const;
  // QUIT, when the connection is fit for it, waiting a few seconds at most.
  void SayQuit();
  [[noreturn]] void Fail(const char* suffix) const;
  void CheckText(const std::string& text) const;

  TlsSocket* FTls = nullptr;  // owned by FTalk
  std::unique_ptr<TSocketTalk> FTalk;
  // The deadline of a conversation opened by Connect (none within Deliver,
  // whose own deadline covers it), until Disconnect.
  std::optional<TalkDeadline> FConnectionDeadline;
  LoginMaskCache FMask;
  TSmtpReplyReader FReader;
  TConnection FLink;
  TTransaction FMail;
  TSmtpState FState = ssReady;  // the state whose reply is awaited
  Status FStatus;
  TSmtpStep FStep = TSmtpStep::None;  // the step of FStatus
  std::atomic<bool> FCancel{false};
};

}  // namespace qw
