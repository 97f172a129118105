// The loop's timer set from other threads: changes reach the owning loop in
// order, act at once on its own thread, and are dropped once it is gone.
#include "platform/loop_bound_timer.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "tests/fakes/fake_message_loop.h"

namespace qw {
namespace {

class LoopBoundTimerTest : public ::testing::Test {
 protected:
  FakeTimer& Inner() { return *loop.Timers().at(0); }
  FakeMessageLoop loop;
};

TEST_F(LoopBoundTimerTest, SettingsFromAnotherThreadTakeEffectOnTheOwningLoop) {
  LoopBoundTimer timer(loop, loop.CreateTimer());
  int ticks = 0;
  timer.OnTimer = [&] { ++ticks; };
  loop.AdvanceBy(1000);

  std::thread other([&] {
    timer.SetInterval(5000);
    timer.SetEnabled(true);
  });
  other.join();
  EXPECT_TRUE(timer.Enabled()) << "answers what was set";
  EXPECT_EQ(timer.Interval(), 5000);
  EXPECT_FALSE(Inner().Enabled()) << "nothing touched the loop's timer off its thread";

  loop.ProcessPending();
  EXPECT_TRUE(Inner().Enabled());
  EXPECT_EQ(Inner().Interval(), 5000);
  EXPECT_EQ(Inner().Deadline(), 6000);

  loop.AdvanceBy(3000);
  std::thread restart([&] {
    timer.SetEnabled(false);
    timer.SetEnabled(true);
  });
  restart.join();
  loop.ProcessPending();
  EXPECT_EQ(Inner().Deadline(), 9000) << "stopped and started again: a full new period";
  loop.AdvanceBy(5000);
  EXPECT_EQ(ticks, 1);

  std::thread stop([&] { timer.SetEnabled(false); });
  stop.join();
  loop.AdvanceBy(20000);  // runs the queued change first
  EXPECT_EQ(ticks, 1);
}

TEST_F(LoopBoundTimerTest, OnItsOwnThreadItActsAtOnce) {
  LoopBoundTimer timer(loop, loop.CreateTimer());
  timer.SetInterval(2000);
  timer.SetEnabled(true);
  EXPECT_TRUE(Inner().Enabled());
  EXPECT_EQ(Inner().Deadline(), 2000);
  EXPECT_EQ(loop.PendingTaskCount(), 0u);

  loop.AdvanceBy(500);
  timer.SetInterval(2000);
  EXPECT_EQ(Inner().Deadline(), 2000) << "the period it has already: no restart";
  timer.SetInterval(3000);
  EXPECT_EQ(Inner().Deadline(), 3500) << "a new period restarts the running timer";
}

TEST_F(LoopBoundTimerTest, ChangesQueuedForADestroyedTimerAreDropped) {
  auto timer = std::make_unique<LoopBoundTimer>(loop, loop.CreateTimer());
  std::thread other([&] { timer->SetEnabled(true); });
  other.join();
  EXPECT_EQ(loop.PendingTaskCount(), 1u);
  timer.reset();
  EXPECT_TRUE(loop.ProcessPending());
  EXPECT_TRUE(loop.Timers().empty());
}

}  // namespace
}  // namespace qw
