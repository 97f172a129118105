#include "service/history_text.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <optional>
#include <vector>

#include "common/check_state.h"
#include "common/fill_forecast.h"
#include "common/watch_settings.h"
#include "platform/files.h"
#include "service/report.h"

namespace qw {
namespace {

// How the report names a volume: a letter as its drive, a path as it is.
std::string VolumeName(const std::string& volume) {
  if (volume.size() == 2 && volume[1] == ':') return std::string(1, volume[0]) + " ドライブ";
  return volume;
}

std::string WithoutLineEnd(std::string line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  return line;
}

// The forecast line of one volume, or why it has none.
std::string ForecastText(const std::string& name, const std::vector<VolumeSample>& samples,
                         std::optional<int64_t> threshold, int64_t nowUtc, SystemInfo& formats) {
  const std::string separator = formats.ThousandSeparator();
  const std::optional<FreeTrend> fit = FitFreeTrend(samples, nowUtc);
  if (!fit)
    return name + " : 予測なし (直近 7 日の記録が足りません。1 日以上にわたる 6 件以上の記録が要ります)";
  const int64_t perDay = static_cast<int64_t>(std::llround(fit->bytesPerSecond * 86400.0));
  if (!threshold) return name + " : 予測なし (前回のチェックにしきい値がありません)";
  if (perDay >= 0)
    return name + " : 予測なし (空き領域は減っていません。1 日あたり " + ReportBytes(perDay, separator) + "増加)";
  const std::optional<FillForecast> forecast = ForecastFill(samples, *threshold, nowUtc);
  if (!forecast) return name + " : 予測なし (しきい値に達するのは 1000 年より先です)";
  const LocalDateTime reach = LocalTimeOfUtcSeconds(forecast->reachUtc, formats.UtcOffsetMinutes());
  return WithoutLineEnd(ForecastLine(name, formats.FormatShortDate(reach), forecast->secondsLeft,
                                     forecast->bytesPerDay, separator));
}

}  // namespace

std::string FormatHistoryText(const VolumeHistory& history, const std::map<std::string, int64_t>& thresholds,
                              int64_t nowUtc, SystemInfo& formats) {
  const int offset = formats.UtcOffsetMinutes();
  const std::string separator = formats.ThousandSeparator();
  std::string text;
  for (const std::string& volume : history.Volumes()) {
    const std::vector<VolumeSample>& samples = history.Samples(volume);
    const std::string name = VolumeName(volume);
    const auto threshold = thresholds.find(volume);
    text += "[" + name + "]";
    if (threshold != thresholds.end()) text += " しきい値 " + ReportBytes(threshold->second, separator);
    text += "\n";
    // The samples in time order, gathered by the local day they fall on.
    for (size_t first = 0; first < samples.size();) {
      const LocalDateTime day = LocalTimeOfUtcSeconds(samples[first].utcSeconds, offset);
      int64_t least = samples[first].freeBytes;
      size_t last = first;
      for (size_t i = first + 1; i < samples.size(); ++i) {
        const LocalDateTime at = LocalTimeOfUtcSeconds(samples[i].utcSeconds, offset);
        if (at.year != day.year || at.month != day.month || at.day != day.day) break;
        least = std::min(least, samples[i].freeBytes);
        last = i;
      }
      LocalDateTime date = day;
      date.hour = date.minute = date.second = date.millisecond = 0;
      text += formats.FormatShortDate(date) + "  空き 最小 " + ReportBytes(least, separator) + "  最後 " +
              ReportBytes(samples[last].freeBytes, separator) + "  容量 " +
              ReportBytes(samples[last].capacity, separator) + "  (" + std::to_string(last - first + 1) +
              " 件)\n";
      first = last + 1;
    }
    text += ForecastText(name, samples,
                         threshold == thresholds.end() ? std::nullopt : std::optional<int64_t>(threshold->second),
                         nowUtc, formats) +
            "\n\n";
  }
  return text;
}

HistoryPrint PrintHistory(const std::string& stateFolder, SystemInfo& system) {
  HistoryPrint print;
  const std::string path = JoinPath(stateFolder, kHistoryFileName);
  try {
    const Result<std::string> file = ReadWholeFile(path, kHistoryFileLimit);
    if (file.status().IsNotFound()) {
      print.text = "空き領域の履歴はまだありません (" + path + ")\n";
      return print;
    }
    if (!file.Ok()) {
      print.text = "履歴ファイルを読めません: " + path + ": " + file.status().Describe() + "\n";
      print.exitCode = 1;
      return print;
    }
    const Result<VolumeHistory> history = VolumeHistory::Parse(*file);
    if (!history.Ok()) {
      print.text = "履歴ファイルが壊れています: " + path + ": " + history.status().Describe() + "\n";
      print.exitCode = 1;
      return print;
    }
    // The thresholds of the last check; without them the history still prints.
    std::map<std::string, int64_t> thresholds;
    std::string note;
    const std::string statePath = JoinPath(stateFolder, kStateFileName);
    const Result<std::string> stateText = ReadWholeFile(statePath);
    CheckState state;
    if (stateText.Ok() && ParseCheckState(*stateText, &state)) {
      for (const DriveState& drive : state.drives)
        if (drive.thresholdBytes > 0 && IsWatchingThreshold(drive.thresholdText, drive.thresholdBytes))
          thresholds[std::string(1, drive.letter) + ":"] = drive.thresholdBytes;
      for (const VolumeState& volume : state.volumes)
        if (volume.thresholdBytes > 0) thresholds[volume.path] = volume.thresholdBytes;
    } else if (stateText.status().IsNotFound()) {
      note = "前回のチェックの状態 (" + statePath + ") がないため、しきい値までの予測はありません\n\n";
    } else {
      note = "前回のチェックの状態 (" + statePath + ") を読めないため、しきい値までの予測はありません: " +
             (stateText.Ok() ? std::string("内容が壊れています") : stateText.status().Describe()) + "\n\n";
    }
    int64_t now = 0;
    if (!UtcStampSeconds(UtcStamp(system.Now(), system.UtcOffsetMinutes()), &now)) {
      print.text = "現在の時刻を読めません\n";
      print.exitCode = 1;
      return print;
    }
    if (history->Empty()) {
      print.text = "空き領域の履歴に記録はありません (" + path + ")\n";
      return print;
    }
    print.text = note + FormatHistoryText(*history, thresholds, now, system);
  } catch (const std::exception& e) {
    print.text = "履歴を表示できません: " + path + ": " + e.what() + "\n";
    print.exitCode = 1;
  }
  return print;
}

}  // namespace qw
