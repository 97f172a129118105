// The retry of a failed alert mail on the service's own timer, with the fake
// clock: the delays between attempts, the late delivery, replacement by a
// newer report, the check that drops it, the final refusal, the pending mail
// across a restart, a stop during a retry and a paused service.
#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <future>
#include <thread>

#include "common/check_state.h"
#include "platform/files.h"
#include "tests/unit/service_host/host_fixture.h"

#ifdef _WIN32
#include <process.h>
#define getpid _getpid
#else
#include <unistd.h>
#endif

namespace qw::test {
namespace {

namespace fs = std::filesystem;
constexpr int64_t kMinuteMs = 60'000;
const char kMailIni[] =
    "[WARNING]\r\nINTERVAL=24\r\nISMAILSEND=1\r\n[DRIVE]\r\nC=10MB\r\n[MAIL]\r\nSMTP=mx\r\nMAILTO=a@b.jp\r\n";

TDeliveryResult Failed(TSmtpStep step, int code, const std::string& text, const std::string& recipient = "") {
  return TDeliveryResult::FailedAt(step, code, text, recipient);
}

TDeliveryResult Delivered() {
  TDeliveryResult result;
  result.acceptedReply = "250 2.0.0 queued";
  return result;
}

class RetryTest : public HostTest {
 protected:
  RetryTest() {
    drives.drives['C'].freeBytes = kMiB;  // below 10MB
    SetIni(kMailIni);
  }
  // Each attempt takes the next scripted result; an empty script delivers.
  void ScriptMail(TDeliveryResult result, int times = 1) {
    for (int i = 0; i < times; ++i) script.push_back(result);
  }
  void HookMail() {
    mailStep = [this](const std::string& report) {
      attemptTimes.push_back(loop.NowMs());
      reports.push_back(report);
      if (script.empty()) return Delivered();
      TDeliveryResult next = script.front();
      script.pop_front();
      return next;
    };
  }
  void StartHooked() {
    HookMail();
    ASSERT_TRUE(Host().Start().Ok());
  }
  std::vector<std::string> Texts(EventType type) const {
    std::vector<std::string> texts;
    for (const EventEntry& e : log.Entries())
      if (e.type == type && e.eventId == kCheckEventId) texts.push_back(e.text);
    return texts;
  }

  std::deque<TDeliveryResult> script;
  std::vector<int64_t> attemptTimes;
  std::vector<std::string> reports;
};

TEST_F(RetryTest, FailedAttemptsFollowTheScheduleUntilTheLateDelivery) {
  ScriptMail(Failed(TSmtpStep::Connect, 0, "connection refused (111)"), 5);
  StartHooked();
  ASSERT_EQ(attemptTimes.size(), 1u);
  EXPECT_TRUE(RetryTimer().Enabled());

  loop.AdvanceBy(4 * kHourMs);
  const std::vector<int64_t> expected = {0, 5 * kMinuteMs, 20 * kMinuteMs, 50 * kMinuteMs, 110 * kMinuteMs,
                                         170 * kMinuteMs};
  EXPECT_EQ(attemptTimes, expected) << "5, 15, 30, then 60 minutes apart";
  for (const std::string& report : reports) EXPECT_EQ(report, reports[0]) << "the report as composed";

  const auto errors = Texts(EventType::Error);
  ASSERT_EQ(errors.size(), 5u) << "one entry per failed attempt";
  EXPECT_EQ(errors[0], std::string(kAlertNotSent) + "CONNECT: connection refused (111)\r\n5 分後に再送します。");
  EXPECT_EQ(errors[1], std::string(kAlertNotSent) + "CONNECT: connection refused (111)\r\n15 分後に再送します。");
  EXPECT_EQ(errors[4], std::string(kAlertNotSent) + "CONNECT: connection refused (111)\r\n60 分後に再送します。");
  const auto infos = Texts(EventType::Information);
  ASSERT_EQ(infos.size(), 1u);
  EXPECT_EQ(infos[0], std::string(kAlertDeliveredLate) + "2024-05-06 07:08:09 (5 回失敗した後に送信)");
  EXPECT_FALSE(Service().HasPendingAlert());
  EXPECT_FALSE(RetryTimer().Enabled());
  EXPECT_TRUE(Service().LastAlert().result.Delivered());
  EXPECT_EQ(CheckEntries(), 7u) << "the warning, five failures, the late delivery; no check meanwhile";
}

TEST_F(RetryTest, ANewerReportReplacesThePendingOneAndStartsTheScheduleAgain) {
  ScriptMail(Failed(TSmtpStep::Greeting, 421, "421 4.3.2 shutting down"), 3);
  StartHooked();
  loop.AdvanceBy(5 * kMinuteMs);  // second failure; the next retry is 15 minutes away
  ASSERT_EQ(attemptTimes.size(), 2u);
  EXPECT_EQ(Service().PendingAttempts(), 2);

  drives.drives['C'].freeBytes = 2 * kMiB;
  system.now.minute = 30;
  loop.AdvanceBy(kMinuteMs);
  Service().CheckNow();  // fails once more, with the new report
  ASSERT_EQ(attemptTimes.size(), 3u);
  EXPECT_NE(reports[2], reports[0]);
  EXPECT_NE(reports[2].find("2,097,152 バイト"), std::string::npos);
  EXPECT_EQ(Service().PendingAttempts(), 1) << "a new report starts with a new count";
  loop.AdvanceBy(5 * kMinuteMs);
  ASSERT_EQ(attemptTimes.size(), 4u);
  EXPECT_EQ(attemptTimes[3] - attemptTimes[2], 5 * kMinuteMs);
  EXPECT_EQ(reports[3], reports[2]) << "the newest report is what is sent";
  const auto infos = Texts(EventType::Information);
  ASSERT_EQ(infos.size(), 1u);
  EXPECT_EQ(infos[0], std::string(kAlertDeliveredLate) + "2024-05-06 07:30:09 (1 回失敗した後に送信)");
}

TEST_F(RetryTest, ACheckWithNoDriveShortDropsThePendingAlert) {
  ScriptMail(Failed(TSmtpStep::Connect, 0, "time-out after 60 s"), 1);
  StartHooked();
  ASSERT_TRUE(Service().HasPendingAlert());
  drives.drives['C'].freeBytes = 100 * kMiB;
  Service().CheckNow();
  EXPECT_FALSE(Service().HasPendingAlert());
  EXPECT_FALSE(RetryTimer().Enabled());
  loop.AdvanceBy(3 * kHourMs);
  EXPECT_EQ(attemptTimes.size(), 1u);
}

TEST_F(RetryTest, APermanentRefusalIsFinalAndATransientOneIsNot) {
  struct Case {
    const char* name;
    TDeliveryResult result;
    bool final;
  };
  TDeliveryResult allRefused = Failed(TSmtpStep::Rcpt, 550, "550 5.1.1 unknown", "b@b.jp");
  allRefused.refused = {{"a@b.jp", "550 5.1.1 unknown"}, {"b@b.jp", "550 5.1.1 unknown"}};
  TDeliveryResult mixed = Failed(TSmtpStep::Rcpt, 550, "550 5.1.1 unknown", "b@b.jp");
  mixed.refused = {{"a@b.jp", "452 4.2.2 mailbox full"}, {"b@b.jp", "550 5.1.1 unknown"}};
  // One recipient refused, then the conversation ended at the next RCPT
  // for another reason: no refusal of every recipient.
  TDeliveryResult refusedThenSilent = Failed(TSmtpStep::Rcpt, 0, "time-out after 60 s", "b@b.jp");
  refusedThenSilent.refused = {{"a@b.jp", "550 5.1.1 unknown"}};
  TDeliveryResult refusedThenStopped = Failed(TSmtpStep::Rcpt, 0, "cancelled by stop", "b@b.jp");
  refusedThenStopped.refused = {{"a@b.jp", "550 5.1.1 unknown"}};
  TDeliveryResult refusedThenShutdown = Failed(TSmtpStep::Rcpt, 421, "421 4.3.2 shutting down", "b@b.jp");
  refusedThenShutdown.refused = {{"a@b.jp", "550 5.1.1 unknown"}};
  const Case cases[] = {
      {"text refused", Failed(TSmtpStep::EndOfData, 554, "554 5.7.1 spam"), true},
      {"sender refused", Failed(TSmtpStep::Mail, 553, "553 sender not allowed"), true},
      {"DATA refused", Failed(TSmtpStep::Data, 554, "554 no valid recipients"), true},
      {"every recipient refused for good", allRefused, true},
      {"one recipient only for now", mixed, false},
      {"refused, then silence", refusedThenSilent, false},
      {"refused, then a stop", refusedThenStopped, false},
      {"refused, then 421", refusedThenShutdown, false},
      {"sender for now", Failed(TSmtpStep::Mail, 451, "451 try later"), false},
      {"greeting", Failed(TSmtpStep::Greeting, 554, "554 go away"), false},
      {"closed", Failed(TSmtpStep::Data, 0, "connection closed by the server"), false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsFinalRefusal(c.result), c.final) << c.name;

  ScriptMail(Failed(TSmtpStep::EndOfData, 554, "554 5.7.1 rejected as spam"));
  StartHooked();
  EXPECT_FALSE(Service().HasPendingAlert());
  EXPECT_FALSE(RetryTimer().Enabled());
  loop.AdvanceBy(2 * kHourMs);
  EXPECT_EQ(attemptTimes.size(), 1u);
  const auto errors = Texts(EventType::Error);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], std::string(kAlertNotSent) + ".: 554 5.7.1 rejected as spam\r\nサーバーが拒否したため再送しません。");
}

TEST_F(RetryTest, ARetryFollowsTheSettingsFile) {
  ScriptMail(Failed(TSmtpStep::Connect, 0, "refused"), 1);
  StartHooked();
  ASSERT_TRUE(Service().HasPendingAlert());
  SetIni("[WARNING]\r\nINTERVAL=24\r\nISMAILSEND=0\r\n[DRIVE]\r\nC=10MB\r\n");
  loop.AdvanceBy(5 * kMinuteMs);
  EXPECT_EQ(attemptTimes.size(), 1u) << "mail switched off since: no retry";
  EXPECT_FALSE(Service().HasPendingAlert());
  EXPECT_FALSE(RetryTimer().Enabled());
}

// A recovery notice that waits, is replaced by a new shortage's alert that
// fails too, is composed again at the next recovery: the alert delivered
// first is still open.
TEST_F(RetryTest, ARecoveryNoticeReplacedByANewAlertIsComposedAgainAtTheNextRecovery) {
  SetIni("[WARNING]\r\nINTERVAL=24\r\nISMAILSEND=1\r\nRECOVERYMAIL=1\r\n[DRIVE]\r\nC=10MB\r\n"
         "[MAIL]\r\nSMTP=mx\r\nMAILTO=a@b.jp\r\n");
  StartHooked();  // the alert is delivered
  drives.drives['C'].freeBytes = 100 * kMiB;
  ScriptMail(Failed(TSmtpStep::Connect, 0, "refused"), 2);
  Service().CheckNow();  // the notice fails
  drives.drives['C'].freeBytes = kMiB;
  Service().CheckNow();  // a new alert replaces it and fails
  drives.drives['C'].freeBytes = 100 * kMiB;
  Service().CheckNow();  // the alert is dropped; the notice is composed again
  ASSERT_EQ(reports.size(), 4u);
  EXPECT_NE(reports[1].find("回復しました"), std::string::npos) << reports[1];
  EXPECT_EQ(reports[2].find("回復しました"), std::string::npos) << reports[2];
  EXPECT_NE(reports[3].find("回復しました"), std::string::npos) << reports[3];
  EXPECT_FALSE(Service().HasPendingAlert());
  drives.drives['C'].freeBytes = 200 * kMiB;
  Service().CheckNow();
  EXPECT_EQ(reports.size(), 4u) << "one notice per recovery";
}

TEST_F(RetryTest, APausedServiceDoesNotRetryUntilItContinues) {
  ScriptMail(Failed(TSmtpStep::Connect, 0, "refused"), 1);
  StartHooked();
  EXPECT_FALSE(Host().HandleControl(kControlPause));
  loop.AdvanceBy(30 * kMinuteMs);
  EXPECT_EQ(attemptTimes.size(), 1u) << "no retry while paused";
  EXPECT_TRUE(Service().HasPendingAlert());
  EXPECT_FALSE(Host().HandleControl(kControlContinue));
  loop.AdvanceBy(5 * kMinuteMs);
  ASSERT_EQ(attemptTimes.size(), 2u);
  EXPECT_FALSE(Service().HasPendingAlert());
}

TEST_F(RetryTest, AStopDuringARetryWaitsForItAndKeepsTheAlert) {
  ScriptMail(Failed(TSmtpStep::Connect, 0, "refused"), 1);
  StartHooked();
  std::promise<void> inside;
  std::promise<TDeliveryResult> answer;
  std::shared_future<TDeliveryResult> answered = answer.get_future().share();
  mailStep = [&, answered](const std::string&) {
    inside.set_value();
    return answered.get();
  };
  std::thread retry([&] { Service().tmRetryTimer(nullptr); });  // the retry's tick
  inside.get_future().wait();
  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    Service().CancelForStop();
    Service().ServiceStop();
    stopped = true;
  });
  // The stop's own wait, given no time: the retry still holds it.
  EXPECT_FALSE(Service().ServiceStopWithin(0)) << "a stop does not see the retry that runs";
  EXPECT_FALSE(stopped.load()) << "the stop waits for the retry's conversation";
  answer.set_value(Failed(TSmtpStep::Greeting, 0, "cancelled by stop"));
  retry.join();
  stopper.join();
  EXPECT_TRUE(stopped.load());
  loop.ProcessPending();  // the timer settings made on the other threads
  EXPECT_TRUE(Service().HasPendingAlert()) << "kept for the next start";
  EXPECT_EQ(Service().PendingAttempts(), 2);
  EXPECT_FALSE(RetryTimer().Enabled());
  EXPECT_EQ(Texts(EventType::Error).back(),
            std::string(kAlertNotSent) + "GREETING: cancelled by stop\r\nサービスの次の開始後に再送します。");
  Service().tmRetryTimer(nullptr);
  EXPECT_EQ(log.Count(), 3u) << "no retry after the stop";
}

class RestartTest : public RetryTest {
 protected:
  RestartTest() {
    dir = (fs::temp_directory_path() / ("qw_retry_" + std::to_string(getpid()))).string();
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  ~RestartTest() override {
    host.reset();
    service.reset();
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }
  // The first run: the alert fails and the service stops.
  void FirstRunFails() {
    Service().SetStateFolder(dir);
    ScriptMail(Failed(TSmtpStep::Connect, 0, "refused"), 1);
    StartHooked();
    ASSERT_TRUE(Host().HandleControl(kControlStop));
    host.reset();
    service.reset();
    attemptTimes.clear();
    reports.clear();
  }
  CheckState Read() {
    const Result<std::string> read = ReadWholeFile(JoinPath(dir, kStateFileName));
    EXPECT_TRUE(read.Ok());
    const std::string text = read.value_or("");
    CheckState state;
    EXPECT_TRUE(ParseCheckState(text, &state)) << text;
    return state;
  }
  std::string dir;
};

TEST_F(RestartTest, APendingAlertIsKeptInTheStateAndReplacedByTheFirstChecksNewerReport) {
  FirstRunFails();
  const CheckState kept = Read();
  ASSERT_TRUE(kept.pending);
  EXPECT_FALSE(kept.pendingRecovery);
  EXPECT_EQ(kept.pendingAttempts, 1);
  EXPECT_EQ(kept.pendingShort, "C");
  EXPECT_EQ(kept.pendingComposedLocal, "2024-05-06 07:08:09");
  EXPECT_NE(kept.pendingReport.find("C ドライブ : しきい値 10MB"), std::string::npos);

  system.now.hour = 9;
  Service().SetStateFolder(dir);
  StartHooked();
  ASSERT_EQ(reports.size(), 1u) << "one mail: the newer report, not the old one too";
  EXPECT_NE(reports[0].find("9:08:09"), std::string::npos) << reports[0];
  const CheckState after = Read();
  EXPECT_FALSE(after.pending);
  EXPECT_TRUE(after.alertOpen);
  EXPECT_EQ(after.alertShort, "C");
  EXPECT_EQ(after.lastDeliveryLocal, "2024-05-06 09:08:09");
}

TEST_F(RestartTest, AStateThatCannotBeReadIsSaidAndReplaced) {
  ASSERT_TRUE(ReplaceFileAtomically(JoinPath(dir, kStateFileName), "\x01\x02 no state\r\n").Ok());
  Service().SetStateFolder(dir);
  StartHooked();
  const auto errors = Texts(EventType::Error);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].rfind(kStateNotRead, 0), 0u) << errors[0];
  EXPECT_NE(errors[0].find(kStateFileName), std::string::npos) << errors[0];
  EXPECT_EQ(Read().outcome, "warning") << "the next write replaces it";
}

TEST_F(RestartTest, APendingAlertIsDroppedWhenTheFirstCheckFindsNoShortage) {
  FirstRunFails();
  drives.drives['C'].freeBytes = 100 * kMiB;
  Service().SetStateFolder(dir);
  StartHooked();
  EXPECT_TRUE(reports.empty());
  EXPECT_FALSE(Read().pending);
  loop.AdvanceBy(kHourMs);
  EXPECT_TRUE(reports.empty());
}

TEST_F(RestartTest, APendingRecoveryNoticeIsSentAfterTheFirstCheck) {
  // An alert is delivered, then the recovery notice fails and the service stops.
  SetIni("[WARNING]\r\nINTERVAL=24\r\nISMAILSEND=1\r\nRECOVERYMAIL=1\r\n[DRIVE]\r\nC=10MB\r\n"
         "[MAIL]\r\nSMTP=mx\r\nMAILTO=a@b.jp\r\n");
  Service().SetStateFolder(dir);
  StartHooked();
  ASSERT_EQ(reports.size(), 1u);
  drives.drives['C'].freeBytes = 100 * kMiB;
  ScriptMail(Failed(TSmtpStep::Connect, 0, "refused"), 1);
  Service().CheckNow();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_NE(reports[1].find("回復しました"), std::string::npos) << reports[1];
  ASSERT_TRUE(Host().HandleControl(kControlStop));
  EXPECT_TRUE(Read().pendingRecovery);
  host.reset();
  service.reset();

  system.now.hour = 12;
  Service().SetStateFolder(dir);
  StartHooked();
  ASSERT_EQ(reports.size(), 3u) << "the information check, then the notice kept from the first run";
  EXPECT_EQ(reports[2], reports[1]);
  EXPECT_FALSE(Read().pending);
  const auto infos = Texts(EventType::Information);
  EXPECT_EQ(infos.back(), std::string(kRecoveryDeliveredLate) + "2024-05-06 07:08:09 (1 回失敗した後に送信)");
}

// Each failed retry counts in the metrics file at once, without waiting for
// the next check, and the count carries over to the next start.
TEST_F(RestartTest, RetriesReachTheMetricsFileAndTheFailureCountSurvivesARestart) {
  SetIni(std::string(kMailIni) + "[METRICS]\r\nTEXTFILEDIR=" + dir + "\r\n");
  const std::string prom = JoinPath(dir, "quotawarden.prom");
  auto sample = [&](const std::string& name) {
    const Result<std::string> read = ReadWholeFile(prom);
    EXPECT_TRUE(read.Ok());
    const std::string text = read.value_or("");
    const std::string key = "\n" + name + " ";
    const size_t at = text.find(key);
    if (at == std::string::npos) return std::string("(none)");
    const size_t start = at + key.size();
    return text.substr(start, text.find('\n', start) - start);
  };
  Service().SetStateFolder(dir);
  ScriptMail(Failed(TSmtpStep::Connect, 0, "refused"), 2);
  StartHooked();
  EXPECT_EQ(sample("quotawarden_alert_mail_failures_total"), "1");
  EXPECT_EQ(sample("quotawarden_alert_mail_last_success_timestamp_seconds"), "0");
  loop.AdvanceBy(5 * kMinuteMs);
  ASSERT_EQ(attemptTimes.size(), 2u);
  EXPECT_EQ(sample("quotawarden_alert_mail_failures_total"), "2") << "the retry's failure, before any check";
  loop.AdvanceBy(15 * kMinuteMs);
  ASSERT_EQ(attemptTimes.size(), 3u);
  EXPECT_EQ(sample("quotawarden_alert_mail_failures_total"), "2");
  EXPECT_NE(sample("quotawarden_alert_mail_last_success_timestamp_seconds"), "0") << "the late delivery";
  EXPECT_EQ(sample("quotawarden_last_check_success"), "1");
  ASSERT_TRUE(Host().HandleControl(kControlStop));
  host.reset();
  service.reset();

  Service().SetStateFolder(dir);
  ScriptMail(Failed(TSmtpStep::Connect, 0, "refused"), 1);
  StartHooked();
  EXPECT_EQ(sample("quotawarden_alert_mail_failures_total"), "3") << "counted on from the earlier run";
}

}  // namespace
}  // namespace qw::test
