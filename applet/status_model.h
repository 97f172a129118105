// The status page's model: what the last check's state says, turned into the
// page's texts and the bar fractions of each drive. Portable (no window code):
// the Win32 page only draws what StatusPageView holds.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "common/check_state.h"

namespace qw {

// How reading the state file went.
enum class StateLoad {
  Loaded,   // the state was read and parsed
  Missing,  // no state file: the service has not checked yet
  Damaged,  // a file that is not a state (cut short, foreign, unreadable)
};

// Reads the last check's state; on Damaged, `reason` says why (for the page).
using StateReader = std::function<StateLoad(CheckState* state, std::string* reason)>;

struct StatusDriveRow {
  std::string label;          // "C:"
  std::string freeText;       // "12.5 GB 空き / 100.0 GB (12%)"
  std::string thresholdText;  // "しきい値 20%" plus its bytes
  bool measured = false;      // false: no bar (capacity or free unknown)
  bool below = false;         // the bar is drawn red
  // Fractions of the capacity, 0 to 1: the used part from the left, and
  // where the threshold lies (the used part at which free == threshold).
  double usedFraction = 0;
  double thresholdFraction = 0;
};

struct StatusPageView {
  bool hasState = false;
  // No state: what happened and how to start the service. With a state:
  // empty.
  std::string notice;
  std::string checkedText;  // "最終チェック: <local> (UTC <utc>)"
  std::string outcomeText;
  std::vector<StatusDriveRow> drives;
  std::string mailText;
  std::string lastDeliveryText;
  // A mail that failed and waits for its retry; empty when none waits.
  std::string pendingText;
  // The last heartbeat and the last one that succeeded; empty when the
  // service never sent one.
  std::string heartbeatText;
};

// The view of a read: `state` is used only when `load` is Loaded.
StatusPageView BuildStatusPage(StateLoad load, const CheckState& state, const std::string& reason);

// "12.5 GB", "980.0 MB", "512 B": a byte count for the page (1024-based).
std::string FormatBytes(int64_t bytes);

// The model the page holds: reads through `reader` on Refresh (the page's
// 更新 button and the page's first showing).
class StatusModel {
 public:
  explicit StatusModel(StateReader reader) : reader_(std::move(reader)) {}
  const StatusPageView& Refresh();
  const StatusPageView& View() const { return view_; }

 private:
  StateReader reader_;
  StatusPageView view_;
};

// The reader of the real state file (%ProgramData%\Quotawarden\status.ini on
// Windows): ReadWholeFile, then ParseCheckState. A missing file is Missing,
// any other failure Damaged with the reason.
StateLoad ReadStateFile(CheckState* state, std::string* reason);

}  // namespace qw
