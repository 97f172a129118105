// Profile files through the Windows profile functions themselves.
#include <windows.h>

#include <vector>

#include "platform/profile.h"

namespace qw {
namespace {

class Win32Profiles : public Profiles {
 public:
  std::string ReadString(const std::string& file, const std::string& section,
                         const std::string& key, const std::string& def) override {
    std::vector<char> buffer(2048, '\0');
    DWORD n = GetPrivateProfileStringA(section.c_str(), key.c_str(), def.c_str(), buffer.data(),
                                       static_cast<DWORD>(buffer.size()), file.c_str());
    return std::string(buffer.data(), n);
  }

  bool WriteString(const std::string& file, const std::string& section, const std::string& key,
                   const std::string& value) override {
    return WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(), file.c_str()) !=
           FALSE;
  }

  int32_t LastWriteDosStamp(const std::string& file) override {
    std::string path = file;
    if (file.find('\\') == std::string::npos && file.find('/') == std::string::npos) {
      char dir[MAX_PATH] = {};
      UINT n = GetWindowsDirectoryA(dir, MAX_PATH);
      if (n == 0 || n >= MAX_PATH) return -1;
      path = std::string(dir, n) + "\\" + file;
    }
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return -1;
    FILETIME written{}, local{};
    BOOL ok = GetFileTime(h, nullptr, nullptr, &written);
    CloseHandle(h);
    if (!ok || !FileTimeToLocalFileTime(&written, &local)) return -1;
    WORD date = 0, time = 0;
    if (!FileTimeToDosDateTime(&local, &date, &time)) return -1;
    return static_cast<int32_t>((static_cast<uint32_t>(date) << 16) | time);
  }
};

}  // namespace

std::unique_ptr<Profiles> NewSystemProfiles(const std::string&) {
  return std::make_unique<Win32Profiles>();
}

}  // namespace qw
