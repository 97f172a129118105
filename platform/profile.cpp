#include "platform/profile.h"

#include <cctype>
#include <cstdint>

namespace qw {

int ProfileTextToInt(const std::string& text, int def) {
  // GetPrivateProfileIntA: leading blanks skipped, optional sign, then decimal
  // digits, or hexadecimal digits after 0x/0X when the text is longer than two
  // characters. No digit at all gives the default.
  size_t p = 0;
  while (p < text.size() && (text[p] == ' ' || text[p] == '\t')) ++p;
  bool negative = false;
  if (p < text.size() && (text[p] == '-' || text[p] == '+')) {
    negative = text[p] == '-';
    ++p;
  }
  int base = 10;
  if (text.size() - p > 2 && text[p] == '0' && (text[p + 1] == 'x' || text[p + 1] == 'X')) {
    base = 16;
    p += 2;
  }
  uint32_t value = 0;
  bool any = false;
  for (; p < text.size(); ++p) {
    int digit;
    unsigned char c = static_cast<unsigned char>(text[p]);
    if (std::isdigit(c)) {
      digit = c - '0';
    } else if (base == 16 && std::isxdigit(c)) {
      digit = std::tolower(c) - 'a' + 10;
    } else {
      break;
    }
    value = value * static_cast<uint32_t>(base) + static_cast<uint32_t>(digit);
    any = true;
  }
  if (!any) return def;
  return static_cast<int>(negative ? 0u - value : value);
}

int Profiles::ReadInt(const std::string& file, const std::string& section, const std::string& key,
                      int def) {
  const std::string missing = "\x01missing\x01";
  std::string text = ReadString(file, section, key, missing);
  if (text == missing) return def;
  return ProfileTextToInt(text, def);
}

}  // namespace qw
