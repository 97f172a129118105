#include "platform/profile.h"

#include <cstdint>

#include "platform/ascii_text.h"
#include "platform/text_codec.h"

namespace qw {

int ProfileTextToInt(const std::string& text, int def) {
  const Result<int64_t> value = ParseInteger(text, kProfileInteger, INT32_MIN, INT32_MAX);
  return value ? static_cast<int>(*value) : def;
}

ProfileSnapshot ProfileSnapshot::OfBytes(std::string bytes) {
  ProfileSnapshot snapshot;
  snapshot.exists_ = true;
  snapshot.text_ = DecodeProfileBytes(bytes, &snapshot.encoding_);
  snapshot.bytes_ = std::move(bytes);
  return snapshot;
}

std::string ProfileSnapshot::ReadString(const std::string& section, const std::string& key,
                                        const std::string& def) const {
  if (encoding_ == ProfileEncoding::Ansi) return IniLookup(text_, section, key).value_or(def);
  // A file with a mark holds UTF-8 text here; the caller gets the ANSI code page.
  const auto value = IniLookup(text_, SjisToUtf8(section), SjisToUtf8(key));
  return value ? Utf8ToSjis(*value) : def;
}

int ProfileSnapshot::ReadInt(const std::string& section, const std::string& key, int def) const {
  const std::string missing = "\x01missing\x01";
  const std::string text = ReadString(section, key, missing);
  if (text == missing) return def;
  return ProfileTextToInt(text, def);
}

std::vector<std::string> ProfileSnapshot::ReadKeys(const std::string& section) const {
  if (encoding_ == ProfileEncoding::Ansi) return IniKeys(text_, section);
  std::vector<std::string> keys = IniKeys(text_, SjisToUtf8(section));
  for (std::string& key : keys) key = Utf8ToSjis(key);
  return keys;
}

void ProfileSnapshot::WriteString(const std::string& section, const std::string& key, const std::string& value) {
  if (encoding_ == ProfileEncoding::Ansi)
    text_ = IniAssign(text_, section, key, value);
  else
    text_ = IniAssign(text_, SjisToUtf8(section), SjisToUtf8(key), SjisToUtf8(value));
  bytes_ = EncodeProfileText(text_, encoding_);
  exists_ = true;
}

void ProfileSnapshot::DeleteKey(const std::string& section, const std::string& key) {
  const std::string next = encoding_ == ProfileEncoding::Ansi
                               ? IniRemove(text_, section, key)
                               : IniRemove(text_, SjisToUtf8(section), SjisToUtf8(key));
  if (next == text_) return;
  text_ = next;
  bytes_ = EncodeProfileText(text_, encoding_);
}

}  // namespace qw
