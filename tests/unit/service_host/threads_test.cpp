// The host with real threads: a stop that arrives while a check runs on the
// main thread waits for it, and the service thread's life on a control
// queue.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "tests/unit/service_host/host_fixture.h"

namespace qw::test {
namespace {

TEST_F(HostTest, StopWaitsForACheckInProgressAndNoCheckStartsAfterIt) {
  // D is short and mail is on: the next check blocks in its mail step
  // until released (a stop does not cut this step short).
  SetIni("[WARNING]\r\nINTERVAL=1\r\nISMAILSEND=1\r\n[DRIVE]\r\nD=900MB\r\n[MAIL]\r\nSMTP=mx\r\nMAILTO=a@b.jp\r\n");
  std::atomic<bool> hold{false};
  std::promise<void> measuring;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  mailStep = [&hold, &measuring, released](const std::string&) {
    if (hold.exchange(false)) {
      measuring.set_value();
      released.wait();
    }
    TDeliveryResult delivered;
    delivered.acceptedReply = "250 ok";
    return delivered;
  };
  ASSERT_TRUE(Host().Start().Ok());
  loop.ProcessPending();
  hold = true;

  // The "main thread" runs the check as its timer tick would.
  std::thread mainThread([&] { Service().tmCheckTimer(nullptr); });
  measuring.get_future().wait();

  std::atomic<bool> stopped{false};
  std::thread serviceThread([&] {
    EXPECT_TRUE(Host().HandleControl(kControlStop));
    stopped = true;
  });
  EXPECT_TRUE(WaitFor([&] { return Host().State() == ServiceState::StopPending; }));
  // The stop's own wait, given no time: the check still holds it.
  EXPECT_FALSE(Service().ServiceStopWithin(0)) << "a stop does not see the check that runs";
  EXPECT_FALSE(stopped.load()) << "the stop waits while the check runs";
  EXPECT_NE(Service().DriveList(), nullptr);

  release.set_value();
  mainThread.join();
  serviceThread.join();
  EXPECT_TRUE(stopped.load());
  EXPECT_EQ(CheckEntries(), 2u) << "the held check finished with its table";
  EXPECT_EQ(Service().DriveList(), nullptr);

  loop.ProcessPending();  // timer changes made by other threads
  EXPECT_FALSE(CheckTimer().Enabled());
  EXPECT_FALSE(Service().tmCheck().Enabled());

  const int measured = drives.measureCount;
  loop.AdvanceBy(10 * kHourMs);
  Service().tmCheckTimer(nullptr);
  EXPECT_EQ(CheckEntries(), 2u);
  EXPECT_EQ(drives.measureCount, measured);
}

TEST_F(HostTest, TheServiceThreadStartsHandlesControlsAndEndsOnStop) {
  Host();
  ControlQueue controls;
  bool started = false;
  std::thread serviceThread([&] {
    Host().ReportStatus(ServiceState::StartPending);
    started = RunServiceThread(Host(), controls).Ok();
    Host().ReportStatus(ServiceState::Stopped);
  });
  ASSERT_TRUE(WaitFor([&] { return Host().State() == ServiceState::Running; }));
  // Running is reported before the first check; the check ends by starting
  // the timer again.
  ASSERT_TRUE(WaitFor([&] { return Service().tmCheck().Enabled(); }));
  EXPECT_EQ(CheckEntries(), 1u) << "the first check ran on the service thread";

  // The first check armed the timer from the service thread: the main
  // thread's loop applies it.
  loop.ProcessPending();
  EXPECT_TRUE(CheckTimer().Enabled());
  EXPECT_EQ(CheckTimer().Interval(), kHourMs);
  loop.AdvanceBy(kHourMs);
  EXPECT_EQ(CheckEntries(), 2u) << "the periodic check runs on the main thread";

  controls.Push(kControlPause);
  ASSERT_TRUE(WaitFor([&] { return Host().State() == ServiceState::Paused; }));
  loop.AdvanceBy(kHourMs);
  EXPECT_EQ(CheckEntries(), 2u);
  controls.Push(kControlContinue);
  controls.Push(kControlStop);
  serviceThread.join();
  EXPECT_TRUE(started);
  EXPECT_EQ(Service().DriveList(), nullptr);
  EXPECT_EQ(status.States(),
            (std::vector<ServiceState>{ServiceState::StartPending, ServiceState::StartPending,
                                       ServiceState::Running, ServiceState::PausePending,
                                       ServiceState::Paused, ServiceState::ContinuePending,
                                       ServiceState::Running, ServiceState::StopPending,
                                       ServiceState::Stopped}));
  loop.ProcessPending();
  EXPECT_FALSE(CheckTimer().Enabled());
}

TEST_F(HostTest, AServiceThreadWhoseStartFailsEndsWithoutWaitingForControls) {
  SetIni("[WARNING]\r\nINTERVAL=0\r\n");
  Host();
  ControlQueue controls;
  bool started = true;
  std::thread serviceThread([&] { started = RunServiceThread(Host(), controls).Ok(); });
  serviceThread.join();
  EXPECT_FALSE(started);
  ASSERT_EQ(log.Count(), 1u);
  EXPECT_EQ(log.Entries()[0].text, "サービス失敗 開始: 設定ファイル Drivewarden.ini の [WARNING] INTERVAL=0: '0' は 1 以上の整数ではありません");
}

}  // namespace
}  // namespace qw::test
