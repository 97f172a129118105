#include "platform/system_error.h"

#include <utility>

namespace qw {

Status SystemFailure(std::string what, uint32_t code) {
  return Status::Failure(std::move(what), code, SystemErrorText(code));
}

}  // namespace qw
