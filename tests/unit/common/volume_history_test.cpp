// The history's thinning (hourly for a week, daily to 90 days, a vanished
// volume kept until its samples age out, a clock set back), its file text
// read back, and texts that are not a history file.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "common/volume_history.h"

namespace qw {
namespace {

constexpr int64_t kHour = 3600;
constexpr int64_t kDay = 86400;
constexpr int64_t kStart = 1760000000;  // a Thursday in October 2025, 08:53:20 UTC
constexpr int64_t kGiB = int64_t{1} << 30;

// Samples every hour (with a check `checkOffset` seconds after each one
// when not zero) for `days` days, the free space shrinking a little each time.
VolumeHistory Simulate(int days, int64_t checkOffset, int64_t* now) {
  VolumeHistory history;
  int64_t t = kStart;
  int64_t free = 900 * kGiB;
  for (int h = 0; h < days * 24; ++h, t += kHour) {
    EXPECT_TRUE(history.Add("C:", t, free, 1000 * kGiB));
    if (checkOffset) {
      EXPECT_TRUE(history.Add("C:", t + checkOffset, free - 1, 1000 * kGiB));
    }
    free -= 10 * 1024 * 1024;
  }
  *now = t - kHour + checkOffset;
  return history;
}

TEST(VolumeHistoryTest, ThinsHourlyForAWeekThenDaily) {
  struct Case {
    int days;
    int64_t checkOffset;
  };
  const Case cases[] = {{1, 0}, {6, 1200}, {8, 0}, {30, 0}, {30, 2400}, {89, 600}, {120, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE("days " + std::to_string(c.days) + " check offset " + std::to_string(c.checkOffset));
    int64_t now = 0;
    const VolumeHistory history = Simulate(c.days, c.checkOffset, &now);
    const std::vector<VolumeSample>& samples = history.Samples("C:");
    ASSERT_FALSE(samples.empty());
    std::set<int64_t> hours, days;
    for (size_t i = 0; i < samples.size(); ++i) {
      const int64_t age = now - samples[i].utcSeconds;
      ASSERT_GE(age, 0);
      ASSERT_LE(age, kHistoryKeepSeconds);
      if (i > 0) {
        ASSERT_LT(samples[i - 1].utcSeconds, samples[i].utcSeconds);
      }
      if (age <= kHistoryHourlySeconds) {
        EXPECT_TRUE(hours.insert(samples[i].utcSeconds / kHour).second) << "two samples in one hour";
      } else {
        EXPECT_TRUE(days.insert(samples[i].utcSeconds / kDay).second) << "two samples in one day";
      }
    }
    // Nothing measured in the last week is lost: every hour has its sample.
    const int64_t coveredHours = std::min<int64_t>(c.days * 24, kHistoryHourlySeconds / kHour);
    EXPECT_GE(static_cast<int64_t>(hours.size()), coveredHours);
    // ... and each older day that was measured keeps one.
    const int64_t firstKept = std::max(kStart, now - kHistoryKeepSeconds);
    const int64_t olderDays = (now - kHistoryHourlySeconds) / kDay - firstKept / kDay;
    if (olderDays > 0) {
      EXPECT_GE(static_cast<int64_t>(days.size()), olderDays);
    }
    // The newest sample is the last measurement.
    EXPECT_EQ(samples.back().utcSeconds, now);
    // The bound the README states.
    EXPECT_LE(samples.size(), 7u * 24 + 1 + 83 + 1);
    EXPECT_LE(history.Format().size(), 10u * 1024 + 40) << samples.size() << " samples";
  }
}

TEST(VolumeHistoryTest, AVanishedVolumeStaysUntilItsSamplesAreNinetyDaysOld) {
  VolumeHistory history;
  ASSERT_TRUE(history.Add("D:", kStart, 5 * kGiB, 10 * kGiB));
  ASSERT_TRUE(history.Add("D:", kStart + kHour, 5 * kGiB, 10 * kGiB));
  struct Case {
    int64_t later;
    bool kept;
  };
  const Case cases[] = {{kDay, true}, {30 * kDay, true}, {90 * kDay, true}, {90 * kDay + kHour + 1, false}};
  for (const Case& c : cases) {
    ASSERT_TRUE(history.Add("C:", kStart + c.later, kGiB, 2 * kGiB));
    history.Thin(kStart + c.later);
    EXPECT_EQ(!history.Samples("D:").empty(), c.kept) << c.later;
  }
  EXPECT_EQ(history.Volumes(), std::vector<std::string>{"C:"});
}

TEST(VolumeHistoryTest, AClockSetBackDropsTheSamplesAfterIt) {
  VolumeHistory history;
  for (int h = 0; h < 48; ++h) ASSERT_TRUE(history.Add("C:", kStart + h * kHour, 100 - h, 1000));
  // Set back by a day: the last day's samples cannot be placed in the series.
  ASSERT_TRUE(history.Add("C:", kStart + 24 * kHour + 60, 7, 1000));
  const std::vector<VolumeSample>& samples = history.Samples("C:");
  ASSERT_EQ(samples.size(), 25u);
  EXPECT_EQ(samples.back().utcSeconds, kStart + 24 * kHour + 60);
  EXPECT_EQ(samples.back().freeBytes, 7);
  for (size_t i = 1; i < samples.size(); ++i) EXPECT_LT(samples[i - 1].utcSeconds, samples[i].utcSeconds);
}

TEST(VolumeHistoryTest, RefusesWhatCannotBeKept) {
  VolumeHistory history;
  EXPECT_FALSE(history.Add("", kStart, 1, 2));
  EXPECT_FALSE(history.Add("C:\nvolume X:", kStart, 1, 2));
  EXPECT_FALSE(history.Add("C:", kStart, -1, 2));
  EXPECT_FALSE(history.Add("C:", -5, 1, 2));
  EXPECT_TRUE(history.Empty());
}

TEST(VolumeHistoryTest, FileTextReadsBack) {
  VolumeHistory history;
  for (int h = 0; h < 30; ++h) {
    ASSERT_TRUE(history.Add("C:", kStart + h * kHour, 900 * kGiB - h, 1000 * kGiB));
    ASSERT_TRUE(history.Add("/srv/data files", kStart + h * kHour + 5, h, 7));
  }
  const std::string text = history.Format();
  const Result<VolumeHistory> back = VolumeHistory::Parse(text);
  ASSERT_TRUE(back.Ok()) << back.status().Describe();
  EXPECT_EQ(back->Format(), text);
  EXPECT_EQ(back->Samples("/srv/data files").size(), 30u);
  // Windows line ends read the same.
  std::string crlf;
  for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  const Result<VolumeHistory> fromCrlf = VolumeHistory::Parse(crlf);
  ASSERT_TRUE(fromCrlf.Ok());
  EXPECT_EQ(fromCrlf->Format(), text);
  // An empty history is a valid file too.
  EXPECT_TRUE(VolumeHistory::Parse(VolumeHistory().Format()).Ok());
}

TEST(VolumeHistoryTest, TextsThatAreNoHistoryFile) {
  const std::string head = "quotawarden-history 1\n";
  struct Case {
    const char* why;
    std::string text;
  };
  const Case cases[] = {
      {"empty", ""},
      {"another file", "[CHECK]\nOUTCOME=information\n"},
      {"a later version", "quotawarden-history 2\nvolume C:\n1 2 3\n"},
      {"cut in a sample", head + "volume C:\n1760000000 12345"},
      {"cut in the first line", "quotawarden-hist"},
      {"sample before a volume", head + "1760000000 1 2\n"},
      {"two fields", head + "volume C:\n1760000000 1\n"},
      {"four fields", head + "volume C:\n1760000000 1 2 3\n"},
      {"a sign", head + "volume C:\n1760000000 -1 2\n"},
      {"letters", head + "volume C:\n17600000x0 1 2\n"},
      {"too many digits", head + "volume C:\n1760000000 1234567890123456789012 2\n"},
      {"out of order", head + "volume C:\n1760000100 1 2\n1760000000 1 2\n"},
      {"same time twice", head + "volume C:\n1760000000 1 2\n1760000000 1 2\n"},
      {"volume twice", head + "volume C:\n1 1 2\nvolume C:\n2 1 2\n"},
      {"volume without samples", head + "volume C:\nvolume D:\n1 1 2\n"},
      {"nameless volume", head + "volume \n1 1 2\n"},
      {"NUL in a name", head + std::string("volume C\0:\n1 1 2\n", 18)},
      {"binary", std::string("\x89PNG\r\n\x1a\n\0\0\0", 11)},
  };
  for (const Case& c : cases) {
    const Result<VolumeHistory> parsed = VolumeHistory::Parse(c.text);
    EXPECT_FALSE(parsed.Ok()) << c.why;
    if (!parsed.Ok()) {
      EXPECT_NE(parsed.status().Text().find("行目"), std::string::npos) << c.why;
    }
  }
}

}  // namespace
}  // namespace qw
