// The alert policy: which mail a check or a failed attempt leads to, and
// when it is tried again. A pure state machine: no I/O, no timers, no locks.
// The caller tells it the facts (a check's shortage, an attempt's outcome,
// the time) and does what it answers (send the pending mail now, arm the
// retry timer for N ms, drop a waiting mail). It holds the mail waiting for
// its next attempt and the last delivered alert, which live on in the state
// file (LoadFrom, SaveTo).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/check_state.h"
#include "mail/smtp_client.h"
#include "platform/system_info.h"

namespace qw {

// The settings the policy follows, as the last load left them.
struct AlertRules {
  bool mailOn = false;        // ISMAILSEND with a server and a To list
  bool recoveryMail = false;  // RECOVERYMAIL=1
  int32_t remindHours = 0;    // REMIND; 0 mails at every check
  int64_t firstRetryMs = 5 * 60 * 1000;
};

// When the policy is asked: the local time and its offset east of UTC.
struct AlertClock {
  LocalDateTime now;
  int utcOffsetMinutes = 0;
};

// A mail that failed and waits for its next attempt.
struct PendingMail {
  bool recovery = false;
  std::string report;
  std::string composedLocal;
  std::string composedUtc;
  int attempts = 0;          // failed attempts
  std::string shortLetters;  // drives short in the report
  std::string forecastLetters;  // drives forecast to fill soon in the report
  std::string recipients;    // still to reach; empty: everyone
  bool triedThisRun = false;
};

// What one check found.
struct CheckFacts {
  std::string shortLetters;    // drives below their threshold; empty: none
  // Drives not short but forecast to reach their threshold within
  // FORECASTDAYS: their report is a warning and mails as a shortage does.
  std::string forecastLetters;
  std::string alertReport;     // the warning's report (when a drive is short or forecast)
  std::string recoveryReport;  // the recovery notice (when none is)
};

enum class AlertStep {
  kNone,  // nothing changes
  kSend,  // a mail is pending and goes now (the retry timer is off)
  kDrop,  // the waiting mail, if any, is gone (the retry timer is off)
};

// True for a mail that tells only a forecast (its own subject): no drive
// short, some forecast.
inline bool IsForecastMail(const PendingMail& mail) {
  return !mail.recovery && mail.shortLetters.empty() && !mail.forecastLetters.empty();
}

// What an attempt of the pending mail came to.
struct AttemptDecision {
  enum class Kind {
    kDelivered,  // every recipient reached or refused for good: nothing waits
    kPartly,     // delivered, but some recipients refused for now: they wait
    kRetry,      // not delivered: tried again after retryMs
    kFinal,      // refused for good: dropped
  };
  Kind kind = Kind::kDelivered;
  int64_t retryMs = 0;                // kPartly, kRetry
  std::vector<std::string> later;     // kPartly: the recipients that wait
  // The mail as it was attempted (its failures before this attempt).
  PendingMail mail;
};

// The delays between attempts: the first (5 minutes unless told), then 15,
// 30 and every 60 minutes.
int64_t RetryDelayMs(int failedAttempts, int64_t firstMs);

// True for a 5xx refusal of the whole message (MAIL, DATA, the end of the
// text) or of every recipient: trying again would meet the same answer.
bool IsFinalRefusal(const TDeliveryResult& result);

// The line an attempt's error entry ends with: when the mail goes again
// (after the delay, at the next run of a one-shot host without a retry
// timer, after the next start when a stop ended the attempt), or that it
// does not. Empty for a delivery.
std::string AttemptNote(const AttemptDecision& decision, bool stopped, bool retryTimerTicks);
// The information entry of a mail delivered after failed attempts.
std::string LateDeliveryText(const PendingMail& mail);
inline constexpr const char* kAlertDeliveredLate = "警告メールを遅れて送信しました。作成: ";
inline constexpr const char* kRecoveryDeliveredLate = "回復のお知らせを遅れて送信しました。作成: ";

class AlertPolicy {
 public:
  // A check ended with `facts`. A shortage mails (and replaces a waiting
  // mail) unless REMIND holds back a standing one; the end of a shortage
  // drops a waiting alert and, with RECOVERYMAIL, sends the recovery notice
  // of a delivered alert; mail switched off drops what waits.
  AlertStep OnCheck(const CheckFacts& facts, const AlertRules& rules, const AlertClock& clock);
  // The retry timer ticked: the pending mail goes, or is dropped when mail
  // is off.
  AlertStep OnRetry(const AlertRules& rules);
  // A retry that met a running check waits this long again; none without a
  // pending mail.
  std::optional<int64_t> BusyRetryDelay(int64_t firstRetryMs) const;

  // The pending mail for an attempt (marked as tried in this run).
  std::optional<PendingMail> BeginAttempt();
  // The attempt of `mail` came to `result`. `everyone`: the To and Cc
  // addresses of the settings (a comma list), the recipients of a mail
  // that has no narrower list.
  AttemptDecision OnAttempt(const PendingMail& mail, const TDeliveryResult& result, const std::string& everyone,
                            const AlertRules& rules, const AlertClock& clock);

  // A channel without recipients (a webhook) answered an attempt of `mail`:
  // delivered, refused for good, or to be tried again after the schedule's
  // delay, or after `atLeastMs` when that is later (a Retry-After).
  enum class ChannelOutcome { kDelivered, kRetry, kFinal };
  AttemptDecision OnChannelAttempt(const PendingMail& mail, ChannelOutcome outcome, int64_t atLeastMs,
                                   const AlertRules& rules, const AlertClock& clock);

  // False while REMIND holds back a mail of a standing shortage (or
  // forecast: a drive forecast before and short now is news at once).
  bool ReminderDue(const std::string& shortLetters, const AlertRules& rules, const AlertClock& clock,
                   const std::string& forecastLetters = "") const;

  const std::optional<PendingMail>& Pending() const { return pending_; }
  // A new run begins: a pending mail taken over has not been tried yet.
  void NewRun();
  bool AlertOpen() const { return alertOpen_; }
  // What the last delivered alert named short ("" for a forecast alone).
  const std::string& AlertedShort() const { return alertShort_; }

  // The state file's [PENDINGALERT] and [ALERT].
  void LoadFrom(const CheckState& state);
  void SaveTo(CheckState& state) const;
  // The same memory of a webhook channel (its [CHANNEL.<name>] section).
  void LoadFrom(const ChannelState& channel);
  void SaveTo(ChannelState& channel) const;

 private:
  void SetPending(bool recovery, const std::string& report, const std::string& shortLetters,
                  const AlertClock& clock, const std::string& forecastLetters = "");
  void AlertDelivered(const PendingMail& mail, const AlertClock& clock);

  std::optional<PendingMail> pending_;
  std::string alertUtc_;  // the last delivered alert
  std::string alertShort_;
  std::string alertForecast_;
  bool alertOpen_ = false;
};

}  // namespace qw
