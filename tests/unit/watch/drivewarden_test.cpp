// The drive watch against the in-memory platform: settings load, thresholds,
// the check's report and its event log entries.
#include "service/drivewarden.h"

#include <gtest/gtest.h>

#include "common/errors.h"
#include "tests/fakes/fake_message_loop.h"
#include "tests/fakes/fake_platform.h"

namespace qw {
namespace {

using test::FakeDrives;
using test::FakeEventLog;
using test::FakeProfiles;
using test::FakeSystemInfo;

constexpr int64_t kMiB = 1024 * 1024;

class WatchTest : public ::testing::Test {
 protected:
  WatchTest() {
    drives.drives['C'] = {kDriveFixed, 50 * kMiB, 1000 * kMiB, true, nullptr};
    drives.drives['D'] = {kDriveFixed, 900 * kMiB, 1000 * kMiB, true, nullptr};
    drives.drives['E'] = {kDriveCdrom, 0, 0, true, nullptr};
    drives.drives['Z'] = {kDriveRemote, 0, 0, true, nullptr};
  }

  TDrivewarden& Service() {
    if (!service) {
      WatchOptions options;
      options.sendAlert = [this](const std::string& report) { return mailStep(report); };
      options.onSmtpServer = [this](const std::string& host, int port) {
        if (onSmtpServer) onSmtpServer(host, port);
      };
      service = std::make_unique<TDrivewarden>(ServicePlatform{profiles, drives, system, log},
                                               loop.CreateTimer(), nullptr, std::move(options));
    }
    return *service;
  }

  void SetIni(const std::string& text) { profiles.SetFile("Drivewarden.ini", text, ++stamp); }

  // The first load lists the fixed drives, as the start handler's does.
  void Start() { Service().LoadSettings(); }

  const A_Drive& Drive(size_t i) { return *Service().DriveList()->at(i); }

  FakeProfiles profiles;
  FakeDrives drives;
  FakeSystemInfo system;
  FakeEventLog log;
  FakeMessageLoop loop;
  // The alert mail's delivery and the server of each load, as the tests set them.
  std::function<TDeliveryResult(const std::string&)> mailStep = [](const std::string&) {
    TDeliveryResult result;
    result.status = Status::Failure("CONNECT", 0, "no mail step in this test");
    return result;
  };
  std::function<void(const std::string&, int)> onSmtpServer;
  std::unique_ptr<TDrivewarden> service;
  int32_t stamp = 0x58A00000;
};

TEST_F(WatchTest, FixedDrivesAreListedInLetterOrder) {
  drives.drives['A'] = {kDriveFixed, 1, 1, true, nullptr};
  EXPECT_EQ(FixedDriveLetters(drives), "ACD");
}

TEST_F(WatchTest, MissingFileGivesDefaults) {
  Start();
  EXPECT_EQ(Service().IniFileBytes(), "");
  EXPECT_EQ(Service().Interval(), 24);
  EXPECT_EQ(Service().tmCheck().Interval(), 24 * 3600000LL);
  EXPECT_FALSE(Service().IsMailSend());
  EXPECT_EQ(Service().MailFrom(), kDefaultMailFrom);
  ASSERT_EQ(Service().DriveList()->size(), 2u);
  EXPECT_EQ(Drive(0).LimitText, "0");
  EXPECT_EQ(Drive(0).LimitBytes, 0);
  EXPECT_EQ(Drive(1).Letter, 'D');
  EXPECT_EQ(Drive(1).Capacity, 1000 * kMiB);
}

TEST_F(WatchTest, ThresholdTexts) {
  drives.drives['F'] = {kDriveFixed, 1, 1'000'000'001, true, nullptr};
  drives.drives['G'] = {kDriveFixed, 1, 1001, true, nullptr};
  drives.drives['H'] = {kDriveFixed, 1, 1000, true, nullptr};
  drives.drives['I'] = {kDriveFixed, 1, 1000, false, nullptr};
  SetIni("[DRIVE]\r\nC=500MB\r\nD=\r\nF=10%\r\nG=50%\r\nH=12.5%\r\nI=10%\r\n");
  Start();
  ASSERT_EQ(Service().DriveList()->size(), 6u);
  EXPECT_EQ(Drive(0).LimitBytes, 524'288'000);
  EXPECT_EQ(Drive(1).LimitBytes, 0) << "an empty value (the applet writes it) is no threshold";
  EXPECT_EQ(Drive(2).LimitBytes, 100'000'000) << "100,000,000.1 rounds down";
  EXPECT_EQ(Drive(3).LimitBytes, 500) << "500.5: a tie goes to the even neighbour";
  EXPECT_EQ(Drive(4).LimitBytes, 125);
  EXPECT_EQ(Drive(5).Capacity, -1);
  EXPECT_EQ(Drive(5).LimitBytes, 0);
}

TEST_F(WatchTest, DecimalSeparatorOfTheSystem) {
  system.decimalSeparator = ",";
  SetIni("[DRIVE]\r\nC=12,5%\r\n");
  Start();
  EXPECT_EQ(Drive(0).LimitBytes, 125 * kMiB);
}

TEST_F(WatchTest, HugeMegabytesConvertUpToTheLastThatFits) {
  SetIni("[DRIVE]\r\nC=8796093022207MB\r\n");
  Start();
  EXPECT_EQ(Drive(0).LimitBytes, 8796093022207LL * kMiB);
  SetIni("[DRIVE]\r\nC=8796093022208MB\r\n");
  try {
    Service().LoadSettings();
    FAIL() << "overflow accepted";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(),
                 "設定ファイル Drivewarden.ini の [DRIVE] C=8796093022208MB: '8796093022208' は整数ではありません");
  }
  EXPECT_EQ(Drive(0).LimitBytes, 8796093022207LL * kMiB) << "the failed load changed nothing";
}

TEST_F(WatchTest, IntervalSetsTheTimerPeriodIn64Bits) {
  SetIni("[WARNING]\r\nINTERVAL=1\r\n");
  Start();
  EXPECT_EQ(Service().tmCheck().Interval(), 3'600'000);
  SetIni("[WARNING]\r\nINTERVAL=5000\r\n");
  Service().LoadSettings();
  EXPECT_EQ(Service().tmCheck().Interval(), 5000LL * 3'600'000);
}

// "Changed" is the file's content: a second save within the same second
// (the same time stamp) is read, the same bytes are not parsed again.
TEST_F(WatchTest, ReloadOnlyWhenTheContentChanges) {
  SetIni("[DRIVE]\r\nC=1MB\r\n");
  Start();
  ASSERT_EQ(Service().DriveList()->size(), 2u);
  EXPECT_EQ(Service().IniFileBytes(), "[DRIVE]\r\nC=1MB\r\n");
  // Rewritten within the same two-second slot: read again, and the table
  // is rebuilt instead of added to.
  profiles.SetFile("Drivewarden.ini", "[DRIVE]\r\nC=9MB\r\n", stamp);
  Service().LoadSettings();
  EXPECT_EQ(Drive(0).LimitBytes, 9 * kMiB);
  EXPECT_EQ(Service().DriveList()->size(), 2u);
  // The same bytes: the file is read, nothing is parsed or measured again.
  int measured = drives.measureCount;
  const int snapshots = profiles.snapshotCount;
  Service().LoadSettings();
  EXPECT_EQ(profiles.snapshotCount, snapshots + 1);
  EXPECT_EQ(drives.measureCount, measured);
  EXPECT_EQ(Drive(0).LimitBytes, 9 * kMiB);
  // A vanished file reads as defaults once, then not again until it returns.
  profiles.RemoveFile("Drivewarden.ini");
  Service().LoadSettings();
  EXPECT_EQ(Drive(0).LimitBytes, 0);
  measured = drives.measureCount;
  Service().LoadSettings();
  EXPECT_EQ(drives.measureCount, measured);
  profiles.SetFile("Drivewarden.ini", "[DRIVE]\r\nC=9MB\r\n");
  Service().LoadSettings();
  EXPECT_EQ(Drive(0).LimitBytes, 9 * kMiB);
}

TEST_F(WatchTest, MailRule) {
  SetIni("[WARNING]\r\nISMAILSEND= 1 \r\n[MAIL]\r\nSMTP=mx\r\nPORT=0x19\r\nMAILTO=a@b.jp\r\n");
  std::string host;
  int port = 0;
  onSmtpServer = [&](const std::string& h, int p) { host = h, port = p; };
  Start();
  EXPECT_TRUE(Service().IsMailSend());
  EXPECT_EQ(host, "mx");
  EXPECT_EQ(port, 25);
  EXPECT_EQ(Service().MailFrom(), kDefaultMailFrom);

  SetIni("[WARNING]\r\nISMAILSEND=0\r\n[MAIL]\r\nMAILFROM=\r\n");
  Service().LoadSettings();
  EXPECT_EQ(Service().MailFrom(), "") << "the default applies to a missing key only";

  SetIni("[WARNING]\r\nISMAILSEND=1\r\n[MAIL]\r\nSMTP=mx2\r\nPORT=2525\r\n");
  Service().LoadSettings();
  EXPECT_FALSE(Service().IsMailSend()) << "no To list";
  EXPECT_EQ(host, "mx") << "the client keeps its server";

  SetIni("[WARNING]\r\nISMAILSEND=1\r\n[MAIL]\r\nPORT=2525\r\nMAILTO=a@b.jp\r\n");
  Service().LoadSettings();
  EXPECT_FALSE(Service().IsMailSend()) << "no server";

  for (const char* off : {"true", "yes", "2", "0"}) {
    SetIni(std::string("[WARNING]\r\nISMAILSEND=") + off + "\r\n[MAIL]\r\nSMTP=mx\r\nMAILTO=a@b.jp\r\n");
    Service().LoadSettings();
    EXPECT_FALSE(Service().IsMailSend()) << off;
  }
  EXPECT_TRUE(log.entries.empty()) << "good mail keys are not reported";
}

TEST_F(WatchTest, FormatBytes) {
  EXPECT_EQ(ReportBytes(1234567, system.ThousandSeparator()), "1,234,567 バイト");
  EXPECT_EQ(ReportBytes(-1, system.ThousandSeparator()), "-1 バイト");
  EXPECT_EQ(ReportBytes(0, system.ThousandSeparator()), "0 バイト");
  EXPECT_EQ(ReportBytes(999, system.ThousandSeparator()), "999 バイト");
  EXPECT_EQ(ReportBytes(-1000, system.ThousandSeparator()), "-1,000 バイト");
  EXPECT_EQ(ReportBytes(INT64_MIN, system.ThousandSeparator()), "-9,223,372,036,854,775,808 バイト");
  system.thousandSeparator = ".";
  EXPECT_EQ(ReportBytes(1000000, system.ThousandSeparator()), "1.000.000 バイト");
}

TEST_F(WatchTest, InformationEntryHoldsOnlyTheDriveLines) {
  SetIni("[DRIVE]\r\nC=1MB\r\n");
  Service().ServiceStart();
  ASSERT_EQ(log.entries.size(), 1u);
  const auto& e = log.entries[0];
  EXPECT_EQ(e.source, "Drivewarden");
  EXPECT_EQ(e.type, EventType::Information);
  EXPECT_EQ(e.category, 0);
  EXPECT_EQ(e.eventId, 5610u);
  EXPECT_EQ(e.text,
            "・ C ドライブの空き領域: 52,428,800 バイト\r\n"
            "・ D ドライブの空き領域: 943,718,400 バイト\r\n");
  EXPECT_TRUE(Service().tmCheck().Enabled()) << "the check arms the timer at its end";
}

// A check that cannot warn says why in its entry, one line for each reason.
TEST_F(WatchTest, ACheckThatCannotWarnSaysWhy) {
  const std::string driveLines =
      "・ C ドライブの空き領域: 52,428,800 バイト\r\n"
      "・ D ドライブの空き領域: 943,718,400 バイト\r\n";
  struct Case {
    const char* ini;  // nullptr: no file
    std::string text;
  };
  const Case cases[] = {
      {nullptr, driveLines + "しきい値が設定されたドライブはありません。\r\n"},
      {"", driveLines + "しきい値が設定されたドライブはありません。\r\n"},
      {"[DRIVE]\r\nC=0\r\nD=0MB\r\nE=0%\r\n",
       driveLines + "しきい値が設定されたドライブはありません。\r\n"},
      {"[DRIVE]\r\nX=5MB\r\nE=10%\r\nY=0\r\n",
       driveLines + "しきい値が設定されたドライブはありません。\r\n"
                    "設定ファイルのドライブ E: はこのコンピューターの固定ドライブにありません。\r\n"
                    "設定ファイルのドライブ X: はこのコンピューターの固定ドライブにありません。\r\n"},
      {"[DRIVE]\r\nC=1MB\r\nQ=1MB\r\n",
       driveLines + "設定ファイルのドライブ Q: はこのコンピューターの固定ドライブにありません。\r\n"},
      {"[DRIVE]\r\nC=1MB\r\n", driveLines},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ini ? c.ini : "(no file)");
    if (c.ini)
      SetIni(c.ini);
    else
      profiles.RemoveFile("Drivewarden.ini");
    log.entries.clear();
    Service().ServiceStart();
    ASSERT_EQ(log.entries.size(), 1u);
    EXPECT_EQ(log.entries[0].type, EventType::Information);
    EXPECT_EQ(log.entries[0].text, c.text);
    Service().ServiceStop();
  }

  drives.drives.clear();
  log.entries.clear();
  Service().ServiceStart();
  ASSERT_EQ(log.entries.size(), 1u);
  EXPECT_EQ(log.entries[0].type, EventType::Information);
  EXPECT_EQ(log.entries[0].text, "このコンピューターには固定ドライブがありません。\r\n");
}

TEST_F(WatchTest, AnAbsentLetterIsNamedInTheWarningReportToo) {
  drives.drives['C'].freeBytes = 0;
  SetIni("[DRIVE]\r\nC=1MB\r\nQ=1MB\r\n");
  Service().ServiceStart();
  ASSERT_EQ(log.entries.size(), 1u);
  EXPECT_EQ(log.entries[0].type, EventType::Warning);
  EXPECT_NE(log.entries[0].text.find(
                "・ D ドライブの空き領域: 943,718,400 バイト\r\n"
                "設定ファイルのドライブ Q: はこのコンピューターの固定ドライブにありません。\r\n"
                "このうち"),
            std::string::npos)
      << log.entries[0].text;
}

TEST_F(WatchTest, ARestartInTheSameProcessRebuildsTheTable) {
  SetIni("[DRIVE]\r\nC=1MB\r\n");
  Service().ServiceStart();
  Service().ServiceStop();
  drives.drives['F'] = {kDriveFixed, 1, 1000, true, nullptr};
  Service().ServiceStart();
  ASSERT_EQ(Service().DriveList()->size(), 3u) << "same file version, new drive list";
  EXPECT_EQ(Drive(0).LimitBytes, kMiB);
  EXPECT_EQ(Drive(2).Letter, 'F');
}

TEST_F(WatchTest, WarningReportLayout) {
  drives.drives['D'].freeBytes = 0;
  drives.drives['F'] = {kDriveFixed, 5, 1000, false, nullptr};
  drives.drives['G'] = {kDriveFixed, 100 * kMiB, 1000 * kMiB, true, nullptr};
  SetIni("[DRIVE]\r\nC=10%\r\nD=1MB\r\nG=100MB\r\n[WARNING]\r\nISMAILSEND=1\r\n"
         "[MAIL]\r\nSMTP=mx\r\nMAILTO=a@b.jp\r\n");
  std::vector<std::string> mails;
  mailStep = [&](const std::string& report) {
    mails.push_back(report);
    return TDeliveryResult{};
  };
  system.now = {2024, 5, 6, 1, 7, 8, 9, 0};
  Service().ServiceStart();

  const std::string report =
      "WATCHED-PC のローカルドライブの空き領域は以下のとおりです。\r\n"
      "\r\n"
      "・ C ドライブの空き領域: 52,428,800 バイト\r\n"
      "・ D ドライブの空き領域: 0 バイト\r\n"
      "・ F ドライブの空き領域: -1 バイト\r\n"
      "・ G ドライブの空き領域: 104,857,600 バイト\r\n"
      "\r\n"
      "このうち、空き領域が指定されたしきい値以下のドライブは\r\n"
      "\r\n"
      "C ドライブ : しきい値 10% ( 全容量 1,048,576,000 バイト )\r\n"
      "D ドライブ : しきい値 1MB ( = 1,048,576 バイト )\r\n"
      "F ドライブ : しきい値 0 ( = 0 バイト )\r\n"
      "\r\n"
      "です。\r\n"
      "\r\n"
      "2024/05/06 7:08:09";
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_EQ(mails[0], report) << "the mail body keeps the blank lines";
  ASSERT_EQ(log.entries.size(), 1u);
  EXPECT_EQ(log.entries[0].type, EventType::Warning);
  EXPECT_EQ(log.entries[0].text,
            "WATCHED-PC のローカルドライブの空き領域は以下のとおりです。\r\n"
            "・ C ドライブの空き領域: 52,428,800 バイト\r\n"
            "・ D ドライブの空き領域: 0 バイト\r\n"
            "・ F ドライブの空き領域: -1 バイト\r\n"
            "・ G ドライブの空き領域: 104,857,600 バイト\r\n"
            "このうち、空き領域が指定されたしきい値以下のドライブは\r\n"
            "C ドライブ : しきい値 10% ( 全容量 1,048,576,000 バイト )\r\n"
            "D ドライブ : しきい値 1MB ( = 1,048,576 バイト )\r\n"
            "F ドライブ : しきい値 0 ( = 0 バイト )\r\n"
            "です。\r\n"
            "2024/05/06 7:08:09");
}

TEST_F(WatchTest, MidnightShowsTheDateAlone) {
  drives.drives['C'].measurable = false;
  system.now = {2024, 5, 6, 1, 0, 0, 0, 999};
  Service().ServiceStart();
  ASSERT_EQ(log.entries.size(), 1u);
  const std::string& text = log.entries[0].text;
  EXPECT_EQ(text.substr(text.size() - 12), "\r\n2024/05/06");
}

TEST_F(WatchTest, MailOffOrNoThresholdLineSendsNothing) {
  drives.drives['C'].freeBytes = kMiB;
  SetIni("[DRIVE]\r\nC=1MB\r\n[WARNING]\r\nISMAILSEND=1\r\n[MAIL]\r\nSMTP=mx\r\nMAILTO=a@b.jp\r\n");
  int mails = 0;
  mailStep = [&](const std::string&) {
    ++mails;
    return TDeliveryResult{};
  };
  Service().ServiceStart();
  EXPECT_EQ(mails, 0) << "free space equal to the threshold is not short";
  EXPECT_EQ(log.entries.back().type, EventType::Information);

  drives.drives['C'].freeBytes = kMiB - 1;
  SetIni("[DRIVE]\r\nC=1MB\r\n[WARNING]\r\nISMAILSEND=0\r\n[MAIL]\r\nSMTP=mx\r\nMAILTO=a@b.jp\r\n");
  Service().tmCheckTimer(nullptr);
  EXPECT_EQ(log.entries.back().type, EventType::Warning);
  EXPECT_EQ(mails, 0);
}

TEST_F(WatchTest, AnErrorOfTheMailStepIsAFailedAlertAfterTheEntry) {
  drives.drives['C'].freeBytes = 0;
  SetIni("[DRIVE]\r\nC=1MB\r\n[WARNING]\r\nISMAILSEND=1\r\n[MAIL]\r\nSMTP=mx\r\nMAILTO=a@b.jp\r\n");
  mailStep = [](const std::string&) -> TDeliveryResult { throw std::runtime_error("mail failed"); };
  EXPECT_NO_THROW(Service().ServiceStart());
  ASSERT_EQ(log.entries.size(), 2u);
  EXPECT_EQ(log.entries[0].type, EventType::Warning);
  EXPECT_EQ(log.entries[1].type, EventType::Error);
  // A one-shot run (no retry timer) leaves the alert to the next run.
  EXPECT_EQ(log.entries[1].text, std::string(kAlertNotSent) + "mail failed\r\n次の実行で再送します。");
  EXPECT_FALSE(Service().LastAlert().result.Delivered());
  EXPECT_TRUE(Service().tmCheck().Enabled());

  // A refusal of some recipients is named; a complete delivery writes nothing more.
  mailStep = [](const std::string&) {
    TDeliveryResult result;
    result.refused = {{"x@example.jp", "550 no such user"}, {"y@example.jp", "551 moved"}};
    return result;
  };
  SetIni("[DRIVE]\r\nC=2MB\r\n[WARNING]\r\nISMAILSEND=1\r\n[MAIL]\r\nSMTP=mx\r\nMAILTO=a@b.jp\r\n");
  Service().tmCheckTimer(nullptr);
  ASSERT_EQ(log.entries.size(), 4u);
  EXPECT_EQ(log.entries[3].text, std::string(kAlertPartlySent) +
                                     "RCPT <x@example.jp>: 550 no such user\r\nRCPT <y@example.jp>: 551 moved");
  mailStep = [](const std::string&) { return TDeliveryResult{}; };
  Service().tmCheckTimer(nullptr);
  EXPECT_EQ(log.entries.size(), 5u);
  EXPECT_TRUE(Service().LastAlert().result.Complete());
}

TEST_F(WatchTest, WriteEventLogCollapsesBlankLinesInOnePass) {
  Service().Entries().Warning("a\r\n\r\nb\r\n\r\n\r\nc\r\n\r\n\r\n\r\nd");
  ASSERT_EQ(log.entries.size(), 1u);
  EXPECT_EQ(log.entries[0].text, "a\r\nb\r\n\r\nc\r\n\r\nd");
}

TEST_F(WatchTest, StopFreesTheTable) {
  Service().ServiceStart();
  Service().ServiceStop();
  EXPECT_EQ(Service().DriveList(), nullptr);
  Service().ServiceStop();  // twice is harmless
}

}  // namespace
}  // namespace qw
