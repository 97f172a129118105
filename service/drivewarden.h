// The drive watch: settings load, drive table and the check with its report
// and event log entries. The service hosts (Windows service, POSIX
// foreground and one-shot runs) drive it through ServiceStart, tmCheckTimer
// and ServiceStop.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/check_state.h"
#include "common/drivewarden_common.h"
#include "mail/mail_message.h"
#include "mail/smtp_client.h"
#include "mail/test_mail.h"
#include "platform/drives.h"
#include "platform/event_log.h"
#include "platform/profile.h"
#include "platform/system_info.h"
#include "platform/timer.h"
#include "service/bounded_calls.h"

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

class TDrivewarden {
 public:
  // `checkTimer` is the check timer tmCheck; its ticks call tmCheckTimer.
  // `retryTimer` (tmRetry) tries a failed alert mail again; without one (a
  // one-shot run) a failed mail waits in the state for the next run.
  TDrivewarden(ServicePlatform platform, std::unique_ptr<Timer> checkTimer,
               std::unique_ptr<Timer> retryTimer = nullptr);
  virtual ~TDrivewarden();

  TDrivewarden(const TDrivewarden&) = delete;
  TDrivewarden& operator=(const TDrivewarden&) = delete;

  // Start handler: lists the fixed drives, loads the settings and runs the
  // first check. Errors propagate (the host stops the service). `loaded`,
  // when given, is called between the load and the first check (the
  // Windows host reports the service running there, so that a stop is
  // accepted while the first check's mail waits).
  void ServiceStart(const std::function<void()>& loaded = nullptr);
  // Stop handler: stops the check timer, waits until a check running on
  // another thread has ended, then frees the drive table. No check runs
  // after it (a later tick does nothing) until the next ServiceStart.
  // Throws std::logic_error when called from inside a check on the same
  // thread, which could never end.
  void ServiceStop();
  // ServiceStop that waits at most `milliseconds` for a running check (a
  // negative value: as long as it takes). A kTimedOut failure when the check
  // has not ended by then: the timers are off and no check
  // begins any more, but the drive table stays with the check that uses it.
  Status ServiceStopWithin(int64_t milliseconds);
  // Safe from any thread, also while the start handler runs: no check
  // begins any more, and the mail conversation in progress (if any) ends
  // within moments as "cancelled by stop". The stop itself (ServiceStop)
  // follows on the thread that handles controls.
  void CancelForStop();

  // Reads the settings file when its stamp has changed since the last
  // complete load (or the fixed drives are not those of the table). All or
  // nothing: every value is read and converted first, and only a load whose
  // values all convert replaces the settings and records the stamp; a
  // failed one leaves the settings as they were and the file is read again
  // at the next load. Throws ESettingsError (EConvertError for a value,
  // naming its key and value; ESettingsFileError for a file that cannot be
  // read at all). The mail keys (PORT, MAILFROM, MAILTO, MAILCC) are held to
  // these rules only while mail is on (ISMAILSEND=1 with a server and a To
  // list); with mail off a bad one does not fail the load but is written as
  // one warning entry at the load of that file version.
  void LoadSettings();
  void FreeDriveList();

  // One check; `Sender` is ignored. A settings file that fails to load is
  // written as an error entry (event ID 5610) and the check goes on with the
  // last good settings. Other errors propagate after the check timer has
  // been started again. After ServiceStop it does nothing.
  void tmCheckTimer(void* Sender);
  // A check on demand, through the same path as the timer's, without moving
  // the schedule (the check timer is left as it is). When a check is running
  // already, on this thread or another, the request is remembered and runs
  // right after it instead of overlapping it.
  void CheckNow();

  // A failed alert mail is kept (with the report as composed) and tried
  // again by the retry timer after 5, 15, 30 and then every 60 minutes,
  // until it is delivered, a newer check replaces it (a check with a drive
  // short and mail on), a check finds no drive short (an alert is dropped;
  // a recovery notice stays) or mail is switched off. A 5xx refusal of the
  // whole message or of every recipient is final. Each failed attempt is
  // one error entry; a late delivery is one information entry naming when
  // the mail was composed. A retry runs as a check does: never beside one,
  // waited for by ServiceStop, cancelled by CancelForStop.
  void tmRetryTimer(void* Sender);
  Timer& tmRetry() { return *tmRetry_; }
  // The pending mail, if any: its report, and the failed attempts so far.
  bool HasPendingAlert() const;
  std::string PendingReport() const;
  int PendingAttempts() const;
  // The recipients the pending mail still has to reach, as a comma list;
  // empty: every To and Cc address of the settings. After an attempt that
  // some recipients accepted and others refused with a 4xx reply, the
  // retry goes to the refused ones alone; a 5xx refusal of a recipient is
  // final for that recipient. A newer check's mail goes to everyone again.
  std::string PendingRecipients() const;
  // Replaces the first delay (5 minutes) for tests that cannot wait that
  // long; the later delays stay. Not reachable from the settings file.
  void SetFirstRetryDelay(int64_t milliseconds) { FFirstRetryMs = milliseconds; }
  static int64_t RetryDelayMs(int failedAttempts, int64_t firstMs);

  // Collapses blank lines and writes one entry with event ID 5610 under the
  // service's source, masked (MaskSecrets).
  void WriteEventLog(const std::string& text, EventType type);
  // `text` with the SMTP login of the settings masked (LoginMask): entries
  // and the state file quote server replies, and a server may echo the login.
  std::string MaskSecrets(const std::string& text) const;
  std::string LocalComputerName();
  // "#,###" with the system's thousands separator (0 gives "0"), then " バイト".
  std::string FormatBytes(int64_t count);

  // The last step of a check that wrote a warning entry while mail is on:
  // sends the full report as the alert mail and tells how it went. A test
  // may put another step in its place with OnSendAlert. Errors raised by the
  // step are recorded as a failed alert mail; the check goes on.
  // With `recovery` the subject is that of the recovery notice.
  // `recipients` (a comma list of bare addresses), when not empty, is the
  // envelope of this attempt; the header lines still name the To and Cc
  // addresses of the settings.
  TDeliveryResult SendAlertMail(const std::string& report, bool recovery = false,
                                const std::string& recipients = "");
  std::function<TDeliveryResult(const std::string& report)> OnSendAlert;

  // What the mail step of the last check came to.
  struct AlertOutcome {
    bool attempted = false;  // a warning with mail on
    TDeliveryResult result;
  };
  AlertOutcome LastAlert() const;

  // The alert mail. Each attempt uses an SMTP client made on the thread of
  // the check and destroyed there, with the host and port of the last
  // complete load, the silence time-out and the deadline below.
  TMailMessage& mailMsg() { return *FMailMsg; }
  void SetMailTimeOuts(int silenceSeconds, int deadlineSeconds);

  Timer& tmCheck() { return *tmCheck_; }

  // Every free-space call and every write of the state and metrics files
  // runs on a thread of its own and is waited for at most this long; a
  // drive that has not answered by then is reported as not answering (and
  // is not asked again while its call is still outstanding), a file write
  // that has not ended is a failed write. A stop ends the wait for drives at
  // once. Tests may shorten it; the product uses kAnswerBoundMs.
  void SetAnswerBound(int64_t milliseconds) { FAnswerBoundMs = milliseconds; }
  int64_t AnswerBound() const { return FAnswerBoundMs; }
  // Calls still outstanding (drives that have not answered, writes that
  // have not ended).
  size_t OutstandingCalls() const { return FCalls.Outstanding(); }

  // The folder of the last-check state (status.ini), set by the host; empty
  // writes no state. After every check (and a start whose settings fail to
  // load) the state is replaced atomically. A state that cannot be written
  // does not stop the check; its first failure after ServiceStart is written
  // as one error entry naming the file and the system's reason.
  void SetStateFolder(const std::string& folder) { FStateFolder = folder; }

  // The secret of the mail login. `settingsPath`: the settings file's full
  // path; when not empty, every load whose file holds a PASSWORD that
  // ordinary users can read writes one warning entry, and a clear PASSWORD
  // typed by hand is replaced by its protected form (where the platform
  // protects one) with an information entry. `credential`: a password the
  // host took from a store of its own (POSIX: the systemd credential); when
  // not empty it is the one used, and a PASSWORD in the file is ignored with
  // a warning.
  void SetSecretSources(const std::string& settingsPath, const std::string& credential) {
    FSettingsPath = settingsPath;
    FCredentialPassword = credential;
  }
  const std::string& StateFolderPath() const { return FStateFolder; }

  // The folder of the metrics file ([METRICS] TEXTFILEDIR of the last
  // complete load; empty: none). After every check, and after a check that
  // failed, the file there is replaced atomically with the check's values
  // (a check whose settings did not load says so with
  // quotawarden_last_check_success 0, written to the folder of the last
  // good settings). A folder that cannot take the file does not stop the
  // check; its first failure after ServiceStart is one error entry.
  const std::string& MetricsFolder() const { return FMetricsFolder; }
  // Alert mail attempts that did not reach every recipient: carried over
  // from the state file an earlier run left (when there is one), then one
  // more for each such attempt.
  int64_t MailFailures() const { return FMailFailures; }

  // Settings state, as the last load left it.
  int32_t Interval() const { return FInterval; }
  int32_t Remind() const { return FRemind; }
  bool RecoveryMail() const { return FRecoveryMail; }
  bool IsMailSend() const { return FIsMailSend; }
  const std::string& MailFrom() const { return FMailFrom; }
  const std::string& MailTo() const { return FMailTo; }
  const std::string& MailCc() const { return FMailCc; }
  // The bytes of the settings file at the last complete load (empty for a
  // missing file); a load whose file holds the same bytes reads nothing anew.
  const std::string& IniFileBytes() const { return FIniFileBytes; }
  const std::vector<std::unique_ptr<A_Drive>>* DriveList() const { return FDriveList.get(); }
  // Host and port handed to the SMTP client by the last complete load.
  const std::string& SmtpHost() const { return FSmtpHost; }
  int SmtpPort() const { return FSmtpPort; }
  TSmtpSecurity SmtpSecurity() const { return FSmtpSecurity; }
  const std::string& SmtpUser() const { return FSmtpUser; }
  bool TlsVerify() const { return FTlsVerify; }
  // The mail settings of the last load as the test mail takes them, with
  // the time-outs of SetMailTimeOuts (ISMAILSEND plays no part).
  TTestMailSettings TestMailSettings() const;
  // Set before LoadSettings by the test mail: the mail keys are read and
  // must hold as with ISMAILSEND=1, which the load still reports as it is.
  bool TestMailLoad = false;
  // Called by a load that sets the SMTP client's host and port.
  std::function<void(const std::string& host, int port)> OnSmtpServer;

  // Builds the report of a check (exposed for the mail step and tests).
  std::string ComposeReport(const std::string& driveLines, const std::string& thresholdLines);

 protected:
  ServicePlatform platform_;

 private:
  // The settings one load reads, before they replace the current ones.
  struct LoadedSettings {
    int32_t interval = 24;
    int32_t remind = 0;
    bool recoveryMail = false;
    bool isMailSend = false;
    std::vector<std::unique_ptr<A_Drive>> drives;
    std::string smtpHost;
    int smtpPort = 25;
    std::string mailFrom;
    std::string mailTo;
    std::string mailCc;
    TSmtpSecurity security = TSmtpSecurity::None;
    std::string user;
    std::string password;
    bool passwordInFile = false;    // the file's PASSWORD is not empty
    std::string protectedPassword;  // the protected form of a clear PASSWORD, to store
    std::string protectFailure;     // why a clear PASSWORD could not be protected
    bool tlsVerify = true;
    int thresholdCount = 0;          // fixed drives with a threshold above zero
    std::string absentLetters;       // [DRIVE] letters that are no fixed drive
    std::vector<std::string> mailProblems;  // bad mail keys while mail is off
    std::string metricsFolder;
  };
  LoadedSettings ReadSettings(const ProfileSnapshot& ini);
  void ReadMailSettings(const ProfileSnapshot& ini, LoadedSettings& next);
  // The lines a check adds after its drive lines: no threshold at all, and
  // thresholds of letters that are not fixed drives here.
  std::string SettingsNoteLines() const;

  // What a bounded free-space call came to.
  struct DriveAnswer {
    bool answered = false;  // the call returned within the bound
    bool measured = false;  // ... and the drive could be measured
    int64_t freeBytes = -1;
    int64_t totalBytes = -1;
  };
  // Measures `letters` at once, each on a thread of its own, waiting for
  // them together at most FAnswerBoundMs (less when a stop comes).
  std::map<char, DriveAnswer> MeasureDrives(const std::string& letters);
  // Runs a file write on a thread of its own under `key`, with the bound.
  Status BoundedWrite(const std::string& key, std::function<Status()> write);
  BoundedCalls FCalls;
  int64_t FAnswerBoundMs = kAnswerBoundMs;

  std::unique_ptr<Timer> tmCheck_;
  std::unique_ptr<Timer> tmRetry_;
  std::unique_ptr<TMailMessage> FMailMsg;
  // Runs checks until no request is left; `fromTimer` when the timer's tick
  // began it (the timer is then started again at the end); `retry` begins
  // the chain with an attempt of the pending mail instead of a check.
  void RunChecks(bool fromTimer, bool retry = false);
  void CheckOnce();
  // `note` is added as a line of its own to a failure's error entry.
  void RecordAlert(const TDeliveryResult& result, const std::string& note = "");

  // The mail that failed and waits for its next attempt.
  struct PendingMail {
    bool recovery = false;
    std::string report;
    std::string composedLocal;
    std::string composedUtc;
    int attempts = 0;          // failed attempts
    std::string shortLetters;  // drives short in the report
    std::string recipients;    // still to reach; empty: everyone
    bool triedThisRun = false;
  };
  // One attempt of FPending; delivered, final or scheduled again.
  void AttemptPending();
  void ArmRetry(int64_t milliseconds);
  void SetPending(bool recovery, const std::string& report, const std::string& shortLetters);
  // False while REMIND holds back a mail of a standing shortage.
  bool ReminderDue(const std::string& shortLetters) const;
  std::string ComposeRecoveryReport(const std::string& driveLines);
  void DropPending();
  // Takes the last delivery, the last delivered alert, the failure count and
  // a pending mail from the state an earlier run left (once per process,
  // before the first write or count).
  void ReadPreviousState();
  // Rewrites the last check's state and metrics with the mail step of a retry.
  void WriteRetryState();
  void FillAlertState(CheckState& state) const;
  void WriteStateFile(const CheckState& state);
  std::optional<PendingMail> FPending;  // guarded by FCheckMutex for readers
  int64_t FFirstRetryMs = 5 * 60 * 1000;
  bool FRetryTimerTicks = false;  // a host timer, not the one-shot run's inert one
  std::string FAlertUtc;    // the last delivered alert
  std::string FAlertShort;
  bool FAlertOpen = false;
  std::unique_ptr<CheckState> FLastCheckState;  // as last written
  // Writes the last-check state with `outcome` ("information", "warning" or
  // the error text of a check that failed); `mailStep` when the check got
  // as far as its mail step (else no mail is recorded). The metrics file
  // follows from the same values. Never throws.
  void WriteCheckState(const std::string& outcome, bool mailStep);
  // Replaces the metrics file with `state`'s values. Never throws.
  void WriteMetrics(const CheckState& state, bool succeeded);
  std::string FStateFolder;
  std::string FSettingsPath;
  std::string FCredentialPassword;
  // After a load: the clear password stored protected, the file's rights.
  void CareForStoredSecret(const LoadedSettings& next);
  std::string FMetricsFolder;
  bool FMetricsFailureReported = false;  // since the last ServiceStart
  bool FLoadFailed = false;              // the running check's settings did not load
  bool FLastCheckSucceeded = false;      // the last check's metrics success flag
  int64_t FMailFailures = 0;
  bool FStateRead = false;          // the previous state's last delivery was read
  bool FStateFailureReported = false;  // since the last ServiceStart
  std::string FLastDeliveryLocal;
  std::string FLastDeliveryUtc;
  int FMailTimeOut = 60;
  int FMailDeadline = 300;
  int32_t FInterval = 0;
  int32_t FRemind = 0;
  bool FRecoveryMail = false;
  bool FIsMailSend = false;
  std::string FMailFrom;
  std::string FMailTo;
  std::string FMailCc;
  std::unique_ptr<std::vector<std::unique_ptr<A_Drive>>> FDriveList;
  std::string FIniFileBytes;
  int FThresholdCount = 0;
  std::string FAbsentLetters;
  std::string FSmtpHost;
  int FSmtpPort = 25;
  TSmtpSecurity FSmtpSecurity = TSmtpSecurity::None;
  std::string FSmtpUser;
  std::string FSmtpPassword;
  bool FTlsVerify = true;

  // Keeps ServiceStop and a check apart: the stop waits while FChecking and
  // a check does not begin once FStopped.
  mutable std::mutex FCheckMutex;
  std::condition_variable FCheckEnded;
  bool FChecking = false;
  bool FStopped = false;
  bool FCheckRequested = false;  // a check asked for while one ran
  bool FTimerRestart = false;    // the running chain of checks restarts the timer
  std::thread::id FCheckThread;
  TSMTPClient* FActiveClient = nullptr;  // the conversation a stop cancels
  AlertOutcome FLastAlert;
};

// A drive whose free-space call did not return within the bound: its line
// in the drive list, and its line among the drives of the warning.
inline constexpr const char* kDriveNoAnswer = "応答がありません";
std::string DriveNoAnswerLine(char letter, int64_t boundMs);

// The source name of the service's event log entries.
inline constexpr const char* kEventSource = "Drivewarden";

// The error entry of a metrics file that could not be written: the fixed
// start, the file's path, then the failed step and the reason.
inline constexpr const char* kMetricsNotWritten = "メトリクスファイルを書き込めません: ";
inline constexpr const char* kMetricsNotRemoved = "使われなくなったメトリクスファイルを削除できません: ";
// The error entry that follows a warning whose alert mail failed, or reached
// only some recipients: the fixed start, then the failed step and the
// reason, or one "RCPT <address>: <reply>" line per refused recipient.
// Empty when the mail reached everyone.
// The error entry of a last-check state that could not be written: the fixed
// start, the file's path, then the failed step and the system's reason.
inline constexpr const char* kStateNotWritten = "状態ファイルを書き込めません: ";
inline constexpr const char* kStateNotRead = "状態ファイルを読めません。再送待ちのメールと通知の履歴は失われました: ";
inline constexpr const char* kAlertNotSent = "警告メールを送信できませんでした: ";
inline constexpr const char* kAlertPartlySent = "警告メールは次の宛先に届きませんでした: ";
// The information entry of a mail delivered after failed attempts; the
// composition time and the attempt count follow.
inline constexpr const char* kAlertDeliveredLate = "警告メールを遅れて送信しました。作成: ";
inline constexpr const char* kRecoveryDeliveredLate = "回復のお知らせを遅れて送信しました。作成: ";
inline constexpr const char* kRecoveryNotSent = "回復のお知らせを送信できませんでした: ";
// True for a 5xx refusal of the whole message (MAIL, DATA, the end of the
// text) or of every recipient: trying again would meet the same answer.
bool IsFinalRefusal(const TDeliveryResult& result);
std::string AlertFailureText(const TDeliveryResult& result);
// The information entries that follow an alert sent in a weaker way than
// usual: over TLS whose certificate was not checked (TLSVERIFY=0), and with
// the password sent without encryption (SECURITY=NONE with a USER).
inline constexpr const char* kAlertUnverified =
    "警告メールは証明書を検証していない暗号化接続で送信しました (TLSVERIFY=0)。";
inline constexpr const char* kAlertPasswordInClear =
    "警告メールの送信でパスワードを暗号化せずにサーバーへ送りました (SECURITY=NONE)。";

// The name of the POSIX host's credential that holds the SMTP password
// (a file of that name in $CREDENTIALS_DIRECTORY).
inline constexpr const char* kCredentialName = "smtp-password";
// What works, told after "the settings file holds a password that others can read".
#ifdef _WIN32
inline constexpr const char* kReadableSecretAdvice =
    "管理者として QuotawardenService.exe /SETSECRET PASSWORD を実行する (パスワードは標準入力から) か、"
    "コントロール パネルで設定を保存し直すと、SYSTEM と Administrators だけが読める権限になります。";
#else
inline constexpr const char* kReadableSecretAdvice =
    "パスワードは systemd の資格情報に移してください: root だけが読めるファイル /etc/quotawarden/smtp-password "
    "(chmod 600) に書き、設定ファイルの PASSWORD を空にすると、同梱のユニットが LoadCredential= でサービスに渡します "
    "(QuotawardenService --set-secret PASSWORD がそのファイルを作ります)。";
#endif

}  // namespace qw
