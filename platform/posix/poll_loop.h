// The POSIX message loop seen from inside platform/posix: besides the
// MessageLoop interface it watches file descriptors, so that socket readiness
// arrives as a message of the loop's thread like a timer tick or a posted task.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/message_loop.h"

namespace qw {

class PollLoop : public MessageLoop {
 public:
  // Calls `onReady` on the loop's thread with the poll() revents whenever
  // `fd` is ready for `events` (POLLIN, POLLOUT). Watching an fd again
  // replaces the earlier watch. Loop thread only.
  virtual void WatchFd(int fd, short events, std::function<void(short revents)> onReady) = 0;
  // Changes the events of a watched fd. Loop thread only.
  virtual void SetFdEvents(int fd, short events) = 0;
  virtual void UnwatchFd(int fd) = 0;

  // A handle through which other threads post tasks to this loop; posting
  // through it after the loop has gone does nothing.
  class Poster {
   public:
    virtual ~Poster() = default;
    virtual void Post(std::function<void()> task) = 0;
  };
  virtual std::shared_ptr<Poster> PostHandle() = 0;
};

// The calling thread's loop (ThisThreadLoop()) as a PollLoop.
PollLoop& ThisThreadPollLoop();

// Milliseconds of a monotonic clock.
int64_t MonotonicMs();

}  // namespace qw
