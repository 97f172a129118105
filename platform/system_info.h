// The computer, its clock and its regional settings.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace qw {

// A local date and time, as Windows' SYSTEMTIME holds it.
struct LocalDateTime {
  int year = 0, month = 0, day = 0;
  int dayOfWeek = 0;  // 0 = Sunday
  int hour = 0, minute = 0, second = 0, millisecond = 0;
};

class SystemInfo {
 public:
  virtual ~SystemInfo() = default;

  // NetBIOS name of the computer (GetComputerNameA); empty when unknown.
  virtual std::string ComputerName() = 0;
  // TCP/IP host name (gethostname); empty when unknown.
  virtual std::string HostName() = 0;

  virtual LocalDateTime Now() = 0;
  // Minutes to add to UTC to obtain local time now (UTC+9 is 540); 0 when
  // nothing is known.
  virtual int UtcOffsetMinutes() = 0;

  // Regional settings: short date format ("yyyy/MM/dd"), long time format
  // ("H:mm:ss"), in the picture language of GetLocaleInfo; the thousands
  // separator and the decimal separator.
  virtual std::string ShortDateFormat() = 0;
  virtual std::string LongTimeFormat() = 0;
  virtual std::string ThousandSeparator() = 0;
  virtual std::string DecimalSeparator() = 0;

  // `t` in the short date format and in the long time format. The default
  // applies the pictures above; Windows lets the system format.
  virtual std::string FormatShortDate(const LocalDateTime& t);
  virtual std::string FormatLongTime(const LocalDateTime& t);
};

std::unique_ptr<SystemInfo> NewSystemInfo();

// The id of the calling process.
uint32_t CurrentProcessId();

// Formats `t` by a date or time picture of GetLocaleInfo (d dd ddd dddd M MM
// MMM MMMM y yy yyyy gg h hh H HH m mm s ss t tt, text in single quotes kept
// as it is). Day and month names are the Japanese ones.
std::string FormatDateTimePicture(const std::string& picture, const LocalDateTime& t);

}  // namespace qw
