// POSIX keeps a secret as the settings file holds it; the file's own
// permissions protect it (the host warns when others can read it).
#include "platform/secret.h"

namespace qw {

bool IsProtectedSecret(const std::string& stored) { return stored.rfind(kProtectedPrefix, 0) == 0; }

Status ProtectSecret(const std::string& clear, std::string* stored) {
  *stored = clear;
  return Status();
}

Status UnprotectSecret(const std::string& stored, std::string* clear) {
  if (IsProtectedSecret(stored)) {
    return Status::Failure("UnprotectSecret", 0, "保護されたパスワードは Windows でしか読めません");
  }
  *clear = stored;
  return Status();
}

}  // namespace qw
