// [WARNING] FORECASTDAYS: how many days ahead a forecast fill-up makes the
// check a warning. 0 (the default, and an empty value) is off.
#pragma once

#include <cstdint>

#include "platform/profile.h"

namespace qw {

inline constexpr const char* kKeyForecastDays = "FORECASTDAYS";
inline constexpr int32_t kForecastDaysMax = 365;

struct ForecastSettings {
  int32_t days = 0;  // 0: no forecast
};

// Reads FORECASTDAYS of the snapshot: 0 to 365 whole days, blanks around the
// digits allowed. Throws EConvertError naming the file, section, key and
// value otherwise.
ForecastSettings ReadForecastSettings(const ProfileSnapshot& ini);

}  // namespace qw
