#include "mail/mail_token.h"

#include <algorithm>
#include <utility>

#include "auth/key_assertion_signer.h"
#include "auth/token_request.h"

namespace qw {
namespace {

TDeliveryResult TokenFailure(const Status& failed) {
  TDeliveryResult result;
  // The kind stays: kRejected (invalid_client, unauthorized_client) drops
  // the mail as a refusal does; a time-out or a cancel is retried.
  result.status = Status::Failure(SmtpStepWord(TSmtpStep::Token), failed.Code(), failed.Text(), failed.Kind());
  result.step = TSmtpStep::Token;
  return result;
}

// The token of a failure, as the entry gives it: "CLIENTCERT: ..." for the
// signer's, the endpoint's words as they are.
Status TokenStatus(const Status& failed) {
  if (failed.What() == "TOKEN") return failed;
  return Status::Failure("TOKEN", failed.Code(), failed.Describe(), failed.Kind());
}

// The settings as the token endpoint sees them: how the file holds the
// secret (in clear, to be protected, protected already) is left out, so that
// the service's protecting a clear CLIENTSECRET, which rewrites the file and
// so loads the settings again, keeps the token.
OAuthSettings RequestPart(OAuthSettings oauth) {
  oauth.clientSecretInFile = false;
  oauth.protectedClientSecret.clear();
  oauth.protectFailure.clear();
  return oauth;
}

// A refusal of the token by the server: a reply at AUTH (not a time-out,
// a closed connection or a mechanism the server lacks).
bool TokenRefused(const TDeliveryResult& result) {
  return result.step == TSmtpStep::Auth && result.status.Code() >= 400 && result.status.Code() <= 599;
}

}  // namespace

Result<HttpResponse> CancellableHttp::Send(const HttpRequest& request) {
  std::unique_ptr<HttpClient> client;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (cancelled_) return Status::Failure("HTTP", 0, "cancelled by stop", StatusKind::kCancelled);
    client = factory_();
    current_ = client.get();
  }
  Result<HttpResponse> response = client->Send(request);
  std::lock_guard<std::mutex> lock(mutex_);
  current_ = nullptr;
  return response;
}

void CancellableHttp::Cancel() {
  std::lock_guard<std::mutex> lock(mutex_);
  cancelled_ = true;
  if (current_) current_->Cancel();
}

void CancellableHttp::Resume() {
  std::lock_guard<std::mutex> lock(mutex_);
  cancelled_ = false;
}

TokenSettings TokenSettingsOf(const OAuthSettings& oauth, const std::string& mailbox, int timeoutMs) {
  TokenSettings token;
  token.tokenUrl = oauth.tokenUrl;
  token.scope = oauth.scope;
  token.clientId = oauth.clientId;
  token.proxy = oauth.proxy;
  token.timeoutMs = timeoutMs;
  switch (oauth.credential) {
    case OAuthCredential::ClientSecret:
      token.grant = TokenGrant::kClientSecret;
      token.clientSecret = oauth.clientSecret;
      break;
    case OAuthCredential::ClientCert:
    case OAuthCredential::None:
      token.grant = TokenGrant::kClientAssertion;
      break;
    case OAuthCredential::ServiceAccount:
      token.grant = TokenGrant::kJwtBearer;
      token.issuer = oauth.accountEmail;
      token.subject = mailbox;
      token.headerFields = {{"kid", oauth.accountKeyId}};
      break;
  }
  return token;
}

MailLogin::MailLogin(CancellableHttp::Factory http, TokenClock& clock) : http_(std::move(http)), clock_(clock) {}

void MailLogin::Cancel() { http_.Cancel(); }
void MailLogin::Resume() { http_.Resume(); }

int64_t MailLogin::Fetches() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return cache_ ? cache_->Fetches() : 0;
}

Result<TokenCache*> MailLogin::CacheFor(const TTestMailSettings& settings) {
  // The request as a whole is bounded by the silence time-out and the
  // attempt's deadline, whichever is shorter.
  const int seconds = std::max(1, std::min(settings.timeOut, settings.deadline > 0 ? settings.deadline : settings.timeOut));
  const int timeoutMs = seconds * 1000;
  std::lock_guard<std::mutex> lock(mutex_);
  OAuthSettings oauth = RequestPart(settings.oauth);
  if (cache_ && oauth_ == oauth && mailbox_ == settings.user && timeoutMs_ == timeoutMs) return cache_.get();
  // Other settings: the token of the old ones goes.
  cache_.reset();
  signer_.reset();
  oauth_ = std::move(oauth);
  mailbox_ = settings.user;
  timeoutMs_ = timeoutMs;
  if (oauth_.credential == OAuthCredential::ClientCert) {
    Result<std::unique_ptr<AssertionSigner>> signer = KeyAssertionSigner::ForClientCert(oauth_.clientCert);
    if (!signer) {
      oauth_ = OAuthSettings();  // tried again at the next attempt: the certificate may come
      return TokenStatus(signer.status());
    }
    signer_ = std::move(*signer);
  } else if (oauth_.credential == OAuthCredential::ServiceAccount) {
    Result<std::unique_ptr<AssertionSigner>> signer =
        KeyAssertionSigner::ForServiceAccountKey(oauth_.accountKeyPem, oauth_.serviceAccount);
    if (!signer) {
      oauth_ = OAuthSettings();
      return TokenStatus(signer.status());
    }
    signer_ = std::move(*signer);
  }
  cache_ = std::make_unique<TokenCache>(TokenSettingsOf(oauth_, mailbox_, timeoutMs_), http_, signer_.get(), clock_);
  return cache_.get();
}

TDeliveryResult MailLogin::Deliver(TSMTPClient& client, const TTestMailSettings& settings,
                                   const Attempt& attempt,
                                   const std::function<void(const std::string& line)>& note) {
  client.BearerToken.clear();
  if (!settings.oauth.IsOAuth2()) return attempt(settings);
  const int64_t startMs = clock_.SteadyMilliseconds();
  const std::string where = "TOKEN " + settings.oauth.tokenUrl + ": ";
  auto tell = [&](const std::string& text) {
    if (note) note(where + text);
  };
  Result<TokenCache*> cache = CacheFor(settings);
  if (!cache) {
    tell(cache.status().Text());
    return TokenFailure(cache.status());
  }
  // Gets a token (cached or fetched) and runs the attempt with what is left
  // of the deadline.
  auto run = [&](const Result<std::string>& token, int64_t fetchesBefore) -> TDeliveryResult {
    if (!token) {
      tell(TokenStatus(token.status()).Text());
      return TokenFailure(TokenStatus(token.status()));
    }
    tell((*cache)->Fetches() > fetchesBefore ? "取得しました" : "有効期限内のトークンを使います");
    client.BearerToken = *token;
    TTestMailSettings left = settings;
    if (settings.deadline > 0) {
      const int64_t spentSeconds = (clock_.SteadyMilliseconds() - startMs) / 1000;
      left.deadline = static_cast<int>(std::max<int64_t>(1, settings.deadline - spentSeconds));
    }
    return attempt(left);
  };
  int64_t before = (*cache)->Fetches();
  TDeliveryResult result = run((*cache)->Get(), before);
  if (!TokenRefused(result)) return result;
  // Refused: perhaps revoked or expired early. One fresh token, one more try.
  const std::string refused = client.BearerToken;
  before = (*cache)->Fetches();
  Result<std::string> renewed = (*cache)->RenewAfterRefusal(refused);
  if (!renewed) {
    tell(TokenStatus(renewed.status()).Text());
    return result;
  }
  TDeliveryResult again = run(renewed, before);
  return again;
}

}  // namespace qw
