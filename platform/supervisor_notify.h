// Telling the supervisor that started the process (systemd with Type=notify)
// how the service is, in the documented notification protocol: one datagram
// of newline-separated VAR=VALUE lines ("READY=1", "WATCHDOG=1",
// "STOPPING=1", "STATUS=<text>") sent to the AF_UNIX socket named by the
// environment variable NOTIFY_SOCKET: a path, or an abstract name written
// with a leading '@'. The watchdog interval comes from WATCHDOG_USEC, for
// this process when WATCHDOG_PID is unset or names it.
//
// POSIX only: Windows has the Service Control Manager instead, and nothing
// there implements or includes this header.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/status.h"

namespace qw {

class SupervisorNotifier {
 public:
  virtual ~SupervisorNotifier() = default;

  // False without NOTIFY_SOCKET: Send then sends nothing and succeeds.
  virtual bool Active() const = 0;

  // Sends `lines` as one datagram, without waiting: a supervisor whose
  // queue is full is a failure (EAGAIN), never a blocked caller. A failure
  // names the step ("NOTIFY_SOCKET", "socket", "sendto") and the system's
  // words. Safe from any thread.
  virtual Status Send(const std::string& lines) = 0;

  // Microseconds between the WATCHDOG=1 pings the supervisor expects at the
  // latest; 0 when it expects none.
  virtual int64_t WatchdogUsec() const = 0;
};

// Reads NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID once. A NOTIFY_SOCKET
// that names no usable address gives an active notifier whose every Send
// fails with the reason.
std::unique_ptr<SupervisorNotifier> NewSupervisorNotifier();

// The watchdog interval of WATCHDOG_USEC (`usec`, decimal microseconds above
// 0) for the process `ownPid` when `pid` (WATCHDOG_PID) is null or empty or
// names it; 0 otherwise, also for a value that is no such number. Null
// `usec`: 0.
int64_t WatchdogUsecFor(const char* usec, const char* pid, int64_t ownPid);

}  // namespace qw
