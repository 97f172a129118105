// The host on one thread with the fake clock: the first check at start, the
// schedule counted from the end of each check, reloads that change the
// period, errors of periodic checks, the control table and its failures.
#include <gtest/gtest.h>

#include "common/errors.h"
#include "common/exception_text.h"
#include "platform/text_codec.h"
#include "service/service_install.h"
#include "tests/unit/service_host/host_fixture.h"

namespace qw::test {
namespace {

TEST_F(HostTest, StartChecksAtOnceThenEveryIntervalFromTheEndOfTheCheck) {
  std::vector<int64_t> checkTimes;
  log.onReport = [&](const EventEntry& e) {
    if (e.eventId == kCheckEventId) checkTimes.push_back(loop.NowMs());
  };
  // Every measurement of C takes ten minutes of the clock.
  drives.drives['C'].onMeasure = [&] { loop.WaitAndProcess(10 * 60 * 1000); };

  ASSERT_TRUE(Host().Start().Ok());
  EXPECT_EQ(Host().State(), ServiceState::Running);
  ASSERT_EQ(checkTimes.size(), 1u);
  EXPECT_TRUE(CheckTimer().Enabled());
  EXPECT_EQ(CheckTimer().Interval(), kHourMs);
  const int64_t firstEnd = loop.NowMs();
  EXPECT_EQ(CheckTimer().Deadline(), firstEnd + kHourMs) << "counted from the end of the first check";

  loop.WaitAndProcess(-1);  // the next tick
  ASSERT_EQ(checkTimes.size(), 2u);
  EXPECT_EQ(checkTimes[1], firstEnd + kHourMs + 10 * 60 * 1000);
  EXPECT_EQ(CheckTimer().Deadline(), loop.NowMs() + kHourMs);

  loop.WaitAndProcess(-1);
  ASSERT_EQ(checkTimes.size(), 3u);
  EXPECT_EQ(checkTimes[2] - checkTimes[1], kHourMs + 10 * 60 * 1000);
}

TEST_F(HostTest, AReloadChangesThePeriodFromTheNextCheckOn) {
  ASSERT_TRUE(Host().Start().Ok());
  loop.AdvanceBy(kHourMs - 1);
  EXPECT_EQ(CheckEntries(), 1u);
  SetIni("[WARNING]\r\nINTERVAL=3\r\n[DRIVE]\r\nC=10MB\r\n");
  loop.AdvanceBy(1);
  EXPECT_EQ(CheckEntries(), 2u) << "the tick due under the old period";
  EXPECT_EQ(CheckTimer().Interval(), 3 * kHourMs);
  loop.AdvanceBy(3 * kHourMs - 1);
  EXPECT_EQ(CheckEntries(), 2u);
  loop.AdvanceBy(1);
  EXPECT_EQ(CheckEntries(), 3u);
}

TEST_F(HostTest, AnIntervalBeyondThe32BitTimerLimitIsKept) {
  SetIni("[WARNING]\r\nINTERVAL=2000\r\n");
  ASSERT_TRUE(Host().Start().Ok());
  EXPECT_EQ(CheckTimer().Interval(), 2000 * kHourMs);
  loop.AdvanceBy(2000 * kHourMs - 1);
  EXPECT_EQ(CheckEntries(), 1u);
  loop.AdvanceBy(1);
  EXPECT_EQ(CheckEntries(), 2u);
}

TEST_F(HostTest, AFailedPeriodicLoadIsAnErrorEntryOfTheCheckAndTheScheduleGoesOn) {
  ASSERT_TRUE(Host().Start().Ok());
  SetIni("[WARNING]\r\nINTERVAL=x\r\n");
  std::vector<int64_t> errorTimes;
  log.onReport = [&](const EventEntry& e) {
    if (e.type != EventType::Error) return;
    errorTimes.push_back(loop.NowMs());
    // Mend the file: the check after the failed one loads it.
    SetIni("[WARNING]\r\nINTERVAL=2\r\n");
  };
  drives.drives['C'].onMeasure = [&] {
    if (loop.NowMs() >= 2 * kHourMs) loop.Quit();
  };

  RunMainLoop(loop, log, "QuotawardenService.exe");

  const std::vector<EventEntry> entries = log.Entries();
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[1].source, "Drivewarden");
  EXPECT_EQ(entries[1].type, EventType::Error);
  EXPECT_EQ(entries[1].category, 0);
  EXPECT_EQ(entries[1].eventId, kCheckEventId);
  EXPECT_EQ(entries[1].text, "設定ファイル Drivewarden.ini の [WARNING] INTERVAL=x: 'x' は整数ではありません");
  EXPECT_EQ(errorTimes, std::vector<int64_t>{kHourMs});
  EXPECT_EQ(entries[2].type, EventType::Information) << "the check went on with the last good settings";
  EXPECT_EQ(entries[3].eventId, kCheckEventId) << "the timer was armed again after the error";
  EXPECT_EQ(loop.NowMs(), 2 * kHourMs);
  EXPECT_EQ(CheckTimer().Interval(), 2 * kHourMs);
  EXPECT_EQ(Host().State(), ServiceState::Running);
}

TEST_F(HostTest, AFailedStartIsWrittenUnderTheServiceAndLeavesNoTimer) {
  SetIni("[WARNING]\r\nINTERVAL=x\r\n");
  EXPECT_FALSE(Host().Start().Ok());
  const std::vector<EventEntry> entries = log.Entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].source, "Drivewarden");
  EXPECT_EQ(entries[0].type, EventType::Error);
  EXPECT_EQ(entries[0].eventId, 0u);
  EXPECT_EQ(entries[0].text, "サービス失敗 開始: 設定ファイル Drivewarden.ini の [WARNING] INTERVAL=x: 'x' は整数ではありません");
  EXPECT_EQ(status.States(), std::vector<ServiceState>{ServiceState::StartPending});
  EXPECT_FALSE(CheckTimer().Enabled());
}

TEST_F(HostTest, StatusReportsCarryAcceptedControlsCheckPointsAndWaitHint) {
  Host().ReportStatus(ServiceState::StartPending);
  ASSERT_TRUE(Host().Start().Ok());
  Host().HandleControl(kControlStop);
  const std::vector<ServiceStatus> reports = status.Reports();
  ASSERT_EQ(reports.size(), 4u);
  EXPECT_EQ(reports[0].state, ServiceState::StartPending);
  EXPECT_EQ(reports[0].controlsAccepted, 0u) << "nothing is accepted while start is pending";
  EXPECT_EQ(reports[0].checkPoint, 1u);
  EXPECT_EQ(reports[1].state, ServiceState::StartPending);
  EXPECT_EQ(reports[1].checkPoint, 2u);
  EXPECT_EQ(reports[2].state, ServiceState::Running);
  EXPECT_EQ(reports[2].controlsAccepted, 0x107u) << "stop, pause and continue, shutdown, preshutdown";
  EXPECT_EQ(reports[2].checkPoint, 0u);
  EXPECT_EQ(reports[3].state, ServiceState::StopPending);
  EXPECT_EQ(reports[3].checkPoint, 1u);
  for (const ServiceStatus& r : reports) EXPECT_EQ(r.waitHint, 5000u);
}

TEST_F(HostTest, AFailedStatusReportIsWrittenUnderTheService) {
  status.failWith = "ハンドルが無効です。";
  Host().ReportStatus(ServiceState::StartPending);
  const std::vector<EventEntry> entries = log.Entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].source, "Drivewarden");
  EXPECT_EQ(entries[0].type, EventType::Error);
  EXPECT_EQ(entries[0].text, "ハンドルが無効です。");
}

TEST_F(HostTest, APausedServiceSkipsItsChecksAndContinueResumesThem) {
  ASSERT_TRUE(Host().Start().Ok());
  EXPECT_FALSE(Host().HandleControl(kControlPause));
  EXPECT_TRUE(Host().Paused());
  const int measured = drives.measureCount;
  loop.AdvanceBy(2 * kHourMs);
  EXPECT_EQ(CheckEntries(), 1u) << "ticks while paused check nothing";
  EXPECT_EQ(drives.measureCount, measured);
  EXPECT_TRUE(CheckTimer().Enabled());

  EXPECT_FALSE(Host().HandleControl(kControlContinue));
  loop.AdvanceBy(kHourMs);
  EXPECT_EQ(CheckEntries(), 2u);
  EXPECT_EQ(status.States(),
            (std::vector<ServiceState>{ServiceState::StartPending, ServiceState::Running,
                                       ServiceState::PausePending, ServiceState::Paused,
                                       ServiceState::ContinuePending, ServiceState::Running}));
}

TEST_F(HostTest, StopFreesTheTableAndNoCheckRunsAfterIt) {
  ASSERT_TRUE(Host().Start().Ok());
  EXPECT_TRUE(Host().HandleControl(kControlStop));
  EXPECT_EQ(Service().DriveList(), nullptr);
  EXPECT_FALSE(CheckTimer().Enabled());
  const int measured = drives.measureCount;
  Service().tmCheckTimer(nullptr);  // a tick that was already queued
  EXPECT_EQ(CheckEntries(), 1u);
  EXPECT_EQ(drives.measureCount, measured);
  EXPECT_FALSE(CheckTimer().Enabled()) << "the late tick does not arm the timer again";
}

TEST_F(HostTest, ShutdownStopsInterrogateRepeatsOtherCodesDoNothing) {
  ASSERT_TRUE(Host().Start().Ok());
  EXPECT_FALSE(Host().HandleControl(kControlInterrogate));
  EXPECT_FALSE(Host().HandleControl(200));
  EXPECT_TRUE(Host().HandleControl(kControlShutdown));
  EXPECT_EQ(Service().DriveList(), nullptr) << "with no check running, shutdown stops at once";
  EXPECT_EQ(status.States(),
            (std::vector<ServiceState>{ServiceState::StartPending, ServiceState::Running,
                                       ServiceState::Running, ServiceState::StopPending}));
  EXPECT_EQ(log.Count(), 1u);
}

TEST_F(HostTest, AStopFromInsideACheckOnTheSameThreadFailsAndTheStateIsReportedAgain) {
  // D is short and mail is on; the stop comes from the check's mail step.
  SetIni("[WARNING]\r\nINTERVAL=1\r\nISMAILSEND=1\r\n[DRIVE]\r\nD=900MB\r\n[MAIL]\r\nSMTP=mx\r\nMAILTO=a@b.jp\r\n");
  auto delivered = [](const std::string&) {
    TDeliveryResult result;
    result.acceptedReply = "250 ok";
    return result;
  };
  mailStep = delivered;
  ASSERT_TRUE(Host().Start().Ok());
  bool ended = true;
  mailStep = [&](const std::string& report) {
    ended = Host().HandleControl(kControlStop);
    return delivered(report);
  };
  loop.AdvanceBy(kHourMs);
  EXPECT_FALSE(ended);
  const std::vector<EventEntry> entries = log.Entries();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[2].source, "Drivewarden");
  EXPECT_EQ(entries[2].eventId, 0u);
  EXPECT_EQ(entries[2].text.rfind("サービス失敗 停止: ", 0), 0u) << SjisToUtf8(entries[2].text);
  EXPECT_EQ(entries[1].eventId, kCheckEventId) << "the check went on with its table";
  EXPECT_NE(Service().DriveList(), nullptr);
  EXPECT_EQ(status.States().back(), ServiceState::Running);
  EXPECT_TRUE(CheckTimer().Enabled());
}

TEST(ServiceTexts, FailureAndSystemErrorTexts) {
  EXPECT_EQ(ServiceFailureText("実行", "boom"), "サービス失敗 実行: boom");
  EXPECT_EQ(SystemErrorMessage(Status::Failure("CreateService", 1073, "既に存在します。")),
            "システムエラー。コード：1073.\r\n既に存在します。");
  EXPECT_EQ(ControlActionName(kControlStop), "停止");
  EXPECT_EQ(ControlActionName(kControlPause), "一時停止");
  EXPECT_EQ(ControlActionName(kControlContinue), "続行");
  EXPECT_EQ(ControlActionName(kControlInterrogate), "との対話");
  EXPECT_EQ(ControlActionName(kControlShutdown), "シャットダウン");
  EXPECT_EQ(ControlActionName(kControlPreshutdown), "シャットダウンの準備");
  EXPECT_EQ(ControlActionName(6), "");
}

TEST(ServiceTexts, EveryCaughtErrorHasAText) {
  EXPECT_EQ(ExceptionText(std::make_exception_ptr(NotAnInteger("x"))), "'x' は整数ではありません");
  EXPECT_EQ(ExceptionText(std::make_exception_ptr(42)), "不明なエラー");
  EXPECT_EQ(ExceptionText(nullptr), "不明なエラー") << "nothing caught is not rethrown";
}

}  // namespace
}  // namespace qw::test
