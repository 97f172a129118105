// install_probe: what the installation tests ask of an installed system,
// answered through the Windows API the way Event Viewer and Explorer do.
//
//   install_probe messages SOURCE...   for each event source of the
//       Application log: TypesSupported is 7, EventMessageFile names a file
//       that loads, and every ID the service reports (EventMessageId of each
//       type with 5610 and 0) formats with FormatMessageW and one insert to
//       exactly the insert: no preamble, no trailing line end.
//   install_probe version FILE         prints the file's FileVersion (the
//       fixed version resource as a.b.c.d).
//
// One line per finding on standard output (ASCII); exit 0 when all held,
// 1 when one did not, 2 for a wrong command line.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/drivewarden_common.h"
#include "platform/event_log.h"

namespace {

// An insert with what entries hold: Japanese text, a percent sign, a line
// end and a would-be insert sequence, none of which FormatMessageW may touch.
const wchar_t kInsert[] = L"\u30fb C \u30c9\u30e9\u30a4\u30d6\u306e\u7a7a\u304d\u9818\u57df: 10% %2\r\n\u6b21\u306e\u884c";

std::wstring ReadString(HKEY key, const wchar_t* name, DWORD* type) {
  DWORD size = 0;
  if (RegQueryValueExW(key, name, nullptr, type, nullptr, &size) != ERROR_SUCCESS) return L"";
  std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1, L'\0');
  if (RegQueryValueExW(key, name, nullptr, type, reinterpret_cast<BYTE*>(buffer.data()), &size) != ERROR_SUCCESS)
    return L"";
  return std::wstring(buffer.data());
}

std::wstring Expand(const std::wstring& text) {
  std::vector<wchar_t> buffer(32768);
  const DWORD n = ExpandEnvironmentStringsW(text.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
  if (n == 0 || n > buffer.size()) return text;
  return std::wstring(buffer.data());
}

bool CheckSource(const std::wstring& source) {
  const std::wstring path = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + source;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
    std::printf("FAIL %ls: no key\n", source.c_str());
    return false;
  }
  bool ok = true;
  DWORD types = 0, size = sizeof types, kind = 0;
  if (RegQueryValueExW(key, L"TypesSupported", nullptr, &kind, reinterpret_cast<BYTE*>(&types), &size) !=
          ERROR_SUCCESS ||
      kind != REG_DWORD || types != 7) {
    std::printf("FAIL %ls: TypesSupported is not the DWORD 7\n", source.c_str());
    ok = false;
  }
  DWORD fileKind = 0;
  const std::wstring file = ReadString(key, L"EventMessageFile", &fileKind);
  RegCloseKey(key);
  if (file.empty() || (fileKind != REG_EXPAND_SZ && fileKind != REG_SZ)) {
    std::printf("FAIL %ls: no EventMessageFile\n", source.c_str());
    return false;
  }
  const std::wstring expanded = Expand(file);
  HMODULE module = LoadLibraryExW(expanded.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (!module) {
    std::printf("FAIL %ls: EventMessageFile %ls does not load (%lu)\n", source.c_str(), expanded.c_str(),
                GetLastError());
    return false;
  }
  std::printf("%ls: EventMessageFile %ls\n", source.c_str(), expanded.c_str());
  const qw::EventType types3[] = {qw::EventType::Information, qw::EventType::Warning, qw::EventType::Error};
  const uint32_t ids[] = {qw::kCheckEventId, 0};
  for (qw::EventType type : types3) {
    for (uint32_t id : ids) {
      const DWORD full = qw::EventMessageId(type, id);
      DWORD_PTR args[1] = {reinterpret_cast<DWORD_PTR>(kInsert)};
      wchar_t* text = nullptr;
      const DWORD n = FormatMessageW(
          FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY | FORMAT_MESSAGE_ALLOCATE_BUFFER, module,
          full, 0, reinterpret_cast<LPWSTR>(&text), 0, reinterpret_cast<va_list*>(args));
      if (n == 0) {
        std::printf("FAIL %ls: 0x%08lX (%s %u) not formatted (%lu)\n", source.c_str(), full,
                    qw::EventTypeName(type), id, GetLastError());
        ok = false;
        continue;
      }
      const std::wstring got(text, n);
      LocalFree(text);
      if (got != kInsert) {
        std::printf("FAIL %ls: 0x%08lX (%s %u) formats to %u characters, not the insert alone\n",
                    source.c_str(), full, qw::EventTypeName(type), id, static_cast<unsigned>(got.size()));
        ok = false;
      } else {
        std::printf("%ls: 0x%08lX (%s %u) ok\n", source.c_str(), full, qw::EventTypeName(type), id);
      }
    }
  }
  FreeLibrary(module);
  return ok;
}

int PrintVersion(const std::wstring& file) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(file.c_str(), &ignored);
  std::vector<BYTE> data(size ? size : 1);
  VS_FIXEDFILEINFO* info = nullptr;
  UINT length = 0;
  if (size == 0 || !GetFileVersionInfoW(file.c_str(), 0, size, data.data()) ||
      !VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &length) || !info) {
    std::printf("FAIL %ls: no version resource (%lu)\n", file.c_str(), GetLastError());
    return 1;
  }
  std::printf("%u.%u.%u.%u\n", HIWORD(info->dwFileVersionMS), LOWORD(info->dwFileVersionMS),
              HIWORD(info->dwFileVersionLS), LOWORD(info->dwFileVersionLS));
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc >= 3 && std::wstring(argv[1]) == L"messages") {
    bool ok = true;
    for (int i = 2; i < argc; ++i) ok = CheckSource(argv[i]) && ok;
    return ok ? 0 : 1;
  }
  if (argc == 3 && std::wstring(argv[1]) == L"version") return PrintVersion(argv[2]);
  std::fprintf(stderr, "usage: install_probe messages SOURCE... | install_probe version FILE\n");
  return 2;
}
