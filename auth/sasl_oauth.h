// SASL for OAuth 2.0 bearer tokens over SMTP AUTH: XOAUTH2 (Google's and
// Microsoft's mechanism) and OAUTHBEARER (RFC 7628).
//
// The initial responses are base64 (one line, padded), to be sent as
//   AUTH XOAUTH2 <response>      AUTH OAUTHBEARER <response>
// A server that refuses the token answers 334 with a base64 JSON challenge
// ({"status":"invalid_token","schemes":"bearer","scope":"..."}); the client
// then sends the mechanism's reply (SaslChallengeReply) and the server ends
// with its final 5xx. The decoded challenge goes into the AUTH failure's
// entry.
#pragma once

#include <string>
#include <string_view>

#include "platform/status.h"

namespace qw {

enum class OAuthMechanism { kXOAuth2, kOAuthBearer };

// base64("user=" user ^A "auth=Bearer " token ^A ^A).
std::string XOAuth2InitialResponse(const std::string& user, const std::string& token);

// base64(gs2-header ^A "host=" host ^A "port=" port ^A "auth=Bearer " token
// ^A ^A), the gs2 header "n,a=" user "," with ',' and '=' in the user
// written =2C and =3D. `host` is the server's name as the client connects to
// it; an empty host leaves the host pair out.
std::string OAuthBearerInitialResponse(const std::string& user, const std::string& token, const std::string& host,
                                       int port);

// The line to send after a challenge: empty for XOAUTH2, base64 of %x01
// ("AQ==") for OAUTHBEARER.
std::string SaslChallengeReply(OAuthMechanism mechanism);

struct SaslChallenge {
  std::string status;               // "invalid_token", "401", ...
  std::string schemes;              // "bearer"
  std::string scope;                // the scope the server wants
  std::string openidConfiguration;  // "openid-configuration", when given

  // "status=invalid_token schemes=bearer scope=https://..." (only the
  // fields that are there), as the product's text.
  std::string Describe() const;
};

// Decodes the text of a 334 reply (base64 of a JSON object). Fails as
// "AUTH" when the text is not base64 or the bytes are not a JSON object;
// fields that are missing or not strings are left empty. Bounded: at most
// kMaxSaslChallenge characters.
inline constexpr size_t kMaxSaslChallenge = 8192;
Result<SaslChallenge> DecodeSaslChallenge(std::string_view base64);

// Strict base64 (RFC 4648 alphabet, padding optional but, when present,
// correct; no other characters). Nothing on failure.
Result<std::string> DecodeBase64Strict(std::string_view text);

}  // namespace qw
