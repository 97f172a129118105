#include "applet/status_model.h"

#include <algorithm>
#include <cmath>
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

// The row of a letter or a volume: its texts and its bar.
StatusDriveRow MeasuredRow(std::string label, std::string historyName, int64_t freeBytes, int64_t capacity,
                           const std::string& thresholdText, int64_t thresholdBytes, bool below) {
  StatusDriveRow row;
  row.label = std::move(label);
  row.historyName = std::move(historyName);
  row.below = below;
  row.thresholdBytes = thresholdBytes;
  std::string threshold = thresholdText.empty() ? "なし" : thresholdText;
  row.thresholdText = "しきい値 " + threshold;
  if (thresholdBytes > 0) row.thresholdText += " (" + FormatBytes(thresholdBytes) + ")";
  // A drive the check could not measure (gone, not ready) has no bar; a free
  // count over the capacity is a damaged row and is not drawn either.
  if (freeBytes < 0 || capacity <= 0 || freeBytes > capacity) {
    row.freeText = "測定できませんでした";
    return row;
  }
  DriveState drive;
  drive.freeBytes = freeBytes;
  drive.capacity = capacity;
  drive.thresholdBytes = thresholdBytes;
  drive.below = below;
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

StatusDriveRow DriveRow(const DriveState& drive) {
  const std::string letter = std::string(1, drive.letter) + ":";
  return MeasuredRow(letter, letter, drive.freeBytes, drive.capacity, drive.thresholdText, drive.thresholdBytes,
                     drive.below);
}

StatusDriveRow VolumeRow(const VolumeState& volume) {
  const std::string label = volume.label.empty() ? volume.path : volume.path + " (" + volume.label + ")";
  return MeasuredRow(label, volume.path, volume.freeBytes, volume.capacity, volume.thresholdText,
                     volume.thresholdBytes, volume.below);
}

// Seconds since 1970 of a local stamp "yyyy-mm-dd hh:mm:ss" read as if it
// were UTC: with the UTC stamp of the same moment it gives the offset.
bool LocalStampSeconds(const std::string& local, int64_t* seconds) {
  if (local.size() != 19 || local[10] != ' ') return false;
  std::string stamp = local;
  stamp[10] = 'T';
  return UtcStampSeconds(stamp + "Z", seconds);
}

std::string ForecastText(const FillForecast& forecast, int offsetMinutes) {
  if (forecast.secondsLeft <= 0) return "予測: まもなくしきい値に達します";
  const LocalDateTime reach = LocalTimeOfUtcSeconds(forecast.reachUtc, offsetMinutes);
  const int64_t days = forecast.secondsLeft / 86400;
  const std::string left = days < 1 ? "1 日未満" : std::to_string(days) + " 日";
  const double perDay = forecast.bytesPerDay;
  const std::string rate = (perDay < 0 ? "-" : "") + FormatBytes(static_cast<int64_t>(std::fabs(perDay) + 0.5));
  return "予測: " + std::to_string(reach.month) + "/" + std::to_string(reach.day) + " ごろしきい値に到達 (あと " +
         left + "、" + rate + "/日)";
}

// The row's chart: its last 30 days up to the check, and the forecast of a
// measured volume above its threshold (one below it is reported as short).
void AttachHistory(StatusDriveRow& row, const VolumeHistory& history, int64_t nowUtc, int offsetMinutes) {
  for (const VolumeSample& sample : history.Samples(row.historyName))
    if (sample.utcSeconds >= nowUtc - 30 * 86400 && sample.utcSeconds <= nowUtc) row.history.push_back(sample);
  if (row.history.empty() || !row.measured || row.below || row.thresholdBytes <= 0) return;
  row.forecast = ForecastFill(history.Samples(row.historyName), row.thresholdBytes, nowUtc);
  if (row.forecast) row.forecastText = ForecastText(*row.forecast, offsetMinutes);
}

std::string ChannelReply(const ChannelState& channel) {
  if (!channel.attempted) return "送っていません";
  const std::string reply = channel.reply.empty() ? "" : " (" + channel.reply + ")";
  return (channel.delivered ? "届けました" : "届けられませんでした") + reply;
}

void AddChannelLines(const ChannelState& channel, std::vector<std::string>& lines) {
  lines.push_back(channel.name + ": " + ChannelReply(channel));
  lines.push_back("　最後に届けた日時: " +
                  (channel.lastDeliveryLocal.empty() ? std::string("まだありません") : channel.lastDeliveryLocal));
  if (channel.pending)
    lines.push_back(std::string("　再送待ち: ") + (channel.pendingRecovery ? "回復のお知らせ" : "警告") + " (作成 " +
                    (channel.pendingComposedLocal.empty() ? "不明" : channel.pendingComposedLocal) + "、" +
                    std::to_string(channel.pendingAttempts) + " 回失敗)");
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

StatusPageView BuildStatusPage(StateLoad load, const CheckState& state, const std::string& reason,
                               const VolumeHistory* history, StateLoad historyLoad, const std::string& historyReason) {
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
  // Two lines: the local time whole on the first, the UTC one on the second.
  view.checkedText = "最終チェック: " + (state.checkedLocal.empty() ? "不明" : state.checkedLocal);
  if (!state.checkedUtc.empty()) view.checkedText += "\r\n(UTC " + state.checkedUtc + ")";
  view.outcomeText = OutcomeText(state.outcome);
  for (const DriveState& drive : state.drives) view.drives.push_back(DriveRow(drive));
  for (const VolumeState& volume : state.volumes) view.drives.push_back(VolumeRow(volume));
  int64_t local = 0;
  if (UtcStampSeconds(state.checkedUtc, &view.checkedUtcSeconds) && LocalStampSeconds(state.checkedLocal, &local))
    view.offsetMinutes = static_cast<int>((local - view.checkedUtcSeconds) / 60);
  if (historyLoad == StateLoad::Damaged) {
    view.historyNotice = "履歴ファイルを読めません" + (historyReason.empty() ? "" : " (" + historyReason + ")") +
                         "。サービスが新しい履歴を始めます。";
  } else if (history != nullptr && historyLoad == StateLoad::Loaded && view.checkedUtcSeconds > 0) {
    for (StatusDriveRow& row : view.drives) AttachHistory(row, *history, view.checkedUtcSeconds, view.offsetMinutes);
  }
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
  for (const ChannelState& channel : state.channels) AddChannelLines(channel, view.channelLines);
  return view;
}

const StatusPageView& StatusModel::Refresh() {
  CheckState state;
  std::string reason;
  StateLoad load = reader_ ? reader_(&state, &reason) : StateLoad::Missing;
  VolumeHistory history;
  std::string historyReason;
  StateLoad historyLoad = StateLoad::Missing;
  if (load == StateLoad::Loaded && history_) historyLoad = history_(&history, &historyReason);
  view_ = BuildStatusPage(load, state, reason, &history, historyLoad, historyReason);
  return view_;
}

}  // namespace qw
