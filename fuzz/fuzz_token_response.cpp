// The token endpoint's answer is read whatever the server sends: a token it
// accepts is visible ASCII within its bound and lives a positive, bounded
// time; a failure is step TOKEN with the status and one bounded line of the
// server's words, final only for invalid_client and unauthorized_client.
// The first two bytes choose the HTTP status.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "auth/token_response.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  qw::HttpResponse response;
  response.status = (data[0] % 2 == 0) ? 200 : 100 + (data[0] << 8 | data[1]) % 500;
  response.body.assign(reinterpret_cast<const char*>(data) + 2, size - 2);
  qw::Result<qw::AccessToken> token = qw::ParseTokenResponse(response);
  if (token) {
    if (response.status != 200) std::abort();
    if (token->value.empty() || token->value.size() > qw::kMaxAccessToken) std::abort();
    for (const char c : token->value) {
      if (c < 0x20 || c > 0x7E) std::abort();
    }
    if (token->expiresInSeconds <= 0 || token->expiresInSeconds > qw::kMaxTokenLifetime) std::abort();
    return 0;
  }
  const qw::Status& status = token.status();
  if (status.What() != "TOKEN" || status.Code() != response.status) std::abort();
  const std::string& text = status.Text();
  if (text.empty() || text.size() > 700) std::abort();
  for (const char c : text) {
    if (c == '\r' || c == '\n' || c == '\0') std::abort();
  }
  if (status.Kind() == qw::StatusKind::kRejected) {
    // The error code (compared without case) is the text's first word.
    std::string code = text.substr(0, text.find_first_of(": "));
    for (char& c : code) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    if (code != "invalid_client" && code != "unauthorized_client") std::abort();
  }
  return 0;
}
