// The forecast on series with known answers: a steady fill gives its rate
// and its day; a one-off deletion, a one-day spike and noise do not move the
// rate far; too little history, a flat or a rising series give none.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>
#include <string>

#include "common/check_state.h"
#include "common/fill_forecast.h"

namespace qw {
namespace {

constexpr int64_t kHour = 3600;
constexpr int64_t kDay = 86400;
constexpr int64_t kNow = 1760000000;
constexpr int64_t kGiB = int64_t{1} << 30;

// Hourly samples over `hours` up to kNow: free(t) with t in hours before now.
std::vector<VolumeSample> Series(int hours, const std::function<double(int hoursAgo)>& free) {
  std::vector<VolumeSample> samples;
  for (int ago = hours - 1; ago >= 0; --ago)
    samples.push_back({kNow - ago * kHour, static_cast<int64_t>(free(ago)), 1000 * kGiB});
  return samples;
}

TEST(FillForecastTest, SeriesWithKnownAnswers) {
  std::mt19937 random(7);
  std::normal_distribution<double> noise(0, 0.5 * static_cast<double>(kGiB));
  std::vector<double> jitter(24 * 7);
  for (double& j : jitter) j = noise(random);
  // 2 GiB per day used, 100 GiB free now, threshold 50 GiB: 25 days left.
  const auto steady = [](int ago) { return 100.0 * kGiB + 2.0 * kGiB * ago / 24; };
  struct Case {
    const char* name;
    std::vector<VolumeSample> samples;
    double perDay;       // expected rate (GiB per day, negative: filling)
    double daysLeft;     // expected days to the threshold
    double tolerance;    // of the days left
  };
  const Case cases[] = {
      {"steady fill", Series(24 * 7, steady), -2, 25, 0.01},
      // 40 GiB deleted three days ago: the rate stays; the level is today's.
      {"one large deletion",
       Series(24 * 7, [&](int ago) { return steady(ago) - (ago > 72 ? 40.0 * kGiB : 0); }), -2, 25, 0.2},
      // 60 GiB copied in (and kept) five days ago.
      {"one large copy",
       Series(24 * 7, [&](int ago) { return steady(ago) + (ago > 120 ? 60.0 * kGiB : 0); }), -2, 25, 0.2},
      // A day's worth of temporary files two days ago, gone again.
      {"one-day spike",
       Series(24 * 7, [&](int ago) { return steady(ago) - (ago >= 48 && ago < 72 ? 30.0 * kGiB : 0); }), -2, 25,
       0.5},
      {"noise around a steady fill", Series(24 * 7, [&](int ago) { return steady(ago) + jitter[ago]; }), -2, 25,
       1.0},
      // Samples older than the window do not count: a fast fill before it.
      {"only the last week",
       Series(24 * 20, [&](int ago) { return ago < 24 * 7 ? steady(ago) : steady(ago) + 20.0 * kGiB * (ago - 24 * 7) / 24; }),
       -2, 25, 0.01},
      // A few samples a day (a daily check) suffice.
      {"six daily samples", Series(6, [&](int ago) { return steady(ago * 24); }), -2, 25, 0.01},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<VolumeSample> samples = c.samples;
    if (std::string(c.name) == "six daily samples")
      for (size_t i = 0; i < samples.size(); ++i) samples[i].utcSeconds = kNow - (5 - static_cast<int64_t>(i)) * kDay;
    const std::optional<FillForecast> forecast = ForecastFill(samples, 50 * kGiB, kNow);
    ASSERT_TRUE(forecast.has_value());
    EXPECT_NEAR(forecast->bytesPerDay / kGiB, c.perDay, 0.1);
    EXPECT_NEAR(static_cast<double>(forecast->secondsLeft) / kDay, c.daysLeft, c.tolerance);
    EXPECT_EQ(forecast->reachUtc, kNow + forecast->secondsLeft);
  }
}

TEST(FillForecastTest, NoForecast) {
  const auto filling = [](int ago) { return 100.0 * kGiB + 1.0 * kGiB * ago; };
  std::vector<VolumeSample> clockJumped = Series(24 * 3, filling);
  for (VolumeSample& s : clockJumped) s.utcSeconds += 30 * kDay;  // all after "now"
  struct Case {
    const char* name;
    std::vector<VolumeSample> samples;
  };
  const Case cases[] = {
      {"no samples", {}},
      {"five samples over days", {Series(5 * 24, filling)[0], Series(5 * 24, filling)[24],
                                  Series(5 * 24, filling)[48], Series(5 * 24, filling)[72],
                                  Series(5 * 24, filling)[119]}},
      {"less than a day", Series(24, filling)},
      {"flat", Series(24 * 7, [](int) { return 100.0 * kGiB; })},
      {"rising", Series(24 * 7, [](int ago) { return 100.0 * kGiB - 1.0 * kGiB * ago; })},
      {"flat with one deletion", Series(24 * 7, [](int ago) { return ago > 50 ? 80.0 * kGiB : 100.0 * kGiB; })},
      {"samples only after now (the clock jumped back)", clockJumped},
      {"only samples older than the window",
       Series(24 * 20, [](int ago) { return ago < 24 * 8 ? 100.0 * kGiB : 100.0 * kGiB + kGiB * ago; })},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(ForecastFill(c.samples, 50 * kGiB, kNow).has_value()) << c.name;
  }
}

TEST(FillForecastTest, AlreadyAtTheThresholdIsNoTimeLeft) {
  const std::vector<VolumeSample> samples = Series(48, [](int ago) { return 40.0 * kGiB + kGiB * ago; });
  const std::optional<FillForecast> forecast = ForecastFill(samples, 50 * kGiB, kNow);
  ASSERT_TRUE(forecast.has_value());
  EXPECT_EQ(forecast->secondsLeft, 0);
}

}  // namespace
}  // namespace qw

namespace qw {
namespace {

TEST(FillForecastTest, LocalTimeOfUtcSecondsAgreesWithTheStateStamps) {
  struct Case {
    int64_t utc;
    int offset;
  };
  const Case cases[] = {{0, 0},           {0, -300},         {951782400, 540},  {951868799, 0},
                        {1709164800, 540}, {4102444799, -720}, {1760000000, 345}, {253402300799, 0}};
  for (const Case& c : cases) {
    const LocalDateTime t = LocalTimeOfUtcSeconds(c.utc, c.offset);
    // Back through the state's own stamp reader: the same instant.
    int64_t back = 0;
    ASSERT_TRUE(UtcStampSeconds(UtcStamp(t, c.offset), &back)) << c.utc;
    EXPECT_EQ(back, c.utc) << c.utc << " " << c.offset;
    EXPECT_GE(t.dayOfWeek, 0);
    EXPECT_LE(t.dayOfWeek, 6);
  }
  // Weekdays: 1970-01-01 Thursday, 2000-02-29 Tuesday, 2026-12-10 Thursday (UTC+9).
  EXPECT_EQ(LocalTimeOfUtcSeconds(0, 0).dayOfWeek, 4);
  EXPECT_EQ(LocalTimeOfUtcSeconds(951782400, 0).dayOfWeek, 2);
  const LocalDateTime leap = LocalTimeOfUtcSeconds(951782400, 0);
  EXPECT_EQ(leap.year * 10000 + leap.month * 100 + leap.day, 20000229);
  EXPECT_EQ(LocalTimeOfUtcSeconds(1796860800, 540).dayOfWeek, 4);
}

}  // namespace
}  // namespace qw
