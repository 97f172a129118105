// DecodeHeaderWords never reads out of bounds or grows the text, and reads
// back what EncodeHeaderWord wrote.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "mail/encodings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  std::string decoded = qw::DecodeHeaderWords(text);
  if (decoded.size() > text.size()) std::abort();
  // A "?" in the text may end the Q word early; any other text reads back.
  if (text.find(0x3F) == std::string::npos) {
    std::string word = qw::EncodeHeaderWord(text, "x-user-defined");
    if (word != text && qw::DecodeHeaderWords(word) != text) std::abort();
  }
  return 0;
}
