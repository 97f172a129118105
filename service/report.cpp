#include "service/report.h"

#include "common/watch_settings.h"

namespace qw {
namespace {

const char kCrLf[] = "\r\n";

std::string RootOf(char letter) { return std::string{letter, ':', '\\'}; }

std::string DriveKey(char letter) { return std::string("drive ") + letter; }

}  // namespace

std::string DriveNoAnswerLine(char letter, int64_t boundMs) {
  return std::string(1, letter) + " ドライブ : " + kDriveNoAnswer + " ( " + std::to_string((boundMs + 999) / 1000) +
         " 秒以内に空き領域を返しませんでした )";
}

std::map<char, DriveAnswer> MeasureDrives(BoundedCalls& calls, Drives& drives, const std::string& letters,
                                          int64_t boundMs) {
  struct Raw {
    Result<DiskSpace> space = Status::Failure("DiskFreeSpace", 0, "not measured");
  };
  std::map<char, DriveAnswer> answers;
  std::map<char, std::shared_ptr<Raw>> started;
  std::vector<std::string> keys;
  Drives* platform = &drives;
  for (char letter : letters) {
    auto raw = std::make_shared<Raw>();
    const std::string root = RootOf(letter);
    switch (calls.Begin(DriveKey(letter), [raw, platform, root] {
      try {
        raw->space = platform->DiskFreeSpace(root);
      } catch (const std::exception& e) {
        // Thrown on a thread of its own: caught here, or the process ends.
        raw->space = Status::Failure("DiskFreeSpace", 0, e.what());
      }
    })) {
      case BoundedCalls::Start::Started:
        started[letter] = raw;
        keys.push_back(DriveKey(letter));
        break;
      case BoundedCalls::Start::Busy:
        answers[letter] = DriveAnswer{};  // the last call has not returned yet
        break;
      case BoundedCalls::Start::NoThread:
        answers[letter] = DriveAnswer{true, false, -1, -1};
        break;
    }
  }
  // A drive that did not answer in time is told apart below, key by key.
  calls.Wait(keys, std::chrono::milliseconds(boundMs), true).Ignore();
  for (const auto& [letter, raw] : started) {
    DriveAnswer answer;
    // A call that returned wrote its result before it said so.
    if (calls.Returned(DriveKey(letter))) {
      answer.answered = true;
      answer.measured = raw->space.Ok();
      if (raw->space.Ok()) {
        answer.freeBytes = raw->space->freeToCaller;
        answer.totalBytes = raw->space->totalBytes;
      }
    }
    answers[letter] = answer;
  }
  return answers;
}

std::map<std::string, DriveAnswer> MeasurePaths(BoundedCalls& calls, Drives& drives,
                                                const std::vector<std::string>& paths, int64_t boundMs) {
  struct Raw {
    Result<DiskSpace> space = Status::Failure("PathFreeSpace", 0, "not measured");
  };
  std::map<std::string, DriveAnswer> answers;
  std::map<std::string, std::shared_ptr<Raw>> started;
  std::vector<std::string> keys;
  Drives* platform = &drives;
  for (const std::string& path : paths) {
    auto raw = std::make_shared<Raw>();
    const std::string key = "volume " + path;
    switch (calls.Begin(key, [raw, platform, path] {
      try {
        raw->space = platform->PathFreeSpace(path);
      } catch (const std::exception& e) {
        raw->space = Status::Failure("PathFreeSpace", 0, e.what());
      }
    })) {
      case BoundedCalls::Start::Started:
        started[path] = raw;
        keys.push_back(key);
        break;
      case BoundedCalls::Start::Busy:
        answers[path] = DriveAnswer{};
        break;
      case BoundedCalls::Start::NoThread:
        answers[path] = DriveAnswer{true, false, -1, -1};
        break;
    }
  }
  calls.Wait(keys, std::chrono::milliseconds(boundMs), true).Ignore();
  for (const auto& [path, raw] : started) {
    DriveAnswer answer;
    if (calls.Returned("volume " + path)) {
      answer.answered = true;
      answer.measured = raw->space.Ok();
      if (raw->space.Ok()) {
        answer.freeBytes = raw->space->freeToCaller;
        answer.totalBytes = raw->space->totalBytes;
      }
    }
    answers[path] = answer;
  }
  return answers;
}

std::string VolumeTitle(const VolumeInfo& volume) {
  std::string title = ShownMountPath(MeasuredPath(volume));
  if (!volume.label.empty()) title += " [" + volume.label + "]";
  return title;
}

std::string ShortSetText(const std::string& letters, const std::vector<std::string>& volumes) {
  std::string text = letters;
  for (const std::string& volume : volumes) text += "|" + volume;
  return text;
}

std::vector<std::string> ShortSetNames(const std::string& text) {
  std::vector<std::string> names;
  const size_t bar = text.find('|');
  for (char letter : text.substr(0, bar)) names.emplace_back(1, letter);
  for (size_t p = bar; p != std::string::npos;) {
    const size_t next = text.find('|', p + 1);
    names.push_back(text.substr(p + 1, next == std::string::npos ? std::string::npos : next - p - 1));
    p = next;
  }
  return names;
}

std::string ReportBytes(int64_t count, const std::string& thousandSeparator) {
  const bool negative = count < 0;
  // Work on the magnitude as unsigned so that the minimum value prints too.
  const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(count) : static_cast<uint64_t>(count);
  const std::string digits = std::to_string(magnitude);
  std::string grouped;
  const size_t n = digits.size();
  for (size_t i = 0; i < n; ++i) {
    if (i > 0 && (n - i) % 3 == 0) grouped += thousandSeparator;
    grouped += digits[i];
  }
  return (negative ? "-" : "") + grouped + " バイト";
}

ReportLines ComposeDriveLines(const std::vector<std::unique_ptr<A_Drive>>& drives, const std::string& noAnswer,
                              int64_t boundMs, const std::string& thousandSeparator) {
  ReportLines lines;
  for (const auto& drive : drives) {
    if (noAnswer.find(drive->Letter) != std::string::npos) {
      // A drive that does not answer is a warning whatever its threshold.
      lines.driveLines += std::string("・ ") + drive->Letter + " ドライブの空き領域: " + kDriveNoAnswer + kCrLf;
      lines.shortLetters += drive->Letter;
      lines.thresholdLines += DriveNoAnswerLine(drive->Letter, boundMs) + kCrLf;
      continue;
    }
    lines.driveLines += std::string("・ ") + drive->Letter + " ドライブの空き領域: " +
                        ReportBytes(drive->FreeSpace, thousandSeparator) + kCrLf;
    if (drive->FreeSpace < drive->LimitBytes) {
      lines.shortLetters += drive->Letter;
      lines.thresholdLines += std::string(1, drive->Letter) + " ドライブ : しきい値 " + drive->LimitText;
      if (drive->LimitText.find('%') != std::string::npos)
        lines.thresholdLines += " ( 全容量 " + ReportBytes(drive->Capacity, thousandSeparator);
      else
        lines.thresholdLines += " ( = " + ReportBytes(drive->LimitBytes, thousandSeparator);
      lines.thresholdLines += std::string(" )") + kCrLf;
    }
  }
  return lines;
}

bool MeasureTable(BoundedCalls& calls, Drives& drives, std::vector<std::unique_ptr<A_Drive>>& table,
                  int64_t boundMs, const std::string& thousandSeparator, ReportLines& lines) {
  std::string letters;
  for (const auto& drive : table) letters += drive->Letter;
  const std::map<char, DriveAnswer> answers = MeasureDrives(calls, drives, letters, boundMs);
  if (calls.Cancelled()) return false;
  std::string noAnswer;
  for (auto& drive : table) {
    const DriveAnswer& answer = answers.at(drive->Letter);
    drive->FreeSpace = answer.measured ? answer.freeBytes : -1;
    if (!answer.answered) noAnswer += drive->Letter;
  }
  lines = ComposeDriveLines(table, noAnswer, boundMs, thousandSeparator);
  return true;
}

bool MeasureVolumes(BoundedCalls& calls, Drives& drives, const std::vector<WatchedVolume>& volumes, int64_t boundMs,
                    const std::string& thousandSeparator, const std::string& decimalSeparator, ReportLines& lines) {
  if (volumes.empty()) return true;
  std::vector<std::string> paths;
  for (const WatchedVolume& watched : volumes) paths.push_back(MeasuredPath(watched.volume));
  const std::map<std::string, DriveAnswer> answers = MeasurePaths(calls, drives, paths, boundMs);
  if (calls.Cancelled()) return false;
  for (const WatchedVolume& watched : volumes) {
    const DriveAnswer& answer = answers.at(MeasuredPath(watched.volume));
    const std::string title = VolumeTitle(watched.volume);
    VolumeState state;
    state.path = ShownMountPath(MeasuredPath(watched.volume));
    state.label = watched.volume.label;
    state.thresholdText = watched.limitText;
    std::string threshold;
    if (!answer.answered) {
      lines.driveLines += "・ " + title + " の空き領域: " + kDriveNoAnswer + kCrLf;
      threshold = title + " : " + kDriveNoAnswer + " ( " + std::to_string((boundMs + 999) / 1000) +
                  " 秒以内に空き領域を返しませんでした )";
    } else if (!answer.measured) {
      lines.driveLines += "・ " + title + " の空き領域: 測定できません" + kCrLf;
      threshold = title + " : 空き領域を測定できません";
    } else {
      lines.driveLines += "・ " + title + " の空き領域: " + ReportBytes(answer.freeBytes, thousandSeparator) + kCrLf;
      const Result<int64_t> limit = ParseThreshold(watched.limitText, answer.totalBytes, decimalSeparator);
      const int64_t limitBytes = limit.value_or(0);
      state.freeBytes = answer.freeBytes;
      state.capacity = answer.totalBytes;
      state.thresholdBytes = limitBytes;
      if (answer.freeBytes < limitBytes) {
        threshold = title + " : しきい値 " + watched.limitText;
        if (watched.limitText.find('%') != std::string::npos)
          threshold += " ( 全容量 " + ReportBytes(answer.totalBytes, thousandSeparator);
        else
          threshold += " ( = " + ReportBytes(limitBytes, thousandSeparator);
        threshold += " )";
      }
    }
    state.below = !threshold.empty();
    lines.volumes.push_back(state);
    if (threshold.empty()) continue;
    lines.thresholdLines += threshold + kCrLf;
    lines.shortVolumes.push_back(ShownMountPath(MeasuredPath(watched.volume)));
  }
  return true;
}

std::string SettingsNoteLines(size_t driveCount, int thresholdCount, const std::string& absentLetters) {
  std::string lines;
  if (driveCount == 0)
    lines += std::string("このコンピューターには固定ドライブがありません。") + kCrLf;
  else if (thresholdCount == 0)
    lines += std::string("しきい値が設定されたドライブはありません。") + kCrLf;
  for (char letter : absentLetters)
    lines += std::string("設定ファイルのドライブ ") + letter + ": はこのコンピューターの固定ドライブにありません。" +
             kCrLf;
  return lines;
}

std::string ReportStamp(SystemInfo& formats, const LocalDateTime& now) {
  std::string stamp = formats.FormatShortDate(now);
  if (now.hour != 0 || now.minute != 0 || now.second != 0) stamp += " " + formats.FormatLongTime(now);
  return stamp;
}

std::string ComposeAlertReport(const std::string& computer, const std::string& driveLines,
                               const std::string& thresholdLines, const std::string& stamp,
                               const std::string& forecastLines) {
  std::string report;
  report += computer + " のローカルドライブの空き領域は以下のとおりです。" + kCrLf;
  report += kCrLf;
  report += driveLines;
  report += kCrLf;
  if (!thresholdLines.empty()) {
    report += std::string("このうち、空き領域が指定されたしきい値以下のドライブは") + kCrLf;
    report += kCrLf;
    report += thresholdLines;
    report += kCrLf;
    report += std::string("です。") + kCrLf;
    report += kCrLf;
  }
  if (!forecastLines.empty()) {
    report += std::string("最近 7 日間の減り方が続くと、次のドライブの空き領域がしきい値に達する見込みです。") + kCrLf;
    report += kCrLf;
    report += forecastLines;
    report += kCrLf;
  }
  report += stamp;
  return report;
}

std::string ForecastLine(const std::string& name, const std::string& date, int64_t secondsLeft,
                         double bytesPerDay, const std::string& thousandSeparator) {
  const int64_t days = secondsLeft / 86400;
  const std::string left = days < 1 ? std::string("1 日以内") : "あと " + std::to_string(days) + " 日";
  const double perDay = bytesPerDay < 0 ? -bytesPerDay : bytesPerDay;
  const int64_t rate = perDay >= 9.2e18 ? INT64_MAX : static_cast<int64_t>(perDay + 0.5);
  return name + " : " + date + " ごろ (" + left + "、1 日あたり " + ReportBytes(rate, thousandSeparator) + "減少)" +
         kCrLf;
}

std::string ComposeRecoveryReport(const std::string& computer, const std::string& driveLines,
                                  const std::string& stamp) {
  std::string report;
  report += computer + " のすべてのドライブの空き領域が、指定されたしきい値以上に回復しました。" + kCrLf;
  report += kCrLf;
  report += driveLines;
  report += kCrLf;
  report += stamp;
  return report;
}

std::string CollapseBlankLines(const std::string& text) {
  static const std::string kDouble = "\r\n\r\n";
  std::string collapsed;
  collapsed.reserve(text.size());
  size_t p = 0;
  while (true) {
    const size_t hit = text.find(kDouble, p);
    if (hit == std::string::npos) break;
    collapsed.append(text, p, hit - p);
    collapsed += kCrLf;
    p = hit + kDouble.size();
  }
  collapsed.append(text, p, std::string::npos);
  return collapsed;
}

}  // namespace qw
