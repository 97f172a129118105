#include "service/alert_policy.h"

#include <algorithm>

#include "common/comma_list.h"
#include "platform/ascii_text.h"
#include "service/report.h"

namespace qw {
namespace {

bool IsPermanentReply(const std::string& reply) { return !reply.empty() && reply[0] == '5'; }

bool HasAddress(const std::vector<std::string>& list, const std::string& address) {
  for (const std::string& item : list)
    if (CompareCaseless(item, address) == 0) return true;
  return false;
}

// The addresses of `recipients` (a comma list) less those the server refused
// for good.
std::vector<std::string> WithoutPermanentRefusals(const std::string& recipients, const TDeliveryResult& result) {
  std::vector<std::string> permanent;
  for (const auto& [address, reply] : result.refused)
    if (IsPermanentReply(reply)) permanent.push_back(address);
  std::vector<std::string> left;
  for (const std::string& item : ReadCommaList(recipients))
    if (!item.empty() && !HasAddress(permanent, item) && !HasAddress(left, item)) left.push_back(item);
  return left;
}

// "5 分後" for whole minutes, else "N 秒後".
std::string DelayText(int64_t milliseconds) {
  if (milliseconds % 60000 == 0) return std::to_string(milliseconds / 60000) + " 分後";
  return std::to_string((milliseconds + 999) / 1000) + " 秒後";
}

std::string AddressNames(const std::vector<std::string>& addresses) {
  std::string text;
  for (const std::string& address : addresses) text += (text.empty() ? "<" : ", <") + address + ">";
  return text;
}

}  // namespace

std::string AttemptNote(const AttemptDecision& decision, bool stopped, bool retryTimerTicks) {
  using Kind = AttemptDecision::Kind;
  if (decision.kind == Kind::kDelivered) return "";
  if (decision.kind == Kind::kFinal) return "サーバーが拒否したため再送しません。";
  std::string note;
  if (decision.kind == Kind::kPartly) note = "一時的に拒否された宛先 " + AddressNames(decision.later) + " には";
  if (stopped) return note + "サービスの次の開始後に再送します。";
  if (!retryTimerTicks) return note + "次の実行で再送します。";
  return note + DelayText(decision.retryMs) + "に再送します。";
}

std::string LateDeliveryText(const PendingMail& mail) {
  return std::string(mail.recovery ? kRecoveryDeliveredLate : kAlertDeliveredLate) + mail.composedLocal + " (" +
         std::to_string(mail.attempts) + " 回失敗した後に送信)";
}

int64_t RetryDelayMs(int failedAttempts, int64_t firstMs) {
  constexpr int64_t kMinute = 60 * 1000;
  if (failedAttempts <= 1) return firstMs;
  if (failedAttempts == 2) return 15 * kMinute;
  if (failedAttempts == 3) return 30 * kMinute;
  return 60 * kMinute;
}

bool IsFinalRefusal(const TDeliveryResult& result) {
  if (result.Delivered()) return false;
  const Status& status = result.status;
  const TSmtpStep step = result.step;
  // The token endpoint refused the client itself (invalid_client,
  // unauthorized_client): the same request fails until the settings change.
  if (step == TSmtpStep::Token) return status.Kind() == StatusKind::kRejected;
  if (step == TSmtpStep::Mail || step == TSmtpStep::Data || step == TSmtpStep::EndOfData)
    return status.Code() >= 500 && status.Code() <= 599;
  if (step != TSmtpStep::Rcpt || result.refused.empty()) return false;
  // A conversation that ended at RCPT for another reason (a time-out, a
  // closed connection, a stop) after a refused recipient is no refusal.
  if (status.Code() < 500 || status.Code() > 599) return false;
  // Every recipient refused: final only when every refusal was permanent.
  for (const auto& refusal : result.refused)
    if (refusal.second.empty() || refusal.second[0] != '5') return false;
  return true;
}

AlertStep AlertPolicy::OnCheck(const CheckFacts& facts, const AlertRules& rules, const AlertClock& clock) {
  const bool pendingRecovery = pending_ && pending_->recovery;
  AlertStep step = AlertStep::kNone;
  // Mail switched off takes a waiting mail with it.
  if (!rules.mailOn) {
    pending_.reset();
    step = AlertStep::kDrop;
  }
  if (facts.shortLetters.empty() && facts.forecastLetters.empty()) {
    // The shortage (or the forecast) is over: a waiting alert is no longer true. A waiting
    // recovery notice still is, and stays.
    const bool noticeWaits = pendingRecovery && rules.mailOn && rules.recoveryMail;
    if (noticeWaits) return step;
    pending_.reset();
    // The alert stays open until its recovery notice is delivered (or
    // refused for good): a notice that waits goes on with its retries, and
    // one replaced by a new shortage's alert is composed again at the next
    // recovery.
    if (alertOpen_ && rules.recoveryMail && rules.mailOn) {
      SetPending(true, facts.recoveryReport, "", clock);
      return AlertStep::kSend;
    }
    alertOpen_ = false;
    return AlertStep::kDrop;
  }
  if (!rules.mailOn || !ReminderDue(facts.shortLetters, rules, clock, facts.forecastLetters)) return step;
  // The newest report replaces a waiting one.
  SetPending(false, facts.alertReport, facts.shortLetters, clock, facts.forecastLetters);
  return AlertStep::kSend;
}

AlertStep AlertPolicy::OnRetry(const AlertRules& rules) {
  if (!pending_) return AlertStep::kNone;
  if (rules.mailOn) return AlertStep::kSend;
  pending_.reset();
  return AlertStep::kDrop;
}

std::optional<int64_t> AlertPolicy::BusyRetryDelay(int64_t firstRetryMs) const {
  if (!pending_) return std::nullopt;
  return RetryDelayMs(pending_->attempts, firstRetryMs);
}

std::optional<PendingMail> AlertPolicy::BeginAttempt() {
  if (!pending_) return std::nullopt;
  pending_->triedThisRun = true;
  return pending_;
}

void AlertPolicy::NewRun() {
  if (pending_) pending_->triedThisRun = false;
}

bool AlertPolicy::ReminderDue(const std::string& shortLetters, const AlertRules& rules, const AlertClock& clock,
                              const std::string& forecastLetters) const {
  if (rules.remindHours <= 0 || !alertOpen_) return true;
  if (pending_) return true;  // the last alert never arrived
  // A letter or volume short now that the last alert did not name is news,
  // and so is one forecast to fill that the last alert named neither short
  // nor forecast.
  const std::vector<std::string> alerted = ShortSetNames(alertShort_);
  const std::vector<std::string> forecast = ShortSetNames(alertForecast_);
  const auto named = [](const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
  };
  for (const std::string& name : ShortSetNames(shortLetters))
    if (!named(alerted, name)) return true;
  for (const std::string& name : ShortSetNames(forecastLetters))
    if (!named(alerted, name) && !named(forecast, name)) return true;
  int64_t alertSeconds = 0;
  if (!UtcStampSeconds(alertUtc_, &alertSeconds)) return true;
  int64_t nowSeconds = 0;
  if (!UtcStampSeconds(UtcStamp(clock.now, clock.utcOffsetMinutes), &nowSeconds)) return true;
  // A clock set back (now before the alert) counts as due too.
  const int64_t passed = nowSeconds - alertSeconds;
  return passed < 0 || passed >= int64_t{rules.remindHours} * 3600;
}

void AlertPolicy::SetPending(bool recovery, const std::string& report, const std::string& shortLetters,
                             const AlertClock& clock, const std::string& forecastLetters) {
  PendingMail mail;
  mail.recovery = recovery;
  mail.report = report;
  mail.composedLocal = LocalStamp(clock.now);
  mail.composedUtc = UtcStamp(clock.now, clock.utcOffsetMinutes);
  mail.shortLetters = shortLetters;
  mail.forecastLetters = forecastLetters;
  pending_ = std::move(mail);
}

void AlertPolicy::AlertDelivered(const PendingMail& mail, const AlertClock& clock) {
  if (mail.recovery) {
    alertOpen_ = false;  // the notice is out
    return;
  }
  alertOpen_ = true;
  alertShort_ = mail.shortLetters;
  alertForecast_ = mail.forecastLetters;
  alertUtc_ = UtcStamp(clock.now, clock.utcOffsetMinutes);
}

AttemptDecision AlertPolicy::OnAttempt(const PendingMail& mail, const TDeliveryResult& result,
                                       const std::string& everyone, const AlertRules& rules,
                                       const AlertClock& clock) {
  AttemptDecision decision;
  decision.mail = mail;
  // The recipients of this attempt: those still to reach, or everyone.
  const std::string attempted = mail.recipients.empty() ? everyone : mail.recipients;
  const int attempts = mail.attempts + 1;
  if (result.Delivered()) {
    AlertDelivered(mail, clock);
    // Recipients refused for now (4xx) by a server that took the text for
    // others: the mail waits for them alone.
    for (const auto& [address, reply] : result.refused)
      if (!IsPermanentReply(reply) && !HasAddress(decision.later, address)) decision.later.push_back(address);
    if (decision.later.empty()) {
      pending_.reset();
      decision.kind = AttemptDecision::Kind::kDelivered;
      return decision;
    }
    if (pending_) {
      pending_->attempts = attempts;
      pending_->recipients = WriteCommaList(decision.later);
    }
    decision.kind = AttemptDecision::Kind::kPartly;
    decision.retryMs = RetryDelayMs(attempts, rules.firstRetryMs);
    return decision;
  }
  // Recipients refused for good before the conversation failed are not
  // tried again; the others are.
  bool narrowed = false;
  for (const auto& refusal : result.refused) narrowed = narrowed || IsPermanentReply(refusal.second);
  const std::vector<std::string> left = narrowed ? WithoutPermanentRefusals(attempted, result) : std::vector<std::string>{};
  if (IsFinalRefusal(result) || (narrowed && left.empty())) {
    if (mail.recovery) alertOpen_ = false;
    pending_.reset();
    decision.kind = AttemptDecision::Kind::kFinal;
    return decision;
  }
  if (pending_) {
    pending_->attempts = attempts;
    if (narrowed) pending_->recipients = WriteCommaList(left);
  }
  decision.kind = AttemptDecision::Kind::kRetry;
  decision.retryMs = RetryDelayMs(attempts, rules.firstRetryMs);
  return decision;
}

AttemptDecision AlertPolicy::OnChannelAttempt(const PendingMail& mail, ChannelOutcome outcome, int64_t atLeastMs,
                                              const AlertRules& rules, const AlertClock& clock) {
  AttemptDecision decision;
  decision.mail = mail;
  if (outcome == ChannelOutcome::kDelivered) {
    AlertDelivered(mail, clock);
    pending_.reset();
    decision.kind = AttemptDecision::Kind::kDelivered;
    return decision;
  }
  if (outcome == ChannelOutcome::kFinal) {
    if (mail.recovery) alertOpen_ = false;
    pending_.reset();
    decision.kind = AttemptDecision::Kind::kFinal;
    return decision;
  }
  const int attempts = mail.attempts + 1;
  if (pending_) pending_->attempts = attempts;
  decision.kind = AttemptDecision::Kind::kRetry;
  decision.retryMs = std::max(RetryDelayMs(attempts, rules.firstRetryMs), atLeastMs);
  return decision;
}

void AlertPolicy::LoadFrom(const ChannelState& channel) {
  CheckState state;
  state.alertUtc = channel.alertUtc;
  state.alertShort = channel.alertShort;
  state.alertOpen = channel.alertOpen;
  state.pending = channel.pending;
  state.pendingRecovery = channel.pendingRecovery;
  state.pendingReport = channel.pendingReport;
  state.pendingComposedLocal = channel.pendingComposedLocal;
  state.pendingComposedUtc = channel.pendingComposedUtc;
  state.pendingAttempts = channel.pendingAttempts;
  state.pendingShort = channel.pendingShort;
  LoadFrom(state);
}

void AlertPolicy::SaveTo(ChannelState& channel) const {
  CheckState state;
  SaveTo(state);
  channel.alertUtc = state.alertUtc;
  channel.alertShort = state.alertShort;
  channel.alertOpen = state.alertOpen;
  channel.pending = state.pending;
  channel.pendingRecovery = state.pendingRecovery;
  channel.pendingReport = state.pendingReport;
  channel.pendingComposedLocal = state.pendingComposedLocal;
  channel.pendingComposedUtc = state.pendingComposedUtc;
  channel.pendingAttempts = state.pendingAttempts;
  channel.pendingShort = state.pendingShort;
}

void AlertPolicy::LoadFrom(const CheckState& state) {
  alertUtc_ = state.alertUtc;
  alertShort_ = state.alertShort;
  alertForecast_ = state.alertForecast;
  alertOpen_ = state.alertOpen;
  pending_.reset();
  if (!state.pending) return;
  PendingMail mail;
  mail.recovery = state.pendingRecovery;
  mail.report = state.pendingReport;
  mail.composedLocal = state.pendingComposedLocal;
  mail.composedUtc = state.pendingComposedUtc;
  mail.attempts = static_cast<int>(std::clamp<int64_t>(state.pendingAttempts, 0, 1000000));
  mail.shortLetters = state.pendingShort;
  mail.forecastLetters = state.pendingForecast;
  mail.recipients = state.pendingRecipients;
  pending_ = std::move(mail);
}

void AlertPolicy::SaveTo(CheckState& state) const {
  state.alertUtc = alertUtc_;
  state.alertShort = alertShort_;
  state.alertForecast = alertForecast_;
  state.alertOpen = alertOpen_;
  state.pending = pending_.has_value();
  if (!pending_) return;
  state.pendingRecovery = pending_->recovery;
  state.pendingReport = pending_->report;
  state.pendingComposedLocal = pending_->composedLocal;
  state.pendingComposedUtc = pending_->composedUtc;
  state.pendingAttempts = pending_->attempts;
  state.pendingShort = pending_->shortLetters;
  state.pendingForecast = pending_->forecastLetters;
  state.pendingRecipients = pending_->recipients;
}

}  // namespace qw
