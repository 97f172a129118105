#include "common/errors.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>

namespace qw {

EConvertError NotAnInteger(const std::string& text) {
  return EConvertError("'" + text + "' は整数ではありません");
}

EConvertError NotAPositiveInteger(const std::string& text) {
  return EConvertError("'" + text + "' は 1 以上の整数ではありません");
}

EConvertError NotAFloat(const std::string& text) {
  return EConvertError("'" + text + "' は浮動小数点数ではありません");
}

EConvertError NotANonNegativeNumber(const std::string& text) {
  return EConvertError("'" + text + "' は 0 以上の数ではありません");
}

EConvertError NotAPortNumber(const std::string& text) {
  return EConvertError("'" + text + "' は 1 ～ 65535 のポート番号ではありません");
}

std::string ShownValue(const std::string& value) {
  constexpr size_t kShownBytes = 200;
  static const char kHex[] = "0123456789ABCDEF";
  std::string shown;
  size_t i = 0;
  for (; i < value.size() && i < kShownBytes; ++i) {
    const unsigned char c = static_cast<unsigned char>(value[i]);
    if (c < 32 || c == 127) {
      shown += "\\x";
      shown += kHex[c >> 4];
      shown += kHex[c & 15];
    } else {
      shown += static_cast<char>(c);
    }
  }
  // Do not leave the lead byte of a Shift-JIS pair alone at the cut.
  if (i < value.size()) {
    size_t lead = 0;
    for (size_t k = 0; k < i; ++k) {
      const unsigned char c = static_cast<unsigned char>(value[k]);
      if ((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC)) {
        if (k + 1 == i) lead = 1;
        ++k;
      }
    }
    if (lead) shown.pop_back();
    shown += "...";
  }
  return shown;
}

EConvertError SettingsValueError(const std::string& file, const std::string& section,
                                 const std::string& key, const std::string& value,
                                 const std::string& reason) {
  return EConvertError("設定ファイル " + file + " の [" + section + "] " + key + "=" +
                       ShownValue(value) + ": " + reason);
}

namespace {

bool ParseSigned(const std::string& text, int64_t min, int64_t max, int64_t* value) {
  size_t p = 0;
  bool negative = false;
  if (p < text.size() && (text[p] == '+' || text[p] == '-')) {
    negative = text[p] == '-';
    ++p;
  }
  if (p == text.size()) return false;
  // Accumulate as a negative number so that the minimum fits.
  int64_t result = 0;
  for (; p < text.size(); ++p) {
    char c = text[p];
    if (c < '0' || c > '9') return false;
    int digit = c - '0';
    if (result < (std::numeric_limits<int64_t>::min() + digit) / 10) return false;
    result = result * 10 - digit;
  }
  if (!negative) {
    if (result == std::numeric_limits<int64_t>::min()) return false;
    result = -result;
  }
  if (result < min || result > max) return false;
  *value = result;
  return true;
}

}  // namespace

bool TryStrToInt(const std::string& text, int32_t* value) {
  int64_t v = 0;
  if (!ParseSigned(text, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max(), &v))
    return false;
  *value = static_cast<int32_t>(v);
  return true;
}

bool TryStrToInt64(const std::string& text, int64_t* value) {
  return ParseSigned(text, std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max(),
                     value);
}

bool TryStrToFloat(const std::string& text, const std::string& decimalSeparator, double* value) {
  size_t b = 0, e = text.size();
  while (b < e && text[b] == ' ') ++b;
  while (e > b && text[e - 1] == ' ') --e;
  std::string s = text.substr(b, e - b);
  if (s.empty()) return false;
  // Bring the text into the C form: digits, one '.', optional exponent.
  std::string c;
  size_t p = 0;
  if (s[p] == '+' || s[p] == '-') c += s[p++];
  bool digits = false, separator = false;
  while (p < s.size()) {
    if (s[p] >= '0' && s[p] <= '9') {
      c += s[p++];
      digits = true;
    } else if (!separator && !decimalSeparator.empty() && s.compare(p, decimalSeparator.size(), decimalSeparator) == 0) {
      c += '.';
      p += decimalSeparator.size();
      separator = true;
    } else {
      break;
    }
  }
  if (!digits) return false;
  if (p < s.size() && (s[p] == 'e' || s[p] == 'E')) {
    c += 'e';
    ++p;
    if (p < s.size() && (s[p] == '+' || s[p] == '-')) c += s[p++];
    bool expDigits = false;
    while (p < s.size() && s[p] >= '0' && s[p] <= '9') {
      c += s[p++];
      expDigits = true;
    }
    if (!expDigits) return false;
  }
  if (p != s.size()) return false;
  errno = 0;
  char* end = nullptr;
  double v = std::strtod(c.c_str(), &end);
  if (end != c.c_str() + c.size() || !std::isfinite(v)) return false;
  *value = v;
  return true;
}

}  // namespace qw
