// Bytes of any kind as a PEM key file, as DER of a PKCS#8 key, and as
// base64url: the readers end without a crash or an out-of-bounds read;
// base64url has exactly one encoding per byte string; a key found inside an
// envelope is a part of it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/jws.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

void CheckPkcs8(const std::string& der) {
  qw::Result<std::string> inner = qw::RsaKeyFromPkcs8(der);
  if (inner) Check(!inner->empty() && der.find(*inner) != std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 16)) return 0;
  const std::string bytes(reinterpret_cast<const char*>(data), size);

  qw::Result<std::vector<qw::PemBlock>> blocks = qw::ParsePem(bytes);
  if (blocks) {
    for (const qw::PemBlock& block : *blocks) {
      Check(!block.der.empty() && block.der.size() <= bytes.size());
      CheckPkcs8(block.der);
    }
  }
  CheckPkcs8(bytes);

  std::string decoded;
  if (qw::Base64UrlDecode(bytes, &decoded)) Check(qw::Base64UrlEncode(decoded) == bytes);
  std::string back;
  Check(qw::Base64UrlDecode(qw::Base64UrlEncode(bytes), &back) && back == bytes);
  (void)qw::JsonQuote(bytes);
  return 0;
}
