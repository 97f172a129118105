// The status page's model: what the last check's state says, turned into the
// page's texts and the bar fractions of each drive. Portable (no window code):
// the Win32 page only draws what StatusPageView holds.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/check_state.h"
#include "common/fill_forecast.h"
#include "common/volume_history.h"

namespace qw {

// How reading the state file went.
enum class StateLoad {
  Loaded,   // the state was read and parsed
  Missing,  // no state file: the service has not checked yet
  Damaged,  // a file that is not a state (cut short, foreign, unreadable)
};

// Reads the last check's state; on Damaged, `reason` says why (for the page).
using StateReader = std::function<StateLoad(CheckState* state, std::string* reason)>;
// Reads the free-space history kept beside the state; on Damaged, `reason`
// says why.
using HistoryReader = std::function<StateLoad(VolumeHistory* history, std::string* reason)>;

struct StatusDriveRow {
  std::string label;          // "C:", or a volume's mount path and its label
  // The volume's name in the history file: "C:", or the mount path.
  std::string historyName;
  std::string freeText;       // "12.5 GB 空き / 100.0 GB (12%)"
  std::string thresholdText;  // "しきい値 20%" plus its bytes
  bool measured = false;      // false: no bar (capacity or free unknown)
  bool below = false;         // the bar is drawn red
  // Fractions of the capacity, 0 to 1: the used part from the left, and
  // where the threshold lies (the used part at which free == threshold).
  double usedFraction = 0;
  double thresholdFraction = 0;
  int64_t thresholdBytes = 0;  // <= 0: none
  // The last 30 days of history up to the check (empty: nothing to chart),
  // and the forecast of the fill-up when there is one, with its line.
  std::vector<VolumeSample> history;
  std::optional<FillForecast> forecast;
  std::string forecastText;  // "予測: 12/20 ごろしきい値に到達 (あと 11 日、-2.0 GB/日)"
};

struct StatusPageView {
  bool hasState = false;
  // No state: what happened and how to start the service. With a state:
  // empty.
  std::string notice;
  std::string checkedText;  // "最終チェック: <local> (UTC <utc>)"
  std::string outcomeText;
  // The letters first, then the volumes by mount path.
  std::vector<StatusDriveRow> drives;
  // The check's moment (seconds since 1970 UTC; 0 when the state lacks it)
  // and its local offset east of UTC in minutes: the charts end there.
  int64_t checkedUtcSeconds = 0;
  int offsetMinutes = 0;
  // Why there are no charts when the history could not be read; else empty.
  std::string historyNotice;
  std::string mailText;
  std::string lastDeliveryText;
  // A mail that failed and waits for its retry; empty when none waits.
  std::string pendingText;
  // The last heartbeat and the last one that succeeded; empty when the
  // service never sent one.
  std::string heartbeatText;
  // Per webhook target, in settings order: its name and last attempt, its
  // last delivery, and a third line when an alert waits for its retry (the
  // lines after the first indented).
  std::vector<std::string> channelLines;
};

// The view of a read: `state` is used only when `load` is Loaded, and
// `history` (null: not read) only with a state.
StatusPageView BuildStatusPage(StateLoad load, const CheckState& state, const std::string& reason,
                               const VolumeHistory* history = nullptr, StateLoad historyLoad = StateLoad::Missing,
                               const std::string& historyReason = "");

// "12.5 GB", "980.0 MB", "512 B": a byte count for the page (1024-based).
std::string FormatBytes(int64_t bytes);

// The model the page holds: reads through `reader` on Refresh (the page's
// 更新 button and the page's first showing).
class StatusModel {
 public:
  explicit StatusModel(StateReader reader, HistoryReader history = nullptr)
      : reader_(std::move(reader)), history_(std::move(history)) {}
  const StatusPageView& Refresh();
  const StatusPageView& View() const { return view_; }

 private:
  StateReader reader_;
  HistoryReader history_;
  StatusPageView view_;
};

// The reader of the real state file (%ProgramData%\Quotawarden\status.ini on
// Windows): ReadWholeFile, then ParseCheckState. A missing file is Missing,
// any other failure Damaged with the reason.
StateLoad ReadStateFile(CheckState* state, std::string* reason);
// The reader of history.txt beside it: a missing file is Missing, a file
// that is not a history Damaged with the reason.
StateLoad ReadHistoryFile(VolumeHistory* history, std::string* reason);

}  // namespace qw
