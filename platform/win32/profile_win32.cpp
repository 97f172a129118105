// Profile files through the Windows profile functions themselves.
#include <windows.h>

#include <vector>

#include "platform/ini_text.h"
#include "platform/profile.h"
#include "platform/text_codec.h"
#include "platform/win32/system_message.h"

namespace qw {
namespace {

Status SystemFailure(const char* what, DWORD error) {
  // The system's words in UTF-16, made Shift-JIS here: the ANSI code page
  // of the system may not be 932.
  const std::u16string text = SystemMessage(error);
  const std::string message = text.empty() ? "error " + std::to_string(error) : Utf16ToSjis(text);
  return Status::Failure(what, error, message);
}

// Closes a handle when it leaves.
class HandleCloser {
 public:
  explicit HandleCloser(HANDLE h) : h_(h) {}
  ~HandleCloser() { CloseHandle(h_); }
  HandleCloser(const HandleCloser&) = delete;
  HandleCloser& operator=(const HandleCloser&) = delete;

 private:
  HANDLE h_;
};

class Win32Profiles : public Profiles {
 public:
  // The value whole: the buffer grows while the value fills it (a cut value
  // comes back as the buffer's size less one). The file is at most
  // kMaxProfileBytes when it has passed CheckFile; the bound keeps a read of
  // a larger one finite.
  std::string ReadString(const std::string& file, const std::string& section,
                         const std::string& key, const std::string& def) override {
    DWORD size = 2048;
    constexpr DWORD kMaxBuffer = static_cast<DWORD>(kMaxProfileBytes) * 4 + 2;
    while (true) {
      std::vector<char> buffer(size, '\0');
      DWORD n = GetPrivateProfileStringA(section.c_str(), key.c_str(), def.c_str(), buffer.data(),
                                         size, file.c_str());
      if (n + 1 < size || size >= kMaxBuffer) return std::string(buffer.data(), n);
      size = size * 4 > kMaxBuffer ? kMaxBuffer : size * 4;
    }
  }

  bool WriteString(const std::string& file, const std::string& section, const std::string& key,
                   const std::string& value) override {
    return WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(), file.c_str()) !=
           FALSE;
  }

  Status CheckFile(const std::string& file) override {
    std::string path;
    if (!PathOf(file, &path)) return SystemFailure("GetWindowsDirectoryA", GetLastError());
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) {
      const DWORD error = GetLastError();
      if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return Status();
      return SystemFailure("GetFileAttributesExA", error);
    }
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return NotARegularProfileFile(true);
    const int64_t size = (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    if (size > kMaxProfileBytes) return ProfileTooLarge(size);
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return Status();
      return SystemFailure("CreateFileA", error);
    }
    HandleCloser closer(h);
    if (GetFileType(h) != FILE_TYPE_DISK) return NotARegularProfileFile(false);
    std::string bytes;
    char buffer[65536];
    while (true) {
      DWORD n = 0;
      if (!ReadFile(h, buffer, sizeof buffer, &n, nullptr)) return SystemFailure("ReadFile", GetLastError());
      if (n == 0) break;
      bytes.append(buffer, n);
      if (static_cast<int64_t>(bytes.size()) > kMaxProfileBytes)
        return ProfileTooLarge(static_cast<int64_t>(bytes.size()));
    }
    return CheckProfileBytes(bytes);
  }

  int32_t LastWriteDosStamp(const std::string& file) override {
    std::string path;
    if (!PathOf(file, &path)) return -1;
    // The attributes, not an open file: a folder in the file's place has a
    // time too, and a file opened elsewhere without sharing still has one.
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return -1;
    FILETIME local{};
    if (!FileTimeToLocalFileTime(&data.ftLastWriteTime, &local)) return -1;
    WORD date = 0, time = 0;
    if (!FileTimeToDosDateTime(&local, &date, &time)) return -1;
    return static_cast<int32_t>((static_cast<uint32_t>(date) << 16) | time);
  }

 private:
  // A bare name lives in the Windows directory, as for the profile functions.
  static bool PathOf(const std::string& file, std::string* path) {
    *path = file;
    if (file.find('\\') != std::string::npos || file.find('/') != std::string::npos) return true;
    char dir[MAX_PATH] = {};
    UINT n = GetWindowsDirectoryA(dir, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return false;
    *path = std::string(dir, n) + "\\" + file;
    return true;
  }
};

}  // namespace

std::unique_ptr<Profiles> NewSystemProfiles(const std::string&) {
  return std::make_unique<Win32Profiles>();
}

}  // namespace qw
