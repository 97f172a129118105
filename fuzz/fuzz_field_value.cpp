// FieldValue never reads out of bounds and returns a piece of its line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "mail/header_lines.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string line(reinterpret_cast<const char*>(data), size);
  std::string value = qw::FieldValue(line);
  if (line.find(value) == std::string::npos) std::abort();
  std::string replaced = qw::ReplaceFieldValue(line, "x");
  if (replaced.size() > line.size() + 2) std::abort();
  return 0;
}
