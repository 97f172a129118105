// The mail's OAuth 2.0 login around each attempt: one token for many
// attempts, one renewal when the server refuses it, the token endpoint's
// failures as the TOKEN step (final only for a refused client), and a stop
// that ends a fetch in progress.
#include "mail/mail_token.h"

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "service/alert_policy.h"
#include "tests/fakes/fake_http_client.h"

namespace qw {
namespace {

// Hands every request to one scripted client (the login makes a client per
// request).
class Forward : public HttpClient {
 public:
  explicit Forward(FakeHttpClient& to) : to_(to) {}
  Result<HttpResponse> Send(const HttpRequest& request) override { return to_.Send(request); }
  void Cancel() override { to_.Cancel(); }

 private:
  FakeHttpClient& to_;
};

std::string TokenJson(const std::string& token) {
  return R"({"access_token":")" + token + R"(","token_type":"Bearer","expires_in":3600})";
}

TTestMailSettings OAuthMail() {
  TTestMailSettings settings;
  settings.host = "smtp.example.jp";
  settings.user = "alerts@example.jp";
  settings.timeOut = 10;
  settings.deadline = 30;
  settings.oauth.auth = MailAuth::OAuth2;
  settings.oauth.credential = OAuthCredential::ClientSecret;
  settings.oauth.tokenUrl = "https://login.example.jp/t/oauth2/v2.0/token";
  settings.oauth.scope = "https://outlook.office365.com/.default";
  settings.oauth.clientId = "app";
  settings.oauth.clientSecret = "s3cr+t";
  return settings;
}

TDeliveryResult Delivered() { return TDeliveryResult{}; }
TDeliveryResult AuthRefused() { return TDeliveryResult::FailedAt(TSmtpStep::Auth, 535, "535 5.7.3 Authentication unsuccessful"); }

// Runs Deliver with attempts that answer from a script and note the token
// each was given.
struct Harness {
  FakeHttpClient http;
  FakeHttpClient* target = &http;  // where the next request goes
  MailLogin login{[this] { return std::make_unique<Forward>(*target); }};
  TSMTPClient client{"smtpClient"};
  std::deque<TDeliveryResult> outcomes;
  std::vector<std::string> tokensSeen;
  std::vector<std::string> notes;

  TDeliveryResult Deliver(const TTestMailSettings& settings) {
    return login.Deliver(
        client, settings,
        [this](const TTestMailSettings&) {
          tokensSeen.push_back(client.BearerToken);
          TDeliveryResult result = outcomes.empty() ? Delivered() : outcomes.front();
          if (!outcomes.empty()) outcomes.pop_front();
          return result;
        },
        [this](const std::string& line) { notes.push_back(line); });
  }
};

TEST(MailLogin, OneTokenForManyAttemptsAndOneRenewalAfterARefusal) {
  Harness h;
  const TTestMailSettings settings = OAuthMail();
  h.http.Answer(200, TokenJson("tok1"));
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(h.Deliver(settings).Delivered());
  EXPECT_EQ(h.http.SendCount(), 1u) << "three alerts, one token request";
  EXPECT_EQ(h.tokensSeen, (std::vector<std::string>{"tok1", "tok1", "tok1"}));
  ASSERT_EQ(h.http.Requests().size(), 1u);
  EXPECT_NE(h.http.Requests()[0].body.find("client_secret=s3cr%2Bt"), std::string::npos);

  // Refused (revoked): one fresh token and one more try in the same attempt.
  h.tokensSeen.clear();
  h.http.Answer(200, TokenJson("tok2"));
  h.outcomes = {AuthRefused(), Delivered()};
  EXPECT_TRUE(h.Deliver(settings).Delivered());
  EXPECT_EQ(h.tokensSeen, (std::vector<std::string>{"tok1", "tok2"}));
  EXPECT_EQ(h.http.SendCount(), 2u);

  // Refused again with the fresh one: the AUTH failure, no third try.
  h.tokensSeen.clear();
  h.http.Answer(200, TokenJson("tok3"));
  h.outcomes = {AuthRefused(), AuthRefused(), Delivered()};
  const TDeliveryResult refused = h.Deliver(settings);
  EXPECT_EQ(refused.step, TSmtpStep::Auth);
  EXPECT_EQ(refused.status.Code(), 535);
  EXPECT_EQ(h.tokensSeen, (std::vector<std::string>{"tok2", "tok3"}));

  // Other settings: the old token is not used for them.
  TTestMailSettings other = settings;
  other.oauth.scope = "https://outlook.office365.com/SMTP.Send";
  h.tokensSeen.clear();
  h.outcomes.clear();
  h.http.Answer(200, TokenJson("tok4"));
  EXPECT_TRUE(h.Deliver(other).Delivered());
  EXPECT_EQ(h.tokensSeen, (std::vector<std::string>{"tok4"}));

  // A password login fetches nothing and sends no token.
  TTestMailSettings password = settings;
  password.oauth = OAuthSettings();
  h.tokensSeen.clear();
  const size_t before = h.http.SendCount();
  EXPECT_TRUE(h.Deliver(password).Delivered());
  EXPECT_EQ(h.tokensSeen, (std::vector<std::string>{""}));
  EXPECT_EQ(h.http.SendCount(), before);
}

// The service reads the settings anew when the file changes, and it changes
// the file itself when it protects a clear CLIENTSECRET: what only says how
// the file holds the secret keeps the token; what the request is made of
// fetches a new one.
TEST(MailLogin, TheTokenStaysForTheSameRequestWhateverTheFileHoldsTheSecretAs) {
  struct Case {
    const char* name;
    void (*change)(TTestMailSettings&);
    bool fetches;
  };
  const Case cases[] = {
      {"clear secret, to be protected",
       [](TTestMailSettings& s) {
         s.oauth.clientSecretInFile = true;
         s.oauth.protectedClientSecret = "dpapi:AQAAANCMnd8BFdERjHoAwE";
       },
       false},
      {"secret that could not be protected",
       [](TTestMailSettings& s) { s.oauth.protectFailure = "CryptProtectData: access denied"; }, false},
      {"another secret", [](TTestMailSettings& s) { s.oauth.clientSecret = "other"; }, true},
      {"another client", [](TTestMailSettings& s) { s.oauth.clientId = "app2"; }, true},
      {"another URL", [](TTestMailSettings& s) { s.oauth.tokenUrl = "https://login.example.jp/u/token"; }, true},
      {"another proxy", [](TTestMailSettings& s) { s.oauth.proxy = "proxy.example.jp:8080"; }, true},
      {"another mailbox", [](TTestMailSettings& s) { s.user = "other@example.jp"; }, true},
  };
  for (const Case& c : cases) {
    Harness h;
    TTestMailSettings before = OAuthMail();
    before.oauth.clientSecretInFile = true;  // protected in the file, read in clear
    h.http.Answer(200, TokenJson("tok1"));
    h.http.Answer(200, TokenJson("tok2"));
    EXPECT_TRUE(h.Deliver(before).Delivered()) << c.name;
    TTestMailSettings after = before;
    c.change(after);
    EXPECT_TRUE(h.Deliver(after).Delivered()) << c.name;
    EXPECT_EQ(h.http.SendCount(), c.fetches ? 2u : 1u) << c.name;
    EXPECT_EQ(h.tokensSeen.back(), c.fetches ? "tok2" : "tok1") << c.name;
  }
}

TEST(MailLogin, TokenFailuresAreTheTokenStepAndOnlyARefusedClientIsFinal) {
  struct Case {
    const char* name;
    int status;  // 0: a failure of the connection
    const char* body;
    bool final;
    const char* says;
  };
  const Case cases[] = {
      {"wrong secret", 401,
       R"({"error":"invalid_client","error_description":"AADSTS7000215: Invalid client secret provided.\r\nTrace ID: x"})",
       true, "invalid_client: AADSTS7000215: Invalid client secret provided."},
      {"no grant", 400, R"({"error":"unauthorized_client","error_description":"not allowed"})", true,
       "unauthorized_client"},
      {"unknown tenant or URL", 404, "<html>Not Found</html>", false, "404"},
      {"endpoint failing", 503, R"({"error":"temporarily_unavailable"})", false, "temporarily_unavailable"},
      {"endpoint down", 0, "", false, "connection refused"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h;
    if (c.status == 0)
      h.http.Fail(Status::Failure("HTTP", 111, "connection refused"));
    else
      h.http.Answer(c.status, c.body);
    const TDeliveryResult result = h.Deliver(OAuthMail());
    EXPECT_TRUE(h.tokensSeen.empty()) << "no SMTP conversation without a token";
    EXPECT_EQ(result.step, TSmtpStep::Token);
    EXPECT_EQ(result.status.What(), "TOKEN");
    EXPECT_NE(result.status.Text().find(c.says), std::string::npos) << result.status.Text();
    EXPECT_EQ(result.status.Text().find("Trace ID"), std::string::npos) << "the first line only";
    EXPECT_EQ(IsFinalRefusal(result), c.final) << result.status.Describe();
    ASSERT_EQ(h.notes.size(), 1u);
    EXPECT_EQ(h.notes[0].rfind("TOKEN https://login.example.jp/", 0), 0u) << h.notes[0];
  }
}

TEST(MailLogin, AStopEndsAFetchInProgressUntilResume) {
  Harness h;
  h.http.Hang();
  // The stop comes once the token request is under way.
  std::promise<void> sent;
  std::once_flag once;
  h.http.onSend = [&](const HttpRequest&) { std::call_once(once, [&] { sent.set_value(); }); };
  std::thread stopper([&h, under = sent.get_future()] {
    under.wait();
    h.login.Cancel();
  });
  const auto began = std::chrono::steady_clock::now();
  const TDeliveryResult result = h.Deliver(OAuthMail());
  const auto took = std::chrono::steady_clock::now() - began;
  stopper.join();
  h.http.onSend = nullptr;
  EXPECT_EQ(result.step, TSmtpStep::Token);
  EXPECT_EQ(result.status.Kind(), StatusKind::kCancelled) << result.status.Describe();
  EXPECT_FALSE(IsFinalRefusal(result)) << "a stopped mail waits for the next run";
  EXPECT_LT(took, std::chrono::seconds(5));
  // Later fetches stay cancelled until the stop is over.
  EXPECT_EQ(h.Deliver(OAuthMail()).status.Kind(), StatusKind::kCancelled);
  // After the stop a new client takes the request (a cancelled one would
  // stay cancelled).
  FakeHttpClient fresh;
  fresh.Answer(200, TokenJson("tok1"));
  h.target = &fresh;
  h.login.Resume();
  EXPECT_TRUE(h.Deliver(OAuthMail()).Delivered());
  EXPECT_EQ(h.tokensSeen, (std::vector<std::string>{"tok1"}));
}

}  // namespace
}  // namespace qw
