// The retry of a failed alert mail with the real SMTP client against the test
// server on loopback, turned off and on between attempts; the retry timer
// runs on the fake clock.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

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
constexpr int64_t kMinuteMs = 60'000;

class RetryServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A free port with nobody listening on it yet.
    SmtpTestServer probe;
    ASSERT_TRUE(probe.Start());
    port = probe.Port();
    probe.Stop();
    drives.drives['C'] = {kDriveFixed, 50 * kMiB, 1000 * kMiB, true, nullptr};
    profiles.SetFile("Drivewarden.ini",
                     "[WARNING]\r\nINTERVAL=24\r\nISMAILSEND=1\r\n[DRIVE]\r\nC=100MB\r\n[MAIL]\r\nSMTP=127.0.0.1\r\n"
                     "PORT=" + std::to_string(port) + "\r\nMAILFROM=warden@example.jp\r\nMAILTO=a@example.jp\r\n",
                     0x58A00001);
    NewService();
  }
  void NewService() {
    service = std::make_unique<TDrivewarden>(ServicePlatform{profiles, drives, system, log}, loop.CreateTimer(),
                                             loop.CreateTimer());
    service->SetMailTimeOuts(5, 10);
  }
  // A server on the test's port; the one before (if any) goes first.
  SmtpTestServer& ServerUp() {
    server.reset();
    server = std::make_unique<SmtpTestServer>();
    EXPECT_TRUE(server->Start(port));
    return *server;
  }
  std::vector<std::string> Texts(EventType type) const {
    std::vector<std::string> texts;
    for (const auto& e : log.entries)
      if (e.type == type) texts.push_back(e.text);
    return texts;
  }

  test::FakeProfiles profiles;
  test::FakeDrives drives;
  test::FakeSystemInfo system;
  test::FakeEventLog log;
  FakeMessageLoop loop;
  std::unique_ptr<SmtpTestServer> server;
  std::unique_ptr<TDrivewarden> service;
  int port = 0;
};

TEST_F(RetryServerTest, AnAlertFailedWhileTheServerWasDownArrivesOnTheRetryAfterItComesUp) {
  service->ServiceStart();
  ASSERT_EQ(Texts(EventType::Error).size(), 1u);
  EXPECT_EQ(Texts(EventType::Error)[0].rfind(std::string(kAlertNotSent) + "CONNECT 127.0.0.1:" + std::to_string(port) + ": ", 0),
            0u)
      << Texts(EventType::Error)[0];
  ASSERT_TRUE(service->HasPendingAlert());
  const std::string composed = service->PendingReport();

  ServerUp();
  loop.AdvanceBy(5 * kMinuteMs - 1);
  EXPECT_TRUE(server->Sessions().empty()) << "not before five minutes";
  loop.AdvanceBy(1);
  ASSERT_TRUE(server->WaitForSessions(1, 10000));
  ASSERT_EQ(server->Sessions()[0].messages.size(), 1u);
  EXPECT_FALSE(service->HasPendingAlert());
  EXPECT_EQ(Texts(EventType::Information).back(),
            std::string(kAlertDeliveredLate) + "2024-05-06 07:08:09 (1 回失敗した後に送信)");
  EXPECT_NE(server->Sessions()[0].messages[0].find(ShiftJisToIso2022Jp(composed)), std::string::npos)
      << "the report as composed at the failed check";
  loop.AdvanceBy(3 * 60 * kMinuteMs);
  EXPECT_EQ(server->Sessions().size(), 1u) << "nothing more after the delivery";
}

TEST_F(RetryServerTest, A4xxReplyIsRetriedAndA5xxRefusalOfTheTextEndsIt) {
  ServerUp().Script("MAIL", SmtpTestServer::Reply::Text("451 4.3.0 try again later\r\n"));
  service->ServiceStart();
  loop.AdvanceBy(5 * kMinuteMs);
  ASSERT_TRUE(server->WaitForSessions(2, 10000));
  EXPECT_EQ(service->PendingAttempts(), 2);

  ServerUp().Script("DOT", SmtpTestServer::Reply::Text("554 5.7.1 message refused\r\n"));
  loop.AdvanceBy(15 * kMinuteMs);
  ASSERT_TRUE(server->WaitForSessions(1, 10000));
  EXPECT_FALSE(service->HasPendingAlert());
  const auto errors = Texts(EventType::Error);
  ASSERT_EQ(errors.size(), 3u);
  EXPECT_EQ(errors[0], std::string(kAlertNotSent) + "MAIL: 451 4.3.0 try again later\r\n5 分後に再送します。");
  EXPECT_EQ(errors[1], std::string(kAlertNotSent) + "MAIL: 451 4.3.0 try again later\r\n15 分後に再送します。");
  EXPECT_EQ(errors[2], std::string(kAlertNotSent) + ".: 554 5.7.1 message refused\r\nサーバーが拒否したため再送しません。");
  loop.AdvanceBy(3 * 60 * kMinuteMs);
  EXPECT_EQ(server->Sessions().size(), 1u) << "a final refusal is not tried again";
}

TEST_F(RetryServerTest, TheNewestReportIsWhatArrives) {
  service->ServiceStart();
  drives.drives['C'].freeBytes = 60 * kMiB;
  service->tmCheckTimer(nullptr);  // fails again, with the newer report
  ServerUp();
  loop.AdvanceBy(5 * kMinuteMs);
  ASSERT_TRUE(server->WaitForSessions(1, 10000));
  ASSERT_EQ(server->Sessions().size(), 1u);
  const std::string text = server->Sessions()[0].messages.at(0);
  // 60 MiB = 62,914,560 bytes; the body is ISO-2022-JP, the digits stay ASCII.
  EXPECT_NE(text.find("62,914,560"), std::string::npos);
  EXPECT_EQ(text.find("52,428,800"), std::string::npos);
}

TEST_F(RetryServerTest, AStopDuringARetryConversationEndsItAndKeepsTheAlert) {
  service->ServiceStart();
  // The server greets and then says nothing to EHLO: once it has gone
  // silent, the client has sent EHLO and waits for the reply (the 5 s
  // silence time-out would end that wait as a time-out, not as a stop).
  ServerUp().Script("EHLO", SmtpTestServer::Reply::Silence());
  std::thread retry([this] { service->tmRetryTimer(nullptr); });
  ASSERT_TRUE(server->WaitForSilence("EHLO", 10000));
  service->CancelForStop();
  service->ServiceStop();
  retry.join();
  EXPECT_TRUE(service->HasPendingAlert());
  EXPECT_EQ(Texts(EventType::Error).back(),
            std::string(kAlertNotSent) + "EHLO: cancelled by stop\r\nサービスの次の開始後に再送します。");
}

TEST_F(RetryServerTest, APendingAlertSurvivesARestartAndGoesOnceWithTheNewerReport) {
  const std::string dir = (fs::temp_directory_path() / ("qw_retry_srv_" + std::to_string(getpid()))).string();
  fs::remove_all(dir);
  fs::create_directories(dir);
  service->SetStateFolder(dir);
  service->ServiceStart();
  ASSERT_TRUE(service->HasPendingAlert());
  service->ServiceStop();
  service.reset();

  ServerUp();
  NewService();
  service->SetStateFolder(dir);
  system.now.hour = 9;
  service->ServiceStart();
  ASSERT_TRUE(server->WaitForSessions(1, 10000));
  EXPECT_EQ(server->Sessions().size(), 1u) << "one mail, not the kept one besides";
  EXPECT_FALSE(service->HasPendingAlert());
  service->ServiceStop();
  service.reset();
  std::error_code ignored;
  fs::remove_all(dir, ignored);
}

}  // namespace
}  // namespace qw
