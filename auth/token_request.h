// The request for an access token by the client credentials grant (RFC 6749
// section 4.4) or the JWT bearer grant (RFC 7523 section 2.1), as an
// HttpRequest for platform/http_client.h.
//
// Three ways for the client to prove itself:
//   - kClientSecret: client_id and client_secret in the form body
//     ("client_secret_post"). The body rather than HTTP Basic: Basic wants
//     both form-encoded before base64 (RFC 6749 section 2.3.1), a step
//     servers and clients have long disagreed on for secrets holding '+',
//     '/' or '=' (Microsoft's generated secrets hold such characters), while
//     the form body has one encoding every server reads the same way.
//     Microsoft's identity platform documents the body form.
//   - kClientAssertion: a JWT signed with the client's certificate key
//     (client_assertion_type urn:ietf:params:oauth:client-assertion-type:
//     jwt-bearer; iss = sub = client_id, aud = the token URL).
//   - kJwtBearer: a Google service account; the assertion is the grant
//     itself (iss = the account's client_email, sub = the mailbox that
//     sends, scope in the claims, aud = the token URL, header kid = the
//     key's private_key_id).
//
// Settings values arrive as the settings hold them (Shift-JIS; in practice
// ASCII) and are sent as UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "auth/assertion_signer.h"
#include "platform/http_client.h"
#include "platform/status.h"

namespace qw {

enum class TokenGrant { kClientSecret, kClientAssertion, kJwtBearer };

inline constexpr const char* kMicrosoftSmtpScope = "https://outlook.office365.com/.default";
inline constexpr const char* kGoogleMailScope = "https://mail.google.com/";
inline constexpr const char* kJwtBearerGrantType = "urn:ietf:params:oauth:grant-type:jwt-bearer";
inline constexpr const char* kJwtClientAssertionType = "urn:ietf:params:oauth:client-assertion-type:jwt-bearer";
// How long a signed assertion is valid after it is made.
inline constexpr int64_t kAssertionLifetimeSeconds = 300;

struct TokenSettings {
  TokenGrant grant = TokenGrant::kClientSecret;
  std::string tokenUrl;
  std::string scope;
  std::string clientId;      // kClientSecret, kClientAssertion
  std::string clientSecret;  // kClientSecret
  std::string issuer;        // kJwtBearer: the service account's client_email
  std::string subject;       // kJwtBearer: the mailbox (USER)
  // Extra header fields for the signer (kJwtBearer: kid).
  std::vector<JwsHeaderField> headerFields;
  std::string proxy;  // HttpRequest::proxy
  int timeoutMs = 30000;
};

// The token endpoint of a Microsoft tenant (an ID such as a GUID, a domain
// such as contoso.onmicrosoft.com, or "organizations"). A tenant that is not
// one label or dotted labels of letters, digits and '-' fails as "TENANT",
// so that nothing else can reach the URL's path.
Result<std::string> MicrosoftTokenUrl(const std::string& tenant);

// Where to ask and for what: TOKENURL and SCOPE as given win; without
// TOKENURL, TENANT gives Microsoft's token URL and, without SCOPE, Microsoft's
// SMTP scope. Fails as "TOKENURL" when neither TOKENURL nor TENANT is given
// or the URL is neither https nor http to a loopback host, as "TENANT" for a
// tenant that is no name.
struct TokenEndpoint {
  std::string url;
  std::string scope;
};
Result<TokenEndpoint> ResolveTokenEndpoint(const std::string& tenant, const std::string& tokenUrl,
                                           const std::string& scope);

// application/x-www-form-urlencoded of one name or value: unreserved
// characters (RFC 3986) as they are, space as '+', every other byte %XX.
std::string FormEncode(std::string_view bytes);

// What an assertion is built from besides the settings: the time (seconds
// since 1970, UTC) and a value used once (jti).
struct AssertionContext {
  int64_t nowUnixSeconds = 0;
  std::string jti;
};

// The claims JSON of the assertion for `settings` (kClientAssertion or
// kJwtBearer); fails naming the settings key whose value cannot be sent.
Result<std::string> AssertionClaims(const TokenSettings& settings, const AssertionContext& context);

// The request to the token endpoint. `signer` is used for kClientAssertion
// and kJwtBearer (a failure to sign is the signer's Status); it may be null
// for kClientSecret.
Result<HttpRequest> BuildTokenRequest(const TokenSettings& settings, AssertionSigner* signer,
                                      const AssertionContext& context);

// 128 random bits in hex, for jti.
std::string NewJti();

}  // namespace qw
