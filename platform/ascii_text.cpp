#include "platform/ascii_text.h"

#include <algorithm>
#include <limits>

namespace qw {

std::string AsciiLowerCase(std::string_view text) {
  std::string result(text);
  for (char& c : result) c = AsciiLower(c);
  return result;
}

std::string AsciiUpperCase(std::string_view text) {
  std::string result(text);
  for (char& c : result) c = AsciiUpper(c);
  return result;
}

int CompareCaseless(std::string_view a, std::string_view b) {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    const auto x = static_cast<unsigned char>(AsciiLower(a[i]));
    const auto y = static_cast<unsigned char>(AsciiLower(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

bool EqualsCaseless(std::string_view a, std::string_view b) {
  return a.size() == b.size() && CompareCaseless(a, b) == 0;
}

bool StartsWithCaseless(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && CompareCaseless(text.substr(0, prefix.size()), prefix) == 0;
}

namespace {

template <typename Pred>
std::string_view TrimBy(std::string_view text, Pred front, Pred back) {
  while (!text.empty() && front(text.front())) text.remove_prefix(1);
  while (!text.empty() && back(text.back())) text.remove_suffix(1);
  return text;
}

}  // namespace

std::string_view TrimBlanks(std::string_view text) {
  auto blank = [](char c) { return c == ' '; };
  return TrimBy(text, +blank, +blank);
}

std::string_view TrimLeftBlanks(std::string_view text) {
  return text.substr(std::min(text.find_first_not_of(' '), text.size()));
}

std::string_view TrimSpaceTab(std::string_view text) {
  bool (*front)(char) = [](char c) { return c == ' ' || c == '\t'; };
  bool (*back)(char) = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  return TrimBy(text, front, back);
}

std::string_view TrimControls(std::string_view text) {
  auto control = [](char c) { return static_cast<unsigned char>(c) <= 32; };
  return TrimBy(text, +control, +control);
}

std::string_view StripQuotes(std::string_view text) {
  if (text.empty() || text.front() != '"' || text.back() != '"') return text;
  return text.size() < 2 ? std::string_view() : text.substr(1, text.size() - 2);
}

size_t ReadQuotedRun(std::string_view text, size_t at, char quote, std::string* out) {
  size_t p = at + 1;
  const size_t n = text.size();
  while (p < n) {
    if (text[p] == quote) {
      if (p + 1 < n && text[p + 1] == quote) {
        *out += quote;
        p += 2;
        continue;
      }
      return p + 1;
    }
    *out += text[p++];
  }
  return p;
}

Result<int64_t> ParseInteger(std::string_view text, const IntegerRules& rules, int64_t min, int64_t max) {
  const auto notANumber = [] { return Status::Failure("integer", 0, "not an integer"); };
  const auto outOfRange = [min, max] {
    return Status::Failure("integer", 0, "out of range " + std::to_string(min) + " to " + std::to_string(max));
  };
  size_t p = 0;
  if (rules.leadingBlanks) {
    while (p < text.size() && (text[p] == ' ' || text[p] == '\t')) ++p;
  }
  bool negative = false;
  if (p < text.size() && (text[p] == '+' || text[p] == '-')) negative = text[p++] == '-';
  int base = 10;
  if (rules.hexPrefix && text.size() - p > 2 && text[p] == '0' && (text[p + 1] == 'x' || text[p + 1] == 'X')) {
    base = 16;
    p += 2;
  }
  // Accumulated as a negative number so that the minimum of int64 fits.
  int64_t result = 0;
  uint32_t wrapped = 0;
  bool any = false;
  for (; p < text.size(); ++p) {
    const char c = AsciiLower(text[p]);
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (rules.prefixOnly) {
      break;
    } else {
      return notANumber();
    }
    any = true;
    if (rules.wrap32) {
      wrapped = wrapped * static_cast<uint32_t>(base) + static_cast<uint32_t>(digit);
      continue;
    }
    if (result < (std::numeric_limits<int64_t>::min() + digit) / base) return outOfRange();
    result = result * base - digit;
  }
  if (!any) return notANumber();
  if (rules.wrap32) {
    result = static_cast<int32_t>(negative ? 0u - wrapped : wrapped);
  } else if (!negative) {
    if (result == std::numeric_limits<int64_t>::min()) return outOfRange();
    result = -result;
  }
  if (result < min || result > max) return outOfRange();
  return result;
}

}  // namespace qw
