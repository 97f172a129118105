// NormalizeHeaderLine never reads out of bounds and never lengthens a line
// by more than the blank after the name.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "mail/header_lines.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string line(reinterpret_cast<const char*>(data), size);
  std::string result = qw::NormalizeHeaderLine(line);
  if (result.size() > line.size() + 1) std::abort();
  if (result.find(0x20) == std::string::npos) std::abort();  // name, blank, value
  return 0;
}
