#include "platform/ini_text.h"

#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/ascii_text.h"
#include "platform/profile.h"

namespace qw {
namespace {

const char kUtf8Mark[] = "\xEF\xBB\xBF";
const char kUtf16LeMark[] = "\xFF\xFE";

void AppendUtf8(uint32_t code, std::string* out) {
  if (code < 0x80) {
    *out += static_cast<char>(code);
  } else if (code < 0x800) {
    *out += static_cast<char>(0xC0 | (code >> 6));
    *out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    *out += static_cast<char>(0xE0 | (code >> 12));
    *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | (code >> 18));
    *out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

void AppendUtf16Le(uint32_t unit, std::string* out) {
  *out += static_cast<char>(unit & 0xFF);
  *out += static_cast<char>((unit >> 8) & 0xFF);
}

std::string Utf16LeToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  const size_t units = bytes.size() / 2;
  auto unitAt = [&](size_t i) {
    return static_cast<uint32_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                 (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
  };
  for (size_t i = 0; i < units; ++i) {
    uint32_t u = unitAt(i);
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
      uint32_t low = unitAt(i + 1);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        AppendUtf8(0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00), &out);
        ++i;
        continue;
      }
    }
    AppendUtf8(u, &out);
  }
  return out;
}

// The inverse of Utf16LeToUtf8 for its output; any other byte that is not
// part of a UTF-8 sequence stands for the code point of its own value.
std::string Utf8ToUtf16Le(std::string_view text) {
  std::string out;
  out.reserve(text.size() * 2);
  size_t i = 0;
  while (i < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    size_t length = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    uint32_t code = c;
    if (length > 1 && i + length <= text.size()) {
      code = c & (0xFF >> (length + 1));
      for (size_t k = 1; k < length; ++k) {
        const unsigned char t = static_cast<unsigned char>(text[i + k]);
        if ((t & 0xC0) != 0x80) {
          length = 0;
          break;
        }
        code = (code << 6) | (t & 0x3F);
      }
    } else if (length != 1) {
      length = 0;
    }
    if (length == 0) {
      code = c;
      length = 1;
    }
    if (code >= 0x10000) {
      code -= 0x10000;
      AppendUtf16Le(0xD800 + (code >> 10), &out);
      AppendUtf16Le(0xDC00 + (code & 0x3FF), &out);
    } else {
      AppendUtf16Le(code, &out);
    }
    i += length;
  }
  return out;
}

std::string GroupedDecimal(int64_t value) {
  std::string digits = std::to_string(value);
  std::string grouped;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) grouped += ',';
    grouped += digits[i];
  }
  return grouped;
}

struct Line {
  size_t begin;  // offset of the line in the text
  size_t end;    // offset after its line break
  std::string_view content;  // without the line break
};

std::vector<Line> SplitLines(const std::string& text) {
  std::vector<Line> lines;
  size_t p = 0;
  while (p < text.size()) {
    size_t nl = text.find('\n', p);
    size_t stop = nl == std::string::npos ? text.size() : nl;
    size_t end = nl == std::string::npos ? text.size() : nl + 1;
    std::string_view content(text.data() + p, stop - p);
    if (!content.empty() && content.back() == '\r') content.remove_suffix(1);
    lines.push_back({p, end, content});
    p = end;
  }
  return lines;
}

// The name of a section line "[name]", or nullopt for another line.
std::optional<std::string_view> SectionName(std::string_view line) {
  line = TrimSpaceTab(line);
  if (line.empty() || line.front() != '[') return std::nullopt;
  size_t close = line.find(']');
  std::string_view name = close == std::string_view::npos ? line.substr(1) : line.substr(1, close - 1);
  return TrimSpaceTab(name);
}

// Splits "key=value"; nullopt for a line without '='.
std::optional<std::pair<std::string_view, std::string_view>> KeyValue(std::string_view line) {
  size_t eq = line.find('=');
  if (eq == std::string_view::npos) return std::nullopt;
  return std::make_pair(TrimSpaceTab(line.substr(0, eq)), TrimSpaceTab(line.substr(eq + 1)));
}

}  // namespace

std::optional<std::string> IniLookup(const std::string& text, const std::string& section,
                                     const std::string& key) {
  bool inSection = false;
  for (const Line& line : SplitLines(text)) {
    if (auto name = SectionName(line.content)) {
      inSection = EqualsCaseless(*name, section);
      continue;
    }
    if (!inSection) continue;
    auto kv = KeyValue(line.content);
    if (!kv || !EqualsCaseless(kv->first, TrimSpaceTab(key))) continue;
    std::string_view value = kv->second;
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    return std::string(value);
  }
  return std::nullopt;
}

std::vector<std::string> IniKeys(const std::string& text, const std::string& section) {
  std::vector<std::string> keys;
  bool inSection = false;
  for (const Line& line : SplitLines(text)) {
    if (auto name = SectionName(line.content)) {
      inSection = EqualsCaseless(*name, section);
      continue;
    }
    if (!inSection) continue;
    auto kv = KeyValue(line.content);
    if (!kv || kv->first.empty()) continue;
    bool seen = false;
    for (const std::string& key : keys) seen = seen || EqualsCaseless(key, kv->first);
    if (!seen) keys.emplace_back(kv->first);
  }
  return keys;
}

std::string IniAssign(const std::string& text, const std::string& section, const std::string& key,
                      const std::string& value) {
  const std::string entry = key + "=" + value + "\r\n";
  std::vector<Line> lines = SplitLines(text);
  bool inSection = false;
  size_t sectionEnd = std::string::npos;  // where a new key of the section goes
  for (const Line& line : lines) {
    if (auto name = SectionName(line.content)) {
      if (inSection) break;
      inSection = EqualsCaseless(*name, section);
      if (inSection) sectionEnd = line.end;
      continue;
    }
    if (!inSection) continue;
    auto kv = KeyValue(line.content);
    if (kv && EqualsCaseless(kv->first, key)) {
      return text.substr(0, line.begin) + entry + text.substr(line.end);
    }
    if (!TrimSpaceTab(line.content).empty()) sectionEnd = line.end;
  }
  if (sectionEnd != std::string::npos) {
    std::string head = text.substr(0, sectionEnd);
    if (!head.empty() && head.back() != '\n') head += "\r\n";
    return head + entry + text.substr(sectionEnd);
  }
  std::string out = text;
  if (!out.empty() && out.back() != '\n') out += "\r\n";
  out += "[" + section + "]\r\n" + entry;
  return out;
}

std::string IniRemove(const std::string& text, const std::string& section, const std::string& key) {
  std::string out;
  bool inSection = false;
  for (const Line& line : SplitLines(text)) {
    if (auto name = SectionName(line.content)) {
      inSection = EqualsCaseless(*name, section);
    } else if (inSection) {
      auto kv = KeyValue(line.content);
      if (kv && EqualsCaseless(kv->first, key)) continue;
    }
    out += text.substr(line.begin, line.end - line.begin);
  }
  return out;
}

std::string DecodeProfileBytes(const std::string& bytes, ProfileEncoding* encoding) {
  if (bytes.compare(0, 3, kUtf8Mark) == 0) {
    *encoding = ProfileEncoding::Utf8Bom;
    return bytes.substr(3);
  }
  if (bytes.compare(0, 2, kUtf16LeMark) == 0) {
    *encoding = ProfileEncoding::Utf16LeBom;
    return Utf16LeToUtf8(std::string_view(bytes).substr(2));
  }
  *encoding = ProfileEncoding::Ansi;
  return bytes;
}

std::string EncodeProfileText(const std::string& text, ProfileEncoding encoding) {
  switch (encoding) {
    case ProfileEncoding::Utf8Bom: return kUtf8Mark + text;
    case ProfileEncoding::Utf16LeBom: return kUtf16LeMark + Utf8ToUtf16Le(text);
    case ProfileEncoding::Ansi: break;
  }
  return text;
}

Status CheckProfileBytes(const std::string& bytes) {
  if (static_cast<int64_t>(bytes.size()) > kMaxProfileBytes)
    return ProfileTooLarge(static_cast<int64_t>(bytes.size()));
  ProfileEncoding encoding;
  const std::string text = DecodeProfileBytes(bytes, &encoding);
  if (text.find('\0') != std::string::npos)
    return Status::Failure("profile", 0, "テキストファイルではありません (NUL 文字を含みます)");
  return Status();
}

Status NotARegularProfileFile(bool folder) {
  return Status::Failure("profile", 0,
                         folder ? "ファイルではなくフォルダーです" : "通常のファイルではありません");
}

Status ProfileTooLarge(int64_t size) {
  return Status::Failure("profile", 0,
                         "大きすぎます (" + GroupedDecimal(size) + " バイト、上限は " +
                             GroupedDecimal(kMaxProfileBytes) + " バイト)");
}

}  // namespace qw
