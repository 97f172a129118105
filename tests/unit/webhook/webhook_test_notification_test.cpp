// The test notification of one target: the body it posts for each kind, the
// line a person reads for each way the attempt can end (the URL's secret
// part never in it), and a stop ending a server that never answers.
#include "service/webhook_test.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <thread>

#include "common/json.h"
#include "platform/text_codec.h"
#include "tests/fakes/fake_http_client.h"
#include "tests/fakes/fake_platform.h"

namespace qw {
namespace {

using test::FakeSystemInfo;

WebhookSender::ClientFactory Forwarding(FakeHttpClient& fake) {
  struct Forward : HttpClient {
    explicit Forward(FakeHttpClient& to) : to_(to) {}
    Result<HttpResponse> Send(const HttpRequest& request) override { return to_.Send(request); }
    void Cancel() override { to_.Cancel(); }
    FakeHttpClient& to_;
  };
  return [&fake] { return std::make_unique<Forward>(fake); };
}

WebhookTarget Target(WebhookKind kind) {
  WebhookTarget target;
  target.section = "WEBHOOK3";
  target.kind = kind;
  target.url = "https://hooks.example.com:8443/services/T0123456/B0987654/Zsecret0token1value";
  if (kind == WebhookKind::kJson) target.headers.emplace_back("Authorization", "Bearer tok3n-0f-the-b0t");
  return target;
}

// Every string of a document, one a line.
std::string Strings(const JsonValue& value) {
  std::string out;
  if (value.IsString()) out += value.Text() + "\n";
  for (const JsonValue& item : value.Items()) out += Strings(item);
  for (const auto& member : value.Members()) out += Strings(member.second);
  return out;
}

TEST(TestNotification, EachKindPostsTheTestNoticeNamingTheComputer) {
  FakeSystemInfo info;
  info.computerName = "SV\"01\\受付";
  for (WebhookKind kind : {WebhookKind::kTeams, WebhookKind::kSlack, WebhookKind::kJson}) {
    FakeHttpClient fake;
    fake.Answer(200, "1");
    WebhookSender sender(Forwarding(fake));
    const TestNotificationResult sent = SendTestNotification(Target(kind), info, sender, 5000);
    ASSERT_TRUE(sent.Delivered()) << sent.text;
    ASSERT_EQ(fake.Requests().size(), 1u);
    const HttpRequest request = fake.Requests()[0];
    EXPECT_EQ(request.url, Target(kind).url);
    EXPECT_EQ(request.timeoutMs, 5000);
    const Result<JsonValue> body = ParseJson(request.body);
    ASSERT_TRUE(body) << request.body;
    // The computer's name comes back whole, as UTF-8, wherever the kind
    // puts it.
    EXPECT_NE(Strings(*body).find(SjisToUtf8(info.computerName)), std::string::npos)
        << WebhookKindName(kind) << ": " << request.body;
    if (kind == WebhookKind::kJson) {
      EXPECT_EQ(body->FindString("kind").value_or(""), "test");
      ASSERT_NE(body->Find("drives"), nullptr);
      EXPECT_TRUE(body->Find("drives")->Items().empty());
      EXPECT_EQ(request.headers.back().second, "Bearer tok3n-0f-the-b0t");
    }
    EXPECT_EQ(sent.text, std::string("WEBHOOK3 (") + WebhookKindName(kind) +
                             ") https://hooks.example.com:8443: 送信しました (HTTP 200)");
  }
}

TEST(TestNotification, EachFailureIsSaidWithItsStepAndAnswerAndNoSecret) {
  FakeSystemInfo info;
  const WebhookTarget target = Target(WebhookKind::kJson);
  const struct {
    const char* name;
    std::function<void(FakeHttpClient&)> script;
    const char* expected;  // what follows "WEBHOOK3 (JSON) https://hooks.example.com:8443: "
  } cases[] = {
      {"404", [](FakeHttpClient& f) { f.Answer(404, "no such hook\nsecond line", "text/plain"); },
       "送信できませんでした: HTTP 404: no such hook"},
      {"500", [](FakeHttpClient& f) { f.Answer(500, "", "text/plain"); }, "送信できませんでした: HTTP 500"},
      {"redirect", [](FakeHttpClient& f) { f.Answer(302, "", "text/plain"); },
       "送信できませんでした: HTTP 302: リダイレクトには従いません"},
      // A server that echoes the path and the token gets them masked.
      {"echo",
       [](FakeHttpClient& f) {
         f.Answer(400, "bad hook /services/T0123456/B0987654/Zsecret0token1value for Bearer tok3n-0f-the-b0t",
                  "text/plain");
       },
       "送信できませんでした: HTTP 400: bad hook ****"},
      {"deadline",
       [](FakeHttpClient& f) { f.Fail(Status::Failure("HTTP", 0, "no answer within 5 s", StatusKind::kTimedOut)); },
       "送信できませんでした: HTTP: "},
  };
  for (const auto& c : cases) {
    FakeHttpClient fake;
    c.script(fake);
    WebhookSender sender(Forwarding(fake));
    const TestNotificationResult sent = SendTestNotification(target, info, sender, 5000);
    EXPECT_FALSE(sent.Delivered()) << c.name;
    const std::string head = "WEBHOOK3 (JSON) https://hooks.example.com:8443: ";
    EXPECT_EQ(sent.text.substr(0, head.size()), head) << c.name;
    EXPECT_EQ(sent.text.substr(std::min(head.size(), sent.text.size())).substr(0, std::strlen(c.expected)),
              c.expected)
        << c.name << ": " << sent.text;
    for (const char* secret : {"Zsecret0token1value", "B0987654", "tok3n-0f-the-b0t"})
      EXPECT_EQ(sent.text.find(secret), std::string::npos) << c.name << ": " << sent.text;
  }
}

TEST(TestNotification, ACancelEndsAServerThatNeverAnswers) {
  FakeSystemInfo info;
  FakeHttpClient fake;
  fake.Hang();
  std::promise<void> underWay;
  fake.onSend = [&underWay](const HttpRequest&) { underWay.set_value(); };
  WebhookSender sender(Forwarding(fake));
  const auto start = std::chrono::steady_clock::now();
  auto done = std::async(std::launch::async, [&] {
    return SendTestNotification(Target(WebhookKind::kTeams), info, sender, 60000);
  });
  underWay.get_future().wait();
  sender.Cancel();
  ASSERT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  const TestNotificationResult sent = done.get();
  EXPECT_FALSE(sent.Delivered());
  EXPECT_TRUE(sent.result.cancelled);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

}  // namespace
}  // namespace qw
