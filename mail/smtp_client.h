// TSMTPClient delivers one TMailMessage to an SMTP server (RFC 5321) over one
// TCP connection: Connect opens it and says HELO, Send or SendTo give the
// envelope (MAIL FROM, one RCPT TO per distinct recipient) and the message
// text after DATA, Disconnect says QUIT and closes. Each command is one
// synchronous exchange of its TSocketTalk, which waits by dispatching the
// calling thread's messages.
//
// Network outcomes are boolean results. Misuse (no message, a message that
// needs rebuilding, no recipients, CR, LF or NUL in an address, the host or
// a command) raises std::runtime_error with Name + ": " + a fixed text
// before anything is sent.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "mail/mail_message.h"
#include "mail/mail_types.h"
#include "mail/socket_talk.h"
#include "platform/client_socket.h"
#include "platform/message_loop.h"
#include "platform/status.h"

namespace qw {

// What one delivery attempt came to.
struct TDeliveryResult {
  // Ok when the server accepted the message text for at least one
  // recipient. Otherwise What() names the step by its SMTP word ("CONNECT",
  // "GREETING", "EHLO", "HELO", "MAIL", "RCPT <address>", "DATA", "." for the
  // end of the text), Code() is the reply code (0 for a socket error, a
  // time-out, a stop, a reply that is not SMTP), and Text() is the server's
  // final reply line verbatim, the socket error's text, "time-out after N s",
  // or "cancelled by stop".
  Status status;
  // Recipients the server refused, each with its reply line verbatim.
  std::vector<std::pair<std::string, std::string>> refused;
  // The server's reply line to the message text when it was accepted.
  std::string acceptedReply;

  bool Delivered() const { return status.Ok(); }
  bool Complete() const { return status.Ok() && refused.empty(); }
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
  // The server: a host name or a dotted numeric address.
  std::string Host;
  // The message to send; not owned.
  TMailMessage* MailMessage = nullptr;
  // Packet size for the message text; 0 or less sends it in one piece.
  int PacketSize = 102400;

  // Longest silence allowed while waiting for the server, in seconds.
  int TimeOut() const { return FTalk->TimeOut(); }
  void SetTimeOut(int seconds) { FTalk->SetTimeOut(seconds); }
  // Progress while the message text goes out in packets (Sender: this).
  const TProgressEvent& OnProgress() const { return FTalk->OnProgress; }
  void SetOnProgress(TProgressEvent handler) { FTalk->OnProgress = std::move(handler); }

  // True after HELO was accepted, until Disconnect or the connection closes.
  bool Connected() const { return FConnected; }

  // Opens the connection, waits for the greeting, says HELO. True when HELO
  // was accepted. False, without raising, when a connection is open or
  // active, when Host is empty, on a refusal, a socket error, the closing of
  // the connection or a time-out; a failed attempt closes what it opened.
  // Errors of the socket while opening (ESocketError) pass to the caller.
  bool Connect();
  // Sends MailMessage from the address of its "From" header to every address
  // of its To, Cc and Bcc lists. True when the server accepted the text.
  bool Send();
  // Sends MailMessage with an explicit envelope: `fromAddress` is a bare
  // address, `recipients` a comma list of bare addresses (sent in ascending
  // order, letter case ignored, each address once).
  bool SendTo(const std::string& fromAddress, const std::string& recipients);
  // Says QUIT (waiting a few seconds at most for the answer) when connected,
  // then closes the connection. No QUIT follows a message text that the
  // server did not answer (it would be read as more text).
  void Disconnect();

  TSocketTalk& Talk() { return *FTalk; }

  // One whole attempt: Connect, Send, Disconnect, bounded by Deadline
  // seconds overall besides the silence time-out. Network outcomes, refusals
  // and a cancel are in the result; misuse still raises as above.
  TDeliveryResult Deliver();
  // Longest whole conversation of Deliver, in seconds.
  int Deadline = 300;
  // Safe from any thread: ends the conversation in progress (its wait
  // returns within moments) as "cancelled by stop", and makes every later
  // exchange of this client fail the same way.
  void RequestCancel();
  bool CancelRequested() const { return FCancel.load(); }

  // A dotted numeric address, every piece an integer of 0 or more ("25",
  // "192.168.1.10"; not "mail", "host-1.lan" or "10.0.0.1.").
  static bool IsNumericAddress(const std::string& text);
  // Text with a "." doubled at the start of every line, so that no line of
  // it can end the data.
  static std::string MakeTransparent(const std::string& text);
  // The reply received so far is complete: its last line ends with CR LF and
  // is a final line (three digits and a blank, or three digits alone).
  static bool IsCompleteReply(const std::string& text);

 private:
  void OnReplyComplete(TTalkStep step, bool& succeeded, const std::string& reply);
  void OnPieceReceived(bool& succeeded, const std::string& piece);
  [[noreturn]] void Fail(const char* suffix) const;
  void CheckText(const std::string& text) const;

  std::unique_ptr<TSocketTalk> FTalk;
  bool FConnected = false;
  bool FDataOpen = false;  // the message text went out and was not answered
  std::atomic<bool> FCancel{false};
};

}  // namespace qw
