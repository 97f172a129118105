// Every output line of FoldHeaders ends in CR LF and holds at most 998 bytes;
// no bare CR or LF is left; the text bytes come out in order, with only blanks
// added (after a ',' or ';' break). A refused text must hold a line of more
// than 998 bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "mail/header_lines.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  std::string folded;
  try {
    folded = qw::FoldHeaders(text);
  } catch (const std::length_error&) {
    std::size_t run = 0, longest = 0;
    for (char c : text) {
      run = (c == 0x0D || c == 0x0A) ? 0 : run + 1;
      if (run > longest) longest = run;
    }
    if (longest <= qw::kMaxHeaderLineBytes) std::abort();
    return 0;
  }
  if (!folded.empty() && (folded.size() < 2 || folded.compare(folded.size() - 2, 2, "\r\n") != 0)) std::abort();
  if (folded.size() >= 4 && folded.compare(folded.size() - 4, 4, "\r\n\r\n") == 0) std::abort();
  std::size_t lineStart = 0;
  for (std::size_t i = 0; i < folded.size(); ++i) {
    if (folded[i] == 0x0D && (i + 1 >= folded.size() || folded[i + 1] != 0x0A)) std::abort();
    if (folded[i] == 0x0A && (i == 0 || folded[i - 1] != 0x0D)) std::abort();
    if (folded[i] == 0x0A) {
      if (i - 1 - lineStart > qw::kMaxHeaderLineBytes) std::abort();
      lineStart = i + 1;
    }
  }
  // Without line breaks, the output is the input without line breaks plus
  // some blanks.
  std::string in;
  for (char c : text)
    if (c != 0x0D && c != 0x0A) in += c;
  std::string out;
  for (char c : folded)
    if (c != 0x0D && c != 0x0A) out += c;
  std::size_t j = 0;
  for (char c : out) {
    if (j < in.size() && in[j] == c) {
      ++j;
    } else if (c != 0x20) {
      std::abort();
    }
  }
  if (j != in.size()) std::abort();
  return 0;
}
