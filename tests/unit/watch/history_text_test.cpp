// The history as the --history and /HISTORY commands print it: days cut at
// local midnight, the least and the last free space of each, the forecast
// line or the reason there is none; and the files it reads: none yet, a
// damaged history, a state without thresholds.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/check_state.h"
#include "common/fill_forecast.h"
#include "platform/files.h"
#include "service/history_text.h"
#include "tests/fakes/fake_platform.h"

#ifdef _WIN32
#include <process.h>
#define getpid _getpid
#else
#include <unistd.h>
#endif

namespace qw {
namespace {

namespace fs = std::filesystem;
constexpr int64_t kGiB = int64_t{1} << 30;
constexpr int64_t kHour = 3600;
constexpr int64_t kDay = 86400;
constexpr int64_t kStart = 1764547200;  // 2025-12-01 00:00 UTC, 09:00 in Tokyo

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = text.find('\n', at);
    lines.push_back(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return lines;
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(HistoryText, DaysEndAtLocalMidnightWithTheirLeastAndLastFreeSpace) {
  test::FakeSystemInfo system;  // UTC+9
  VolumeHistory history;
  // 2025-12-01 09:00 to 23:00 local (three samples), then 12-02 00:00 and
  // 08:00 local; the least of the first day is its middle sample.
  const struct {
    int64_t utc;
    int64_t free;
  } samples[] = {{kStart, 50}, {kStart + 5 * kHour, 20}, {kStart + 14 * kHour, 30},
                 {kStart + 15 * kHour, 40}, {kStart + 23 * kHour, 10}};
  for (const auto& s : samples) ASSERT_TRUE(history.Add("D:", s.utc, s.free * kGiB, 100 * kGiB));
  ASSERT_TRUE(history.Add("/srv/data", kStart, 7, 9));
  const std::string text = FormatHistoryText(history, {}, kStart + 23 * kHour, system);
  const std::vector<std::string> lines = Lines(text);
  // The volumes in name order, each a heading, its days, its forecast line.
  ASSERT_GE(lines.size(), 8u) << text;
  EXPECT_EQ(lines[0], "[/srv/data]");
  EXPECT_EQ(lines[1], "2025/12/01  空き 最小 7 バイト  最後 7 バイト  容量 9 バイト  (1 件)");
  EXPECT_TRUE(Has(lines[2], "/srv/data : 予測なし")) << lines[2];
  EXPECT_EQ(lines[4], "[D ドライブ]");
  EXPECT_EQ(lines[5], "2025/12/01  空き 最小 21,474,836,480 バイト  最後 32,212,254,720 バイト  容量 "
                      "107,374,182,400 バイト  (3 件)");
  EXPECT_EQ(lines[6], "2025/12/02  空き 最小 10,737,418,240 バイト  最後 10,737,418,240 バイト  容量 "
                      "107,374,182,400 バイト  (2 件)");
  EXPECT_TRUE(Has(lines[7], "D ドライブ : 予測なし")) << lines[7];
}

TEST(HistoryText, TheForecastLineOrWhyThereIsNone) {
  test::FakeSystemInfo system;
  struct Case {
    const char* name;
    int64_t perDay;  // change of the free space per day, in GiB
    int hours;       // of hourly history
    bool threshold;  // the last check had one (33 GiB)
    const char* expected;
  };
  const Case cases[] = {
      {"steady fill", -6, 72, true, "ごろ (あと 9 日、1 日あたり 6,442,450,944 バイト減少)"},
      {"no threshold", -6, 72, false, "予測なし (前回のチェックにしきい値がありません)"},
      {"too little history", -6, 20, true, "予測なし (直近 7 日の記録が足りません"},
      {"rising", 3, 72, true, "予測なし (空き領域は減っていません。1 日あたり 3,221,225,472 バイト増加)"},
      {"flat", 0, 72, true, "予測なし (空き領域は減っていません。1 日あたり 0 バイト増加)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    VolumeHistory history;
    const int64_t last = 90 * kGiB;  // 57 GiB above the threshold: 9.5 days at 6 GiB
    for (int h = 0; h <= c.hours; ++h)
      ASSERT_TRUE(history.Add("E:", kStart + h * kHour, last - c.perDay * kGiB * (c.hours - h) / 24, 200 * kGiB));
    const int64_t now = kStart + int64_t{c.hours} * kHour;
    std::map<std::string, int64_t> thresholds;
    if (c.threshold) thresholds["E:"] = 33 * kGiB;
    const std::vector<std::string> lines = Lines(FormatHistoryText(history, thresholds, now, system));
    ASSERT_GE(lines.size(), 2u);
    const std::string& forecast = lines[lines.size() - 2];  // before the blank line
    EXPECT_EQ(forecast.rfind("E ドライブ : ", 0), 0u) << forecast;
    EXPECT_TRUE(Has(forecast, c.expected)) << forecast;
    EXPECT_EQ(Has(lines[0], "しきい値 35,433,480,192 バイト"), c.threshold) << lines[0];
    if (c.perDay < 0 && c.threshold && c.hours == 72) {
      const LocalDateTime reach = LocalTimeOfUtcSeconds(now + 9 * kDay + 12 * kHour, system.utcOffsetMinutes);
      EXPECT_TRUE(Has(forecast, system.FormatShortDate(reach) + " ごろ")) << forecast;
    }
  }
}

class HistoryFiles : public ::testing::Test {
 protected:
  HistoryFiles() {
    dir = (fs::temp_directory_path() / ("qw_history_text_" + std::to_string(getpid()))).string();
    fs::remove_all(dir);
    fs::create_directories(dir);
    system.now = LocalTimeOfUtcSeconds(kStart + 3 * kDay, system.utcOffsetMinutes);
  }
  ~HistoryFiles() override {
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }
  void Write(const std::string& name, const std::string& bytes) {
    std::ofstream out(JoinPath(dir, name), std::ios::binary | std::ios::trunc);
    out << bytes;
  }
  std::string Filling() const {
    VolumeHistory history;
    for (int h = 0; h <= 72; ++h) history.Add("C:", kStart + h * kHour, 90 * kGiB - 6 * kGiB * h / 24, 200 * kGiB);
    return history.Format();
  }

  test::FakeSystemInfo system;
  std::string dir;
};

TEST_F(HistoryFiles, WhatIsReadDecidesTheTextAndTheExitCode) {
  CheckState withThreshold;
  DriveState c;
  c.letter = 'C';
  c.thresholdText = "33GB";
  c.thresholdBytes = 33 * kGiB;
  withThreshold.drives = {c};
  struct Case {
    const char* name;
    std::string history;  // empty: no file
    std::string state;    // empty: no file
    int exitCode;
    std::vector<std::string> expected;
  };
  const std::string path = JoinPath(dir, kHistoryFileName);
  const Case cases[] = {
      {"no history yet", "", "", 0, {"空き領域の履歴はまだありません (" + path + ")"}},
      {"damaged", "quotawarden-history 1\nvolume C:\n1764547200 12x 5\n", "", 1,
       {"履歴ファイルが壊れています: " + path + ": "}},
      {"another file", "[CHECK]\r\nOUTCOME=information\r\n", "", 1, {"履歴ファイルが壊れています: "}},
      {"with the last check's threshold", Filling(), FormatCheckState(withThreshold), 0,
       {"[C ドライブ] しきい値 35,433,480,192 バイト", "C ドライブ : ", "(あと 6 日、1 日あたり 6,442,450,944 バイト減少)"}},
      {"without a state", Filling(), "", 0,
       {"がないため、しきい値までの予測はありません", "[C ドライブ]\n", "予測なし (前回のチェックにしきい値"}},
      {"with a damaged state", Filling(), "[DRIVE.C]\r\nFREE=x\r\n", 0,
       {"を読めないため、しきい値までの予測はありません: 内容が壊れています", "[C ドライブ]\n"}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    fs::remove(JoinPath(dir, kHistoryFileName));
    fs::remove(JoinPath(dir, kStateFileName));
    if (!k.history.empty()) Write(kHistoryFileName, k.history);
    if (!k.state.empty()) Write(kStateFileName, k.state);
    const HistoryPrint print = PrintHistory(dir, system);
    EXPECT_EQ(print.exitCode, k.exitCode) << print.text;
    for (const std::string& part : k.expected) EXPECT_TRUE(Has(print.text, part)) << part << "\n" << print.text;
  }
}

}  // namespace
}  // namespace qw
