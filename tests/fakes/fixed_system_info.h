// A SystemInfo with fixed answers (Japanese regional settings, a fixed
// instant, UTC+9), header-only so that benchmarks and fuzz targets can use it
// without the test framework.
#pragma once

#include <string>

#include "platform/system_info.h"

namespace qw {

class FixedSystemInfo : public SystemInfo {
 public:
  explicit FixedSystemInfo(std::string name = "FIXED") : name_(std::move(name)) {}
  std::string ComputerName() override { return name_; }
  std::string HostName() override { return "fixed.example"; }
  LocalDateTime Now() override { return {2024, 5, 6, 1, 7, 8, 9, 0}; }
  int UtcOffsetMinutes() override { return 540; }
  std::string ShortDateFormat() override { return "yyyy/MM/dd"; }
  std::string LongTimeFormat() override { return "H:mm:ss"; }
  std::string ThousandSeparator() override { return ","; }
  std::string DecimalSeparator() override { return "."; }

 private:
  std::string name_;
};

}  // namespace qw
