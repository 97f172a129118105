// The webhook targets as alert channels: each target of the settings has an
// AlertPolicy of its own (its pending alert, retries, final refusals,
// recovery and reminders) beside the mail's, its own record in the state
// ([CHANNEL.<section>]) and its own due time for the next attempt. One
// channel failing never holds another: each attempt is bounded, and the
// ones that fail wait for their own retry.
//
// Used from the check's thread only (the watch runs one check or retry at a
// time); the sender's Cancel is the one call from other threads.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/check_state.h"
#include "common/webhook_settings.h"
#include "service/alert_policy.h"
#include "service/entries.h"
#include "service/webhook_payloads.h"
#include "service/webhook_sender.h"

namespace qw {

class WebhookChannels {
 public:
  WebhookChannels(EntryWriter& entries, WebhookSender& sender) : entries_(entries), sender_(sender) {}

  // What an attempt needs from the watch.
  struct Context {
    AlertRules rules;  // RECOVERYMAIL, REMIND and the first retry delay (mailOn is not read)
    AlertClock clock;
    int64_t timeoutMs = 300000;  // the mail conversation's deadline
    bool retryTimerTicks = true;
    std::function<bool()> stopped;  // a stop came meanwhile
  };

  // The targets of a load. A target new to the list takes the state an
  // earlier run left under its name; a target no longer listed is dropped
  // with whatever waited for it.
  void SetTargets(const std::vector<WebhookTarget>& targets);
  // The state an earlier run left; it is taken up as SetTargets names them.
  void LoadFrom(const CheckState& state);
  // Every channel's record and policy memory into `state.channels`.
  void SaveTo(CheckState& state) const;
  // A new run: pending alerts taken over are due at once.
  void NewRun();

  // A check found `shortLetters` short and `forecastLetters` forecast to
  // fill; `alert` and `recovery` are its notices (a shortage's alert is made
  // a reminder for a channel whose alert is still open). Each channel
  // decides and, where it has to, sends now.
  void OnCheck(const std::string& shortLetters, const std::string& forecastLetters, AlertNotice alert,
               const AlertNotice& recovery, const Context& context);
  // The retry timer ticked: every channel due by now goes, and at least the
  // one due first (a timer may tick a moment early).
  void OnRetry(const Context& context);
  // Milliseconds from now to the first channel due; none when nothing waits.
  std::optional<int64_t> NextDueMs() const;
  // A pending alert not yet tried in this run.
  bool UntriedPending() const;

  size_t Count() const { return channels_.size(); }
  // The targets whose last attempt did not deliver, with that attempt's
  // step and answer ("WEBHOOK2: HTTP 500: ...").
  std::vector<std::string> Failures() const;

 private:
  struct Channel {
    WebhookTarget target;
    SecretMask mask;
    AlertPolicy policy;
    ChannelState record;
    int64_t dueMs = 0;  // steady clock; meaningful while the policy has a pending alert
  };
  // The attempts of `due`, each on a thread of its own, then their
  // outcomes in settings order.
  void AttemptAll(const std::vector<Channel*>& due, const Context& context);
  static int64_t NowMs();

  EntryWriter& entries_;
  WebhookSender& sender_;
  std::vector<Channel> channels_;
  std::vector<ChannelState> previous_;
};

}  // namespace qw
