// The page 通知先 of the settings dialog: the targets it loads, how it masks
// and keeps their secrets, the edits the service's reader refuses, what a
// save writes, and the test send's job.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "applet/settings_model.h"
#include "applet/webhook_targets_model.h"
#include "common/webhook_settings.h"
#include "platform/secret.h"
#include "tests/fakes/fake_http_client.h"
#include "tests/fakes/fake_message_box.h"
#include "tests/fakes/fake_platform.h"
#include "tests/fakes/fake_service_manager.h"
#include "tests/fakes/fixed_system_info.h"
#include "tests/unit/applet_model/fake_settings_view.h"

namespace qw {
namespace {

constexpr const char* kIni = "Drivewarden.ini";

// The stored form is the prefix and the clear text reversed, so a test sees
// whether a value went through Protect; "dpapi:!" fails as a damaged blob.
class ReversingSecrets : public SecretStore {
 public:
  Result<std::string> Protect(const std::string& clear) override {
    if (failProtect) return Status::Failure("CryptProtectData", 5, "アクセスが拒否されました。");
    return std::string(kProtectedPrefix) + std::string(clear.rbegin(), clear.rend());
  }
  Result<std::string> Unprotect(const std::string& stored) override {
    const std::string prefix = kProtectedPrefix;
    if (stored.compare(0, prefix.size(), prefix) != 0) return stored;
    const std::string body = stored.substr(prefix.size());
    if (body == "!") return Status::Failure("CryptUnprotectData", 13, "データが無効です。");
    return std::string(body.rbegin(), body.rend());
  }
  bool failProtect = false;
};

std::string Sealed(const std::string& clear) {
  return std::string(kProtectedPrefix) + std::string(clear.rbegin(), clear.rend());
}

const std::string kTeamsUrl = "https://contoso.webhook.office.com/workflows/abc/triggers/manual?sig=S3CRET";
const std::string kJsonUrl = "https://hooks.example.jp:8443/path/TOKEN9";
const std::string kAuthHeader = "Authorization: Bearer T0KEN";

// Mail off, two targets (the first and the third), secrets stored protected.
std::string TwoTargets() {
  return "[WARNING]\r\nINTERVAL=24\r\nISMAILSEND=0\r\n"
         "[WEBHOOK1]\r\nKIND=TEAMS\r\nURL=" + Sealed(kTeamsUrl) + "\r\n"
         "[WEBHOOK3]\r\nKIND=json\r\nURL=" + Sealed(kJsonUrl) + "\r\nHEADER1=" + Sealed(kAuthHeader) +
         "\r\nHEADER2=" + Sealed("X-Team: ops") + "\r\nPROXY=proxy.example.jp:8080\r\n";
}

class WebhookPageTest : public ::testing::Test {
 protected:
  WebhookPageTest() {
    drives.drives['C'];
    view.model = &model;
  }
  void Load(const std::string& ini) {
    profiles.SetFile(kIni, ini);
    model.FormCreate();
  }
  SaveOutcome Save() {
    boxes.answers = {MessageBoxResult::No};
    return model.SaveSettingsEx(true);
  }
  std::string Value(const std::string& section, const std::string& key) {
    return profiles.ReadString(kIni, section, key, "<missing>");
  }
  // The service's reading of the file as it is now (its own secrets: the
  // test's stored form is opened first, as the platform's would be).
  std::vector<WebhookTarget> ServiceTargets() {
    ProfileSnapshot ini = ProfileSnapshot::OfBytes(profiles.FileText(kIni));
    for (int n = 1; n <= kMaxWebhooks; ++n) {
      const std::string section = "WEBHOOK" + std::to_string(n);
      for (const std::string& key : ini.ReadKeys(section)) {
        const std::string value = ini.ReadString(section, key, "");
        if (IsProtectedSecret(value)) ini.WriteString(section, key, *secrets.Unprotect(value));
      }
    }
    return ReadWebhookSettings(ini).targets;
  }
  WebhookTargetsModel& hooks() { return model.Webhooks(); }
  std::string LastBox() { return boxes.shown.empty() ? "" : boxes.shown.back().text; }

  test::FakeProfiles profiles;
  test::FakeDrives drives;
  test::FakeMessageBoxes boxes;
  test::FakeServiceManager services;
  test::FakeSettingsView view;
  ReversingSecrets secrets;
  SettingsModel model{view, profiles, drives, boxes, services, secrets};
};

TEST_F(WebhookPageTest, TheListAndTheFormShowNoSecretPart) {
  Load(TwoTargets());
  const std::vector<WebhookRow> rows = hooks().Rows();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].number, 1);
  EXPECT_EQ(rows[0].kind, "Teams");
  EXPECT_EQ(rows[0].url, "https://contoso.webhook.office.com");
  EXPECT_EQ(rows[1].number, 3) << "a target keeps its section's number";
  EXPECT_EQ(rows[1].kind, "JSON") << "KIND is read without regard to case";
  EXPECT_EQ(rows[1].url, "https://hooks.example.jp:8443");

  const WebhookForm teams = hooks().FormFor(0);
  EXPECT_EQ(teams.kindIndex, static_cast<int>(WebhookKind::kTeams));
  EXPECT_EQ(teams.url, "https://contoso.webhook.office.com/****");
  const WebhookForm json = hooks().FormFor(1);
  EXPECT_EQ(json.kindIndex, static_cast<int>(WebhookKind::kJson));
  EXPECT_EQ(json.url, "https://hooks.example.jp:8443/****");
  EXPECT_EQ(json.headers, (std::vector<std::string>{"Authorization: ****", "X-Team: ****"}));
  EXPECT_EQ(json.proxy, "proxy.example.jp:8080");
  for (const char* secret : {"S3CRET", "workflows", "TOKEN9", "T0KEN", "ops"}) {
    for (const WebhookForm& form : {teams, json}) {
      std::string all = form.url;
      for (const std::string& h : form.headers) all += h;
      EXPECT_EQ(all.find(secret), std::string::npos) << secret;
    }
  }
  EXPECT_FALSE(view.applyEnabled);
  EXPECT_TRUE(boxes.shown.empty()) << LastBox();
}

TEST_F(WebhookPageTest, AnUnchangedMaskedFormKeepsTheStoredSecrets) {
  Load(TwoTargets());
  const std::string before = profiles.FileText(kIni);
  for (int i : {0, 1}) {
    const Result<int> applied = hooks().Apply(i, hooks().FormFor(i));
    ASSERT_TRUE(applied) << applied.status().Text();
  }
  EXPECT_FALSE(hooks().IsModified());
  EXPECT_EQ(hooks().Entries()[1].headers, (std::vector<std::string>{kAuthHeader, "X-Team: ops"}));

  // Reordered and one dropped: each masked line still finds its own value.
  WebhookForm form = hooks().FormFor(1);
  form.headers = {"X-Team: ****"};
  ASSERT_TRUE(hooks().Apply(1, form));
  EXPECT_EQ(hooks().Entries()[1].headers, std::vector<std::string>{"X-Team: ops"});
  EXPECT_EQ(hooks().Entries()[1].url, kJsonUrl);
  model.Change();
  EXPECT_TRUE(view.applyEnabled);
  ASSERT_EQ(Save(), SaveOutcome::Saved) << LastBox();
  EXPECT_EQ(Value("WEBHOOK3", "URL"), Sealed(kJsonUrl));
  EXPECT_EQ(Value("WEBHOOK3", "HEADER1"), Sealed("X-Team: ops"));
  EXPECT_EQ(Value("WEBHOOK3", "HEADER2"), "") << "a header no longer used is emptied";
  EXPECT_EQ(Value("WEBHOOK1", "URL"), Sealed(kTeamsUrl));
  EXPECT_NE(before, profiles.FileText(kIni));
}

TEST_F(WebhookPageTest, EditsAreHeldToTheServiceReader) {
  Load(TwoTargets());
  struct Case {
    const char* name;
    int index;
    int kindIndex;  // -2: as loaded
    std::string url;  // "=": the masked URL as loaded
    std::vector<std::string> headers;
    std::string proxy;
    const char* refusalNames;  // nullptr: taken
  };
  const Case cases[] = {
      {"a new URL replaces the stored one", 0, -2, "https://contoso.webhook.office.com/workflows/new?sig=2", {}, "", nullptr},
      {"loopback over http", 0, -2, "http://127.0.0.1:8080/hook", {}, "", nullptr},
      {"http elsewhere", 0, -2, "http://hooks.example.jp/hook", {}, "", "[WEBHOOK1] URL"},
      {"not a URL", 0, -2, "hooks.example.jp/hook", {}, "", "[WEBHOOK1] URL"},
      {"no URL", 0, -2, "", {}, "", "[WEBHOOK1] URL"},
      {"a masked URL on another host", 0, -2, "https://other.example.jp/****", {}, "", "[WEBHOOK1] URL"},
      {"no kind chosen", 0, -1, "=", {}, "", "種類"},
      {"headers on Teams", 0, -2, "=", {"X-A: b"}, "", "[WEBHOOK1] HEADER1"},
      {"a header without a colon", 1, -2, "=", {"Authorization Bearer x"}, "", "[WEBHOOK3] HEADER1"},
      {"the body's type is ours", 1, -2, "=", {"Content-Type: text/plain"}, "", "[WEBHOOK3] HEADER1"},
      {"a blank in a header's name", 1, -2, "=", {"X A: b"}, "", "[WEBHOOK3] HEADER1"},
      {"a masked header of another name", 1, -2, "=", {"X-Other: ****"}, "", "[WEBHOOK3] HEADER1"},
      {"a header typed anew", 1, -2, "=", {"Authorization: Bearer NEW"}, "", nullptr},
      {"a bad proxy", 1, -2, "=", {}, "proxy.example.jp", "[WEBHOOK3] PROXY"},
      {"ten headers", 1, -2, "=", std::vector<std::string>(10, "X-A: b"), "", "9"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<WebhookEntry> before = hooks().Entries();
    WebhookForm form = hooks().FormFor(c.index);
    if (c.kindIndex != -2) form.kindIndex = c.kindIndex;
    if (c.url != "=") form.url = c.url;
    form.headers = c.headers;
    form.proxy = c.proxy;
    const Result<int> applied = hooks().Apply(c.index, form);
    if (c.refusalNames == nullptr) {
      ASSERT_TRUE(applied) << applied.status().Text();
      const WebhookEntry& entry = hooks().Entries()[static_cast<size_t>(c.index)];
      EXPECT_EQ(entry.url, c.url == "=" ? before[static_cast<size_t>(c.index)].url : c.url);
      EXPECT_EQ(entry.headers, c.headers);
    } else {
      ASSERT_FALSE(applied);
      EXPECT_NE(applied.status().Text().find(c.refusalNames), std::string::npos) << applied.status().Text();
      for (const char* secret : {"S3CRET", "TOKEN9", "T0KEN"})
        EXPECT_EQ(applied.status().Text().find(secret), std::string::npos) << applied.status().Text();
      EXPECT_TRUE(hooks().Entries() == before) << "a refused form changes nothing";
    }
    // Back to the file's list for the next case.
    Load(TwoTargets());
  }
}

TEST_F(WebhookPageTest, AddedAndRemovedTargetsKeepTheOthersNumbers) {
  Load(TwoTargets());
  WebhookForm slack = hooks().FormFor(-1);
  EXPECT_EQ(slack.kindIndex, static_cast<int>(WebhookKind::kTeams)) << "a new target starts as Teams";
  slack.kindIndex = static_cast<int>(WebhookKind::kSlack);
  slack.url = "https://hooks.slack.com/services/T0/B0/XYZ";
  const Result<int> added = hooks().Apply(-1, slack);
  ASSERT_TRUE(added) << added.status().Text();
  EXPECT_EQ(*added, 1) << "listed in number order";
  EXPECT_EQ(hooks().Entries()[1].number, 2) << "the lowest free number";
  ASSERT_TRUE(hooks().Remove(0));
  EXPECT_FALSE(hooks().Remove(5));
  model.Change();
  ASSERT_EQ(Save(), SaveOutcome::Saved) << LastBox();

  const std::string file = profiles.FileText(kIni);
  EXPECT_EQ(file.find("hooks.slack.com"), std::string::npos) << "never in clear:\n" << file;
  EXPECT_EQ(Value("WEBHOOK1", "KIND"), "") << "a removed target's section is emptied";
  EXPECT_EQ(Value("WEBHOOK1", "URL"), "");
  EXPECT_EQ(Value("WEBHOOK1", "PROXY"), "<missing>") << "no key is added empty";
  EXPECT_EQ(Value("WEBHOOK2", "KIND"), "SLACK");
  EXPECT_EQ(Value("WEBHOOK2", "HEADER1"), "<missing>");
  const std::vector<WebhookTarget> read = ServiceTargets();
  ASSERT_EQ(read.size(), 2u);
  EXPECT_EQ(read[0].section, "WEBHOOK2");
  EXPECT_EQ(read[0].url, "https://hooks.slack.com/services/T0/B0/XYZ");
  EXPECT_EQ(read[1].section, "WEBHOOK3");
  EXPECT_EQ(read[1].url, kJsonUrl);
  EXPECT_EQ(read[1].headers.size(), 2u);
  EXPECT_EQ(read[1].proxy, "proxy.example.jp:8080");
  EXPECT_FALSE(hooks().IsModified());

  // Nine at most.
  for (int n = 0; n < 7; ++n) {
    WebhookForm more = hooks().FormFor(-1);
    more.url = "https://hooks.example.jp/" + std::to_string(n);
    ASSERT_TRUE(hooks().Apply(-1, more));
  }
  EXPECT_FALSE(hooks().CanAdd());
  WebhookForm tenth = hooks().FormFor(-1);
  tenth.url = "https://hooks.example.jp/10";
  EXPECT_FALSE(hooks().Apply(-1, tenth));
}

TEST_F(WebhookPageTest, ASaveRefusesWhatTheFileHoldsAndTheServiceWouldNot) {
  struct Case {
    const char* name;
    std::string section;
    const char* names;
  };
  const Case cases[] = {
      {"unknown kind", "[WEBHOOK2]\r\nKIND=EMAIL\r\nURL=https://h.example.jp/x\r\n", "[WEBHOOK2] KIND"},
      {"no URL", "[WEBHOOK2]\r\nKIND=SLACK\r\nPROXY=p.example.jp:80\r\n", "[WEBHOOK2] URL"},
      {"an unreadable stored URL", "[WEBHOOK2]\r\nKIND=SLACK\r\nURL=dpapi:!\r\n", "[WEBHOOK2] URL"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    boxes.shown.clear();
    const std::string file = "[WARNING]\r\nINTERVAL=24\r\nISMAILSEND=0\r\n" + c.section;
    Load(file);
    view.Type(SettingsField::Interval, "12");
    EXPECT_EQ(Save(), SaveOutcome::Refused);
    EXPECT_EQ(profiles.FileText(kIni), file) << "the file is left as it was";
    EXPECT_NE(LastBox().find(c.names), std::string::npos) << LastBox();
    EXPECT_EQ(view.page, SettingsPage::Webhooks);
    EXPECT_EQ(view.focus, SettingsControl::WebhookList);
    // Typed again through the form, it is saved.
    WebhookForm form = hooks().FormFor(0);
    form.kindIndex = static_cast<int>(WebhookKind::kSlack);
    form.url = "https://hooks.slack.com/services/T1/B1/NEW";
    ASSERT_TRUE(hooks().Apply(0, form));
    EXPECT_EQ(Save(), SaveOutcome::Saved) << LastBox();
    EXPECT_EQ(Value("WEBHOOK2", "URL"), Sealed("https://hooks.slack.com/services/T1/B1/NEW"));
  }
  // The unreadable secret is told at load, as the password's is.
  boxes.shown.clear();
  Load("[WEBHOOK4]\r\nKIND=TEAMS\r\nURL=dpapi:!\r\n");
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_NE(LastBox().find("[WEBHOOK4] URL"), std::string::npos) << LastBox();
  EXPECT_NE(LastBox().find("データが無効です"), std::string::npos) << LastBox();
}

TEST_F(WebhookPageTest, AProtectFailureWritesNothing) {
  Load(TwoTargets());
  WebhookForm form = hooks().FormFor(0);
  form.url = "https://contoso.webhook.office.com/workflows/other";
  ASSERT_TRUE(hooks().Apply(0, form));
  model.Change();
  const std::string before = profiles.FileText(kIni);
  secrets.failProtect = true;
  EXPECT_EQ(Save(), SaveOutcome::Refused);
  EXPECT_EQ(profiles.FileText(kIni), before);
  EXPECT_NE(LastBox().find("[WEBHOOK1] URL"), std::string::npos) << LastBox();
  EXPECT_EQ(view.page, SettingsPage::Webhooks);
  EXPECT_TRUE(hooks().IsModified()) << "the edit waits for the next save";
}

// --- the test send ---------------------------------------------------------------

WebhookSender::ClientFactory Forwarding(FakeHttpClient& fake) {
  struct Forward : HttpClient {
    explicit Forward(FakeHttpClient& to) : to_(to) {}
    Result<HttpResponse> Send(const HttpRequest& request) override { return to_.Send(request); }
    void Cancel() override { to_.Cancel(); }
    FakeHttpClient& to_;
  };
  return [&fake] { return std::make_unique<Forward>(fake); };
}

// The service's test notification with a long bound: the outcome is the
// sender's.
FixedSystemInfo gSystem("SV-01");
const WebhookTestJob::Send PostBody = WebhookTestJob::TestNotification(gSystem, 60000);

WebhookTarget JsonTarget() {
  WebhookTarget target;
  target.section = "WEBHOOK3";
  target.kind = WebhookKind::kJson;
  target.url = kJsonUrl;
  target.headers = {{"Authorization", "Bearer T0KEN"}};
  return target;
}

TEST(WebhookTestJob, TheOutcomeNamesTheStepAndTheAnswer) {
  struct Case {
    const char* name;
    std::function<void(FakeHttpClient&)> script;
    bool delivered;
    std::vector<std::string> says;
  };
  const Case cases[] = {
      {"delivered", [](FakeHttpClient& f) { f.Answer(204, ""); }, true, {"送信しました", "HTTP 204"}},
      {"refused", [](FakeHttpClient& f) { f.Answer(404, "no such hook\r\nsecond line"); }, false,
       {"送信できませんでした", "HTTP 404", "no such hook"}},
      {"retried later by the service", [](FakeHttpClient& f) { f.Answer(500, "busy"); }, false, {"HTTP 500", "busy"}},
      {"no connection",
       [](FakeHttpClient& f) { f.Fail(Status::Failure("HTTP", 7, "接続できません")); }, false,
       {"送信できませんでした"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeHttpClient fake;
    c.script(fake);
    bool called = false;
    WebhookTestJob job(JsonTarget(), PostBody, [&called] { called = true; }, Forwarding(fake));
    ASSERT_TRUE(job.WaitDone(10000));
    EXPECT_EQ(job.Result().Delivered(), c.delivered);
    for (const std::string& part : c.says) EXPECT_NE(job.OutcomeText().find(part), std::string::npos) << job.OutcomeText();
    EXPECT_EQ(job.OutcomeText().find("second line"), std::string::npos) << "the first line only";
    EXPECT_EQ(job.OutcomeText().find("T0KEN"), std::string::npos);
    EXPECT_NE(job.OutcomeText().find("WEBHOOK3"), std::string::npos) << job.OutcomeText();
    ASSERT_EQ(fake.Requests().size(), 1u) << "one attempt, never retried";
    EXPECT_EQ(fake.Requests()[0].url, kJsonUrl) << "the one target, its URL in clear to the client only";
    EXPECT_NE(fake.Requests()[0].body.find("SV-01"), std::string::npos) << "the test notice of this computer";
  }
}

TEST(WebhookTestJob, ACancelEndsASilentServerAtOnce) {
  FakeHttpClient fake;
  fake.Hang();
  std::mutex m;
  std::condition_variable cv;
  bool sent = false;
  fake.onSend = [&](const HttpRequest&) {
    std::lock_guard<std::mutex> lock(m);
    sent = true;
    cv.notify_all();
  };
  WebhookTestJob job(JsonTarget(), PostBody, nullptr, Forwarding(fake));
  {
    std::unique_lock<std::mutex> lock(m);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return sent; }));
  }
  EXPECT_FALSE(job.Done());
  const auto start = std::chrono::steady_clock::now();
  job.Cancel();
  ASSERT_TRUE(job.WaitDone(5000));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_TRUE(job.Result().cancelled);
  EXPECT_FALSE(job.Result().Delivered());
}

TEST(WebhookTestJob, DestroyingARunningJobEndsIt) {
  FakeHttpClient fake;
  fake.Hang();
  const auto start = std::chrono::steady_clock::now();
  {
    WebhookTestJob job(JsonTarget(), PostBody, nullptr, Forwarding(fake));
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

}  // namespace
}  // namespace qw
