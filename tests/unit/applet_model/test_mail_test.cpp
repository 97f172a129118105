// The test mail of the settings dialog: the checks of a save before it, and
// the conversation on a worker thread against the SMTP test server.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "applet/settings_model.h"
#include "tests/fakes/fake_http_client.h"
#include "tests/fakes/fake_message_box.h"
#include "tests/fakes/fake_platform.h"
#include "tests/fakes/fake_service_manager.h"
#include "tests/unit/applet_model/fake_settings_view.h"
#include "tools/smtp_test_server.h"

namespace qw {
namespace {

class TestMailModelTest : public ::testing::Test {
 protected:
  TestMailModelTest() {
    drives.drives['C'];
    view.model = &model;
    model.FormCreate();  // no settings file: mail off, port 25
    model.SetTestMailTimeOuts(5, 20);
  }

  // Server, sender and one To, as typed; mail stays switched off.
  void FillMail(int port) {
    view.Type(SettingsField::Smtp, "127.0.0.1");
    view.Type(SettingsField::Port, std::to_string(port));
    view.Type(SettingsField::From, "watch@example.jp");
    ASSERT_TRUE(model.AddMailAddress("admin@example.jp", MailTarget::To).Ok());
  }

  // Runs a job to its end (bounded) and returns it.
  std::unique_ptr<TestMailJob> Send() {
    const Result<TTestMailSettings> checked = model.TestMailSettings();
    EXPECT_TRUE(checked.Ok());
    const TTestMailSettings settings = checked.value_or(TTestMailSettings());
    auto job = std::make_unique<TestMailJob>(settings, system, [this] {
      {
        std::lock_guard<std::mutex> lock(doneMutex);
        ++doneCalls;
      }
      doneCalled.notify_all();
    });
    EXPECT_TRUE(job->WaitDone(15000));
    return job;
  }

  test::FakeProfiles profiles;
  test::FakeDrives drives;
  test::FakeMessageBoxes boxes;
  test::FakeServiceManager services;
  test::FakeSettingsView view;
  test::FakeSystemInfo system;
  SettingsModel model{view, profiles, drives, boxes, services};
  SmtpTestServer server;
  // Waits (bounded) until onDone has been called `count` times.
  bool WaitDoneCalls(int count) {
    std::unique_lock<std::mutex> lock(doneMutex);
    return doneCalled.wait_for(lock, std::chrono::seconds(30), [&] { return doneCalls >= count; });
  }

  std::mutex doneMutex;
  std::condition_variable doneCalled;
  int doneCalls = 0;
};

TEST_F(TestMailModelTest, RefusedFieldsAreShownAsASaveShowsThem) {
  // Mail is off, yet the test mail needs a server: the save's mail message.
  EXPECT_FALSE(model.TestMailSettings().Ok());
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].text, "メールによる空き領域の警告通知をする場合は、\rメール設定を行ってください。");
  EXPECT_EQ(view.page, SettingsPage::Mail);
  EXPECT_EQ(view.focus, SettingsControl::Smtp);

  FillMail(25);
  view.Type(SettingsField::Port, "0");
  // The refusal carries the message it showed.
  const Result<TTestMailSettings> badPort = model.TestMailSettings();
  EXPECT_FALSE(badPort.Ok());
  EXPECT_EQ(badPort.status().Text(), boxes.shown.back().text);
  EXPECT_EQ(boxes.shown.back().text, "ポート番号には 1 ～ 65535 の整数を入力してください。");
  EXPECT_EQ(view.focus, SettingsControl::Port);

  view.Type(SettingsField::Port, "2,525");
  view.Type(SettingsField::User, "someone");
  EXPECT_FALSE(model.TestMailSettings().Ok());
  EXPECT_EQ(view.focus, SettingsControl::Password);

  view.Type(SettingsField::Password, "secret word");
  const Result<TTestMailSettings> checked = model.TestMailSettings();
  ASSERT_TRUE(checked.Ok());
  const TTestMailSettings& settings = *checked;
  EXPECT_EQ(settings.port, 2525);
  EXPECT_EQ(settings.user, "someone");
  EXPECT_EQ(settings.password, "secret word");
  EXPECT_EQ(settings.to, "admin@example.jp");
  EXPECT_EQ(profiles.ReadString("Drivewarden.ini", "MAIL", "SMTP", "<none>"), "<none>") << "nothing is saved";
}

TEST_F(TestMailModelTest, DeliveredAndRefusedAtRcpt) {
  ASSERT_TRUE(server.Start());
  FillMail(server.Port());
  ASSERT_TRUE(model.AddMailAddress("copy@example.jp", MailTarget::Cc).Ok());
  auto job = Send();
  EXPECT_TRUE(job->Delivered());
  EXPECT_EQ(job->OutcomeText(), "送信しました");
  EXPECT_NE(job->Transcript().find("> RCPT TO:<copy@example.jp>\r\n"), std::string::npos) << job->Transcript();
  EXPECT_NE(job->Transcript().find("< 250"), std::string::npos);
  // The job calls onDone on its own thread just after WaitDone may return.
  ASSERT_TRUE(WaitDoneCalls(1));
  {
    std::lock_guard<std::mutex> lock(doneMutex);
    EXPECT_EQ(doneCalls, 1);
  }
  ASSERT_TRUE(server.WaitForSessions(1, 5000));
  EXPECT_EQ(server.Sessions()[0].recipients, (std::vector<std::string>{"admin@example.jp", "copy@example.jp"}));

  server.Script("RCPT", SmtpTestServer::Reply::Text("550 5.1.1 mailbox unavailable\r\n"));
  job = Send();
  EXPECT_FALSE(job->Delivered());
  EXPECT_EQ(job->OutcomeText(), "RCPT <copy@example.jp>: 550 5.1.1 mailbox unavailable");
  EXPECT_NE(job->Transcript().find("< 550 5.1.1 mailbox unavailable\r\n"), std::string::npos);
}

TEST_F(TestMailModelTest, TheTranscriptMasksTheLogin) {
  server.Script("EHLO", SmtpTestServer::Reply::Text("250-localhost\r\n250 AUTH PLAIN LOGIN\r\n"));
  server.Script("*", SmtpTestServer::Reply::Text("235 2.7.0 accepted\r\n"));
  ASSERT_TRUE(server.Start());
  FillMail(server.Port());
  view.Type(SettingsField::User, "someone");
  view.Type(SettingsField::Password, "Secret-Word-1");
  auto job = Send();
  EXPECT_TRUE(job->Delivered()) << job->OutcomeText();
  const std::string transcript = job->Transcript();
  EXPECT_NE(transcript.find("> AUTH PLAIN ****\r\n< 235 2.7.0 accepted\r\n"), std::string::npos) << transcript;
  EXPECT_EQ(transcript.find("Secret-Word-1"), std::string::npos);
  EXPECT_EQ(transcript.find(AuthPlainCommand("someone", "Secret-Word-1").substr(11)), std::string::npos);
  EXPECT_TRUE(job->Result().passwordInClear);
}

TEST_F(TestMailModelTest, ServerDownIsNoConnection) {
  ASSERT_TRUE(server.Start());
  const int port = server.Port();
  server.Stop();
  FillMail(port);
  auto job = Send();
  EXPECT_FALSE(job->Delivered());
  EXPECT_EQ(job->OutcomeText().rfind("接続できません: 127.0.0.1:" + std::to_string(port) + ": ", 0), 0u)
      << job->OutcomeText();
}

TEST_F(TestMailModelTest, SilentServerIsCancelledAtOnce) {
  server.Script("MAIL", SmtpTestServer::Reply::Silence());
  ASSERT_TRUE(server.Start());
  FillMail(server.Port());
  const Result<TTestMailSettings> checked = model.TestMailSettings();
  ASSERT_TRUE(checked.Ok());
  const TTestMailSettings& settings = *checked;
  TestMailJob job(settings, system);
  // Wait until the conversation hangs on the silent MAIL: the server has it.
  ASSERT_TRUE(server.WaitUntil(
      [](const auto& sessions) { return !sessions.empty() && sessions[0].commands.size() >= 2; }, 30000));
  EXPECT_FALSE(job.Done());
  const auto cancelled = std::chrono::steady_clock::now();
  job.Cancel();
  ASSERT_TRUE(job.WaitDone(1000)) << "the conversation did not end within a second of the cancel";
  EXPECT_LT(std::chrono::steady_clock::now() - cancelled, std::chrono::seconds(1));
  EXPECT_FALSE(job.Delivered());
  EXPECT_EQ(job.Result().status.Text(), "cancelled by stop");
  EXPECT_EQ(job.OutcomeText(), "MAIL: cancelled by stop");
}

TEST_F(TestMailModelTest, DestroyingARunningJobEndsIt) {
  server.Script("GREETING", SmtpTestServer::Reply::Silence());
  ASSERT_TRUE(server.Start());
  FillMail(server.Port());
  const Result<TTestMailSettings> checked = model.TestMailSettings();
  ASSERT_TRUE(checked.Ok());
  const TTestMailSettings& settings = *checked;
  const auto start = std::chrono::steady_clock::now();
  { TestMailJob job(settings, system); }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

// The HTTP client each token request gets: the test's fake, shared.
class SharedHttp : public HttpClient {
 public:
  explicit SharedHttp(FakeHttpClient& fake) : fake_(fake) {}
  Result<HttpResponse> Send(const HttpRequest& request) override { return fake_.Send(request); }
  void Cancel() override { fake_.Cancel(); }

 private:
  FakeHttpClient& fake_;
};

class OAuthTestMailTest : public TestMailModelTest {
 protected:
  // The OAuth 2.0 login with a client secret over STARTTLS, to a token
  // endpoint that only the fake answers.
  void FillOAuth() {
    // Long enough that only a cancel ends a fetch within the test's bounds.
    model.SetTestMailTimeOuts(30, 60);
    ASSERT_TRUE(server.Start());
    FillMail(server.Port());
    view.ChooseSecurity(SecurityChoice::StartTls);
    view.Type(SettingsField::Port, std::to_string(server.Port()));
    view.Type(SettingsField::User, "alerts@example.jp");
    view.ChooseAuth(AuthChoice::OAuth2);
    view.Type(SettingsField::TokenUrl, "https://login.example.test/tenant/token");
    view.Type(SettingsField::Scope, "https://outlook.office365.com/.default");
    view.Type(SettingsField::ClientId, "app-id");
    view.ChooseCredential(CredentialChoice::ClientSecret);
    view.Type(SettingsField::ClientSecret, "Client-Secret-9");
  }
  std::unique_ptr<TestMailJob> Start() {
    const Result<TTestMailSettings> checked = model.TestMailSettings();
    EXPECT_TRUE(checked.Ok()) << (boxes.shown.empty() ? "" : boxes.shown.back().text);
    return std::make_unique<TestMailJob>(checked.value_or(TTestMailSettings()), system, nullptr,
                                         [this] { return std::make_unique<SharedHttp>(http); });
  }

  FakeHttpClient http;
};

TEST_F(OAuthTestMailTest, ARefusedTokenIsTheOutcomeAndNoServerIsDialled) {
  FillOAuth();
  http.Answer(401, R"({"error":"invalid_client","error_description":"AADSTS7000215: Invalid client secret provided.\r\nTrace ID: 1"})");
  auto job = Start();
  ASSERT_TRUE(job->WaitDone(15000));
  EXPECT_FALSE(job->Delivered());
  const std::string outcome = job->OutcomeText();
  EXPECT_EQ(outcome.rfind("TOKEN", 0), 0u) << outcome;
  EXPECT_NE(outcome.find("invalid_client"), std::string::npos) << outcome;
  EXPECT_NE(outcome.find("AADSTS7000215"), std::string::npos) << outcome;
  const std::string transcript = job->Transcript();
  EXPECT_NE(transcript.find("* TOKEN"), std::string::npos) << transcript;
  EXPECT_EQ(transcript.find("> EHLO"), std::string::npos) << "the server is not dialled: " << transcript;
  ASSERT_EQ(http.SendCount(), 1u);
  const HttpRequest request = http.Requests()[0];
  EXPECT_EQ(request.url, "https://login.example.test/tenant/token");
  EXPECT_NE(request.body.find("client_secret=Client-Secret-9"), std::string::npos) << "the secret typed, sent";
  EXPECT_EQ(transcript.find("Client-Secret-9"), std::string::npos) << "and never shown";
}

TEST_F(OAuthTestMailTest, CancelEndsATokenFetchThatHangs) {
  FillOAuth();
  http.Hang();
  std::promise<void> sent;
  std::once_flag once;
  http.onSend = [&](const HttpRequest&) { std::call_once(once, [&] { sent.set_value(); }); };
  auto job = Start();
  // The fetch is under way when the cancel comes.
  ASSERT_EQ(sent.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
  ASSERT_EQ(http.SendCount(), 1u);
  const auto cancelled = std::chrono::steady_clock::now();
  job->Cancel();
  ASSERT_TRUE(job->WaitDone(3000)) << "the cancel reached the token fetch";
  EXPECT_LT(std::chrono::steady_clock::now() - cancelled, std::chrono::seconds(3));
  EXPECT_FALSE(job->Delivered());
  EXPECT_EQ(job->Result().step, TSmtpStep::Token) << job->OutcomeText();
}

}  // namespace
}  // namespace qw
