// The chart of one drive on the status page: its free space over the last
// 30 days of history, its threshold as a level line, and the forecast as a
// dashed continuation from the newest sample to the threshold. A pure model
// of what the page draws: points in pixels of the plot area (x to the
// right, y down, the origin at the top left) and the scales with their
// labelled ticks.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/fill_forecast.h"
#include "common/volume_history.h"

namespace qw {

inline constexpr int64_t kChartSpanSeconds = 30 * 86400;

struct ChartPoint {
  double x = 0;
  double y = 0;
};

struct ChartTick {
  double at = 0;  // pixel (x for the time axis, y for the bytes axis)
  std::string label;
};

struct HistoryChart {
  // The time axis: from 30 days before `now` to `now`, or on to the day the
  // forecast reaches the threshold, at most 30 days ahead.
  int64_t startUtc = 0;
  int64_t endUtc = 0;
  // The bytes axis: 0 at the bottom, `topBytes` at the top (a round value
  // above every sample and the threshold).
  int64_t topBytes = 0;
  std::vector<ChartPoint> freeLine;  // one per sample of the span, in time order
  std::optional<double> thresholdY;  // none without a threshold
  // The dashed forecast: empty without one; else from the newest sample to
  // the threshold, cut at the right edge when that is further.
  std::vector<ChartPoint> forecastDash;
  // Where `now` lies when the axis goes on into the forecast's days (the
  // line between what was measured and what is foreseen); none otherwise.
  std::optional<double> nowX;
  std::vector<ChartTick> timeTicks;   // days, labelled "M/d"
  std::vector<ChartTick> bytesTicks;  // labelled as the page writes bytes
};

// The chart of `samples` (one drive's history, in time order) in a plot
// area of `width` by `height` pixels. `thresholdBytes` <= 0: none.
// `forecast`: the drive's forecast at `nowUtc`, if any. `offsetMinutes`:
// the local time's offset east of UTC, for the day labels.
HistoryChart BuildHistoryChart(const std::vector<VolumeSample>& samples, int64_t thresholdBytes,
                               const std::optional<FillForecast>& forecast, int64_t nowUtc, int offsetMinutes,
                               int width, int height);

}  // namespace qw
