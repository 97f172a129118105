// Delivery of one alert body to one webhook target over the platform's HTTP
// client: one POST of JSON, bounded by the mail conversation's deadline and
// ended by a stop (Cancel). What the answer means for the alert:
//   2xx                      delivered
//   408, 429, 5xx, no answer tried again (429/503: Retry-After kept)
//   3xx                      refused: a redirect is never followed
//   other 4xx                refused for good
// The URL's path and query and the header values are secrets: the texts
// made here never hold them (WebhookMask masks a server that echoes them).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/secret_mask.h"
#include "common/webhook_settings.h"
#include "platform/http_client.h"

namespace qw {

struct WebhookResult {
  enum class Outcome { kDelivered, kRetry, kFinal };
  Outcome outcome = Outcome::kRetry;
  std::string step = "HTTP";  // CONNECT, TLS or HTTP
  int status = 0;             // the HTTP status; 0 without an answer
  std::string reason;         // the answer's first line, or why there was none (Shift-JIS)
  int64_t retryAfterMs = -1;  // the answer's Retry-After; -1: none
  bool cancelled = false;     // a stop ended the attempt
  bool Delivered() const { return outcome == Outcome::kDelivered; }
};

// A Retry-After value in milliseconds: delta-seconds, or an HTTP-date
// (IMF-fixdate) against `nowUtcSeconds`; -1 for anything else. At most a day.
int64_t RetryAfterMs(const std::string& value, int64_t nowUtcSeconds);

// What an answer (or a failure) of the client comes to.
WebhookResult JudgeWebhookAnswer(const Result<HttpResponse>& answer, int64_t nowUtcSeconds);

// Every form of the target's secrets an entry or the state could meet.
SecretMask WebhookMask(const WebhookTarget& target);

// The error entry of an attempt that did not deliver: the target, the kind
// of notice, the step, the status and the answer's first line; `note` (when
// it goes again) on a line of its own.
std::string WebhookFailureEntry(const WebhookTarget& target, const WebhookResult& result, bool recovery,
                                const std::string& note);

class WebhookSender {
 public:
  using ClientFactory = std::function<std::unique_ptr<HttpClient>()>;
  explicit WebhookSender(ClientFactory factory = nullptr);

  // One POST of `body` (UTF-8 JSON) to the target, bounded by `timeoutMs`.
  // Safe on several threads at once, one client each.
  WebhookResult Send(const WebhookTarget& target, const std::string& body, int64_t timeoutMs);

  // Safe from any thread: the attempt in progress ends within moments as
  // cancelled, and so does every later one until Reset.
  void Cancel();
  void Reset();

 private:
  ClientFactory factory_;
  std::mutex mutex_;
  std::vector<HttpClient*> current_;  // the attempts in progress
  bool cancelled_ = false;
};

}  // namespace qw
