// The server's SASL challenge is decoded whatever it holds: an accepted one
// describes itself in bounded printable ASCII for the entry, and strict
// base64 that decodes encodes back to the same digits.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "auth/sasl_oauth.h"
#include "common/secret_mask.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  qw::Result<qw::SaslChallenge> challenge = qw::DecodeSaslChallenge(text);
  if (challenge) {
    const std::string described = challenge->Describe();
    if (described.size() > 4 * (24 + 203)) std::abort();
    for (const char c : described) {
      if (c < 0x20 || c > 0x7E) std::abort();
    }
  } else if (challenge.status().What() != "AUTH") {
    std::abort();
  }
  qw::Result<std::string> bytes = qw::DecodeBase64Strict(text);
  if (bytes) {
    std::string padded = text;
    while (padded.size() % 4 != 0) padded += '=';
    if (qw::Base64OneLine(*bytes) != padded) std::abort();
  }
  // The other way: any bytes, encoded, decode to themselves.
  qw::Result<std::string> back = qw::DecodeBase64Strict(qw::Base64OneLine(text));
  if (!back || *back != text) std::abort();
  return 0;
}
