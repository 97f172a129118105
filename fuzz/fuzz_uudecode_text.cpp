// UUDecodeText never reads out of bounds; a bad character is reported as
// UUDecodeError and nothing else.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "mail/encodings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  std::string out = "x";
  try {
    qw::UUDecodeText(text, out);
  } catch (const qw::UUDecodeError&) {
    return 0;
  }
  // Every line gives at most 63 bytes and holds at least one character.
  if (out.size() - 1 > 63 * size) std::abort();
  return 0;
}
