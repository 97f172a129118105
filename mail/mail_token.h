// The OAuth 2.0 login of the mail: the access token for the SMTP server,
// fetched from the token endpoint of the settings and kept in memory across
// alerts, retries, reminders and test mails while the settings stay the
// same (a change of the [MAIL] OAuth keys drops it).
//
// MailLogin::Deliver wraps one delivery attempt: for a password login it is
// the attempt itself; for OAuth 2.0 it first gets the token (step TOKEN when
// that fails, with what the endpoint said, before the server is dialled),
// gives it to the client, and when the server refuses it at AUTH fetches
// one fresh token and tries once more. The fetch and the conversation share
// the attempt's deadline; Cancel ends a fetch as a stop ends the
// conversation. The token goes nowhere but into the SMTP client (which masks
// it as it masks the password).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "auth/assertion_signer.h"
#include "auth/token_cache.h"
#include "common/oauth_settings.h"
#include "mail/smtp_client.h"
#include "mail/smtp_settings.h"
#include "platform/http_client.h"

namespace qw {

// An HttpClient that makes a new platform client for each request, so that
// a cancel ends the request in flight and those that follow until Resume,
// and no longer (a platform client, once cancelled, stays so).
class CancellableHttp : public HttpClient {
 public:
  using Factory = std::function<std::unique_ptr<HttpClient>()>;
  explicit CancellableHttp(Factory factory = NewHttpClient) : factory_(std::move(factory)) {}

  Result<HttpResponse> Send(const HttpRequest& request) override;
  void Cancel() override;
  void Resume();

 private:
  Factory factory_;
  std::mutex mutex_;
  bool cancelled_ = false;
  HttpClient* current_ = nullptr;
};

// The token settings of `oauth`: grant, URL, scope, client and proxy, with
// the whole request bounded by `timeoutMs`.
TokenSettings TokenSettingsOf(const OAuthSettings& oauth, const std::string& mailbox, int timeoutMs);

class MailLogin {
 public:
  // `http` makes the platform's HTTP client; tests hand in another.
  explicit MailLogin(CancellableHttp::Factory http = NewHttpClient, TokenClock& clock = SystemTokenClock());

  // One attempt with the login of `settings`. `attempt` applies the
  // settings it is given to `client` (their deadline is what is left after
  // the fetch) and runs the conversation; the client's BearerToken is set
  // before for OAuth 2.0 (and cleared for a password). `note`, when given,
  // is told a line for each token step (for the test mail's transcript):
  // "TOKEN <url>: ...".
  using Attempt = std::function<TDeliveryResult(const TTestMailSettings& settings)>;
  TDeliveryResult Deliver(TSMTPClient& client, const TTestMailSettings& settings, const Attempt& attempt,
                          const std::function<void(const std::string& line)>& note = nullptr);

  // Safe from any thread: ends a fetch in progress, and every fetch until
  // Resume (a stop).
  void Cancel();
  void Resume();

  // Requests sent to the token endpoint with the current settings.
  int64_t Fetches() const;

 private:
  // The cache of `settings` (made anew when they changed); a failure to
  // open the certificate or key is the TOKEN step's.
  Result<TokenCache*> CacheFor(const TTestMailSettings& settings);

  CancellableHttp http_;
  TokenClock& clock_;
  mutable std::mutex mutex_;  // the members below, against Fetches from another thread
  OAuthSettings oauth_;
  std::string mailbox_;
  int timeoutMs_ = 0;
  std::unique_ptr<AssertionSigner> signer_;
  std::unique_ptr<TokenCache> cache_;
};

}  // namespace qw
