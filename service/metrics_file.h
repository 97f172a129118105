// The metrics file: the last check told in the Prometheus text exposition
// format (version 0.0.4), for the textfile collector of node_exporter or
// windows_exporter, which read every *.prom file of one folder at each
// scrape. The service replaces the file after every check, atomically, so a
// scrape reads the old file or the new one and never a part.
#pragma once

#include <cstdint>
#include <string>

#include "common/check_state.h"
#include "platform/status.h"

namespace qw {

inline constexpr const char* kMetricsFileName = "quotawarden.prom";

// What the file says besides the check state.
struct MetricsFacts {
  // False when the check could not do all of its work: the settings did not
  // load (the drives were measured with the last good settings) or the
  // check ended with an error (the drive values are those of the last
  // measurement).
  bool checkSucceeded = false;
  // INTERVAL of the settings in use, in seconds: a fleet's rules tell a
  // watch that stopped checking by it.
  int64_t intervalSeconds = 0;
  std::string host;     // the computer name, Shift-JIS as the system gives it
  std::string version;  // the product version, ASCII
};

// The exposition text: "# HELP" and "# TYPE" for every family, then its
// samples; LF line ends and a final LF. Times come from the state's UTC
// stamps (seconds since 1970; 0 for a mail that was never delivered). A
// drive whose free space or size is unknown has no sample in that family,
// nor one without a trend or a forecast in theirs.
std::string FormatMetrics(const CheckState& state, const MetricsFacts& facts);

// A label value as the format writes it between its quotes: UTF-8 with
// backslash, double quote and line feed escaped.
std::string MetricsLabelValue(const std::string& utf8);

// Replaces kMetricsFileName in `folder` with `text` (a temporary file in the
// same folder renamed over it).
Status WriteMetricsFile(const std::string& folder, const std::string& text);

}  // namespace qw
