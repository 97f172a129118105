// The system's own text for an error number (FormatMessageW from the
// system), without the line break and blanks it ends with; empty when the
// system has none. Windows only.
#pragma once

#include <cstdint>
#include <string>

namespace qw {

std::u16string SystemMessage(uint32_t code);

}  // namespace qw
