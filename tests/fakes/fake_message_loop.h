// A message loop whose clock is moved by the test. Timers tick when the test
// advances the clock (AdvanceBy) or when code under test waits
// (WaitAndProcess jumps to the next deadline instead of sleeping), so
// time-outs of minutes run in no time and in a fixed order.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/message_loop.h"

namespace qw {

class FakeTimer;

class FakeMessageLoop : public MessageLoop {
 public:
  FakeMessageLoop();
  ~FakeMessageLoop() override;

  std::unique_ptr<Timer> CreateTimer() override;
  void Post(std::function<void()> task) override;  // safe from any thread
  bool ProcessPending() override;
  // Runs what is pending; when nothing is, moves the clock to the next timer
  // deadline, but not further than `maxWaitMs` (-1: no limit), and
  // dispatches what is due then. With no enabled timer and no limit the
  // clock stays where it is.
  void WaitAndProcess(int64_t maxWaitMs) override;
  // Dispatches until Quit. Throws std::logic_error when nothing could ever
  // happen any more (no task, no enabled timer, no Quit), instead of hanging.
  void Run() override;
  void Quit() override;  // safe from any thread

  // The fake clock in milliseconds; starts at 0.
  int64_t NowMs() const { return now_; }
  // Moves the clock forward by `ms`, ticking every timer that falls due on
  // the way (in order of time) and running posted tasks after each tick.
  void AdvanceBy(int64_t ms);

  // Called whenever WaitAndProcess finds nothing pending, before the clock
  // moves: a test can make something happen "while the code waits".
  std::function<void()> OnIdle;

  // Timers created by this loop and still alive, in order of creation.
  std::vector<FakeTimer*> Timers() const;
  size_t PendingTaskCount() const;
  // How many times WaitAndProcess was called.
  int WaitCount() const { return waitCount_; }

  // Used by FakeTimer.
  struct Core {
    std::map<uint64_t, FakeTimer*> timers;  // all live timers by id
    uint64_t nextId = 1;
    int64_t* now = nullptr;
  };

 private:
  bool RunTasks();
  bool FireDue();
  // The earliest deadline of an enabled timer; INT64_MAX when none.
  int64_t NextDeadline() const;

  int64_t now_ = 0;
  std::shared_ptr<Core> core_;
  mutable std::mutex mu_;
  std::deque<std::function<void()>> tasks_;
  std::atomic<bool> quit_{false};
  int waitCount_ = 0;
};

class FakeTimer : public Timer {
 public:
  explicit FakeTimer(std::weak_ptr<FakeMessageLoop::Core> core);
  ~FakeTimer() override;

  void SetEnabled(bool enabled) override;
  bool Enabled() const override { return enabled_; }
  void SetInterval(int64_t milliseconds) override;
  int64_t Interval() const override { return interval_; }

  // Fake-clock time of the next tick (meaningful while enabled).
  int64_t Deadline() const { return deadline_; }
  // Ticks delivered so far.
  int TickCount() const { return ticks_; }
  bool Ticks() const { return enabled_ && interval_ > 0; }

  void Fire(int64_t now);  // used by FakeMessageLoop

 private:
  void Restart();

  std::weak_ptr<FakeMessageLoop::Core> core_;
  uint64_t id_ = 0;
  bool enabled_ = false;
  int64_t interval_ = 1000;
  int64_t deadline_ = 0;
  int ticks_ = 0;
};

}  // namespace qw
