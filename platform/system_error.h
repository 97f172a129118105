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

// The failure of `what` with the system's error number `code` (a Windows
// error number, also where POSIX stands in for a Windows service), its text
// and its kind.
Status SystemFailure(std::string what, uint32_t code);

// The kind of a Windows error number: file or path not found, access
// denied, a time-out, a cancelled request, a name already taken; kOther for
// the rest.
StatusKind WindowsErrorKind(uint32_t code);

#ifndef _WIN32
// The failure of `what` with an errno value: strerror's text and the kind of
// the number (ENOENT and ENOTDIR not found, EACCES and EPERM access denied,
// ETIMEDOUT timed out, ECANCELED cancelled, EEXIST already exists).
Status ErrnoFailure(const char* what, int error);
StatusKind ErrnoKind(int error);
#endif

#ifdef _WIN32
// SystemFailure with the calling thread's last error (GetLastError); call it
// straight after the failed call, before anything can change that number
// (hence a plain `what`: nothing is allocated before the number is read).
Status LastSystemFailure(const char* what);
#endif

}  // namespace qw
