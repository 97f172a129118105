#include "applet/status_model.h"

#include <algorithm>
#include <cstdio>

namespace qw {
namespace {

double Fraction(int64_t part, int64_t whole) {
  if (whole <= 0) return 0;
  double f = static_cast<double>(part) / static_cast<double>(whole);
  return std::clamp(f, 0.0, 1.0);
}

int Percent(int64_t part, int64_t whole) {
  return static_cast<int>(Fraction(part, whole) * 100.0 + 0.5);
}

StatusDriveRow DriveRow(const DriveState& drive) {
  StatusDriveRow row;
  row.label = std::string(1, drive.letter) + ":";
  row.below = drive.below;
  std::string threshold = drive.thresholdText.empty() ? "なし" : drive.thresholdText;
  row.thresholdText = "しきい値 " + threshold;
  if (drive.thresholdBytes > 0) row.thresholdText += " (" + FormatBytes(drive.thresholdBytes) + ")";
  // A drive the check could not measure (gone, not ready) has no bar; a free
  // count over the capacity is a damaged row and is not drawn either.
  if (drive.freeBytes < 0 || drive.capacity <= 0 || drive.freeBytes > drive.capacity) {
    row.freeText = "測定できませんでした";
    return row;
  }
  row.measured = true;
  row.usedFraction = Fraction(drive.capacity - drive.freeBytes, drive.capacity);
  // Free space at the threshold means the used part has reached this mark;
  // a threshold over the capacity puts the mark at the left end.
  row.thresholdFraction =
      Fraction(drive.capacity - std::min(drive.thresholdBytes, drive.capacity), drive.capacity);
  row.freeText = FormatBytes(drive.freeBytes) + " 空き / " + FormatBytes(drive.capacity) + " (" +
                 std::to_string(Percent(drive.freeBytes, drive.capacity)) + "%)";
  if (drive.below) row.freeText += " しきい値未満";
  return row;
}

std::string OutcomeText(const std::string& outcome) {
  if (outcome == "information") return "結果: 正常 (空き領域は足りています)";
  if (outcome == "warning") return "結果: 警告 (空き領域が不足しています)";
  if (outcome.empty()) return "結果: 不明";
  return "結果: エラー " + outcome;
}

std::string MailText(const CheckState& state) {
  if (!state.mailAttempted) return "メール: 送信していません";
  std::string reply = state.mailReply.empty() ? "" : " (" + state.mailReply + ")";
  return state.mailDelivered ? "メール: 送信しました" + reply : "メール: 送信できませんでした" + reply;
}

const char kStartService[] =
    "サービス「Drivewarden」を開始すると、最初のチェックの後にここに表示されます"
    " (「サービス」管理ツールから開始するか、管理者のコマンド プロンプトで"
    " net start Drivewarden)。";

}  // namespace

std::string FormatBytes(int64_t bytes) {
  if (bytes < 0) return "-";
  static const char* const kUnits[] = {"KB", "MB", "GB", "TB", "PB"};
  if (bytes < 1024) return std::to_string(bytes) + " B";
  double value = static_cast<double>(bytes) / 1024.0;
  int unit = 0;
  while (value >= 1024.0 && unit < 4) {
    value /= 1024.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

StatusPageView BuildStatusPage(StateLoad load, const CheckState& state, const std::string& reason) {
  StatusPageView view;
  if (load == StateLoad::Missing) {
    view.notice = std::string("まだチェックの記録がありません。サービスが一度も動いていません。") +
                  kStartService;
    return view;
  }
  if (load == StateLoad::Damaged) {
    view.notice = "チェックの記録を読めません" + (reason.empty() ? "" : " (" + reason + ")") +
                  "。サービスが次のチェックで書き直します。" + kStartService;
    return view;
  }
  view.hasState = true;
  view.checkedText = "最終チェック: " + (state.checkedLocal.empty() ? "不明" : state.checkedLocal);
  if (!state.checkedUtc.empty()) view.checkedText += " (UTC " + state.checkedUtc + ")";
  view.outcomeText = OutcomeText(state.outcome);
  for (const DriveState& drive : state.drives) view.drives.push_back(DriveRow(drive));
  view.mailText = MailText(state);
  view.lastDeliveryText = "最後に届けた日時: " +
                          (state.lastDeliveryLocal.empty() ? std::string("まだありません")
                                                           : state.lastDeliveryLocal);
  if (state.pending) {
    view.pendingText = std::string("再送待ち: ") + (state.pendingRecovery ? "回復のお知らせ" : "警告メール") +
                       " (作成 " + (state.pendingComposedLocal.empty() ? "不明" : state.pendingComposedLocal) +
                       "、" + std::to_string(state.pendingAttempts) + " 回失敗)";
    // A mail that reached some recipients waits for the others alone.
    if (!state.pendingRecipients.empty()) view.pendingText += " 宛先: " + state.pendingRecipients;
  }
  if (!state.heartbeatUtc.empty() || !state.heartbeatSuccessUtc.empty()) {
    view.heartbeatText = "ハートビート: " + (state.heartbeatLocal.empty() ? std::string("不明") : state.heartbeatLocal) +
                         (state.heartbeatOk ? " 成功" : " 失敗") + (state.heartbeatFailUrl ? " (失敗の URL)" : "");
    if (!state.heartbeatDetail.empty()) view.heartbeatText += " " + state.heartbeatDetail;
    if (!state.heartbeatOk)
      view.heartbeatText += " / 最後の成功: " + (state.heartbeatSuccessLocal.empty() ? std::string("まだありません")
                                                                                    : state.heartbeatSuccessLocal);
  }
  return view;
}

const StatusPageView& StatusModel::Refresh() {
  CheckState state;
  std::string reason;
  StateLoad load = reader_ ? reader_(&state, &reason) : StateLoad::Missing;
  view_ = BuildStatusPage(load, state, reason);
  return view_;
}

}  // namespace qw
