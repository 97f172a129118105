// The state file the watch replaces after every check, read back as the
// status page reads it: the drives and the outcome, the mail step, the last
// delivery kept across failed checks and across runs, and a folder that
// cannot take the file reported once per start without hurting the check.
#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include "common/check_state.h"
#include "platform/files.h"
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
const char kMailOn[] = "[WARNING]\r\nISMAILSEND=1\r\n[MAIL]\r\nSMTP=mx\r\nMAILTO=a@b.jp\r\n";

class StateTest : public ::testing::Test {
 protected:
  StateTest() {
    drives.drives['C'] = {kDriveFixed, 50 * kMiB, 1000 * kMiB, true, nullptr};
    drives.drives['D'] = {kDriveFixed, 900 * kMiB, 1000 * kMiB, true, nullptr};
    dir = (fs::temp_directory_path() / ("qw_state_" + std::to_string(getpid()))).string();
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  ~StateTest() override {
    service.reset();
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }
  TDrivewarden& Service() {
    if (!service) {
      WatchOptions options;
      options.sendAlert = [this](const std::string& report) { return mailStep(report); };
      service = std::make_unique<TDrivewarden>(ServicePlatform{profiles, drives, system, log}, loop.CreateTimer(),
                                               nullptr, std::move(options));
      service->SetStateFolder(dir);
    }
    return *service;
  }
  void SetIni(const std::string& text) { profiles.SetFile("Drivewarden.ini", text, ++stamp); }
  CheckState Read() {
    const Result<std::string> read = ReadWholeFile(JoinPath(dir, kStateFileName));
    EXPECT_TRUE(read.Ok());
    const std::string text = read.value_or("");
    CheckState state;
    EXPECT_TRUE(ParseCheckState(text, &state)) << text;
    return state;
  }
  size_t Errors() const {
    size_t n = 0;
    for (const auto& e : log.entries) n += e.type == EventType::Error;
    return n;
  }

  test::FakeProfiles profiles;
  test::FakeDrives drives;
  test::FakeSystemInfo system;
  test::FakeEventLog log;
  FakeMessageLoop loop;
  // The alert mail's delivery, as the tests set it.
  std::function<TDeliveryResult(const std::string&)> mailStep = [](const std::string&) {
    TDeliveryResult result;
    result.status = Status::Failure("CONNECT", 0, "no mail step in this test");
    return result;
  };
  std::unique_ptr<TDrivewarden> service;
  std::string dir;
  int32_t stamp = 0x58A00000;
};

TEST_F(StateTest, AnInformationCheckRecordsTheDrivesAndBothClocks) {
  SetIni("[DRIVE]\r\nC=4%\r\nD=500MB\r\n");
  Service().ServiceStart();
  const CheckState s = Read();
  EXPECT_EQ(s.outcome, "information");
  // 07:08:09 at UTC+9 is the previous day in UTC.
  EXPECT_EQ(s.checkedLocal, "2024-05-06 07:08:09");
  EXPECT_EQ(s.checkedUtc, "2024-05-05T22:08:09Z");
  ASSERT_EQ(s.drives.size(), 2u);
  EXPECT_EQ(s.drives[0].letter, 'C');
  EXPECT_EQ(s.drives[0].freeBytes, 50 * kMiB);
  EXPECT_EQ(s.drives[0].capacity, 1000 * kMiB);
  EXPECT_EQ(s.drives[0].thresholdText, "4%");
  EXPECT_EQ(s.drives[0].thresholdBytes, 40 * kMiB);
  EXPECT_FALSE(s.drives[0].below);
  EXPECT_EQ(s.drives[1].thresholdBytes, 500 * kMiB);
  EXPECT_FALSE(s.mailAttempted);
  EXPECT_TRUE(s.lastDeliveryLocal.empty());
}

TEST_F(StateTest, WarningsRecordTheMailStepAndKeepTheLastDelivery) {
  SetIni(std::string("[DRIVE]\r\nC=60MB\r\n") + kMailOn);
  mailStep = [](const std::string&) {
    TDeliveryResult result;
    result.acceptedReply = "250 2.0.0 Ok: queued as 4F2A";
    return result;
  };
  Service().ServiceStart();
  CheckState s = Read();
  EXPECT_EQ(s.outcome, "warning");
  ASSERT_EQ(s.drives.size(), 2u);
  EXPECT_TRUE(s.drives[0].below);
  EXPECT_FALSE(s.drives[1].below);
  EXPECT_TRUE(s.mailAttempted);
  EXPECT_TRUE(s.mailDelivered);
  EXPECT_EQ(s.mailReply, "250 2.0.0 Ok: queued as 4F2A");
  EXPECT_EQ(s.lastDeliveryLocal, "2024-05-06 07:08:09");
  EXPECT_EQ(s.lastDeliveryUtc, "2024-05-05T22:08:09Z");

  // A later warning whose mail is refused: that reply, the old delivery.
  system.now.hour = 8;
  mailStep = [](const std::string&) {
    return TDeliveryResult::FailedAt(TSmtpStep::Rcpt, 550, "550 5.1.1 unknown\r\nuser", "a@b.jp");
  };
  Service().tmCheckTimer(nullptr);
  s = Read();
  EXPECT_EQ(s.checkedLocal, "2024-05-06 08:08:09");
  EXPECT_TRUE(s.mailAttempted);
  EXPECT_FALSE(s.mailDelivered);
  EXPECT_EQ(s.mailReply, "RCPT <a@b.jp>: 550 5.1.1 unknown\r\nuser");
  EXPECT_EQ(s.lastDeliveryLocal, "2024-05-06 07:08:09");

  // An information check attempts nothing and still keeps the delivery.
  drives.drives['C'].freeBytes = 100 * kMiB;
  Service().tmCheckTimer(nullptr);
  s = Read();
  EXPECT_EQ(s.outcome, "information");
  EXPECT_FALSE(s.mailAttempted);
  EXPECT_TRUE(s.mailReply.empty());
  EXPECT_EQ(s.lastDeliveryUtc, "2024-05-05T22:08:09Z");
}

TEST_F(StateTest, AFailedStartRecordsItsErrorAndANewRunKeepsTheOldDelivery) {
  CheckState earlier;
  earlier.outcome = "warning";
  earlier.lastDeliveryLocal = "2024-01-02 03:04:05";
  earlier.lastDeliveryUtc = "2024-01-01T18:04:05Z";
  ASSERT_TRUE(ReplaceFileAtomically(JoinPath(dir, kStateFileName), FormatCheckState(earlier)).Ok());

  SetIni("[DRIVE]\r\nC=12abc\r\n");
  EXPECT_THROW(Service().ServiceStart(), std::exception);
  CheckState s = Read();
  EXPECT_NE(s.outcome.find("12abc"), std::string::npos) << s.outcome;
  EXPECT_FALSE(s.mailAttempted);
  EXPECT_EQ(s.lastDeliveryLocal, "2024-01-02 03:04:05");

  // A damaged file is no earlier state: the check writes a sound one.
  service.reset();
  ASSERT_TRUE(ReplaceFileAtomically(JoinPath(dir, kStateFileName), std::string(10, '\0')).Ok());
  SetIni("[DRIVE]\r\nC=1MB\r\n");
  Service().ServiceStart();
  s = Read();
  EXPECT_EQ(s.outcome, "information");
  EXPECT_TRUE(s.lastDeliveryLocal.empty());
}

TEST_F(StateTest, AStateThatCannotBeWrittenIsOneErrorPerStartAndTheCheckGoesOn) {
  const std::string missing = JoinPath(dir, "absent");
  Service().SetStateFolder(missing);
  SetIni("[DRIVE]\r\nC=1MB\r\n");
  Service().ServiceStart();
  Service().tmCheckTimer(nullptr);
  Service().tmCheckTimer(nullptr);
  // The history beside it cannot be written either: one entry of its own.
  const auto stateErrors = [this] {
    size_t n = 0;
    for (const auto& e : log.entries) n += e.type == EventType::Error && e.text.rfind(kStateNotWritten, 0) == 0;
    return n;
  };
  ASSERT_EQ(stateErrors(), 1u);
  EXPECT_EQ(Errors(), 2u);
  size_t information = 0;
  std::string error;
  for (const auto& e : log.entries) {
    if (e.type == EventType::Information) ++information;
    if (e.type == EventType::Error && e.text.rfind(kStateNotWritten, 0) == 0) error = e.text;
  }
  EXPECT_EQ(information, 3u) << "every check still wrote its entry";
  EXPECT_EQ(error.rfind(kStateNotWritten, 0), 0u) << error;
  EXPECT_NE(error.find(JoinPath(missing, kStateFileName)), std::string::npos) << error;
  EXPECT_GT(error.size(), std::string(kStateNotWritten).size() + JoinPath(missing, kStateFileName).size() + 4)
      << "the system's reason follows the path";

  Service().ServiceStop();
  Service().ServiceStart();
  EXPECT_EQ(stateErrors(), 2u) << "a new start reports it again";
}

}  // namespace
}  // namespace qw
