#include "common/drivewarden_common.h"

namespace qw {

std::string FixedDriveLetters(Drives& drives) {
  std::string letters;
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    std::string root{letter, ':', '\\'};
    if (drives.DriveType(root) == kDriveFixed) letters += letter;
  }
  return letters;
}

}  // namespace qw
