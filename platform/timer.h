// A repeating timer whose ticks arrive as messages of the thread that owns it
// (a window timer). The period is a 64-bit count of milliseconds: any period
// works, also beyond the 32-bit limit of SetTimer.
#pragma once

#include <cstdint>
#include <functional>

namespace qw {

class Timer {
 public:
  virtual ~Timer() = default;

  // Starting a running timer changes nothing; stopping and starting it again
  // begins a full new period.
  virtual void SetEnabled(bool enabled) = 0;
  virtual bool Enabled() const = 0;

  // Changing the period of a running timer restarts it with the new period;
  // setting the period it already has changes nothing.
  // A period of 0 or less gives no ticks.
  virtual void SetInterval(int64_t milliseconds) = 0;
  virtual int64_t Interval() const = 0;

  // Called on the owning thread at each tick.
  std::function<void()> OnTimer;
};

// A timer that no loop serves: it keeps its settings and never ticks (the
// timers of a one-shot run, which never waits for one).
class IdleTimer : public Timer {
 public:
  void SetEnabled(bool enabled) override { enabled_ = enabled; }
  bool Enabled() const override { return enabled_; }
  void SetInterval(int64_t milliseconds) override { interval_ = milliseconds; }
  int64_t Interval() const override { return interval_; }

 private:
  bool enabled_ = false;
  int64_t interval_ = 1000;
};

}  // namespace qw
