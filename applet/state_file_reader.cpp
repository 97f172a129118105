// The status page's reader of the service's state file. Kept apart from the
// model so the model's tests run on fakes.
#include "applet/status_model.h"
#include "platform/files.h"

namespace qw {

StateLoad ReadStateFile(CheckState* state, std::string* reason) {
  std::string folder;
  if (Status found = StateFolder("", "", &folder); !found) {
    *reason = found.Describe();
    return StateLoad::Damaged;
  }
  std::string path = JoinPath(folder, kStateFileName);
  std::string text;
  if (Status read = ReadWholeFile(path, &text, 64 * 1024); !read) {
    // ERROR_FILE_NOT_FOUND / ERROR_PATH_NOT_FOUND (ENOENT is 2 as well).
    if (read.Code() == 2 || read.Code() == 3) return StateLoad::Missing;
    *reason = path + ": " + read.Describe();
    return StateLoad::Damaged;
  }
  if (!ParseCheckState(text, state)) {
    *reason = path + ": 状態ファイルの形式ではありません";
    return StateLoad::Damaged;
  }
  return StateLoad::Loaded;
}

}  // namespace qw
