// The check's report: measuring the drives (each call bounded) and the texts
// composed from the measurements, as functions of their inputs.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/check_state.h"
#include "common/drivewarden_common.h"
#include "common/volume_settings.h"
#include "platform/drives.h"
#include "platform/system_info.h"
#include "service/bounded_calls.h"

namespace qw {

// A drive whose free-space call did not return within the bound: its line
// in the drive list, and its line among the drives of the warning.
inline constexpr const char* kDriveNoAnswer = "応答がありません";
std::string DriveNoAnswerLine(char letter, int64_t boundMs);

// What a bounded free-space call came to.
struct DriveAnswer {
  bool answered = false;  // the call returned within the bound
  bool measured = false;  // ... and the drive could be measured
  int64_t freeBytes = -1;
  int64_t totalBytes = -1;
};

// Measures `letters` at once, each on a thread of its own under the key
// "drive <letter>", waiting for them together at most `boundMs` (less when
// `calls` is cancelled). A drive whose last call has not returned yet is not
// asked again and has no answer.
std::map<char, DriveAnswer> MeasureDrives(BoundedCalls& calls, Drives& drives, const std::string& letters,
                                          int64_t boundMs);

// Measures the volumes mounted on `paths` as MeasureDrives measures letters
// (keys "volume <path>"), through Drives::PathFreeSpace.
std::map<std::string, DriveAnswer> MeasurePaths(BoundedCalls& calls, Drives& drives,
                                                const std::vector<std::string>& paths, int64_t boundMs);

// How the report names a volume: its mount path (or, without one, its
// volume name), then its label in brackets where it has one.
std::string VolumeTitle(const VolumeInfo& volume);

// The short set of a check as the alert policy keeps it: the short letters,
// then "|" and the name of each short volume ("CD|/data|/srv"). A text of
// letters alone (as earlier versions stored it) is a set of letters.
std::string ShortSetText(const std::string& letters, const std::vector<std::string>& volumes);
std::vector<std::string> ShortSetNames(const std::string& text);

// "#,###" with `thousandSeparator` (0 gives "0"), then " バイト".
std::string ReportBytes(int64_t count, const std::string& thousandSeparator);

// The lines of one check.
struct ReportLines {
  std::string driveLines;      // one per drive, then the settings notes
  std::string thresholdLines;  // one per drive short (or not answering)
  std::string shortLetters;
  std::vector<std::string> shortVolumes;  // paths of the volumes short (or not answering)
  std::vector<VolumeState> volumes;       // what MeasureVolumes found, in report order
};
// `drives` with their FreeSpace of this check; `noAnswer`: the letters whose
// call did not return (a warning whatever their threshold).
ReportLines ComposeDriveLines(const std::vector<std::unique_ptr<A_Drive>>& drives, const std::string& noAnswer,
                              int64_t boundMs, const std::string& thousandSeparator);
// Measures the drives of `table` (MeasureDrives), sets their FreeSpace (-1
// for a drive that could not be measured) and composes their lines; false,
// with nothing composed, when `calls` was cancelled meanwhile.
bool MeasureTable(BoundedCalls& calls, Drives& drives, std::vector<std::unique_ptr<A_Drive>>& table,
                  int64_t boundMs, const std::string& thousandSeparator, ReportLines& lines);
// Measures `volumes` (MeasurePaths) and adds their lines to `lines`: one
// drive line each, and a threshold line for each volume short, not
// answering or that could not be measured (a % threshold is a share of the
// total this check measured). False, with nothing added, when `calls` was
// cancelled meanwhile.
bool MeasureVolumes(BoundedCalls& calls, Drives& drives, const std::vector<WatchedVolume>& volumes, int64_t boundMs,
                    const std::string& thousandSeparator, const std::string& decimalSeparator, ReportLines& lines);
// The lines a check adds after its drive lines: no fixed drive or no
// threshold at all, and thresholds of letters that are not fixed drives here.
std::string SettingsNoteLines(size_t driveCount, int thresholdCount, const std::string& absentLetters);

// The date under a report: the short date, and the long time unless it is
// midnight exactly.
std::string ReportStamp(SystemInfo& formats, const LocalDateTime& now);
// The warning's report (and the alert mail's body). `forecastLines`, when
// not empty, tells the drives forecast to reach their threshold soon: after
// the drives short, or alone when `thresholdLines` is empty.
std::string ComposeAlertReport(const std::string& computer, const std::string& driveLines,
                               const std::string& thresholdLines, const std::string& stamp,
                               const std::string& forecastLines = "");
// One line of the forecast: "<name> : <date> ごろ (あと N 日、1 日あたり
// #,### バイト減少)" ("1 日以内" when less than a day is left), CR LF ended.
// `date`: the day the threshold is reached, as the report writes dates.
std::string ForecastLine(const std::string& name, const std::string& date, int64_t secondsLeft,
                         double bytesPerDay, const std::string& thousandSeparator);
// The recovery notice.
std::string ComposeRecoveryReport(const std::string& computer, const std::string& driveLines,
                                  const std::string& stamp);

// Collapses blank lines ("\r\n\r\n" runs become one "\r\n") in one pass.
std::string CollapseBlankLines(const std::string& text);

}  // namespace qw
