// The metrics file: its exposition text on its own (every family with HELP
// and TYPE, values, label escaping, times), and as the watch writes it after
// its checks (the folder's settings load, a check whose settings broke, a
// check that ended with an error, a folder that refuses the file, the mail
// failure count across runs).
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>

#include "common/check_state.h"
#include "common/errors.h"
#include "platform/files.h"
#include "service/drivewarden.h"
#include "service/metrics_file.h"
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

// Samples by "name{labels}" (or "name"), and the HELP and TYPE lines by
// family; a line that is neither fails the test.
struct Parsed {
  std::map<std::string, std::string> samples;
  std::map<std::string, std::string> types;
  std::map<std::string, std::string> helps;
};
Parsed Parse(const std::string& text) {
  Parsed p;
  EXPECT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  EXPECT_EQ(text.find('\r'), std::string::npos);
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = text.find('\n', at);
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    if (line.rfind("# HELP ", 0) == 0 || line.rfind("# TYPE ", 0) == 0) {
      const size_t space = line.find(' ', 7);
      auto& target = line[2] == 'H' ? p.helps : p.types;
      EXPECT_TRUE(target.emplace(line.substr(7, space - 7), line.substr(space + 1)).second) << line;
      continue;
    }
    const size_t space = line.rfind(' ');
    EXPECT_NE(space, std::string::npos) << line;
    EXPECT_TRUE(p.samples.emplace(line.substr(0, space), line.substr(space + 1)).second) << line;
  }
  return p;
}

const char* const kFamilies[] = {
    "quotawarden_info", "quotawarden_last_check_timestamp_seconds", "quotawarden_last_check_success",
    "quotawarden_check_interval_seconds",
    "quotawarden_alert_mail_last_success_timestamp_seconds", "quotawarden_alert_mail_failures_total",
    "quotawarden_drive_free_bytes", "quotawarden_drive_size_bytes", "quotawarden_drive_threshold_bytes",
    "quotawarden_drive_below_threshold", "quotawarden_drive_free_bytes_change_per_day",
    "quotawarden_drive_threshold_forecast_seconds",
    "quotawarden_alert_last_success_timestamp_seconds", "quotawarden_alert_failures_total",
    "quotawarden_alert_pending"};

TEST(MetricsText, EveryFamilyItsValuesAndTheEscapedLabels) {
  CheckState state;
  state.checkedUtc = "2024-05-05T22:08:09Z";
  state.lastDeliveryUtc = "1999-12-31T23:59:59Z";
  state.mailFailures = 7;
  DriveState c;
  c.letter = 'C';
  c.freeBytes = 50 * kMiB;
  c.capacity = 1000 * kMiB;
  c.thresholdBytes = 60 * kMiB;
  c.below = true;
  c.hasTrend = true;
  c.bytesPerDay = -3 * kMiB;
  c.forecastSeconds = 0;  // at the threshold already
  DriveState d;  // could not be measured, no threshold
  d.letter = 'D';
  state.drives = {c, d};
  MetricsFacts facts;
  facts.checkSucceeded = true;
  facts.intervalSeconds = 7200;
  facts.host = "PC\"1\\\n\x83\x5C";  // quote, backslash, LF, then ソ (its trail byte is "\")
  facts.version = "1.2.1.0";

  const Parsed p = Parse(FormatMetrics(state, facts));
  for (const char* family : kFamilies) {
    EXPECT_EQ(p.types.count(family), 1u) << family;
    EXPECT_FALSE(p.helps.count(family) == 0 || p.helps.at(family).empty()) << family;
  }
  EXPECT_EQ(p.types.at("quotawarden_alert_mail_failures_total"), "counter");
  EXPECT_EQ(p.types.at("quotawarden_drive_free_bytes"), "gauge");
  EXPECT_EQ(p.samples.at("quotawarden_info{version=\"1.2.1.0\",host=\"PC\\\"1\\\\\\n\xE3\x82\xBD\"}"), "1");
  EXPECT_EQ(p.samples.at("quotawarden_last_check_timestamp_seconds"), "1714946889");
  EXPECT_EQ(p.samples.at("quotawarden_last_check_success"), "1");
  EXPECT_EQ(p.samples.at("quotawarden_check_interval_seconds"), "7200");
  EXPECT_EQ(p.samples.at("quotawarden_alert_mail_last_success_timestamp_seconds"), "946684799");
  EXPECT_EQ(p.samples.at("quotawarden_alert_mail_failures_total"), "7");
  EXPECT_EQ(p.samples.at("quotawarden_drive_free_bytes{drive=\"C\"}"), "52428800");
  EXPECT_EQ(p.samples.at("quotawarden_drive_size_bytes{drive=\"C\"}"), "1048576000");
  EXPECT_EQ(p.samples.at("quotawarden_drive_threshold_bytes{drive=\"C\"}"), "62914560");
  EXPECT_EQ(p.samples.at("quotawarden_drive_below_threshold{drive=\"C\"}"), "1");
  // Unknown bytes are no sample (not -1); the drive is still there.
  EXPECT_EQ(p.samples.count("quotawarden_drive_free_bytes{drive=\"D\"}"), 0u);
  EXPECT_EQ(p.samples.count("quotawarden_drive_size_bytes{drive=\"D\"}"), 0u);
  EXPECT_EQ(p.samples.at("quotawarden_drive_threshold_bytes{drive=\"D\"}"), "0");
  EXPECT_EQ(p.samples.at("quotawarden_drive_below_threshold{drive=\"D\"}"), "0");
  EXPECT_EQ(p.samples.at("quotawarden_drive_free_bytes_change_per_day{drive=\"C\"}"), "-3145728");
  EXPECT_EQ(p.samples.at("quotawarden_drive_threshold_forecast_seconds{drive=\"C\"}"), "0");
  EXPECT_EQ(p.samples.count("quotawarden_drive_free_bytes_change_per_day{drive=\"D\"}"), 0u);
  EXPECT_EQ(p.samples.count("quotawarden_drive_threshold_forecast_seconds{drive=\"D\"}"), 0u);
  // The mail as one channel among the alert channels.
  EXPECT_EQ(p.samples.at("quotawarden_alert_last_success_timestamp_seconds{channel=\"mail\"}"), "946684799");
  EXPECT_EQ(p.samples.at("quotawarden_alert_failures_total{channel=\"mail\"}"), "7");
  EXPECT_EQ(p.samples.at("quotawarden_alert_pending{channel=\"mail\"}"), "0");
  EXPECT_EQ(p.samples.size(), 17u);

  // No delivery yet, and a failed check.
  state.lastDeliveryUtc.clear();
  facts.checkSucceeded = false;
  const Parsed q = Parse(FormatMetrics(state, facts));
  EXPECT_EQ(q.samples.at("quotawarden_alert_mail_last_success_timestamp_seconds"), "0");
  EXPECT_EQ(q.samples.at("quotawarden_last_check_success"), "0");
}

TEST(MetricsText, TheHeartbeatFamiliesOnlyOnceAHeartbeatWasSent) {
  const char* const families[] = {"quotawarden_heartbeat_last_timestamp_seconds", "quotawarden_heartbeat_last_success",
                                  "quotawarden_heartbeat_last_success_timestamp_seconds"};
  struct Case {
    const char* utc;
    bool ok;
    const char* successUtc;
    const char* last;         // expected samples; nullptr: no families
    const char* success;
    const char* successTime;
  };
  const Case cases[] = {
      {"", false, "", nullptr, nullptr, nullptr},
      {"2024-05-05T22:08:09Z", true, "2024-05-05T22:08:09Z", "1714946889", "1", "1714946889"},
      {"2024-05-05T22:08:09Z", false, "1999-12-31T23:59:59Z", "1714946889", "0", "946684799"},
      {"2024-05-05T22:08:09Z", false, "", "1714946889", "0", "0"},
  };
  for (const Case& c : cases) {
    CheckState state;
    state.checkedUtc = "2024-05-05T22:08:09Z";
    state.heartbeatUtc = c.utc;
    state.heartbeatOk = c.ok;
    state.heartbeatSuccessUtc = c.successUtc;
    const Parsed p = Parse(FormatMetrics(state, MetricsFacts{}));
    for (const char* family : families) EXPECT_EQ(p.types.count(family), c.last ? 1u : 0u) << family << c.utc;
    if (!c.last) continue;
    EXPECT_EQ(p.samples.at(families[0]), c.last);
    EXPECT_EQ(p.samples.at(families[1]), c.success);
    EXPECT_EQ(p.samples.at(families[2]), c.successTime);
  }
}

TEST(MetricsText, VolumesShareTheFamiliesUnderAVolumeLabel) {
  CheckState state;
  state.checkedUtc = "2024-05-05T22:08:09Z";
  DriveState c;
  c.letter = 'C';
  c.freeBytes = 1;
  state.drives = {c};
  VolumeState log;
  log.path = "C:\\SQL\x83\x5C";  // ソ: its trail byte is "\"
  log.freeBytes = 5 * kMiB;
  log.capacity = 100 * kMiB;
  log.thresholdBytes = 10 * kMiB;
  log.below = true;
  log.hasTrend = true;
  log.bytesPerDay = -1048576;
  log.forecastSeconds = 0;
  VolumeState hung;  // did not answer
  hung.path = "/mnt/hung";
  hung.below = true;
  state.volumes = {log, hung};
  const Parsed p = Parse(FormatMetrics(state, MetricsFacts{}));
  const std::string logLabel = "{volume=\"C:\\\\SQL\xE3\x82\xBD\"}";
  EXPECT_EQ(p.samples.at("quotawarden_drive_free_bytes" + logLabel), "5242880");
  EXPECT_EQ(p.samples.at("quotawarden_drive_size_bytes" + logLabel), "104857600");
  EXPECT_EQ(p.samples.at("quotawarden_drive_threshold_bytes" + logLabel), "10485760");
  EXPECT_EQ(p.samples.at("quotawarden_drive_below_threshold" + logLabel), "1");
  EXPECT_EQ(p.samples.count("quotawarden_drive_free_bytes{volume=\"/mnt/hung\"}"), 0u);
  EXPECT_EQ(p.samples.at("quotawarden_drive_below_threshold{volume=\"/mnt/hung\"}"), "1");
  EXPECT_EQ(p.samples.at("quotawarden_drive_free_bytes_change_per_day" + logLabel), "-1048576");
  EXPECT_EQ(p.samples.at("quotawarden_drive_threshold_forecast_seconds" + logLabel), "0");
  EXPECT_EQ(p.samples.count("quotawarden_drive_free_bytes_change_per_day{volume=\"/mnt/hung\"}"), 0u);
  EXPECT_EQ(p.samples.count("quotawarden_drive_threshold_forecast_seconds{volume=\"/mnt/hung\"}"), 0u);
  // The letter's series keep their name and label.
  EXPECT_EQ(p.samples.at("quotawarden_drive_free_bytes{drive=\"C\"}"), "1");
}

TEST(MetricsText, LabelValuesAreEscaped) {
  EXPECT_EQ(MetricsLabelValue("a\\b\"c\nd"), "a\\\\b\\\"c\\nd");
  EXPECT_EQ(MetricsLabelValue("C"), "C");
}

TEST(MetricsPath, AbsoluteFoldersOfThisSystem) {
#ifdef _WIN32
  for (const char* yes : {"C:\\metrics", "c:/m", "\\\\server\\share\\m", "\\\\?\\C:\\m"})
    EXPECT_TRUE(IsAbsolutePath(yes)) << yes;
  for (const char* no : {"", "metrics", "C:metrics", "\\metrics", ".\\m", "/m", "C:"})
    EXPECT_FALSE(IsAbsolutePath(no)) << no;
#else
  for (const char* yes : {"/", "/var/lib/prometheus/node-exporter"}) EXPECT_TRUE(IsAbsolutePath(yes)) << yes;
  for (const char* no : {"", "metrics", "./m", "~/m", "C:\\m"}) EXPECT_FALSE(IsAbsolutePath(no)) << no;
#endif
}

// An event log whose information entries fail once armed: a check that
// ends with an error after it measured the drives.
class BreakingEventLog : public test::FakeEventLog {
 public:
  void Report(const std::string& source, EventType type, uint16_t category, uint32_t eventId,
              const std::string& text) override {
    if (broken && type == EventType::Information) throw std::runtime_error("the event log is full");
    test::FakeEventLog::Report(source, type, category, eventId, text);
  }
  bool broken = false;
};

class MetricsWatchTest : public ::testing::Test {
 protected:
  MetricsWatchTest() {
    drives.drives['C'] = {kDriveFixed, 50 * kMiB, 1000 * kMiB, true, nullptr};
    drives.drives['D'] = {kDriveFixed, 900 * kMiB, 1000 * kMiB, true, nullptr};
    dir = (fs::temp_directory_path() / ("qw_metrics_" + std::to_string(getpid()))).string();
    fs::remove_all(dir);
    fs::create_directories(JoinPath(dir, "prom"));
    fs::create_directories(JoinPath(dir, "other"));
    fs::create_directories(JoinPath(dir, "state"));
  }
  ~MetricsWatchTest() override {
    service.reset();
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }
  TDrivewarden& Service() {
    if (!service) {
      WatchOptions options;
      options.sendAlert = [this](const std::string& report) {
        if (mailStep) return mailStep(report);
        TDeliveryResult result;
        result.status = Status::Failure("CONNECT", 0, "no mail step in this test");
        return result;
      };
      service = std::make_unique<TDrivewarden>(ServicePlatform{profiles, drives, system, log}, loop.CreateTimer(),
                                               nullptr, std::move(options));
      service->SetStateFolder(stateFolder);
    }
    return *service;
  }
  std::string Folder(const char* name) { return JoinPath(dir, name); }
  void SetIni(const std::string& text) { profiles.SetFile("Drivewarden.ini", text, ++stamp); }
  void SetIniIn(const std::string& folder, const std::string& more) {
    SetIni("[METRICS]\r\nTEXTFILEDIR=" + folder + "\r\n" + more);
  }
  Parsed Read(const std::string& folder) {
    const Result<std::string> read = ReadWholeFile(JoinPath(folder, kMetricsFileName));
    EXPECT_TRUE(read.Ok()) << folder;
    return Parse(read.value_or(""));
  }
  bool Exists(const std::string& folder) { return fs::exists(JoinPath(folder, kMetricsFileName)); }
  std::vector<std::string> Errors() const {
    std::vector<std::string> errors;
    for (const auto& e : log.entries)
      if (e.type == EventType::Error) errors.push_back(e.text);
    return errors;
  }

  test::FakeProfiles profiles;
  test::FakeDrives drives;
  test::FakeSystemInfo system;
  BreakingEventLog log;
  FakeMessageLoop loop;
  std::function<TDeliveryResult(const std::string& report)> mailStep;  // the alert mail's delivery
  std::unique_ptr<TDrivewarden> service;
  std::string dir;
  std::string stateFolder;
  int32_t stamp = 0x58A00000;
};

// A folder given up (moved or cleared) keeps no file an exporter would go on
// serving; a file that cannot be removed is one error entry.
TEST_F(MetricsWatchTest, AFolderGivenUpLosesItsFile) {
  const std::string first = Folder("first"), second = Folder("second");
  fs::create_directories(first);
  fs::create_directories(second);
  SetIniIn(first, "[DRIVE]\r\nC=60MB\r\n");
  Service().ServiceStart();
  ASSERT_TRUE(Exists(first));
  SetIniIn(second, "[DRIVE]\r\nC=60MB\r\n");
  Service().tmCheckTimer(nullptr);
  EXPECT_FALSE(Exists(first)) << "moved";
  ASSERT_TRUE(Exists(second));
  SetIni("[DRIVE]\r\nC=60MB\r\n");
  Service().tmCheckTimer(nullptr);
  EXPECT_FALSE(Exists(second)) << "cleared";
  EXPECT_TRUE(Errors().empty());

  // A folder in place of the file: it cannot be removed as a file.
  SetIniIn(first, "[DRIVE]\r\nC=60MB\r\n");
  Service().tmCheckTimer(nullptr);
  ASSERT_TRUE(Exists(first));
  fs::remove(JoinPath(first, kMetricsFileName));
  fs::create_directories(JoinPath(JoinPath(first, kMetricsFileName), "sub"));
  SetIni("[DRIVE]\r\nC=60MB\r\n");
  Service().tmCheckTimer(nullptr);
  const auto errors = Errors();
  ASSERT_FALSE(errors.empty());
  EXPECT_EQ(errors.back().rfind(kMetricsNotRemoved, 0), 0u) << errors.back();
}

TEST_F(MetricsWatchTest, ACheckWritesItsDrivesAndAFolderValueMustBeAbsoluteAndPrintable) {
  // Off unless set: no file anywhere.
  SetIni("[DRIVE]\r\nC=60MB\r\n");
  Service().ServiceStart();
  EXPECT_TRUE(Service().MetricsFolder().empty());

  const std::string prom = Folder("prom");
  SetIniIn(prom, "[DRIVE]\r\nC=60MB\r\nD=10%\r\n");
  Service().tmCheckTimer(nullptr);
  EXPECT_EQ(Service().MetricsFolder(), prom);
  Parsed p = Read(prom);
  EXPECT_EQ(p.samples.at("quotawarden_drive_free_bytes{drive=\"C\"}"), std::to_string(50 * kMiB));
  EXPECT_EQ(p.samples.at("quotawarden_drive_threshold_bytes{drive=\"C\"}"), std::to_string(60 * kMiB));
  EXPECT_EQ(p.samples.at("quotawarden_drive_below_threshold{drive=\"C\"}"), "1");
  EXPECT_EQ(p.samples.at("quotawarden_drive_threshold_bytes{drive=\"D\"}"), std::to_string(100 * kMiB));
  EXPECT_EQ(p.samples.at("quotawarden_drive_below_threshold{drive=\"D\"}"), "0");
  EXPECT_EQ(p.samples.at("quotawarden_last_check_success"), "1");
  EXPECT_EQ(p.samples.at("quotawarden_last_check_timestamp_seconds"), "1714946889");
  EXPECT_EQ(p.samples.at("quotawarden_check_interval_seconds"), "86400");
  EXPECT_EQ(p.samples.at("quotawarden_info{version=\"" + std::string(kProductVersion) + "\",host=\"WATCHED-PC\"}"), "1");
  EXPECT_TRUE(Errors().empty());

  // A relative folder or one with a control character fails the whole load,
  // naming the key: a fresh start does not start.
  for (const std::string& bad : {std::string("prom"), prom + "\ta", prom + "\x7F", std::string("\x1B") + prom}) {
    service.reset();
    SetIniIn(bad, "[DRIVE]\r\nC=1MB\r\n");
    try {
      Service().ServiceStart();
      ADD_FAILURE() << "started with " << bad;
    } catch (const ESettingsError& e) {
      EXPECT_NE(std::string(e.what()).find("[METRICS] TEXTFILEDIR="), std::string::npos) << e.what();
    }
  }
}

TEST_F(MetricsWatchTest, BrokenSettingsAndAFailedCheckSayZeroInTheLastGoodFolderWithTheDrivesKept) {
  const std::string prom = Folder("prom");
  SetIniIn(prom, "[DRIVE]\r\nC=60MB\r\n");
  Service().ServiceStart();
  system.now.hour = 8;

  // The settings break, naming another folder: the check measures with the
  // last good settings and writes where they said.
  drives.drives['C'].freeBytes = 70 * kMiB;
  SetIniIn(Folder("other"), "[DRIVE]\r\nC=1 MB\r\n");
  Service().tmCheckTimer(nullptr);
  Parsed p = Read(prom);
  EXPECT_FALSE(Exists(Folder("other")));
  EXPECT_EQ(p.samples.at("quotawarden_last_check_success"), "0");
  EXPECT_EQ(p.samples.at("quotawarden_last_check_timestamp_seconds"), "1714950489");
  EXPECT_EQ(p.samples.at("quotawarden_drive_free_bytes{drive=\"C\"}"), std::to_string(70 * kMiB));
  EXPECT_EQ(p.samples.at("quotawarden_drive_below_threshold{drive=\"C\"}"), "0");

  // Mended: 1 again, in the new folder.
  SetIniIn(Folder("other"), "[DRIVE]\r\nC=60MB\r\n");
  Service().tmCheckTimer(nullptr);
  EXPECT_EQ(Read(Folder("other")).samples.at("quotawarden_last_check_success"), "1");

  // A check that ends with an error after measuring: 0, the drive series
  // of that measurement kept (a below-threshold alert does not end because
  // the watch failed).
  drives.drives['C'].freeBytes = 5 * kMiB;
  SetIniIn(Folder("other"), "[DRIVE]\r\nC=1MB\r\n");
  log.broken = true;
  EXPECT_THROW(Service().tmCheckTimer(nullptr), std::runtime_error);
  p = Read(Folder("other"));
  EXPECT_EQ(p.samples.at("quotawarden_last_check_success"), "0");
  EXPECT_EQ(p.samples.at("quotawarden_drive_free_bytes{drive=\"C\"}"), std::to_string(5 * kMiB));
  EXPECT_EQ(p.samples.at("quotawarden_drive_threshold_bytes{drive=\"C\"}"), std::to_string(1 * kMiB));
}

TEST_F(MetricsWatchTest, AFolderThatRefusesTheFileIsOneErrorPerStartAndTheCheckGoesOn) {
  const std::string missing = JoinPath(Folder("prom"), "absent");
  SetIniIn(missing, "[DRIVE]\r\nC=60MB\r\n[WARNING]\r\nISMAILSEND=1\r\n[MAIL]\r\nSMTP=mx\r\nMAILTO=a@b.jp\r\n");
  int mails = 0;
  mailStep = [&mails](const std::string&) {
    ++mails;
    return TDeliveryResult{};
  };
  Service().ServiceStart();
  Service().tmCheckTimer(nullptr);
  Service().tmCheckTimer(nullptr);
  EXPECT_EQ(mails, 3) << "every check still mailed its warning";
  size_t warnings = 0;
  for (const auto& e : log.entries) warnings += e.type == EventType::Warning;
  EXPECT_EQ(warnings, 3u);
  ASSERT_EQ(Errors().size(), 1u);
  const std::string error = Errors()[0];
  EXPECT_EQ(error.rfind(kMetricsNotWritten, 0), 0u) << error;
  EXPECT_NE(error.find(JoinPath(missing, kMetricsFileName)), std::string::npos) << error;
  EXPECT_GT(error.size(), std::string(kMetricsNotWritten).size() + JoinPath(missing, kMetricsFileName).size() + 4)
      << "the reason follows the path";
  for (const auto& e : log.entries) EXPECT_EQ(e.eventId, kCheckEventId);

  Service().ServiceStop();
  Service().ServiceStart();
  EXPECT_EQ(Errors().size(), 2u) << "a new start reports it again";
}

TEST_F(MetricsWatchTest, MailFailuresCountEveryIncompleteAttemptAndOutliveTheRunWithAState) {
  const char kMail[] = "[DRIVE]\r\nC=60MB\r\n[WARNING]\r\nISMAILSEND=1\r\n[MAIL]\r\nSMTP=mx\r\nMAILTO=a@b.jp,c@d.jp\r\n";
  const std::string prom = Folder("prom");
  stateFolder = Folder("state");
  SetIniIn(prom, kMail);
  TDeliveryResult next;
  mailStep = [&next](const std::string&) { return next; };

  next.status = Status::Failure("connect", 111, "refused");
  Service().ServiceStart();
  EXPECT_EQ(Read(prom).samples.at("quotawarden_alert_mail_failures_total"), "1");
  EXPECT_EQ(Read(prom).samples.at("quotawarden_alert_mail_last_success_timestamp_seconds"), "0");
  // Delivered to one of two: an incomplete attempt, and a delivery.
  next = TDeliveryResult{};
  next.refused.push_back({"c@d.jp", "550 no such user"});
  Service().tmCheckTimer(nullptr);
  Parsed p = Read(prom);
  EXPECT_EQ(p.samples.at("quotawarden_alert_mail_failures_total"), "2");
  EXPECT_EQ(p.samples.at("quotawarden_alert_mail_last_success_timestamp_seconds"), "1714946889");
  next = TDeliveryResult{};
  Service().tmCheckTimer(nullptr);
  EXPECT_EQ(Read(prom).samples.at("quotawarden_alert_mail_failures_total"), "2");

  // A new run (another process) goes on from the state file's count.
  service.reset();
  next.status = Status::Failure("connect", 111, "refused");
  mailStep = [&next](const std::string&) { return next; };
  Service().ServiceStart();
  p = Read(prom);
  EXPECT_EQ(p.samples.at("quotawarden_alert_mail_failures_total"), "3");
  EXPECT_EQ(p.samples.at("quotawarden_alert_mail_last_success_timestamp_seconds"), "1714946889");

  // Without a state file the count starts at zero.
  service.reset();
  stateFolder.clear();
  mailStep = [&next](const std::string&) { return next; };
  Service().ServiceStart();
  EXPECT_EQ(Read(prom).samples.at("quotawarden_alert_mail_failures_total"), "1");
}

}  // namespace
}  // namespace qw
