// The forecast in the alert policy: a forecast alone mails as a forecast
// (its own subject), REMIND holds back a standing one, a drive forecast
// before and short now mails at once, and the forecast's end is a recovery;
// the forecast letters survive a restart in the state.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "service/alert_policy.h"

namespace qw {
namespace {

const char kEveryone[] = "a@example.jp";

AlertClock At(int hour) {
  AlertClock clock;
  clock.now = LocalDateTime{2024, 5, 6 + hour / 24, 1, hour % 24, 0, 0, 0};
  clock.utcOffsetMinutes = 9 * 60;
  return clock;
}

TDeliveryResult Delivered() {
  TDeliveryResult result;
  result.acceptedReply = "250 ok";
  return result;
}

TEST(ForecastPolicyTest, ForecastsFollowTheReminderAndRecoveryRules) {
  struct Step {
    int hour;
    const char* shortLetters;
    const char* forecastLetters;
    const char* mail;  // "-" none, "F" forecast mail, "A" shortage mail, "R" recovery
  };
  const Step steps[] = {
      {0, "", "", "-"},
      {1, "", "C", "F"},    // a forecast alone
      {2, "", "C", "-"},    // REMIND holds it back
      {3, "", "CD", "F"},   // D newly forecast
      {4, "C", "D", "A"},   // C forecast before, short now: at once, as a shortage
      {5, "C", "D", "-"},
      {6, "", "D", "-"},    // C back above, D still forecast: within REMIND
      {30, "", "D", "F"},   // REMIND passed
      {31, "", "", "R"},    // the trend turned
      {32, "", "", "-"},
  };
  AlertPolicy policy;
  AlertRules rules;
  rules.mailOn = true;
  rules.recoveryMail = true;
  rules.remindHours = 24;
  for (const Step& step : steps) {
    SCOPED_TRACE("hour " + std::to_string(step.hour));
    // Each step as a new process would see it: the state in between.
    CheckState state;
    policy.SaveTo(state);
    CheckState read;
    ASSERT_TRUE(ParseCheckState(FormatCheckState(state), &read));
    AlertPolicy next;
    next.LoadFrom(read);
    policy = next;

    CheckFacts facts;
    facts.shortLetters = step.shortLetters;
    facts.forecastLetters = step.forecastLetters;
    facts.alertReport = "alert";
    facts.recoveryReport = "recovered";
    const AlertStep answer = policy.OnCheck(facts, rules, At(step.hour));
    std::string mail = "-";
    if (answer == AlertStep::kSend) {
      const std::optional<PendingMail> pending = policy.BeginAttempt();
      ASSERT_TRUE(pending);
      mail = pending->recovery ? "R" : IsForecastMail(*pending) ? "F" : "A";
      EXPECT_EQ(pending->forecastLetters, step.forecastLetters);
      EXPECT_EQ(policy.OnAttempt(*pending, Delivered(), kEveryone, rules, At(step.hour)).kind,
                AttemptDecision::Kind::kDelivered);
    }
    EXPECT_EQ(mail, step.mail);
  }
}

TEST(ForecastPolicyTest, APendingForecastMailKeepsItsKindAcrossARestart) {
  AlertPolicy before;
  AlertRules rules;
  rules.mailOn = true;
  CheckFacts facts;
  facts.forecastLetters = "E";
  facts.alertReport = "forecast report";
  ASSERT_EQ(before.OnCheck(facts, rules, At(0)), AlertStep::kSend);
  CheckState state;
  before.SaveTo(state);
  CheckState read;
  ASSERT_TRUE(ParseCheckState(FormatCheckState(state), &read));
  AlertPolicy after;
  after.LoadFrom(read);
  ASSERT_TRUE(after.Pending());
  EXPECT_TRUE(IsForecastMail(*after.Pending()));
  EXPECT_EQ(after.Pending()->report, "forecast report");
}

}  // namespace
}  // namespace qw
