// The message loop of one thread: timer ticks, socket notifications and
// posted tasks arrive as messages of the thread that owns them and run when
// that thread dispatches its messages. Windows uses the thread's real
// message queue; POSIX builds the same on poll() with an eventfd and timer
// deadlines.
//
// Waiting code (the SMTP conversation) does not block: it dispatches the
// thread's messages until what it waits for has happened.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/timer.h"

namespace qw {

class MessageLoop {
 public:
  virtual ~MessageLoop() = default;

  // A stopped timer (period 1,000 ms) whose ticks are messages of this loop.
  // Use it on the loop's thread only.
  virtual std::unique_ptr<Timer> CreateTimer() = 0;

  // Queues `task` to run on the loop's thread. Safe from any thread.
  virtual void Post(std::function<void()> task) = 0;

  // Dispatches the messages pending now without waiting; true when at least
  // one was dispatched.
  virtual bool ProcessPending() = 0;

  // Waits at most `maxWaitMs` milliseconds (-1: no limit) for a message and
  // dispatches what is pending then.
  virtual void WaitAndProcess(int64_t maxWaitMs) = 0;

  // Dispatches messages until Quit is called. Quit is safe from any thread.
  virtual void Run() = 0;
  virtual void Quit() = 0;
};

// The loop of the calling thread, created at the first call on that thread.
MessageLoop& ThisThreadLoop();

}  // namespace qw
