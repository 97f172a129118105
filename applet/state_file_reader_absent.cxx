// Built in place of state_file_reader.cpp while the tree holds no reader of
// the state file's text (common/check_state.cpp): the status page then says
// that it cannot read the state, instead of the applet failing to link.
#include "applet/status_model.h"

namespace qw {

StateLoad ReadStateFile(CheckState*, std::string* reason) {
  *reason = "この版のコントロール パネルは状態ファイルを読めません";
  return StateLoad::Damaged;
}

}  // namespace qw
