// What the service and the applet share: the drive record, the fixed-drive
// list, the settings file's names and the built-in sender address.
#pragma once

#include <cstdint>
#include <string>

#include "platform/drives.h"
#include "qw_version.h"

namespace qw {

// One watched drive.
struct A_Drive {
  char Letter = 'C';
  int64_t Capacity = -1;   // total bytes at the last settings load; -1 unknown
  int64_t FreeSpace = -1;  // bytes free to the caller at the last check; -1 unknown
  int64_t LimitBytes = 0;  // threshold in bytes
  std::string LimitText;   // threshold text as stored in the settings file
};

// Letters of the local fixed drives (every letter whose root "X:\" is a
// fixed drive), upper case, A to Z.
std::string FixedDriveLetters(Drives& drives);

// The settings file (a bare name: it lives in the Windows directory) and its
// sections and keys.
inline constexpr const char* kIniFileName = "Drivewarden.ini";
inline constexpr const char* kSectionWarning = "WARNING";
inline constexpr const char* kSectionDrive = "DRIVE";
inline constexpr const char* kSectionMail = "MAIL";
inline constexpr const char* kKeyInterval = "INTERVAL";
inline constexpr const char* kKeyIsMailSend = "ISMAILSEND";
inline constexpr const char* kKeyRecoveryMail = "RECOVERYMAIL";
inline constexpr const char* kKeyRemind = "REMIND";
inline constexpr const char* kKeySmtp = "SMTP";
inline constexpr const char* kKeyPort = "PORT";
inline constexpr const char* kKeyMailFrom = "MAILFROM";
inline constexpr const char* kKeyMailTo = "MAILTO";
inline constexpr const char* kKeyMailCc = "MAILCC";
inline constexpr const char* kKeySecurity = "SECURITY";
inline constexpr const char* kKeyUser = "USER";
inline constexpr const char* kKeyPassword = "PASSWORD";
inline constexpr const char* kKeyTlsVerify = "TLSVERIFY";
// The folder of the metrics file (empty: no metrics file).
inline constexpr const char* kSectionMetrics = "METRICS";
inline constexpr const char* kKeyTextFileDir = "TEXTFILEDIR";

// Sender address used when MAILFROM is missing, by both deliverables. Its
// domain has a dot, so that the applet's address check accepts it.
inline constexpr const char* kDefaultMailFrom = "drivewarden@localhost.localdomain";

// Service name under the Service Control Manager and its display name.
inline constexpr const char* kServiceName = "Drivewarden";
inline constexpr const char* kServiceDisplayName = "Drivesentry";

// The product version the metrics file names (the file VERSION, as the
// version resources and the version page show it).
inline constexpr const char* kProductVersion = QW_VERSION_TEXT;

// The check's event ID.
inline constexpr uint32_t kCheckEventId = 5610;

}  // namespace qw
