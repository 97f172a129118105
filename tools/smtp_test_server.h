// A scriptable SMTP server for tests, listening on a loopback port and
// serving one connection at a time on a thread of its own. By default it
// behaves like an ordinary server and keeps what it receives; a script
// replaces the reply to a command by other text, by pieces sent with delays,
// by silence, by a closed connection or by a peer that reads nothing more,
// for every occurrence of the command or only for one of them. With a log
// file it writes what each session brought, one command per line, so that
// scripts can tell what a client sent (see SetLogFile).
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qw {

class SmtpTestServer {
 public:
  struct Piece {
    int delayMs = 0;    // pause before the bytes are sent
    std::string bytes;  // sent as they are (CR LF included)
  };
  struct Reply {
    std::vector<Piece> pieces;
    bool close = false;   // close the connection after the pieces
    bool reset = false;   // abort the connection (RST) after the pieces
    bool silent = false;  // answer nothing at all
    // After the pieces, read nothing more from the connection: what the
    // client sends stays in the socket buffers until they fill and its send
    // blocks. The session ends when the client closes (or the server stops);
    // the bytes left unread are then in Session::unreadBytes.
    bool stopReading = false;

    static Reply Text(std::string bytes);
    // The pieces, each `delayMs` after the one before.
    static Reply Split(std::vector<std::string> parts, int delayMs);
    static Reply Delayed(int delayMs, std::string bytes);
    static Reply Silence();
    static Reply CloseAfter(std::string bytes = "");
    static Reply ResetAfter(std::string bytes = "");
    static Reply StopReadingAfter(std::string bytes = "");
    // `bytes` in pieces of `pieceSize` bytes, each `delayMs` after the one
    // before (pieceSize 1: a reply split at every byte).
    static Reply Trickle(const std::string& bytes, size_t pieceSize, int delayMs);
  };

  // What one connection brought.
  struct Session {
    std::vector<std::string> commands;       // command lines, without CR LF
    std::string mailFrom;                    // between < and > of MAIL FROM
    std::vector<std::string> recipients;     // between < and > of each RCPT TO
    std::vector<std::string> rawData;        // each DATA text as received (dot-stuffed), ".\r\n" excluded
    std::vector<std::string> messages;       // each DATA text with the stuffed dots removed
    std::string received;                    // every byte received, in order
    size_t unreadBytes = 0;                  // left unread after a StopReadingAfter reply
    bool ended = false;
  };

  // `mailDir` non-empty: every message received is also written there as
  // <n>.eml.
  explicit SmtpTestServer(std::string mailDir = "");
  ~SmtpTestServer();
  SmtpTestServer(const SmtpTestServer&) = delete;
  SmtpTestServer& operator=(const SmtpTestServer&) = delete;

  // Replies by command verb: "GREETING", "HELO", "EHLO", "MAIL", "RCPT",
  // "DATA", "DOT" (the end of a message text), "QUIT", "RSET", "NOOP", or "*"
  // for any other command. `occurrence` 0 scripts every occurrence within a
  // session; n scripts only the n-th (from 1), which then wins over 0.
  void Script(const std::string& verb, Reply reply, int occurrence = 0);

  // With false, received bytes and message texts are counted but not kept
  // (for long runs with large messages). Set before Start.
  void SetKeepData(bool keep) { keepData_ = keep; }

  // Appends what every session brings to `path`, flushed line by line so
  // that it can be read while the server runs. Lines that begin with "# "
  // are the server's own notes; every other line is one command as received
  // (without CR LF; bytes below 0x20, above 0x7e and "\\" written as \xHH),
  // the end of a message text being the line ".":
  //   # session 1
  //   EHLO host / MAIL FROM:<a@b> / RCPT TO:<c@d> / DATA / . / QUIT
  //   # text 1234 bytes           after "." (the dot-stuffed text's size)
  //   # silent after DATA        a Silence reply was chosen
  //   # closed after RCPT        a CloseAfter or ResetAfter reply was sent
  //   # stopped reading after GREETING
  //   # unread 4096 bytes        at the end of a session that stopped reading
  //   # end client closed | # end server closed | # end server stopped
  // Set before Start; an empty path (the default) writes nothing.
  void SetLogFile(std::string path) { logPath_ = std::move(path); }

  // Listens on 127.0.0.1:`port`, or [::1]:`port` with `ipv6` (0: a free
  // port). False when it cannot.
  bool Start(int port = 0, bool ipv6 = false);
  int Port() const { return port_; }
  void Stop();

  std::vector<Session> Sessions() const;
  // Waits until `count` sessions have ended; false after `timeoutMs`.
  bool WaitForSessions(size_t count, int timeoutMs) const;
  // Waits until `done` holds for the sessions (looked at when a session
  // begins or ends and after each command); false after `timeoutMs`.
  bool WaitUntil(const std::function<bool(const std::vector<Session>&)>& done, int timeoutMs) const;
  // Waits until a Silence reply has been chosen after `verb` (the client
  // is then waiting for a reply that does not come); false after `timeoutMs`.
  bool WaitForSilence(const std::string& verb, int timeoutMs) const;
  // Messages received so far, over all sessions.
  size_t MessageCount() const;

 private:
  void Serve();
  void Converse(uintptr_t connection);
  bool SendReply(uintptr_t connection, const Reply& reply);
  Reply ReplyFor(const std::string& verb, std::map<std::string, int>& counts);
  void StoreMessage(size_t session, std::string raw);
  void Log(const std::string& line);
  // Waits without reading until the client closes or the server stops.
  void WaitUnread(uintptr_t connection, size_t session);

  std::string mailDir_;
  uintptr_t listener_;
  int port_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mu_;
  mutable std::condition_variable changed_;
  std::map<std::pair<std::string, int>, Reply> script_;
  std::vector<Session> sessions_;
  std::vector<std::string> silentAfter_;  // the verbs a Silence reply followed
  size_t stored_ = 0;
  bool keepData_ = true;
  std::string logPath_;
  std::mutex logMu_;
};

}  // namespace qw
