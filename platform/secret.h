// Secrets in the settings file (the SMTP password). On Windows the stored
// form is the secret protected with DPAPI at machine scope
// (CryptProtectData with CRYPTPROTECT_LOCAL_MACHINE, so the service running
// as LocalSystem can read what the applet wrote), in base64 behind the
// prefix kProtectedPrefix. A value without the prefix is a clear secret typed
// into the file by hand. POSIX keeps the value as the file holds it.
#pragma once

#include <string>

#include "platform/status.h"

namespace qw {

inline constexpr const char* kProtectedPrefix = "dpapi:";

// True when `stored` is in the protected form.
bool IsProtectedSecret(const std::string& stored);
// The stored form of `clear` (Windows: protected; POSIX: `clear` itself).
Result<std::string> ProtectSecret(const std::string& clear);
// The clear secret of a stored value (a value without the prefix is
// returned as it is). Fails with the system's reason when a protected value
// cannot be read (damaged, or protected on another computer).
Result<std::string> UnprotectSecret(const std::string& stored);

}  // namespace qw
