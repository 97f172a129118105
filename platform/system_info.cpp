#include "platform/system_info.h"

#include <cstdio>

#include "platform/ascii_text.h"

namespace qw {
namespace {

std::string Number(int value, int width) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%0*d", width, value);
  return buffer;
}

const char* const kDayShort[] = {"日", "月", "火", "水", "木", "金", "土"};
const char* const kDayLong[] = {"日曜日", "月曜日", "火曜日", "水曜日", "木曜日", "金曜日", "土曜日"};

}  // namespace

std::string FormatDateTimePicture(const std::string& picture, const LocalDateTime& t) {
  std::string out;
  size_t i = 0;
  const size_t n = picture.size();
  while (i < n) {
    char c = picture[i];
    if (c == '\'') {
      i = ReadQuotedRun(picture, i, '\'', &out);
      continue;
    }
    size_t run = 1;
    while (i + run < n && picture[i + run] == c) ++run;
    switch (c) {
      case 'd':
        if (run == 1) out += Number(t.day, 1);
        else if (run == 2) out += Number(t.day, 2);
        else if (run == 3) out += kDayShort[t.dayOfWeek % 7];
        else out += kDayLong[t.dayOfWeek % 7];
        break;
      case 'M':
        if (run == 1) out += Number(t.month, 1);
        else if (run == 2) out += Number(t.month, 2);
        else out += Number(t.month, 1) + "月";
        break;
      case 'y':
        if (run <= 2) out += Number(t.year % 100, run == 1 ? 1 : 2);
        else out += Number(t.year, 4);
        break;
      case 'g':
        out += "西暦";
        break;
      case 'h': {
        int h12 = t.hour % 12 == 0 ? 12 : t.hour % 12;
        out += Number(h12, run >= 2 ? 2 : 1);
        break;
      }
      case 'H':
        out += Number(t.hour, run >= 2 ? 2 : 1);
        break;
      case 'm':
        out += Number(t.minute, run >= 2 ? 2 : 1);
        break;
      case 's':
        out += Number(t.second, run >= 2 ? 2 : 1);
        break;
      case 't':
        out += t.hour < 12 ? (run >= 2 ? "午前" : "A") : (run >= 2 ? "午後" : "P");
        break;
      default:
        out.append(run, c);
        break;
    }
    i += run;
  }
  return out;
}

std::string SystemInfo::FormatShortDate(const LocalDateTime& t) {
  return FormatDateTimePicture(ShortDateFormat(), t);
}

std::string SystemInfo::FormatLongTime(const LocalDateTime& t) {
  return FormatDateTimePicture(LongTimeFormat(), t);
}

}  // namespace qw
