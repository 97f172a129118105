// POSIX has no machine-scope protection that the service and the editor of
// the file would share: the value stays as the file holds it, and the host
// warns when the file is readable by others.
#include <cstring>

#include "platform/secret.h"

namespace qw {

bool IsProtectedSecret(const std::string& stored) {
  return stored.compare(0, std::strlen(kProtectedPrefix), kProtectedPrefix) == 0;
}

Status ProtectSecret(const std::string& clear, std::string* stored) {
  *stored = clear;
  return Status();
}

Status UnprotectSecret(const std::string& stored, std::string* clear) {
  *clear = stored;
  return Status();
}

}  // namespace qw
