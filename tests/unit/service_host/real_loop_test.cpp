// The host on the system's own thread loop, threads as the hosts lay them
// out: the main thread owns the loop and the check timer, the service thread
// starts the service and takes the controls. A stop that arrives while a
// periodic check runs on the main thread waits for that check.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "platform/message_loop.h"
#include "tests/unit/service_host/host_fixture.h"

namespace qw::test {
namespace {

TEST(RealLoop, AStopDuringAPeriodicCheckOnTheMainThreadWaitsForIt) {
  constexpr int64_t kMiB = 1024 * 1024;
  FakeProfiles profiles;
  FakeDrives drives;
  FakeSystemInfo system;
  LockedEventLog log;
  RecordingStatus status;
  ControlQueue controls;
  // D is short and mail is on: the held step is the check's mail step.
  profiles.SetFile("Drivewarden.ini",
                   "[WARNING]\r\nINTERVAL=1\r\nISMAILSEND=1\r\n[DRIVE]\r\nD=900MB\r\n[MAIL]\r\nSMTP=mx\r\n"
                   "MAILTO=a@b.jp\r\n",
                   0x58A00001);
  drives.drives['C'] = {kDriveFixed, 500 * kMiB, 1000 * kMiB, true, nullptr};
  drives.drives['D'] = {kDriveFixed, 800 * kMiB, 1000 * kMiB, true, nullptr};

  // Once `hold` is set, the next mail step blocks until released.
  std::atomic<bool> hold{false};
  std::atomic<std::thread::id> heldOn{};
  std::promise<void> measuring;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> mailSteps{0};
  auto mailStep = [&](const std::string&) {
    ++mailSteps;
    if (hold.exchange(false)) {
      heldOn = std::this_thread::get_id();
      measuring.set_value();
      released.wait();
    }
    TDeliveryResult delivered;
    delivered.acceptedReply = "250 ok";
    return delivered;
  };

  std::mutex mutex;
  std::condition_variable ready;
  TDrivewarden* service = nullptr;
  ServiceHost* host = nullptr;
  std::thread::id mainId;

  std::thread mainThread([&] {
    MessageLoop& loop = ThisThreadLoop();
    WatchOptions options;
    options.sendAlert = mailStep;
    std::unique_ptr<TDrivewarden> svc = CreateDrivewarden({profiles, drives, system, log}, loop, std::move(options));
    ServiceHost h(*svc, status, log);
    std::thread serviceThread([&] {
      h.ReportStatus(ServiceState::StartPending);
      EXPECT_TRUE(RunServiceThread(h, controls).Ok());
      h.ReportStatus(ServiceState::Stopped);
      loop.Quit();
    });
    {
      std::lock_guard<std::mutex> lock(mutex);
      service = svc.get();
      host = &h;
      mainId = std::this_thread::get_id();
    }
    ready.notify_all();
    RunMainLoop(loop, log, "QuotawardenService");
    serviceThread.join();
  });

  {
    std::unique_lock<std::mutex> lock(mutex);
    ready.wait(lock, [&] { return host != nullptr; });
  }
  ASSERT_TRUE(WaitFor([&] { return host->State() == ServiceState::Running; }));
  // Running is reported before the first check: wait for its entry and its
  // mail step (which follows the entry), so that the hold below meets the
  // periodic check, not the first one.
  ASSERT_TRUE(WaitFor([&] { return log.Count() >= 1 && mailSteps >= 1; }));

  // A short period from here on, set from this thread: the main thread's
  // loop applies it and its next tick runs the check that is held.
  hold = true;
  service->tmCheck().SetInterval(20);
  ASSERT_EQ(measuring.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(heldOn.load(), mainId) << "periodic checks run on the main thread";

  controls.Push(kControlStop);
  EXPECT_TRUE(WaitFor([&] { return host->State() == ServiceState::StopPending; }));
  // The stop's own wait, given no time: the check on the main thread still
  // holds it.
  EXPECT_FALSE(service->ServiceStopWithin(0)) << "a stop does not see the periodic check that runs";
  EXPECT_NE(status.States().back(), ServiceState::Stopped) << "the stop waits for the check";
  EXPECT_NE(service->DriveList(), nullptr);

  release.set_value();
  mainThread.join();

  const std::vector<EventEntry> entries = log.Entries();
  ASSERT_EQ(entries.size(), 2u) << "the first check and the held one, nothing else";
  for (const EventEntry& e : entries) {
    EXPECT_EQ(e.eventId, kCheckEventId);
    EXPECT_EQ(e.type, EventType::Warning);
  }
  EXPECT_EQ(status.States().back(), ServiceState::Stopped);
}

}  // namespace
}  // namespace qw::test
