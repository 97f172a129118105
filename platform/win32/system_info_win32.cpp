#include <windows.h>

#include <vector>

#include "platform/system_info.h"
#include "platform/text_codec.h"

namespace qw {
namespace {

// Locale texts and names are read with the W functions and made Shift-JIS
// here: a format such as "yyyy'年'M'月'd'日'" or a computer name in Japanese
// would not survive an ANSI code page other than 932.
std::string Narrow(const wchar_t* text, size_t length) {
  return Utf16ToSjis(std::u16string(reinterpret_cast<const char16_t*>(text), length));
}

std::string LocaleText(LCTYPE type, const char* fallback) {
  wchar_t buffer[128] = {};
  int n = GetLocaleInfoW(LOCALE_USER_DEFAULT, type, buffer, 128);
  if (n <= 1) return fallback;
  return Narrow(buffer, static_cast<size_t>(n - 1));
}

SYSTEMTIME ToSystemTime(const LocalDateTime& t) {
  SYSTEMTIME st{};
  st.wYear = static_cast<WORD>(t.year);
  st.wMonth = static_cast<WORD>(t.month);
  st.wDay = static_cast<WORD>(t.day);
  st.wDayOfWeek = static_cast<WORD>(t.dayOfWeek);
  st.wHour = static_cast<WORD>(t.hour);
  st.wMinute = static_cast<WORD>(t.minute);
  st.wSecond = static_cast<WORD>(t.second);
  st.wMilliseconds = static_cast<WORD>(t.millisecond);
  return st;
}

class Win32SystemInfo : public SystemInfo {
 public:
  std::string ComputerName() override {
    wchar_t buffer[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    if (!GetComputerNameW(buffer, &size)) return "";
    return Narrow(buffer, size);
  }

  std::string HostName() override {
    wchar_t buffer[257] = {};
    DWORD size = 257;
    if (!GetComputerNameExW(ComputerNameDnsHostname, buffer, &size)) return "";
    return Narrow(buffer, size);
  }

  LocalDateTime Now() override {
    SYSTEMTIME st{};
    GetLocalTime(&st);
    LocalDateTime t;
    t.year = st.wYear;
    t.month = st.wMonth;
    t.day = st.wDay;
    t.dayOfWeek = st.wDayOfWeek;
    t.hour = st.wHour;
    t.minute = st.wMinute;
    t.second = st.wSecond;
    t.millisecond = st.wMilliseconds;
    return t;
  }

  int UtcOffsetMinutes() override {
    TIME_ZONE_INFORMATION tz{};
    DWORD mode = GetTimeZoneInformation(&tz);
    if (mode == TIME_ZONE_ID_INVALID) return 0;
    LONG bias = tz.Bias;
    if (mode == TIME_ZONE_ID_DAYLIGHT) bias += tz.DaylightBias;
    else if (mode == TIME_ZONE_ID_STANDARD) bias += tz.StandardBias;
    return static_cast<int>(-bias);
  }

  std::string ShortDateFormat() override { return LocaleText(LOCALE_SSHORTDATE, "yyyy/MM/dd"); }
  std::string LongTimeFormat() override { return LocaleText(LOCALE_STIMEFORMAT, "H:mm:ss"); }
  std::string ThousandSeparator() override { return LocaleText(LOCALE_STHOUSAND, ","); }
  std::string DecimalSeparator() override { return LocaleText(LOCALE_SDECIMAL, "."); }

  std::string FormatShortDate(const LocalDateTime& t) override {
    SYSTEMTIME st = ToSystemTime(t);
    wchar_t buffer[128] = {};
    int n = GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &st, nullptr, buffer, 128);
    if (n <= 1) return SystemInfo::FormatShortDate(t);
    return Narrow(buffer, static_cast<size_t>(n - 1));
  }

  std::string FormatLongTime(const LocalDateTime& t) override {
    SYSTEMTIME st = ToSystemTime(t);
    wchar_t buffer[128] = {};
    int n = GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &st, nullptr, buffer, 128);
    if (n <= 1) return SystemInfo::FormatLongTime(t);
    return Narrow(buffer, static_cast<size_t>(n - 1));
  }
};

}  // namespace

uint32_t CurrentProcessId() { return GetCurrentProcessId(); }

std::unique_ptr<SystemInfo> NewSystemInfo() { return std::make_unique<Win32SystemInfo>(); }

}  // namespace qw
