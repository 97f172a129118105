#include "tools/smtp_test_server.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
using SocketHandle = SOCKET;
constexpr SocketHandle kNoSocket = INVALID_SOCKET;
static void CloseSocket(SocketHandle s) { closesocket(s); }
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
using SocketHandle = int;
constexpr SocketHandle kNoSocket = -1;
static void CloseSocket(SocketHandle s) { close(s); }
#endif

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>

namespace qw {

namespace {

SocketHandle H(uintptr_t s) { return static_cast<SocketHandle>(s); }

// Waits at most `ms` for `s` to be readable.
bool Readable(SocketHandle s, int ms) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  timeval tv{ms / 1000, (ms % 1000) * 1000};
  return select(static_cast<int>(s) + 1, &set, nullptr, nullptr, &tv) > 0;
}

bool SendAll(SocketHandle s, const std::string& bytes) {
  size_t at = 0;
  while (at < bytes.size()) {
#ifdef _WIN32
    int n = send(s, bytes.data() + at, static_cast<int>(bytes.size() - at), 0);
#else
    ssize_t n = send(s, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
#endif
    if (n <= 0) return false;
    at += static_cast<size_t>(n);
  }
  return true;
}

std::string Between(const std::string& line, char open, char close) {
  size_t a = line.find(open);
  if (a == std::string::npos) return "";
  size_t b = line.find(close, a + 1);
  if (b == std::string::npos) return line.substr(a + 1);
  return line.substr(a + 1, b - a - 1);
}

std::string Unstuff(const std::string& raw) {
  std::string out;
  out.reserve(raw.size());
  size_t start = 0;
  while (start < raw.size()) {
    size_t end = raw.find("\r\n", start);
    size_t next = end == std::string::npos ? raw.size() : end + 2;
    size_t from = raw[start] == '.' ? start + 1 : start;
    out.append(raw, from, next - from);
    start = next;
  }
  return out;
}

// A command line as the log shows it: printable ASCII kept, other bytes and
// the backslash as \xHH.
std::string Printable(const std::string& line) {
  std::string out;
  for (unsigned char ch : line) {
    if (ch >= 0x20 && ch <= 0x7e && ch != '\\') {
      out += static_cast<char>(ch);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", ch);
      out += hex;
    }
  }
  return out;
}

SmtpTestServer::Reply DefaultReply(const std::string& verb) {
  using R = SmtpTestServer::Reply;
  if (verb == "GREETING") return R::Text("220 localhost test SMTP server ready\r\n");
  if (verb == "HELO") return R::Text("250 localhost\r\n");
  if (verb == "EHLO") return R::Text("250-localhost\r\n250 8BITMIME\r\n");
  if (verb == "MAIL" || verb == "RCPT" || verb == "RSET" || verb == "NOOP") return R::Text("250 OK\r\n");
  if (verb == "DATA") return R::Text("354 End data with <CR><LF>.<CR><LF>\r\n");
  if (verb == "DOT") return R::Text("250 OK queued\r\n");
  if (verb == "QUIT") return R::CloseAfter("221 Bye\r\n");
  return R::Text("500 Unrecognised command\r\n");
}

}  // namespace

SmtpTestServer::Reply SmtpTestServer::Reply::Text(std::string bytes) {
  Reply r;
  r.pieces.push_back(Piece{0, std::move(bytes)});
  return r;
}
SmtpTestServer::Reply SmtpTestServer::Reply::Split(std::vector<std::string> parts, int delayMs) {
  Reply r;
  for (size_t i = 0; i < parts.size(); ++i) r.pieces.push_back(Piece{i == 0 ? 0 : delayMs, std::move(parts[i])});
  return r;
}
SmtpTestServer::Reply SmtpTestServer::Reply::Delayed(int delayMs, std::string bytes) {
  Reply r;
  r.pieces.push_back(Piece{delayMs, std::move(bytes)});
  return r;
}
SmtpTestServer::Reply SmtpTestServer::Reply::Silence() {
  Reply r;
  r.silent = true;
  return r;
}
SmtpTestServer::Reply SmtpTestServer::Reply::CloseAfter(std::string bytes) {
  Reply r = Text(std::move(bytes));
  r.close = true;
  return r;
}
SmtpTestServer::Reply SmtpTestServer::Reply::ResetAfter(std::string bytes) {
  Reply r = Text(std::move(bytes));
  r.reset = true;
  return r;
}

SmtpTestServer::Reply SmtpTestServer::Reply::StopReadingAfter(std::string bytes) {
  Reply r = Text(std::move(bytes));
  r.stopReading = true;
  return r;
}
SmtpTestServer::Reply SmtpTestServer::Reply::Trickle(const std::string& bytes, size_t pieceSize, int delayMs) {
  Reply r;
  if (pieceSize == 0) pieceSize = 1;
  for (size_t at = 0; at < bytes.size(); at += pieceSize) {
    r.pieces.push_back(Piece{at == 0 ? 0 : delayMs, bytes.substr(at, pieceSize)});
  }
  return r;
}

SmtpTestServer::SmtpTestServer(std::string mailDir) : mailDir_(std::move(mailDir)), listener_(static_cast<uintptr_t>(kNoSocket)) {
#ifdef _WIN32
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
#endif
}

SmtpTestServer::~SmtpTestServer() {
  Stop();
#ifdef _WIN32
  WSACleanup();
#endif
}

void SmtpTestServer::Script(const std::string& verb, Reply reply, int occurrence) {
  std::lock_guard<std::mutex> lock(mu_);
  script_[{verb, occurrence}] = std::move(reply);
}

bool SmtpTestServer::Start(int port, bool ipv6) {
  SocketHandle s = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
  if (s == kNoSocket) return false;
  int one = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one), sizeof one);
  sockaddr_storage address{};
  socklen_t length = 0;
  if (ipv6) {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<uint16_t>(port));
    reinterpret_cast<unsigned char*>(&v6->sin6_addr)[15] = 1;  // ::1
    length = sizeof *v6;
  } else {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<uint16_t>(port));
    v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    length = sizeof *v4;
  }
  const socklen_t bound = length;
  if (bind(s, reinterpret_cast<sockaddr*>(&address), bound) != 0 || listen(s, 16) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    CloseSocket(s);
    return false;
  }
  port_ = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                     : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
  listener_ = static_cast<uintptr_t>(s);
  stop_ = false;
  thread_ = std::thread([this] { Serve(); });
  return true;
}

void SmtpTestServer::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (H(listener_) != kNoSocket) CloseSocket(H(listener_));
  listener_ = static_cast<uintptr_t>(kNoSocket);
}

std::vector<SmtpTestServer::Session> SmtpTestServer::Sessions() const {
  std::lock_guard<std::mutex> lock(mu_);
  return sessions_;
}

bool SmtpTestServer::WaitForSessions(size_t count, int timeoutMs) const {
  std::unique_lock<std::mutex> lock(mu_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    return std::count_if(sessions_.begin(), sessions_.end(), [](const Session& s) { return s.ended; }) >=
           static_cast<long>(count);
  });
}

bool SmtpTestServer::WaitUntil(const std::function<bool(const std::vector<Session>&)>& done, int timeoutMs) const {
  std::unique_lock<std::mutex> lock(mu_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return done(sessions_); });
}

bool SmtpTestServer::WaitForSilence(const std::string& verb, int timeoutMs) const {
  std::unique_lock<std::mutex> lock(mu_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    return std::find(silentAfter_.begin(), silentAfter_.end(), verb) != silentAfter_.end();
  });
}

size_t SmtpTestServer::MessageCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return stored_;
}

void SmtpTestServer::Serve() {
  while (!stop_) {
    if (!Readable(H(listener_), 50)) continue;
    SocketHandle c = accept(H(listener_), nullptr, nullptr);
    if (c == kNoSocket) continue;
    int one = 1;
    setsockopt(c, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    {
      std::lock_guard<std::mutex> lock(mu_);
      sessions_.emplace_back();
    }
    changed_.notify_all();
    Converse(static_cast<uintptr_t>(c));
    {
      std::lock_guard<std::mutex> lock(mu_);
      sessions_.back().ended = true;
    }
    changed_.notify_all();
  }
}

SmtpTestServer::Reply SmtpTestServer::ReplyFor(const std::string& verb, std::map<std::string, int>& counts) {
  int n = ++counts[verb];
  std::lock_guard<std::mutex> lock(mu_);
  auto it = script_.find({verb, n});
  if (it != script_.end()) return it->second;
  it = script_.find({verb, 0});
  if (it != script_.end()) return it->second;
  if (verb != "GREETING" && verb != "DOT" && DefaultReply(verb).pieces[0].bytes.rfind("500", 0) == 0) {
    it = script_.find({"*", 0});
    if (it != script_.end()) return it->second;
  }
  return DefaultReply(verb);
}

bool SmtpTestServer::SendReply(uintptr_t connection, const Reply& reply) {
  SocketHandle c = H(connection);
  if (reply.silent) return true;
  for (const Piece& piece : reply.pieces) {
    for (int waited = 0; waited < piece.delayMs && !stop_; waited += 10) {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::min(10, piece.delayMs - waited)));
    }
    if (!piece.bytes.empty() && !SendAll(c, piece.bytes)) return false;
  }
  if (reply.reset) {
    linger hard{1, 0};
    setsockopt(c, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof hard);
    return false;
  }
  return !reply.close;
}

void SmtpTestServer::Log(const std::string& line) {
  if (logPath_.empty()) return;
  std::lock_guard<std::mutex> lock(logMu_);
  std::ofstream out(logPath_, std::ios::binary | std::ios::app);
  out << line << "\n";
}

void SmtpTestServer::WaitUnread(uintptr_t connection, size_t session) {
  SocketHandle c = H(connection);
  while (!stop_) {
#ifdef _WIN32
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
#else
    // POLLRDHUP tells the peer's close without reading what it sent.
    pollfd p{c, POLLRDHUP, 0};
    if (poll(&p, 1, 50) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR))) break;
#endif
  }
  size_t unread = 0;
#ifdef _WIN32
  u_long pending = 0;
  if (ioctlsocket(c, FIONREAD, &pending) == 0) unread = pending;
#else
  int pending = 0;
  if (ioctl(c, FIONREAD, &pending) == 0 && pending > 0) unread = static_cast<size_t>(pending);
#endif
  {
    std::lock_guard<std::mutex> lock(mu_);
    sessions_[session].unreadBytes = unread;
  }
  Log("# unread " + std::to_string(unread) + " bytes");
}

void SmtpTestServer::StoreMessage(size_t session, std::string raw) {
  if (!keepData_ && mailDir_.empty()) {
    std::lock_guard<std::mutex> lock(mu_);
    ++stored_;
    return;
  }
  std::string message = Unstuff(raw);
  size_t number;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (keepData_) {
      sessions_[session].rawData.push_back(std::move(raw));
      sessions_[session].messages.push_back(message);
    }
    number = ++stored_;
  }
  if (!mailDir_.empty()) {
    char name[32];
    std::snprintf(name, sizeof name, "/%zu.eml", number);
    std::ofstream out(mailDir_ + name, std::ios::binary);
    out << message;
  }
}

void SmtpTestServer::Converse(uintptr_t connection) {
  SocketHandle c = H(connection);
  size_t session;
  {
    std::lock_guard<std::mutex> lock(mu_);
    session = sessions_.size() - 1;
  }
  Log("# session " + std::to_string(session + 1));
  std::map<std::string, int> counts;
  // Sends the reply chosen for `verb` and notes what it did; false when the
  // session ends with it (closed, reset, or the client gone).
  bool reading = true;
  bool clientClosed = false;
  auto answer = [&](const std::string& verb, const Reply& reply) {
    if (reply.silent) {
      Log("# silent after " + verb);
      {
        std::lock_guard<std::mutex> lock(mu_);
        silentAfter_.push_back(verb);
      }
      changed_.notify_all();
    }
    bool open = SendReply(connection, reply);
    if (reply.close || reply.reset) Log("# closed after " + verb);
    if (!open && !reply.close && !reply.reset) clientClosed = true;  // the send failed
    if (open && reply.stopReading) {
      Log("# stopped reading after " + verb);
      reading = false;
    }
    return open;
  };
  bool open = answer("GREETING", ReplyFor("GREETING", counts));
  std::string buffer;
  bool dataMode = false;
  size_t searchFrom = 0;
  std::vector<char> chunk(256 * 1024);
  while (open && reading && !stop_) {
    if (!Readable(c, 50)) continue;
    int n = static_cast<int>(recv(c, chunk.data(), static_cast<int>(chunk.size()), 0));
    if (n <= 0) {  // the client closed the connection
      clientClosed = true;
      break;
    }
    if (keepData_) {
      std::lock_guard<std::mutex> lock(mu_);
      sessions_[session].received.append(chunk.data(), static_cast<size_t>(n));
    }
    buffer.append(chunk.data(), static_cast<size_t>(n));
    for (;;) {
      if (dataMode) {
        std::string raw;
        if (buffer.compare(0, 3, ".\r\n") == 0) {
          buffer.erase(0, 3);
        } else {
          size_t end = buffer.find("\r\n.\r\n", searchFrom);
          if (end == std::string::npos) {
            searchFrom = buffer.size() > 4 ? buffer.size() - 4 : 0;
            break;
          }
          raw = buffer.substr(0, end + 2);
          buffer.erase(0, end + 5);
        }
        dataMode = false;
        searchFrom = 0;
        Log(".");
        Log("# text " + std::to_string(raw.size()) + " bytes");
        StoreMessage(session, std::move(raw));
        open = answer("DOT", ReplyFor("DOT", counts));
        if (!open || !reading) break;
        continue;
      }
      size_t end = buffer.find("\r\n");
      if (end == std::string::npos) break;
      std::string line = buffer.substr(0, end);
      buffer.erase(0, end + 2);
      std::string verb = line.substr(0, line.find(' '));
      if (verb.find(':') != std::string::npos) verb = verb.substr(0, verb.find(':'));
      for (char& ch : verb) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
      {
        std::lock_guard<std::mutex> lock(mu_);
        Session& s = sessions_[session];
        s.commands.push_back(line);
        if (verb == "MAIL") s.mailFrom = Between(line, '<', '>');
        if (verb == "RCPT") s.recipients.push_back(Between(line, '<', '>'));
      }
      changed_.notify_all();
      Log(Printable(line));
      Reply reply = ReplyFor(verb, counts);
      open = answer(verb, reply);
      if (!open || !reading) break;
      if (verb == "DATA" && !reply.silent && !reply.pieces.empty() && reply.pieces[0].bytes.rfind("3", 0) == 0) {
        dataMode = true;
        searchFrom = 0;
      }
    }
  }
  if (open && !reading) WaitUnread(connection, session);
  if (clientClosed || (open && !reading && !stop_)) {
    Log("# end client closed");
  } else if (stop_) {
    Log("# end server stopped");
  } else {
    Log("# end server closed");
  }
  CloseSocket(c);
}

}  // namespace qw
