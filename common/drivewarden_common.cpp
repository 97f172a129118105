#include "common/drivewarden_common.h"

namespace qw {

std::string FixedDrives;

std::string FixedDriveLetters(Drives& drives) {
  std::string letters;
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    std::string root{letter, ':', '\\'};
    if (drives.DriveType(root) == kDriveFixed) letters += letter;
  }
  return letters;
}

void ListFixedDrives(Drives& drives) {
  FixedDrives.clear();
  FixedDrives = FixedDriveLetters(drives);
}

std::string TrimControls(const std::string& text) {
  size_t b = 0, e = text.size();
  while (b < e && static_cast<unsigned char>(text[b]) <= 32) ++b;
  while (e > b && static_cast<unsigned char>(text[e - 1]) <= 32) --e;
  return text.substr(b, e - b);
}

}  // namespace qw
