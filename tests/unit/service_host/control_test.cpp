// What the host does with the controls of a watch that must not fail
// silently: running is reported before the first check, a failed start ends
// with the service's own exit code, a check on demand keeps the schedule and
// never overlaps a running check, and a stop cancels the first check's mail.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "tests/unit/service_host/host_fixture.h"
#include "tools/smtp_test_server.h"

namespace qw::test {
namespace {

TEST_F(HostTest, RunningIsReportedOnceTheSettingsLoadBeforeTheFirstCheck) {
  ServiceState duringCheck = ServiceState::Stopped;
  drives.drives['C'].onMeasure = [&] { duringCheck = Host().State(); };
  ASSERT_TRUE(Host().Start().Ok());
  EXPECT_EQ(duringCheck, ServiceState::Running) << "a stop is accepted while the first check runs";
  EXPECT_EQ(status.States(), (std::vector<ServiceState>{ServiceState::StartPending, ServiceState::Running}));
  Host().ReportStopped();
  const ServiceStatus last = status.Reports().back();
  EXPECT_EQ(last.state, ServiceState::Stopped);
  EXPECT_EQ(last.win32ExitCode, 0u);
  EXPECT_EQ(last.serviceSpecificExitCode, 0u);
}

// A status reporter that raises an error when running is reported: a start
// that fails for a fault of its own rather than for the settings.
class FaultyStatus : public RecordingStatus {
 public:
  Status SetStatus(const ServiceStatus& status) override {
    RecordingStatus::SetStatus(status).Ignore();
    if (status.state == ServiceState::Running) throw std::runtime_error("fault at start");
    return {};
  }
};

// A start that fails for a fault stops with the service's own exit code,
// which the failure actions follow; one refused for its settings stops with
// the Win32 exit code 0, so that recovery does not restart it into the same
// refusal every minute.
TEST_F(HostTest, AFailedStartStopsWithAnExitCodeThatRestartsOnlyAFault) {
  struct Case {
    const char* name;
    std::function<void()> arrange;
    bool faultyStatus;
    uint32_t win32ExitCode, specificExitCode;
  };
  const Case cases[] = {
      {"a value that does not convert", [this] { SetIni("[WARNING]\r\nINTERVAL=0\r\n"); }, false, 0,
       kExitSettingsRefused},
      {"a file that cannot be read", [this] { profiles.SetFolder("Drivewarden.ini"); }, false, 0,
       kExitSettingsRefused},
      {"a fault after the load", [] {}, true, kErrorServiceSpecific, kExitStartFailed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetIni("[WARNING]\r\nINTERVAL=1\r\n");
    c.arrange();
    FaultyStatus faulty;
    RecordingStatus plain;
    RecordingStatus& reports = c.faultyStatus ? faulty : plain;
    {
      ServiceHost failed(Service(), reports, log);
      EXPECT_FALSE(failed.Start().Ok());
      EXPECT_EQ(failed.StartFailure(), c.specificExitCode);
      failed.ReportStopped();
    }
    ServiceStatus last = reports.Reports().back();
    EXPECT_EQ(last.state, ServiceState::Stopped);
    EXPECT_EQ(last.win32ExitCode, c.win32ExitCode);
    EXPECT_EQ(last.serviceSpecificExitCode, c.specificExitCode);
    ASSERT_FALSE(log.Entries().empty());
    EXPECT_EQ(log.Entries().back().type, EventType::Error) << "the refusal is never silent";
    EXPECT_EQ(log.Entries().back().text.rfind("サービス失敗 開始: ", 0), 0u) << log.Entries().back().text;

    // A later start that succeeds clears it.
    SetIni("[WARNING]\r\nINTERVAL=1\r\n");
    ServiceHost again(Service(), plain, log);
    ASSERT_TRUE(again.Start().Ok());
    again.HandleControl(kControlStop);
    again.ReportStopped();
    last = plain.Reports().back();
    EXPECT_EQ(again.StartFailure(), 0u);
    EXPECT_EQ(last.win32ExitCode, 0u);
    EXPECT_EQ(last.serviceSpecificExitCode, 0u);
  }
}

TEST_F(HostTest, ACheckOnDemandRunsOnTheCheckLoopWithoutMovingTheSchedule) {
  host = std::make_unique<ServiceHost>(Service(), status, log, &loop);
  ASSERT_TRUE(Host().Start().Ok());
  loop.ProcessPending();
  ASSERT_EQ(CheckEntries(), 1u);
  loop.AdvanceBy(kHourMs / 2);

  EXPECT_FALSE(Host().HandleControl(kControlCheckNow));
  EXPECT_EQ(CheckEntries(), 1u) << "the check runs on the loop's thread, not the control's";
  loop.ProcessPending();
  EXPECT_EQ(CheckEntries(), 2u);
  EXPECT_TRUE(CheckTimer().Enabled());

  loop.AdvanceBy(kHourMs / 2 - 1);
  EXPECT_EQ(CheckEntries(), 2u);
  loop.AdvanceBy(1);
  EXPECT_EQ(CheckEntries(), 3u) << "the periodic check comes when it was due";

  // Without a check loop the control does nothing.
  ServiceHost bare(Service(), status, log);
  EXPECT_FALSE(bare.HandleControl(kControlCheckNow));
  loop.ProcessPending();
  EXPECT_EQ(CheckEntries(), 3u);
}

TEST_F(HostTest, ACheckAskedForWhileOneRunsFollowsItInsteadOfOverlapping) {
  ASSERT_TRUE(Host().Start().Ok());
  loop.ProcessPending();

  std::atomic<int> inside{0};
  std::atomic<int> most{0};
  std::promise<void> measuring;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> first{true};
  drives.drives['D'].onMeasure = [&, released] {
    const int now = ++inside;
    if (now > most) most = now;
    if (first.exchange(false)) {
      measuring.set_value();
      released.wait();
    }
    --inside;
  };

  std::thread mainThread([&] { Service().tmCheckTimer(nullptr); });
  measuring.get_future().wait();
  Service().CheckNow();  // returns at once: the running check takes it over
  Service().CheckNow();  // requests while one is pending merge into it
  EXPECT_EQ(CheckEntries(), 1u);
  release.set_value();
  mainThread.join();

  EXPECT_EQ(CheckEntries(), 3u) << "the held check and the one asked for";
  EXPECT_EQ(most.load(), 1) << "checks never overlap";
  loop.ProcessPending();
  EXPECT_TRUE(CheckTimer().Enabled()) << "the timer's check restarts the schedule";
}

TEST_F(HostTest, AStopCancelsTheFirstChecksMailWithinMoments) {
  SmtpTestServer server;
  server.Script("GREETING", SmtpTestServer::Reply::Silence());
  ASSERT_TRUE(server.Start());
  drives.drives['C'].freeBytes = kMiB;
  SetIni("[WARNING]\r\nINTERVAL=1\r\nISMAILSEND=1\r\n[DRIVE]\r\nC=10MB\r\n[MAIL]\r\nSMTP=127.0.0.1\r\nPORT=" +
         std::to_string(server.Port()) + "\r\nMAILTO=ops@example.jp\r\n");
  realMail = true;
  Host();
  ControlQueue controls;
  std::atomic<bool> ended{false};
  std::thread serviceThread([&] {
    EXPECT_TRUE(RunServiceThread(Host(), controls).Ok());
    Host().ReportStopped();
    ended = true;
  });
  ASSERT_TRUE(WaitFor([&] { return CheckEntries() == 1; })) << "the warning comes before the mail";
  // Connected: the client waits for the greeting that never comes.
  ASSERT_TRUE(server.WaitUntil([](const auto& sessions) { return !sessions.empty(); }, 30000));
  EXPECT_EQ(Host().State(), ServiceState::Running);

  const auto stopAt = std::chrono::steady_clock::now();
  Host().CancelForStop();  // what the control source does first
  controls.Push(kControlStop);
  ASSERT_TRUE(WaitFor([&] { return ended.load(); }));
  serviceThread.join();
  EXPECT_LT(std::chrono::steady_clock::now() - stopAt, std::chrono::seconds(3));

  const std::vector<EventEntry> entries = log.Entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].type, EventType::Warning);
  EXPECT_EQ(entries[1].type, EventType::Error);
  EXPECT_EQ(entries[1].source, "Drivewarden");
  // Under load the stop may come while the connection is still being made.
  const std::string& text = entries[1].text;
  // The alert waits in the state for the next start.
  const std::string later = "\r\nサービスの次の開始後に再送します。";
  EXPECT_TRUE(text == std::string(kAlertNotSent) + "GREETING: cancelled by stop" + later ||
              (text.rfind(std::string(kAlertNotSent) + "CONNECT 127.0.0.1:", 0) == 0 &&
               text.size() > later.size() &&
               text.compare(text.size() - later.size() - 19, std::string::npos, ": cancelled by stop" + later) == 0))
      << text;
  EXPECT_EQ(status.States().back(), ServiceState::Stopped);
  EXPECT_EQ(Service().DriveList(), nullptr);
}

TEST_F(HostTest, AStopRequestedBeforeTheStartHandlerRunsStillCancelsTheFirstCheck) {
  Host().CancelForStop();  // the signal came before the service thread began
  ASSERT_TRUE(Host().Start().Ok());
  EXPECT_EQ(CheckEntries(), 0u) << "no check runs for a service that is stopping";
  EXPECT_TRUE(Host().HandleControl(kControlStop));
}

}  // namespace
}  // namespace qw::test
