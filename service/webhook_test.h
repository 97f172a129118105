// The test notification of one webhook target: what the service's test
// command (--test-mail, /TESTMAIL) posts to every target, and what the
// applet's テスト送信 posts to the one chosen. One attempt, never retried:
// the outcome is for a person to read at once.
//
// The notice names the computer and the time of sending and carries no
// drive; it is rendered for the target's kind like every alert.
#pragma once

#include <cstdint>
#include <string>

#include "common/webhook_settings.h"
#include "platform/system_info.h"
#include "service/webhook_payloads.h"
#include "service/webhook_sender.h"

namespace qw {

// The text the test notification carries (Shift-JIS, CR LF).
std::string TestNotificationText(SystemInfo& system);

// The test notice of this moment.
AlertNotice TestNotificationNotice(SystemInfo& system);

struct TestNotificationResult {
  WebhookResult result;  // how the attempt ended (step, status, answer)
  // One line for a person (Shift-JIS): the target, its kind and host, and
  // "送信しました (HTTP 200)" or why it did not go, with the step, the
  // status and the answer's first line. The URL's secret part and the
  // header values never appear in it.
  std::string text;
  bool Delivered() const { return result.Delivered(); }
};

// The outcome line of an attempt at `target` (what SendTestNotification
// puts in `text`).
std::string TestNotificationOutcomeText(const WebhookTarget& target, const WebhookResult& result);

// Posts the test notice to `target` through `sender`, bounded by
// `timeoutMs`; blocks until the answer, a failure, the bound or
// `sender.Cancel()` (from any thread: the result is then cancelled).
// Never throws.
TestNotificationResult SendTestNotification(const WebhookTarget& target, SystemInfo& system, WebhookSender& sender,
                                            int64_t timeoutMs);

}  // namespace qw
