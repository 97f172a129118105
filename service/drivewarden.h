// The drive watch: TDrivewarden is the service's face. The service hosts
// (Windows service, POSIX foreground and one-shot runs) drive it through
// ServiceStart, tmCheckTimer and ServiceStop; each check reads the settings
// (common/watch_settings.h), measures the drives and composes the report
// (service/report.h), asks the alert policy what to mail
// (service/alert_policy.h), sends it (service/alert_sender.h) and records
// the outcome (service/check_record.h), writing its entries through one
// writer (service/entries.h). This class holds the schedule and the locks.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/drivewarden_common.h"
#include "common/watch_settings.h"
#include "mail/test_mail.h"
#include "platform/drives.h"
#include "platform/event_log.h"
#include "platform/profile.h"
#include "platform/system_info.h"
#include "platform/timer.h"
#include "service/alert_policy.h"
#include "service/alert_sender.h"
#include "service/bounded_calls.h"
#include "service/check_record.h"
#include "service/entries.h"
#include "service/heartbeat.h"
#include "service/history_store.h"
#include "service/report.h"
#include "service/stored_secret.h"
#include "service/webhook_channels.h"
#include "service/webhook_sender.h"

namespace qw {

// The platform concerns the watch uses.
struct ServicePlatform {
  Profiles& profiles;
  Drives& drives;
  SystemInfo& system;
  EventLog& eventLog;
};

// The bound of a free-space call and of a state or metrics file write.
inline constexpr int64_t kAnswerBoundMs = 3000;
// The period of the free-space sampling for the history.
inline constexpr int64_t kSamplePeriodMs = 3600 * 1000;

// What a test may put in place of the product's own parts.
struct WatchOptions {
  // Every free-space call and every write of the state and metrics files
  // runs on a thread of its own and is waited for at most this long.
  int64_t answerBoundMs = kAnswerBoundMs;
  // Delivers the alert mail in place of the SMTP client: given the report,
  // tells how it went.
  std::function<TDeliveryResult(const std::string& report)> sendAlert;
  // Makes every HTTP client: the token fetch's, each heartbeat's and each
  // webhook attempt's (none: the platform's own).
  CancellableHttp::Factory httpClient;
  // CreateDrivewarden gives the watch its hourly sampling timer (tmSample);
  // false leaves it out, for tests of the check schedule alone.
  bool hourlySampling = true;
  // Told the server of each load that sets the SMTP client's host and port.
  std::function<void(const std::string& host, int port)> onSmtpServer;
};

class TDrivewarden {
 public:
  // `checkTimer` is the check timer tmCheck; its ticks call tmCheckTimer.
  // `retryTimer` (tmRetry) tries a failed alert mail again; without one (a
  // one-shot run) a failed mail waits in the state for the next run.
  TDrivewarden(ServicePlatform platform, std::unique_ptr<Timer> checkTimer,
               std::unique_ptr<Timer> retryTimer = nullptr, WatchOptions options = {});
  virtual ~TDrivewarden();
  TDrivewarden(const TDrivewarden&) = delete;
  TDrivewarden& operator=(const TDrivewarden&) = delete;

  // Start handler: lists the fixed drives, loads the settings and runs the
  // first check. Errors propagate (the host stops the service). `loaded`,
  // when given, is called between the load and the first check (the
  // Windows host reports the service running there, so that a stop is
  // accepted while the first check's mail waits).
  void ServiceStart(const std::function<void()>& loaded = nullptr);
  // Stop handler: stops the timers, waits until a check running on another
  // thread has ended, then frees the drive table. No check runs after it
  // until the next ServiceStart. Throws std::logic_error when called from
  // inside a check on the same thread, which could never end.
  void ServiceStop();
  // ServiceStop that waits at most `milliseconds` for a running check (a
  // negative value: as long as it takes). A kTimedOut failure when the check
  // has not ended by then: the timers are off and no check begins any more,
  // but the drive table stays with the check that uses it.
  Status ServiceStopWithin(int64_t milliseconds);
  // Safe from any thread, also while the start handler runs: no check
  // begins any more, and the mail conversation in progress (if any) ends
  // within moments as "cancelled by stop".
  void CancelForStop();

  // Reads the settings file when its bytes have changed since the last
  // complete load (or the fixed drives are not those of the table). All or
  // nothing: a load that throws ESettingsError (EConvertError for a value,
  // ESettingsFileError for a file that cannot be read) leaves the settings
  // as they were. The mail keys must hold only while mail is on, or with
  // `forTestMail` (whatever ISMAILSEND says); with mail off a bad one is one
  // warning entry at the load of that file version.
  void LoadSettings(bool forTestMail = false);
  void FreeDriveList();

  // One check; `Sender` is ignored. A settings file that fails to load is an
  // error entry and the check goes on with the last good settings. Other
  // errors propagate after the check timer has been started again. After
  // ServiceStop it does nothing.
  void tmCheckTimer(void* Sender);
  // A check on demand, without moving the schedule. A check asked for while
  // one runs follows it instead of overlapping it.
  void CheckNow();
  // The next attempt of a failed alert mail (see AlertPolicy for when). A
  // retry runs as a check does: never beside one, waited for by
  // ServiceStop, cancelled by CancelForStop.
  void tmRetryTimer(void* Sender);
  Timer& tmCheck() { return *tmCheck_; }
  Timer& tmRetry() { return *tmRetry_; }
  // The next attempt of the webhook channels that wait (the one due first,
  // and every other due by then). Without a timer of the host's (a one-shot
  // run) they wait in the state for the next run.
  void tmWebhookTimer(void* Sender);
  Timer& tmWebhook() { return *tmWebhook_; }
  void SetWebhookRetryTimer(std::unique_ptr<Timer> timer);
  // The webhook targets whose last attempt (of the last check or retry) did
  // not deliver, each with its step and answer. From the check's thread, or
  // once no check runs.
  std::vector<std::string> WebhookFailures() const { return FWebhooks.Failures(); }
  // The webhook targets of the last load, and the sender their attempts go
  // through (the test command posts its test notifications with it).
  const std::vector<WebhookTarget>& WebhookTargets() const { return FSettings.webhooks.targets; }
  WebhookSender& WebhookSenderInUse() { return FWebhookSender; }
  // The sampling timer tmSample: every `periodMs` between a start and a
  // stop each drive's free space is measured and added to the history (no
  // report, no entry), unless a check runs then (a check adds its own
  // sample). Without one (a one-shot run) only the checks sample.
  void SetSampleTimer(std::unique_ptr<Timer> timer, int64_t periodMs = kSamplePeriodMs);
  void tmSampleTimer(void* Sender);
  Timer* tmSample() { return tmSample_.get(); }
  // The free-space history as the checks and samplings left it.
  VolumeHistory History() { return FHistory.Snapshot(); }
  // Replaces the first retry delay (5 minutes); the later delays stay.
  void SetFirstRetryDelay(int64_t milliseconds) { FFirstRetryMs = milliseconds; }

  // The pending mail, if any: its report, the failed attempts so far, and
  // the recipients it still has to reach (empty: every To and Cc address).
  bool HasPendingAlert() const;
  std::string PendingReport() const;
  int PendingAttempts() const;
  std::string PendingRecipients() const;

  using AlertOutcome = qw::AlertOutcome;
  // What the mail step of the last check (or retry) came to.
  AlertOutcome LastAlert() const;
  // The alert mail's message (its header lines persist between attempts).
  TMailMessage& mailMsg() { return FSender.Message(); }
  void SetMailTimeOuts(int silenceSeconds, int deadlineSeconds);
  // The check's entries (masked with the login of the last load).
  EntryWriter& Entries() { return FEntries; }
  // Calls still outstanding (drives that have not answered, writes that
  // have not ended), and a wait until there are none (kTimedOut: `bound`
  // passed with some still outstanding).
  size_t OutstandingCalls() const { return FCalls.Outstanding(); }
  Status WaitForOutstandingCalls(std::chrono::milliseconds bound) const { return FCalls.WaitIdle(bound); }

  // The folder of the last-check state (status.ini), set by the host; empty
  // writes no state.
  // The history (history.txt) is kept in the same folder.
  void SetStateFolder(const std::string& folder) {
    FRecord.SetStateFolder(folder);
    FHistory.SetFolder(folder);
  }
  const std::string& StateFolderPath() const { return FRecord.StateFolder(); }
  // Called on the check's thread each time the last-check state is made
  // (whether or not a folder takes it), with the state and whether the
  // check succeeded, so that a host can tell its supervisor. Must not throw.
  using CheckStateListener = std::function<void(const CheckState& state, bool succeeded)>;
  void SetCheckStateListener(CheckStateListener listener) { FOnCheckState = std::move(listener); }
  // `settingsPath`: the settings file's full path; when not empty, a
  // PASSWORD that ordinary users can read is one warning entry per load, and
  // a clear one is replaced by its protected form. `credential`: a password
  // from the host's own store, used instead of the file's.
  void SetSecretSources(const std::string& settingsPath, const std::string& credential) {
    FSettingsPath = settingsPath;
    FCredentialPassword = credential;
  }
  // An OAuth 2.0 client secret from the host's own store, used instead of
  // the file's CLIENTSECRET.
  void SetClientSecretCredential(const std::string& secret) { FCredentialClientSecret = secret; }
  // [METRICS] TEXTFILEDIR of the last complete load (empty: none).
  const std::string& MetricsFolder() const { return FRecord.MetricsFolder(); }
  // Alert mail attempts that did not reach every recipient, counted on from
  // the state an earlier run left.
  int64_t MailFailures() const { return FRecord.MailFailures(); }

  // Settings state, as the last load left it.
  int32_t Interval() const { return FSettings.interval; }
  int32_t Remind() const { return FSettings.remind; }
  bool RecoveryMail() const { return FSettings.recoveryMail; }
  bool IsMailSend() const { return FSettings.isMailSend; }
  const std::string& MailFrom() const { return FSettings.mailFrom; }
  const std::string& MailTo() const { return FSettings.mailTo; }
  const std::string& MailCc() const { return FSettings.mailCc; }
  // The bytes of the settings file at the last complete load.
  const std::string& IniFileBytes() const { return FIniFileBytes; }
  const std::vector<std::unique_ptr<A_Drive>>* DriveList() const { return FDriveList.get(); }
  // The server of the last load with mail on (or for the test mail).
  const std::string& SmtpHost() const { return FServer.host; }
  int SmtpPort() const { return FServer.port; }
  TSmtpSecurity SmtpSecurity() const { return FServer.security; }
  const std::string& SmtpUser() const { return FServer.user; }
  bool TlsVerify() const { return FServer.tlsVerify; }
  // The mail settings as the test mail and the alert mail take them.
  TTestMailSettings TestMailSettings() const;
  // The mail's login: the OAuth 2.0 token kept across alerts and test mails.
  MailLogin& Login() { return FSender.Login(); }

 private:
  void RunChecks(bool fromTimer, bool retry = false, bool webhookRetry = false);
  void RetryWebhooksOnce();
  WebhookChannels::Context WebhookContext() const;
  void ArmWebhookRetry();
  void CheckOnce();
  void RetryOnce();
  // Lines of the check, with the drive table's free space filled in; false
  // when a stop came while the drives were measured.
  bool MeasureAndCompose(ReportLines& lines);
  // The alert policy's answer carried out: the mail sent, the timer armed.
  // The drives of the table measured now into the history (the check's
  // own measurements: `measured`), then each drive's trend and forecast;
  // `forecastLines` and `forecastLetters` receive the drives not short that
  // reach their threshold within FORECASTDAYS.
  void RecordHistory(std::string& forecastLines, std::string& forecastLetters);
  void SampleOnce();
  int64_t NowUtcSeconds() const;
  void Follow(AlertStep step);
  void AttemptPending();
  void RecordAlert(const TDeliveryResult& result, bool recovery, const std::string& note);
  void ArmRetry(int64_t milliseconds);
  AlertRules Rules() const;
  std::optional<PendingMail> Pending() const;
  AlertClock Clock() const;
  // The state an earlier run left, taken once per process into the record
  // and the alert policy.
  void TakePreviousState();
  CheckState AlertState() const;
  CheckRecord::Context RecordContext() const;
  void WriteCheckState(const std::string& outcome, bool mailStep);
  // The heartbeat of a check that ran (before its state is written), bounded
  // by the mail deadline and cancelled by a stop.
  void PingHeartbeat(bool checkFailed);
  void TellCheckState();

  ServicePlatform platform_;
  WatchOptions FOptions;
  BoundedCalls FCalls;
  EntryWriter FEntries;
  CheckRecord FRecord;
  CheckStateListener FOnCheckState;
  AlertSender FSender;
  Heartbeat FHeartbeat;
  std::unique_ptr<Timer> tmCheck_;
  std::unique_ptr<Timer> tmRetry_;
  std::unique_ptr<Timer> tmSample_;
  HistoryStore FHistory;
  bool FRetryTimerTicks = false;  // a host timer, not the one-shot run's inert one
  int64_t FFirstRetryMs = 5 * 60 * 1000;

  WatchSettings FSettings;
  TTestMailSettings FServer;
  std::string FFixedDrives;  // the fixed drives as the last start listed them
  std::unique_ptr<std::vector<std::unique_ptr<A_Drive>>> FDriveList;
  std::string FIniFileBytes;
  std::string FVolumeSignature;  // the volumes (names and paths) of the last complete load
  std::string FSettingsPath;
  std::string FCredentialPassword;
  std::string FCredentialClientSecret;
  bool FLoadFailed = false;  // the running check's settings did not load

  // Keeps ServiceStop and a check apart: the stop waits while FChecking and
  // a check does not begin once FStopped. Also guards FPolicy and FLastAlert,
  // which other threads read.
  mutable std::mutex FCheckMutex;
  std::condition_variable FCheckEnded;
  bool FChecking = false;
  bool FStopped = false;
  bool FCheckRequested = false;  // a check asked for while one ran
  bool FTimerRestart = false;    // the running chain of checks restarts the timer
  std::thread::id FCheckThread;
  AlertPolicy FPolicy;
  AlertOutcome FLastAlert;

  // The webhook channels: the check's thread alone uses them (the sender's
  // Cancel comes from any thread).
  WebhookSender FWebhookSender;
  WebhookChannels FWebhooks;
  std::unique_ptr<Timer> tmWebhook_;
  bool FWebhookTimerTicks = false;
};



}  // namespace qw
