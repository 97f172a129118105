// The status page's reader of the service's state file. Kept apart from the
// model so the model's tests run on fakes.
#include "applet/status_model.h"
#include "platform/files.h"

namespace qw {

StateLoad ReadStateFile(CheckState* state, std::string* reason) {
  const Result<std::string> folder = StateFolder("", "");
  if (!folder) {
    *reason = folder.status().Describe();
    return StateLoad::Damaged;
  }
  const std::string path = JoinPath(*folder, kStateFileName);
  const Result<std::string> text = ReadWholeFile(path, 64 * 1024);
  if (!text) {
    if (text.status().IsNotFound()) return StateLoad::Missing;
    *reason = path + ": " + text.status().Describe();
    return StateLoad::Damaged;
  }
  if (!ParseCheckState(*text, state)) {
    *reason = path + ": 状態ファイルの形式ではありません";
    return StateLoad::Damaged;
  }
  return StateLoad::Loaded;
}

StateLoad ReadHistoryFile(VolumeHistory* history, std::string* reason) {
  const Result<std::string> folder = StateFolder("", "");
  if (!folder) {
    *reason = folder.status().Describe();
    return StateLoad::Damaged;
  }
  const std::string path = JoinPath(*folder, kHistoryFileName);
  const Result<std::string> text = ReadWholeFile(path, kHistoryFileLimit);
  if (!text) {
    if (text.status().IsNotFound()) return StateLoad::Missing;
    *reason = path + ": " + text.status().Describe();
    return StateLoad::Damaged;
  }
  Result<VolumeHistory> parsed = VolumeHistory::Parse(*text);
  if (!parsed) {
    *reason = path + ": " + parsed.status().Describe();
    return StateLoad::Damaged;
  }
  *history = std::move(*parsed);
  return StateLoad::Loaded;
}

}  // namespace qw
