// Errors shared by the service and the applet. Messages are Shift-JIS text;
// what() returns them unchanged.
#pragma once

#include <stdexcept>
#include <string>

namespace qw {

// A settings file that cannot be used: the service's start fails with it,
// a periodic check writes it as an error entry and keeps the last good
// settings.
class ESettingsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A settings value that does not convert into the number it must hold.
class EConvertError : public ESettingsError {
 public:
  using ESettingsError::ESettingsError;
};

// The settings file as a whole cannot be read (a folder in its place, too
// large, not text, no access).
class ESettingsFileError : public ESettingsError {
 public:
  using ESettingsError::ESettingsError;
};

// "'<text>' は整数ではありません"
EConvertError NotAnInteger(const std::string& text);
// "'<text>' は 1 以上の整数ではありません"
EConvertError NotAPositiveInteger(const std::string& text);
// "'<text>' は 0 以上の整数ではありません"
EConvertError NotANonNegativeInteger(const std::string& text);
// "'<text>' は浮動小数点数ではありません"
EConvertError NotAFloat(const std::string& text);
// "'<text>' は 0 以上の数ではありません"
EConvertError NotANonNegativeNumber(const std::string& text);
// "'<text>' は 1 ～ 65535 のポート番号ではありません"
EConvertError NotAPortNumber(const std::string& text);
// "'<text>' は MB または % のしきい値ではありません"
EConvertError NotAThreshold(const std::string& text);

// A value as an error message shows it: bytes below 32 and DEL as "\xNN",
// and a value longer than 200 bytes cut there with "..." after it.
std::string ShownValue(const std::string& value);

// "設定ファイル <file> の [<section>] <key>=<value>: <reason>", the value
// as ShownValue gives it.
EConvertError SettingsValueError(const std::string& file, const std::string& section,
                                 const std::string& key, const std::string& value,
                                 const std::string& reason);

// Strict conversions: an optional sign and decimal digits that fit the type,
// nothing else (no blanks). False when the text does not convert.
bool TryStrToInt(const std::string& text, int32_t* value);
bool TryStrToInt64(const std::string& text, int64_t* value);
// A decimal number with `decimalSeparator` as its separator, optional sign and
// exponent, blanks around it allowed. False when the text does not convert.
bool TryStrToFloat(const std::string& text, const std::string& decimalSeparator, double* value);

}  // namespace qw
