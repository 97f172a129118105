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

}  // namespace

std::optional<FillForecast> ForecastFill(const std::vector<VolumeSample>& samples, int64_t thresholdBytes,
                                         int64_t nowUtc) {
  std::vector<const VolumeSample*> window;
  for (const VolumeSample& s : samples)
    if (s.utcSeconds <= nowUtc && nowUtc - s.utcSeconds <= kForecastWindowSeconds) window.push_back(&s);
  if (window.size() < kForecastMinSamples) return std::nullopt;
  if (window.back()->utcSeconds - window.front()->utcSeconds < kForecastMinSpanSeconds) return std::nullopt;

  // Times relative to the newest sample keep the doubles exact enough.
  const int64_t last = window.back()->utcSeconds;
  std::vector<double> slopes;
  slopes.reserve(window.size() * (window.size() - 1) / 2);
  for (size_t i = 0; i < window.size(); ++i)
    for (size_t j = i + 1; j < window.size(); ++j) {
      const int64_t dt = window[j]->utcSeconds - window[i]->utcSeconds;
      if (dt <= 0) continue;
      slopes.push_back(static_cast<double>(window[j]->freeBytes - window[i]->freeBytes) / static_cast<double>(dt));
    }
  if (slopes.empty()) return std::nullopt;
  const double slope = Median(slopes);  // bytes per second
  if (!(slope < 0)) return std::nullopt;

  std::vector<double> levels;
  const size_t tail = std::min<size_t>(window.size(), kForecastMinSamples);
  for (size_t k = window.size() - tail; k < window.size(); ++k)
    levels.push_back(static_cast<double>(window[k]->freeBytes) + slope * static_cast<double>(last - window[k]->utcSeconds));
  const double levelNow = Median(levels) + slope * static_cast<double>(nowUtc - last);

  FillForecast forecast;
  forecast.bytesPerDay = slope * 86400.0;
  const double seconds = (levelNow - static_cast<double>(thresholdBytes)) / -slope;
  // A trend so slow it would take more than a thousand years is as good as
  // none: such a date cannot be written.
  if (seconds > 1000.0 * 365 * 86400) return std::nullopt;
  forecast.secondsLeft = seconds <= 0 ? 0 : static_cast<int64_t>(std::ceil(seconds));
  forecast.reachUtc = nowUtc + forecast.secondsLeft;
  return forecast;
}

}  // namespace qw
