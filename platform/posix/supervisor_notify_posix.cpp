#include "platform/supervisor_notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace qw {

int64_t WatchdogUsecFor(const char* usec, const char* pid, int64_t ownPid) {
  auto decimal = [](const char* text, int64_t* value) {
    if (!text || !*text || std::strlen(text) > 18) return false;
    int64_t n = 0;
    for (const char* p = text; *p; ++p) {
      if (*p < '0' || *p > '9') return false;
      n = n * 10 + (*p - '0');
    }
    *value = n;
    return true;
  };
  int64_t interval = 0;
  if (!decimal(usec, &interval) || interval <= 0) return 0;
  if (pid && *pid) {
    int64_t target = 0;
    if (!decimal(pid, &target) || target != ownPid) return 0;
  }
  return interval;
}

namespace {

Status Errno(const char* what, int error) {
  return Status::Failure(what, error, std::strerror(error));
}

class NoSupervisor : public SupervisorNotifier {
 public:
  bool Active() const override { return false; }
  Status Send(const std::string&) override { return {}; }
  int64_t WatchdogUsec() const override { return 0; }
};

class SocketSupervisor : public SupervisorNotifier {
 public:
  SocketSupervisor(const std::string& name, int64_t watchdogUsec) : watchdogUsec_(watchdogUsec) {
    // "@name" is the abstract name "\0name"; anything else must be an
    // absolute path that fits.
    std::memset(&address_, 0, sizeof address_);
    address_.sun_family = AF_UNIX;
    const bool abstract = name[0] == '@';
    if (!abstract && name[0] != '/') {
      setup_ = Status::Failure("NOTIFY_SOCKET", EINVAL, "'" + name + "' is neither an absolute path nor an @name");
      return;
    }
    if (name.size() >= sizeof address_.sun_path || name.size() < 2) {
      setup_ = Status::Failure("NOTIFY_SOCKET", ENAMETOOLONG, "'" + name + "' is no socket name that fits");
      return;
    }
    std::memcpy(address_.sun_path, name.data(), name.size());
    if (abstract) address_.sun_path[0] = '\0';
    length_ = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + (abstract ? 0 : 1));
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) setup_ = Errno("socket", errno);
  }
  ~SocketSupervisor() override {
    if (fd_ >= 0) ::close(fd_);
  }

  bool Active() const override { return true; }

  Status Send(const std::string& lines) override {
    if (!setup_) return setup_;
    const ssize_t sent = ::sendto(fd_, lines.data(), lines.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                                  reinterpret_cast<const sockaddr*>(&address_), length_);
    if (sent < 0) return Errno("sendto", errno);
    if (static_cast<size_t>(sent) != lines.size())
      return Status::Failure("sendto", 0, "the datagram went out in part");
    return {};
  }

  int64_t WatchdogUsec() const override { return watchdogUsec_; }

 private:
  sockaddr_un address_{};
  socklen_t length_ = 0;
  int fd_ = -1;
  Status setup_;
  int64_t watchdogUsec_;
};

}  // namespace

std::unique_ptr<SupervisorNotifier> NewSupervisorNotifier() {
  const char* socket = std::getenv("NOTIFY_SOCKET");
  if (!socket || !*socket) return std::make_unique<NoSupervisor>();
  const int64_t watchdog =
      WatchdogUsecFor(std::getenv("WATCHDOG_USEC"), std::getenv("WATCHDOG_PID"), static_cast<int64_t>(::getpid()));
  return std::make_unique<SocketSupervisor>(socket, watchdog);
}

}  // namespace qw
