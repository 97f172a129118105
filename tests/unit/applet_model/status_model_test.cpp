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
  EXPECT_EQ(view.checkedText, "最終チェック: 2026-12-09 21:04:05 (UTC 2026-12-09T12:04:05Z)");
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
