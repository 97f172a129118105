// The alert mail of a check, delivered to the SMTP test server on loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "common/errors.h"
#include "common/secret_mask.h"
#include "platform/files.h"
#include "mail/encodings.h"
#include "mail/iso2022jp.h"
#include "service/drivewarden.h"
#include "tests/fakes/fake_message_loop.h"
#include "tests/fakes/fake_platform.h"
#include "tools/smtp_test_server.h"

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


class AlertTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.Start());
    drives.drives['C'] = {kDriveFixed, 50 * kMiB, 1000 * kMiB, true, nullptr};
    drives.drives['D'] = {kDriveFixed, 900 * kMiB, 1000 * kMiB, true, nullptr};
    system.now = {2024, 5, 6, 1, 7, 8, 9, 0};
    service = std::make_unique<TDrivewarden>(ServicePlatform{profiles, drives, system, log},
                                             loop.CreateTimer());
    uint32_t next = 0x1A2B3C40;
    service->mailMsg().SetRandomSource([next]() mutable { return next++; });
  }

  void SetIni(const std::string& to, const std::string& cc, const std::string& host = "127.0.0.1") {
    std::string text = "[WARNING]\r\nINTERVAL=24\r\nISMAILSEND=1\r\n[DRIVE]\r\nC=100MB\r\n"
                       "[MAIL]\r\nSMTP=" + host + "\r\nPORT=" + std::to_string(server.Port()) +
                       "\r\nMAILFROM=warden@example.jp\r\nMAILTO=" + to + "\r\n";
    if (!cc.empty()) text += "MAILCC=" + cc + "\r\n";
    profiles.SetFile("Drivewarden.ini", text, ++stamp);
  }

  test::FakeProfiles profiles;
  test::FakeDrives drives;
  test::FakeSystemInfo system;
  test::FakeEventLog log;
  FakeMessageLoop loop;
  SmtpTestServer server;
  std::unique_ptr<TDrivewarden> service;
  int32_t stamp = 0x58A00000;
};

TEST_F(AlertTest, TheAlertIsAnIso2022JpMailWithTheReportAsBody) {
  SetIni("a@example.jp, b@example.jp", "c@example.jp");
  service->ServiceStart();
  ASSERT_TRUE(server.WaitForSessions(1, 10000));
  auto sessions = server.Sessions();
  ASSERT_EQ(sessions.size(), 1u);
  const auto& s = sessions[0];
  EXPECT_EQ(s.mailFrom, "warden@example.jp");
  EXPECT_EQ(s.recipients, (std::vector<std::string>{"a@example.jp", "b@example.jp", "c@example.jp"}));
  ASSERT_EQ(s.messages.size(), 1u);
  EXPECT_EQ(s.commands.back(), "QUIT");

  ASSERT_EQ(log.entries.size(), 1u);
  EXPECT_EQ(log.entries[0].type, EventType::Warning);
  const std::string report =
      "WATCHED-PC のローカルドライブの空き領域は以下のとおりです。\r\n\r\n"
      "・ C ドライブの空き領域: 52,428,800 バイト\r\n"
      "・ D ドライブの空き領域: 943,718,400 バイト\r\n\r\n"
      "このうち、空き領域が指定されたしきい値以下のドライブは\r\n\r\n"
      "C ドライブ : しきい値 100MB ( = 104,857,600 バイト )\r\n\r\n"
      "です。\r\n\r\n"
      "2024/05/06 7:08:09";
  const std::string body = ShiftJisToIso2022Jp(report);
  for (unsigned char c : body) ASSERT_LT(c, 0x80) << "the body is 7-bit";
  const std::string expected =
      "Subject: " + EncodeHeaderWord("ドライブ領域不足のお知らせ", "iso-2022-jp") + "\r\n"
      "To: <a@example.jp>, <b@example.jp>\r\n"
      "Cc: <c@example.jp>\r\n"
      "From: " + EncodeHeaderPhrase("ドライブ番人サービス", "iso-2022-jp") + "\r\n <warden@example.jp>\r\n"
      "MIME-Version: 1.0\r\n"
      "Content-Type: text/plain; charset=ISO-2022-JP\r\n"
      "Content-Transfer-Encoding: 7bit\r\n"
      "Content-Length: " + std::to_string(body.size()) + "\r\n"
      "Date: Mon, 06 May 2024 07:08:09 +0900\r\n"
      "Message-ID: <20240506070809.1A2B3C40.1A2B3C41@127.0.0.1>\r\n"
      "\r\n" + body;
  EXPECT_EQ(s.messages[0], expected + "\r\n") << "the text ends with the line break before the final dot";
  EXPECT_EQ(EncodeHeaderWord("ドライブ領域不足のお知らせ", "iso-2022-jp").rfind("=?iso-2022-jp?B?", 0), 0u);
}

TEST_F(AlertTest, ASecondAlertWithoutCcCarriesNoCcLine) {
  SetIni("a@example.jp", "c@example.jp");
  service->ServiceStart();
  SetIni("a@example.jp", "");
  service->tmCheckTimer(nullptr);
  ASSERT_TRUE(server.WaitForSessions(2, 10000));
  auto sessions = server.Sessions();
  ASSERT_EQ(sessions.size(), 2u);
  ASSERT_EQ(sessions[1].messages.size(), 1u);
  EXPECT_NE(sessions[0].messages[0].find("\r\nCc: <c@example.jp>\r\n"), std::string::npos);
  EXPECT_EQ(sessions[1].messages[0].find("Cc:"), std::string::npos);
  EXPECT_EQ(sessions[1].recipients, std::vector<std::string>{"a@example.jp"});
  EXPECT_EQ(log.entries.size(), 2u);
}

TEST_F(AlertTest, AToListWithoutAddressesFailsTheLoadBeforeAnyMail) {
  SetIni(" , ,", "");
  try {
    service->ServiceStart();
    FAIL() << "no error";
  } catch (const ESettingsError& e) {
    EXPECT_STREQ(e.what(), "設定ファイル Drivewarden.ini の [MAIL] MAILTO=, ,: メールアドレスがありません");
  }
  EXPECT_TRUE(log.entries.empty());
  EXPECT_TRUE(server.Sessions().empty()) << "no connection to the server";
}

TEST_F(AlertTest, NoServerListeningIsAFailedAlertAfterTheWarning) {
  const int port = server.Port();
  server.Stop();
  SetIni("a@example.jp", "");
  EXPECT_NO_THROW(service->ServiceStart());
  ASSERT_EQ(log.entries.size(), 2u);
  EXPECT_EQ(log.entries[0].type, EventType::Warning);
  EXPECT_EQ(log.entries[1].type, EventType::Error);
  EXPECT_EQ(log.entries[1].source, "Drivewarden");
  EXPECT_EQ(log.entries[1].eventId, kCheckEventId);
  // The entry names the server tried.
  const std::string prefix = std::string(kAlertNotSent) + "CONNECT 127.0.0.1:" + std::to_string(port) + ": ";
  EXPECT_EQ(log.entries[1].text.rfind(prefix, 0), 0u) << log.entries[1].text;
  EXPECT_EQ(service->SmtpPort(), port);
  const auto alert = service->LastAlert();
  EXPECT_TRUE(alert.attempted);
  EXPECT_FALSE(alert.result.Delivered());
  EXPECT_TRUE(service->tmCheck().Enabled()) << "the watch goes on";
}

TEST_F(AlertTest, AServerGivenAsAnIpv6AddressGetsTheAlertAndAFailureNamesIt) {
  SmtpTestServer v6;
  if (!v6.Start(0, true)) GTEST_SKIP() << "this machine cannot listen on [::1]";
  for (const char* host : {"::1", "[::1]"}) {
    SCOPED_TRACE(host);
    log.entries.clear();
    std::string text = "[WARNING]\r\nINTERVAL=24\r\nISMAILSEND=1\r\n[DRIVE]\r\nC=100MB\r\n[MAIL]\r\nSMTP=" +
                       std::string(host) + "\r\nPORT=" + std::to_string(v6.Port()) +
                       "\r\nMAILFROM=warden@example.jp\r\nMAILTO=a@example.jp\r\n";
    profiles.SetFile("Drivewarden.ini", text, ++stamp);
    service = std::make_unique<TDrivewarden>(ServicePlatform{profiles, drives, system, log}, loop.CreateTimer());
    service->ServiceStart();
    EXPECT_TRUE(service->LastAlert().result.Complete()) << service->LastAlert().result.status.Describe();
    ASSERT_EQ(log.entries.size(), 1u) << log.entries.back().text;
  }
  EXPECT_EQ(v6.Sessions().size(), 2u);
  const int port = v6.Port();
  v6.Stop();
  log.entries.clear();
  service = std::make_unique<TDrivewarden>(ServicePlatform{profiles, drives, system, log}, loop.CreateTimer());
  service->ServiceStart();
  ASSERT_EQ(log.entries.size(), 2u);
  const std::string prefix = std::string(kAlertNotSent) + "CONNECT [::1]:" + std::to_string(port) + ": ";
  EXPECT_EQ(log.entries[1].text.rfind(prefix, 0), 0u) << log.entries[1].text;
}

TEST_F(AlertTest, ARefusedRecipientAmongSeveralIsNamedAndTheOthersGetTheMail) {
  server.Script("RCPT", SmtpTestServer::Reply::Text("550 5.1.1 <b@example.jp> unknown\r\n"), 2);
  SetIni("a@example.jp, b@example.jp", "c@example.jp");
  service->ServiceStart();
  ASSERT_TRUE(server.WaitForSessions(1, 10000));
  const auto s = server.Sessions()[0];
  EXPECT_EQ(s.messages.size(), 1u) << "the accepted recipients get the mail";
  ASSERT_EQ(log.entries.size(), 2u);
  EXPECT_EQ(log.entries[1].type, EventType::Error);
  EXPECT_EQ(log.entries[1].text,
            std::string(kAlertPartlySent) + "RCPT <b@example.jp>: 550 5.1.1 <b@example.jp> unknown");
  const auto alert = service->LastAlert();
  EXPECT_TRUE(alert.result.Delivered());
  EXPECT_FALSE(alert.result.Complete());
}

TEST_F(AlertTest, EveryRecipientRefusedSendsNoTextAndSaysWhy) {
  server.Script("RCPT", SmtpTestServer::Reply::Text("554 5.7.1 relay denied\r\n"));
  SetIni("a@example.jp, b@example.jp", "");
  service->ServiceStart();
  ASSERT_TRUE(server.WaitForSessions(1, 10000));
  const auto s = server.Sessions()[0];
  EXPECT_TRUE(s.messages.empty());
  for (const std::string& command : s.commands) EXPECT_NE(command, "DATA");
  ASSERT_EQ(log.entries.size(), 2u);
  EXPECT_EQ(log.entries[1].type, EventType::Error);
  EXPECT_EQ(log.entries[1].text, std::string(kAlertNotSent) +
                                     "RCPT <b@example.jp>: 554 5.7.1 relay denied\r\n"
                                     "RCPT <a@example.jp>: 554 5.7.1 relay denied\r\n"
                                     "サーバーが拒否したため再送しません。")
      << "each refused recipient is named once; a permanent refusal is not tried again";
  EXPECT_FALSE(service->HasPendingAlert());
}

TEST_F(AlertTest, ASilentServerEndsAtTheSilenceTimeOut) {
  server.Script("DATA", SmtpTestServer::Reply::Silence());
  SetIni("a@example.jp", "");
  service->SetMailTimeOuts(1, 300);
  const auto start = std::chrono::steady_clock::now();
  service->ServiceStart();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  ASSERT_EQ(log.entries.size(), 2u);
  EXPECT_EQ(log.entries[1].text, std::string(kAlertNotSent) + "DATA: time-out after 1 s\r\n次の実行で再送します。");
  EXPECT_TRUE(service->HasPendingAlert());
}

TEST_F(AlertTest, AStopFromAnotherThreadCancelsTheConversation) {
  server.Script("MAIL", SmtpTestServer::Reply::Silence());
  SetIni("a@example.jp", "");
  std::thread stopper([this] {
    // The client waits for MAIL's reply.
    EXPECT_TRUE(server.WaitForSilence("MAIL", 10000));
    service->CancelForStop();
  });
  const auto start = std::chrono::steady_clock::now();
  service->ServiceStart();
  stopper.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  ASSERT_EQ(log.entries.size(), 2u);
  const std::string& text = log.entries[1].text;
  EXPECT_EQ(text.rfind(kAlertNotSent, 0), 0u) << text;
  EXPECT_NE(text.find(": cancelled by stop\r\nサービスの次の開始後に再送します。"), std::string::npos) << text;
  EXPECT_FALSE(service->tmCheck().Enabled()) << "a stopped service does not start its timer again";
}

TEST_F(AlertTest, AServerThatEchoesTheLoginPutsItInNoEntryAndNotInTheStateFile) {
  const std::string password = "Echo-Me-9x";
  const std::string payload = Base64OneLine(std::string(1, '\0') + "alert@example.jp" + std::string(1, '\0') + password);
  const fs::path dir = fs::temp_directory_path() / ("qw_mask_state_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  service->SetStateFolder(dir.string());
  server.Script("EHLO", SmtpTestServer::Reply::Text("250-localhost\r\n250 AUTH PLAIN\r\n"));
  server.Script("AUTH", SmtpTestServer::Reply::Text("235 2.7.0 welcome " + payload + "\r\n"));
  server.Script("RCPT", SmtpTestServer::Reply::Text("550 5.7.1 " + password + " may not send (" +
                                                    Base64OneLine("login:" + password) + ")\r\n"));
  profiles.SetFile("Drivewarden.ini",
                   "[WARNING]\r\nINTERVAL=24\r\nISMAILSEND=1\r\n[DRIVE]\r\nC=100MB\r\n[MAIL]\r\nSMTP=127.0.0.1\r\nPORT=" +
                       std::to_string(server.Port()) +
                       "\r\nMAILFROM=warden@example.jp\r\nMAILTO=a@example.jp\r\nUSER=alert@example.jp\r\nPASSWORD=" +
                       password + "\r\n",
                   ++stamp);
  service->ServiceStart();
  ASSERT_TRUE(server.WaitForSessions(1, 10000));
  ASSERT_TRUE(server.Sessions()[0].messages.empty()) << "the one recipient was refused";
  // An entry the service writes itself with a server's words in it.
  service->Entries().Warning("the server said " + Base64OneLine(password) + " and " + password);

  bool failureEntry = false;
  for (const auto& entry : log.entries) {
    SCOPED_TRACE(entry.text);
    EXPECT_EQ(entry.text.find(password), std::string::npos);
    EXPECT_EQ(entry.text.find(payload), std::string::npos);
    EXPECT_EQ(entry.text.find(Base64OneLine(password)), std::string::npos);
    if (entry.type == EventType::Error) {
      failureEntry = true;
      EXPECT_NE(entry.text.find("550 5.7.1 **** may not send ("), std::string::npos);
      EXPECT_EQ(entry.text.find(Base64OneLine("login:" + password).substr(8, 12)), std::string::npos);
    }
  }
  EXPECT_TRUE(failureEntry);
  EXPECT_EQ(log.entries.back().text, "the server said **** and ****");

  const Result<std::string> read = ReadWholeFile(JoinPath(dir.string(), kStateFileName));
  ASSERT_TRUE(read.Ok());
  const std::string& state = *read;
  EXPECT_EQ(state.find(password), std::string::npos) << state;
  EXPECT_NE(state.find("**** may not send"), std::string::npos) << state;
  std::error_code ignored;
  fs::remove_all(dir, ignored);
}

}  // namespace
}  // namespace qw
