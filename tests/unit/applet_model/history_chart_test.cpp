// The status page's chart model: where the samples, the threshold and the
// forecast land in the plot area, and the scales around them.
#include "applet/history_chart.h"

#include <gtest/gtest.h>

#include <string>

namespace qw {
namespace {

constexpr int64_t kGiB = int64_t{1} << 30;
constexpr int64_t kDay = 86400;
constexpr int64_t kNow = 1765324800;  // 2025-12-10 00:00 UTC
constexpr int kWidth = 300;
constexpr int kHeight = 120;

// Daily samples for `days` days up to now, free(daysAgo).
std::vector<VolumeSample> Daily(int days, int64_t (*free)(int)) {
  std::vector<VolumeSample> samples;
  for (int ago = days; ago >= 0; --ago) samples.push_back({kNow - ago * kDay, free(ago), 1000 * kGiB});
  return samples;
}

TEST(HistoryChartTest, SamplesThresholdAndScales) {
  const auto samples = Daily(45, [](int ago) { return 100 * kGiB + ago * kGiB; });
  const HistoryChart chart = BuildHistoryChart(samples, 50 * kGiB, std::nullopt, kNow, 540, kWidth, kHeight);
  EXPECT_EQ(chart.startUtc, kNow - 30 * kDay);
  EXPECT_EQ(chart.endUtc, kNow);
  // Only the last 30 days, the oldest at the left edge, the newest at the right.
  ASSERT_EQ(chart.freeLine.size(), 31u);
  EXPECT_DOUBLE_EQ(chart.freeLine.front().x, 0);
  EXPECT_DOUBLE_EQ(chart.freeLine.back().x, kWidth);
  // 130 GiB at most: the top is a round value above it with room, 0 at the bottom.
  EXPECT_GE(chart.topBytes, 130 * kGiB);
  EXPECT_EQ(chart.topBytes, 200 * kGiB);
  for (size_t i = 0; i < chart.freeLine.size(); ++i) {
    const ChartPoint& p = chart.freeLine[i];
    EXPECT_GE(p.y, 0);
    EXPECT_LE(p.y, kHeight);
    if (i > 0) {
      EXPECT_GT(p.x, chart.freeLine[i - 1].x);
      EXPECT_GT(p.y, chart.freeLine[i - 1].y) << "less free space lies lower";
    }
  }
  EXPECT_DOUBLE_EQ(chart.freeLine.back().y, kHeight - 100.0 / 200 * kHeight);
  ASSERT_TRUE(chart.thresholdY);
  EXPECT_DOUBLE_EQ(*chart.thresholdY, kHeight - 50.0 / 200 * kHeight);
  EXPECT_TRUE(chart.forecastDash.empty());
  EXPECT_FALSE(chart.nowX) << "the axis ends at now";
  // Ticks: 0 at the bottom and the top labelled as the page writes bytes;
  // a day tick per local midnight, labels that fit the width.
  ASSERT_EQ(chart.bytesTicks.size(), 5u);
  EXPECT_DOUBLE_EQ(chart.bytesTicks.front().at, kHeight);
  EXPECT_EQ(chart.bytesTicks.front().label, "0");
  EXPECT_DOUBLE_EQ(chart.bytesTicks.back().at, 0);
  EXPECT_EQ(chart.bytesTicks.back().label, "200.0 GB");
  EXPECT_EQ(chart.timeTicks.size(), 30u);
  size_t labelled = 0;
  double lastLabel = -1000;
  for (const ChartTick& tick : chart.timeTicks) {
    if (tick.label.empty()) continue;
    ++labelled;
    EXPECT_GE(tick.at - lastLabel, 38) << tick.label;
    lastLabel = tick.at;
  }
  EXPECT_GE(labelled, 5u);
  // Midnight at UTC+9 is 15:00 UTC: the first tick is 9 hours before a UTC day.
  EXPECT_NEAR(chart.timeTicks[0].at, static_cast<double>(15 * 3600) / (30 * kDay) * kWidth, 1e-9);
  EXPECT_EQ(chart.timeTicks[0].label, "11/11");
}

TEST(HistoryChartTest, TheForecastDashReachesTheThresholdOrTheEdge) {
  struct Case {
    const char* name;
    int64_t reachDays;    // from now
    int64_t endUtc;       // expected right edge
    bool reachesLine;     // the dash ends on the threshold line
  };
  const Case cases[] = {
      {"within the month", 12, kNow + 12 * kDay, true},
      {"beyond the month", 80, kNow + 30 * kDay, false},
  };
  const auto samples = Daily(30, [](int ago) { return 100 * kGiB + ago * 2 * kGiB; });
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FillForecast forecast;
    forecast.bytesPerDay = -2.0 * kGiB;
    forecast.secondsLeft = c.reachDays * kDay;
    forecast.reachUtc = kNow + forecast.secondsLeft;
    const HistoryChart chart = BuildHistoryChart(samples, 76 * kGiB, forecast, kNow, 0, kWidth, kHeight);
    EXPECT_EQ(chart.endUtc, c.endUtc);
    // Today's mark splits the axis at the same ratio as the days do.
    ASSERT_TRUE(chart.nowX);
    EXPECT_NEAR(*chart.nowX, 30.0 / ((c.endUtc - kNow) / kDay + 30.0) * kWidth, 1e-9);
    ASSERT_EQ(chart.forecastDash.size(), 2u);
    // It starts where the line ends.
    EXPECT_DOUBLE_EQ(chart.forecastDash[0].x, chart.freeLine.back().x);
    EXPECT_DOUBLE_EQ(chart.forecastDash[0].y, chart.freeLine.back().y);
    EXPECT_LT(chart.freeLine.back().x, kWidth);
    EXPECT_DOUBLE_EQ(chart.forecastDash[1].x, kWidth);
    if (c.reachesLine) {
      EXPECT_DOUBLE_EQ(chart.forecastDash[1].y, *chart.thresholdY);
    } else {
      EXPECT_LT(chart.forecastDash[1].y, *chart.thresholdY) << "cut above the line";
      EXPECT_GT(chart.forecastDash[1].y, chart.forecastDash[0].y) << "still going down";
    }
  }
}

TEST(HistoryChartTest, NothingToDraw) {
  const HistoryChart none = BuildHistoryChart({}, 0, std::nullopt, kNow, 540, kWidth, kHeight);
  EXPECT_TRUE(none.freeLine.empty());
  EXPECT_FALSE(none.thresholdY);
  EXPECT_TRUE(none.forecastDash.empty());
  EXPECT_GT(none.topBytes, 0);
  // Samples older than the span, or after now (a clock set back), are not drawn.
  const std::vector<VolumeSample> stray = {{kNow - 40 * kDay, kGiB, kGiB}, {kNow + kDay, kGiB, kGiB}};
  EXPECT_TRUE(BuildHistoryChart(stray, kGiB / 2, std::nullopt, kNow, 0, kWidth, kHeight).freeLine.empty());
}

}  // namespace
}  // namespace qw
