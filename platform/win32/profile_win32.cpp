// Profile files on Windows: the file's bytes read once through the W entry
// points, the profile rules applied to them in memory (the same code as on
// POSIX), and writes that replace the whole file with ReplaceFileW.
#include <windows.h>

#include <string>

#include "platform/ini_text.h"
#include "platform/profile.h"
#include "platform/system_error.h"
#include "platform/text_codec.h"
#include "platform/win32/temp_file.h"

namespace qw {
namespace {

std::wstring Wide(const std::string& sjis) {
  const std::u16string wide = SjisToUtf16(sjis);
  return std::wstring(wide.begin(), wide.end());
}

// Closes a handle when it leaves.
class HandleCloser {
 public:
  explicit HandleCloser(HANDLE h) : h_(h) {}
  ~HandleCloser() {
    if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
  }
  HandleCloser(const HandleCloser&) = delete;
  HandleCloser& operator=(const HandleCloser&) = delete;
  // Closes now; false (with the last error set) when closing failed.
  bool Close() {
    const HANDLE h = h_;
    h_ = INVALID_HANDLE_VALUE;
    return CloseHandle(h) != 0;
  }

 private:
  HANDLE h_;
};

bool IsMissing(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

// The bytes of the file at `path`; `missing` set (and success) when there is
// none. A folder, a device or a file above kMaxProfileBytes fails.
Status ReadBytes(const std::wstring& path, std::string* bytes, bool* missing) {
  *missing = false;
  bytes->clear();
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
    const DWORD error = GetLastError();
    if (IsMissing(error)) {
      *missing = true;
      return Status();
    }
    return SystemFailure("GetFileAttributesEx", error);
  }
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return NotARegularProfileFile(true);
  const int64_t size = (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  if (size > kMaxProfileBytes) return ProfileTooLarge(size);
  // Shared for writing and deleting: a writer replacing the file meanwhile
  // is not held up, and this handle keeps reading the version it opened.
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (IsMissing(error)) {
      *missing = true;
      return Status();
    }
    return SystemFailure("CreateFile", error);
  }
  HandleCloser closer(h);
  if (GetFileType(h) != FILE_TYPE_DISK) return NotARegularProfileFile(false);
  char buffer[65536];
  while (true) {
    DWORD n = 0;
    if (!ReadFile(h, buffer, sizeof buffer, &n, nullptr)) return LastSystemFailure("ReadFile");
    if (n == 0) break;
    bytes->append(buffer, n);
    // A file that grows meanwhile is refused, not read without end.
    if (static_cast<int64_t>(bytes->size()) > kMaxProfileBytes)
      return ProfileTooLarge(static_cast<int64_t>(bytes->size()));
  }
  return Status();
}

class Win32Profiles : public Profiles {
 public:
  Result<ProfileSnapshot> ReadSnapshot(const std::string& file) override {
    std::wstring path;
    if (Status located = PathOf(file, &path); !located.Ok()) return located;
    std::string bytes;
    bool missing = false;
    Status read = ReadBytes(path, &bytes, &missing);
    if (!read.Ok()) return read;
    if (missing) return ProfileSnapshot();
    Status checked = CheckProfileBytes(bytes);
    if (!checked.Ok()) return checked;
    return ProfileSnapshot::OfBytes(std::move(bytes));
  }

  Status WriteSnapshot(const std::string& file, const ProfileSnapshot& snapshot) override {
    std::wstring path;
    if (Status located = PathOf(file, &path); !located.Ok()) return located;
    return WriteProfileFile(Utf16ToSjis(std::u16string(path.begin(), path.end())), snapshot.Bytes());
  }

 private:
  // A bare name lives in the Windows directory, as for the profile functions.
  static Status PathOf(const std::string& file, std::wstring* path) {
    *path = Wide(file);
    if (file.find('\\') != std::string::npos || file.find('/') != std::string::npos) return Status();
    wchar_t dir[MAX_PATH] = {};
    const UINT n = GetWindowsDirectoryW(dir, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return LastSystemFailure("GetWindowsDirectory");
    *path = std::wstring(dir, n) + L"\\" + *path;
    return Status();
  }
};

// A reader holding the old file open without FILE_SHARE_DELETE makes a
// replacement fail for as long as it reads (milliseconds for a settings
// file): a bounded number of tries, about half a second in all.
bool Retryable(DWORD error) {
  return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
         error == ERROR_UNABLE_TO_REMOVE_REPLACED || error == ERROR_UNABLE_TO_MOVE_REPLACEMENT;
}

}  // namespace

Status WriteProfileFile(const std::string& sjisPath, const std::string& bytes, bool createOnly) {
  const std::wstring target = Wide(sjisPath);
  const DWORD attributes = GetFileAttributesW(target.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return NotARegularProfileFile(true);
    if (createOnly) return Status::Failure("CreateFile", ERROR_FILE_EXISTS, sjisPath + " exists already",
                                         StatusKind::kAlreadyExists);
  }
  std::wstring temp;
  if (const Status written = WriteTempFileBeside(target, bytes, &temp); !written) return written;

  if (createOnly) {
    // Without MOVEFILE_REPLACE_EXISTING: a file that came meanwhile stays.
    if (MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH)) return Status();
    const DWORD error = GetLastError();
    DeleteFileW(temp.c_str());
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)
      return Status::Failure("MoveFileEx", error, sjisPath + " exists already", StatusKind::kAlreadyExists);
    return SystemFailure("MoveFileEx", error);
  }

  DWORD error = ERROR_SUCCESS;
  const char* step = "ReplaceFile";
  for (int attempt = 0; attempt < 20; ++attempt) {
    // ReplaceFileW gives the new file the replaced one's security
    // descriptor (and attributes); a file that is not there (yet, or any
    // more) is a new one, moved in place.
    step = "ReplaceFile";
    if (ReplaceFileW(target.c_str(), temp.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr))
      return Status();
    error = GetLastError();
    if (IsMissing(error)) {
      step = "MoveFileEx";
      if (MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return Status();
      error = GetLastError();
    }
    if (!Retryable(error)) break;
    Sleep(25);
  }
  DeleteFileW(temp.c_str());
  return SystemFailure(step, error);
}

std::unique_ptr<Profiles> NewSystemProfiles(const std::string&) {
  return std::make_unique<Win32Profiles>();
}

}  // namespace qw
