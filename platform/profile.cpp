#include "platform/profile.h"

#include <cstdint>

#include "platform/ascii_text.h"

namespace qw {

int ProfileTextToInt(const std::string& text, int def) {
  int64_t value = 0;
  if (!ParseInteger(text, kProfileInteger, INT32_MIN, INT32_MAX, &value)) return def;
  return static_cast<int>(value);
}

int Profiles::ReadInt(const std::string& file, const std::string& section, const std::string& key,
                      int def) {
  const std::string missing = "\x01missing\x01";
  std::string text = ReadString(file, section, key, missing);
  if (text == missing) return def;
  return ProfileTextToInt(text, def);
}

}  // namespace qw
