// The free-space history as text, for a server without a desktop: what the
// POSIX host's --history and the Windows program's /HISTORY print. Per
// volume one line per local day (the least and the last free space of the
// day, and the size), then the forecast line: when the free space, going
// the way it went in the last 7 days, reaches the threshold of the last
// check (status.ini beside the history), or why there is no forecast.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "common/volume_history.h"
#include "platform/system_info.h"

namespace qw {

// The text of `history` as of `nowUtc` (Shift-JIS, LF line ends): dates and
// numbers as `formats` writes them, days in its UTC offset. `thresholds`:
// the threshold in bytes of each volume by its history name ("C:", a mount
// path); a volume without one has no forecast.
std::string FormatHistoryText(const VolumeHistory& history, const std::map<std::string, int64_t>& thresholds,
                              int64_t nowUtc, SystemInfo& formats);

struct HistoryPrint {
  std::string text;  // what goes to standard output (exit 0) or the error (otherwise)
  int exitCode = 0;  // 0: printed; 1: the history file could not be read or is damaged
};

// Reads history.txt and status.ini in `stateFolder` and composes the text
// for now. No history file yet: a line that says so, exit 0. A status.ini
// that cannot be read only takes the forecasts away (a line says so).
HistoryPrint PrintHistory(const std::string& stateFolder, SystemInfo& system);

}  // namespace qw
