// The alert policy on its own: sequences of checks, attempts and retry ticks
// on a fake clock, each answer compared with the rule it follows. No SMTP,
// no timers, no threads.
#include "service/alert_policy.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace qw {
namespace {

constexpr int64_t kMinute = 60 * 1000;

// The fake clock: hours (and minutes) after 2024-05-06 00:00 local, nine
// hours east of UTC.
AlertClock At(int hour, int minute = 0) {
  AlertClock clock;
  clock.now = LocalDateTime{2024, 5, 6 + hour / 24, 1, hour % 24, minute, 0, 0};
  clock.utcOffsetMinutes = 9 * 60;
  return clock;
}

TDeliveryResult Delivered(std::vector<std::pair<std::string, std::string>> refused = {}) {
  TDeliveryResult result;
  result.acceptedReply = "250 ok";
  result.refused = std::move(refused);
  return result;
}

// A failed attempt at the step the entries name by `word` ("MAIL",
// "RCPT <b@example.jp>", ".").
TDeliveryResult Failed(const std::string& word, int64_t code, const std::string& text,
                       std::vector<std::pair<std::string, std::string>> refused = {}) {
  TSmtpStep step = TSmtpStep::None;
  std::string recipient;
  if (word.rfind("RCPT <", 0) == 0 && word.back() == '>') {
    step = TSmtpStep::Rcpt;
    recipient = word.substr(6, word.size() - 7);
  } else {
    for (int i = 0; i <= static_cast<int>(TSmtpStep::Token); ++i)
      if (SmtpStepWord(static_cast<TSmtpStep>(i)) == word) step = static_cast<TSmtpStep>(i);
  }
  EXPECT_NE(step, TSmtpStep::None) << "no step is named " << word;
  TDeliveryResult result = TDeliveryResult::FailedAt(step, code, text, recipient);
  EXPECT_EQ(result.status.What(), word);
  result.refused = std::move(refused);
  return result;
}

using Kind = AttemptDecision::Kind;

// One event and what the policy must answer.
struct Event {
  enum class Type { kCheck, kAttempt, kRetryTick } type = Type::kCheck;
  int hour = 0;
  int minute = 0;
  std::string shortLetters;  // kCheck: the drives short ("" none)
  TDeliveryResult result;    // kAttempt
  bool mailOn = true;        // the settings at this event
  // The answers.
  AlertStep step = AlertStep::kNone;  // kCheck, kRetryTick
  Kind kind = Kind::kDelivered;       // kAttempt
  int64_t retryMs = 0;                // kAttempt: kPartly, kRetry
  // The pending mail afterwards: "-" none, "A:<letters>" an alert, "R" the
  // recovery notice; then its failed attempts and its recipients.
  std::string pending = "-";
  int attempts = 0;
  std::string recipients;
};

Event Check(int hour, std::string shortLetters, AlertStep step, std::string pending, bool mailOn = true,
            int attempts = 0) {
  Event e;
  e.type = Event::Type::kCheck;
  e.hour = hour;
  e.shortLetters = std::move(shortLetters);
  e.step = step;
  e.pending = std::move(pending);
  e.mailOn = mailOn;
  e.attempts = attempts;
  return e;
}

Event Attempt(int hour, int minute, TDeliveryResult result, Kind kind, int64_t retryMs, std::string pending,
              int attempts = 0, std::string recipients = "") {
  Event e;
  e.type = Event::Type::kAttempt;
  e.hour = hour;
  e.minute = minute;
  e.result = std::move(result);
  e.kind = kind;
  e.retryMs = retryMs;
  e.pending = std::move(pending);
  e.attempts = attempts;
  e.recipients = std::move(recipients);
  return e;
}

Event RetryTick(bool mailOn, AlertStep step, std::string pending, int attempts = 0) {
  Event e;
  e.type = Event::Type::kRetryTick;
  e.mailOn = mailOn;
  e.step = step;
  e.pending = std::move(pending);
  e.attempts = attempts;
  return e;
}

struct Scenario {
  const char* name;
  bool recoveryMail;
  int remindHours;
  std::vector<Event> events;
};

std::string PendingKind(const AlertPolicy& policy) {
  const auto& pending = policy.Pending();
  if (!pending) return "-";
  return pending->recovery ? "R" : "A:" + pending->shortLetters;
}

const char kEveryone[] = "a@example.jp,b@example.jp";

const std::vector<Scenario>& Scenarios() {
  static const std::vector<Scenario> scenarios = {
      {"a failed alert waits and is tried after 5, 15, 30, then every 60 minutes until delivered",
       false, 0,
       {Check(0, "C", AlertStep::kSend, "A:C"),
        Attempt(0, 0, Failed("CONNECT", 111, "refused"), Kind::kRetry, 5 * kMinute, "A:C", 1),
        Attempt(0, 5, Failed("CONNECT", 111, "refused"), Kind::kRetry, 15 * kMinute, "A:C", 2),
        Attempt(0, 20, Failed("GREETING", 421, "busy"), Kind::kRetry, 30 * kMinute, "A:C", 3),
        Attempt(0, 50, Failed("MAIL", 451, "try later"), Kind::kRetry, 60 * kMinute, "A:C", 4),
        Attempt(1, 50, Failed("DATA", 0, "time-out"), Kind::kRetry, 60 * kMinute, "A:C", 5),
        Attempt(2, 50, Delivered(), Kind::kDelivered, 0, "-")}},
      {"a newer check's alert replaces the waiting one and starts the delays again",
       false, 0,
       {Check(0, "C", AlertStep::kSend, "A:C"),
        Attempt(0, 0, Failed("CONNECT", 111, "refused"), Kind::kRetry, 5 * kMinute, "A:C", 1),
        Attempt(0, 5, Failed("CONNECT", 111, "refused"), Kind::kRetry, 15 * kMinute, "A:C", 2),
        Check(1, "CD", AlertStep::kSend, "A:CD"),
        Attempt(1, 0, Failed("CONNECT", 111, "refused"), Kind::kRetry, 5 * kMinute, "A:CD", 1)}},
      {"a check that finds no drive short drops a waiting alert",
       false, 0,
       {Check(0, "C", AlertStep::kSend, "A:C"),
        Attempt(0, 0, Failed("CONNECT", 111, "refused"), Kind::kRetry, 5 * kMinute, "A:C", 1),
        Check(1, "", AlertStep::kDrop, "-")}},
      {"mail switched off: a check sends nothing and a retry drops the waiting mail",
       false, 0,
       {Check(0, "C", AlertStep::kDrop, "-", false),
        Check(1, "C", AlertStep::kSend, "A:C"),
        Attempt(1, 0, Failed("CONNECT", 111, "refused"), Kind::kRetry, 5 * kMinute, "A:C", 1),
        RetryTick(true, AlertStep::kSend, "A:C", 1),
        RetryTick(false, AlertStep::kDrop, "-"),
        RetryTick(true, AlertStep::kNone, "-")}},
      {"a 5xx refusal of the message is final, a 4xx one is not",
       false, 0,
       {Check(0, "C", AlertStep::kSend, "A:C"),
        Attempt(0, 0, Failed("DATA", 451, "451 later"), Kind::kRetry, 5 * kMinute, "A:C", 1),
        Attempt(0, 5, Failed(".", 554, "554 rejected"), Kind::kFinal, 0, "-"),
        Check(1, "C", AlertStep::kSend, "A:C"),
        Attempt(1, 0, Failed("MAIL", 550, "550 sender refused"), Kind::kFinal, 0, "-")}},
      {"recipients refused for now are retried alone; one refused for good is not retried",
       false, 0,
       {Check(0, "C", AlertStep::kSend, "A:C"),
        Attempt(0, 0, Delivered({{"a@example.jp", "450 mailbox busy"}, {"b@example.jp", "550 no such user"}}),
                Kind::kPartly, 5 * kMinute, "A:C", 1, "a@example.jp"),
        Attempt(0, 5, Delivered(), Kind::kDelivered, 0, "-")}},
      {"every recipient refused for good is final; a conversation cut after one such refusal retries the rest",
       false, 0,
       {Check(0, "C", AlertStep::kSend, "A:C"),
        Attempt(0, 0,
                Failed("RCPT <b@example.jp>", 550, "550 no",
                       {{"a@example.jp", "550 no"}, {"b@example.jp", "550 no"}}),
                Kind::kFinal, 0, "-"),
        Check(1, "C", AlertStep::kSend, "A:C"),
        Attempt(1, 0, Failed("RCPT <b@example.jp>", 0, "closed", {{"a@example.jp", "550 no"}}), Kind::kRetry,
                5 * kMinute, "A:C", 1, "b@example.jp"),
        Attempt(1, 5, Failed("RCPT <b@example.jp>", 550, "550 no", {{"b@example.jp", "550 no"}}), Kind::kFinal, 0,
                "-")}},
      {"recovery notice: only after a delivered alert, once, and alerts come again at once",
       true, 24,
       {Check(0, "", AlertStep::kDrop, "-"),
        Check(1, "C", AlertStep::kSend, "A:C"),
        Attempt(1, 0, Failed("CONNECT", 111, "refused"), Kind::kRetry, 5 * kMinute, "A:C", 1),
        Check(2, "", AlertStep::kDrop, "-"),
        Check(3, "C", AlertStep::kSend, "A:C"),
        Attempt(3, 0, Delivered(), Kind::kDelivered, 0, "-"),
        Check(4, "", AlertStep::kSend, "R"),
        Attempt(4, 0, Delivered(), Kind::kDelivered, 0, "-"),
        Check(5, "", AlertStep::kDrop, "-"),
        Check(6, "C", AlertStep::kSend, "A:C")}},
      {"a waiting recovery notice stays through checks without a shortage and is retried",
       true, 0,
       {Check(0, "C", AlertStep::kSend, "A:C"),
        Attempt(0, 0, Delivered(), Kind::kDelivered, 0, "-"),
        Check(1, "", AlertStep::kSend, "R"),
        Attempt(1, 0, Failed("CONNECT", 111, "refused"), Kind::kRetry, 5 * kMinute, "R", 1),
        Check(2, "", AlertStep::kNone, "R", true, 1),
        RetryTick(true, AlertStep::kSend, "R", 1),
        Attempt(2, 5, Failed("MAIL", 550, "550 no"), Kind::kFinal, 0, "-"),
        Check(3, "", AlertStep::kDrop, "-")}},
      {"REMIND holds back a standing shortage until its hours have passed since the delivered alert",
       false, 6,
       {Check(0, "C", AlertStep::kSend, "A:C"),
        Attempt(0, 0, Delivered(), Kind::kDelivered, 0, "-"),
        Check(1, "C", AlertStep::kNone, "-"),
        Check(5, "C", AlertStep::kNone, "-"),
        Check(6, "C", AlertStep::kSend, "A:C"),
        Attempt(6, 0, Delivered(), Kind::kDelivered, 0, "-"),
        Check(7, "C", AlertStep::kNone, "-"),
        Check(8, "CD", AlertStep::kSend, "A:CD")}},
      {"REMIND counts from a delivered alert only: a failed one is mailed again at the next check",
       false, 24,
       {Check(0, "C", AlertStep::kSend, "A:C"),
        Attempt(0, 0, Failed("CONNECT", 111, "refused"), Kind::kRetry, 5 * kMinute, "A:C", 1),
        Check(1, "C", AlertStep::kSend, "A:C"),
        Attempt(1, 0, Delivered(), Kind::kDelivered, 0, "-"),
        Check(2, "C", AlertStep::kNone, "-")}},
      {"REMIND: while an alert waits for its retry, a check's newer report replaces it",
       false, 24,
       {Check(0, "C", AlertStep::kSend, "A:C"),
        Attempt(0, 0, Delivered(), Kind::kDelivered, 0, "-"),
        Check(1, "CD", AlertStep::kSend, "A:CD"),
        Attempt(1, 0, Failed("CONNECT", 111, "refused"), Kind::kRetry, 5 * kMinute, "A:CD", 1),
        Check(2, "C", AlertStep::kSend, "A:C")}},
  };
  return scenarios;
}

TEST(AlertPolicyTest, EveryRuleFollowsTheTable) {
  for (const Scenario& scenario : Scenarios()) {
    AlertPolicy policy;
    AlertRules rules;
    rules.recoveryMail = scenario.recoveryMail;
    rules.remindHours = scenario.remindHours;
    std::optional<PendingMail> inFlight;
    for (size_t i = 0; i < scenario.events.size(); ++i) {
      const Event& e = scenario.events[i];
      SCOPED_TRACE(std::string(scenario.name) + ", event " + std::to_string(i + 1));
      rules.mailOn = e.mailOn;
      switch (e.type) {
        case Event::Type::kCheck: {
          CheckFacts facts;
          facts.shortLetters = e.shortLetters;
          facts.alertReport = "alert " + e.shortLetters;
          facts.recoveryReport = "recovered";
          EXPECT_EQ(policy.OnCheck(facts, rules, At(e.hour)), e.step);
          break;
        }
        case Event::Type::kRetryTick:
          EXPECT_EQ(policy.OnRetry(rules), e.step);
          break;
        case Event::Type::kAttempt: {
          inFlight = policy.BeginAttempt();
          ASSERT_TRUE(inFlight.has_value()) << "an attempt without a pending mail";
          const AttemptDecision decision = policy.OnAttempt(*inFlight, e.result, kEveryone, rules, At(e.hour, e.minute));
          EXPECT_EQ(decision.kind, e.kind);
          if (e.kind == Kind::kPartly || e.kind == Kind::kRetry) {
            EXPECT_EQ(decision.retryMs, e.retryMs);
          }
          break;
        }
      }
      EXPECT_EQ(PendingKind(policy), e.pending);
      if (policy.Pending()) {
        EXPECT_EQ(policy.Pending()->attempts, e.attempts);
        EXPECT_EQ(policy.Pending()->recipients, e.recipients);
      }
    }
  }
}

TEST(AlertPolicyTest, TheFirstDelayIsTheHostsAndTheLaterOnesStay) {
  struct Case {
    int failed;
    int64_t first;
    int64_t delay;
  };
  const Case cases[] = {{0, 5 * kMinute, 5 * kMinute}, {1, 5 * kMinute, 5 * kMinute}, {1, 2000, 2000},
                        {2, 2000, 15 * kMinute},       {3, 2000, 30 * kMinute},       {4, 2000, 60 * kMinute},
                        {1000, 2000, 60 * kMinute}};
  for (const Case& c : cases) EXPECT_EQ(RetryDelayMs(c.failed, c.first), c.delay) << c.failed << " failed";

  // A retry that meets a running check comes again after the delay of the
  // attempts so far; without a pending mail there is nothing to come again.
  AlertPolicy policy;
  AlertRules rules;
  rules.mailOn = true;
  rules.firstRetryMs = 2000;
  EXPECT_FALSE(policy.BusyRetryDelay(rules.firstRetryMs).has_value());
  CheckFacts facts;
  facts.shortLetters = "C";
  facts.alertReport = "alert";
  ASSERT_EQ(policy.OnCheck(facts, rules, At(0)), AlertStep::kSend);
  for (int attempt = 1; attempt <= 3; ++attempt) {
    const std::optional<PendingMail> mail = policy.BeginAttempt();
    ASSERT_TRUE(mail);
    (void)policy.OnAttempt(*mail, Failed("CONNECT", 111, "refused"), kEveryone, rules, At(0, attempt));
  }
  EXPECT_EQ(policy.BusyRetryDelay(rules.firstRetryMs), std::optional<int64_t>(30 * kMinute));
}

TEST(AlertPolicyTest, AClockSetBackMakesTheReminderDue) {
  AlertPolicy policy;
  AlertRules rules;
  rules.mailOn = true;
  rules.remindHours = 24;
  CheckFacts facts;
  facts.shortLetters = "C";
  facts.alertReport = "alert";
  ASSERT_EQ(policy.OnCheck(facts, rules, At(30)), AlertStep::kSend);
  const std::optional<PendingMail> mail = policy.BeginAttempt();
  ASSERT_TRUE(mail);
  EXPECT_EQ(policy.OnAttempt(*mail, Delivered(), kEveryone, rules, At(30)).kind, Kind::kDelivered);
  EXPECT_FALSE(policy.ReminderDue("C", rules, At(31)));
  EXPECT_TRUE(policy.ReminderDue("C", rules, At(29))) << "now before the alert";
  EXPECT_TRUE(policy.ReminderDue("C", rules, At(54)));
}

TEST(AlertPolicyTest, TheStateKeepsThePendingMailAndTheLastAlertAcrossARestart) {
  AlertPolicy before;
  AlertRules rules;
  rules.mailOn = true;
  rules.recoveryMail = true;
  CheckFacts facts;
  facts.shortLetters = "CD";
  facts.alertReport = "the report";
  ASSERT_EQ(before.OnCheck(facts, rules, At(0)), AlertStep::kSend);
  std::optional<PendingMail> mail = before.BeginAttempt();
  ASSERT_TRUE(mail);
  (void)before.OnAttempt(*mail, Delivered({{"a@example.jp", "451 later"}}), kEveryone, rules, At(0, 1));
  CheckState state;
  before.SaveTo(state);
  EXPECT_TRUE(state.pending);
  EXPECT_EQ(state.pendingComposedLocal, "2024-05-06 00:00:00");
  EXPECT_EQ(state.alertUtc, "2024-05-05T15:01:00Z") << "the partly delivered alert counts as delivered";

  const std::string text = FormatCheckState(state);
  CheckState read;
  ASSERT_TRUE(ParseCheckState(text, &read));
  AlertPolicy after;
  after.LoadFrom(read);
  ASSERT_TRUE(after.Pending());
  EXPECT_EQ(after.Pending()->report, "the report");
  EXPECT_EQ(after.Pending()->attempts, 1);
  EXPECT_EQ(after.Pending()->recipients, "a@example.jp");
  EXPECT_EQ(after.Pending()->shortLetters, "CD");
  EXPECT_TRUE(after.AlertOpen());
  // The alert was delivered: no shortage now sends the recovery notice.
  CheckFacts none;
  none.recoveryReport = "recovered";
  EXPECT_EQ(after.OnCheck(none, rules, At(1)), AlertStep::kSend);
  EXPECT_EQ(PendingKind(after), "R");

  // A hand-edited count cannot go below zero.
  read.pendingAttempts = -7;
  after.LoadFrom(read);
  EXPECT_EQ(after.Pending()->attempts, 0);
}

}  // namespace
}  // namespace qw
