// The record of the checks: the last-check state (status.ini, read by the
// applet's status page and by the next run) and the metrics file, both
// replaced atomically after every check and every retry of the alert mail.
// A write that fails does not stop the check; its first failure after a
// start is one error entry, for each file.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/check_state.h"
#include "common/drivewarden_common.h"
#include "mail/smtp_client.h"
#include "platform/system_info.h"
#include "service/bounded_calls.h"
#include "service/entries.h"
#include "service/heartbeat.h"

namespace qw {

// The error entry of a metrics file that could not be written: the fixed
// start, the file's path, then the failed step and the reason.
inline constexpr const char* kMetricsNotWritten = "メトリクスファイルを書き込めません: ";
inline constexpr const char* kMetricsNotRemoved = "使われなくなったメトリクスファイルを削除できません: ";
// The error entry of a last-check state that could not be written: the fixed
// start, the file's path, then the failed step and the system's reason.
inline constexpr const char* kStateNotWritten = "状態ファイルを書き込めません: ";
inline constexpr const char* kStateNotRead = "状態ファイルを読めません。再送待ちのメールと通知の履歴は失われました: ";

// What the mail step of a check (or a retry) came to.
struct AlertOutcome {
  bool attempted = false;  // a mail was tried
  TDeliveryResult result;
};

// Runs `write` on a thread of its own under `key` and waits for it at most
// `boundMs`; a write that has not ended by then is a failure. A stop does
// not end the wait: the state a stop leaves is what the next start reads.
Status BoundedWrite(BoundedCalls& calls, const std::string& key, std::function<Status()> write, int64_t boundMs);

// A drive's trend at a check (see DriveState).
struct DriveTrend {
  bool hasTrend = false;
  int64_t bytesPerDay = 0;
  int64_t forecastSeconds = -1;
};

class CheckRecord {
 public:
  CheckRecord(EntryWriter& entries, SystemInfo& system, BoundedCalls& calls, int64_t boundMs)
      : entries_(entries), system_(system), calls_(calls), boundMs_(boundMs) {}

  // The folder of status.ini; empty writes no state.
  void SetStateFolder(const std::string& folder) { stateFolder_ = folder; }
  const std::string& StateFolder() const { return stateFolder_; }
  // The folder of the metrics file ([METRICS] TEXTFILEDIR; empty: none). A
  // folder given up loses its file, so that no exporter goes on serving
  // frozen values.
  void SetMetricsFolder(const std::string& folder);
  // The volumes of the last check, written with every state from now on.
  void SetVolumes(std::vector<VolumeState> volumes) { volumes_ = std::move(volumes); }
  const std::string& MetricsFolder() const { return metricsFolder_; }

  // A start: the failures of each file are told once again.
  void NewRun();
  // The state an earlier run left, once per process (later calls: none). A
  // missing file is a first run; a file that cannot be read or parsed is
  // one error entry. Takes over the last delivery and the failure count.
  std::optional<CheckState> TakePrevious();

  // One more attempt that did not reach every recipient (after
  // TakePrevious, so that the count goes on from the earlier run's).
  void CountMailFailure();
  // A heartbeat that was sent, stamped now; every state written from here
  // on tells it (and the last success, taken over from the earlier run).
  void RecordHeartbeat(const HeartbeatResult& result);
  int64_t MailFailures() const { return mailFailures_; }

  // What the metrics file tells besides the state.
  struct Context {
    int32_t intervalHours = 0;
    std::string host;
  };
  // The trends of the drives (by volume name, "C:") that the following
  // WriteCheck calls write; a drive without one has none.
  void SetTrends(std::map<std::string, DriveTrend> trends) { trends_ = std::move(trends); }
  // The state of a check that ended with `outcome` ("information",
  // "warning" or the error that ended it), with its drives (may be null),
  // its mail step (none: the check did not get that far) and `alert`'s
  // [ALERT] and [PENDINGALERT]; then the metrics from the same values.
  void WriteCheck(const std::string& outcome, bool succeeded,
                  const std::vector<std::unique_ptr<A_Drive>>* drives, const AlertOutcome* mail,
                  const CheckState& alert, const Context& context);
  // The last check's state again, with the mail step of a retry.
  void WriteRetry(const AlertOutcome& mail, const CheckState& alert, const Context& context);
  // The last check's state again, with the webhook channels of `alert`.
  void WriteChannels(const CheckState& alert, const Context& context);
  // The state as last written (whether or not a folder took it), and
  // whether that check succeeded (its settings loaded and it ran).
  const std::optional<CheckState>& Last() const { return last_; }
  bool LastSucceeded() const { return lastSucceeded_; }

 private:
  void TakeMailStep(const AlertOutcome& mail, CheckState& state, const std::string& local,
                    const std::string& utc);
  void WriteMetrics(const CheckState& state, bool succeeded, const Context& context);
  void WriteStateFile(const CheckState& state);

  EntryWriter& entries_;
  SystemInfo& system_;
  BoundedCalls& calls_;
  const int64_t boundMs_;
  std::string stateFolder_;
  std::string metricsFolder_;
  std::vector<VolumeState> volumes_;
  bool previousRead_ = false;
  bool stateFailureReported_ = false;
  bool metricsFailureReported_ = false;
  bool lastSucceeded_ = false;
  std::optional<CheckState> last_;  // as last written
  int64_t mailFailures_ = 0;
  std::map<std::string, DriveTrend> trends_;
  std::string lastDeliveryLocal_;
  std::string lastDeliveryUtc_;
  CheckState heartbeat_;  // only its heartbeat fields
};

}  // namespace qw
