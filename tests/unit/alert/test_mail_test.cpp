// The service program's test mail, sent to the SMTP test server on loopback
// with the saved settings whatever ISMAILSEND says.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "mail/encodings.h"
#include "mail/iso2022jp.h"
#include "service/test_mail_run.h"
#include "tests/fakes/fake_http_client.h"
#include "tests/fakes/fake_message_loop.h"
#include "tests/fakes/fake_platform.h"
#include "tools/smtp_test_server.h"

namespace qw {
namespace {

class TestMailRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.Start());
    system.now = {2024, 5, 6, 1, 7, 8, 9, 0};
    service = std::make_unique<TDrivewarden>(ServicePlatform{profiles, drives, system, log}, loop.CreateTimer());
  }
  void SetIni(const std::string& mailKeys) {
    profiles.SetFile("Drivewarden.ini",
                     "[WARNING]\r\nINTERVAL=24\r\nISMAILSEND=0\r\n[MAIL]\r\n" + mailKeys, ++stamp);
  }
  std::string ServerKeys() const {
    return "SMTP=127.0.0.1\r\nPORT=" + std::to_string(server.Port()) + "\r\nMAILFROM=warden@example.jp\r\n";
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

TEST_F(TestMailRunTest, SentWithMailOffToToAndCcWithTranscript) {
  SetIni(ServerKeys() + "MAILTO=a@example.jp\r\nMAILCC=c@example.jp\r\n");
  const TTestMailRun run = RunTestMail(*service, system);
  EXPECT_EQ(run.exitCode, 0) << run.text;
  ASSERT_TRUE(server.WaitForSessions(1, 10000));
  const auto sessions = server.Sessions();
  ASSERT_EQ(sessions.size(), 1u);
  EXPECT_EQ(sessions[0].mailFrom, "warden@example.jp");
  EXPECT_EQ(sessions[0].recipients, (std::vector<std::string>{"a@example.jp", "c@example.jp"}));
  ASSERT_EQ(sessions[0].messages.size(), 1u);
  const std::string& text = sessions[0].messages[0];
  EXPECT_NE(text.find("Subject: " + EncodeHeaderWord("テストメール", "iso-2022-jp") + "\r\n"), std::string::npos)
      << text;
  EXPECT_NE(text.find(ShiftJisToIso2022Jp("コンピュータ: WATCHED-PC")), std::string::npos);
  EXPECT_NE(text.find(ShiftJisToIso2022Jp("送信日時: 2024/05/06 7:08:09")), std::string::npos);
  // The conversation both ways, and the outcome last.
  EXPECT_NE(run.text.find("> MAIL FROM:<warden@example.jp>\n"), std::string::npos) << run.text;
  EXPECT_NE(run.text.find("\n< 250"), std::string::npos) << run.text;
  EXPECT_NE(run.text.find("< 220"), std::string::npos) << run.text;
  EXPECT_EQ(run.text.substr(run.text.size() - std::string("送信しました\n").size()), "送信しました\n");
  EXPECT_EQ(run.text.find("DATA\n> "), std::string::npos) << "the message text is no command";
}

TEST_F(TestMailRunTest, RefusedRecipientAndAbsentServerExitOne) {
  server.Script("RCPT", SmtpTestServer::Reply::Text("550 5.1.1 no such user here\r\n"));
  SetIni(ServerKeys() + "MAILTO=a@example.jp\r\n");
  TTestMailRun run = RunTestMail(*service, system);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.text.find("RCPT <a@example.jp>: 550 5.1.1 no such user here\n"), std::string::npos) << run.text;

  const int port = server.Port();
  server.Stop();
  profiles.SetFile("Drivewarden.ini",
                   "[WARNING]\r\nISMAILSEND=1\r\n[MAIL]\r\nSMTP=127.0.0.1\r\nPORT=" + std::to_string(port) +
                       "\r\nMAILTO=a@example.jp\r\n",
                   ++stamp);
  run = RunTestMail(*service, system);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.text.rfind("接続できません: 127.0.0.1:" + std::to_string(port) + ": ", 0), 0u) << run.text;
}

TEST_F(TestMailRunTest, SettingsErrorsAreHeldAsWithMailOn) {
  // With mail off the service only warns of a bad port; the test mail asks
  // for mail, so the port must hold.
  SetIni("SMTP=127.0.0.1\r\nPORT=70000\r\nMAILTO=a@example.jp\r\n");
  TTestMailRun run = RunTestMail(*service, system);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.text.find("PORT"), std::string::npos) << run.text;
  EXPECT_NE(run.text.find("70000"), std::string::npos) << run.text;

  SetIni("PORT=25\r\nMAILTO=a@example.jp\r\n");
  run = RunTestMail(*service, system);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.text.find("SMTP"), std::string::npos) << run.text;
  EXPECT_EQ(server.Sessions().size(), 0u);
}

// The test command posts the test notification to every webhook target
// beside the mail: one line per target, and the exit code is 1 when the
// mail or any target failed. Without an SMTP server the targets alone are
// tested.
TEST_F(TestMailRunTest, EveryWebhookTargetGetsTheTestNotificationAndCounts) {
  FakeHttpClient one, two;
  WatchOptions options;
  options.httpClient = [&one, &two]() -> std::unique_ptr<HttpClient> {
    struct Route : HttpClient {
      Route(FakeHttpClient& a, FakeHttpClient& b) : a_(a), b_(b) {}
      Result<HttpResponse> Send(const HttpRequest& request) override {
        return (request.url.find("/one/") != std::string::npos ? a_ : b_).Send(request);
      }
      void Cancel() override {}
      FakeHttpClient& a_;
      FakeHttpClient& b_;
    };
    return std::make_unique<Route>(one, two);
  };
  service = std::make_unique<TDrivewarden>(ServicePlatform{profiles, drives, system, log}, loop.CreateTimer(),
                                           nullptr, std::move(options));
  const std::string targets =
      "[WEBHOOK1]\r\nKIND=TEAMS\r\nURL=https://hooks.example/one/Secret1one\r\n"
      "[WEBHOOK2]\r\nKIND=JSON\r\nURL=https://hooks.example:8443/two/Secret2two\r\n";
  const std::string ok1 = "WEBHOOK1 (TEAMS) https://hooks.example: 送信しました (HTTP 200)\n";
  const struct {
    const char* name;
    std::string mailKeys;
    int answerTwo;
    int exitCode;
    std::vector<std::string> lines;  // in the text, in this order
  } cases[] = {
      {"mail and both targets", ServerKeys() + "MAILTO=a@example.jp\r\n", 202, 0,
       {"送信しました\n", ok1, "WEBHOOK2 (JSON) https://hooks.example:8443: 送信しました (HTTP 202)\n"}},
      {"a target refuses", ServerKeys() + "MAILTO=a@example.jp\r\n", 500, 1,
       {"送信しました\n", ok1, "WEBHOOK2 (JSON) https://hooks.example:8443: 送信できませんでした: HTTP 500: down\n"}},
      {"no SMTP server: the targets alone", "MAILTO=a@example.jp\r\n", 200, 0,
       {"(SMTP サーバー) が空なので、テストメールは送りません。\n", ok1}},
      {"no SMTP server and a target refuses", "MAILTO=a@example.jp\r\n", 404, 1,
       {"(SMTP サーバー) が空なので", "WEBHOOK2 (JSON) https://hooks.example:8443: 送信できませんでした: HTTP 404"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetIni(c.mailKeys + targets);
    one.Answer(200, "1");
    two.Answer(c.answerTwo, "down");
    const size_t before = two.SendCount();
    const TTestMailRun run = RunTestMail(*service, system);
    EXPECT_EQ(run.exitCode, c.exitCode) << run.text;
    size_t at = 0;
    for (const std::string& line : c.lines) {
      const size_t found = run.text.find(line, at);
      ASSERT_NE(found, std::string::npos) << line << "\n---\n" << run.text;
      at = found + line.size();
    }
    ASSERT_EQ(two.SendCount(), before + 1);
    EXPECT_NE(two.Requests().back().body.find("\"kind\":\"test\""), std::string::npos);
    for (const char* secret : {"Secret1one", "Secret2two"}) EXPECT_EQ(run.text.find(secret), std::string::npos);
  }
}

}  // namespace
}  // namespace qw
