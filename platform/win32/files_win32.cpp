// Whole files through the W entry points (paths are Shift-JIS inside).
#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <atomic>
#include <string>

#include "platform/ascii_text.h"
#include "platform/files.h"
#include "platform/system_error.h"
#include "platform/text_codec.h"
#include "platform/win32/temp_file.h"

namespace qw {
namespace {

std::wstring Wide(const std::string& sjis) {
  const std::u16string wide = SjisToUtf16(sjis);
  return std::wstring(wide.begin(), wide.end());
}

class HandleCloser {
 public:
  explicit HandleCloser(HANDLE h) : h_(h) {}
  ~HandleCloser() { if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_); }
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

}  // namespace

Result<std::string> ReadWholeFile(const std::string& path, size_t limit) {
  const HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return LastSystemFailure("CreateFile");
  HandleCloser closer(file);
  std::string data;
  char buffer[16384];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file, buffer, sizeof buffer, &got, nullptr)) return LastSystemFailure("ReadFile");
    if (got == 0) break;
    data.append(buffer, got);
    if (data.size() > limit)
      return Status::Failure("ReadFile", ERROR_FILE_TOO_LARGE,
                             "the file is larger than " + std::to_string(limit) + " bytes");
  }
  return data;
}

Status WriteTempFileBeside(const std::wstring& target, const std::string& bytes, std::wstring* temp) {
  static std::atomic<unsigned> serial{0};
  *temp = target + L"." + std::to_wstring(GetCurrentProcessId()) + L"." + std::to_wstring(serial.fetch_add(1)) +
          L".tmp";
  const HANDLE file = CreateFileW(temp->c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return LastSystemFailure("CreateFile");
  HandleCloser closer(file);
  auto fail = [&](Status status) {
    closer.Close();
    DeleteFileW(temp->c_str());
    return status;
  };
  size_t done = 0;
  while (done < bytes.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1 << 20));
    DWORD put = 0;
    if (!WriteFile(file, bytes.data() + done, chunk, &put, nullptr)) return fail(LastSystemFailure("WriteFile"));
    done += put;
  }
  if (!FlushFileBuffers(file)) return fail(LastSystemFailure("FlushFileBuffers"));
  if (!closer.Close()) {
    const Status status = LastSystemFailure("CloseHandle");
    DeleteFileW(temp->c_str());
    return status;
  }
  return Status();
}

Status ReplaceFileAtomically(const std::string& path, const std::string& bytes) {
  const std::wstring target = Wide(path);
  std::wstring temp;
  if (const Status written = WriteTempFileBeside(target, bytes, &temp); !written) return written;
  // A reader holding the old file open makes the replacement fail for as
  // long as it reads (a few milliseconds for a state file): a bounded number
  // of tries, about half a second in all, before the failure stands.
  bool moved = false;
  for (int attempt = 0; attempt < 20; ++attempt) {
    if (MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      moved = true;
      break;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) break;
    Sleep(25);
    SetLastError(error);
  }
  if (!moved) {
    const Status status = LastSystemFailure("MoveFileEx");
    DeleteFileW(temp.c_str());
    return status;
  }
  return Status();
}

Status RemoveFileIfPresent(const std::string& path) {
  if (DeleteFileW(Wide(path).c_str())) return {};
  const DWORD error = GetLastError();
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return {};
  return SystemFailure("DeleteFile", error);
}

Result<std::string> StateFolder(const std::string& windowsDir, const std::string& override) {
  (void)windowsDir;
  if (!override.empty()) return override;
  PWSTR programData = nullptr;
  const HRESULT hr = SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &programData);
  if (FAILED(hr)) {
    if (programData) CoTaskMemFree(programData);
    return SystemFailure("SHGetKnownFolderPath", static_cast<uint32_t>(hr));
  }
  std::wstring wide(programData);
  CoTaskMemFree(programData);
  wide += L"\\Quotawarden";
  // Only the path: the service makes and checks the folder (PrepareStateFolder),
  // a reader such as the applet never creates it.
  return Utf16ToSjis(std::u16string(wide.begin(), wide.end()));
}

bool IsAbsolutePath(const std::string& path) {
  auto separator = [](char c) { return c == '\\' || c == '/'; };
  const char drive = AsciiUpper(path.empty() ? '\0' : path[0]);
  if (path.size() >= 3 && drive >= 'A' && drive <= 'Z' && path[1] == ':' && separator(path[2])) return true;
  // "\\server\share": a server name after the two separators.
  return path.size() >= 3 && separator(path[0]) && separator(path[1]) && !separator(path[2]);
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  const char last = folder.back();
  // A trailing "\" byte may be the second byte of a Shift-JIS character;
  // only a folder that ends in a separator outside a character keeps it.
  bool endsInSeparator = last == '/';
  if (last == '\\') {
    size_t i = 0;
    while (i < folder.size() - 1) i += IsShiftJisLeadByte(static_cast<unsigned char>(folder[i])) ? 2 : 1;
    endsInSeparator = i == folder.size() - 1;
  }
  return endsInSeparator ? folder + name : folder + "\\" + name;
}

}  // namespace qw
