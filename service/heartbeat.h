// The heartbeat: one HTTP request after every check that ran, to the URL of
// [HEARTBEAT] (its failure URL when the check failed), so that a service
// outside this computer notices when the requests stop. A ping is tried once
// (the next check is the next try); a failed one never stops the watch. The
// first failure after a success is one warning entry, the first success
// after failures one information entry. Entries and results show the URL's
// scheme and host only.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "common/heartbeat_settings.h"
#include "common/secret_mask.h"
#include "platform/http_client.h"
#include "service/entries.h"

namespace qw {

// The entries of the heartbeat: the fixed start of each, then the shown URL
// and (for a failure) the step and the reason.
inline constexpr const char* kHeartbeatFailed = "ハートビートを送れませんでした";
inline constexpr const char* kHeartbeatRestored = "ハートビートをまた送れるようになりました";

// What one ping came to.
struct HeartbeatResult {
  bool sent = false;       // a request was made (false: no URL, or stopped)
  bool ok = false;         // answered with a 2xx status
  bool failUrl = false;    // the failure URL was asked
  std::string detail;      // "HTTP 200", or the step and the reason; masked
};

// The check a ping tells of.
struct HeartbeatFacts {
  bool checkFailed = false;
  std::string computer;  // Shift-JIS, as the system gives it
  std::string utc;       // "2026-12-09T12:04:05Z"
};

class Heartbeat {
 public:
  using ClientFactory = std::function<std::unique_ptr<HttpClient>()>;
  // `newClient`: a client per ping (none given: NewHttpClient).
  Heartbeat(EntryWriter& entries, ClientFactory newClient = nullptr);

  // The settings of a load that held; a failed load keeps the last ones.
  void Configure(const HeartbeatSettings& settings);
  bool On() const;

  // Sends one ping for a check, waiting at most `timeoutMs`. Nothing is sent
  // without a URL or after Cancel.
  HeartbeatResult Ping(const HeartbeatFacts& facts, int timeoutMs);

  // Safe from any thread: the ping in progress ends within moments, and no
  // other is sent until Resume.
  void Cancel();
  void Resume();

  // `text` with the URLs (and their paths) masked.
  std::string Mask(const std::string& text) const;

  // The POST body: {"computer":…,"outcome":"success"|"failure","time":…}.
  static std::string Body(const HeartbeatFacts& facts);

 private:
  EntryWriter& entries_;
  ClientFactory newClient_;
  mutable std::mutex mutex_;
  HeartbeatSettings settings_;
  SecretMask mask_;
  bool stopped_ = false;
  HttpClient* current_ = nullptr;  // the client of the ping in progress
  bool failing_ = false;           // the last ping failed (its entry is written)
};

}  // namespace qw
