#include <unistd.h>

#include <cctype>
#include <ctime>

#include "platform/ascii_text.h"
#include "platform/system_info.h"

namespace qw {
namespace {

class PosixSystemInfo : public SystemInfo {
 public:
  std::string ComputerName() override {
    // The NetBIOS form of the host name: its first label, upper case, at most
    // 15 characters.
    std::string name = HostName();
    name = name.substr(0, name.find('.'));
    if (name.size() > 15) name.resize(15);
    return AsciiUpperCase(name);
  }

  std::string HostName() override {
    char buffer[257] = {};
    if (gethostname(buffer, sizeof buffer - 1) != 0) return "";
    return buffer;
  }

  LocalDateTime Now() override {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    localtime_r(&ts.tv_sec, &local);
    LocalDateTime t;
    t.year = local.tm_year + 1900;
    t.month = local.tm_mon + 1;
    t.day = local.tm_mday;
    t.dayOfWeek = local.tm_wday;
    t.hour = local.tm_hour;
    t.minute = local.tm_min;
    t.second = local.tm_sec;
    t.millisecond = static_cast<int>(ts.tv_nsec / 1000000);
    return t;
  }

  int UtcOffsetMinutes() override {
    time_t now = time(nullptr);
    tm local{};
    if (!localtime_r(&now, &local)) return 0;
    return static_cast<int>(local.tm_gmtoff / 60);
  }

  // Japanese regional settings, which the product's texts are written for.
  std::string ShortDateFormat() override { return "yyyy/MM/dd"; }
  std::string LongTimeFormat() override { return "H:mm:ss"; }
  std::string ThousandSeparator() override { return ","; }
  std::string DecimalSeparator() override { return "."; }
};

}  // namespace

uint32_t CurrentProcessId() { return static_cast<uint32_t>(getpid()); }

std::unique_ptr<SystemInfo> NewSystemInfo() { return std::make_unique<PosixSystemInfo>(); }

}  // namespace qw
