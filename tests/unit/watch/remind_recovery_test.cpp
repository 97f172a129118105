// Recovery notice and reminder interval: sequences of checks with changing
// free space and the mails that result, run twice for each sequence: in one
// service object (the service and the foreground host) and as one-shot runs
// that share only the state file (a sequence of --once runs).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/errors.h"
#include "service/drivewarden.h"
#include "tests/fakes/fake_message_loop.h"
#include "tests/fakes/fake_platform.h"

#ifdef _WIN32
#include <process.h>
#define getpid _getpid
#else
#include <unistd.h>
#endif

namespace qw {
namespace {

namespace fs = std::filesystem;
constexpr int64_t kMiB = 1024 * 1024;
constexpr int64_t kLow = 1 * kMiB;    // below the 10MB thresholds
constexpr int64_t kHigh = 50 * kMiB;  // above them

// One check: its hour (from 2024-05-06 00:00), the free space of C and D,
// whether the mail fails, and the mail expected: "-" none, "A" an alert
// naming the short drives after it ("A:CD"), "R" the recovery notice.
struct Step {
  int hour;
  int64_t c;
  int64_t d;
  const char* mail;
  bool fails = false;
};

struct Scenario {
  const char* name;
  const char* warning;  // extra lines of [WARNING]
  std::vector<Step> steps;
};

const Scenario kScenarios[] = {
    {"defaults: every check mails, no recovery notice",
     "",
     {{0, kLow, kHigh, "A:C"}, {1, kLow, kHigh, "A:C"}, {2, kHigh, kHigh, "-"}, {3, kLow, kHigh, "A:C"}}},
    {"REMIND holds back a standing shortage until the hours have passed",
     "REMIND=6\r\n",
     {{0, kLow, kHigh, "A:C"},
      {1, kLow, kHigh, "-"},
      {5, kLow, kHigh, "-"},
      {6, kLow, kHigh, "A:C"},
      {7, kLow, kHigh, "-"},
      {36, kLow, kHigh, "A:C"}}},
    {"REMIND: a drive newly short mails at once",
     "REMIND=24\r\n",
     {{0, kLow, kHigh, "A:C"}, {1, kLow, kLow, "A:CD"}, {2, kLow, kLow, "-"}, {3, kHigh, kLow, "-"},
      {4, kLow, kLow, "-"}}},
    {"REMIND counts from the last delivered alert; a failed one does not count",
     "REMIND=24\r\n",
     {{0, kLow, kHigh, "A:C", true}, {1, kLow, kHigh, "A:C"}, {2, kLow, kHigh, "-"}}},
    {"RECOVERYMAIL: one notice when every drive is back, then alerts again at once",
     "RECOVERYMAIL=1\r\nREMIND=24\r\n",
     {{0, kLow, kHigh, "A:C"},
      {1, kHigh, kHigh, "R"},
      {2, kHigh, kHigh, "-"},
      {3, kHigh, kLow, "A:D"},
      {4, kHigh, kLow, "-"},
      {5, kHigh, kHigh, "R"}}},
    {"RECOVERYMAIL: no notice without a delivered alert before",
     "RECOVERYMAIL=1\r\n",
     {{0, kHigh, kHigh, "-"}, {1, kLow, kHigh, "A:C", true}, {2, kHigh, kHigh, "-"}}},
};

class RemindRecoveryTest : public ::testing::TestWithParam<bool> {
 protected:
  RemindRecoveryTest() {
    dir = (fs::temp_directory_path() / ("qw_remind_" + std::to_string(getpid()))).string();
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  ~RemindRecoveryTest() override {
    service.reset();
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }
  void NewService() {
    WatchOptions options;
    options.sendAlert = [this](const std::string& report) {
      TDeliveryResult result;
      std::string kind = report.find("回復しました") != std::string::npos ? "R" : "A:";
      if (kind == "A:") {
        for (char letter : std::string("CD"))
          if (report.find(std::string(1, letter) + " ドライブ : しきい値") != std::string::npos) kind += letter;
      }
      mails.push_back(kind);
      if (failNext) result.status = Status::Failure("CONNECT", 0, "refused");
      else result.acceptedReply = "250 ok";
      return result;
    };
    service = std::make_unique<TDrivewarden>(ServicePlatform{profiles, drives, system, log}, loop.CreateTimer(),
                                             nullptr, std::move(options));
    service->SetStateFolder(dir);
  }
  void Run(const Scenario& scenario, bool oneShotRuns) {
    profiles.SetFile("Drivewarden.ini",
                     std::string("[WARNING]\r\nINTERVAL=1\r\nISMAILSEND=1\r\n") + scenario.warning +
                         "[DRIVE]\r\nC=10MB\r\nD=10MB\r\n[MAIL]\r\nSMTP=mx\r\nMAILTO=a@b.jp\r\n",
                     0x58A00001);
    for (size_t i = 0; i < scenario.steps.size(); ++i) {
      const Step& step = scenario.steps[i];
      system.now = {2024, 5, 6 + step.hour / 24, 1, step.hour % 24, 0, 0, 0};
      drives.drives['C'] = {kDriveFixed, step.c, 1000 * kMiB, true, nullptr};
      drives.drives['D'] = {kDriveFixed, step.d, 1000 * kMiB, true, nullptr};
      failNext = step.fails;
      mails.clear();
      if (oneShotRuns || i == 0) {
        NewService();
        service->ServiceStart();
        if (oneShotRuns) service->ServiceStop();
      } else {
        service->tmCheckTimer(nullptr);
      }
      // A failed mail may be tried again right after (a pending mail of a
      // one-shot run is replaced by the next run's check): only the first
      // attempt of the step counts.
      const std::string got = mails.empty() ? "-" : mails.front();
      EXPECT_EQ(got, step.mail) << scenario.name << ", step at hour " << step.hour
                                << (oneShotRuns ? " (one-shot runs)" : " (one service)");
    }
    service.reset();
  }

  test::FakeProfiles profiles;
  test::FakeDrives drives;
  test::FakeSystemInfo system;
  test::FakeEventLog log;
  FakeMessageLoop loop;
  std::unique_ptr<TDrivewarden> service;
  std::vector<std::string> mails;
  bool failNext = false;
  std::string dir;
};

TEST_P(RemindRecoveryTest, MailsFollowTheTable) {
  for (const Scenario& scenario : kScenarios) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    log.entries.clear();
    Run(scenario, GetParam());
  }
}

INSTANTIATE_TEST_SUITE_P(ServiceAndOneShotRuns, RemindRecoveryTest, ::testing::Bool());

TEST(RemindSettingTest, ABadValueFailsTheLoadNamingKeyAndValue) {
  test::FakeProfiles profiles;
  test::FakeDrives drives;
  test::FakeSystemInfo system;
  test::FakeEventLog log;
  FakeMessageLoop loop;
  drives.drives['C'] = {kDriveFixed, kHigh, 1000 * kMiB, true, nullptr};
  for (const char* bad : {"-1", "x", "1.5", "24h"}) {
    profiles.SetFile("Drivewarden.ini", std::string("[WARNING]\r\nREMIND=") + bad + "\r\n", 0x58A00002);
    TDrivewarden service(ServicePlatform{profiles, drives, system, log}, loop.CreateTimer());
    try {
      service.ServiceStart();
      ADD_FAILURE() << bad << " loaded";
    } catch (const EConvertError& e) {
      EXPECT_EQ(std::string(e.what()), std::string("設定ファイル Drivewarden.ini の [WARNING] REMIND=") + bad + ": '" +
                                           bad + "' は 0 以上の整数ではありません");
    }
  }
  profiles.SetFile("Drivewarden.ini", "[WARNING]\r\nREMIND=0\r\nRECOVERYMAIL=1\r\n", 0x58A00003);
  TDrivewarden service(ServicePlatform{profiles, drives, system, log}, loop.CreateTimer());
  service.ServiceStart();
  EXPECT_EQ(service.Remind(), 0);
  EXPECT_TRUE(service.RecoveryMail());
}

}  // namespace
}  // namespace qw
