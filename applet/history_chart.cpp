#include "applet/history_chart.h"

#include <algorithm>
#include <cmath>

#include "applet/status_model.h"

namespace qw {
namespace {

// The smallest 1, 2 or 5 times a power of ten (of KiB, MiB, GiB or TiB)
// that is at least `bytes`.
int64_t RoundUp(int64_t bytes) {
  if (bytes <= 0) return 1024;
  for (int64_t unit : {int64_t{1} << 10, int64_t{1} << 20, int64_t{1} << 30, int64_t{1} << 40}) {
    for (int64_t power = 1; power <= 100; power *= 10)
      for (int64_t step : {1, 2, 5})
        if (step * power * unit >= bytes && (unit == (int64_t{1} << 40) || step * power < 1000))
          return step * power * unit;
  }
  return bytes;
}

}  // namespace

HistoryChart BuildHistoryChart(const std::vector<VolumeSample>& samples, int64_t thresholdBytes,
                               const std::optional<FillForecast>& forecast, int64_t nowUtc, int offsetMinutes,
                               int width, int height) {
  HistoryChart chart;
  chart.startUtc = nowUtc - kChartSpanSeconds;
  chart.endUtc = nowUtc;
  if (forecast && thresholdBytes > 0)
    chart.endUtc = std::clamp(forecast->reachUtc, nowUtc, nowUtc + kChartSpanSeconds);
  std::vector<const VolumeSample*> shown;
  int64_t highest = std::max<int64_t>(thresholdBytes, 0);
  for (const VolumeSample& s : samples) {
    if (s.utcSeconds < chart.startUtc || s.utcSeconds > nowUtc) continue;
    shown.push_back(&s);
    highest = std::max(highest, s.freeBytes);
  }
  chart.topBytes = RoundUp(highest + highest / 10);
  const double w = width, h = height;
  const double span = static_cast<double>(std::max<int64_t>(chart.endUtc - chart.startUtc, 1));
  const auto x = [&](int64_t t) { return static_cast<double>(t - chart.startUtc) / span * w; };
  const auto y = [&](double bytes) { return h - bytes / static_cast<double>(chart.topBytes) * h; };
  for (const VolumeSample* s : shown)
    chart.freeLine.push_back({x(s->utcSeconds), y(static_cast<double>(s->freeBytes))});
  if (thresholdBytes > 0) chart.thresholdY = y(static_cast<double>(thresholdBytes));
  if (chart.endUtc > nowUtc) chart.nowX = x(nowUtc);

  if (forecast && thresholdBytes > 0 && !shown.empty()) {
    // A straight line from the newest sample to the threshold on the day
    // the forecast gives, cut at the right edge.
    const VolumeSample& last = *shown.back();
    const double from = static_cast<double>(last.freeBytes);
    const double to = static_cast<double>(thresholdBytes);
    chart.forecastDash.push_back({x(last.utcSeconds), y(from)});
    if (forecast->reachUtc > last.utcSeconds && from > to) {
      const int64_t end = std::min(forecast->reachUtc, chart.endUtc);
      const double part = static_cast<double>(end - last.utcSeconds) /
                          static_cast<double>(forecast->reachUtc - last.utcSeconds);
      chart.forecastDash.push_back({x(end), y(from + (to - from) * part)});
    } else {
      chart.forecastDash.push_back({x(last.utcSeconds), y(to)});
    }
  }

  // A tick at each local midnight, labelled every few days so that the
  // labels do not touch (about 40 pixels each).
  const int64_t days = (chart.endUtc - chart.startUtc) / 86400 + 1;
  const int64_t every = std::max<int64_t>(1, (days * 40 + width - 1) / std::max(width, 1));
  const int64_t offset = int64_t{offsetMinutes} * 60;
  int64_t midnight = (chart.startUtc + offset) / 86400 * 86400 - offset;
  if (midnight < chart.startUtc) midnight += 86400;
  for (int64_t n = 0; midnight <= chart.endUtc; midnight += 86400, ++n) {
    ChartTick tick;
    tick.at = x(midnight);
    if (n % every == 0) {
      const LocalDateTime t = LocalTimeOfUtcSeconds(midnight, offsetMinutes);
      tick.label = std::to_string(t.month) + "/" + std::to_string(t.day);
    }
    chart.timeTicks.push_back(tick);
  }
  for (int i = 0; i <= 4; ++i) {
    const int64_t bytes = chart.topBytes / 4 * i;
    chart.bytesTicks.push_back({y(static_cast<double>(bytes)), bytes == 0 ? std::string("0") : FormatBytes(bytes)});
  }
  return chart;
}

}  // namespace qw
