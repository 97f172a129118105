// QuotawardenSetup.dll: the custom actions of the MSI package, which the
// package carries in its Binary table (not installed).
//
//   CheckSettings    immediate, before anything changes: when the Windows
//                    directory has no Drivewarden.ini, makes its text from
//                    the public properties with the settings dialog's checks
//                    (MakeInstallSettings); a refused value fails the
//                    installation (1603) with the message in the log. With a
//                    settings file present the properties are ignored, and
//                    the log says so. Hands the path and text to the two
//                    actions below through their CustomActionData.
//   WriteSettings    deferred, as the system: creates the file whole in one
//                    step, never replacing one that appeared meanwhile.
//   RollbackSettings rollback: deletes the file again when it still holds
//                    what WriteSettings wrote.
//   RemoveSettings   deferred, at an uninstall with REMOVESETTINGS=1: deletes
//                    the settings file named in its CustomActionData.
//   QuoteServicePath deferred, after InstallServices: encloses the service's
//                    image path in quotes when it holds a blank and is not
//                    quoted (as /INSTALL registers it). Windows Installer
//                    quotes it itself; Wine's does not, and an unquoted
//                    "C:\Program Files\..." could start C:\Program.exe.
//   ConfigureRecovery deferred, as the system, after InstallServices: gives the
//                    service its failure actions and the failure-actions flag
//                    (RegisterRecovery, as /INSTALL does); wixl writes no
//                    MsiServiceConfig tables. A system that does not know the
//                    flag (Wine) keeps the actions, and the log says so.
//                    Removing the service takes them with it.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <string>
#include <vector>

#include "applet/install_settings.h"
#include "common/drivewarden_common.h"
#include "common/check_state.h"
#include "platform/drives.h"
#include "platform/files.h"
#include "platform/secure_file.h"
#include "platform/profile.h"
#include "platform/service_manager.h"
#include "platform/text_codec.h"
#include "service/service_install.h"

namespace {

constexpr wchar_t kPropertyData[] = L"CustomActionData";

std::wstring Wide(const std::string& sjis) {
  const std::u16string text = qw::SjisToUtf16(sjis);
  return std::wstring(text.begin(), text.end());
}

std::string Sjis(const std::wstring& wide) { return qw::Utf16ToSjis(std::u16string(wide.begin(), wide.end())); }

std::wstring Property(MSIHANDLE install, const wchar_t* name) {
  DWORD size = 0;
  wchar_t empty[1] = L"";
  UINT rc = MsiGetPropertyW(install, name, empty, &size);
  if (rc != ERROR_MORE_DATA && rc != ERROR_SUCCESS) return L"";
  std::vector<wchar_t> buffer(size + 1);
  size = static_cast<DWORD>(buffer.size());
  if (MsiGetPropertyW(install, name, buffer.data(), &size) != ERROR_SUCCESS) return L"";
  return std::wstring(buffer.data(), size);
}

// One line in the installation's log; `error` also makes it the error the
// installation ends with. The text goes in as field 1 of a "[1]" template,
// so that brackets in it are not taken for properties.
void Log(MSIHANDLE install, const std::wstring& text, bool error = false) {
  MSIHANDLE record = MsiCreateRecord(1);
  MsiRecordSetStringW(record, 0, L"[1]");
  MsiRecordSetStringW(record, 1, (L"Quotawarden: " + text).c_str());
  MsiProcessMessage(install, error ? INSTALLMESSAGE_ERROR : INSTALLMESSAGE_INFO, record);
  MsiCloseHandle(record);
}

std::wstring SystemText(DWORD code) {
  wchar_t* text = nullptr;
  FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                 code, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
  std::wstring result = L"error " + std::to_wstring(code);
  if (text) {
    result += L": ";
    result += text;
    LocalFree(text);
    while (!result.empty() && (result.back() == L'\n' || result.back() == L'\r')) result.pop_back();
  }
  return result;
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// CustomActionData of the settings actions: the path, a line feed, the text.
bool SplitData(const std::wstring& data, std::wstring* path, std::string* text) {
  const size_t cut = data.find(L'\n');
  if (cut == std::wstring::npos || cut == 0) return false;
  *path = data.substr(0, cut);
  *text = Sjis(data.substr(cut + 1));
  return true;
}

bool ReadFileBytes(const std::wstring& path, std::string* bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  bytes->clear();
  char buffer[4096];
  DWORD got = 0;
  bool ok = true;
  while ((ok = ReadFile(file, buffer, sizeof buffer, &got, nullptr)) && got > 0) bytes->append(buffer, got);
  CloseHandle(file);
  return ok;
}

}  // namespace

extern "C" __declspec(dllexport) UINT __stdcall CheckSettings(MSIHANDLE install) {
  try {
    std::wstring windows = Property(install, L"WindowsFolder");
    if (windows.empty()) {
      Log(install, L"the Windows folder is not known", true);
      return ERROR_INSTALL_FAILURE;
    }
    if (windows.back() != L'\\') windows += L'\\';
    const std::wstring path = windows + Wide(qw::kIniFileName);

    qw::InstallProperties properties;
    std::wstring given;
    std::wstring unheld;  // the first property with a character Shift-JIS cannot hold
    for (const char* name : qw::kInstallPropertyNames) {
      const std::wstring value = Property(install, Wide(name).c_str());
      properties.emplace_back(name, Sjis(value));
      if (unheld.empty() && Wide(properties.back().second) != value) unheld = Wide(name) + L"=" + value;
      if (!value.empty()) given += (given.empty() ? L"" : L" ") + Wide(name);
    }
    if (Exists(path)) {
      Log(install, path + L" exists and is kept as it is" +
                       (given.empty() ? std::wstring(L".") : L"; the properties " + given + L" are ignored."));
      return ERROR_SUCCESS;
    }
    // The settings file is Shift-JIS: a value it cannot hold would be written
    // as another value (an address with '?', another folder).
    if (!unheld.empty()) {
      Log(install, L"the settings are refused: " + unheld + L": a character outside Shift-JIS (code page 932)", true);
      return ERROR_INSTALL_FAILURE;
    }
    auto drives = qw::NewSystemDrives("");
    std::string text;
    std::string note;
    const qw::Status made = qw::MakeInstallSettings(properties, *drives, &text, &note);
    if (!made.Ok()) {
      Log(install, L"the settings are refused: " + Wide(made.Text()), true);
      return ERROR_INSTALL_FAILURE;
    }
    const std::wstring data = path + L"\n" + Wide(text);
    if (MsiSetPropertyW(install, L"WriteSettings", data.c_str()) != ERROR_SUCCESS ||
        MsiSetPropertyW(install, L"RollbackSettings", data.c_str()) != ERROR_SUCCESS ||
        MsiSetPropertyW(install, L"QwWriteSettings", L"1") != ERROR_SUCCESS) {
      Log(install, L"the settings cannot be handed to the installation script", true);
      return ERROR_INSTALL_FAILURE;
    }
    if (!note.empty()) Log(install, Wide(note));
    Log(install, path + L" will be written from " +
                     (given.empty() ? std::wstring(L"the defaults.") : L"the properties " + given + L"."));
    return ERROR_SUCCESS;
  } catch (const std::exception& e) {
    Log(install, L"checking the settings failed: " + Wide(e.what()), true);
    return ERROR_INSTALL_FAILURE;
  }
}

extern "C" __declspec(dllexport) UINT __stdcall WriteSettings(MSIHANDLE install) {
  std::wstring path;
  std::string text;
  if (!SplitData(Property(install, kPropertyData), &path, &text)) {
    Log(install, L"WriteSettings has no settings to write", true);
    return ERROR_INSTALL_FAILURE;
  }
  // The settings file's one writer: a new file flushed and moved in place in
  // one step, never over a file that appeared meanwhile.
  const std::string sjisPath = Sjis(path);
  if (Wide(sjisPath) != path) {
    Log(install, L"cannot write " + path + L": the path holds a character outside Shift-JIS (code page 932)", true);
    return ERROR_INSTALL_FAILURE;
  }
  const qw::Status written = qw::WriteProfileFile(sjisPath, text, true);
  if (!written.Ok()) {
    if (written.Kind() == qw::StatusKind::kAlreadyExists) {
      Log(install, path + L" appeared during the installation and is kept as it is.");
      return ERROR_SUCCESS;
    }
    Log(install, L"cannot write " + path + L": " + Wide(written.Describe()), true);
    return ERROR_INSTALL_FAILURE;
  }
  Log(install, L"wrote " + path);
  // Only SYSTEM and Administrators may read it (it may come to hold the
  // password); the service warns at every load when that did not hold.
  if (const qw::Status rights = qw::ProtectSettingsFile(Sjis(path)); !rights)
    Log(install, L"cannot limit the rights of " + path + L": " + Wide(rights.Describe()), true);
  return ERROR_SUCCESS;
}

// The state folder (%ProgramData%\Quotawarden) made here with its protected
// rights, so that no user can make it first; one that is a link, or whose
// rights cannot be set, fails the installation.
extern "C" __declspec(dllexport) UINT __stdcall MakeStateFolder(MSIHANDLE install) {
  try {
    const qw::Result<std::string> found = qw::StateFolder("", "");
    const std::string folder = found.value_or("");
    qw::Status status = found.status();
    std::vector<std::string> repaired;
    if (status) status = qw::PrepareStateFolder(folder, qw::kStateFileName, &repaired);
    if (!status) {
      Log(install, L"the state folder cannot be made safe: " + Wide(status.Describe()), true);
      return ERROR_INSTALL_FAILURE;
    }
    for (const std::string& line : repaired) Log(install, Wide(line));
    Log(install, L"the state folder " + Wide(folder) + L" is ready");
    return ERROR_SUCCESS;
  } catch (const std::exception& e) {
    Log(install, L"making the state folder failed: " + Wide(e.what()), true);
    return ERROR_INSTALL_FAILURE;
  }
}

extern "C" __declspec(dllexport) UINT __stdcall RollbackSettings(MSIHANDLE install) {
  std::wstring path;
  std::string text, bytes;
  if (!SplitData(Property(install, kPropertyData), &path, &text)) return ERROR_SUCCESS;
  // Only the file this installation wrote: one written by someone else in
  // the meantime stays.
  if (ReadFileBytes(path, &bytes) && bytes == text) {
    if (DeleteFileW(path.c_str()))
      Log(install, L"removed " + path + L" again");
    else
      Log(install, L"cannot remove " + path + L": " + SystemText(GetLastError()));
  }
  return ERROR_SUCCESS;
}

extern "C" __declspec(dllexport) UINT __stdcall RemoveSettings(MSIHANDLE install) {
  const std::wstring path = Property(install, kPropertyData);
  if (path.empty()) {
    Log(install, L"RemoveSettings has no file to remove", true);
    return ERROR_INSTALL_FAILURE;
  }
  if (!DeleteFileW(path.c_str())) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) {
      Log(install, path + L" is not there.");
      return ERROR_SUCCESS;
    }
    Log(install, L"cannot remove " + path + L": " + SystemText(error), true);
    return ERROR_INSTALL_FAILURE;
  }
  Log(install, L"removed " + path + L" (REMOVESETTINGS=1)");
  return ERROR_SUCCESS;
}

extern "C" __declspec(dllexport) UINT __stdcall QuoteServicePath(MSIHANDLE install) {
  const std::wstring name = Wide(qw::kServiceName);
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!manager) {
    Log(install, L"cannot open the Service Control Manager: " + SystemText(GetLastError()), true);
    return ERROR_INSTALL_FAILURE;
  }
  SC_HANDLE service = OpenServiceW(manager, name.c_str(), SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG);
  if (!service) {
    const DWORD error = GetLastError();
    CloseServiceHandle(manager);
    Log(install, L"cannot open the service " + name + L": " + SystemText(error), true);
    return ERROR_INSTALL_FAILURE;
  }
  UINT result = ERROR_SUCCESS;
  DWORD needed = 0;
  QueryServiceConfigW(service, nullptr, 0, &needed);
  std::vector<BYTE> buffer(needed ? needed : sizeof(QUERY_SERVICE_CONFIGW));
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (!QueryServiceConfigW(service, config, static_cast<DWORD>(buffer.size()), &needed)) {
    Log(install, L"cannot read the service's configuration: " + SystemText(GetLastError()), true);
    result = ERROR_INSTALL_FAILURE;
  } else {
    const std::u16string path(reinterpret_cast<const char16_t*>(config->lpBinaryPathName));
    const std::u16string quoted = qw::QuoteImagePath(path);
    if (quoted != path) {
      if (ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                               reinterpret_cast<LPCWSTR>(quoted.c_str()), nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr)) {
        Log(install, L"the service's image path is now quoted");
      } else {
        Log(install, L"cannot quote the service's image path: " + SystemText(GetLastError()), true);
        result = ERROR_INSTALL_FAILURE;
      }
    }
  }
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return result;
}

extern "C" __declspec(dllexport) UINT __stdcall ConfigureRecovery(MSIHANDLE install) {
  auto manager = qw::NewSystemServiceManager();
  std::string note;
  const qw::Status set = qw::RegisterRecovery(*manager, qw::kServiceName, &note);
  if (!set) {
    Log(install, L"cannot give the service its recovery: " + Wide(set.Describe()), true);
    return ERROR_INSTALL_FAILURE;
  }
  Log(install, note.empty() ? L"the service restarts after a failure (1, 1, then 5 minutes)" : Wide(note));
  return ERROR_SUCCESS;
}
