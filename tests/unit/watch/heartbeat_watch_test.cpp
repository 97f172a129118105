// The heartbeat as the watch sends it: one request per check that ran (the
// start, the timer, a check on demand), the failure URL for a check whose
// settings did not load or whose drive could not be measured, one warning
// per run of failures and one notice when pings work again, the URL's secret
// in no entry and no state, and a ping that a stop or the deadline ends.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>

#include "common/check_state.h"
#include "common/json.h"
#include "platform/files.h"
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
const char kSecret[] = "5e3b-S3CR3T-uuid";
const std::string kUrl = std::string("https://hc.example/ping/") + kSecret;
const std::string kFailUrl = kUrl + "/fail";

// Hands the test's one fake to the watch as the client of every ping.
class SharedClient : public HttpClient {
 public:
  explicit SharedClient(FakeHttpClient& fake) : fake_(fake) {}
  Result<HttpResponse> Send(const HttpRequest& request) override { return fake_.Send(request); }
  void Cancel() override { fake_.Cancel(); }

 private:
  FakeHttpClient& fake_;
};

// An event log whose information entries fail once armed: a check that
// ends with an error after it measured the drives.
class BreakingEventLog : public test::FakeEventLog {
 public:
  void Report(const std::string& source, EventType type, uint16_t category, uint32_t eventId,
              const std::string& text) override {
    if (broken && type == EventType::Information) throw std::runtime_error("the event log is full");
    test::FakeEventLog::Report(source, type, category, eventId, text);
  }
  bool broken = false;
};

class HeartbeatWatchTest : public ::testing::Test {
 protected:
  HeartbeatWatchTest() {
    drives.drives['C'] = {kDriveFixed, 500 * kMiB, 1000 * kMiB, true, nullptr};
    dir = (fs::temp_directory_path() / ("qw_heartbeat_" + std::to_string(getpid()))).string();
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  ~HeartbeatWatchTest() override {
    service.reset();
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }
  TDrivewarden& Service() {
    if (!service) {
      WatchOptions options;
      options.httpClient = [this] { return std::make_unique<SharedClient>(http); };
      service = std::make_unique<TDrivewarden>(ServicePlatform{profiles, drives, system, log}, loop.CreateTimer(),
                                               nullptr, std::move(options));
      service->SetStateFolder(dir);
    }
    return *service;
  }
  void SetIni(const std::string& heartbeat, const std::string& interval = "24") {
    profiles.SetFile("Drivewarden.ini", "[WARNING]\r\nINTERVAL=" + interval + "\r\n[DRIVE]\r\nC=10%\r\n[HEARTBEAT]\r\n" + heartbeat,
                     ++stamp);
  }
  CheckState State() {
    const Result<std::string> read = ReadWholeFile(JoinPath(dir, kStateFileName));
    EXPECT_TRUE(read.Ok());
    CheckState state;
    EXPECT_TRUE(ParseCheckState(read.value_or(""), &state));
    return state;
  }
  size_t Count(EventType type, const std::string& start) const {
    size_t n = 0;
    for (const auto& e : log.entries) n += e.type == type && e.text.rfind(start, 0) == 0;
    return n;
  }
  void ExpectNoSecretAnywhere() {
    for (const auto& e : log.entries) EXPECT_EQ(e.text.find(kSecret), std::string::npos) << e.text;
    const std::string state = ReadWholeFile(JoinPath(dir, kStateFileName)).value_or("");
    EXPECT_EQ(state.find(kSecret), std::string::npos) << state;
    EXPECT_EQ(state.find("ping/"), std::string::npos) << state;
  }

  test::FakeProfiles profiles;
  test::FakeDrives drives;
  test::FakeSystemInfo system;
  BreakingEventLog log;
  FakeMessageLoop loop;
  FakeHttpClient http;
  std::unique_ptr<TDrivewarden> service;
  std::string dir;
  int32_t stamp = 0x58A00000;
};

TEST_F(HeartbeatWatchTest, OnePingPerCheckWhateverStartedIt) {
  SetIni("URL=" + kUrl + "\r\n");
  for (int i = 0; i < 3; ++i) http.Answer(200, "OK", "text/plain");
  Service().ServiceStart();
  Service().CheckNow();                 // SIGHUP, control 128
  Service().tmCheck().OnTimer();        // the interval
  const auto requests = http.Requests();
  ASSERT_EQ(requests.size(), 3u);
  for (const HttpRequest& r : requests) {
    EXPECT_EQ(r.method, "GET");
    EXPECT_EQ(r.url, kUrl);
    EXPECT_TRUE(r.body.empty());
    // Bounded by the mail deadline (300 s unless the host sets another).
    EXPECT_EQ(r.timeoutMs, 300000);
  }
  const CheckState s = State();
  EXPECT_TRUE(s.heartbeatOk);
  EXPECT_FALSE(s.heartbeatFailUrl);
  EXPECT_EQ(s.heartbeatDetail, "HTTP 200");
  EXPECT_EQ(s.heartbeatUtc, "2024-05-05T22:08:09Z");
  EXPECT_EQ(s.heartbeatSuccessUtc, s.heartbeatUtc);
  EXPECT_EQ(Count(EventType::Warning, kHeartbeatFailed), 0u);

  // Without a URL nothing is sent.
  SetIni("");
  Service().CheckNow();
  EXPECT_EQ(http.SendCount(), 3u);
}

TEST_F(HeartbeatWatchTest, TheFailureUrlForSettingsThatDoNotLoadOrADriveThatCannotBeMeasured) {
  SetIni("URL=" + kUrl + "\r\nMETHOD=POST\r\n");
  for (int i = 0; i < 4; ++i) http.Answer(200, "OK", "text/plain");
  Service().ServiceStart();
  // The file breaks: the last good settings give the URL.
  SetIni("URL=https://other.example/ping/x\r\n", "soon");
  Service().tmCheck().OnTimer();
  // Mended; then the drive stops answering.
  SetIni("URL=" + kUrl + "\r\nMETHOD=POST\r\n");
  Service().CheckNow();
  drives.drives['C'].measurable = false;
  Service().CheckNow();

  const auto requests = http.Requests();
  ASSERT_EQ(requests.size(), 4u);
  const char* const urls[] = {kUrl.c_str(), kFailUrl.c_str(), kUrl.c_str(), kFailUrl.c_str()};
  const char* const outcomes[] = {"success", "failure", "success", "failure"};
  for (size_t i = 0; i < requests.size(); ++i) {
    EXPECT_EQ(requests[i].url, urls[i]) << i;
    EXPECT_EQ(requests[i].method, "POST") << i;
    const Result<JsonValue> body = ParseJson(requests[i].body);
    ASSERT_TRUE(body.Ok()) << requests[i].body;
    EXPECT_EQ(body->FindString("outcome").value_or(""), outcomes[i]) << i;
    EXPECT_EQ(body->FindString("computer").value_or(""), "WATCHED-PC");
    EXPECT_EQ(body->FindString("time").value_or(""), "2024-05-05T22:08:09Z");
    bool json = false;
    for (const auto& [name, value] : requests[i].headers) json = json || (name == "Content-Type" && value == "application/json");
    EXPECT_TRUE(json) << i;
  }
  EXPECT_TRUE(State().heartbeatFailUrl);
  EXPECT_TRUE(State().heartbeatOk);  // the failure URL answered

  // A check that ends with an error asks the failure URL too, and the
  // error still reaches the host.
  drives.drives['C'].measurable = true;
  log.broken = true;
  http.Answer(200, "OK", "text/plain");
  EXPECT_THROW(Service().CheckNow(), std::runtime_error);
  ASSERT_EQ(http.SendCount(), 5u);
  EXPECT_EQ(http.Requests().back().url, kFailUrl);
  EXPECT_EQ(State().outcome, "the event log is full");
}

TEST_F(HeartbeatWatchTest, TheFailureUrlForAVolumeThatCannotBeMeasured) {
  VolumeInfo data;
  data.name = "\\\\?\\Volume{9}\\";
  data.paths = {"C:\\Data\\"};
  data.kind = VolumeKind::kFixed;
  drives.volumes = {data};
  drives.volumeSpaces["C:\\Data\\"] = {kDriveFixed, 500 * kMiB, 1000 * kMiB, true, nullptr};
  SetIni("URL=" + kUrl + "\r\n[VOLUME]\r\nC:\\Data=10%\r\n");
  for (int i = 0; i < 2; ++i) http.Answer(200, "OK", "text/plain");
  Service().ServiceStart();
  drives.volumeSpaces["C:\\Data\\"].measurable = false;
  Service().CheckNow();
  const auto requests = http.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].url, kUrl);
  EXPECT_EQ(requests[1].url, kFailUrl);
}

TEST_F(HeartbeatWatchTest, OneWarningPerRunOfFailuresAndOneNoticeWhenPingsWorkAgain) {
  SetIni("URL=" + kUrl + "\r\n");
  Service().SetMailTimeOuts(60, 1);
  struct Step {
    const char* what;
    std::function<void(FakeHttpClient&)> script;
    bool ok;
    size_t warnings;  // heartbeat warnings so far
    size_t notices;   // heartbeat notices so far
  };
  const Step steps[] = {
      {"answered", [](FakeHttpClient& h) { h.Answer(200, ""); }, true, 0, 0},
      // The fake's own failure quotes the whole URL: the entry and the
      // state must not.
      {"unscripted", [](FakeHttpClient&) {}, false, 1, 0},
      {"refused", [](FakeHttpClient& h) { h.Fail(Status::Failure("HTTP", 0, "Connection refused")); }, false, 1, 0},
      {"server error", [](FakeHttpClient& h) { h.Answer(500, "oops"); }, false, 1, 0},
      {"silent", [](FakeHttpClient& h) { h.Hang(); }, false, 1, 0},
      {"answered again", [](FakeHttpClient& h) { h.Answer(204, ""); }, true, 1, 1},
      {"redirect", [](FakeHttpClient& h) { h.Answer(302, ""); }, false, 2, 1},
  };
  bool started = false;
  for (const Step& step : steps) {
    step.script(http);
    const auto before = std::chrono::steady_clock::now();
    if (!started) {
      Service().ServiceStart();
      started = true;
    } else {
      Service().CheckNow();
    }
    // A silent receiver holds the check at most the deadline (1 s here).
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5)) << step.what;
    EXPECT_EQ(State().heartbeatOk, step.ok) << step.what;
    EXPECT_EQ(Count(EventType::Warning, kHeartbeatFailed), step.warnings) << step.what;
    EXPECT_EQ(Count(EventType::Information, kHeartbeatRestored), step.notices) << step.what;
    ExpectNoSecretAnywhere();
  }
  EXPECT_EQ(http.SendCount(), std::size(steps));  // never retried
  // The warning names the host and the step, not the secret.
  for (const auto& e : log.entries) {
    if (e.text.rfind(kHeartbeatFailed, 0) != 0) continue;
    EXPECT_NE(e.text.find("https://hc.example"), std::string::npos) << e.text;
  }
  EXPECT_EQ(State().heartbeatDetail, "HTTP 302");
  EXPECT_EQ(State().outcome, "information");  // the watch went on
}

TEST_F(HeartbeatWatchTest, AStopEndsAPingThatWaitsWithoutAnEntry) {
  SetIni("URL=" + kUrl + "\r\n");
  http.Hang();
  std::promise<void> sent;
  http.onSend = [&sent](const HttpRequest&) { sent.set_value(); };
  TDrivewarden& watch = Service();
  std::thread start([&watch] { watch.ServiceStart(); });
  ASSERT_EQ(sent.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
  const auto before = std::chrono::steady_clock::now();
  watch.CancelForStop();
  start.join();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(3));
  EXPECT_TRUE(watch.ServiceStopWithin(5000).Ok());
  EXPECT_EQ(Count(EventType::Warning, kHeartbeatFailed), 0u);
}

}  // namespace
}  // namespace qw
