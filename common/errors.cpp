#include "common/errors.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>

#include "platform/ascii_text.h"

namespace qw {

namespace {

// "'<text>' <what>"
EConvertError ValueIsNot(const std::string& text, const char* what) {
  return EConvertError("'" + text + "' " + what);
}

}  // namespace

EConvertError NotAnInteger(const std::string& text) { return ValueIsNot(text, "は整数ではありません"); }

EConvertError NotAPositiveInteger(const std::string& text) { return ValueIsNot(text, "は 1 以上の整数ではありません"); }

EConvertError NotANonNegativeInteger(const std::string& text) {
  return ValueIsNot(text, "は 0 以上の整数ではありません");
}

EConvertError NotAFloat(const std::string& text) { return ValueIsNot(text, "は浮動小数点数ではありません"); }

EConvertError NotANonNegativeNumber(const std::string& text) { return ValueIsNot(text, "は 0 以上の数ではありません"); }

EConvertError NotAPortNumber(const std::string& text) {
  return ValueIsNot(text, "は 1 ～ 65535 のポート番号ではありません");
}

EConvertError NotAThreshold(const std::string& text) {
  return ValueIsNot(text, "は MB または % のしきい値ではありません");
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
      if (IsShiftJisLeadByte(c)) {
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

bool TryStrToInt(const std::string& text, int32_t* value) {
  const Result<int64_t> v =
      ParseInteger(text, kDecimal, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max());
  if (!v) return false;
  *value = static_cast<int32_t>(*v);
  return true;
}

bool TryStrToInt64(const std::string& text, int64_t* value) {
  const Result<int64_t> v =
      ParseInteger(text, kDecimal, std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max());
  if (!v) return false;
  *value = *v;
  return true;
}

bool TryStrToFloat(const std::string& text, const std::string& decimalSeparator, double* value) {
  const std::string s(TrimBlanks(text));
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
