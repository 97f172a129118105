#include "applet/restart_service.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <numeric>

#include "tests/fakes/fake_message_box.h"
#include "tests/fakes/fake_service_manager.h"

namespace qw {
namespace {

using test::FakeMessageBoxes;
using test::FakeServiceManager;
using Calls = std::vector<std::string>;

class RestartServiceTest : public ::testing::Test {
 protected:
  RestartServiceTest() {
    timing.sleep = [this](int64_t ms) { sleeps.push_back(ms); };
  }

  RestartResult Restart() {
    RestartResult result = RestartService(
        scm, boxes, [this] { scm.calls.push_back("pending"); if (onPending) onPending(); },
        timing);
    EXPECT_EQ(scm.openHandles, 0) << "a handle was left open";
    return result;
  }

  int64_t Slept() const { return std::accumulate(sleeps.begin(), sleeps.end(), int64_t{0}); }

  FakeServiceManager scm;
  FakeMessageBoxes boxes;
  RestartTiming timing;
  std::vector<int64_t> sleeps;
  std::function<void()> onPending;
};

const Calls kStopBlockOpen = {"open-manager", "open-service Drivewarden"};

TEST_F(RestartServiceTest, RunningServiceIsStartedOnlyAfterItHasStopped) {
  scm.stopQueries = 3;
  RestartResult result = Restart();
  EXPECT_TRUE(result.ok());
  EXPECT_EQ(scm.calls, (Calls{"open-manager", "open-service Drivewarden", "stop", "query", "query",
                              "query", "close-service", "close-manager", "pending",
                              "open-manager", "open-service Drivewarden", "start",
                              "close-service", "close-manager"}));
  EXPECT_EQ(sleeps, (std::vector<int64_t>{250, 250, 250}));
  EXPECT_EQ(scm.state, ServiceState::Running);
  EXPECT_EQ(scm.starts, 1);
  EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(RestartServiceTest, StoppedServiceIsStartedWithoutWaiting) {
  scm.state = ServiceState::Stopped;
  EXPECT_TRUE(Restart().ok());
  EXPECT_TRUE(sleeps.empty());
  EXPECT_EQ(scm.state, ServiceState::Running);
  EXPECT_EQ(scm.starts, 1);
  EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(RestartServiceTest, ServiceAlreadyStoppingIsWaitedForThenStarted) {
  scm.state = ServiceState::StopPending;
  EXPECT_TRUE(Restart().ok());
  EXPECT_EQ(scm.state, ServiceState::Running);
  EXPECT_EQ(scm.starts, 1);
}

TEST_F(RestartServiceTest, ServiceThatNeverStopsIsGivenUpAfterThirtySecondsAndNotStarted) {
  scm.stopQueries = -1;
  RestartResult result = Restart();
  EXPECT_EQ(result.outcome, RestartOutcome::StopTimedOut);
  EXPECT_EQ(Slept(), 30000);
  EXPECT_EQ(sleeps.size(), 120u);
  EXPECT_EQ(std::count(scm.calls.begin(), scm.calls.end(), "start"), 0);
  EXPECT_EQ(std::count(scm.calls.begin(), scm.calls.end(), "pending"), 0);
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].caption, "ドライブ番人");
  EXPECT_EQ(boxes.shown[0].icon, MessageBoxIcon::Error);
  EXPECT_NE(boxes.shown[0].text.find("時間内に停止しませんでした"), std::string::npos);
}

TEST_F(RestartServiceTest, EachFailureIsReportedWithTheSystemErrorAndStopsTheRestart) {
  struct Case {
    const char* name;
    std::function<void(FakeServiceManager&)> arrange;
    RestartOutcome outcome;
    uint32_t code;
    const char* reason;
    Calls calls;
  };
  const Case cases[] = {
      {"no right to open the manager", [](auto& s) { s.openManagerError = kErrorAccessDenied; },
       RestartOutcome::OpenManagerFailed, kErrorAccessDenied, "サービス コントロール マネージャを開けません",
       {"open-manager"}},
      {"no right to open the service", [](auto& s) { s.openServiceError = kErrorAccessDenied; },
       RestartOutcome::OpenServiceFailed, kErrorAccessDenied, "(Drivewarden) を開けません",
       {"open-manager", "open-service Drivewarden", "close-manager"}},
      {"not installed", [](auto& s) { s.installed = false; }, RestartOutcome::OpenServiceFailed,
       kErrorServiceDoesNotExist, "(Drivewarden) を開けません",
       {"open-manager", "open-service Drivewarden", "close-manager"}},
      {"stop refused", [](auto& s) { s.stopError = kErrorAccessDenied; },
       RestartOutcome::StopFailed, kErrorAccessDenied, "停止できません",
       {"open-manager", "open-service Drivewarden", "stop", "query", "close-service",
        "close-manager"}},
      {"status unreadable", [](auto& s) { s.queryError = kErrorAccessDenied; },
       RestartOutcome::QueryFailed, kErrorAccessDenied, "状態を取得できません",
       {"open-manager", "open-service Drivewarden", "stop", "query", "close-service",
        "close-manager"}},
      {"start refused", [](auto& s) { s.startError = 1058; }, RestartOutcome::StartFailed, 1058,
       "開始できません",
       {"open-manager", "open-service Drivewarden", "stop", "query", "query", "close-service",
        "close-manager", "pending", "open-manager", "open-service Drivewarden", "start",
        "close-service", "close-manager"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    scm = FakeServiceManager();
    boxes = FakeMessageBoxes();
    c.arrange(scm);
    RestartResult result = Restart();
    EXPECT_EQ(result.outcome, c.outcome);
    EXPECT_EQ(result.status.Code(), c.code);
    EXPECT_EQ(scm.calls, c.calls);
    ASSERT_EQ(boxes.shown.size(), 1u);
    const std::string& text = boxes.shown[0].text;
    EXPECT_NE(text.find(c.reason), std::string::npos) << text;
    EXPECT_NE(text.find("fake error " + std::to_string(c.code)), std::string::npos) << text;
    EXPECT_NE(text.find("設定はすでに保存されています。"), std::string::npos);
    EXPECT_EQ(boxes.shown[0].buttons, MessageBoxButtons::Ok);
    EXPECT_EQ(boxes.shown[0].icon, MessageBoxIcon::Error);
  }
}

TEST_F(RestartServiceTest, StartRefusedBecauseTheServiceIsStoppingAgainIsAFailure) {
  scm.stopQueries = 0;
  onPending = [this] { scm.state = ServiceState::StopPending; scm.stopQueries = -1; };
  RestartResult result = Restart();
  EXPECT_EQ(result.outcome, RestartOutcome::StartFailed);
  EXPECT_EQ(result.status.Code(), kErrorServiceAlreadyRunning);
  EXPECT_EQ(boxes.shown.size(), 1u);
}

TEST_F(RestartServiceTest, ServiceStartedBySomeoneElseMeanwhileCountsAsRestarted) {
  scm.stopQueries = 0;
  onPending = [this] { scm.state = ServiceState::Running; };
  EXPECT_TRUE(Restart().ok());
  EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(RestartServiceTest, PollIntervalAndLimitAreHonoured) {
  scm.stopQueries = -1;
  timing.pollIntervalMs = 100;
  timing.timeoutMs = 1000;
  EXPECT_EQ(Restart().outcome, RestartOutcome::StopTimedOut);
  EXPECT_EQ(sleeps.size(), 10u);
  EXPECT_EQ(Slept(), 1000);
}

TEST(SystemServiceManager, OpensTheManagerOrSaysWhyNot) {
  auto manager = NewSystemServiceManager();
  std::unique_ptr<ServiceManagerHandle> handle;
  Status status = manager->Open(&handle);
#ifdef _WIN32
  // Under Wine every user may open the manager; on Windows only an
  // administrator: either way a failure carries the system's text.
  if (!handle) {
    EXPECT_NE(status.Code(), 0);
    EXPECT_FALSE(status.Text().empty());
  } else {
    std::unique_ptr<ServiceHandle> service;
    status = handle->OpenNamedService("QuotawardenNoSuchService", &service);
    EXPECT_EQ(service, nullptr);
    EXPECT_EQ(status.Code(), kErrorServiceDoesNotExist);
    EXPECT_FALSE(status.Text().empty());
  }
#else
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(status.Code(), kErrorCallNotImplemented);
  EXPECT_NE(status.Text().find("not available"), std::string::npos);
#endif
}

TEST(MessageBoxButtons, DefaultButtonPositionsGiveTheirAnswers) {
  EXPECT_EQ(MessageBoxButtonAt(MessageBoxButtons::YesNo, 1), MessageBoxResult::Yes);
  EXPECT_EQ(MessageBoxButtonAt(MessageBoxButtons::YesNo, 2), MessageBoxResult::No);
  EXPECT_EQ(MessageBoxButtonAt(MessageBoxButtons::YesNoCancel, 3), MessageBoxResult::Cancel);
  EXPECT_EQ(MessageBoxButtonAt(MessageBoxButtons::OkCancel, 2), MessageBoxResult::Cancel);
  EXPECT_EQ(MessageBoxButtonAt(MessageBoxButtons::Ok, 2), MessageBoxResult::Ok);
}

#ifndef _WIN32
TEST(ConsoleMessageBoxes, AnswerFromTheEnvironmentWhenItNamesAButton) {
  auto boxes = NewSystemMessageBoxes();
  ::setenv("QUOTAWARDEN_MSGBOX_ANSWER", "no", 1);
  EXPECT_EQ(boxes->Show("再起動しますか？", "ドライブ番人", MessageBoxButtons::YesNo,
                        MessageBoxIcon::None),
            MessageBoxResult::No);
  // "no" is not a button of an OK box: its default answers.
  EXPECT_EQ(boxes->Show("x", "y", MessageBoxButtons::Ok, MessageBoxIcon::Error),
            MessageBoxResult::Ok);
  ::unsetenv("QUOTAWARDEN_MSGBOX_ANSWER");
  EXPECT_EQ(boxes->Show("x", "y", MessageBoxButtons::YesNo, MessageBoxIcon::None, 2),
            MessageBoxResult::No);
}
#endif

}  // namespace
}  // namespace qw
