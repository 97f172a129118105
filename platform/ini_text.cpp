#include "platform/ini_text.h"

#include <cstdint>
#include <string_view>
#include <vector>

namespace qw {
namespace {

constexpr size_t kMaxValue = 2047;

bool IsSpace(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && (IsSpace(s.back()) || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
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
  line = Trim(line);
  if (line.empty() || line.front() != '[') return std::nullopt;
  size_t close = line.find(']');
  std::string_view name = close == std::string_view::npos ? line.substr(1) : line.substr(1, close - 1);
  return Trim(name);
}

// Splits "key=value"; nullopt for a line without '='.
std::optional<std::pair<std::string_view, std::string_view>> KeyValue(std::string_view line) {
  size_t eq = line.find('=');
  if (eq == std::string_view::npos) return std::nullopt;
  return std::make_pair(Trim(line.substr(0, eq)), Trim(line.substr(eq + 1)));
}

}  // namespace

std::optional<std::string> IniLookup(const std::string& text, const std::string& section,
                                     const std::string& key) {
  bool inSection = false;
  for (const Line& line : SplitLines(text)) {
    if (auto name = SectionName(line.content)) {
      inSection = SameName(*name, section);
      continue;
    }
    if (!inSection) continue;
    auto kv = KeyValue(line.content);
    if (!kv || !SameName(kv->first, Trim(key))) continue;
    std::string_view value = kv->second;
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    if (value.size() > kMaxValue) value = value.substr(0, kMaxValue);
    return std::string(value);
  }
  return std::nullopt;
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
      inSection = SameName(*name, section);
      if (inSection) sectionEnd = line.end;
      continue;
    }
    if (!inSection) continue;
    auto kv = KeyValue(line.content);
    if (kv && SameName(kv->first, key)) {
      return text.substr(0, line.begin) + entry + text.substr(line.end);
    }
    if (!Trim(line.content).empty()) sectionEnd = line.end;
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

int32_t PackDosStamp(int year, int month, int day, int hour, int minute, int second) {
  if (year < 1980 || year > 2107) return -1;
  uint32_t date = static_cast<uint32_t>(((year - 1980) << 9) | (month << 5) | day);
  uint32_t time = static_cast<uint32_t>((hour << 11) | (minute << 5) | (second / 2));
  return static_cast<int32_t>((date << 16) | time);
}

}  // namespace qw
