#include "auth/token_cache.h"

#include <algorithm>
#include <chrono>

#include "auth/token_response.h"

namespace qw {
namespace {

class SystemClock : public TokenClock {
 public:
  int64_t UnixSeconds() override {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
  }
  int64_t SteadyMilliseconds() override {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
};

}  // namespace

TokenClock& SystemTokenClock() {
  static SystemClock clock;
  return clock;
}

TokenCache::TokenCache(TokenSettings settings, HttpClient& http, AssertionSigner* signer, TokenClock& clock)
    : settings_(std::move(settings)), http_(http), signer_(signer), clock_(clock) {}

bool TokenCache::FreshLocked() const { return !token_.empty() && clock_.SteadyMilliseconds() < expiresAtMs_; }

Result<std::string> TokenCache::FetchLocked() {
  AssertionContext context{clock_.UnixSeconds(), NewJti()};
  Result<HttpRequest> request = BuildTokenRequest(settings_, signer_, context);
  if (!request) return request.status();
  const int64_t sentAtMs = clock_.SteadyMilliseconds();
  ++fetches_;
  Result<HttpResponse> response = http_.Send(*request);
  if (!response) {
    // The connection, TLS, the time-out or a cancel: step TOKEN, with what
    // the HTTP client said and its kind (kTimedOut, kCancelled) kept.
    const Status& failed = response.status();
    return Status::Failure("TOKEN", failed.Code(), failed.Describe(), failed.Kind());
  }
  Result<AccessToken> token = ParseTokenResponse(*response);
  if (!token) return token.status();
  const int64_t lifetime = token->expiresInSeconds;
  const int64_t margin = std::min(kRenewMarginSeconds, lifetime / 5);
  if (token_ != token->value) previous_ = std::move(token_);
  token_ = std::move(token->value);
  expiresAtMs_ = sentAtMs + (lifetime - margin) * 1000;
  return token_;
}

Result<std::string> TokenCache::Get() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (FreshLocked()) return token_;
  return FetchLocked();
}

Result<std::string> TokenCache::RenewAfterRefusal(const std::string& refused) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (FreshLocked() && token_ != refused) return token_;
  expiresAtMs_ = 0;
  return FetchLocked();
}

void TokenCache::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  token_.clear();
  previous_.clear();
  expiresAtMs_ = 0;
}

void TokenCache::Cancel() { http_.Cancel(); }

void TokenCache::AddTokensTo(SecretMask& mask) const {
  std::lock_guard<std::mutex> lock(mutex_);
  mask.AddSecret(token_);
  mask.AddSecret(previous_);
}

int64_t TokenCache::Fetches() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return fetches_;
}

}  // namespace qw
