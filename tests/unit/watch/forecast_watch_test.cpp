// The history and the forecast in the service, on a fake clock: 30 days and
// more of hourly samplings and daily checks of a drive filling at a steady
// rate; the history file's bound; the forecast warning on the day it
// belongs to, its mail, its reminder, and the recovery notice when a
// deletion turns it; and history files that cannot be used.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/fill_forecast.h"
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
constexpr int64_t kGiB = int64_t{1} << 30;
constexpr int64_t kHour = 3600;
constexpr int64_t kDay = 86400;
constexpr int64_t kStart = 1764547200;  // 2025-12-01 00:00 UTC

class ForecastWatchTest : public ::testing::Test {
 protected:
  ForecastWatchTest() {
    dir = (fs::temp_directory_path() / ("qw_forecast_" + std::to_string(getpid()))).string();
    fs::remove_all(dir);
    fs::create_directories(dir);
    system.utcOffsetMinutes = 540;
    SetClock(kStart);
    drives.drives['C'] = {kDriveFixed, 300 * kGiB, 1000 * kGiB, true, nullptr};
    drives.drives['D'] = {kDriveFixed, 900 * kGiB, 1000 * kGiB, true, nullptr};
  }
  ~ForecastWatchTest() override {
    service.reset();
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }
  void SetClock(int64_t utc) { system.now = LocalTimeOfUtcSeconds(utc, system.utcOffsetMinutes); }
  TDrivewarden& Service() {
    if (!service) {
      WatchOptions options;
      options.sendAlert = [this](const std::string& report) {
        mails.push_back(report);
        TDeliveryResult result;
        result.acceptedReply = "250 ok";
        return result;
      };
      service = std::make_unique<TDrivewarden>(ServicePlatform{profiles, drives, system, log}, loop.CreateTimer(),
                                               nullptr, std::move(options));
      service->SetSampleTimer(loop.CreateTimer());
      service->SetStateFolder(dir);
    }
    return *service;
  }
  std::string HistoryPath() const { return JoinPath(dir, kHistoryFileName); }
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
  std::unique_ptr<TDrivewarden> service;
  std::vector<std::string> mails;
  std::string dir;
};

// C fills by 6 GiB a day from 300 GiB; its threshold, 63 GiB, is reached on
// day 39.5, so the check of day 30 is the first with 10 days or less left
// (9.5). 150 GiB are deleted halfway through day 33.
TEST_F(ForecastWatchTest, ThirtyDaysOfFillThenADeletion) {
  profiles.SetFile("Drivewarden.ini",
                   "[WARNING]\r\nINTERVAL=24\r\nISMAILSEND=1\r\nREMIND=48\r\nRECOVERYMAIL=1\r\nFORECASTDAYS=10\r\n"
                   "[DRIVE]\r\nC=64512MB\r\nD=10%\r\n[MAIL]\r\nSMTP=mx\r\nMAILTO=a@b.jp\r\n",
                   0x5A000001);
  const auto freeAt = [](int64_t hours) {
    return 300 * kGiB - 6 * kGiB * hours / 24 + (hours >= 33 * 24 + 12 ? 150 * kGiB : 0);
  };
  Service().ServiceStart();
  ASSERT_EQ(mails.size(), 0u);
  std::vector<std::string> outcome;  // per day: "-" none, "F" forecast mail, "R" recovery
  std::vector<std::string> entryKinds;
  // Samplings every other hour keep the run short; the hourly thinning has
  // its own tests.
  for (int64_t hour = 2; hour <= 36 * 24; hour += 2) {
    SetClock(kStart + hour * kHour);
    drives.drives['C'].freeBytes = freeAt(hour);
    if (hour % 24 != 0) {
      const size_t entries = log.entries.size();
      Service().tmSampleTimer(nullptr);
      ASSERT_EQ(log.entries.size(), entries) << "a sampling writes no entry (hour " << hour << ")";
      continue;
    }
    mails.clear();
    Service().tmCheckTimer(nullptr);
    const std::string entry = log.entries.back().text;
    entryKinds.push_back(log.entries.back().type == EventType::Warning ? "W" : "I");
    if (mails.empty()) {
      outcome.push_back("-");
    } else {
      ASSERT_EQ(mails.size(), 1u);
      outcome.push_back(mails[0].find("回復しました") != std::string::npos ? "R" : "F");
    }
    const int64_t day = hour / 24;
    SCOPED_TRACE("day " + std::to_string(day));
    if (day == 30) {
      // The forecast line: the drive, the date (local, UTC+9), the days
      // left and the rate.
      const LocalDateTime reach = LocalTimeOfUtcSeconds(kStart + 39 * kDay + 12 * kHour, 540);
      const std::string date = system.FormatShortDate(reach);
      EXPECT_NE(entry.find("C ドライブ : " + date + " ごろ (あと 9 日、1 日あたり 6,442,450,944 バイト減少)"),
                std::string::npos)
          << entry;
      EXPECT_EQ(entry.find("しきい値以下のドライブは"), std::string::npos) << "no drive is short: " << entry;
      EXPECT_EQ(entry.find("D ドライブ : "), std::string::npos) << "D does not fill: " << entry;
      ASSERT_EQ(mails.size(), 1u);
      EXPECT_EQ(CollapseBlankLines(mails[0]), entry);
    }
  }
  // Days 1..36: information until day 29, the forecast from day 30 (mailed
  // on day 30, reminded 48 hours later on day 32), gone after the deletion
  // (the recovery notice on day 34, the first check after it).
  std::string days, kinds;
  for (const std::string& o : outcome) days += o;
  for (const std::string& k : entryKinds) kinds += k;
  EXPECT_EQ(days, std::string(29, '-') + "F-F-R--");
  EXPECT_EQ(kinds, std::string(29, 'I') + "WWWW" + "III");

  // The state and the metrics' values: C's rate and forecast, D flat.
  const Result<std::string> state = ReadWholeFile(JoinPath(dir, kStateFileName));
  ASSERT_TRUE(state.Ok());
  CheckState parsed;
  ASSERT_TRUE(ParseCheckState(*state, &parsed));
  ASSERT_EQ(parsed.drives.size(), 2u);
  EXPECT_TRUE(parsed.drives[0].hasTrend);
  EXPECT_NEAR(static_cast<double>(parsed.drives[0].bytesPerDay), -6.0 * kGiB, 1e6);
  EXPECT_GT(parsed.drives[0].forecastSeconds, 10 * kDay);
  EXPECT_TRUE(parsed.drives[1].hasTrend);
  EXPECT_EQ(parsed.drives[1].bytesPerDay, 0);
  EXPECT_EQ(parsed.drives[1].forecastSeconds, -1);

  // The file: both drives, hourly for a week and daily before, within the
  // bound the README states.
  const Result<std::string> text = ReadWholeFile(HistoryPath());
  ASSERT_TRUE(text.Ok());
  EXPECT_LE(text->size(), 2 * 10u * 1024);
  const Result<VolumeHistory> history = VolumeHistory::Parse(*text);
  ASSERT_TRUE(history.Ok()) << history.status().Describe();
  EXPECT_EQ(history->Volumes(), (std::vector<std::string>{"C:", "D:"}));
  const std::vector<VolumeSample>& c = history->Samples("C:");
  // Days 0 to 28 by their last sample, then every sample of the last week.
  EXPECT_EQ(c.front().utcSeconds, kStart + 22 * kHour);
  EXPECT_EQ(c.back().utcSeconds, kStart + 36 * kDay);
  EXPECT_EQ(c.size(), 29u + 7 * 12 + 1);
  EXPECT_EQ(Errors(), 0u);
}

// A volume mounted on a folder, watched by its [VOLUME] key, beside C:
// (which a second volume, on a path of its own under DEFAULT, does not
// disturb): each hourly sampling and each check add it to the history under
// its path, and it gets the forecast line, the forecast mail, the state's
// trend and the metrics' series as a letter does. The log volume fills by
// 4 GiB a day from 100 GiB towards 20 GiB (10% of 200 GiB), reached on day
// 20; the checks at noon see 10.5 days left on day 9 and 9.5 on day 10.
TEST_F(ForecastWatchTest, AVolumeOnAFolderIsSampledAndForecastAsALetterIs) {
  const auto volume = [](const std::string& name, std::vector<std::string> paths, const std::string& label) {
    VolumeInfo v;
    v.name = name;
    v.paths = std::move(paths);
    v.kind = VolumeKind::kFixed;
    v.label = label;
    return v;
  };
  drives.volumes = {volume("\\\\?\\Volume{1}\\", {"C:\\"}, ""),
                    volume("\\\\?\\Volume{2}\\", {"C:\\SQLData\\Log\\"}, "SQLLog"),
                    volume("\\\\?\\Volume{3}\\", {"C:\\Archive\\"}, "")};
  drives.volumeSpaces["C:\\SQLData\\Log\\"] = {kDriveFixed, 100 * kGiB, 200 * kGiB, true, nullptr};
  drives.volumeSpaces["C:\\Archive\\"] = {kDriveFixed, 500 * kGiB, 1000 * kGiB, true, nullptr};
  int logMeasured = 0;
  drives.volumeSpaces["C:\\SQLData\\Log\\"].onMeasure = [&logMeasured] { ++logMeasured; };
  const std::string metrics = JoinPath(dir, "metrics");
  fs::create_directories(metrics);
  profiles.SetFile("Drivewarden.ini",
                   "[WARNING]\r\nINTERVAL=24\r\nISMAILSEND=1\r\nREMIND=48\r\nFORECASTDAYS=10\r\n"
                   "[DRIVE]\r\nC=1MB\r\nDEFAULT=1%\r\n[VOLUME]\r\nC:\\SQLData\\Log=10%\r\n"
                   "[METRICS]\r\nTEXTFILEDIR=" + metrics + "\r\n[MAIL]\r\nSMTP=mx\r\nMAILTO=a@b.jp\r\n",
                   0x5A000300);
  const std::string key = "C:\\SQLData\\Log";
  Service().ServiceStart();
  ASSERT_EQ(Service().History().Samples(key).size(), 1u) << "the first check's sample";
  std::string firstForecastDays;
  std::string forecastEntry;
  for (int64_t hour = 2; hour <= 11 * 24 + 12; hour += 2) {
    SetClock(kStart + hour * kHour);
    drives.volumeSpaces["C:\\SQLData\\Log\\"].freeBytes = 100 * kGiB - 4 * kGiB * hour / 24;
    if (hour % 24 != 12) {
      const int before = logMeasured;
      Service().tmSampleTimer(nullptr);
      ASSERT_EQ(logMeasured, before + 1) << "each sampling measures the volume (hour " << hour << ")";
      continue;
    }
    mails.clear();
    Service().tmCheckTimer(nullptr);
    if (log.entries.back().type == EventType::Warning) {
      firstForecastDays += std::to_string(hour / 24) + " ";
      if (forecastEntry.empty()) forecastEntry = log.entries.back().text;
      ASSERT_EQ(mails.size(), hour / 24 == 10 ? 1u : 0u) << "mailed once (reminded after 48 hours), hour " << hour;
    } else {
      EXPECT_TRUE(mails.empty());
    }
  }
  EXPECT_EQ(firstForecastDays, "10 11 ");
  // The line names the volume as the report does, with its label.
  const LocalDateTime reach = LocalTimeOfUtcSeconds(kStart + 20 * kDay, 540);
  EXPECT_NE(forecastEntry.find("C:\\SQLData\\Log [SQLLog] : " + system.FormatShortDate(reach) +
                               " ごろ (あと 9 日、1 日あたり 4,294,967,296 バイト減少)"),
            std::string::npos)
      << forecastEntry;
  EXPECT_EQ(forecastEntry.find("しきい値以下のドライブは"), std::string::npos) << forecastEntry;
  EXPECT_EQ(forecastEntry.find("Archive ["), std::string::npos) << "the archive volume is flat";

  // The history: both volumes under their paths beside the letter, one
  // sample per two hours for the week, the days before by their last one.
  const VolumeHistory history = Service().History();
  EXPECT_EQ(history.Volumes(), (std::vector<std::string>{"C:", "C:\\Archive", key, "D:"}));
  EXPECT_EQ(history.Samples(key).back().freeBytes, 100 * kGiB - 4 * kGiB * 11 - 2 * kGiB);
  EXPECT_EQ(history.Samples(key).back().capacity, 200 * kGiB);

  // The state and the metrics carry the volume's rate and forecast.
  const Result<std::string> state = ReadWholeFile(JoinPath(dir, kStateFileName));
  ASSERT_TRUE(state.Ok());
  CheckState parsed;
  ASSERT_TRUE(ParseCheckState(*state, &parsed));
  ASSERT_EQ(parsed.volumes.size(), 2u);
  const VolumeState& logState = parsed.volumes[0].path == key ? parsed.volumes[0] : parsed.volumes[1];
  const VolumeState& archive = parsed.volumes[0].path == key ? parsed.volumes[1] : parsed.volumes[0];
  EXPECT_TRUE(logState.hasTrend);
  EXPECT_NEAR(static_cast<double>(logState.bytesPerDay), -4.0 * kGiB, 1e6);
  EXPECT_NEAR(static_cast<double>(logState.forecastSeconds), 8.5 * kDay, 60);
  EXPECT_TRUE(archive.hasTrend);
  EXPECT_EQ(archive.bytesPerDay, 0);
  EXPECT_EQ(archive.forecastSeconds, -1);
  EXPECT_EQ(parsed.alertForecast, "|" + key);
  const Result<std::string> prom = ReadWholeFile(JoinPath(metrics, "quotawarden.prom"));
  ASSERT_TRUE(prom.Ok()) << prom.status().Describe();
  EXPECT_NE(prom->find("quotawarden_drive_threshold_forecast_seconds{volume=\"C:\\\\SQLData\\\\Log\"} " +
                       std::to_string(logState.forecastSeconds)),
            std::string::npos)
      << *prom;
  EXPECT_NE(prom->find("quotawarden_drive_free_bytes_change_per_day{volume=\"C:\\\\Archive\"} 0"),
            std::string::npos)
      << *prom;
  EXPECT_EQ(Errors(), 0u);
}

TEST_F(ForecastWatchTest, NoForecastWithoutTheKeyOrWithTooLittleHistory) {
  struct Case {
    const char* warning;
    int hours;  // of hourly history before the check
  };
  const Case cases[] = {{"", 24 * 7}, {"FORECASTDAYS=0\r\n", 24 * 7}, {"FORECASTDAYS=365\r\n", 20}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.warning);
    service.reset();
    fs::remove_all(dir);
    fs::create_directories(dir);
    log.entries.clear();
    mails.clear();
    profiles.SetFile("Drivewarden.ini",
                     std::string("[WARNING]\r\nISMAILSEND=1\r\n") + c.warning +
                         "[DRIVE]\r\nC=64512MB\r\n[MAIL]\r\nSMTP=mx\r\nMAILTO=a@b.jp\r\n",
                     0x5A000002 + c.hours);
    SetClock(kStart);
    drives.drives['C'].freeBytes = 300 * kGiB;
    Service().ServiceStart();
    for (int h = 4; h <= c.hours; h += 4) {
      SetClock(kStart + h * kHour);
      drives.drives['C'].freeBytes = 300 * kGiB - 20 * kGiB * h / 24;  // 20 GiB a day: days, not weeks
      Service().tmSampleTimer(nullptr);
    }
    Service().tmCheckTimer(nullptr);
    EXPECT_EQ(log.entries.back().type, EventType::Information) << log.entries.back().text;
    EXPECT_TRUE(mails.empty());
  }
}

TEST_F(ForecastWatchTest, AHistoryFileThatCannotBeUsedIsOneErrorAndAFreshStart) {
  struct Case {
    const char* name;
    std::string bytes;
  };
  const Case cases[] = {
      {"damaged", "quotawarden-history 1\nvolume C:\n1764547200 12x 5\n"},
      {"cut short", "quotawarden-history 1\nvolume C:\n1764547200 1234"},
      {"another file", "[CHECK]\r\nOUTCOME=information\r\n"},
      {"too large", std::string("quotawarden-history 1\n") + std::string(kHistoryFileLimit, '#')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    service.reset();
    log.entries.clear();
    {
      std::ofstream out(HistoryPath(), std::ios::binary | std::ios::trunc);
      out << c.bytes;
    }
    profiles.SetFile("Drivewarden.ini", "[DRIVE]\r\nC=1MB\r\n", 0x5A000100);
    SetClock(kStart);
    Service().ServiceStart();
    Service().tmSampleTimer(nullptr);
    SetClock(kStart + kHour);
    Service().tmCheckTimer(nullptr);
    ASSERT_EQ(Errors(), 1u);
    std::string error;
    for (const auto& e : log.entries)
      if (e.type == EventType::Error) error = e.text;
    EXPECT_EQ(error.rfind(kHistoryNotRead, 0), 0u) << error;
    EXPECT_NE(error.find(HistoryPath()), std::string::npos) << error;
    // The watch went on, and the fresh history replaced the file.
    EXPECT_EQ(log.entries.back().type, EventType::Information);
    const Result<std::string> text = ReadWholeFile(HistoryPath(), kHistoryFileLimit * 2);
    ASSERT_TRUE(text.Ok());
    const Result<VolumeHistory> fresh = VolumeHistory::Parse(*text);
    ASSERT_TRUE(fresh.Ok()) << *text;
    EXPECT_EQ(fresh->Samples("C:").size(), 2u);
  }
}

TEST_F(ForecastWatchTest, ASamplingAfterAStopDoesNothingAndTheHistoryOutlivesTheProcess) {
  profiles.SetFile("Drivewarden.ini", "[DRIVE]\r\nC=1MB\r\n", 0x5A000200);
  Service().ServiceStart();
  SetClock(kStart + kHour);
  Service().tmSampleTimer(nullptr);
  EXPECT_EQ(Service().History().Samples("C:").size(), 2u);
  Service().ServiceStop();
  SetClock(kStart + 2 * kHour);
  Service().tmSampleTimer(nullptr);
  EXPECT_EQ(Service().History().Samples("C:").size(), 2u);
  // A new process reads what the last one kept, and adds to it.
  service.reset();
  SetClock(kStart + 3 * kHour);
  Service().ServiceStart();
  EXPECT_EQ(Service().History().Samples("C:").size(), 3u);
  EXPECT_EQ(Errors(), 0u);
}

}  // namespace
}  // namespace qw
