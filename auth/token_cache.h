// TokenCache: the access token of one set of token settings, fetched when
// needed and kept in memory until shortly before it expires, so that every
// alert, retry and test mail meanwhile uses the same one. Nothing of it is
// written anywhere.
//
//   TokenCache cache(settings, http, signer, clock);
//   Result<std::string> token = cache.Get();          // cached or fetched
//   ... the SMTP server refuses *token ...
//   token = cache.RenewAfterRefusal(*token);         // one fresh token
//
// A token counts as expired kRenewMargin before the end of its lifetime (a
// fifth of a short lifetime), measured from the moment the request was sent.
// The methods may be called from several threads; a fetch runs under the
// cache's lock, so concurrent callers wait for it and share its token.
// Cancel (any thread) ends a fetch in progress.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "auth/assertion_signer.h"
#include "auth/token_request.h"
#include "common/secret_mask.h"
#include "platform/http_client.h"
#include "platform/status.h"

namespace qw {

// Time as the token client needs it: the wall clock for the claims of an
// assertion, a steady clock for lifetimes.
class TokenClock {
 public:
  virtual ~TokenClock() = default;
  virtual int64_t UnixSeconds() = 0;
  virtual int64_t SteadyMilliseconds() = 0;
};

// The system's clocks.
TokenClock& SystemTokenClock();

class TokenCache {
 public:
  static constexpr int64_t kRenewMarginSeconds = 300;

  // `http`, `signer` (may be null for a client secret) and `clock` must
  // outlive the cache.
  TokenCache(TokenSettings settings, HttpClient& http, AssertionSigner* signer, TokenClock& clock);

  // The cached token while it is fresh; otherwise one fetched now.
  Result<std::string> Get();

  // The server refused `refused`. When the cache still holds it, it is
  // dropped and one token fetched; when the cache already holds another
  // fresh token (fetched meanwhile), that one is returned without a fetch.
  Result<std::string> RenewAfterRefusal(const std::string& refused);

  // Drops the cached token (the settings changed, or at stop).
  void Clear();

  // Ends a fetch in progress (as cancelled) from any thread; every later
  // fetch is cancelled too (the HTTP client's rule): for a stop.
  void Cancel();

  // Adds the tokens this cache handed out and a transcript may still show
  // (the current one and the one before it) to `mask`. Only those two: a
  // long-lived mask given every token of months of running would grow
  // without end.
  void AddTokensTo(SecretMask& mask) const;

  // Requests sent to the token endpoint so far.
  int64_t Fetches() const;

 private:
  Result<std::string> FetchLocked();
  bool FreshLocked() const;

  const TokenSettings settings_;
  HttpClient& http_;
  AssertionSigner* const signer_;
  TokenClock& clock_;

  mutable std::mutex mutex_;
  std::string token_;
  std::string previous_;
  int64_t expiresAtMs_ = 0;
  int64_t fetches_ = 0;
};

}  // namespace qw
