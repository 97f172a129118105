// Body-mode quoted-printable decodes back to its input; decoding any text
// never reads out of bounds or grows it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "mail/encodings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  if (qw::DecodeQuotedPrintable(qw::EncodeQuotedPrintable(input, false)) != input) std::abort();
  if (qw::DecodeQuotedPrintable(input).size() > input.size()) std::abort();
  return 0;
}
