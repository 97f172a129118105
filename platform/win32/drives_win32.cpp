#include <windows.h>

#include "platform/drives.h"
#include "platform/system_error.h"
#include "platform/text_codec.h"

namespace qw {
namespace {

const wchar_t* Wide(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

std::u16string Narrowed(const wchar_t* text) { return std::u16string(reinterpret_cast<const char16_t*>(text)); }

// The volume API as Windows has it.
class Win32VolumeApi : public VolumeApi {
 public:
  ~Win32VolumeApi() override { EndVolumes(); }

  bool FirstVolume(std::u16string* name, uint32_t* error) override {
    wchar_t buffer[MAX_PATH + 1] = {};
    search_ = FindFirstVolumeW(buffer, MAX_PATH + 1);
    if (search_ == INVALID_HANDLE_VALUE) {
      *error = GetLastError();
      return false;
    }
    *name = Narrowed(buffer);
    return true;
  }

  bool NextVolume(std::u16string* name, uint32_t* error) override {
    wchar_t buffer[MAX_PATH + 1] = {};
    if (!FindNextVolumeW(search_, buffer, MAX_PATH + 1)) {
      *error = GetLastError();
      return false;
    }
    *name = Narrowed(buffer);
    return true;
  }

  void EndVolumes() override {
    if (search_ != INVALID_HANDLE_VALUE) FindVolumeClose(search_);
    search_ = INVALID_HANDLE_VALUE;
  }

  bool PathNames(const std::u16string& volume, uint32_t chars, std::u16string* multi, uint32_t* needed,
                 uint32_t* error) override {
    std::u16string buffer(chars, u'\0');
    DWORD length = 0;
    if (!GetVolumePathNamesForVolumeNameW(Wide(volume), reinterpret_cast<wchar_t*>(&buffer[0]), chars, &length)) {
      *error = GetLastError();
      *needed = length;
      return false;
    }
    buffer.resize(length < chars ? length : chars);
    *multi = buffer;
    return true;
  }

  unsigned DriveType(const std::u16string& root) override { return GetDriveTypeW(Wide(root)); }

  bool Information(const std::u16string& root, std::u16string* label, std::u16string* fileSystem,
                   uint32_t* error) override {
    wchar_t name[MAX_PATH + 1] = {};
    wchar_t system[MAX_PATH + 1] = {};
    if (!GetVolumeInformationW(Wide(root), name, MAX_PATH + 1, nullptr, nullptr, nullptr, system, MAX_PATH + 1)) {
      *error = GetLastError();
      return false;
    }
    *label = Narrowed(name);
    *fileSystem = Narrowed(system);
    return true;
  }

 private:
  HANDLE search_ = INVALID_HANDLE_VALUE;
};

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

  Result<std::vector<VolumeInfo>> ListVolumes() override {
    Win32VolumeApi api;
    return ListVolumesThrough(api);
  }

  Result<DiskSpace> PathFreeSpace(const std::string& path) override {
    // The W call: a mount path may hold characters of any language, and a
    // volume name is only understood by the W entry points.
    std::u16string wide = SjisToUtf16(path);
    if (wide.empty() || wide.back() != u'\\') wide += u'\\';
    ULARGE_INTEGER available{}, total{}, free{};
    if (!GetDiskFreeSpaceExW(Wide(wide), &available, &total, &free)) return LastSystemFailure("GetDiskFreeSpaceExW");
    DiskSpace space;
    space.freeToCaller = static_cast<int64_t>(available.QuadPart);
    space.totalBytes = static_cast<int64_t>(total.QuadPart);
    return space;
  }
};

}  // namespace

std::unique_ptr<Drives> NewSystemDrives(const std::string&) { return std::make_unique<Win32Drives>(); }

}  // namespace qw
