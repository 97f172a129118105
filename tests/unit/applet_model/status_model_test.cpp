#include "applet/status_model.h"

#include <gtest/gtest.h>

namespace qw {
namespace {

constexpr int64_t kGB = int64_t{1} << 30;

DriveState Drive(char letter, int64_t free, int64_t capacity, int64_t threshold, bool below) {
  DriveState drive;
  drive.letter = letter;
  drive.freeBytes = free;
  drive.capacity = capacity;
  drive.thresholdText = "20GB";
  drive.thresholdBytes = threshold;
  drive.below = below;
  return drive;
}

CheckState TwoDrives() {
  CheckState state;
  state.checkedLocal = "2026-12-09 21:04:05";
  state.checkedUtc = "2026-12-09T12:04:05Z";
  state.outcome = "warning";
  state.drives = {Drive('C', 75 * kGB, 100 * kGB, 20 * kGB, false),
                  Drive('D', 5 * kGB, 200 * kGB, 20 * kGB, true)};
  state.mailAttempted = true;
  state.mailDelivered = true;
  state.mailReply = "250 2.0.0 Ok: queued as 1A2B";
  state.lastDeliveryLocal = "2026-12-09 21:04:06";
  return state;
}

TEST(StatusModelTest, DriveRowsCarryBarFractionsAndTexts) {
  StatusPageView view = BuildStatusPage(StateLoad::Loaded, TwoDrives(), "");
  ASSERT_TRUE(view.hasState);
  EXPECT_TRUE(view.notice.empty());
  ASSERT_EQ(view.drives.size(), 2u);

  const StatusDriveRow& c = view.drives[0];
  EXPECT_EQ(c.label, "C:");
  EXPECT_TRUE(c.measured);
  EXPECT_FALSE(c.below);
  EXPECT_DOUBLE_EQ(c.usedFraction, 0.25);
  EXPECT_DOUBLE_EQ(c.thresholdFraction, 0.80);  // used 80 GB leaves 20 GB free
  EXPECT_EQ(c.freeText, "75.0 GB 空き / 100.0 GB (75%)");
  EXPECT_EQ(c.thresholdText, "しきい値 20GB (20.0 GB)");

  const StatusDriveRow& d = view.drives[1];
  EXPECT_TRUE(d.below);
  EXPECT_DOUBLE_EQ(d.usedFraction, 195.0 / 200.0);
  EXPECT_DOUBLE_EQ(d.thresholdFraction, 0.90);
  EXPECT_GT(d.usedFraction, d.thresholdFraction);
  EXPECT_NE(d.freeText.find("(3%)"), std::string::npos) << d.freeText;
  EXPECT_NE(d.freeText.find("しきい値未満"), std::string::npos) << d.freeText;
}

TEST(StatusModelTest, UnmeasuredAndInconsistentDrivesHaveNoBar) {
  CheckState state = TwoDrives();
  state.drives = {Drive('E', -1, -1, 0, false), Drive('F', 10, 0, 0, false),
                  Drive('G', 300, 200, 0, false),
                  // A threshold over the capacity puts the mark at the left end.
                  Drive('H', 50, 100, 500, true)};
  StatusPageView view = BuildStatusPage(StateLoad::Loaded, state, "");
  ASSERT_EQ(view.drives.size(), 4u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(view.drives[i].measured) << view.drives[i].label;
    EXPECT_EQ(view.drives[i].freeText, "測定できませんでした");
  }
  EXPECT_TRUE(view.drives[3].measured);
  EXPECT_DOUBLE_EQ(view.drives[3].thresholdFraction, 0.0);
  EXPECT_DOUBLE_EQ(view.drives[3].usedFraction, 0.5);
}

TEST(StatusModelTest, OutcomeAndMailTexts) {
  CheckState state = TwoDrives();
  StatusPageView view = BuildStatusPage(StateLoad::Loaded, state, "");
  // The UTC stamp on a line of its own: the local one is never cut.
  EXPECT_EQ(view.checkedText, "最終チェック: 2026-12-09 21:04:05\r\n(UTC 2026-12-09T12:04:05Z)");
  EXPECT_NE(view.outcomeText.find("警告"), std::string::npos);
  EXPECT_EQ(view.mailText, "メール: 送信しました (250 2.0.0 Ok: queued as 1A2B)");
  EXPECT_EQ(view.lastDeliveryText, "最後に届けた日時: 2026-12-09 21:04:06");

  state.outcome = "information";
  state.mailAttempted = false;
  state.lastDeliveryLocal.clear();
  view = BuildStatusPage(StateLoad::Loaded, state, "");
  EXPECT_NE(view.outcomeText.find("正常"), std::string::npos);
  EXPECT_EQ(view.mailText, "メール: 送信していません");
  EXPECT_EQ(view.lastDeliveryText, "最後に届けた日時: まだありません");

  state.outcome = "ドライブ Z: を調べられません";
  state.mailAttempted = true;
  state.mailDelivered = false;
  state.mailReply = "550 5.1.1 <a@b>: Recipient address rejected";
  view = BuildStatusPage(StateLoad::Loaded, state, "");
  EXPECT_EQ(view.outcomeText, "結果: エラー ドライブ Z: を調べられません");
  EXPECT_EQ(view.mailText,
            "メール: 送信できませんでした (550 5.1.1 <a@b>: Recipient address rejected)");
  EXPECT_EQ(view.pendingText, "") << "no mail waits";

  state.pending = true;
  state.pendingComposedLocal = "2026-12-09 21:04:05";
  state.pendingAttempts = 3;
  EXPECT_EQ(BuildStatusPage(StateLoad::Loaded, state, "").pendingText,
            "再送待ち: 警告メール (作成 2026-12-09 21:04:05、3 回失敗)");
  state.pendingRecovery = true;
  EXPECT_EQ(BuildStatusPage(StateLoad::Loaded, state, "").pendingText,
            "再送待ち: 回復のお知らせ (作成 2026-12-09 21:04:05、3 回失敗)");
  state.pendingRecipients = "b@example.jp,c@example.jp";
  EXPECT_EQ(BuildStatusPage(StateLoad::Loaded, state, "").pendingText,
            "再送待ち: 回復のお知らせ (作成 2026-12-09 21:04:05、3 回失敗) 宛先: b@example.jp,c@example.jp");
}

TEST(StatusModelTest, TheHeartbeatLineTellsTheLastPingAndTheLastSuccessWhenItFailed) {
  struct Case {
    const char* local;
    bool ok;
    bool failUrl;
    const char* detail;
    const char* successLocal;
    const char* text;
  };
  const Case cases[] = {
      {"", false, false, "", "", ""},  // never sent: no line
      {"2026-12-09 21:04:06", true, false, "HTTP 200", "2026-12-09 21:04:06", "ハートビート: 2026-12-09 21:04:06 成功 HTTP 200"},
      {"2026-12-09 21:04:06", true, true, "HTTP 200", "2026-12-09 21:04:06",
       "ハートビート: 2026-12-09 21:04:06 成功 (失敗の URL) HTTP 200"},
      {"2026-12-09 21:04:06", false, false, "HTTP 503", "2026-12-08 09:00:00",
       "ハートビート: 2026-12-09 21:04:06 失敗 HTTP 503 / 最後の成功: 2026-12-08 09:00:00"},
      {"2026-12-09 21:04:06", false, false, "HTTP: 接続できません", "",
       "ハートビート: 2026-12-09 21:04:06 失敗 HTTP: 接続できません / 最後の成功: まだありません"},
  };
  for (const Case& c : cases) {
    CheckState state = TwoDrives();
    state.heartbeatLocal = c.local;
    state.heartbeatUtc = *c.local ? "2026-12-09T12:04:06Z" : "";
    state.heartbeatOk = c.ok;
    state.heartbeatFailUrl = c.failUrl;
    state.heartbeatDetail = c.detail;
    state.heartbeatSuccessLocal = c.successLocal;
    state.heartbeatSuccessUtc = *c.successLocal ? "2026-12-08T00:00:00Z" : "";
    EXPECT_EQ(BuildStatusPage(StateLoad::Loaded, state, "").heartbeatText, c.text) << c.detail;
  }
}

TEST(StatusModelTest, NoStateOrDamagedStateIsANoticeNotAnError) {
  CheckState stale = TwoDrives();  // ignored unless Loaded
  StatusPageView missing = BuildStatusPage(StateLoad::Missing, stale, "");
  EXPECT_FALSE(missing.hasState);
  EXPECT_TRUE(missing.drives.empty());
  EXPECT_NE(missing.notice.find("net start Drivewarden"), std::string::npos);

  StatusPageView damaged = BuildStatusPage(StateLoad::Damaged, stale, "status.ini: 形式が違います");
  EXPECT_FALSE(damaged.hasState);
  EXPECT_TRUE(damaged.drives.empty());
  EXPECT_NE(damaged.notice.find("status.ini: 形式が違います"), std::string::npos);
  EXPECT_NE(damaged.notice.find("net start Drivewarden"), std::string::npos);
}

TEST(StatusModelTest, RefreshReadsAgainEachTime) {
  int reads = 0;
  CheckState next = TwoDrives();
  StatusModel model([&](CheckState* state, std::string*) {
    ++reads;
    if (reads == 1) return StateLoad::Missing;
    *state = next;
    return StateLoad::Loaded;
  });
  EXPECT_FALSE(model.Refresh().hasState);
  EXPECT_TRUE(model.Refresh().hasState);
  EXPECT_EQ(model.View().drives.size(), 2u);
  next.drives.pop_back();
  EXPECT_EQ(model.Refresh().drives.size(), 1u);
  EXPECT_EQ(reads, 3);
}

TEST(StatusModelTest, VolumesFollowTheLettersByTheirMountPaths) {
  CheckState state = TwoDrives();
  VolumeState data;
  data.path = "C:\\SQLData\\Log";
  data.label = "SQLLOG";
  data.freeBytes = 2 * kGB;
  data.capacity = 50 * kGB;
  data.thresholdText = "10%";
  data.thresholdBytes = 5 * kGB;
  data.below = true;
  VolumeState silent;
  silent.path = "\\\\?\\Volume{0b7e1a2c-0000-0000-0000-100000000000}\\";
  state.volumes = {data, silent};
  const StatusPageView view = BuildStatusPage(StateLoad::Loaded, state, "");
  ASSERT_EQ(view.drives.size(), 4u);
  EXPECT_EQ(view.drives[0].label, "C:");
  EXPECT_EQ(view.drives[1].label, "D:");
  const StatusDriveRow& log = view.drives[2];
  EXPECT_EQ(log.label, "C:\\SQLData\\Log (SQLLOG)");
  EXPECT_EQ(log.historyName, "C:\\SQLData\\Log");
  EXPECT_EQ(log.freeText, "2.0 GB 空き / 50.0 GB (4%) しきい値未満");
  EXPECT_EQ(log.thresholdText, "しきい値 10% (5.0 GB)");
  EXPECT_TRUE(log.measured);
  EXPECT_TRUE(log.below);
  EXPECT_DOUBLE_EQ(log.usedFraction, 48.0 / 50.0);
  EXPECT_DOUBLE_EQ(log.thresholdFraction, 45.0 / 50.0);
  // No label, not measured (no answer): the name alone, no bar.
  EXPECT_EQ(view.drives[3].label, silent.path);
  EXPECT_FALSE(view.drives[3].measured);
  EXPECT_EQ(view.drives[3].freeText, "測定できませんでした");
  EXPECT_EQ(view.drives[3].thresholdText, "しきい値 なし");
}

TEST(StatusModelTest, EachWebhookTargetHasItsLastDeliveryAndPendingAlert) {
  struct Case {
    const char* name;
    bool attempted, delivered, pending, recovery;
    const char* reply;
    const char* lastDelivery;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"never tried", false, false, false, false, "", "", {"WEBHOOK1: 送っていません", "　最後に届けた日時: まだありません"}},
      {"delivered", true, true, false, false, "HTTP 200", "2026-12-09 21:04:06",
       {"WEBHOOK1: 届けました (HTTP 200)", "　最後に届けた日時: 2026-12-09 21:04:06"}},
      {"refused, alert waits", true, false, true, false, "HTTP 500 busy", "2026-12-01 08:00:00",
       {"WEBHOOK1: 届けられませんでした (HTTP 500 busy)", "　最後に届けた日時: 2026-12-01 08:00:00",
        "　再送待ち: 警告 (作成 2026-12-09 21:04:05、3 回失敗)"}},
      {"recovery waits", true, false, true, true, "CONNECT: refused", "",
       {"WEBHOOK1: 届けられませんでした (CONNECT: refused)", "　最後に届けた日時: まだありません",
        "　再送待ち: 回復のお知らせ (作成 2026-12-09 21:04:05、3 回失敗)"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CheckState state = TwoDrives();
    ChannelState channel;
    channel.name = "WEBHOOK1";
    channel.attempted = c.attempted;
    channel.delivered = c.delivered;
    channel.reply = c.reply;
    channel.lastDeliveryLocal = c.lastDelivery;
    channel.pending = c.pending;
    channel.pendingRecovery = c.recovery;
    channel.pendingComposedLocal = "2026-12-09 21:04:05";
    channel.pendingAttempts = 3;
    state.channels = {channel};
    EXPECT_EQ(BuildStatusPage(StateLoad::Loaded, state, "").channelLines, c.lines);
  }
  // Two targets: in settings order, one failing does not hide the other.
  CheckState state = TwoDrives();
  ChannelState one, two;
  one.name = "WEBHOOK1";
  one.attempted = one.delivered = true;
  two.name = "WEBHOOK2";
  two.attempted = true;
  two.pending = true;
  state.channels = {one, two};
  const std::vector<std::string> lines = BuildStatusPage(StateLoad::Loaded, state, "").channelLines;
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], "WEBHOOK1: 届けました");
  EXPECT_EQ(lines[2], "WEBHOOK2: 届けられませんでした");
  EXPECT_EQ(lines[4].rfind("　再送待ち: 警告", 0), 0u);
  EXPECT_TRUE(BuildStatusPage(StateLoad::Loaded, TwoDrives(), "").channelLines.empty());
}

// A state checked at 05:00 on 12-10 in Tokyo (20:00 UTC the day before).
CheckState TokyoMorning() {
  CheckState state = TwoDrives();
  state.checkedLocal = "2026-12-10 05:00:00";
  state.checkedUtc = "2026-12-09T20:00:00Z";
  VolumeState mount;
  mount.path = "/srv/data";
  mount.freeBytes = 60 * kGB;
  mount.capacity = 100 * kGB;
  mount.thresholdText = "20GB";
  mount.thresholdBytes = 20 * kGB;
  state.volumes = {mount};
  return state;
}

TEST(StatusModelTest, TheChartsTakeEachVolumesHistoryAndForecast) {
  CheckState state = TokyoMorning();
  int64_t now = 0;
  ASSERT_TRUE(UtcStampSeconds(state.checkedUtc, &now));
  state.drives[0].freeBytes = 60 * kGB;  // C: at the level of its history
  VolumeHistory history;
  // 40 days, one sample a day. C: and the mount fill by 2 GB a day to 60 GB
  // now (20 days to the 20 GB threshold); D: (below) fills too; a sample
  // after the check (a later run) is not the check's.
  for (int ago = 40; ago >= 0; --ago) {
    const int64_t t = now - ago * int64_t{86400};
    ASSERT_TRUE(history.Add("C:", t, (60 + 2 * ago) * kGB, 100 * kGB));
    ASSERT_TRUE(history.Add("D:", t, (5 + ago) * kGB, 200 * kGB));
    ASSERT_TRUE(history.Add("/srv/data", t, (60 + 2 * ago) * kGB, 100 * kGB));
  }
  ASSERT_TRUE(history.Add("C:", now + 3600, 59 * kGB, 100 * kGB));
  ASSERT_TRUE(history.Add("E:", now, 1 * kGB, 100 * kGB));  // a drive the check no longer has
  const StatusPageView view = BuildStatusPage(StateLoad::Loaded, state, "", &history, StateLoad::Loaded);
  EXPECT_EQ(view.checkedUtcSeconds, now);
  EXPECT_EQ(view.offsetMinutes, 540);
  EXPECT_TRUE(view.historyNotice.empty());
  ASSERT_EQ(view.drives.size(), 3u);
  for (const StatusDriveRow& row : view.drives) {
    SCOPED_TRACE(row.label);
    // The last 30 days up to the check, both ends in.
    ASSERT_EQ(row.history.size(), 31u);
    EXPECT_EQ(row.history.front().utcSeconds, now - 30 * 86400);
    EXPECT_EQ(row.history.back().utcSeconds, now);
  }
  for (const StatusDriveRow* row : {&view.drives[0], &view.drives[2]}) {
    SCOPED_TRACE(row->label);
    ASSERT_TRUE(row->forecast);
    EXPECT_NEAR(static_cast<double>(row->forecast->secondsLeft), 20.0 * 86400, 60);
    EXPECT_NEAR(row->forecast->bytesPerDay, -2.0 * kGB, 1e-3 * kGB);
    // 20 days after 05:00 on 12-10 in Tokyo: the local date, not UTC's 12/29.
    EXPECT_EQ(row->forecastText, "予測: 12/30 ごろしきい値に到達 (あと 20 日、-2.0 GB/日)");
  }
  // Below its threshold: reported as short, no forecast.
  EXPECT_FALSE(view.drives[1].forecast);
  EXPECT_TRUE(view.drives[1].forecastText.empty());
}

TEST(StatusModelTest, NoForecastWithoutAShrinkingTrendOrAThreshold) {
  struct Case {
    const char* name;
    int64_t perDay;     // change of the free space a day, in GB
    int days;           // of history
    int64_t threshold;  // bytes
  };
  const Case cases[] = {
      {"rising", 2, 20, 20 * kGB},
      {"flat", 0, 20, 20 * kGB},
      {"too little history", -2, 0, 20 * kGB},
      {"no threshold", -2, 20, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CheckState state = TokyoMorning();
    state.volumes[0].thresholdBytes = c.threshold;
    int64_t now = 0;
    ASSERT_TRUE(UtcStampSeconds(state.checkedUtc, &now));
    VolumeHistory history;
    for (int ago = c.days; ago >= 0; --ago)
      ASSERT_TRUE(history.Add("/srv/data", now - ago * int64_t{86400}, (60 - c.perDay * ago) * kGB, 100 * kGB));
    const StatusPageView view = BuildStatusPage(StateLoad::Loaded, state, "", &history, StateLoad::Loaded);
    const StatusDriveRow& row = view.drives.back();
    EXPECT_EQ(row.history.size(), static_cast<size_t>(c.days + 1));
    EXPECT_FALSE(row.forecast);
    EXPECT_TRUE(row.forecastText.empty());
  }
}

TEST(StatusModelTest, TheHistoryIsReadWithTheStateAndADamagedOneIsSaid) {
  int historyReads = 0;
  StateLoad stateLoad = StateLoad::Missing;
  StateLoad historyLoad = StateLoad::Loaded;
  StatusModel model(
      [&](CheckState* state, std::string*) {
        *state = TokyoMorning();
        return stateLoad;
      },
      [&](VolumeHistory* history, std::string* reason) {
        ++historyReads;
        int64_t now = 0;
        UtcStampSeconds(TokyoMorning().checkedUtc, &now);
        history->Add("C:", now - 3600, 61 * kGB, 100 * kGB);
        history->Add("C:", now, 60 * kGB, 100 * kGB);
        if (historyLoad == StateLoad::Damaged) *reason = "history.txt: 3 行目";
        return historyLoad;
      });
  EXPECT_FALSE(model.Refresh().hasState);
  EXPECT_EQ(historyReads, 0) << "no state: no history either";
  stateLoad = StateLoad::Loaded;
  EXPECT_EQ(model.Refresh().drives[0].history.size(), 2u);
  EXPECT_TRUE(model.View().historyNotice.empty());
  historyLoad = StateLoad::Damaged;
  const StatusPageView& damaged = model.Refresh();
  EXPECT_EQ(historyReads, 2);
  EXPECT_TRUE(damaged.drives[0].history.empty());
  EXPECT_NE(damaged.historyNotice.find("履歴ファイルを読めません (history.txt: 3 行目)"), std::string::npos);
  historyLoad = StateLoad::Missing;
  EXPECT_TRUE(model.Refresh().historyNotice.empty());
  EXPECT_TRUE(model.View().drives[0].history.empty());
}

TEST(StatusModelTest, FormatBytesUnits) {
  EXPECT_EQ(FormatBytes(0), "0 B");
  EXPECT_EQ(FormatBytes(1023), "1023 B");
  EXPECT_EQ(FormatBytes(1536), "1.5 KB");
  EXPECT_EQ(FormatBytes(980 * (int64_t{1} << 20)), "980.0 MB");
  EXPECT_EQ(FormatBytes(int64_t{3} << 40), "3.0 TB");
  EXPECT_EQ(FormatBytes(-1), "-");
}

}  // namespace
}  // namespace qw
