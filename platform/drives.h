// Drives of the machine as Windows names them: a root is a letter, a colon
// and a backslash ("C:\").
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace qw {

// Values of GetDriveTypeA.
enum DriveTypeCode : unsigned {
  kDriveUnknown = 0,
  kDriveNoRootDir = 1,
  kDriveRemovable = 2,
  kDriveFixed = 3,
  kDriveRemote = 4,
  kDriveCdrom = 5,
  kDriveRamdisk = 6,
};

class Drives {
 public:
  virtual ~Drives() = default;

  virtual unsigned DriveType(const std::string& root) = 0;

  // GetDiskFreeSpaceExA: bytes available to the caller and total bytes.
  // False (and both values untouched) when the drive cannot be measured.
  virtual bool DiskFreeSpace(const std::string& root, int64_t* freeToCaller,
                             int64_t* totalBytes) = 0;
};

// POSIX: drive letters map to folders through `<windowsDir>/dosdevices/<x>:`
// symlinks (Wine's layout); without that folder C: is "/". A mapped folder is
// a fixed drive. Windows: the real API (windowsDir is ignored).
std::unique_ptr<Drives> NewSystemDrives(const std::string& windowsDir);

}  // namespace qw
