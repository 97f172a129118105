// Placeholder bodies: declarations are final, implementations follow.
#include "mail/iso2022jp.h"

namespace qw {

std::string ShiftJisToIso2022Jp(std::string_view /*sjis*/) {
  // Not implemented yet.
  return {};
}

}  // namespace qw
