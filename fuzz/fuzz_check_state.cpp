// The state file's reader takes any text: a text it accepts is written back
// the same way and reads back to the same state (so a pending alert mail and
// the last delivered alert survive a rewrite byte for byte), and a text it
// refuses never half-fills the state.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/check_state.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  qw::CheckState state;
  state.outcome = "untouched";
  if (!qw::ParseCheckState(text, &state)) {
    if (state.outcome != "untouched" || state.pending || !state.drives.empty()) std::abort();
    return 0;
  }
  const std::string written = qw::FormatCheckState(state);
  qw::CheckState again;
  if (!qw::ParseCheckState(written, &again)) std::abort();
  if (qw::FormatCheckState(again) != written) std::abort();
  if (again.pendingReport != state.pendingReport || again.pendingAttempts != state.pendingAttempts ||
      again.alertShort != state.alertShort || again.alertOpen != state.alertOpen)
    std::abort();
  return 0;
}
