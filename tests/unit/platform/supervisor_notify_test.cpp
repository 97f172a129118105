// The supervisor notification of the POSIX host: the watchdog interval taken
// from the environment, and datagrams that reach a socket of the test's own,
// named by a path or by an abstract name.
#ifndef _WIN32
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "platform/supervisor_notify.h"

namespace qw::test {
namespace {

TEST(SupervisorNotify, WatchdogIntervalIsForThisProcessOnly) {
  struct Case {
    const char* usec;
    const char* pid;
    int64_t expected;
  };
  const Case cases[] = {
      {"30000000", nullptr, 30'000'000}, {"30000000", "", 30'000'000}, {"30000000", "4242", 30'000'000},
      {"30000000", "4243", 0},           {"30000000", "42x", 0},       {nullptr, "4242", 0},
      {"", nullptr, 0},                  {"0", nullptr, 0},            {"-5", nullptr, 0},
      {"1e6", nullptr, 0},               {" 500", nullptr, 0},         {"9999999999999999999", nullptr, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(WatchdogUsecFor(c.usec, c.pid, 4242), c.expected)
        << "WATCHDOG_USEC=" << (c.usec ? c.usec : "(unset)") << " WATCHDOG_PID=" << (c.pid ? c.pid : "(unset)");
  }
}

// A datagram socket bound to `name` (a path, or "@..." for an abstract name).
class Receiver {
 public:
  explicit Receiver(const std::string& name) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name.data(), name.size());
    socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    if (name[0] == '@') address.sun_path[0] = '\0';
    else ++length;
    bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) == 0;
  }
  ~Receiver() { ::close(fd_); }
  bool Bound() const { return bound_; }
  // The next datagram, or "(none)" after a second.
  std::string Next() {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 1000) != 1) return "(none)";
    char buffer[4096];
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    return n < 0 ? "(error)" : std::string(buffer, static_cast<size_t>(n));
  }

 private:
  int fd_ = -1;
  bool bound_ = false;
};

// Sets NOTIFY_SOCKET (and clears the watchdog variables) for one test.
class NotifyEnvironment {
 public:
  explicit NotifyEnvironment(const char* socket) {
    if (socket) ::setenv("NOTIFY_SOCKET", socket, 1);
    else ::unsetenv("NOTIFY_SOCKET");
    ::unsetenv("WATCHDOG_USEC");
    ::unsetenv("WATCHDOG_PID");
  }
  ~NotifyEnvironment() { ::unsetenv("NOTIFY_SOCKET"); }
};

TEST(SupervisorNotify, DatagramsReachAPathOrAnAbstractSocket) {
  char folder[] = "/tmp/qw-notify-XXXXXX";
  ASSERT_NE(::mkdtemp(folder), nullptr);
  const std::string names[] = {std::string(folder) + "/notify",
                               "@qw-notify-test-" + std::to_string(::getpid())};
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    Receiver receiver(name);
    ASSERT_TRUE(receiver.Bound());
    NotifyEnvironment environment(name.c_str());
    ::setenv("WATCHDOG_USEC", "2000000", 1);
    auto notifier = NewSupervisorNotifier();
    ASSERT_TRUE(notifier->Active());
    EXPECT_EQ(notifier->WatchdogUsec(), 2'000'000);
    const std::string messages[] = {"READY=1\nSTATUS=Settings loaded", "WATCHDOG=1", "STOPPING=1"};
    for (const std::string& message : messages) {
      const Status sent = notifier->Send(message);
      EXPECT_TRUE(sent.Ok()) << sent.Describe();
      EXPECT_EQ(receiver.Next(), message) << "one datagram each, as sent";
    }
  }
  ::unlink(names[0].c_str());
  ::rmdir(folder);
}

TEST(SupervisorNotify, WithoutASupervisorNothingIsSentAndABadNameFailsEverySend) {
  {
    NotifyEnvironment environment(nullptr);
    auto notifier = NewSupervisorNotifier();
    EXPECT_FALSE(notifier->Active());
    EXPECT_TRUE(notifier->Send("READY=1").Ok());
    EXPECT_EQ(notifier->WatchdogUsec(), 0);
  }
  struct Case {
    std::string name;
    const char* what;
  };
  const Case cases[] = {
      {"relative/notify", "NOTIFY_SOCKET"},
      {"/" + std::string(200, 'x'), "NOTIFY_SOCKET"},
      {"@", "NOTIFY_SOCKET"},
      {"/nonexistent-qw-folder/notify", "sendto"},  // nobody listens there
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NotifyEnvironment environment(c.name.c_str());
    auto notifier = NewSupervisorNotifier();
    EXPECT_TRUE(notifier->Active());
    for (int i = 0; i < 2; ++i) {
      const Status sent = notifier->Send("WATCHDOG=1");
      EXPECT_FALSE(sent.Ok());
      EXPECT_EQ(sent.What(), c.what) << sent.Describe();
      EXPECT_FALSE(sent.Text().empty());
    }
  }
}

}  // namespace
}  // namespace qw::test
#endif
