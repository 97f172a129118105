#include "common/comma_list.h"

#include "platform/ascii_text.h"

namespace qw {
namespace {

bool IsBlank(unsigned char c) { return c >= 1 && c <= 32; }

bool NeedsQuotes(const std::string& item) {
  for (unsigned char c : item) {
    if (c <= 32 || c == '"' || c == ',') return true;
  }
  return false;
}

}  // namespace

std::vector<std::string> ReadCommaList(std::string_view text) {
  // A NUL byte ends the text, as it ends a C string.
  if (auto nul = text.find('\0'); nul != std::string_view::npos) text = text.substr(0, nul);
  std::vector<std::string> items;
  size_t p = 0;
  const size_t n = text.size();
  auto skipBlanks = [&] {
    while (p < n && IsBlank(static_cast<unsigned char>(text[p]))) ++p;
  };
  skipBlanks();
  while (p < n) {
    std::string item;
    if (text[p] == '"') {
      p = ReadQuotedRun(text, p, '"', &item);
    } else {
      size_t start = p;
      while (p < n && static_cast<unsigned char>(text[p]) > 32 && text[p] != ',') ++p;
      item.assign(text.substr(start, p - start));
    }
    items.push_back(std::move(item));
    skipBlanks();
    if (p < n && text[p] == ',') {
      if (p + 1 == n) items.emplace_back();
      ++p;
      skipBlanks();
    }
  }
  return items;
}

std::string WriteCommaList(const std::vector<std::string>& items) {
  if (items.size() == 1 && items[0].empty()) return "\"\"";
  std::string out;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i) out += ',';
    const std::string& item = items[i];
    if (!NeedsQuotes(item)) {
      out += item;
      continue;
    }
    out += '"';
    for (char c : item) {
      if (c == '"') out += '"';
      out += c;
    }
    out += '"';
  }
  return out;
}

}  // namespace qw
