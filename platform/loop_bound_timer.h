// LoopBoundTimer: a timer of one thread's message loop that other threads
// may set too.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/message_loop.h"
#include "platform/timer.h"

namespace qw {

// A timer that may be started, stopped and set from any thread while its
// ticks stay messages of the loop that owns it. Calls on the owning thread
// act at once; calls from other threads are handed to the owning thread
// through the loop, which applies the latest settings in the order they were
// made. Enabled() and Interval() answer what was last set.
// Create and destroy it on the owning thread.
class LoopBoundTimer : public Timer {
 public:
  // `inner` is a timer of `loop`, created on the calling thread.
  LoopBoundTimer(MessageLoop& loop, std::unique_ptr<Timer> inner);
  ~LoopBoundTimer() override;

  void SetEnabled(bool enabled) override;
  bool Enabled() const override;
  void SetInterval(int64_t milliseconds) override;
  int64_t Interval() const override;

 private:
  struct Shared;
  void Apply();

  MessageLoop& loop_;
  std::shared_ptr<Shared> shared_;
};

}  // namespace qw
