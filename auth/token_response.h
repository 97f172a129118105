// The token endpoint's answer (RFC 6749 sections 5.1 and 5.2).
//
// A success is HTTP 200 with a JSON object holding access_token (visible
// ASCII, at most kMaxAccessToken bytes), token_type "Bearer" (any case) and
// expires_in (seconds; a number or, as some servers send it, a string of
// digits; missing: kDefaultTokenLifetime). Anything else is a failure with
// What() "TOKEN", Code() the HTTP status, and a text that says what the
// server said:
//   "invalid_client: AADSTS7000215: Invalid client secret provided. (HTTP 401)"
// i.e. `error`, the first line of `error_description` (Microsoft's starts
// with its AADSTS code; when it does not, the first of `error_codes` is put
// before it), and the status; or, for an answer without an error object, the
// HTTP status and the first line of the body. The server's words are cut to
// a line and converted to the product's text (Shift-JIS).
//
// invalid_client and unauthorized_client are final: the kind is
// StatusKind::kRejected (the credentials or the application's grant are
// wrong; the same request keeps failing until the settings change).
#pragma once

#include <cstdint>
#include <string>

#include "platform/http_client.h"
#include "platform/status.h"

namespace qw {

inline constexpr size_t kMaxAccessToken = 16 * 1024;
inline constexpr int64_t kDefaultTokenLifetime = 300;
// Longer lifetimes are taken as this long.
inline constexpr int64_t kMaxTokenLifetime = 24 * 3600;

struct AccessToken {
  std::string value;
  int64_t expiresInSeconds = 0;
};

Result<AccessToken> ParseTokenResponse(const HttpResponse& response);

}  // namespace qw
