#include <windows.h>

#include "platform/drives.h"

namespace qw {
namespace {

class Win32Drives : public Drives {
 public:
  unsigned DriveType(const std::string& root) override { return GetDriveTypeA(root.c_str()); }

  bool DiskFreeSpace(const std::string& root, int64_t* freeToCaller, int64_t* totalBytes) override {
    ULARGE_INTEGER available{}, total{}, free{};
    if (!GetDiskFreeSpaceExA(root.c_str(), &available, &total, &free)) return false;
    *freeToCaller = static_cast<int64_t>(available.QuadPart);
    *totalBytes = static_cast<int64_t>(total.QuadPart);
    return true;
  }
};

}  // namespace

std::unique_ptr<Drives> NewSystemDrives(const std::string&) { return std::make_unique<Win32Drives>(); }

}  // namespace qw
