// Every output line of FoldHeaders ends in CR LF; no bare CR or LF is left,
// and the text bytes come out in order (only blanks at breaks are dropped).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "mail/header_lines.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  std::string folded = qw::FoldHeaders(text);
  if (!folded.empty() && (folded.size() < 2 || folded.compare(folded.size() - 2, 2, "\r\n") != 0)) std::abort();
  if (folded.size() >= 4 && folded.compare(folded.size() - 4, 4, "\r\n\r\n") == 0) std::abort();
  for (std::size_t i = 0; i < folded.size(); ++i) {
    if (folded[i] == 0x0D && (i + 1 >= folded.size() || folded[i + 1] != 0x0A)) std::abort();
    if (folded[i] == 0x0A && (i == 0 || folded[i - 1] != 0x0D)) std::abort();
  }
  // Without line breaks and the TABs that start continuation lines, the output
  // is the input without line breaks, less some blanks.
  std::string in;
  for (char c : text)
    if (c != 0x0D && c != 0x0A) in += c;
  std::string out;
  for (std::size_t i = 0; i < folded.size(); ++i) {
    char c = folded[i];
    if (c == 0x0D || c == 0x0A) continue;
    if (c == 0x09 && i >= 2 && folded[i - 1] == 0x0A && folded[i - 2] == 0x0D) {
      // A continuation TAB, unless the input line itself began with one.
      continue;
    }
    out += c;
  }
  std::size_t j = 0;
  for (char c : out) {
    while (j < in.size() && in[j] != c && (in[j] == 0x20 || in[j] == 0x09)) ++j;
    if (j >= in.size() || in[j] != c) std::abort();
    ++j;
  }
  return 0;
}
