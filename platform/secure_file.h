// Who may read and change the files that hold a secret or the service's
// state.
//
// A security descriptor is described portably (owner, protection, access
// entries with SIDs in string form and Windows access masks), so that the
// descriptor the product applies and the judgement of one it finds are pure
// functions: the tests build descriptors and check the judgement on every
// host. Windows reads and applies real descriptors (GetNamedSecurityInfoW,
// SetNamedSecurityInfoW); POSIX judges a file by its mode bits.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/status.h"

namespace qw {

// Well-known SIDs.
inline constexpr const char* kSidSystem = "S-1-5-18";
inline constexpr const char* kSidAdministrators = "S-1-5-32-544";
inline constexpr const char* kSidUsers = "S-1-5-32-545";
inline constexpr const char* kSidAuthenticatedUsers = "S-1-5-11";
inline constexpr const char* kSidEveryone = "S-1-1-0";
inline constexpr const char* kSidInteractive = "S-1-5-4";

// Access mask bits (the Windows values).
inline constexpr uint32_t kAccessReadData = 0x0001;       // FILE_READ_DATA / FILE_LIST_DIRECTORY
inline constexpr uint32_t kAccessWriteData = 0x0002;      // FILE_WRITE_DATA / FILE_ADD_FILE
inline constexpr uint32_t kAccessAppendData = 0x0004;     // FILE_APPEND_DATA / FILE_ADD_SUBDIRECTORY
inline constexpr uint32_t kAccessWriteEa = 0x0010;        // FILE_WRITE_EA
inline constexpr uint32_t kAccessDeleteChild = 0x0040;    // FILE_DELETE_CHILD
inline constexpr uint32_t kAccessWriteAttributes = 0x0100;
inline constexpr uint32_t kAccessDelete = 0x00010000;
inline constexpr uint32_t kAccessWriteDac = 0x00040000;
inline constexpr uint32_t kAccessWriteOwner = 0x00080000;
inline constexpr uint32_t kAccessFileAll = 0x001F01FF;    // FILE_ALL_ACCESS ("FA")
inline constexpr uint32_t kAccessFileRead = 0x00120089;   // FILE_GENERIC_READ ("FR")
inline constexpr uint32_t kAccessGenericAll = 0x10000000;
inline constexpr uint32_t kAccessGenericExecute = 0x20000000;
inline constexpr uint32_t kAccessGenericWrite = 0x40000000;
inline constexpr uint32_t kAccessGenericRead = 0x80000000;

// Entry flags (the Windows values).
inline constexpr uint8_t kAceObjectInherit = 0x01;
inline constexpr uint8_t kAceContainerInherit = 0x02;
inline constexpr uint8_t kAceInheritOnly = 0x08;

struct AccessEntry {
  bool allow = true;  // an access-allowed entry; false: access-denied
  uint8_t flags = 0;
  uint32_t mask = 0;
  std::string sid;  // "S-1-5-18"
};

struct SecurityDescription {
  std::string owner;           // a SID; empty when not part of the description
  bool hasDacl = true;         // false: a NULL DACL (everyone may do everything)
  bool protectedDacl = false;  // nothing inherited from the parent
  std::vector<AccessEntry> entries;
};

// The settings file that holds a secret: owner Administrators, SYSTEM and
// Administrators full control, nothing inherited.
SecurityDescription SettingsFileSecurity();
// The state folder: owner Administrators, SYSTEM and Administrators full
// control, Users read, inherited by what is made inside, nothing inherited
// from ProgramData (whose users may create files).
SecurityDescription StateFolderSecurity();
// A file of the state folder: the folder's entries as a file inherits them.
SecurityDescription StateFileSecurity();

// The description in SDDL ("O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)"), well-known
// SIDs by their two-letter names.
std::string ToSddl(const SecurityDescription& description);
// The two-letter SDDL name of a well-known SID, or the SID itself.
std::string SidName(const std::string& sid);

// Generic rights turned into the file rights they stand for.
uint32_t MapGenericFileRights(uint32_t mask);

// The groups among Users, Authenticated Users and Everyone through which an
// ordinary local user may read the data (the entries are walked in order, as
// the access check does: a right denied first stays denied; inherit-only
// entries do not count). Empty when no ordinary user may read.
std::vector<std::string> PublicReaders(const SecurityDescription& description);
// The SIDs other than SYSTEM, Administrators and `self` (the account the
// process runs as) that the DACL lets change the object, its contents or its
// rights. A NULL DACL gives Everyone.
std::vector<std::string> OtherWriters(const SecurityDescription& description, const std::string& self);
// True for an owner that is SYSTEM, Administrators or `self`.
bool TrustedOwner(const SecurityDescription& description, const std::string& self);
// "Users, Everyone" for the messages (English group names as Windows shows
// them in the rights dialog).
std::string GroupNames(const std::vector<std::string>& sids);

// --- The operating system's part ---

// Windows: the owner and DACL of a file or folder (a link is followed: check
// for one first).
// POSIX: fails (no descriptors).
Result<SecurityDescription> ReadSecurity(const std::string& path);
// Windows: sets owner and DACL of `path` (the DACL protected when the
// description says so). POSIX: fails.
Status ApplySecurity(const std::string& path, const SecurityDescription& description);
// Windows: the description of an SDDL text (through the system's parser).
// POSIX: fails.
Result<SecurityDescription> ParseSddl(const std::string& sddl);
// The SID of the account this process runs as (POSIX: empty).
std::string ProcessUserSid();

// Gives the settings file the descriptor of SettingsFileSecurity (Windows;
// POSIX does nothing). A failure says what failed. Whether it holds is
// SecretFileReaders' to tell: a system may accept a descriptor and keep
// another (Wine derives one from the Unix mode), which the service's load
// then reports.
Status ProtectSettingsFile(const std::string& path);
// Who besides the service's administrators may read the file: Windows the
// groups of PublicReaders; POSIX "group" and/or "others" by the mode bits.
// Empty when only they may; a missing file reads as empty.
Result<std::vector<std::string>> SecretFileReaders(const std::string& path);
// The full path of the settings file named `file` in the Windows directory
// (POSIX: `windowsDir`).
std::string SettingsFilePath(const std::string& windowsDir, const std::string& file);

// The state folder and its `stateFile` before the service uses them:
// Windows creates a missing folder with StateFolderSecurity; a folder or file
// that is a reparse point (junction, symbolic link) fails and is not
// touched; an owner or DACL that lets others change them is reset to the
// protected descriptor and checked again, and fails when it does not hold.
// `repaired` receives one line per reset that held. POSIX succeeds.
Status PrepareStateFolder(const std::string& folder, const std::string& stateFile,
                          std::vector<std::string>* repaired);

}  // namespace qw
