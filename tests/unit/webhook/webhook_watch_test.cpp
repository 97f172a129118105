// The webhook targets as channels of the watch beside the mail: the same
// alerts from the same checks (RECOVERYMAIL and REMIND for every channel,
// mail on or off), one failing channel holding no other, final refusals,
// Retry-After, and a pending alert that outlives a restart byte for byte.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "common/fill_forecast.h"
#include "common/json.h"
#include "platform/text_codec.h"
#include "service/drivewarden.h"
#include "tests/fakes/fake_http_client.h"
#include "tests/fakes/fake_message_loop.h"
#include "tests/fakes/fake_platform.h"

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
constexpr int64_t kLow = 1 * kMiB;
constexpr int64_t kHigh = 50 * kMiB;

const char kUrl1[] = "https://hooks.example/one/Secret111aaa";
const char kUrl2[] = "https://hooks.example/two/Secret222bbb";

// Each URL's fake server; clients made by the watch route to them.
struct Servers {
  std::map<std::string, FakeHttpClient> byUrl;
  std::function<std::unique_ptr<HttpClient>()> Factory() {
    struct Router : HttpClient {
      explicit Router(Servers& servers) : servers_(servers) {}
      Result<HttpResponse> Send(const HttpRequest& request) override {
        return servers_.byUrl[request.url].Send(request);
      }
      void Cancel() override {
        for (auto& [url, fake] : servers_.byUrl) fake.Cancel();
      }
      Servers& servers_;
    };
    return [this] { return std::make_unique<Router>(*this); };
  }
};

// "A" for an alert or reminder, "R" for a recovery notice, of a body of
// either kind.
std::string KindOf(const HttpRequest& request) {
  const Result<JsonValue> body = ParseJson(request.body, JsonLimits{1 << 20, 32});
  if (!body) return "?";
  if (const auto kind = body->FindString("kind")) return *kind == "recovery" ? "R" : "A";
  return request.body.find("\xE5\x9B\x9E\xE5\xBE\xA9") != std::string::npos ? "R" : "A";  // "回復" in UTF-8
}

class WebhookWatch : public ::testing::Test {
 protected:
  WebhookWatch() {
    dir = (fs::temp_directory_path() / ("qw_webhook_" + std::to_string(getpid()))).string();
    fs::remove_all(dir);
    fs::create_directories(dir);
    drives.drives['C'] = {kDriveFixed, kLow, 1000 * kMiB, true, nullptr};
  }
  ~WebhookWatch() override {
    service.reset();
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }
  void Settings(const std::string& warning) {
    profiles.SetFile("Drivewarden.ini",
                     "[WARNING]\r\nINTERVAL=1\r\n" + warning +
                         "[DRIVE]\r\nC=10MB\r\n[MAIL]\r\nSMTP=mx\r\nMAILTO=a@b.jp\r\n"
                         "[WEBHOOK1]\r\nKIND=JSON\r\nURL=" + kUrl1 + "\r\n"
                         "[WEBHOOK2]\r\nKIND=SLACK\r\nURL=" + kUrl2 + "\r\n",
                     0x58A00000 + ++version);
  }
  void NewService() {
    WatchOptions options;
    options.sendAlert = [this](const std::string& report) {
      mails.push_back(report.find("回復しました") != std::string::npos ? "R" : "A");
      TDeliveryResult result;
      if (mailFails) result.status = Status::Failure("CONNECT", 0, "refused");
      else result.acceptedReply = "250 ok";
      return result;
    };
    options.httpClient = servers.Factory();
    service = std::make_unique<TDrivewarden>(ServicePlatform{profiles, drives, system, log}, loop.CreateTimer(),
                                             loop.CreateTimer(), std::move(options));
    service->SetWebhookRetryTimer(loop.CreateTimer());
    service->SetStateFolder(dir);
  }
  std::string Sent(const char* url, size_t from) {
    const std::vector<HttpRequest> requests = servers.byUrl[url].Requests();
    return requests.size() > from ? KindOf(requests[from]) : "-";
  }
  std::string StateText() {
    std::ifstream in(fs::path(dir) / "status.ini", std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  std::string Entries() {
    std::string all;
    for (const auto& entry : log.entries) all += entry.text + "\n";
    return all;
  }

  test::FakeProfiles profiles;
  test::FakeDrives drives;
  test::FakeSystemInfo system;
  test::FakeEventLog log;
  FakeMessageLoop loop;
  Servers servers;
  std::unique_ptr<TDrivewarden> service;
  std::vector<std::string> mails;
  bool mailFails = false;
  int version = 0;
  std::string dir;
};

TEST_F(WebhookWatch, EveryChannelFollowsRemindAndRecoveryMailOnOrOff) {
  struct Step {
    int hour;
    int64_t free;
    const char* expected;  // "-" nothing, "A" alert, "R" recovery: for every channel
  };
  const struct {
    const char* warning;
    std::vector<Step> steps;
  } scenarios[] = {
      {"", {{0, kLow, "A"}, {1, kLow, "A"}, {2, kHigh, "-"}, {3, kLow, "A"}}},
      {"REMIND=6\r\n", {{0, kLow, "A"}, {1, kLow, "-"}, {5, kLow, "-"}, {6, kLow, "A"}, {7, kLow, "-"}}},
      {"RECOVERYMAIL=1\r\nREMIND=24\r\n",
       {{0, kLow, "A"}, {1, kHigh, "R"}, {2, kHigh, "-"}, {3, kLow, "A"}, {4, kLow, "-"}, {5, kHigh, "R"}}},
  };
  for (const char* mailSwitch : {"ISMAILSEND=1\r\n", "ISMAILSEND=0\r\n"}) {
    const bool mailOn = std::string(mailSwitch) == "ISMAILSEND=1\r\n";
    for (const auto& scenario : scenarios) {
      fs::remove_all(dir);
      fs::create_directories(dir);
      servers.byUrl.clear();
      service.reset();
      Settings(std::string(mailSwitch) + scenario.warning);
      for (size_t i = 0; i < scenario.steps.size(); ++i) {
        const Step& step = scenario.steps[i];
        system.now = {2024, 5, 6 + step.hour / 24, 1, step.hour % 24, 0, 0, 0};
        drives.drives['C'] = {kDriveFixed, step.free, 1000 * kMiB, true, nullptr};
        mails.clear();
        servers.byUrl[kUrl1].Answer(200, "ok");
        servers.byUrl[kUrl2].Answer(200, "ok");
        const size_t before1 = servers.byUrl[kUrl1].Requests().size();
        const size_t before2 = servers.byUrl[kUrl2].Requests().size();
        if (i == 0) {
          NewService();
          service->ServiceStart();
        } else {
          service->tmCheckTimer(nullptr);
        }
        const std::string where = std::string(scenario.warning) + mailSwitch + " hour " + std::to_string(step.hour);
        EXPECT_EQ(mails.empty() ? "-" : mails.front(), mailOn ? step.expected : "-") << "mail, " << where;
        EXPECT_EQ(Sent(kUrl1, before1), step.expected) << "WEBHOOK1, " << where;
        EXPECT_EQ(Sent(kUrl2, before2), step.expected) << "WEBHOOK2, " << where;
        // Nothing unasked: one body per channel and step at most.
        EXPECT_LE(servers.byUrl[kUrl1].Requests().size(), before1 + 1);
      }
      service.reset();
    }
  }
}

TEST_F(WebhookWatch, OneFailingChannelHoldsNoOther) {
  Settings("ISMAILSEND=1\r\n");
  mailFails = true;
  servers.byUrl[kUrl1].Answer(200, "ok");
  servers.byUrl[kUrl2].Answer(500, "upstream down\r\nstack trace");
  NewService();
  service->ServiceStart();
  EXPECT_EQ(servers.byUrl[kUrl1].SendCount(), 1u);
  EXPECT_EQ(servers.byUrl[kUrl2].SendCount(), 1u);
  EXPECT_TRUE(service->HasPendingAlert());  // the mail waits for its own retry
  EXPECT_TRUE(service->tmWebhook().Enabled());
  // The first retry delay, counted from the attempt.
  EXPECT_LE(service->tmWebhook().Interval(), 5 * 60 * 1000);
  EXPECT_GT(service->tmWebhook().Interval(), 5 * 60 * 1000 - 10000);
  const std::string entries = Entries();
  EXPECT_NE(entries.find("WEBHOOK2 (SLACK)"), std::string::npos) << entries;
  EXPECT_NE(entries.find("HTTP 500: upstream down"), std::string::npos) << entries;
  EXPECT_EQ(entries.find("stack trace"), std::string::npos) << entries;
  EXPECT_EQ(entries.find("WEBHOOK1"), std::string::npos) << entries;
  std::string state = StateText();
  EXPECT_NE(state.find("[CHANNEL.WEBHOOK1]\r\nATTEMPTED=1\r\nDELIVERED=1"), std::string::npos) << state;
  EXPECT_NE(state.find("[CHANNEL.WEBHOOK2]\r\nATTEMPTED=1\r\nDELIVERED=0"), std::string::npos) << state;
  EXPECT_NE(state.find("PENDINGKIND=alert"), std::string::npos) << state;

  // The webhook retry: WEBHOOK2 alone goes again, and gets through.
  servers.byUrl[kUrl2].Answer(200, "ok");
  service->tmWebhookTimer(nullptr);
  EXPECT_EQ(servers.byUrl[kUrl1].SendCount(), 1u);
  EXPECT_EQ(servers.byUrl[kUrl2].SendCount(), 2u);
  EXPECT_EQ(servers.byUrl[kUrl2].Requests()[0].body, servers.byUrl[kUrl2].Requests()[1].body);
  EXPECT_FALSE(service->tmWebhook().Enabled());
  EXPECT_TRUE(service->HasPendingAlert());  // the mail still waits
  EXPECT_NE(Entries().find("通知先 WEBHOOK2 に警告を遅れて送信しました"), std::string::npos) << Entries();
  state = StateText();
  EXPECT_NE(state.find("[CHANNEL.WEBHOOK2]\r\nATTEMPTED=1\r\nDELIVERED=1"), std::string::npos) << state;
  EXPECT_EQ(state.find("PENDINGKIND"), std::string::npos) << state;
  // The [MAIL] and [PENDINGALERT] sections are the mail's, as before.
  EXPECT_NE(state.find("[PENDINGALERT]"), std::string::npos) << state;
  for (const char* secret : {"Secret111aaa", "Secret222bbb"}) {
    EXPECT_EQ(Entries().find(secret), std::string::npos) << secret;
    EXPECT_EQ(state.find(secret), std::string::npos) << secret;
  }
}

TEST_F(WebhookWatch, ASilentTargetHoldsNoOtherBeyondTheDeadline) {
  Settings("ISMAILSEND=1\r\n");
  servers.byUrl[kUrl1].Hang();
  servers.byUrl[kUrl2].Answer(200, "ok");
  std::chrono::steady_clock::time_point reached{};
  servers.byUrl[kUrl2].onSend = [&reached](const HttpRequest&) { reached = std::chrono::steady_clock::now(); };
  NewService();
  service->SetMailTimeOuts(5, 2);  // the deadline every attempt keeps
  const auto began = std::chrono::steady_clock::now();
  service->ServiceStart();
  const auto took = std::chrono::steady_clock::now() - began;
  // WEBHOOK2 and the mail went while WEBHOOK1 said nothing; the check ended
  // at the deadline, not later.
  EXPECT_LT(reached - began, std::chrono::milliseconds(1500));
  EXPECT_EQ(mails.size(), 1u);
  EXPECT_GE(took, std::chrono::milliseconds(1900));
  EXPECT_LT(took, std::chrono::seconds(10));
  const std::string state = StateText();
  EXPECT_NE(state.find("[CHANNEL.WEBHOOK2]\r\nATTEMPTED=1\r\nDELIVERED=1"), std::string::npos) << state;
  EXPECT_NE(state.find("[CHANNEL.WEBHOOK1]\r\nATTEMPTED=1\r\nDELIVERED=0"), std::string::npos) << state;
  EXPECT_NE(Entries().find("WEBHOOK1 (JSON) に警告を送信できませんでした: HTTP"), std::string::npos) << Entries();
}

TEST_F(WebhookWatch, FinalRefusalsDropAndRetryAfterIsHonoured) {
  Settings("ISMAILSEND=0\r\n");
  servers.byUrl[kUrl1].Answer(404, "no such hook");
  servers.byUrl[kUrl2].AnswerRetryAfter(429, "7200", "slow down");
  NewService();
  service->ServiceStart();
  const std::string entries = Entries();
  EXPECT_NE(entries.find("WEBHOOK1 (JSON) に警告を送信できませんでした: HTTP 404: no such hook\r\nサーバーが拒否したため再送しません。"),
            std::string::npos)
      << entries;
  EXPECT_NE(entries.find("WEBHOOK2 (SLACK) に警告を送信できませんでした: HTTP 429: slow down\r\n"), std::string::npos)
      << entries;
  // Two hours, not the first retry's five minutes.
  EXPECT_TRUE(service->tmWebhook().Enabled());
  EXPECT_GT(service->tmWebhook().Interval(), 7190 * 1000);
  EXPECT_LE(service->tmWebhook().Interval(), 7200 * 1000);
  const std::string state = StateText();
  const size_t second = state.find("[CHANNEL.WEBHOOK2]");
  ASSERT_NE(second, std::string::npos);
  EXPECT_EQ(state.substr(0, second).find("PENDINGKIND"), std::string::npos) << state;
  EXPECT_NE(state.find("PENDINGKIND", second), std::string::npos) << state;
  // The retry goes to WEBHOOK2 alone.
  servers.byUrl[kUrl2].Answer(204, "");
  service->tmWebhookTimer(nullptr);
  EXPECT_EQ(servers.byUrl[kUrl1].SendCount(), 1u);
  EXPECT_EQ(servers.byUrl[kUrl2].SendCount(), 2u);
}

TEST_F(WebhookWatch, APendingAlertOutlivesARestartAndARemovedTargetTakesItsAlong) {
  Settings("ISMAILSEND=0\r\n");
  system.computerName = "表\"\\PC";
  servers.byUrl[kUrl1].Answer(200, "ok");
  servers.byUrl[kUrl2].Fail(Status::Failure("HTTP", 7, "接続できません"));
  NewService();
  service->ServiceStart();
  service->ServiceStop();
  service.reset();
  // The state keeps the body as it was composed, byte for byte.
  const std::string first = servers.byUrl[kUrl2].Requests().at(0).body;
  CheckState state;
  ASSERT_TRUE(ParseCheckState(StateText(), &state));
  ASSERT_EQ(state.channels.size(), 2u);
  EXPECT_FALSE(state.channels[0].pending);
  EXPECT_TRUE(state.channels[1].pending);
  EXPECT_EQ(state.channels[1].pendingReport, first);
  EXPECT_EQ(state.channels[1].pendingAttempts, 1);
  const Result<JsonValue> body = ParseJson(first);
  ASSERT_TRUE(body.Ok());
  const std::string text = body->Find("blocks")->Items()[1].Find("text")->FindString("text").value_or("");
  EXPECT_NE(text.find("\xE8\xA1\xA8\"\\PC"), std::string::npos) << text;

  // The next start, an hour later and still short: the newer alert replaces
  // the waiting one (one request, not two).
  system.now.hour += 1;
  servers.byUrl[kUrl1].Answer(200, "ok");
  servers.byUrl[kUrl2].Answer(200, "ok");
  NewService();
  service->ServiceStart();
  ASSERT_EQ(servers.byUrl[kUrl2].SendCount(), 2u);
  EXPECT_NE(servers.byUrl[kUrl2].Requests()[1].body, first);
  EXPECT_EQ(servers.byUrl[kUrl2].Pending(), 0u);

  // WEBHOOK2 fails again, then leaves the file: its waiting alert goes with it.
  servers.byUrl[kUrl2].Fail(Status::Failure("HTTP", 7, "接続できません"));
  servers.byUrl[kUrl1].Answer(200, "ok");
  service->tmCheckTimer(nullptr);
  EXPECT_NE(StateText().find("PENDINGKIND"), std::string::npos);
  profiles.SetFile("Drivewarden.ini",
                   "[WARNING]\r\nINTERVAL=1\r\nISMAILSEND=0\r\n[DRIVE]\r\nC=10MB\r\n[WEBHOOK1]\r\nKIND=JSON\r\nURL=" +
                       std::string(kUrl1) + "\r\n",
                   0x58B00001);
  const size_t before = servers.byUrl[kUrl2].SendCount();
  service->tmWebhookTimer(nullptr);
  EXPECT_EQ(servers.byUrl[kUrl2].SendCount(), before);
  EXPECT_EQ(StateText().find("WEBHOOK2"), std::string::npos) << StateText();
}

// A volume in a folder forecast to fill is the row marked, not the letter
// its path begins with (nor any letter its path holds).
TEST_F(WebhookWatch, AVolumeForecastMarksTheVolumeRowAlone) {
  constexpr int64_t kStart = 1764547200;  // 2025-12-01 00:00 UTC
  constexpr int64_t kHour = 3600;
  VolumeInfo data;
  data.name = "\\\\?\\Volume{3}\\";
  data.paths = {"C:\\SQLData\\"};
  data.kind = VolumeKind::kFixed;
  drives.volumes = {data};
  profiles.SetFile("Drivewarden.ini",
                   std::string("[WARNING]\r\nINTERVAL=24\r\nISMAILSEND=0\r\nFORECASTDAYS=10\r\n"
                               "[DRIVE]\r\nC=10MB\r\nD=10MB\r\nDEFAULT=10%\r\n[WEBHOOK1]\r\nKIND=JSON\r\nURL=") +
                       kUrl1 + "\r\n",
                   0x58C00002);
  // The letters stay put; the volume loses 10 MiB a day towards its 100 MiB.
  const auto at = [this](int64_t hours) {
    system.now = LocalTimeOfUtcSeconds(kStart + hours * kHour, system.utcOffsetMinutes);
    drives.drives['C'] = {kDriveFixed, 900 * kMiB, 1000 * kMiB, true, nullptr};
    drives.drives['D'] = {kDriveFixed, 900 * kMiB, 1000 * kMiB, true, nullptr};
    drives.volumeSpaces["C:\\SQLData\\"] = {kDriveFixed, 200 * kMiB - 10 * kMiB * hours / 24, 1000 * kMiB, true,
                                              nullptr};
  };
  at(0);
  NewService();
  service->SetSampleTimer(loop.CreateTimer());
  service->ServiceStart();
  for (int64_t h = 4; h < 48; h += 4) {
    at(h);
    service->tmSampleTimer(nullptr);
  }
  at(48);
  servers.byUrl[kUrl1].Answer(200, "ok");
  const size_t before = servers.byUrl[kUrl1].SendCount();
  service->tmCheckTimer(nullptr);
  ASSERT_EQ(servers.byUrl[kUrl1].SendCount(), before + 1) << Entries();
  const Result<JsonValue> json = ParseJson(servers.byUrl[kUrl1].Requests()[before].body);
  ASSERT_TRUE(json.Ok());
  EXPECT_EQ(json->FindString("kind").value_or("?"), "forecast");
  for (const JsonValue& row : json->Find("drives")->Items()) {
    const std::string name = row.FindString("drive").value_or("?");
    EXPECT_EQ(row.Find("forecast")->AsBool(), name == "C:\\SQLData") << name;
  }
}

// A drive forecast to fill goes to every target as a forecast (its own
// kind and title, the forecast line, the drive marked), with the volumes in
// folders among the rows; the first shortage after it is an alert, the
// next a reminder.
TEST_F(WebhookWatch, AForecastAndTheVolumesReachTheTargetsAsThemselves) {
  constexpr int64_t kStart = 1764547200;  // 2025-12-01 00:00 UTC
  constexpr int64_t kHour = 3600;
  VolumeInfo data;
  data.name = "\\\\?\\Volume{2}\\";
  data.paths = {"C:\\Data\\"};
  data.kind = VolumeKind::kFixed;
  data.label = "データ\"\\";
  drives.volumes = {data};
  drives.volumeSpaces["C:\\Data\\"] = {kDriveFixed, 500 * kMiB, 1000 * kMiB, true, nullptr};
  profiles.SetFile("Drivewarden.ini",
                   std::string("[WARNING]\r\nINTERVAL=24\r\nISMAILSEND=0\r\nFORECASTDAYS=10\r\n"
                               "[DRIVE]\r\nC=10MB\r\nDEFAULT=10%\r\n[WEBHOOK1]\r\nKIND=JSON\r\nURL=") +
                       kUrl1 + "\r\n[WEBHOOK2]\r\nKIND=SLACK\r\nURL=" + kUrl2 + "\r\n",
                   0x58C00001);
  const auto at = [this](int64_t hours, int64_t freeBytes) {
    system.now = LocalTimeOfUtcSeconds(kStart + hours * kHour, system.utcOffsetMinutes);
    drives.drives['C'] = {kDriveFixed, freeBytes, 1000 * kMiB, true, nullptr};
  };
  at(0, 100 * kMiB);
  NewService();
  service->SetSampleTimer(loop.CreateTimer());
  service->ServiceStart();
  ASSERT_EQ(servers.byUrl[kUrl1].SendCount(), 0u) << "nothing to tell yet";
  // 10 MiB a day: two days of samples, then 7 days left to the threshold.
  for (int64_t h = 4; h < 48; h += 4) {
    at(h, 100 * kMiB - 10 * kMiB * h / 24);
    service->tmSampleTimer(nullptr);
  }
  at(48, 80 * kMiB);
  servers.byUrl[kUrl1].Answer(200, "ok");
  servers.byUrl[kUrl2].Answer(200, "ok");
  service->tmCheckTimer(nullptr);
  ASSERT_EQ(servers.byUrl[kUrl1].SendCount(), 1u) << Entries();
  ASSERT_EQ(servers.byUrl[kUrl2].SendCount(), 1u);
  const Result<JsonValue> json = ParseJson(servers.byUrl[kUrl1].Requests()[0].body);
  ASSERT_TRUE(json.Ok());
  EXPECT_EQ(json->FindString("kind").value_or("?"), "forecast");
  EXPECT_EQ(json->FindString("outcome").value_or("?"), "warning");
  const JsonValue* forecast = json->Find("forecast");
  ASSERT_TRUE(forecast && forecast->Items().size() == 1u) << servers.byUrl[kUrl1].Requests()[0].body;
  EXPECT_EQ(forecast->Items()[0].Text().rfind(SjisToUtf8("C ドライブ : "), 0), 0u) << forecast->Items()[0].Text();
  const std::vector<JsonValue>& rows = json->Find("drives")->Items();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].FindString("drive").value_or("?"), "C:");
  EXPECT_TRUE(rows[0].Find("forecast")->AsBool());
  EXPECT_FALSE(rows[0].Find("below")->AsBool());
  EXPECT_EQ(rows[1].FindString("drive").value_or("?"), "C:\\Data");
  EXPECT_TRUE(rows[1].Find("volume")->AsBool());
  EXPECT_EQ(rows[1].FindString("label").value_or("?"), SjisToUtf8("データ\"\\"));
  EXPECT_EQ(rows[1].Find("freeBytes")->AsInt64().value_or(-1), 500 * kMiB);
  const Result<JsonValue> slack = ParseJson(servers.byUrl[kUrl2].Requests()[0].body);
  ASSERT_TRUE(slack.Ok());
  EXPECT_EQ(slack->Find("blocks")->Items()[0].Find("text")->FindString("text").value_or("?"),
            SjisToUtf8("ドライブ領域不足の予測のお知らせ"));

  // Short now: news at once, an alert; still short at the next check: a
  // reminder (REMIND=0 mails every check).
  for (const char* kind : {"alert", "reminder"}) {
    at(kind[0] == 'a' ? 72 : 96, 5 * kMiB);
    servers.byUrl[kUrl1].Answer(200, "ok");
    servers.byUrl[kUrl2].Answer(200, "ok");
    const size_t before = servers.byUrl[kUrl1].SendCount();
    service->tmCheckTimer(nullptr);
    ASSERT_EQ(servers.byUrl[kUrl1].SendCount(), before + 1) << kind;
    const Result<JsonValue> next = ParseJson(servers.byUrl[kUrl1].Requests()[before].body);
    ASSERT_TRUE(next.Ok());
    EXPECT_EQ(next->FindString("kind").value_or("?"), kind);
    EXPECT_TRUE(next->Find("drives")->Items()[0].Find("below")->AsBool());
  }
}

}  // namespace
}  // namespace qw
