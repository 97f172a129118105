// Volumes beside the letters, through the fake platform: a volume with
// several paths is measured once, one without a path by its name, ignored
// ones never; volumes mounted or removed between checks; the short set that
// decides reminders names volumes; a hung volume is reported, not waited for.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>

#include "service/drivewarden.h"
#include "tests/fakes/fake_message_loop.h"
#include "tests/fakes/fake_platform.h"

namespace qw {
namespace {

using namespace std::chrono_literals;
constexpr int64_t kMiB = 1024 * 1024;
constexpr int64_t kBoundMs = 300;

VolumeInfo Volume(const std::string& name, std::vector<std::string> paths, const std::string& label = "") {
  VolumeInfo v;
  v.name = name;
  v.paths = std::move(paths);
  v.kind = VolumeKind::kFixed;
  v.label = label;
  return v;
}

class VolumesWatchTest : public ::testing::Test {
 protected:
  VolumesWatchTest() {
    drives.drives['C'] = {kDriveFixed, 500 * kMiB, 1000 * kMiB, true, nullptr};
    drives.volumes = {Volume("\\\\?\\Volume{1}\\", {"C:\\"}, "System"),
                      Volume("\\\\?\\Volume{2}\\", {"C:\\SQLData\\Log\\", "C:\\Mounts\\Log2\\"}, "SQLLog"),
                      Volume("\\\\?\\Volume{3}\\", {}, "Cluster"),
                      Volume("\\\\?\\Volume{4}\\", {"C:\\Scratch\\"})};
    drives.volumeSpaces["C:\\SQLData\\Log\\"] = {kDriveFixed, 5 * kMiB, 1000 * kMiB, true, nullptr};
    drives.volumeSpaces["C:\\SQLData\\Log\\"].onMeasure = [this] { ++callsOfLog; };
    drives.volumeSpaces["\\\\?\\Volume{3}\\"] = {kDriveFixed, 900 * kMiB, 1000 * kMiB, true, nullptr};
    drives.volumeSpaces["C:\\Scratch\\"] = {kDriveFixed, 0, 1000 * kMiB, true, nullptr};
    drives.volumeSpaces["C:\\Scratch\\"].onMeasure = [this] { ++callsOfScratch; };
    Settings("");
    WatchOptions options;
    options.answerBoundMs = kBoundMs;
    options.sendAlert = [this](const std::string& report) {
      mailed.push_back(report);
      TDeliveryResult delivered;
      delivered.acceptedReply = "250 ok";
      return delivered;
    };
    service = std::make_unique<TDrivewarden>(ServicePlatform{profiles, drives, system, log}, loop.CreateTimer(),
                                             nullptr, std::move(options));
  }
  ~VolumesWatchTest() override {
    if (hang) {
      hang = false;
      release.set_value();
    }
    EXPECT_TRUE(service->WaitForOutstandingCalls(5000ms).Ok());
    service.reset();
  }
  void Settings(const std::string& extra) {
    profiles.SetFile("Drivewarden.ini",
                     "[WARNING]\r\nINTERVAL=1\r\nISMAILSEND=1\r\nREMIND=24\r\n[DRIVE]\r\nC=10MB\r\nDEFAULT=10%\r\n"
                     "[VOLUME]\r\nIGNORE=C:\\Scratch\r\n" +
                         extra + "[MAIL]\r\nSMTP=mx\r\nMAILTO=a@b.jp\r\n");
  }
  std::string Last(EventType type) const {
    for (auto e = log.entries.rbegin(); e != log.entries.rend(); ++e)
      if (e->type == type) return e->text;
    return "";
  }
  static bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

  test::FakeProfiles profiles;
  test::FakeDrives drives;
  test::FakeSystemInfo system;
  test::FakeEventLog log;
  FakeMessageLoop loop;
  std::unique_ptr<TDrivewarden> service;
  std::vector<std::string> mailed;
  std::atomic<int> callsOfLog{0};
  std::atomic<int> callsOfScratch{0};
  std::atomic<bool> hang{false};
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
};

TEST_F(VolumesWatchTest, EveryVolumeOnceByItsPathOrNameAndIgnoredOnesNever) {
  CheckState recorded;
  service->SetCheckStateListener([&recorded](const CheckState& state, bool) { recorded = state; });
  service->ServiceStart();
  const std::string report = Last(EventType::Warning);
  ASSERT_FALSE(report.empty()) << "the log volume is below 10%";
  EXPECT_TRUE(Has(report, "・ C ドライブの空き領域: 524,288,000 バイト")) << "the letter keeps its wording";
  EXPECT_TRUE(Has(report, "・ C:\\SQLData\\Log [SQLLog] の空き領域: 5,242,880 バイト")) << report;
  EXPECT_TRUE(Has(report, "C:\\SQLData\\Log [SQLLog] : しきい値 10% ( 全容量 1,048,576,000 バイト )")) << report;
  EXPECT_TRUE(Has(report, "・ \\\\?\\Volume{3}\\ [Cluster] の空き領域: 943,718,400 バイト")) << report;
  EXPECT_FALSE(Has(report, "Cluster] : しきい値")) << "not short";
  EXPECT_FALSE(Has(report, "Log2")) << "the second path of a volume is not a volume of its own";
  EXPECT_FALSE(Has(report, "Scratch"));
  EXPECT_FALSE(Has(report, "C:\\ [System]")) << "the letter's volume is measured as the letter";
  EXPECT_EQ(callsOfLog.load(), 1);
  EXPECT_EQ(callsOfScratch.load(), 0);
  ASSERT_EQ(mailed.size(), 1u);
  EXPECT_TRUE(Has(mailed[0], "C:\\SQLData\\Log [SQLLog] : しきい値 10%"));
  // The state (status.ini, the metrics) has each volume with its path and label.
  ASSERT_EQ(recorded.volumes.size(), 2u);
  EXPECT_EQ(recorded.volumes[0].path, "C:\\SQLData\\Log");
  EXPECT_EQ(recorded.volumes[0].label, "SQLLog");
  EXPECT_EQ(recorded.volumes[0].freeBytes, 5 * kMiB);
  EXPECT_EQ(recorded.volumes[0].thresholdBytes, 100 * kMiB);
  EXPECT_TRUE(recorded.volumes[0].below);
  EXPECT_EQ(recorded.volumes[1].path, "\\\\?\\Volume{3}\\");
  EXPECT_FALSE(recorded.volumes[1].below);
  EXPECT_EQ(recorded.drives.size(), 1u);
}

TEST_F(VolumesWatchTest, VolumesMountedOrRemovedBetweenChecks) {
  service->ServiceStart();
  ASSERT_EQ(mailed.size(), 1u);
  // The same shortage again within REMIND: no mail.
  service->CheckNow();
  EXPECT_EQ(mailed.size(), 1u);
  // A volume mounted after the start is watched under DEFAULT at the next
  // check; being newly short, it is news despite REMIND (its path has no
  // character the alerted one lacks: names are compared, not bytes).
  drives.volumes.push_back(Volume("\\\\?\\Volume{5}\\", {"C:\\Log\\"}));
  drives.volumeSpaces["C:\\Log\\"] = {kDriveFixed, 1 * kMiB, 100 * kMiB, true, nullptr};
  service->CheckNow();
  EXPECT_TRUE(Has(Last(EventType::Warning), "C:\\Log : しきい値 10%")) << Last(EventType::Warning);
  ASSERT_EQ(mailed.size(), 2u) << "a volume newly short mails at once";
  // Removed again (with the log volume): the rest is measured, no error.
  drives.volumes.erase(drives.volumes.begin() + 1);
  drives.volumes.pop_back();
  const size_t errors = log.entries.size();
  service->CheckNow();
  for (size_t i = errors; i < log.entries.size(); ++i) EXPECT_NE(log.entries[i].type, EventType::Error);
  const std::string info = Last(EventType::Information);
  EXPECT_FALSE(Has(info, "SQLData"));
  EXPECT_FALSE(Has(info, "C:\\Log "));
  EXPECT_TRUE(Has(info, "[Cluster] の空き領域")) << info;
}

TEST_F(VolumesWatchTest, AKeyOfAVolumeThatIsGoneIsALoadErrorNamingIt) {
  Settings("C:\\SQLData\\Log=1MB\r\n");
  service->ServiceStart();
  EXPECT_FALSE(Has(Last(EventType::Warning), "C:\\SQLData\\Log [SQLLog] : しきい値")) << "its own 1MB wins over DEFAULT";
  drives.volumes.erase(drives.volumes.begin() + 1);
  service->CheckNow();
  const std::string error = Last(EventType::Error);
  EXPECT_TRUE(Has(error, "[VOLUME] C:\\SQLData\\Log=1MB")) << error;
  EXPECT_TRUE(Has(error, "マウントポイントではありません")) << error;
}

TEST_F(VolumesWatchTest, AHungVolumeIsReportedWithinTheBoundAndAStopIsNotHeld) {
  drives.volumeSpaces["\\\\?\\Volume{3}\\"].onMeasure = [this] {
    if (hang) released.wait();
  };
  hang = true;
  const auto began = std::chrono::steady_clock::now();
  service->ServiceStart();
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(4 * kBoundMs));
  const std::string report = Last(EventType::Warning);
  EXPECT_TRUE(Has(report, "・ \\\\?\\Volume{3}\\ [Cluster] の空き領域: 応答がありません")) << report;
  EXPECT_TRUE(Has(report, "\\\\?\\Volume{3}\\ [Cluster] : 応答がありません ( 1 秒以内")) << report;
  EXPECT_TRUE(Has(report, "・ C:\\SQLData\\Log [SQLLog] の空き領域: 5,242,880 バイト")) << "the others are measured";
  const auto stopping = std::chrono::steady_clock::now();
  EXPECT_TRUE(service->ServiceStopWithin(2000).Ok());
  EXPECT_LT(std::chrono::steady_clock::now() - stopping, 1s);
}

TEST_F(VolumesWatchTest, AListingThatHangsIsALoadErrorWithinTheBound) {
  service->ServiceStart();
  drives.onList = [this] {
    if (hang) released.wait();
  };
  hang = true;
  const auto began = std::chrono::steady_clock::now();
  service->CheckNow();
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(4 * kBoundMs));
  const std::string error = Last(EventType::Error);
  EXPECT_TRUE(Has(error, "[DRIVE] DEFAULT=10%")) << error;
  EXPECT_TRUE(Has(error, "were not listed within")) << error;
  // The check went on with the last good settings.
  EXPECT_TRUE(Has(Last(EventType::Warning), "C:\\SQLData\\Log [SQLLog] : しきい値 10%"));
}

TEST(ShortSetTest, NamesOfLettersAndVolumesAndOldTexts) {
  struct Case {
    std::string letters;
    std::vector<std::string> volumes;
    std::string text;
    std::vector<std::string> names;
  };
  const Case cases[] = {
      {"", {}, "", {}},
      {"CD", {}, "CD", {"C", "D"}},  // as earlier versions stored it
      {"", {"/data"}, "|/data", {"/data"}},
      {"C", {"C:\\SQL\\Log", "\\\\?\\Volume{3}\\"}, "C|C:\\SQL\\Log|\\\\?\\Volume{3}\\",
       {"C", "C:\\SQL\\Log", "\\\\?\\Volume{3}\\"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ShortSetText(c.letters, c.volumes), c.text);
    EXPECT_EQ(ShortSetNames(c.text), c.names) << c.text;
  }
}

}  // namespace
}  // namespace qw
