// Drives of the machine as Windows names them: a root is a letter, a colon
// and a backslash ("C:\").
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/status.h"
#include "platform/volumes.h"

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

// What GetDiskFreeSpaceExA tells of a drive: the bytes available to the
// caller and the drive's total bytes.
struct DiskSpace {
  int64_t freeToCaller = 0;
  int64_t totalBytes = 0;
};

class Drives {
 public:
  virtual ~Drives() = default;

  virtual unsigned DriveType(const std::string& root) = 0;

  // GetDiskFreeSpaceExA: bytes available to the caller and total bytes, or
  // the failure that says why the drive cannot be measured (a root with no
  // drive behind it is kNotFound).
  virtual Result<DiskSpace> DiskFreeSpace(const std::string& root) = 0;

  // Every mounted volume (platform/volumes.h), each once with all its
  // paths; a failure says which call failed and why. Windows: the volume
  // API; POSIX: /proc/self/mountinfo.
  virtual Result<std::vector<VolumeInfo>> ListVolumes() = 0;
  // Free and total bytes of the volume mounted on `path` (a mount path or,
  // on Windows, a volume name "\\?\Volume{...}\"). May block as long as
  // the volume does not answer: callers bound it.
  virtual Result<DiskSpace> PathFreeSpace(const std::string& path) = 0;
};

// POSIX: drive letters map to folders through `<windowsDir>/dosdevices/<x>:`
// symlinks (Wine's layout); without that folder C: is "/". A mapped folder is
// a fixed drive. Windows: the real API (windowsDir is ignored).
std::unique_ptr<Drives> NewSystemDrives(const std::string& windowsDir);

}  // namespace qw
