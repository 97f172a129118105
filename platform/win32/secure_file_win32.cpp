// Security descriptors of files and folders through the W entry points.
// What is applied is read back: a system that accepts a descriptor and keeps
// another (Wine derives one from the Unix mode) is told apart from one that
// keeps it.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <memory>
#include <string>

#include "platform/secure_file.h"
#include "platform/system_error.h"
#include "platform/text_codec.h"

namespace qw {
namespace {

std::wstring Wide(const std::string& sjis) {
  const std::u16string wide = SjisToUtf16(sjis);
  return std::wstring(wide.begin(), wide.end());
}

struct LocalDeleter {
  void operator()(void* p) const { LocalFree(p); }
};
using LocalPtr = std::unique_ptr<void, LocalDeleter>;

std::string SidText(PSID sid) {
  if (!sid) return "";
  LPWSTR text = nullptr;
  if (!ConvertSidToStringSidW(sid, &text)) return "";
  const std::wstring wide(text);
  LocalFree(text);
  return std::string(wide.begin(), wide.end());  // SIDs are ASCII
}

Status Describe(PSECURITY_DESCRIPTOR descriptor, SecurityDescription* out) {
  *out = SecurityDescription();
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted)) return LastSystemFailure("GetSecurityDescriptorOwner");
  out->owner = SidText(owner);
  BOOL present = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted))
    return LastSystemFailure("GetSecurityDescriptorDacl");
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (!GetSecurityDescriptorControl(descriptor, &control, &revision))
    return LastSystemFailure("GetSecurityDescriptorControl");
  out->protectedDacl = (control & SE_DACL_PROTECTED) != 0;
  out->hasDacl = present && dacl != nullptr;
  if (!out->hasDacl) return Status();
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* raw = nullptr;
    if (!GetAce(dacl, i, &raw)) return LastSystemFailure("GetAce");
    const ACE_HEADER* header = static_cast<const ACE_HEADER*>(raw);
    AccessEntry entry;
    entry.flags = header->AceFlags;
    if (header->AceType == ACCESS_ALLOWED_ACE_TYPE) {
      const auto* ace = static_cast<const ACCESS_ALLOWED_ACE*>(raw);
      entry.allow = true;
      entry.mask = ace->Mask;
      entry.sid = SidText(const_cast<DWORD*>(&ace->SidStart));
    } else if (header->AceType == ACCESS_DENIED_ACE_TYPE) {
      const auto* ace = static_cast<const ACCESS_DENIED_ACE*>(raw);
      entry.allow = false;
      entry.mask = ace->Mask;
      entry.sid = SidText(const_cast<DWORD*>(&ace->SidStart));
    } else {
      continue;  // audit, object and callback entries grant nothing here
    }
    out->entries.push_back(entry);
  }
  return Status();
}

Status Attributes(const std::string& path, DWORD* attributes) {
  *attributes = GetFileAttributesW(Wide(path).c_str());
  if (*attributes == INVALID_FILE_ATTRIBUTES) return LastSystemFailure("GetFileAttributes");
  return Status();
}

Status ReparseFailure(const std::string& path) {
  return Status::Failure("GetFileAttributes", 0,
                         path + " はジャンクションまたはシンボリック リンクです。たどらずに使いません");
}

// Resets `path` to `wanted` when it lets others change it, and checks that
// the reset held.
Status Secure(const std::string& path, const SecurityDescription& wanted, std::vector<std::string>* repaired) {
  const std::string self = ProcessUserSid();
  Result<SecurityDescription> read = ReadSecurity(path);
  if (!read) return read.status();
  SecurityDescription found = std::move(*read);
  auto problem = [&](const SecurityDescription& d) -> std::string {
    if (!TrustedOwner(d, self)) return "所有者 " + d.owner;
    const std::vector<std::string> writers = OtherWriters(d, self);
    if (!writers.empty()) return "変更できるアカウント " + GroupNames(writers);
    return "";
  };
  const std::string before = problem(found);
  if (before.empty()) return Status();
  if (Status applied = ApplySecurity(path, wanted); !applied)
    return Status::Failure("SetNamedSecurityInfo", applied.Code(),
                           path + " の権限 (" + before + ") を直せません: " + applied.Text());
  read = ReadSecurity(path);
  if (!read) return read.status();
  found = std::move(*read);
  const std::string after = problem(found);
  if (!after.empty())
    return Status::Failure("SetNamedSecurityInfo", 0, path + " の権限 (" + after + ") を直せません: 設定した権限が保たれません");
  repaired->push_back(path + " の権限 (" + before + ") を SYSTEM と Administrators だけが変更できるように直しました");
  return Status();
}

}  // namespace

std::string ProcessUserSid() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return "";
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::string sid;
  if (size > 0) {
    std::unique_ptr<BYTE[]> buffer(new BYTE[size]);
    if (GetTokenInformation(token, TokenUser, buffer.get(), size, &size))
      sid = SidText(reinterpret_cast<TOKEN_USER*>(buffer.get())->User.Sid);
  }
  CloseHandle(token);
  return sid;
}

Result<SecurityDescription> ParseSddl(const std::string& sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(Wide(sddl).c_str(), SDDL_REVISION_1, &descriptor, nullptr))
    return LastSystemFailure("ConvertStringSecurityDescriptorToSecurityDescriptor");
  LocalPtr owned(descriptor);
  SecurityDescription description;
  if (Status described = Describe(descriptor, &description); !described) return described;
  return description;
}

Result<SecurityDescription> ReadSecurity(const std::string& path) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD rc = GetNamedSecurityInfoW(Wide(path).c_str(), SE_FILE_OBJECT,
                                         OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                         nullptr, nullptr, &descriptor);
  if (rc != ERROR_SUCCESS) return SystemFailure("GetNamedSecurityInfo", rc);
  LocalPtr owned(descriptor);
  SecurityDescription description;
  if (Status described = Describe(descriptor, &description); !described) return described;
  return description;
}

Status ApplySecurity(const std::string& path, const SecurityDescription& description) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(Wide(ToSddl(description)).c_str(), SDDL_REVISION_1,
                                                            &descriptor, nullptr))
    return LastSystemFailure("ConvertStringSecurityDescriptorToSecurityDescriptor");
  LocalPtr owned(descriptor);
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  PSID owner = nullptr;
  if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)) return LastSystemFailure("GetSecurityDescriptorDacl");
  if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted)) return LastSystemFailure("GetSecurityDescriptorOwner");
  SECURITY_INFORMATION what = DACL_SECURITY_INFORMATION;
  what |= description.protectedDacl ? PROTECTED_DACL_SECURITY_INFORMATION : UNPROTECTED_DACL_SECURITY_INFORMATION;
  if (owner) what |= OWNER_SECURITY_INFORMATION;
  std::wstring wide = Wide(path);
  DWORD rc = SetNamedSecurityInfoW(wide.data(), SE_FILE_OBJECT, what, owner, nullptr, dacl, nullptr);
  if (rc == ERROR_INVALID_OWNER && owner) {
    // An account that may not give the object to Administrators still sets
    // the rights; the owner is then checked by the caller.
    rc = SetNamedSecurityInfoW(wide.data(), SE_FILE_OBJECT, what & ~OWNER_SECURITY_INFORMATION, nullptr, nullptr,
                               dacl, nullptr);
  }
  if (rc != ERROR_SUCCESS) return SystemFailure("SetNamedSecurityInfo", rc);
  return Status();
}

Status ProtectSettingsFile(const std::string& path) { return ApplySecurity(path, SettingsFileSecurity()); }

Result<std::vector<std::string>> SecretFileReaders(const std::string& path) {
  if (GetFileAttributesW(Wide(path).c_str()) == INVALID_FILE_ATTRIBUTES) {
    const Status attributes = LastSystemFailure("GetFileAttributes");
    if (attributes.IsNotFound()) return std::vector<std::string>();
    return attributes;
  }
  const Result<SecurityDescription> found = ReadSecurity(path);
  if (!found) return found.status();
  return PublicReaders(*found);
}

std::string SettingsFilePath(const std::string&, const std::string& file) {
  wchar_t dir[MAX_PATH] = {};
  const UINT n = GetWindowsDirectoryW(dir, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return file;
  const std::u16string wide(reinterpret_cast<const char16_t*>(dir), n);
  return Utf16ToSjis(wide) + "\\" + file;
}

Status PrepareStateFolder(const std::string& folder, const std::string& stateFile,
                          std::vector<std::string>* repaired) {
  repaired->clear();
  const std::wstring wide = Wide(folder);
  DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) return SystemFailure("GetFileAttributes", error);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(Wide(ToSddl(StateFolderSecurity())).c_str(),
                                                              SDDL_REVISION_1, &descriptor, nullptr))
      return LastSystemFailure("ConvertStringSecurityDescriptorToSecurityDescriptor");
    LocalPtr owned(descriptor);
    SECURITY_ATTRIBUTES security{};
    security.nLength = sizeof security;
    security.lpSecurityDescriptor = descriptor;
    BOOL made = CreateDirectoryW(wide.c_str(), &security);
    DWORD madeError = made ? ERROR_SUCCESS : GetLastError();
    if (madeError == ERROR_INVALID_OWNER) {
      // An account that may not name Administrators as owner makes it its
      // own; the rights are the same.
      SecurityDescription ownerless = StateFolderSecurity();
      ownerless.owner.clear();
      PSECURITY_DESCRIPTOR second = nullptr;
      if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(Wide(ToSddl(ownerless)).c_str(), SDDL_REVISION_1,
                                                                &second, nullptr))
        return LastSystemFailure("ConvertStringSecurityDescriptorToSecurityDescriptor");
      LocalPtr ownedSecond(second);
      security.lpSecurityDescriptor = second;
      made = CreateDirectoryW(wide.c_str(), &security);
      madeError = made ? ERROR_SUCCESS : GetLastError();
    }
    if (!made && madeError != ERROR_ALREADY_EXISTS) return SystemFailure("CreateDirectory", madeError);
    if (Status read = Attributes(folder, &attributes); !read) return read;
  }
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return ReparseFailure(folder);
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
    return Status::Failure("GetFileAttributes", ERROR_DIRECTORY, folder + " はフォルダーではありません");
  if (Status secured = Secure(folder, StateFolderSecurity(), repaired); !secured) return secured;

  const std::string file = folder + "\\" + stateFile;
  const DWORD fileAttributes = GetFileAttributesW(Wide(file).c_str());
  if (fileAttributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return Status();
    return SystemFailure("GetFileAttributes", error);
  }
  if (fileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return ReparseFailure(file);
  return Secure(file, StateFileSecurity(), repaired);
}

}  // namespace qw
