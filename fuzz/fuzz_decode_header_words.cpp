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
  // Any text reads back, however many words it takes.
  for (const char* charset : {"x-user-defined", "shift_jis"}) {
    std::string words = qw::EncodeHeaderWord(text, charset);
    if (words != text && qw::DecodeHeaderWords(words) != text) std::abort();
  }
  return 0;
}
