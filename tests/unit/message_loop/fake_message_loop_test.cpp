// The test clock loop that other suites rely on for time-outs and schedules.
#include "tests/fakes/fake_message_loop.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace qw {
namespace {

TEST(FakeMessageLoop, AdvanceTicksTimersInTimeOrder) {
  FakeMessageLoop loop;
  auto a = loop.CreateTimer();
  auto b = loop.CreateTimer();
  std::string log;
  a->OnTimer = [&] { log += "a" + std::to_string(loop.NowMs()) + " "; };
  b->OnTimer = [&] { log += "b" + std::to_string(loop.NowMs()) + " "; };
  a->SetInterval(300);
  b->SetInterval(200);
  a->SetEnabled(true);
  b->SetEnabled(true);
  loop.AdvanceBy(650);
  EXPECT_EQ(log, "b200 a300 b400 a600 b600 ");
  EXPECT_EQ(loop.NowMs(), 650);
}

TEST(FakeMessageLoop, StoppingAndStartingBeginsAFullPeriod) {
  FakeMessageLoop loop;
  auto t = loop.CreateTimer();
  int ticks = 0;
  t->OnTimer = [&] { ++ticks; };
  t->SetEnabled(true);  // 1,000 ms by default
  loop.AdvanceBy(900);
  t->SetEnabled(true);  // running: nothing changes
  loop.AdvanceBy(100);
  EXPECT_EQ(ticks, 1);
  loop.AdvanceBy(900);
  t->SetEnabled(false);
  t->SetEnabled(true);
  loop.AdvanceBy(900);
  EXPECT_EQ(ticks, 1);
  loop.AdvanceBy(100);
  EXPECT_EQ(ticks, 2);
}

TEST(FakeMessageLoop, WaitJumpsToTheNextDeadlineButNotBeyondTheLimit) {
  FakeMessageLoop loop;
  auto t = loop.CreateTimer();
  int ticks = 0;
  t->OnTimer = [&] { ++ticks; };
  const int64_t hours = int64_t(3000) * 3600 * 1000;  // beyond 32 bits
  t->SetInterval(hours);
  t->SetEnabled(true);
  loop.WaitAndProcess(10);
  EXPECT_EQ(loop.NowMs(), 10);
  EXPECT_EQ(ticks, 0);
  loop.WaitAndProcess(-1);
  EXPECT_EQ(loop.NowMs(), hours);
  EXPECT_EQ(ticks, 1);
}

TEST(FakeMessageLoop, PostedTasksRunBeforeTheClockMoves) {
  FakeMessageLoop loop;
  auto t = loop.CreateTimer();
  t->SetInterval(50);
  t->SetEnabled(true);
  bool ran = false;
  loop.Post([&] { ran = true; });
  loop.WaitAndProcess(-1);
  EXPECT_TRUE(ran);
  EXPECT_EQ(loop.NowMs(), 0);
}

TEST(FakeMessageLoop, RunEndsOnQuitAndRefusesToIdleForEver) {
  FakeMessageLoop loop;
  auto t = loop.CreateTimer();
  int ticks = 0;
  t->OnTimer = [&] {
    if (++ticks == 4) loop.Quit();
  };
  t->SetInterval(1000);
  t->SetEnabled(true);
  loop.Run();
  EXPECT_EQ(ticks, 4);
  EXPECT_EQ(loop.NowMs(), 4000);
  t->SetEnabled(false);
  EXPECT_THROW(loop.Run(), std::logic_error);
}

TEST(FakeMessageLoop, IdleHookLetsATestActWhileCodeWaits) {
  FakeMessageLoop loop;
  bool delivered = false;
  loop.OnIdle = [&] { loop.Post([&] { delivered = true; }); };
  loop.WaitAndProcess(-1);
  EXPECT_TRUE(delivered);
  EXPECT_EQ(loop.NowMs(), 0);
}

}  // namespace
}  // namespace qw
