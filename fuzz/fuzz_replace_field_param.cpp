// ReplaceFieldParam sets a parameter that FieldParam then finds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "mail/header_lines.h"

namespace {
bool IsAlnum(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!((c >= 0x30 && c <= 0x39) || (c >= 0x41 && c <= 0x5A) || (c >= 0x61 && c <= 0x7A))) return false;
  return true;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  std::size_t name_len = data[0] % 12;
  std::size_t value_len = data[1] % 24;
  std::string rest(reinterpret_cast<const char*>(data + 2), size - 2);
  if (name_len > rest.size()) name_len = rest.size();
  std::string param = rest.substr(0, name_len);
  rest.erase(0, name_len);
  if (value_len > rest.size()) value_len = rest.size();
  std::string value = rest.substr(0, value_len);
  std::string line = rest.substr(value_len);

  std::string result = qw::ReplaceFieldParam(line, param, value);
  if (result.size() > line.size() + param.size() + value.size() + 4) std::abort();
  // With a plain name and value, on a line with a colon and no quotes, the
  // parameter reads back.
  if (IsAlnum(param) && IsAlnum(value) && line.find(0x3A) != std::string::npos &&
      line.find(0x22) == std::string::npos) {
    if (qw::FieldParam(result, param).find(value) == std::string::npos) std::abort();
  }
  return 0;
}
