// The first half of replacing a file in one step: the new bytes in a
// temporary file beside the target, written through and closed, ready to be
// moved or swapped into place.
#pragma once

#include <string>

#include "platform/status.h"

namespace qw {

// Writes `bytes` to a new file beside `target` (same folder, a name of its
// own), flushes and closes it, and names it in `temp`. On failure nothing is
// left behind and the status names the step that failed.
Status WriteTempFileBeside(const std::wstring& target, const std::string& bytes, std::wstring* temp);

}  // namespace qw
