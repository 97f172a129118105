// Drive thresholds as the settings file stores them: whole megabytes
// ("500MB") or a share of the drive ("10%"). The service turns them into
// bytes; the applet splits them for its threshold dialog.
#pragma once

#include <cstdint>
#include <string>

namespace qw {

enum class ThresholdUnit { None, MB, Percent };

struct ThresholdParts {
  ThresholdUnit unit = ThresholdUnit::None;
  std::string number;  // the text less its unit
};

// A text that holds "MB" anywhere is megabytes and loses its last two bytes;
// else one that holds '%' is a share and loses its last byte; any other text
// has no unit and is the number whole. Files written by the applet always
// end in their unit; hand-edited ones that do not are refused by the
// service's conversion of the number.
ThresholdParts SplitThreshold(const std::string& text);

// The threshold in bytes of a drive of `capacity` bytes (a share of a drive
// of unknown size, -1, gives no positive count). Without a unit only "0" or
// blanks, meaning no threshold, give 0. Throws EConvertError: NotAnInteger,
// NotAFloat, NotANonNegativeNumber or NotAThreshold.
int64_t ThresholdBytes(const std::string& text, int64_t capacity, const std::string& decimalSeparator);

}  // namespace qw
