#include <windows.h>

#include "platform/drives.h"
#include "platform/system_error.h"

namespace qw {
namespace {

class Win32Drives : public Drives {
 public:
  unsigned DriveType(const std::string& root) override { return GetDriveTypeA(root.c_str()); }

  Result<DiskSpace> DiskFreeSpace(const std::string& root) override {
    ULARGE_INTEGER available{}, total{}, free{};
    if (!GetDiskFreeSpaceExA(root.c_str(), &available, &total, &free)) return LastSystemFailure("GetDiskFreeSpaceEx");
    DiskSpace space;
    space.freeToCaller = static_cast<int64_t>(available.QuadPart);
    space.totalBytes = static_cast<int64_t>(total.QuadPart);
    return space;
  }
};

}  // namespace

std::unique_ptr<Drives> NewSystemDrives(const std::string&) { return std::make_unique<Win32Drives>(); }

}  // namespace qw
