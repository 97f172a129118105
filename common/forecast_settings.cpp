#include "common/forecast_settings.h"

#include "common/drivewarden_common.h"
#include "common/errors.h"
#include "platform/ascii_text.h"

namespace qw {

ForecastSettings ReadForecastSettings(const ProfileSnapshot& ini) {
  ForecastSettings settings;
  const std::string text = ini.ReadString(kSectionWarning, kKeyForecastDays, "");
  const std::string bare(TrimControls(text));
  if (bare.empty()) return settings;
  int32_t days = 0;
  if (!TryStrToInt(bare, &days) || days < 0)
    throw SettingsValueError(kIniFileName, kSectionWarning, kKeyForecastDays, text,
                             NotANonNegativeInteger(text).what());
  if (days > kForecastDaysMax)
    throw SettingsValueError(kIniFileName, kSectionWarning, kKeyForecastDays, text,
                             "'" + ShownValue(text) + "' は " + std::to_string(kForecastDaysMax) +
                                 " 日を超えています");
  settings.days = days;
  return settings;
}

}  // namespace qw
