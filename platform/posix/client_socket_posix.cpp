// The client socket on POSIX: a non-blocking socket watched by the opening
// thread's poll loop; names are looked up with getaddrinfo (both families) on
// a helper thread whose answer is posted back to that loop; the addresses are
// dialled one after the other, each attempt on a socket of its own family.
#include "platform/client_socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/posix/poll_loop.h"

namespace qw {

namespace {

// POSIX error numbers as the Windows Sockets numbers the callers know.
int WsaCode(int err) {
  switch (err) {
    case EWOULDBLOCK: return 10035;
    case EINPROGRESS: return 10036;
    case EALREADY: return 10037;
    case ENOTSOCK: return 10038;
    case EMSGSIZE: return 10040;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case ENETRESET: return 10052;
    case ECONNABORTED: return 10053;
    case EPIPE: return 10053;
    case ECONNRESET: return 10054;
    case ENOBUFS: return 10055;
    case EISCONN: return 10056;
    case ENOTCONN: return 10057;
    case ETIMEDOUT: return 10060;
    case ECONNREFUSED: return 10061;
    case EHOSTDOWN: return 10064;
    case EHOSTUNREACH: return 10065;
    case EACCES: return 10013;
    case EMFILE: return 10024;
    default: return err > 0 ? 10000 + err : 10000;
  }
}

int WsaLookupCode(int gaiError, int err) {
  switch (gaiError) {
    case EAI_NONAME: return 11001;  // WSAHOST_NOT_FOUND
#ifdef EAI_NODATA
    case EAI_NODATA: return 11004;  // WSANO_DATA
#endif
    case EAI_AGAIN: return 11002;   // WSATRY_AGAIN
    case EAI_SYSTEM: return WsaCode(err);
    default: return 11003;          // WSANO_RECOVERY
  }
}

// The fully qualified name of this computer (the canonical name of its host
// name), found once per process on a helper thread, so that no socket ever
// waits for the resolver; until it is known LocalHostName gives the plain
// host name. Never freed: the helper may outlive everything else.
struct LocalNameCache {
  std::mutex mu;
  bool started = false;
  std::string fullName;
};

LocalNameCache& TheLocalNameCache() {
  static LocalNameCache* cache = new LocalNameCache;
  return *cache;
}

void StartLocalNameLookup() {
  LocalNameCache& cache = TheLocalNameCache();
  {
    std::lock_guard<std::mutex> lock(cache.mu);
    if (cache.started) return;
    cache.started = true;
  }
  try {
    std::thread([] {
      char name[257] = {};
      if (gethostname(name, 256) != 0) return;
      addrinfo hints{};
      hints.ai_family = AF_INET;
      hints.ai_socktype = SOCK_STREAM;
      hints.ai_flags = AI_CANONNAME;
      addrinfo* found = nullptr;
      std::string canonical;
      if (getaddrinfo(name, nullptr, &hints, &found) == 0 && found && found->ai_canonname) {
        canonical = found->ai_canonname;
      }
      if (found) freeaddrinfo(found);
      LocalNameCache& c = TheLocalNameCache();
      std::lock_guard<std::mutex> lock(c.mu);
      c.fullName = canonical;
    }).detach();
  } catch (const std::system_error&) {
    // No helper thread: the plain host name serves.
  }
}

std::string LocalFullName() {
  LocalNameCache& cache = TheLocalNameCache();
  std::lock_guard<std::mutex> lock(cache.mu);
  return cache.fullName;
}

bool FromSockaddr(const sockaddr_storage& from, IpAddress* address) {
  IpAddress result;
  if (from.ss_family == AF_INET) {
    std::memcpy(result.bytes, &reinterpret_cast<const sockaddr_in*>(&from)->sin_addr, 4);
  } else if (from.ss_family == AF_INET6) {
    result.v6 = true;
    std::memcpy(result.bytes, &reinterpret_cast<const sockaddr_in6*>(&from)->sin6_addr, 16);
  } else {
    return false;
  }
  *address = result;
  return true;
}

class PosixClientSocket : public ClientSocket {
 public:
  PosixClientSocket() : token_(std::make_shared<PosixClientSocket*>(this)) {}
  ~PosixClientSocket() override {
    *token_ = nullptr;
    Release();
  }

  Status Open() override {
    if (state_ != kClosed) return Status();
    loop_ = &ThisThreadPollLoop();
    ++generation_;
    addresses_.clear();
    next_ = 0;
    attempts_ = 0;
    lastError_ = 0;
    current_.clear();
    // Only an address literal is taken as a number (inet_addr would make
    // "1.2.3.4.5" 255.255.255.255); a name that looks numeric otherwise is
    // not handed to the resolver, which would read "127.1" or "0x7f.1" in
    // the old forms.
    IpAddress literal;
    const std::string& target = Host().empty() ? Address() : Host();
    if (ParseHostLiteral(target, &literal)) {
      addresses_.push_back(literal);
      DialNext();
    } else if (Host().empty() || LooksNumeric(Host())) {
      state_ = kLookingUp;
      std::weak_ptr<PosixClientSocket*> token = token_;
      uint64_t generation = generation_;
      loop_->Post([token, generation] {
        auto alive = token.lock();
        if (alive && *alive) (*alive)->OnLookupDone(generation, {}, 11001);
      });
    } else {
      state_ = kLookingUp;
      const Status started = StartLookup();
      if (!started) return started;
    }
    StartLocalNameLookup();
    return Status();
  }

  void Close() override {
    if (state_ == kConnected) {
      CloseConnection();
    } else {
      Release();
    }
  }

  bool Active() const override { return state_ == kConnected; }

  bool TryNextAddress() override {
    if (state_ != kConnecting || next_ >= addresses_.size()) return false;
    lastError_ = 10060;  // this one stayed silent
    DialNext();
    return true;
  }

  std::string AttemptAddressText() override { return current_; }
  int AttemptCount() override { return attempts_; }

  Result<int> SendBytes(const void* bytes, int count) override {
    if (state_ != kConnected) return NotConnected();
    if (count <= 0) return 0;
    ssize_t sent;
    int err;
    {
      std::lock_guard<std::mutex> lock(io_);
      sent = send(fd_, bytes, static_cast<size_t>(count), MSG_NOSIGNAL);
      err = errno;
    }
    if (sent >= 0) return static_cast<int>(sent);
    if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR) {
      loop_->SetFdEvents(fd_, POLLIN | POLLOUT);  // OnWrite when it drains
      return 0;
    }
    // The failure is the result: the notification informs, nothing raises.
    const int code = WsaCode(err);
    Status failure = ApiFailure(code, "send");
    std::weak_ptr<PosixClientSocket*> token = token_;
    ReportCallError(eeSend, code);
    if (!token.expired() && *token.lock() && state_ == kConnected) CloseConnection();
    return failure;
  }

  int PendingLength() override {
    if (fd_ < 0) return 0;
    int pending = 0;
    if (ioctl(fd_, FIONREAD, &pending) < 0) return 0;
    return pending;
  }

  int ReceiveBytes(void* buffer, int count) override {
    if (state_ != kConnected || count <= 0) return 0;
    ssize_t got;
    int err;
    {
      std::lock_guard<std::mutex> lock(io_);
      got = recv(fd_, buffer, static_cast<size_t>(count), 0);
      err = errno;
    }
    if (got >= 0) return static_cast<int>(got);
    if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR) return 0;
    FailConnection(eeReceive, WsaCode(err), "recv");
    return 0;
  }

  std::string LocalHostName() override {
    if (fd_ < 0) return "";
    char name[257] = {};
    if (gethostname(name, 256) != 0) return "";
    std::string fullName = LocalFullName();
    if (fullName.find('.') != std::string::npos && fullName.size() <= 256) return fullName;
    return name;
  }

  std::string LocalAddressText() override {
    if (fd_ < 0) return "";
    sockaddr_storage local{};
    socklen_t len = sizeof local;
    if (getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &len) != 0) return "";
    IpAddress address;
    if (!FromSockaddr(local, &address)) return "";
    return address.Text();
  }

 protected:
  std::string ErrorText(int code) override {
    // The numbers WsaCode maps by name have Windows numbers (not 10000 +
    // errno); the rest are 10000 + errno.
    switch (code) {
      case 10013: return "An attempt was made to access a socket in a way forbidden by its access permissions.";
      case 10024: return "Too many open sockets.";
      case 10035: return "A non-blocking socket operation could not be completed immediately.";
      case 10036: return "A blocking operation is currently executing.";
      case 10037: return "An operation was attempted on a non-blocking socket that already had an operation in progress.";
      case 10038: return "An operation was attempted on something that is not a socket.";
      case 10040: return "A message sent on a datagram socket was larger than the internal message buffer.";
      case 10048: return "Only one usage of each socket address is normally permitted.";
      case 10049: return "The requested address is not valid in its context.";
      case 10050: return "A socket operation encountered a dead network.";
      case 10051: return "A socket operation was attempted to an unreachable network.";
      case 10052: return "The connection has been broken due to keep-alive activity detecting a failure.";
      case 10053: return "An established connection was aborted by the software in your host machine.";
      case 10054: return "An existing connection was forcibly closed by the remote host.";
      case 10055: return "No buffer space available.";
      case 10056: return "A connect request was made on an already connected socket.";
      case 10057: return "The socket is not connected.";
      case 10060: return "The connection timed out.";
      case 10061: return "No connection could be made because the target machine actively refused it.";
      case 10064: return "A socket operation failed because the destination host was down.";
      case 10065: return "A socket operation was attempted to an unreachable host.";
      case 11001: return "No such host is known.";
      case 11002: return "This is usually a temporary error during hostname resolution.";
      case 11003: return "A non-recoverable error occurred during a database lookup.";
      case 11004: return "The requested name is valid, but no data of the requested type was found.";
      default: return code > 10000 && code < 11000 ? std::strerror(code - 10000) : "Socket error";
    }
  }

 private:
  enum State { kClosed, kLookingUp, kConnecting, kConnected };

  Status StartLookup() {
    std::weak_ptr<PosixClientSocket*> token = token_;
    std::shared_ptr<PollLoop::Poster> poster = loop_->PostHandle();
    std::string host = HostWithoutBrackets(Host());
    uint64_t generation = generation_;
    try {
      std::thread([token, poster, host, generation] {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;  // both families
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
        int err = errno;
        std::vector<IpAddress> resolved;
        int code = 0;
        if (rc == 0) {
          for (addrinfo* at = found; at; at = at->ai_next) {
            if (!at->ai_addr || at->ai_addrlen > sizeof(sockaddr_storage)) continue;
            sockaddr_storage copy{};
            std::memcpy(&copy, at->ai_addr, at->ai_addrlen);
            IpAddress address;
            if (FromSockaddr(copy, &address)) resolved.push_back(address);
          }
          if (resolved.empty()) code = 11004;  // WSANO_DATA: no address of a known family
        } else {
          code = WsaLookupCode(rc, err);
        }
        if (found) freeaddrinfo(found);
        if (!resolved.empty()) resolved = InterleaveFamilies(resolved);
        poster->Post([token, generation, resolved, code] {
          auto alive = token.lock();
          if (!alive || !*alive) return;
          (*alive)->OnLookupDone(generation, resolved, code);
        });
      }).detach();
    } catch (const std::system_error& e) {
      Release();
      return ApiFailure(WsaCode(e.code().value()), "getaddrinfo");
    }
    return Status();
  }

  void OnLookupDone(uint64_t generation, const std::vector<IpAddress>& resolved, int code) {
    if (generation != generation_ || state_ != kLookingUp) return;  // abandoned meanwhile
    if (code != 0) {
      // The lookup failed: report it and close the socket.
      std::weak_ptr<PosixClientSocket*> token = token_;
      int left = ReportCallError(eeLookup, code);
      if (token.expired() || !*token.lock()) return;
      if (OnDisconnect) {
        std::function<void()> handler = OnDisconnect;
        handler();
        if (token.expired() || !*token.lock()) return;
      }
      Release();
      if (left != 0) ThrowAsyncError(left);
      return;
    }
    addresses_ = resolved;
    next_ = 0;
    DialNext();
  }

  // Starts the attempt to the next address that can be dialled; an address
  // whose attempt fails at once (no route, no such family here) is passed
  // over. With none left, the error notification follows with the last
  // failure's error.
  void DialNext() {
    while (next_ < addresses_.size()) {
      const IpAddress address = addresses_[next_++];
      ++attempts_;
      current_ = address.Text();
      CloseFd();
      state_ = kConnecting;
      const int code = StartConnect(address);
      if (code == 0) return;
      lastError_ = code;
    }
    CloseFd();
    state_ = kConnecting;  // until the notification runs
    std::weak_ptr<PosixClientSocket*> token = token_;
    uint64_t generation = generation_;
    int code = lastError_ != 0 ? lastError_ : 10061;
    // Reported like a failed connection: as a notification.
    loop_->Post([token, generation, code] {
      auto alive = token.lock();
      if (!alive || !*alive) return;
      PosixClientSocket* self = *alive;
      if (self->generation_ != generation || self->state_ != kConnecting) return;
      self->Release();
      self->ReportAsyncError(eeConnect, code);
    });
  }

  // 0 when the connection is under way (watched by the loop), else the error.
  int StartConnect(const IpAddress& address) {
    sockaddr_storage peer{};
    socklen_t length = 0;
    if (address.v6) {
      auto* v6 = reinterpret_cast<sockaddr_in6*>(&peer);
      v6->sin6_family = AF_INET6;
      v6->sin6_port = htons(static_cast<uint16_t>(Port()));
      std::memcpy(&v6->sin6_addr, address.bytes, 16);
      length = sizeof *v6;
    } else {
      auto* v4 = reinterpret_cast<sockaddr_in*>(&peer);
      v4->sin_family = AF_INET;
      v4->sin_port = htons(static_cast<uint16_t>(Port()));
      std::memcpy(&v4->sin_addr, address.bytes, 4);
      length = sizeof *v4;
    }
    int fd = socket(peer.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return WsaCode(errno);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // commands are small
    fd_ = fd;
    int rc = connect(fd_, reinterpret_cast<sockaddr*>(&peer), length);
    if (rc != 0 && errno != EINPROGRESS) return WsaCode(errno);
    std::weak_ptr<PosixClientSocket*> token = token_;
    loop_->WatchFd(fd, POLLIN | POLLOUT, [token](short revents) {
      auto alive = token.lock();
      if (alive && *alive) (*alive)->OnReady(revents);
    });
    return 0;
  }

  void OnReady(short revents) {
    std::weak_ptr<PosixClientSocket*> token = token_;
    auto gone = [&] { return token.expired() || !*token.lock(); };
    if (state_ == kConnecting) {
      int err = 0;
      socklen_t len = sizeof err;
      if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
      if (err != 0) {
        lastError_ = WsaCode(err);
        DialNext();  // the next address, or the error notification
        return;
      }
      if (!(revents & POLLOUT)) return;
      state_ = kConnected;
      loop_->SetFdEvents(fd_, POLLIN);
      if (OnConnect) {
        std::function<void()> handler = OnConnect;
        handler();
      }
      return;
    }
    if (state_ != kConnected) return;
    if (revents & POLLOUT) {
      loop_->SetFdEvents(fd_, POLLIN);
      if (OnWrite) {
        std::function<void()> handler = OnWrite;
        handler();
        if (gone() || state_ != kConnected) return;
      }
    }
    if (!(revents & (POLLIN | POLLHUP | POLLERR))) return;
    if (PendingLength() > 0) {
      // Data first: a last reply before the close is not lost.
      if (OnRead) {
        std::function<void()> handler = OnRead;
        handler();
      }
      return;
    }
    char probe;
    ssize_t got;
    int err;
    {
      std::lock_guard<std::mutex> lock(io_);
      got = recv(fd_, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
      err = errno;
    }
    if (got > 0) {
      if (OnRead) {
        std::function<void()> handler = OnRead;
        handler();
      }
    } else if (got == 0) {
      CloseConnection();
    } else if (err != EAGAIN && err != EWOULDBLOCK && err != EINTR) {
      // The connection broke (reset): report it, then close it, so that the
      // socket does not stay Active with nothing left to notify.
      int left = ReportCallError(eeDisconnect, WsaCode(err));
      if (gone()) return;
      if (state_ == kConnected) CloseConnection();
      if (left != 0) ThrowAsyncError(left);
    }
  }

  // OnDisconnect, then the socket is released.
  void CloseConnection() {
    std::weak_ptr<PosixClientSocket*> token = token_;
    if (OnDisconnect) {
      std::function<void()> handler = OnDisconnect;
      handler();
      if (token.expired() || !*token.lock()) return;
    }
    Release();
  }

  // A failed send or receive: the error notification, the connection closed,
  // and the error raised when the handler did not consume it.
  void FailConnection(TErrorEvent event, int code, const char* api) {
    std::weak_ptr<PosixClientSocket*> token = token_;
    int left = ReportCallError(event, code);
    if (token.expired() || !*token.lock()) return;
    if (state_ == kConnected) CloseConnection();
    if (left != 0) ThrowApiError(left, api);
  }

  void CloseFd() {
    if (fd_ >= 0) {
      if (loop_) loop_->UnwatchFd(fd_);
      close(fd_);
    }
    fd_ = -1;
  }

  void Release() {
    CloseFd();
    state_ = kClosed;
    ++generation_;
  }

  std::shared_ptr<PosixClientSocket*> token_;
  PollLoop* loop_ = nullptr;
  int fd_ = -1;
  State state_ = kClosed;
  std::vector<IpAddress> addresses_;  // of this Open, in the order of the attempts
  size_t next_ = 0;                   // the next one to try
  int attempts_ = 0;
  int lastError_ = 0;                 // of the last failed attempt
  std::string current_;               // the address of the attempt in progress or last made
  uint64_t generation_ = 0;
  std::mutex io_;
};

}  // namespace

std::unique_ptr<ClientSocket> NewClientSocket() { return std::make_unique<PosixClientSocket>(); }

}  // namespace qw
