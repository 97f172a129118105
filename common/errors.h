// Errors shared by the service and the applet. Messages are Shift-JIS text;
// what() returns them unchanged.
#pragma once

#include <stdexcept>
#include <string>

namespace qw {

// A settings value that does not convert into the number it must hold.
class EConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// "'<text>' は整数ではありません"
EConvertError NotAnInteger(const std::string& text);
// "'<text>' は 1 以上の整数ではありません"
EConvertError NotAPositiveInteger(const std::string& text);
// "'<text>' は浮動小数点数ではありません"
EConvertError NotAFloat(const std::string& text);

// Strict conversions: an optional sign and decimal digits that fit the type,
// nothing else (no blanks). False when the text does not convert.
bool TryStrToInt(const std::string& text, int32_t* value);
bool TryStrToInt64(const std::string& text, int64_t* value);
// A decimal number with `decimalSeparator` as its separator, optional sign and
// exponent, blanks around it allowed. False when the text does not convert.
bool TryStrToFloat(const std::string& text, const std::string& decimalSeparator, double* value);

}  // namespace qw
