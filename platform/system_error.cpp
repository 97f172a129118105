#include "platform/system_error.h"

#include <utility>

#ifndef _WIN32
#include <cerrno>
#include <cstring>
#endif

namespace qw {

StatusKind WindowsErrorKind(uint32_t code) {
  switch (code) {
    case 2:     // ERROR_FILE_NOT_FOUND
    case 3:     // ERROR_PATH_NOT_FOUND
    case 15:    // ERROR_INVALID_DRIVE
    case 53:    // ERROR_BAD_NETPATH
    case 1060:  // ERROR_SERVICE_DOES_NOT_EXIST
      return StatusKind::kNotFound;
    case 5:     // ERROR_ACCESS_DENIED
      return StatusKind::kAccessDenied;
    case 80:    // ERROR_FILE_EXISTS
    case 183:   // ERROR_ALREADY_EXISTS
      return StatusKind::kAlreadyExists;
    case 258:   // WAIT_TIMEOUT
    case 1053:  // ERROR_SERVICE_REQUEST_TIMEOUT
    case 1460:  // ERROR_TIMEOUT
      return StatusKind::kTimedOut;
    case 995:   // ERROR_OPERATION_ABORTED
    case 1223:  // ERROR_CANCELLED
      return StatusKind::kCancelled;
    default:
      return StatusKind::kOther;
  }
}

Status SystemFailure(std::string what, uint32_t code) {
  return Status::Failure(std::move(what), code, SystemErrorText(code), WindowsErrorKind(code));
}

#ifndef _WIN32
StatusKind ErrnoKind(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return StatusKind::kNotFound;
    case EACCES:
    case EPERM:
      return StatusKind::kAccessDenied;
    case EEXIST:
      return StatusKind::kAlreadyExists;
    case ETIMEDOUT:
      return StatusKind::kTimedOut;
    case ECANCELED:
      return StatusKind::kCancelled;
    default:
      return StatusKind::kOther;
  }
}

Status ErrnoFailure(const char* what, int error) {
  return Status::Failure(what, error, std::strerror(error), ErrnoKind(error));
}
#endif

}  // namespace qw
