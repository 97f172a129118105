#include "service/webhook_channels.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <system_error>
#include <thread>

namespace qw {
namespace {

// A tick this close to a channel's due time counts as its own.
constexpr int64_t kDueSlackMs = 50;

std::string LateText(const std::string& section, const PendingMail& mail) {
  return "通知先 " + section + " に" + (mail.recovery ? "回復のお知らせ" : "警告") + "を遅れて送信しました。作成: " +
         mail.composedLocal + " (" + std::to_string(mail.attempts) + " 回失敗した後に送信)";
}

}  // namespace

int64_t WebhookChannels::NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void WebhookChannels::SetTargets(const std::vector<WebhookTarget>& targets) {
  std::vector<Channel> next;
  for (const WebhookTarget& target : targets) {
    Channel channel;
    auto same = std::find_if(channels_.begin(), channels_.end(),
                             [&target](const Channel& c) { return c.target.section == target.section; });
    if (same != channels_.end()) {
      channel = std::move(*same);
    } else {
      channel.record.name = target.section;
      auto earlier = std::find_if(previous_.begin(), previous_.end(),
                                  [&target](const ChannelState& c) { return c.name == target.section; });
      if (earlier != previous_.end()) {
        channel.record = *earlier;
        channel.policy.LoadFrom(*earlier);
        previous_.erase(earlier);
      }
      channel.dueMs = NowMs();
    }
    // Another kind or URL under the same name: what waits was composed for
    // the old one, and the old one's memory no longer holds.
    if (same != channels_.end() &&
        (channel.target.kind != target.kind || channel.target.url != target.url)) {
      channel.policy = AlertPolicy();
      channel.record = ChannelState();
      channel.record.name = target.section;
    }
    channel.target = target;
    channel.mask = WebhookMask(target);
    next.push_back(std::move(channel));
  }
  channels_ = std::move(next);
}

void WebhookChannels::LoadFrom(const CheckState& state) {
  previous_ = state.channels;
  // Channels made before the state was read take theirs now.
  for (Channel& channel : channels_) {
    auto earlier = std::find_if(previous_.begin(), previous_.end(),
                                [&channel](const ChannelState& c) { return c.name == channel.target.section; });
    if (earlier == previous_.end()) continue;
    channel.record = *earlier;
    channel.policy.LoadFrom(*earlier);
    channel.dueMs = NowMs();
    previous_.erase(earlier);
  }
}

void WebhookChannels::SaveTo(CheckState& state) const {
  state.channels.clear();
  for (const Channel& channel : channels_) {
    ChannelState record = channel.record;
    channel.policy.SaveTo(record);
    state.channels.push_back(record);
  }
}

void WebhookChannels::NewRun() {
  for (Channel& channel : channels_) {
    channel.policy.NewRun();
    channel.dueMs = NowMs();
  }
}

void WebhookChannels::OnCheck(const std::string& shortLetters, const std::string& forecastLetters,
                              AlertNotice alert, const AlertNotice& recovery, const Context& context) {
  AlertRules rules = context.rules;
  rules.mailOn = true;  // a listed target is on
  const bool warning = !shortLetters.empty() || !forecastLetters.empty();
  std::vector<Channel*> due;
  for (Channel& channel : channels_) {
    AlertNotice notice = alert;
    // A reminder when the open alert told a shortage already; after a
    // forecast alone the first shortage is an alert.
    if (!shortLetters.empty() && channel.policy.AlertOpen() && !channel.policy.AlertedShort().empty() &&
        notice.kind == AlertNotice::Kind::kAlert)
      notice.kind = AlertNotice::Kind::kReminder;
    CheckFacts facts;
    facts.shortLetters = shortLetters;
    facts.forecastLetters = forecastLetters;
    const Result<std::string> alertBody =
        !warning ? Result<std::string>(std::string()) : RenderWebhookBody(channel.target.kind, notice);
    const Result<std::string> recoveryBody =
        !warning ? RenderWebhookBody(channel.target.kind, recovery) : Result<std::string>(std::string());
    if (!alertBody || !recoveryBody) {
      entries_.Error("通知先 " + channel.target.section + " の通知を作れません: " +
                     (!alertBody ? alertBody.status() : recoveryBody.status()).Describe());
      continue;
    }
    facts.alertReport = *alertBody;
    facts.recoveryReport = *recoveryBody;
    const AlertStep step = channel.policy.OnCheck(facts, rules, context.clock);
    channel.record.attempted = false;
    if (step == AlertStep::kSend) due.push_back(&channel);
  }
  AttemptAll(due, context);
}

void WebhookChannels::OnRetry(const Context& context) {
  std::optional<int64_t> first;
  for (const Channel& channel : channels_)
    if (channel.policy.Pending()) first = std::min(first.value_or(channel.dueMs), channel.dueMs);
  if (!first) return;
  const int64_t now = NowMs();
  std::vector<Channel*> due;
  for (Channel& channel : channels_) {
    if (!channel.policy.Pending()) continue;
    if (channel.dueMs <= now + kDueSlackMs || channel.dueMs == *first) due.push_back(&channel);
  }
  AttemptAll(due, context);
}

std::optional<int64_t> WebhookChannels::NextDueMs() const {
  std::optional<int64_t> first;
  for (const Channel& channel : channels_)
    if (channel.policy.Pending()) first = std::min(first.value_or(channel.dueMs), channel.dueMs);
  if (!first) return std::nullopt;
  return std::max<int64_t>(*first - NowMs(), 0);
}

std::vector<std::string> WebhookChannels::Failures() const {
  std::vector<std::string> failed;
  for (const Channel& channel : channels_)
    if (channel.record.attempted && !channel.record.delivered)
      failed.push_back(channel.target.section + ": " + channel.record.reply);
  return failed;
}

bool WebhookChannels::UntriedPending() const {
  for (const Channel& channel : channels_)
    if (channel.policy.Pending() && !channel.policy.Pending()->triedThisRun) return true;
  return false;
}

void WebhookChannels::AttemptAll(const std::vector<Channel*>& due, const Context& context) {
  struct Job {
    Channel* channel;
    PendingMail mail;
    WebhookResult result;
  };
  std::vector<Job> jobs;
  for (Channel* channel : due) {
    std::optional<PendingMail> mail = channel->policy.BeginAttempt();
    // After a stop nothing begins: it waits for the next start.
    if (mail && !(context.stopped && context.stopped())) jobs.push_back(Job{channel, *mail, WebhookResult{}});
  }
  // Every target at once: a silent one holds no other beyond its own bound.
  auto send = [this, &context](Job& job) {
    try {
      job.result = sender_.Send(job.channel->target, job.mail.report, context.timeoutMs);
    } catch (const std::exception& e) {
      job.result = WebhookResult{};
      job.result.reason = e.what();
    }
  };
  std::vector<std::thread> threads;
  for (size_t i = 1; i < jobs.size(); ++i) {
    try {
      threads.emplace_back(send, std::ref(jobs[i]));
    } catch (const std::system_error&) {
      send(jobs[i]);  // no thread to be had: on this one
    }
  }
  if (!jobs.empty()) send(jobs[0]);
  for (std::thread& thread : threads) thread.join();

  using Outcome = AlertPolicy::ChannelOutcome;
  AlertRules rules = context.rules;
  rules.mailOn = true;
  for (Job& job : jobs) {
    Channel& channel = *job.channel;
    WebhookResult& result = job.result;
    const PendingMail& mail = job.mail;
    result.reason = channel.mask.Apply(result.reason);
    const Outcome outcome = result.Delivered()                                      ? Outcome::kDelivered
                            : result.outcome == WebhookResult::Outcome::kFinal ? Outcome::kFinal
                                                                                    : Outcome::kRetry;
    const AttemptDecision decision =
        channel.policy.OnChannelAttempt(mail, outcome, result.retryAfterMs, rules, context.clock);
    ChannelState& record = channel.record;
    record.attempted = true;
    record.delivered = result.Delivered();
    record.reply = result.step + (result.status ? " " + std::to_string(result.status) : std::string()) +
                   (result.reason.empty() ? "" : ": " + result.reason);
    if (result.Delivered()) {
      record.lastDeliveryLocal = LocalStamp(context.clock.now);
      record.lastDeliveryUtc = UtcStamp(context.clock.now, context.clock.utcOffsetMinutes);
      if (mail.attempts > 0) entries_.Information(LateText(channel.target.section, mail));
      continue;
    }
    ++record.failures;
    const bool stopped = result.cancelled || (context.stopped && context.stopped());
    if (decision.kind == AttemptDecision::Kind::kRetry) channel.dueMs = NowMs() + decision.retryMs;
    entries_.Error(WebhookFailureEntry(channel.target, result, mail.recovery,
                                       AttemptNote(decision, stopped, context.retryTimerTicks)));
  }
}

}  // namespace qw
