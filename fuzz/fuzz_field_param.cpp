// FieldParam over a line and a parameter name taken from the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "mail/header_lines.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // First byte: length of the parameter name.
  std::size_t name_len = data[0] % 16;
  std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  if (name_len > rest.size()) name_len = rest.size();
  std::string param = rest.substr(0, name_len);
  std::string line = rest.substr(name_len);
  std::string value = qw::FieldParam(line, param);
  if (value.size() > line.size()) std::abort();
  return 0;
}
