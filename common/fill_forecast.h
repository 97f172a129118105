// The fill-up forecast: when a volume's free space, going the way it went in
// the last 7 days, reaches its threshold. A pure function of the samples.
//
// The trend is the Theil–Sen slope: the median of the slopes between every
// pair of samples. One large deletion or copy is one step in the series; it
// changes only the pairs that straddle it, a minority, so the median stays
// with the steady fill around it, where a least-squares line would tilt
// towards the step (and a single spike pulls a least-squares fit as far as
// it reaches). The level the forecast starts from is the median of the last
// six samples carried to the newest along that slope, so that a step does
// count once it has held for a few samples (the space a deletion freed is
// really there), while one odd sample does not.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "common/volume_history.h"
#include "platform/system_info.h"

namespace qw {

inline constexpr int64_t kForecastWindowSeconds = 7 * 86400;
inline constexpr size_t kForecastMinSamples = 6;
inline constexpr int64_t kForecastMinSpanSeconds = 86400;

// The trend of the last 7 days: the slope and the level it has reached.
struct FreeTrend {
  double bytesPerSecond = 0;  // negative: filling
  double levelNow = 0;        // free bytes at `nowUtc` along the trend
};

// The trend from the samples of the last 7 days before `nowUtc` (`samples`
// in time order; later ones are passed over). None with fewer than 6
// samples or less than a day between the first and the last of them.
std::optional<FreeTrend> FitFreeTrend(const std::vector<VolumeSample>& samples, int64_t nowUtc);

struct FillForecast {
  // Change of the free space per day in bytes (negative: filling).
  double bytesPerDay = 0;
  // From `nowUtc` to the moment the free space reaches the threshold
  // (0 when the fitted level is at or below it already).
  int64_t secondsLeft = 0;
  int64_t reachUtc = 0;
};

// The forecast from FitFreeTrend's trend: none without a trend, for a free
// space that does not shrink, or one that would take more than a thousand
// years.
std::optional<FillForecast> ForecastFill(const std::vector<VolumeSample>& samples, int64_t thresholdBytes,
                                         int64_t nowUtc);

// The local date and time of `utcSeconds` (seconds since 1970-01-01 UTC) at
// `offsetMinutes` east of UTC.
LocalDateTime LocalTimeOfUtcSeconds(int64_t utcSeconds, int offsetMinutes);

}  // namespace qw
