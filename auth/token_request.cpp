#include "auth/token_request.h"

#include <random>

#include "auth/service_account.h"
#include "common/json.h"
#include "platform/text_codec.h"

namespace qw {
namespace {

bool IsAlnum(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

// The UTF-8 of a settings value, or a failure naming its key.
Result<std::string> SettingUtf8(const char* key, const std::string& value) {
  std::string utf8;
  if (!SjisToUtf8Exact(value, &utf8)) {
    return Status::Failure(key, 0, "the value holds bytes that are no characters");
  }
  return utf8;
}

Result<std::string> Required(const char* key, const std::string& value) {
  if (value.empty()) return Status::Failure(key, 0, "the value is missing");
  return SettingUtf8(key, value);
}

void AddField(std::string& body, std::string_view name, std::string_view value) {
  if (!body.empty()) body += '&';
  body += FormEncode(name);
  body += '=';
  body += FormEncode(value);
}

}  // namespace

Result<std::string> MicrosoftTokenUrl(const std::string& tenant) {
  if (tenant.empty()) return Status::Failure("TENANT", 0, "the value is missing");
  if (tenant.size() > 253) return Status::Failure("TENANT", 0, "the value is longer than a domain name can be");
  size_t labelLength = 0;
  for (size_t i = 0; i < tenant.size(); ++i) {
    const char c = tenant[i];
    if (c == '.') {
      if (labelLength == 0 || tenant[i - 1] == '-') {
        return Status::Failure("TENANT", 0, "not a tenant ID or domain name: \"" + tenant + "\"");
      }
      labelLength = 0;
      continue;
    }
    if (!IsAlnum(c) && c != '-') {
      return Status::Failure("TENANT", 0, "not a tenant ID or domain name: \"" + tenant + "\"");
    }
    if (c == '-' && labelLength == 0) {
      return Status::Failure("TENANT", 0, "not a tenant ID or domain name: \"" + tenant + "\"");
    }
    ++labelLength;
  }
  if (labelLength == 0 || tenant.back() == '-') {
    return Status::Failure("TENANT", 0, "not a tenant ID or domain name: \"" + tenant + "\"");
  }
  return "https://login.microsoftonline.com/" + tenant + "/oauth2/v2.0/token";
}

Result<TokenEndpoint> ResolveTokenEndpoint(const std::string& tenant, const std::string& tokenUrl,
                                           const std::string& scope) {
  TokenEndpoint endpoint;
  endpoint.scope = scope;
  if (!tokenUrl.empty()) {
    if (!IsAcceptableTokenUrl(tokenUrl)) {
      return Status::Failure("TOKENURL", 0, "not an https URL: \"" + tokenUrl + "\"");
    }
    endpoint.url = tokenUrl;
  } else if (!tenant.empty()) {
    Result<std::string> url = MicrosoftTokenUrl(tenant);
    if (!url) return url.status();
    endpoint.url = *url;
  } else {
    return Status::Failure("TOKENURL", 0, "the value is missing (and no TENANT gives it)");
  }
  if (endpoint.scope.empty() && !tenant.empty()) endpoint.scope = kMicrosoftSmtpScope;
  return endpoint;
}

std::string FormEncode(std::string_view bytes) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size());
  for (const char ch : bytes) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (IsAlnum(ch) || ch == '-' || ch == '.' || ch == '_' || ch == '~') {
      out += ch;
    } else if (ch == ' ') {
      out += '+';
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string NewJti() {
  std::random_device device;
  static const char kHex[] = "0123456789abcdef";
  std::string jti;
  for (int i = 0; i < 4; ++i) {
    uint32_t word = device();
    for (int j = 0; j < 8; ++j) {
      jti += kHex[word & 15];
      word >>= 4;
    }
  }
  return jti;
}

Result<std::string> AssertionClaims(const TokenSettings& settings, const AssertionContext& context) {
  Result<std::string> url = Required("TOKENURL", settings.tokenUrl);
  if (!url) return url.status();
  JsonWriter claims;
  claims.BeginObject();
  if (settings.grant == TokenGrant::kJwtBearer) {
    Result<std::string> issuer = Required("SERVICEACCOUNT", settings.issuer);
    if (!issuer) return issuer.status();
    Result<std::string> subject = Required("USER", settings.subject);
    if (!subject) return subject.status();
    Result<std::string> scope = Required("SCOPE", settings.scope);
    if (!scope) return scope.status();
    claims.Key("iss").String(*issuer);
    claims.Key("sub").String(*subject);
    claims.Key("scope").String(*scope);
  } else {
    Result<std::string> clientId = Required("CLIENTID", settings.clientId);
    if (!clientId) return clientId.status();
    claims.Key("iss").String(*clientId);
    claims.Key("sub").String(*clientId);
  }
  claims.Key("aud").String(*url);
  claims.Key("iat").Int(context.nowUnixSeconds);
  claims.Key("nbf").Int(context.nowUnixSeconds);
  claims.Key("exp").Int(context.nowUnixSeconds + kAssertionLifetimeSeconds);
  if (!context.jti.empty()) claims.Key("jti").String(context.jti);
  claims.EndObject();
  return claims.Take();
}

Result<HttpRequest> BuildTokenRequest(const TokenSettings& settings, AssertionSigner* signer,
                                      const AssertionContext& context) {
  HttpRequest request;
  request.method = "POST";
  request.url = settings.tokenUrl;
  request.proxy = settings.proxy;
  request.timeoutMs = settings.timeoutMs;
  request.headers = {{"Content-Type", "application/x-www-form-urlencoded"}, {"Accept", "application/json"}};
  if (settings.tokenUrl.empty()) return Status::Failure("TOKENURL", 0, "the value is missing");

  std::string body;
  if (settings.grant == TokenGrant::kClientSecret) {
    Result<std::string> clientId = Required("CLIENTID", settings.clientId);
    if (!clientId) return clientId.status();
    Result<std::string> secret = Required("CLIENTSECRET", settings.clientSecret);
    if (!secret) return secret.status();
    AddField(body, "grant_type", "client_credentials");
    AddField(body, "client_id", *clientId);
    AddField(body, "client_secret", *secret);
  } else {
    if (signer == nullptr) {
      return Status::Failure(settings.grant == TokenGrant::kJwtBearer ? "SERVICEACCOUNT" : "CLIENTCERT", 0,
                             "no key to sign the assertion with");
    }
    Result<std::string> claims = AssertionClaims(settings, context);
    if (!claims) return claims.status();
    Result<std::string> assertion = signer->Sign(*claims, settings.headerFields);
    if (!assertion) return assertion.status();
    if (settings.grant == TokenGrant::kJwtBearer) {
      // The scope travels inside the assertion.
      AddField(body, "grant_type", kJwtBearerGrantType);
      AddField(body, "assertion", *assertion);
      request.body = std::move(body);
      return request;
    }
    Result<std::string> clientId = Required("CLIENTID", settings.clientId);
    if (!clientId) return clientId.status();
    AddField(body, "grant_type", "client_credentials");
    AddField(body, "client_id", *clientId);
    AddField(body, "client_assertion_type", kJwtClientAssertionType);
    AddField(body, "client_assertion", *assertion);
  }
  if (!settings.scope.empty()) {
    Result<std::string> scope = SettingUtf8("SCOPE", settings.scope);
    if (!scope) return scope.status();
    AddField(body, "scope", *scope);
  }
  request.body = std::move(body);
  return request;
}

}  // namespace qw
