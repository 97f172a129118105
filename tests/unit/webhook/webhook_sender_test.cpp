// One webhook attempt: what each answer or failure means for the alert, the
// request as it leaves, Retry-After as servers write it, a stop ending a
// server that never answers, and entries that never quote the URL's secret.
#include "service/webhook_sender.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <mutex>
#include <thread>

#include "tests/fakes/fake_http_client.h"

namespace qw {
namespace {

using Outcome = WebhookResult::Outcome;

// Hands out clients that forward to one fake, so a test scripts and reads it.
WebhookSender::ClientFactory Forwarding(FakeHttpClient& fake) {
  struct Forward : HttpClient {
    explicit Forward(FakeHttpClient& to) : to_(to) {}
    Result<HttpResponse> Send(const HttpRequest& request) override { return to_.Send(request); }
    void Cancel() override { to_.Cancel(); }
    FakeHttpClient& to_;
  };
  return [&fake] { return std::make_unique<Forward>(fake); };
}

HttpResponse Answer(int status, const std::string& body, const std::string& retryAfter = "") {
  HttpResponse response;
  response.status = status;
  response.body = body;
  response.retryAfter = retryAfter;
  return response;
}

TEST(WebhookSender, EachAnswerMeansWhatTheProtocolSays) {
  const struct {
    int status;
    Outcome outcome;
  } cases[] = {
      {200, Outcome::kDelivered}, {202, Outcome::kDelivered}, {204, Outcome::kDelivered},
      {301, Outcome::kFinal},     {302, Outcome::kFinal},     {307, Outcome::kFinal},
      {400, Outcome::kFinal},     {401, Outcome::kFinal},     {403, Outcome::kFinal},
      {404, Outcome::kFinal},     {410, Outcome::kFinal},     {413, Outcome::kFinal},
      {408, Outcome::kRetry},     {429, Outcome::kRetry},     {500, Outcome::kRetry},
      {502, Outcome::kRetry},     {503, Outcome::kRetry},     {504, Outcome::kRetry},
  };
  for (const auto& c : cases) {
    const WebhookResult result = JudgeWebhookAnswer(Answer(c.status, "first line\r\nsecond line"), 0);
    EXPECT_EQ(result.outcome, c.outcome) << c.status;
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.step, "HTTP");
    EXPECT_EQ(result.reason.find("second"), std::string::npos) << result.reason;
  }
  // No answer: tried again, at the step it failed in.
  struct FailureCase {
    Status failure;
    const char* step;
    bool cancelled;
  };
  const FailureCase failures[] = {
#ifdef _WIN32
      {Status::Failure("HTTP", 12029, "接続できません"), "CONNECT", false},
      {Status::Failure("HTTP", 12007, "ホスト名を解決できません"), "CONNECT", false},
      {Status::Failure("HTTP", 12175, "TLS"), "TLS", false},
      {Status::Failure("HTTP", 0x800B0109, "untrusted root"), "TLS", false},
#else
      {Status::Failure("HTTP", 7, "接続できません"), "CONNECT", false},
      {Status::Failure("HTTP", 6, "ホスト名を解決できません"), "CONNECT", false},
      {Status::Failure("HTTP", 60, "証明書"), "TLS", false},
      {Status::Failure("HTTP", 35, "TLS"), "TLS", false},
#endif
      {Status::Failure("HTTP", 28, "時間切れ", StatusKind::kTimedOut), "HTTP", false},
      {Status::Failure("HTTP", 0, "取り消し", StatusKind::kCancelled), "HTTP", true},
  };
  for (const FailureCase& c : failures) {
    const WebhookResult result = JudgeWebhookAnswer(Result<HttpResponse>(c.failure), 0);
    EXPECT_EQ(result.outcome, Outcome::kRetry) << c.failure.Describe();
    EXPECT_EQ(result.step, c.step) << c.failure.Describe();
    EXPECT_EQ(result.cancelled, c.cancelled);
    EXPECT_EQ(result.reason, c.failure.Text());
  }
}

TEST(WebhookSender, RetryAfterAsServersWriteIt) {
  // 2015-10-21T07:28:00Z
  const int64_t now = 1445412480;
  const struct {
    const char* value;
    int64_t ms;
  } cases[] = {
      {"120", 120000},
      {" 5 ", 5000},
      {"0", 0},
      {"99999999999", 86400000},
      {"86401", 86400000},
      {"Wed, 21 Oct 2015 07:28:30 GMT", 30000},
      {"Wed, 21 Oct 2015 07:27:00 GMT", 0},
      {"Thu, 22 Oct 2015 09:00:00 GMT", 86400000},
      {"-5", -1},
      {"1.5", -1},
      {"soon", -1},
      {"Wed, 21 Oct 2015 07:28:30 UTC", -1},
      {"", -1},
  };
  for (const auto& c : cases) EXPECT_EQ(RetryAfterMs(c.value, now), c.ms) << "'" << c.value << "'";
  // Only where it means "come back later".
  EXPECT_EQ(JudgeWebhookAnswer(Answer(429, "", "7"), now).retryAfterMs, 7000);
  EXPECT_EQ(JudgeWebhookAnswer(Answer(503, "", "8"), now).retryAfterMs, 8000);
  EXPECT_EQ(JudgeWebhookAnswer(Answer(429, ""), now).retryAfterMs, -1);
}

TEST(WebhookSender, TheRequestAsItLeaves) {
  FakeHttpClient fake;
  WebhookSender sender(Forwarding(fake));
  WebhookTarget target;
  target.section = "WEBHOOK3";
  target.kind = WebhookKind::kJson;
  target.url = "https://hooks.example/in/abcdef123456";
  target.headers = {{"Authorization", "Bearer tok-123456"}, {"X-Team", "ops"}};
  target.proxy = "proxy.example:3128";
  fake.Answer(204, "");
  const WebhookResult result = sender.Send(target, "{\"a\":\"\xE6\x97\xA5\"}", 12000);
  EXPECT_TRUE(result.Delivered());
  ASSERT_EQ(fake.Requests().size(), 1u);
  const HttpRequest request = fake.Requests()[0];
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.url, target.url);
  EXPECT_EQ(request.body, "{\"a\":\"\xE6\x97\xA5\"}");
  EXPECT_EQ(request.proxy, "proxy.example:3128");
  EXPECT_EQ(request.timeoutMs, 12000);
  ASSERT_EQ(request.headers.size(), 3u);
  EXPECT_EQ(request.headers[0].first, "Content-Type");
  EXPECT_EQ(request.headers[0].second, "application/json; charset=utf-8");
  EXPECT_EQ(request.headers[1], target.headers[0]);
  EXPECT_EQ(request.headers[2], target.headers[1]);
}

TEST(WebhookSender, AStopEndsAServerThatNeverAnswers) {
  FakeHttpClient fake;
  WebhookSender sender(Forwarding(fake));
  WebhookTarget target;
  target.section = "WEBHOOK1";
  target.url = "https://hooks.example/x";
  fake.Hang();
  // The stop comes once the request is under way.
  std::promise<void> sent;
  std::once_flag once;
  fake.onSend = [&](const HttpRequest&) { std::call_once(once, [&] { sent.set_value(); }); };
  std::thread stopper([&sender, under = sent.get_future()] {
    under.wait();
    sender.Cancel();
  });
  const auto began = std::chrono::steady_clock::now();
  const WebhookResult result = sender.Send(target, "{}", 60000);
  const auto took = std::chrono::steady_clock::now() - began;
  stopper.join();
  fake.onSend = nullptr;
  EXPECT_TRUE(result.cancelled);
  EXPECT_EQ(result.outcome, Outcome::kRetry);
  EXPECT_LT(took, std::chrono::seconds(5));
  // Cancelled stays cancelled until a new start.
  EXPECT_TRUE(sender.Send(target, "{}", 60000).cancelled);
  sender.Reset();
}

TEST(WebhookSender, TheEntryNamesTargetStepAndStatusButNoSecret) {
  WebhookTarget target;
  target.section = "WEBHOOK2";
  target.kind = WebhookKind::kSlack;
  target.url = "https://hooks.example/services/T0AAA/B0BBB/XyZsecretPath1?sig=Sig-Secret-99";
  target.headers = {{"Authorization", "Bearer header-secret-77"}};
  // A server that quotes what it was sent.
  WebhookResult result = JudgeWebhookAnswer(
      Answer(404, "no hook /services/T0AAA/B0BBB/XyZsecretPath1?sig=Sig-Secret-99 for Bearer header-secret-77\n"
                  "more"),
      0);
  result.reason = WebhookMask(target).Apply(result.reason);
  const std::string entry = WebhookFailureEntry(target, result, false, "サーバーが拒否したため再送しません。");
  for (const char* secret : {"XyZsecretPath1", "Sig-Secret-99", "header-secret-77", "B0BBB/XyZ"})
    EXPECT_EQ(entry.find(secret), std::string::npos) << secret << " in " << entry;
  for (const char* said : {"WEBHOOK2", "SLACK", "HTTP 404", "no hook", "再送しません"})
    EXPECT_NE(entry.find(said), std::string::npos) << said << " not in " << entry;
  EXPECT_EQ(entry.find("more"), std::string::npos);

#ifdef _WIN32
  const int64_t connectCode = 12029;  // ERROR_WINHTTP_CANNOT_CONNECT
#else
  const int64_t connectCode = 7;  // CURLE_COULDNT_CONNECT
#endif
  WebhookResult failed =
      JudgeWebhookAnswer(Result<HttpResponse>(Status::Failure("HTTP", connectCode, "接続できません")), 0);
  EXPECT_NE(WebhookFailureEntry(target, failed, true, "").find("CONNECT"), std::string::npos);
  EXPECT_EQ(WebhookFailureEntry(target, JudgeWebhookAnswer(Answer(200, ""), 0), false, ""), "");
}

}  // namespace
}  // namespace qw
