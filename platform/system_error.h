// Failures the system reports by an error number (GetLastError on Windows),
// as the Status every caller of the platform layer receives: What names the
// system call ("OpenSCManager", "ControlService", ...), Code is the error
// number and Text the system's own words for it.
#pragma once

#include <cstdint>
#include <string>

#include "platform/status.h"

namespace qw {

// The system's text for an error number (FormatMessage on Windows), in
// Shift-JIS without a trailing line break; "error N" when the system has none.
std::string SystemErrorText(uint32_t code);

// The failure of `what` with the system's error number `code` and its text.
Status SystemFailure(std::string what, uint32_t code);

#ifdef _WIN32
// SystemFailure with the calling thread's last error (GetLastError); call it
// straight after the failed call, before anything can change that number
// (hence a plain `what`: nothing is allocated before the number is read).
Status LastSystemFailure(const char* what);
#endif

}  // namespace qw
