// The real thread message loop: posted tasks, Quit, timers and nested waits,
// on the thread that owns them.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <stdexcept>
#include <thread>  // also brings std::chrono's clocks; <chrono> itself does not
                   // compile with the CP932 execution character set
#include <vector>

#include "platform/message_loop.h"

namespace qw {
namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Dispatches until `done` holds or `limitMs` has passed.
template <typename Pred>
bool PumpUntil(MessageLoop& loop, Pred done, int64_t limitMs = 5000) {
  auto start = Clock::now();
  while (!done()) {
    if (MsSince(start) > limitMs) return false;
    loop.WaitAndProcess(50);
  }
  return true;
}

TEST(MessageLoop, EachThreadHasItsOwnLoop) {
  MessageLoop* mine = &ThisThreadLoop();
  EXPECT_EQ(mine, &ThisThreadLoop());
  MessageLoop* other = nullptr;
  std::thread([&] { other = &ThisThreadLoop(); }).join();
  EXPECT_NE(mine, other);
}

TEST(MessageLoop, TasksPostedFromOtherThreadsRunOnTheLoopThreadInOrder) {
  MessageLoop& loop = ThisThreadLoop();
  const auto loopThread = std::this_thread::get_id();
  constexpr int kThreads = 4, kPerThread = 200;
  std::vector<std::vector<int>> seen(kThreads);
  std::atomic<int> wrongThread{0};
  int ran = 0;
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        loop.Post([&, t, i] {
          if (std::this_thread::get_id() != loopThread) ++wrongThread;
          seen[t].push_back(i);
          ++ran;
        });
      }
    });
  }
  for (auto& p : posters) p.join();
  EXPECT_TRUE(PumpUntil(loop, [&] { return ran == kThreads * kPerThread; }));
  EXPECT_EQ(wrongThread.load(), 0);
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(seen[t].size(), size_t(kPerThread));
    for (int i = 0; i < kPerThread; ++i) EXPECT_EQ(seen[t][i], i);
  }
  EXPECT_FALSE(loop.ProcessPending());
}

TEST(MessageLoop, ProcessPendingDoesNotRunTasksPostedMeanwhile) {
  MessageLoop& loop = ThisThreadLoop();
  while (loop.ProcessPending()) {
  }
  int runs = 0;
  std::function<void()> again = [&] {
    ++runs;
    loop.Post(again);
  };
  loop.Post(again);
  EXPECT_TRUE(loop.ProcessPending());
  EXPECT_GE(runs, 1);
  EXPECT_LT(runs, 10000);  // returned although the task keeps posting
  // Stop the chain: the next run of `again` must not post once more.
  again = [&] { ++runs; };
  while (loop.ProcessPending()) {
  }
}

TEST(MessageLoop, QuitFromAnotherThreadEndsRun) {
  MessageLoop& loop = ThisThreadLoop();
  // The quit comes once Run has begun dispatching (it ran the task) and
  // waits for more.
  std::promise<void> running;
  loop.Post([&] { running.set_value(); });
  std::thread quitter([&] {
    running.get_future().wait();
    loop.Quit();
  });
  auto start = Clock::now();
  loop.Run();
  quitter.join();
  EXPECT_LT(MsSince(start), 5000);
}

TEST(MessageLoop, QuitBeforeRunEndsTheNextRunAndOnlyThatOne) {
  MessageLoop& loop = ThisThreadLoop();
  loop.Quit();
  loop.Run();  // returns at once
  int ran = 0;
  loop.Post([&] {
    ++ran;
    loop.Quit();
  });
  loop.Run();  // runs until the task quits
  EXPECT_EQ(ran, 1);
}

TEST(MessageLoop, WaitAndProcessWaitsAtMostTheGivenTimeAndWakesForAPost) {
  MessageLoop& loop = ThisThreadLoop();
  while (loop.ProcessPending()) {
  }
  auto start = Clock::now();
  loop.WaitAndProcess(120);
  int64_t waited = MsSince(start);
  EXPECT_GE(waited, 100);
  EXPECT_LT(waited, 2000);

  // The post comes from another thread once this one is about to wait
  // without a bound: only the post can end the wait.
  bool ran = false;
  std::promise<void> waiting;
  std::thread poster([&] {
    waiting.get_future().wait();
    loop.Post([&] { ran = true; });
  });
  start = Clock::now();
  waiting.set_value();
  while (!ran && MsSince(start) < 5000) loop.WaitAndProcess(-1);
  poster.join();
  EXPECT_TRUE(ran);
  EXPECT_LT(MsSince(start), 3000);
}

TEST(MessageLoop, TimerTicksRepeatedlyUntilStopped) {
  MessageLoop& loop = ThisThreadLoop();
  auto timer = loop.CreateTimer();
  EXPECT_FALSE(timer->Enabled());
  EXPECT_EQ(timer->Interval(), 1000);
  int ticks = 0;
  timer->OnTimer = [&] { ++ticks; };
  timer->SetInterval(20);
  timer->SetEnabled(true);
  auto start = Clock::now();
  EXPECT_TRUE(PumpUntil(loop, [&] { return ticks >= 3; }));
  EXPECT_GE(MsSince(start), 40);  // three ticks take at least two periods
  timer->SetEnabled(false);
  int stoppedAt = ticks;
  auto pause = Clock::now();
  while (MsSince(pause) < 100) loop.WaitAndProcess(20);
  EXPECT_EQ(ticks, stoppedAt);
}

TEST(MessageLoop, ChangingThePeriodRestartsTheTimer) {
  MessageLoop& loop = ThisThreadLoop();
  auto timer = loop.CreateTimer();
  int ticks = 0;
  timer->OnTimer = [&] { ++ticks; };
  timer->SetInterval(60000);
  timer->SetEnabled(true);
  timer->SetEnabled(true);  // no effect on a running timer
  EXPECT_TRUE(timer->Enabled());
  loop.WaitAndProcess(30);
  EXPECT_EQ(ticks, 0);
  timer->SetInterval(15);
  EXPECT_TRUE(PumpUntil(loop, [&] { return ticks >= 1; }, 3000));
}

TEST(MessageLoop, PeriodsBeyond32BitsAreKeptAndDoNotTickEarly) {
  MessageLoop& loop = ThisThreadLoop();
  auto timer = loop.CreateTimer();
  int ticks = 0;
  timer->OnTimer = [&] { ++ticks; };
  const int64_t fiftyDays = int64_t(50) * 24 * 3600 * 1000;  // more than 2^32 ms
  timer->SetInterval(fiftyDays);
  timer->SetEnabled(true);
  EXPECT_EQ(timer->Interval(), fiftyDays);
  auto start = Clock::now();
  while (MsSince(start) < 100) loop.WaitAndProcess(20);
  EXPECT_EQ(ticks, 0);
  // Shortened, it ticks: the long period left nothing stale behind.
  timer->SetInterval(10);
  EXPECT_TRUE(PumpUntil(loop, [&] { return ticks >= 2; }, 3000));
}

#ifdef _WIN32
}  // namespace
void SetTimerChunkLimitForTesting(int64_t milliseconds);
void PostThreadMessageForTesting(uint32_t message);
bool TakeThreadMessageForTesting(uint32_t message);
namespace {

TEST(MessageLoop, ThreadMessagesOfOtherLoopsStayQueuedAndDoNotWakeTheWait) {
  // A wait inside a handler of a thread's own GetMessage loop (the service
  // thread's control requests) must neither drop nor spin on its messages.
  MessageLoop& loop = ThisThreadLoop();
  while (loop.ProcessPending()) {
  }
  constexpr uint32_t kControl = 0x8000 + 0x77;  // WM_APP + 0x77
  PostThreadMessageForTesting(kControl);
  bool ran = false;
  loop.Post([&] { ran = true; });
  loop.ProcessPending();
  EXPECT_TRUE(ran);
  auto start = Clock::now();
  loop.WaitAndProcess(150);
  EXPECT_GE(MsSince(start), 120);  // the left message did not end the wait
  EXPECT_TRUE(TakeThreadMessageForTesting(kControl));
  EXPECT_FALSE(TakeThreadMessageForTesting(kControl));
}

TEST(MessageLoop, APeriodLongerThanOneWindowTimerIsCountedInChunks) {
  SetTimerChunkLimitForTesting(15);
  MessageLoop& loop = ThisThreadLoop();
  auto timer = loop.CreateTimer();
  int ticks = 0;
  timer->OnTimer = [&] { ++ticks; };
  timer->SetInterval(100);  // seven chunks of 15 ms (the last one 10 ms)
  timer->SetEnabled(true);
  auto start = Clock::now();
  EXPECT_TRUE(PumpUntil(loop, [&] { return ticks >= 2; }, 3000));
  int64_t took = MsSince(start);
  timer.reset();
  SetTimerChunkLimitForTesting(0x7FFFFFFF);
  EXPECT_GE(took, 190);
  EXPECT_LT(took, 2000);
}
#endif

TEST(MessageLoop, ATimerMayDestroyItselfInItsTick) {
  MessageLoop& loop = ThisThreadLoop();
  std::unique_ptr<Timer> timer = loop.CreateTimer();
  int ticks = 0;
  timer->OnTimer = [&] {
    ++ticks;
    timer.reset();
  };
  timer->SetInterval(10);
  timer->SetEnabled(true);
  EXPECT_TRUE(PumpUntil(loop, [&] { return timer == nullptr; }, 3000));
  auto start = Clock::now();
  while (MsSince(start) < 60) loop.WaitAndProcess(10);
  EXPECT_EQ(ticks, 1);
}

TEST(MessageLoop, AHandlerThatWaitsStillReceivesTimerTicksAndTasks) {
  // The SMTP conversation waits inside a timer tick of the check cycle by
  // dispatching the same thread's messages.
  MessageLoop& loop = ThisThreadLoop();
  auto outer = loop.CreateTimer();
  auto inner = loop.CreateTimer();
  int innerTicks = 0, outerTicks = 0;
  bool taskRan = false;
  inner->OnTimer = [&] { ++innerTicks; };
  inner->SetInterval(10);
  outer->OnTimer = [&] {
    ++outerTicks;
    outer->SetEnabled(false);
    inner->SetEnabled(true);
    std::thread([&] { loop.Post([&] { taskRan = true; }); }).join();
    PumpUntil(loop, [&] { return innerTicks >= 3 && taskRan; }, 3000);
    inner->SetEnabled(false);
  };
  outer->SetInterval(10);
  outer->SetEnabled(true);
  EXPECT_TRUE(PumpUntil(loop, [&] { return outerTicks == 1 && !outer->Enabled(); }, 3000));
  EXPECT_GE(innerTicks, 3);
  EXPECT_TRUE(taskRan);
  EXPECT_EQ(outerTicks, 1);
}

TEST(MessageLoop, AnExceptionOfATaskReachesTheDispatchingCaller) {
  MessageLoop& loop = ThisThreadLoop();
  loop.Post([] { throw std::runtime_error("boom"); });
  bool ranAfter = false;
  loop.Post([&] { ranAfter = true; });
  EXPECT_THROW(
      {
        for (int i = 0; i < 100; ++i) loop.WaitAndProcess(10);
      },
      std::runtime_error);
  EXPECT_TRUE(PumpUntil(loop, [&] { return ranAfter; }));
}

TEST(MessageLoop, TimersOfAnotherThreadTickOnThatThread) {
  std::atomic<int> ticks{0};
  std::atomic<bool> wrongThread{false};
  std::thread worker([&] {
    MessageLoop& loop = ThisThreadLoop();
    auto timer = loop.CreateTimer();
    auto me = std::this_thread::get_id();
    timer->OnTimer = [&] {
      if (std::this_thread::get_id() != me) wrongThread = true;
      if (++ticks == 3) loop.Quit();
    };
    timer->SetInterval(10);
    timer->SetEnabled(true);
    loop.Run();
  });
  worker.join();
  EXPECT_EQ(ticks.load(), 3);
  EXPECT_FALSE(wrongThread.load());
}

}  // namespace
}  // namespace qw
