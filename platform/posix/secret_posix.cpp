// POSIX has no machine-scope protection that the service and the editor of
// the file would share: the value stays as the file holds it, and the host
// warns when the file is readable by others. A value behind the prefix was
// protected on Windows (a file copied from there): it cannot be read here,
// and sending its base64 as the password would only earn a refused login
// with a misleading reason, so it fails with its own.
#include <cstring>

#include "platform/secret.h"

namespace qw {
namespace {

constexpr const char* kMsgWindowsOnly =
    "Windows のデータ保護 (DPAPI) で保護された値は、このホストでは読み取れません。"
    "パスワードをそのまま設定し直してください";
constexpr const char* kMsgPrefixed =
    "保護の目印 (dpapi:) で始まる値は、このホストでは保存できません";

}  // namespace

bool IsProtectedSecret(const std::string& stored) {
  return stored.compare(0, std::strlen(kProtectedPrefix), kProtectedPrefix) == 0;
}

Result<std::string> ProtectSecret(const std::string& clear) {
  // Stored as it is, it would read back as a protected value.
  if (IsProtectedSecret(clear)) return Status::Failure("ProtectSecret", 0, kMsgPrefixed);
  return clear;
}

Result<std::string> UnprotectSecret(const std::string& stored) {
  if (IsProtectedSecret(stored)) return Status::Failure("UnprotectSecret", 0, kMsgWindowsOnly);
  return stored;
}

}  // namespace qw
