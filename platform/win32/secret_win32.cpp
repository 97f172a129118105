// Placeholder until the DPAPI storage lands (it replaces this file): a clear
// value is read as it is; a protected one cannot be read here and says so,
// and nothing is stored in clear by pretending to protect it.
#include "platform/secret.h"

namespace qw {

bool IsProtectedSecret(const std::string& stored) { return stored.rfind(kProtectedPrefix, 0) == 0; }

Status ProtectSecret(const std::string&, std::string*) {
  return Status::Failure("ProtectSecret", 0, "password protection is not available");
}

Status UnprotectSecret(const std::string& stored, std::string* clear) {
  if (IsProtectedSecret(stored)) {
    return Status::Failure("UnprotectSecret", 0, "password protection is not available");
  }
  *clear = stored;
  return Status();
}

}  // namespace qw
