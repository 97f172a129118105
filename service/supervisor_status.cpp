#include "service/supervisor_status.h"

#include "platform/text_codec.h"

namespace qw {

std::string SupervisorStatusLine(const CheckState& state, bool succeeded,
                                 const std::function<std::string(const std::string&)>& mask) {
  std::string line = "Last check " + state.checkedLocal;
  const bool ran = state.outcome == "information" || state.outcome == "warning";
  if (!ran) {
    std::string error = SjisToUtf8(mask ? mask(state.outcome) : state.outcome);
    const size_t end = error.find_first_of("\r\n");
    if (end != std::string::npos) error.erase(end);
    if (error.size() > kSupervisorErrorBytes) {
      size_t cut = kSupervisorErrorBytes;
      while (cut > 0 && (static_cast<unsigned char>(error[cut]) & 0xC0) == 0x80) --cut;  // not inside a character
      error = error.substr(0, cut) + "...";
    }
    return line + " failed: " + error;
  }
  size_t below = 0;
  std::string letters;
  for (const DriveState& drive : state.drives) {
    if (!drive.below) continue;
    ++below;
    letters += std::string(letters.empty() ? "" : " ") + drive.letter + ":";
  }
  line += ": " + state.outcome + ", " + std::to_string(below) + " of " + std::to_string(state.drives.size()) +
          " drives below threshold";
  if (below > 0) line += " (" + letters + ")";
  if (state.mailAttempted) line += state.mailDelivered ? "; alert mail delivered" : "; alert mail failed";
  if (state.pending) line += "; a mail waits for its retry";
  if (!succeeded) line += "; the settings file did not load (the last good settings were used)";
  return line;
}

}  // namespace qw
