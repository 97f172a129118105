// Base64 lines decode back to their input; decoding any text never reads
// out of bounds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "mail/encodings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  std::string lines = qw::EncodeBase64Lines(input);
  std::string joined;
  for (char c : lines)
    if (c != 0x0D && c != 0x0A) joined += c;
  if (qw::DecodeBase64Text(joined) != input) std::abort();
  if (qw::DecodeBase64Text(input).size() > input.size() / 4 * 3) std::abort();
  return 0;
}
