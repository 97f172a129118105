#include "common/fill_forecast.h"

#include <algorithm>
#include <cmath>

namespace qw {
namespace {

double Median(std::vector<double>& values) {
  const size_t mid = values.size() / 2;
  std::nth_element(values.begin(), values.begin() + mid, values.end());
  const double upper = values[mid];
  if (values.size() % 2 == 1) return upper;
  const double lower = *std::max_element(values.begin(), values.begin() + mid);
  return (lower + upper) / 2;
}

// Floor division, also for times before 1970.
int64_t FloorDiv(int64_t a, int64_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

}  // namespace

std::optional<FreeTrend> FitFreeTrend(const std::vector<VolumeSample>& samples, int64_t nowUtc) {
  std::vector<const VolumeSample*> window;
  for (const VolumeSample& s : samples)
    if (s.utcSeconds <= nowUtc && nowUtc - s.utcSeconds <= kForecastWindowSeconds) window.push_back(&s);
  if (window.size() < kForecastMinSamples) return std::nullopt;
  if (window.back()->utcSeconds - window.front()->utcSeconds < kForecastMinSpanSeconds) return std::nullopt;

  std::vector<double> slopes;
  slopes.reserve(window.size() * (window.size() - 1) / 2);
  for (size_t i = 0; i < window.size(); ++i)
    for (size_t j = i + 1; j < window.size(); ++j) {
      const int64_t dt = window[j]->utcSeconds - window[i]->utcSeconds;
      if (dt <= 0) continue;
      slopes.push_back(static_cast<double>(window[j]->freeBytes - window[i]->freeBytes) / static_cast<double>(dt));
    }
  if (slopes.empty()) return std::nullopt;
  FreeTrend trend;
  trend.bytesPerSecond = Median(slopes);

  // Times relative to the newest sample keep the doubles exact enough.
  const int64_t last = window.back()->utcSeconds;
  std::vector<double> levels;
  const size_t tail = std::min<size_t>(window.size(), kForecastMinSamples);
  for (size_t k = window.size() - tail; k < window.size(); ++k)
    levels.push_back(static_cast<double>(window[k]->freeBytes) +
                     trend.bytesPerSecond * static_cast<double>(last - window[k]->utcSeconds));
  trend.levelNow = Median(levels) + trend.bytesPerSecond * static_cast<double>(nowUtc - last);
  return trend;
}

std::optional<FillForecast> ForecastFill(const std::vector<VolumeSample>& samples, int64_t thresholdBytes,
                                         int64_t nowUtc) {
  const std::optional<FreeTrend> trend = FitFreeTrend(samples, nowUtc);
  if (!trend || !(trend->bytesPerSecond < 0)) return std::nullopt;
  FillForecast forecast;
  forecast.bytesPerDay = trend->bytesPerSecond * 86400.0;
  const double seconds = (trend->levelNow - static_cast<double>(thresholdBytes)) / -trend->bytesPerSecond;
  // A trend so slow it would take more than a thousand years is as good as
  // none: such a date cannot be written.
  if (seconds > 1000.0 * 365 * 86400) return std::nullopt;
  forecast.secondsLeft = seconds <= 0 ? 0 : static_cast<int64_t>(std::ceil(seconds));
  forecast.reachUtc = nowUtc + forecast.secondsLeft;
  return forecast;
}

LocalDateTime LocalTimeOfUtcSeconds(int64_t utcSeconds, int offsetMinutes) {
  const int64_t local = utcSeconds + int64_t{offsetMinutes} * 60;
  const int64_t days = FloorDiv(local, 86400);
  const int64_t secondOfDay = local - days * 86400;
  // Civil date of a day count (proleptic Gregorian, eras of 400 years).
  const int64_t z = days + 719468;
  const int64_t era = FloorDiv(z, 146097);
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  LocalDateTime t;
  t.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  t.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  t.year = static_cast<int>(yoe + era * 400 + (t.month <= 2 ? 1 : 0));
  t.dayOfWeek = static_cast<int>(((days + 4) % 7 + 7) % 7);  // 1970-01-01 was a Thursday
  t.hour = static_cast<int>(secondOfDay / 3600);
  t.minute = static_cast<int>(secondOfDay / 60 % 60);
  t.second = static_cast<int>(secondOfDay % 60);
  return t;
}

}  // namespace qw
