#include "auth/token_cache.h"

#include <gtest/gtest.h>

#include "auth_test_peers.h"
#include "sasl_test_util.h"

namespace qw {
namespace {

using authtest::ManualClock;
using authtest::ScriptedHttp;

std::string TokenAnswer(const std::string& token, int expiresIn) {
  return R"({"access_token":")" + token + R"(","token_type":"Bearer","expires_in":)" + std::to_string(expiresIn) +
         "}";
}

TokenSettings Settings() {
  TokenSettings settings;
  settings.tokenUrl = "https://login.example/token";
  settings.clientId = "client";
  settings.clientSecret = "secret";
  settings.scope = kMicrosoftSmtpScope;
  return settings;
}

struct CacheFixture : ::testing::Test {
  ScriptedHttp http;
  ManualClock clock;
  TokenCache cache{Settings(), http, nullptr, clock};
};

TEST_F(CacheFixture, ReusesTheTokenUntilShortlyBeforeItExpires) {
  // Each row: seconds since the first fetch at which Get is called, the
  // token expected, and the fetches made by then.
  http.Answer(200, TokenAnswer("first", 3600));
  http.Answer(200, TokenAnswer("second", 100));
  http.Answer(200, TokenAnswer("third", 3600));
  const struct {
    int64_t at;
    const char* token;
    int64_t fetches;
  } steps[] = {
      {0, "first", 1},     {1, "first", 1},      {3299, "first", 1},
      {3300, "second", 2},  // 300 s before the end: renewed
      {3300 + 79, "second", 2},
      {3300 + 80, "third", 3},  // a short lifetime keeps a fifth as margin
  };
  int64_t now = 0;
  for (const auto& step : steps) {
    clock.Advance(step.at - now);
    now = step.at;
    Result<std::string> token = cache.Get();
    ASSERT_TRUE(token) << step.at << ": " << token.status().Describe();
    EXPECT_EQ(*token, step.token) << "at " << step.at;
    EXPECT_EQ(cache.Fetches(), step.fetches) << "at " << step.at;
  }
  EXPECT_EQ(http.requests.size(), 3u);
}

TEST_F(CacheFixture, LifetimeCountsFromTheRequestNotTheAnswer) {
  // A slow answer: the clock moves while the request is out.
  struct SlowHttp : ScriptedHttp {
    ManualClock* clock;
    Result<HttpResponse> Send(const HttpRequest& request) override {
      clock->Advance(50);
      return ScriptedHttp::Send(request);
    }
  } slow;
  slow.clock = &clock;
  slow.Answer(200, TokenAnswer("t1", 400));  // margin 80 s: fresh for 320 s after the send
  slow.Answer(200, TokenAnswer("t2", 400));
  TokenCache slowCache(Settings(), slow, nullptr, clock);
  ASSERT_EQ(*slowCache.Get(), "t1");
  clock.Advance(269);  // 319 s after the send
  EXPECT_EQ(*slowCache.Get(), "t1");
  clock.Advance(1);
  EXPECT_EQ(*slowCache.Get(), "t2");
}

TEST_F(CacheFixture, ARefusedTokenIsRenewedOnceAndShared) {
  http.Answer(200, TokenAnswer("old", 3600));
  http.Answer(200, TokenAnswer("new", 3600));
  ASSERT_EQ(*cache.Get(), "old");
  // The first sender to be refused fetches; a second one refused with the
  // same old token gets the new one without another request.
  Result<std::string> renewed = cache.RenewAfterRefusal("old");
  ASSERT_TRUE(renewed) << renewed.status().Describe();
  EXPECT_EQ(*renewed, "new");
  EXPECT_EQ(*cache.RenewAfterRefusal("old"), "new");
  EXPECT_EQ(*cache.Get(), "new");
  EXPECT_EQ(cache.Fetches(), 2);
  // The new token refused too: one more fetch per refusal, never a loop.
  http.Answer(400, R"({"error":"invalid_client"})");
  Result<std::string> again = cache.RenewAfterRefusal("new");
  ASSERT_FALSE(again);
  EXPECT_EQ(again.status().Kind(), StatusKind::kRejected);
  EXPECT_EQ(cache.Fetches(), 3);
  // The refused token is not handed out again after a failed renewal.
  http.Answer(200, TokenAnswer("newest", 3600));
  EXPECT_EQ(*cache.Get(), "newest");
}

TEST_F(CacheFixture, FailuresAreStepTokenWithTheHttpClientsKind) {
  const struct {
    Status failure;
    StatusKind kind;
  } cases[] = {
      {Status::Failure("HTTP", 28, "Timeout was reached", StatusKind::kTimedOut), StatusKind::kTimedOut},
      {Status::Failure("HTTP", 0, "cancelled", StatusKind::kCancelled), StatusKind::kCancelled},
      {Status::Failure("HTTP", 7, "Couldn't connect to server"), StatusKind::kOther},
      {Status::Failure("HTTP", 60, "SSL certificate problem: unable to get local issuer certificate"),
       StatusKind::kOther},
  };
  for (const auto& c : cases) {
    http.Fail(c.failure);
    Result<std::string> token = cache.Get();
    ASSERT_FALSE(token);
    EXPECT_EQ(token.status().What(), "TOKEN");
    EXPECT_EQ(token.status().Kind(), c.kind);
    EXPECT_NE(token.status().Text().find(c.failure.Text()), std::string::npos) << token.status().Describe();
  }
  // A failure caches nothing: the next call asks again.
  http.Answer(200, TokenAnswer("late", 60));
  EXPECT_EQ(*cache.Get(), "late");
  EXPECT_EQ(cache.Fetches(), 5);
}

TEST_F(CacheFixture, MasksTheCurrentAndPreviousTokenOnly) {
  http.Answer(200, TokenAnswer("tokenAAAAAAAAAAAAAAAA", 60));
  http.Answer(200, TokenAnswer("tokenBBBBBBBBBBBBBBBB", 60));
  http.Answer(200, TokenAnswer("tokenCCCCCCCCCCCCCCCC", 60));
  ASSERT_TRUE(cache.Get());
  clock.Advance(60);
  ASSERT_TRUE(cache.Get());
  clock.Advance(60);
  ASSERT_TRUE(cache.Get());
  SecretMask mask;
  cache.AddTokensTo(mask);
  const std::string xoauth = Base64OneLine("user=u\x01" "auth=Bearer tokenCCCCCCCCCCCCCCCC\x01\x01");
  EXPECT_EQ(mask.Apply("334 tokenCCCCCCCCCCCCCCCC"), "334 ****");
  EXPECT_EQ(mask.Apply("tokenBBBBBBBBBBBBBBBB"), "****");
  // The XOAUTH2 payload, as a server could echo it, loses the token's part.
  const std::string masked = mask.Apply("535 " + xoauth);
  EXPECT_NE(masked.find("****"), std::string::npos) << masked;
  EXPECT_EQ(authtest::FromBase64(masked.substr(4)).find("CCCCCCCC"), std::string::npos) << masked;
  EXPECT_EQ(mask.Apply("tokenAAAAAAAAAAAAAAAA"), "tokenAAAAAAAAAAAAAAAA");
  cache.Clear();
  SecretMask empty;
  cache.AddTokensTo(empty);
  EXPECT_TRUE(empty.Empty());
}

TEST_F(CacheFixture, CancelReachesTheHttpClient) {
  cache.Cancel();
  EXPECT_TRUE(http.cancelled);
}

}  // namespace
}  // namespace qw
