// The settings load of the watch against broken and hostile settings files:
// every value that does not convert fails the whole load with a message that
// names its key and value, a failed load changes nothing, and a periodic
// check reports it and goes on with the last good settings.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "common/errors.h"
#include "service/drivewarden.h"
#include "tests/fakes/fake_message_loop.h"
#include "tests/fakes/fake_platform.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace qw {
namespace {

using test::FakeDrives;
using test::FakeEventLog;
using test::FakeProfiles;
using test::FakeSystemInfo;

constexpr int64_t kMiB = 1024 * 1024;
// A file with mail on and `lines` in its [MAIL] section; a MAILTO among them
// comes first and is the one read.
std::string MailOn(const std::string& lines) {
  return "[WARNING]\r\nISMAILSEND=1\r\n[MAIL]\r\nSMTP=mx.example.jp\r\n" + lines +
         "MAILTO=ops@example.jp\r\n";
}
const char kPrefix[] = "設定ファイル Drivewarden.ini の ";

class SettingsLoadTest : public ::testing::Test {
 protected:
  SettingsLoadTest() {
    drives.drives['C'] = {kDriveFixed, 3 * kMiB, 1000 * kMiB, true, nullptr};
    drives.drives['D'] = {kDriveFixed, 900 * kMiB, 1000 * kMiB, true, nullptr};
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

  // The message of the start's failure; empty when the start worked.
  std::string StartError() {
    try {
      Service().ServiceStart();
    } catch (const ESettingsError& e) {
      return e.what();
    }
    return "";
  }

  size_t Count(EventType type) const {
    size_t n = 0;
    for (const auto& e : log.entries) n += e.type == type;
    return n;
  }

  FakeProfiles profiles;
  FakeDrives drives;
  FakeSystemInfo system;
  FakeEventLog log;
  FakeMessageLoop loop;
  // The alert mail's delivery (recorded, delivered unless a test says
  // otherwise) and the server of each load.
  std::function<TDeliveryResult(const std::string&)> mailStep = [this](const std::string& report) {
    mails.push_back(report);
    return TDeliveryResult{};
  };
  std::function<void(const std::string&, int)> onSmtpServer;
  std::unique_ptr<TDrivewarden> service;
  std::vector<std::string> mails;
  int32_t stamp = 0x58A00000;
};

// Every bad value fails the start with the key, the value as written and the
// reason; the exact texts are what an operator greps the event log for.
TEST_F(SettingsLoadTest, EveryBadValueFailsTheLoadNamingItsKeyAndValue) {
  const std::string longAddress = std::string(242, 'a') + "@example.jp";  // 253 bytes
  struct Case {
    std::string ini;
    std::string message;  // after "設定ファイル Drivewarden.ini の "
  };
  const std::vector<Case> cases = {
      {"[DRIVE]\r\nC=1 MB\r\n", "[DRIVE] C=1 MB: '1 ' は整数ではありません"},
      {"[DRIVE]\r\nC=-5%\r\n", "[DRIVE] C=-5%: '-5' は 0 以上の数ではありません"},
      {"[DRIVE]\r\nC=-5MB\r\n", "[DRIVE] C=-5MB: '-5' は 0 以上の数ではありません"},
      {"[DRIVE]\r\nC=abc\r\n", "[DRIVE] C=abc: 'abc' は MB または % のしきい値ではありません"},
      {"[DRIVE]\r\nD=500mb\r\n", "[DRIVE] D=500mb: '500mb' は MB または % のしきい値ではありません"},
      {"[DRIVE]\r\nC=500\r\n", "[DRIVE] C=500: '500' は MB または % のしきい値ではありません"},
      {"[DRIVE]\r\nC=10%%\r\n", "[DRIVE] C=10%%: '10%' は浮動小数点数ではありません"},
      {"[DRIVE]\r\nC=1.2.3%\r\n", "[DRIVE] C=1.2.3%: '1.2.3' は浮動小数点数ではありません"},
      {"[DRIVE]\r\nC=MB\r\n", "[DRIVE] C=MB: '' は整数ではありません"},
      {"[DRIVE]\r\nC=1e400%\r\n", "[DRIVE] C=1e400%: '1e400' は浮動小数点数ではありません"},
      {"[DRIVE]\r\nC=99999999999999999999MB\r\n",
       "[DRIVE] C=99999999999999999999MB: '99999999999999999999' は整数ではありません"},
      {"[WARNING]\r\nINTERVAL=0\r\n", "[WARNING] INTERVAL=0: '0' は 1 以上の整数ではありません"},
      {"[WARNING]\r\nINTERVAL=-1\r\n", "[WARNING] INTERVAL=-1: '-1' は 1 以上の整数ではありません"},
      {"[WARNING]\r\nINTERVAL=abc\r\n", "[WARNING] INTERVAL=abc: 'abc' は整数ではありません"},
      {"[WARNING]\r\nINTERVAL=99999999999\r\n",
       "[WARNING] INTERVAL=99999999999: '99999999999' は整数ではありません"},
      {"[WARNING]\r\nINTERVAL=\r\n", "[WARNING] INTERVAL=: '' は整数ではありません"},
      {MailOn("PORT=0\r\n"), "[MAIL] PORT=0: '0' は 1 ～ 65535 のポート番号ではありません"},
      {MailOn("PORT=-1\r\n"), "[MAIL] PORT=-1: '-1' は 1 ～ 65535 のポート番号ではありません"},
      {MailOn("PORT=65536\r\n"),
       "[MAIL] PORT=65536: '65536' は 1 ～ 65535 のポート番号ではありません"},
      {MailOn("PORT=0x10019\r\n"),
       "[MAIL] PORT=0x10019: '0x10019' は 1 ～ 65535 のポート番号ではありません"},
      {MailOn("PORT=abc\r\n"), "[MAIL] PORT=abc: 'abc' は整数ではありません"},
      {MailOn("PORT=25abc\r\n"), "[MAIL] PORT=25abc: '25abc' は整数ではありません"},
      {MailOn("MAILTO=<<ops@example.jp>>\r\n"),
       "[MAIL] MAILTO=<<ops@example.jp>>: '<<ops@example.jp>>' はメールアドレスではありません"
       " (「名前 <アドレス>」の形式は使えません。アドレスだけを書いてください)"},
      {MailOn("MAILTO=Ops Team <ops@example.jp>\r\n"),
       "[MAIL] MAILTO=Ops Team <ops@example.jp>: 'Ops' はメールアドレスではありません"
       " (「名前 <アドレス>」の形式は使えません。アドレスだけを書いてください)"},
      {MailOn("MAILTO=ok@example.jp,\"Ops Team <ops@example.jp>\"\r\n"),
       "[MAIL] MAILTO=ok@example.jp,\"Ops Team <ops@example.jp>\": 'Ops Team <ops@example.jp>' "
       "はメールアドレスではありません (「名前 <アドレス>」の形式は使えません。アドレスだけを書いてください)"},
      {MailOn("MAILTO=ok@example.jp,\"<ops@example.jp\rRCPT TO:<x@example.jp>>\"\r\n"),
       "[MAIL] MAILTO=ok@example.jp,\"<ops@example.jp\\x0DRCPT TO:<x@example.jp>>\": "
       "'<ops@example.jp\\x0DRCPT TO:<x@example.jp>>' に改行文字または NUL 文字が含まれています"},
      {MailOn("MAILTO=,,,\r\n"), "[MAIL] MAILTO=,,,: メールアドレスがありません"},
      {MailOn("MAILTO=a" + longAddress + "x\r\n"),
       "[MAIL] MAILTO=a" + longAddress.substr(0, 199) + "...: 'a" + longAddress.substr(0, 199) +
           "...' は 254 バイトを超えています"},
      {MailOn("MAILTO=ops@example\r\n"),
       "[MAIL] MAILTO=ops@example: 'ops@example' はメールアドレスではありません"},
      {MailOn("MAILCC=ops@example.jp;boss@example.jp\r\n"),
       "[MAIL] MAILCC=ops@example.jp;boss@example.jp: 'ops@example.jp;boss@example.jp' "
       "はメールアドレスではありません"},
      {MailOn("MAILFROM=\r\n"), "[MAIL] MAILFROM=: '' はメールアドレスではありません"},
      {MailOn("MAILFROM=Warden <w@example.jp>\r\n"),
       "[MAIL] MAILFROM=Warden <w@example.jp>: 'Warden <w@example.jp>' はメールアドレスではありません"
       " (「名前 <アドレス>」の形式は使えません。アドレスだけを書いてください)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ini);
    SetIni(c.ini);
    EXPECT_EQ(StartError(), kPrefix + c.message);
    EXPECT_TRUE(log.entries.empty()) << "a failed start writes no check entry";
  }
}

TEST_F(SettingsLoadTest, GoodValuesAreKeptBare) {
  const std::string longAddress = std::string(242, 'a') + "@example.jp";
  ASSERT_EQ(longAddress.size(), 253u);
  SetIni(MailOn("MAILTO=<ops@example.jp>, a" + longAddress +
                ",,\"<boss@example.jp>\"\r\nMAILCC=<cc@example.jp>\r\nMAILFROM=<w@example.jp>\r\n"
                "PORT=0x24B\r\n") +
         "[DRIVE]\r\nC=2MB\r\nD=-0%\r\n");
  int port = 0;
  onSmtpServer = [&](const std::string&, int p) { port = p; };
  ASSERT_EQ(StartError(), "");
  EXPECT_TRUE(Service().IsMailSend());
  EXPECT_EQ(Service().MailTo(), "ops@example.jp,a" + longAddress + ",boss@example.jp")
      << "254 bytes pass, brackets go, empty items are passed over";
  EXPECT_EQ(Service().MailCc(), "cc@example.jp");
  EXPECT_EQ(Service().MailFrom(), "w@example.jp");
  EXPECT_EQ(port, 587);
  for (const char* text : {"1", "65535", " 25 ", ""}) {
    SetIni(MailOn(std::string("PORT=") + text + "\r\n"));
    ASSERT_NO_THROW(Service().LoadSettings()) << text;
  }
  EXPECT_EQ(Service().SmtpPort(), 25) << "an empty PORT is the default port";
}

// With mail off, a stale mail key does not stop the watch: the load works,
// one warning entry per file version names the key, and mail stays off.
TEST_F(SettingsLoadTest, BadMailKeysWithMailOffAreReportedOncePerVersion) {
  SetIni("[WARNING]\r\nISMAILSEND=0\r\n[MAIL]\r\nSMTP=mx\r\nPORT=0\r\nMAILTO=Ops <ops@example.jp>\r\n"
         "[DRIVE]\r\nC=1MB\r\n");
  ASSERT_EQ(StartError(), "");
  ASSERT_EQ(log.entries.size(), 2u);
  EXPECT_EQ(log.entries[0].type, EventType::Warning);
  EXPECT_EQ(log.entries[0].eventId, kCheckEventId);
  EXPECT_EQ(log.entries[0].text,
            std::string("メール通知はオフのため、次の設定の誤りがあっても監視を続けます。\r\n") + kPrefix +
                "[MAIL] PORT=0: '0' は 1 ～ 65535 のポート番号ではありません\r\n" + kPrefix +
                "[MAIL] MAILTO=Ops <ops@example.jp>: 'Ops' はメールアドレスではありません"
                " (「名前 <アドレス>」の形式は使えません。アドレスだけを書いてください)\r\n");
  EXPECT_EQ(log.entries[1].type, EventType::Information) << "the check itself";
  EXPECT_FALSE(Service().IsMailSend());
  Service().tmCheckTimer(nullptr);
  EXPECT_EQ(Count(EventType::Warning), 1u) << "the same version is not reported again";

  // Switching mail on with the same keys is a broken edit.
  SetIni("[WARNING]\r\nISMAILSEND=1\r\n[MAIL]\r\nSMTP=mx\r\nPORT=0\r\nMAILTO=ops@example.jp\r\n");
  Service().tmCheckTimer(nullptr);
  ASSERT_EQ(Count(EventType::Error), 1u);
  EXPECT_FALSE(Service().IsMailSend());
}

// A bad edit keeps every old value, each periodic check reports it once and
// goes on with the old thresholds, and the mended file is taken at the next
// check.
TEST_F(SettingsLoadTest, ABadEditKeepsTheLastGoodSettingsUntilItIsMended) {
  // C has 3 MiB free: short of a 4MB threshold, not of a 2MB one.
  SetIni("[WARNING]\r\nINTERVAL=3\r\n[DRIVE]\r\nC=2MB\r\n");
  ASSERT_EQ(StartError(), "");
  ASSERT_EQ(log.entries.size(), 1u);
  EXPECT_EQ(log.entries[0].type, EventType::Information);
  const std::string goodBytes = Service().IniFileBytes();

  SetIni("[WARNING]\r\nINTERVAL=5\r\nISMAILSEND=1\r\n[DRIVE]\r\nC=4MB\r\nD=1 MB\r\n"
         "[MAIL]\r\nSMTP=mx.example.jp\r\nMAILTO=new@example.jp\r\n");
  const std::string error = std::string(kPrefix) + "[DRIVE] D=1 MB: '1 ' は整数ではありません";
  for (int check = 1; check <= 3; ++check) {
    SCOPED_TRACE(check);
    log.entries.clear();
    Service().tmCheckTimer(nullptr);
    ASSERT_EQ(log.entries.size(), 2u) << "one error entry, then the check's own";
    EXPECT_EQ(log.entries[0].source, kEventSource);
    EXPECT_EQ(log.entries[0].type, EventType::Error);
    EXPECT_EQ(log.entries[0].eventId, kCheckEventId);
    EXPECT_EQ(log.entries[0].text, error);
    EXPECT_EQ(log.entries[1].type, EventType::Information) << "still the old 2MB threshold";
    EXPECT_EQ(Service().Interval(), 3);
    EXPECT_EQ(Service().tmCheck().Interval(), 3 * 3600000LL);
    EXPECT_FALSE(Service().IsMailSend());
    EXPECT_EQ(Service().MailTo(), "");
    EXPECT_EQ(Service().IniFileBytes(), goodBytes);
    ASSERT_EQ(Service().DriveList()->size(), 2u);
    EXPECT_EQ(Service().DriveList()->at(0)->LimitBytes, 2 * kMiB);
    EXPECT_TRUE(Service().tmCheck().Enabled());
  }
  EXPECT_TRUE(mails.empty());

  SetIni("[WARNING]\r\nINTERVAL=5\r\nISMAILSEND=1\r\n[DRIVE]\r\nC=4MB\r\nD=1MB\r\n"
         "[MAIL]\r\nSMTP=mx.example.jp\r\nMAILTO=new@example.jp\r\n");
  log.entries.clear();
  Service().tmCheckTimer(nullptr);
  ASSERT_EQ(log.entries.size(), 1u);
  EXPECT_EQ(log.entries[0].type, EventType::Warning) << "the new 4MB threshold";
  EXPECT_EQ(Service().Interval(), 5);
  EXPECT_EQ(Service().MailTo(), "new@example.jp");
  EXPECT_EQ(mails.size(), 1u);
  EXPECT_EQ(Service().IniFileBytes(), profiles.FileText("Drivewarden.ini"));
}

TEST_F(SettingsLoadTest, AFileThatIsNoSettingsFileFailsWithItsReason) {
  const std::string prefix = "設定ファイル Drivewarden.ini を読めません: ";
  static const char kBinary[] = "MZ\x90\0\x03\0\0\0[DRIVE]\r\nC=1MB\r\n";
  struct Case {
    const char* name;
    std::function<void()> put;
    std::string message;
  };
  const Case cases[] = {
      {"binary", [&] { SetIni(std::string(kBinary, sizeof kBinary - 1)); },
       prefix + "テキストファイルではありません (NUL 文字を含みます)"},
      {"10 MB", [&] { SetIni("[DRIVE]\r\nC=1MB\r\n" + std::string(10 * kMiB, ';')); },
       prefix + "大きすぎます (10,485,776 バイト、上限は 1,048,576 バイト)"},
      {"folder", [&] { profiles.SetFolder("Drivewarden.ini", ++stamp); },
       prefix + "ファイルではなくフォルダーです"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.put();
    EXPECT_EQ(StartError(), c.message);
  }

  // At a periodic check the same text is the error entry.
  SetIni("[DRIVE]\r\nC=1MB\r\n");
  ASSERT_EQ(StartError(), "");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.put();
    log.entries.clear();
    Service().tmCheckTimer(nullptr);
    ASSERT_EQ(log.entries.size(), 2u);
    EXPECT_EQ(log.entries[0].type, EventType::Error);
    EXPECT_EQ(log.entries[0].text, c.message);
    EXPECT_EQ(Service().DriveList()->at(0)->LimitBytes, kMiB);
  }
}

// The keys of secure submission: a missing key keeps today's plain
// conversation, the words are read in any case, anything else fails the load
// naming the key; the password never appears in a message.
TEST_F(SettingsLoadTest, SecurityLoginAndVerifyKeys) {
  SetIni(MailOn(""));
  ASSERT_EQ(StartError(), "");
  EXPECT_EQ(Service().SmtpSecurity(), TSmtpSecurity::None);
  EXPECT_TRUE(Service().TlsVerify());
  EXPECT_EQ(Service().SmtpUser(), "");

  SetIni(MailOn("SECURITY= starttls \r\nUSER=alert@example.jp\r\nPASSWORD=pw\r\nTLSVERIFY=0\r\n"));
  ASSERT_NO_THROW(Service().LoadSettings());
  EXPECT_EQ(Service().SmtpSecurity(), TSmtpSecurity::StartTls);
  EXPECT_EQ(Service().SmtpUser(), "alert@example.jp");
  EXPECT_FALSE(Service().TlsVerify());
  SetIni(MailOn("SECURITY=TLS\r\nTLSVERIFY=1\r\n"));
  ASSERT_NO_THROW(Service().LoadSettings());
  EXPECT_EQ(Service().SmtpSecurity(), TSmtpSecurity::Tls);
  EXPECT_TRUE(Service().TlsVerify());
  SetIni(MailOn("SECURITY=none\r\n"));
  ASSERT_NO_THROW(Service().LoadSettings());
  EXPECT_EQ(Service().SmtpSecurity(), TSmtpSecurity::None);

  for (const auto& [ini, message] : std::vector<std::pair<std::string, std::string>>{
           {MailOn("SECURITY=SSL\r\n"), "[MAIL] SECURITY=SSL: NONE、STARTTLS、TLS のいずれかではありません"},
           {MailOn("SECURITY=STARTTLS TLS\r\n"),
            "[MAIL] SECURITY=STARTTLS TLS: NONE、STARTTLS、TLS のいずれかではありません"},
           {MailOn("TLSVERIFY=yes\r\n"), "[MAIL] TLSVERIFY=yes: 1 か 0 ではありません"},
       }) {
    SCOPED_TRACE(ini);
    SetIni(ini);
    EXPECT_THROW(Service().LoadSettings(), EConvertError);
    try {
      Service().LoadSettings();
    } catch (const EConvertError& e) {
      EXPECT_EQ(e.what(), kPrefix + message);
    }
  }
}

#ifndef _WIN32
// A protected password cannot be read on POSIX: the load fails naming the
// key, never showing the stored value.
TEST_F(SettingsLoadTest, AnUnreadablePasswordFailsWithoutShowingIt) {
  SetIni(MailOn("USER=u\r\nPASSWORD=dpapi:U2VjcmV0\r\n"));
  const std::string error = StartError();
  EXPECT_EQ(error.rfind(std::string(kPrefix) + "[MAIL] PASSWORD を読めません: ", 0), 0u) << error;
  EXPECT_NE(error.find("DPAPI"), std::string::npos) << "the reason names the protection";
  EXPECT_EQ(error.find("U2VjcmV0"), std::string::npos);
}
#endif

// An alert over TLS whose certificate was not checked, and a password sent
// in clear, each get an information entry after the check's warning; a
// verified delivery gets none.
TEST_F(SettingsLoadTest, WeakerDeliveriesAreToldInEntries) {
  drives.drives['C'].freeBytes = 0;
  SetIni("[DRIVE]\r\nC=1MB\r\n[WARNING]\r\nISMAILSEND=1\r\n[MAIL]\r\nSMTP=mx\r\nMAILTO=a@b.jp\r\n");
  TDeliveryResult outcome;
  mailStep = [&](const std::string&) { return outcome; };
  auto texts = [&](size_t from) {
    std::vector<std::pair<EventType, std::string>> found;
    for (size_t i = from; i < log.entries.size(); ++i) found.emplace_back(log.entries[i].type, log.entries[i].text);
    return found;
  };
  outcome.encrypted = true;
  outcome.verified = true;
  Service().ServiceStart();
  ASSERT_EQ(log.entries.size(), 1u);
  EXPECT_EQ(log.entries[0].type, EventType::Warning);

  outcome.verified = false;
  outcome.passwordInClear = false;
  Service().tmCheckTimer(nullptr);
  auto unverified = texts(1);
  ASSERT_EQ(unverified.size(), 2u);
  EXPECT_EQ(unverified[0].first, EventType::Warning);
  EXPECT_EQ(unverified[1], std::make_pair(EventType::Information, std::string(kAlertUnverified)));

  outcome = TDeliveryResult::FailedAt(TSmtpStep::Mail, 550, "550 no");
  outcome.passwordInClear = true;
  Service().tmCheckTimer(nullptr);
  auto clear = texts(3);
  ASSERT_EQ(clear.size(), 3u);
  EXPECT_EQ(clear[1].first, EventType::Error);
  EXPECT_EQ(clear[2], std::make_pair(EventType::Information, std::string(kAlertPasswordInClear)));
}

#ifndef _WIN32
// The same load over real files through the POSIX profile functions.
class SettingsFileTest : public SettingsLoadTest {
 protected:
  void SetUp() override {
    dir = std::filesystem::temp_directory_path() /
          ("qw_settings_" + std::to_string(getpid()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    files = NewSystemProfiles(dir.string());
    real = std::make_unique<TDrivewarden>(ServicePlatform{*files, drives, system, log},
                                          loop.CreateTimer());
  }
  void TearDown() override { std::filesystem::remove_all(dir); }
  void Put(const std::string& bytes) {
    std::filesystem::remove_all(dir / "Drivewarden.ini");
    std::ofstream(dir / "Drivewarden.ini", std::ios::binary) << bytes;
  }
  std::string RealStartError() {
    try {
      real->ServiceStart();
    } catch (const ESettingsError& e) {
      return e.what();
    }
    return "";
  }

  std::filesystem::path dir;
  std::unique_ptr<Profiles> files;
  std::unique_ptr<TDrivewarden> real;
};

TEST_F(SettingsFileTest, FilesOfEveryKind) {
  const std::string prefix = "設定ファイル Drivewarden.ini を読めません: ";
  std::string utf16 = "\xFF\xFE";
  for (char c : std::string("[DRIVE]\r\nC=3MB\r\n[WARNING]\r\nINTERVAL=7\r\n")) utf16 += std::string{c, '\0'};
  std::string addresses;
  for (int i = 0; i < 1000; ++i) addresses += (i ? "," : "") + ("user" + std::to_string(i) + "@example.jp");
  struct Case {
    const char* name;
    std::function<void()> put;
    std::string error;      // empty: the load works
    int64_t limitC;         // C's threshold after a load that works
    int32_t interval;
  };
  const Case cases[] = {
      {"missing", [&] { std::filesystem::remove_all(dir / "Drivewarden.ini"); }, "", 0, 24},
      {"empty", [&] { Put(""); }, "", 0, 24},
      {"UTF-8 mark", [&] { Put("\xEF\xBB\xBF[DRIVE]\r\nC=3MB\r\n[WARNING]\r\nINTERVAL=7\r\n"); }, "", 3 * kMiB, 7},
      {"UTF-16LE mark", [&] { Put(utf16); }, "", 3 * kMiB, 7},
      {"1,000 addresses",
       [&] { Put("[WARNING]\r\nISMAILSEND=1\r\n[MAIL]\r\nSMTP=mx.example.jp\r\nMAILTO=" + addresses + "\r\n"); },
       "", 0, 24},
      {"binary", [&] { Put(std::string("\x7F" "ELF\x02\x01\x01\0\0\0", 10)); },
       prefix + "テキストファイルではありません (NUL 文字を含みます)", 0, 0},
      {"10 MB", [&] { Put(std::string(10 * kMiB, 'x')); },
       prefix + "大きすぎます (10,485,760 バイト、上限は 1,048,576 バイト)", 0, 0},
      {"folder", [&] { Put(""); std::filesystem::remove(dir / "Drivewarden.ini");
                       std::filesystem::create_directory(dir / "Drivewarden.ini"); },
       prefix + "ファイルではなくフォルダーです", 0, 0},
      {"FIFO", [&] { std::filesystem::remove_all(dir / "Drivewarden.ini");
                     ASSERT_EQ(mkfifo((dir / "Drivewarden.ini").c_str(), 0600), 0); },
       prefix + "通常のファイルではありません", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.put();
    real->ServiceStop();
    EXPECT_EQ(RealStartError(), c.error);
    if (!c.error.empty()) continue;
    ASSERT_EQ(real->DriveList()->size(), 2u);
    EXPECT_EQ(real->DriveList()->at(0)->LimitBytes, c.limitC);
    EXPECT_EQ(real->Interval(), c.interval);
  }
  EXPECT_EQ(real->MailTo(), addresses) << "the 1,000th address read whole";
  EXPECT_TRUE(real->IsMailSend());
}
#endif

}  // namespace
}  // namespace qw

#ifndef _WIN32
namespace qw {
namespace {

// The secret at each load: a password in a file others can read is one
// warning entry that tells where to move it; a file without a password, or
// one only its owner reads, none; a password from the host's own store (the
// systemd credential) makes a PASSWORD in the file a warning of its own.
TEST_F(SettingsLoadTest, APasswordOthersCanReadIsOneWarningPerLoad) {
  const std::string path = (std::filesystem::temp_directory_path() /
                            ("qw_secret_" + std::to_string(::getpid()) + ".ini")).string();
  std::ofstream(path) << "stands for the settings file";
  struct Case {
    const char* name;
    const char* password;  // PASSWORD in the file
    mode_t mode;
    const char* credential;
    const char* expected;  // a part of the one warning; nullptr: no warning
    const char* oauth = "";  // more [MAIL] lines
    bool webhook = false;    // a [WEBHOOK1] section
  };
  const char* clientSecret = "SECURITY=STARTTLS\r\nAUTH=OAUTH2\r\nTENANT=t.example\r\nCLIENTID=a\r\nCLIENTSECRET=s\r\n";
  const Case cases[] = {
      {"readable with a password", "p", 0644, "", "他のユーザーも読めます (group, others)"},
      {"readable by the group", "p", 0640, "", "LoadCredential="},
      {"private with a password", "p", 0600, "", nullptr},
      {"readable without a password", "", 0644, "", nullptr},
      {"credential and a password in the file", "p", 0600, "c", "は使われません"},
      {"credential and a readable file without a password", "", 0644, "c", nullptr},
      {"readable with a client secret", "", 0644, "", "/etc/quotawarden/oauth-client-secret", clientSecret},
      {"private with a client secret", "", 0600, "", nullptr, clientSecret},
      // A webhook URL is a secret the file alone holds.
      {"readable with a webhook", "", 0644, "", "通知先の URL を含み、他のユーザーも読めます (group, others)", "", true},
      {"readable by the group with a webhook", "", 0640, "", "DynamicUser=yes", "", true},
      {"private with a webhook", "", 0600, "", nullptr, "", true},
      {"readable with a password and a webhook", "p", 0644, "", "パスワードと通知先の URL を含み", "", true},
      {"credential and a readable file with a webhook", "", 0644, "c", "通知先の URL を含み", "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(::chmod(path.c_str(), c.mode), 0);
    service.reset();
    log.entries.clear();
    SetIni(MailOn(std::string("PASSWORD=") + c.password + "\r\nUSER=u\r\n" + c.oauth) +
           (c.webhook ? "[WEBHOOK1]\r\nKIND=JSON\r\nURL=https://hooks.example/T0123/secret\r\n" : ""));
    Service().SetSecretSources(path, c.credential);
    ASSERT_EQ(StartError(), "");
    std::vector<std::string> warnings;
    for (const auto& e : log.entries)
      if (e.type == EventType::Warning && e.text.find(path) != std::string::npos) warnings.push_back(e.text);
    if (!c.expected) {
      EXPECT_TRUE(warnings.empty()) << warnings.front();
      continue;
    }
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find(c.expected), std::string::npos) << warnings[0];
    EXPECT_EQ(warnings[0].find("chmod 600 など"), std::string::npos) << "advice that keeps the unit's user out";
    // Each secret the file holds gets its own advice.
    EXPECT_EQ(warnings[0].find("DynamicUser=yes") != std::string::npos, c.webhook && c.mode != 0600) << warnings[0];
    EXPECT_EQ(warnings[0].find("LoadCredential=") != std::string::npos, (*c.password || *c.oauth) && !*c.credential)
        << warnings[0];
  }
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace qw
#endif
