#include "service/check_record.h"

#include <algorithm>

#include "platform/files.h"
#include "service/metrics_file.h"

namespace qw {
namespace {

void CopyHeartbeat(const CheckState& from, CheckState& to) {
  to.heartbeatLocal = from.heartbeatLocal;
  to.heartbeatUtc = from.heartbeatUtc;
  to.heartbeatOk = from.heartbeatOk;
  to.heartbeatFailUrl = from.heartbeatFailUrl;
  to.heartbeatDetail = from.heartbeatDetail;
  to.heartbeatSuccessLocal = from.heartbeatSuccessLocal;
  to.heartbeatSuccessUtc = from.heartbeatSuccessUtc;
}

}  // namespace

Status BoundedWrite(BoundedCalls& calls, const std::string& key, std::function<Status()> write, int64_t boundMs) {
  auto result = std::make_shared<Status>();
  const BoundedCalls::Start start = calls.Begin(key, [result, write = std::move(write)] {
    try {
      *result = write();
    } catch (const std::exception& e) {
      *result = Status::Failure("", 0, e.what());
    } catch (...) {
      *result = Status::Failure("", 0, "不明なエラー");
    }
  });
  const std::string seconds = std::to_string((boundMs + 999) / 1000);
  if (start == BoundedCalls::Start::Busy) return Status::Failure("", 0, "前回の書き込みがまだ終わっていません");
  if (start == BoundedCalls::Start::NoThread) return Status::Failure("", 0, "書き込みのスレッドを作れません");
  if (!calls.Wait({key}, std::chrono::milliseconds(boundMs), false))
    return Status::Failure("", 0, "書き込みが " + seconds + " 秒以内に終わりません", StatusKind::kTimedOut);
  return *result;
}

void CheckRecord::SetMetricsFolder(const std::string& folder) {
  if (!metricsFolder_.empty() && metricsFolder_ != folder) {
    const std::string old = JoinPath(metricsFolder_, kMetricsFileName);
    if (const Status removed = RemoveFileIfPresent(old); !removed)
      entries_.Error(std::string(kMetricsNotRemoved) + old + ": " + removed.Describe());
  }
  metricsFolder_ = folder;
}

void CheckRecord::NewRun() {
  stateFailureReported_ = false;
  metricsFailureReported_ = false;
}

std::optional<CheckState> CheckRecord::TakePrevious() {
  if (previousRead_ || stateFolder_.empty()) return std::nullopt;
  // The last delivery, the last delivered alert and a pending mail outlive
  // the process. A damaged state is replaced by the next write.
  previousRead_ = true;
  const std::string path = JoinPath(stateFolder_, kStateFileName);
  CheckState previous;
  std::string reason;
  try {
    const Result<std::string> text = ReadWholeFile(path);
    if (text.status().IsNotFound()) return std::nullopt;
    if (!text.Ok())
      reason = text.status().Describe();
    else if (!ParseCheckState(*text, &previous))
      reason = "状態ファイルの形式ではありません";
  } catch (const std::exception& e) {
    reason = e.what();
  }
  if (!reason.empty()) {
    // What the state kept (a waiting mail, the alert history, the count)
    // is lost; said once.
    entries_.Error(std::string(kStateNotRead) + path + ": " + reason);
    return std::nullopt;
  }
  lastDeliveryLocal_ = previous.lastDeliveryLocal;
  lastDeliveryUtc_ = previous.lastDeliveryUtc;
  CopyHeartbeat(previous, heartbeat_);
  // A damaged or hand-edited count cannot push the counter past its range.
  mailFailures_ += std::clamp<int64_t>(previous.mailFailures, 0, int64_t{1} << 53);
  return previous;
}

void CheckRecord::CountMailFailure() { ++mailFailures_; }

void CheckRecord::RecordHeartbeat(const HeartbeatResult& result) {
  try {
    const LocalDateTime now = system_.Now();
    heartbeat_.heartbeatLocal = LocalStamp(now);
    heartbeat_.heartbeatUtc = UtcStamp(now, system_.UtcOffsetMinutes());
  } catch (const std::exception&) {
    heartbeat_.heartbeatLocal.clear();
    heartbeat_.heartbeatUtc.clear();
  }
  heartbeat_.heartbeatOk = result.ok;
  heartbeat_.heartbeatFailUrl = result.failUrl;
  heartbeat_.heartbeatDetail = result.detail;
  if (result.ok) {
    heartbeat_.heartbeatSuccessLocal = heartbeat_.heartbeatLocal;
    heartbeat_.heartbeatSuccessUtc = heartbeat_.heartbeatUtc;
  }
}

void CheckRecord::TakeMailStep(const AlertOutcome& mail, CheckState& state, const std::string& local,
                               const std::string& utc) {
  state.mailAttempted = mail.attempted;
  if (!mail.attempted) return;
  state.mailDelivered = mail.result.Delivered();
  state.mailReply = mail.result.Delivered() ? mail.result.acceptedReply : mail.result.status.Describe();
  if (state.mailDelivered) {
    lastDeliveryLocal_ = local;
    lastDeliveryUtc_ = utc;
  }
}

void CheckRecord::WriteCheck(const std::string& outcome, bool succeeded,
                             const std::vector<std::unique_ptr<A_Drive>>* drives, const AlertOutcome* mail,
                             const CheckState& alert, const Context& context) {
  CheckState state = alert;
  try {
    const LocalDateTime now = system_.Now();
    state.checkedLocal = LocalStamp(now);
    state.checkedUtc = UtcStamp(now, system_.UtcOffsetMinutes());
    state.outcome = outcome;
    state.drives.clear();
    if (drives) {
      for (const auto& drive : *drives) {
        DriveState d;
        d.letter = drive->Letter;
        d.freeBytes = drive->FreeSpace;
        d.capacity = drive->Capacity;
        d.thresholdText = drive->LimitText;
        d.thresholdBytes = drive->LimitBytes;
        d.below = drive->FreeSpace < drive->LimitBytes;
        if (const auto trend = trends_.find(std::string(1, drive->Letter) + ":"); trend != trends_.end()) {
          d.hasTrend = trend->second.hasTrend;
          d.bytesPerDay = trend->second.bytesPerDay;
          d.forecastSeconds = trend->second.forecastSeconds;
        }
        state.drives.push_back(d);
      }
    }
    state.volumes = volumes_;
    TakeMailStep(mail ? *mail : AlertOutcome{}, state, state.checkedLocal, state.checkedUtc);
    state.lastDeliveryLocal = lastDeliveryLocal_;
    state.lastDeliveryUtc = lastDeliveryUtc_;
    state.mailFailures = mailFailures_;
    CopyHeartbeat(heartbeat_, state);
  } catch (const std::exception& e) {
    if (!stateFolder_.empty() && !stateFailureReported_) {
      stateFailureReported_ = true;
      entries_.Error(std::string(kStateNotWritten) + e.what());
    }
    return;
  }
  lastSucceeded_ = succeeded;
  last_ = state;
  WriteMetrics(state, succeeded, context);
  WriteStateFile(state);
}

void CheckRecord::WriteRetry(const AlertOutcome& mail, const CheckState& alert, const Context& context) {
  if (!last_) return;
  CheckState state = *last_;
  const LocalDateTime now = system_.Now();
  TakeMailStep(mail, state, LocalStamp(now), UtcStamp(now, system_.UtcOffsetMinutes()));
  state.lastDeliveryLocal = lastDeliveryLocal_;
  state.lastDeliveryUtc = lastDeliveryUtc_;
  state.alertUtc = alert.alertUtc;
  state.alertShort = alert.alertShort;
  state.alertForecast = alert.alertForecast;
  state.alertOpen = alert.alertOpen;
  state.pending = alert.pending;
  state.pendingRecovery = alert.pendingRecovery;
  state.pendingReport = alert.pendingReport;
  state.pendingComposedLocal = alert.pendingComposedLocal;
  state.pendingComposedUtc = alert.pendingComposedUtc;
  state.pendingAttempts = alert.pendingAttempts;
  state.pendingShort = alert.pendingShort;
  state.pendingForecast = alert.pendingForecast;
  state.pendingRecipients = alert.pendingRecipients;
  state.channels = alert.channels;
  state.mailFailures = mailFailures_;
  CopyHeartbeat(heartbeat_, state);
  last_ = state;
  // The retry's outcome reaches the metrics too: the delivery time and the
  // failure count change with it, the check's own success does not.
  WriteMetrics(state, lastSucceeded_, context);
  WriteStateFile(state);
}

void CheckRecord::WriteChannels(const CheckState& alert, const Context& context) {
  if (!last_) return;
  CheckState state = *last_;
  state.channels = alert.channels;
  last_ = state;
  WriteMetrics(state, lastSucceeded_, context);
  WriteStateFile(state);
}

void CheckRecord::WriteStateFile(const CheckState& state) {
  if (stateFolder_.empty()) return;
  const std::string path = JoinPath(stateFolder_, kStateFileName);
  std::string reason;
  try {
    // The server's words and an error text are the state's only quoted text.
    CheckState masked = state;
    masked.mailReply = entries_.Mask(state.mailReply);
    if (state.outcome != "information" && state.outcome != "warning") masked.outcome = entries_.Mask(state.outcome);
    const std::string text = FormatCheckState(masked);
    const Status written =
        BoundedWrite(calls_, "state", [path, text] { return ReplaceFileAtomically(path, text); }, boundMs_);
    if (written.Ok()) return;
    reason = path + ": " + written.Describe();
  } catch (const std::exception& e) {
    reason = e.what();
  }
  if (stateFailureReported_) return;
  stateFailureReported_ = true;
  entries_.Error(std::string(kStateNotWritten) + reason);
}

void CheckRecord::WriteMetrics(const CheckState& state, bool succeeded, const Context& context) {
  if (metricsFolder_.empty()) return;
  const std::string path = JoinPath(metricsFolder_, kMetricsFileName);
  std::string reason;
  try {
    MetricsFacts facts;
    facts.checkSucceeded = succeeded;
    facts.intervalSeconds = int64_t{context.intervalHours} * 3600;
    facts.host = context.host;
    facts.version = kProductVersion;
    const std::string folder = metricsFolder_;
    const std::string text = FormatMetrics(state, facts);
    const Status written =
        BoundedWrite(calls_, "metrics", [folder, text] { return WriteMetricsFile(folder, text); }, boundMs_);
    if (written.Ok()) return;
    reason = written.Describe();
  } catch (const std::exception& e) {
    reason = e.what();
  }
  if (metricsFailureReported_) return;
  metricsFailureReported_ = true;
  entries_.Error(std::string(kMetricsNotWritten) + path + ": " + reason);
}

}  // namespace qw
