#include "service/drivewarden.h"

#include <stdexcept>

#include "common/errors.h"
#include "platform/files.h"

namespace qw {
namespace {

const char kCrLf[] = "\r\n";

// Runs its action when the scope is left, also by an error.
class AtExit {
 public:
  explicit AtExit(std::function<void()> action) : action_(std::move(action)) {}
  ~AtExit() { action_(); }
  AtExit(const AtExit&) = delete;
  AtExit& operator=(const AtExit&) = delete;

 private:
  std::function<void()> action_;
};

// The volume listing, on a thread of its own and waited for at most
// `boundMs` as a free-space call is: a system whose listing hangs says so
// instead of holding the check.
Result<std::vector<VolumeInfo>> ListVolumesWithin(BoundedCalls& calls, Drives& drives, int64_t boundMs) {
  static const std::string kKey = "volume listing";
  auto listed = std::make_shared<Result<std::vector<VolumeInfo>>>(Status::Failure("ListVolumes", 0, "not listed"));
  Drives* platform = &drives;
  switch (calls.Begin(kKey, [listed, platform] {
    try {
      *listed = platform->ListVolumes();
    } catch (const std::exception& e) {
      *listed = Status::Failure("ListVolumes", 0, e.what());
    }
  })) {
    case BoundedCalls::Start::Started:
      break;
    case BoundedCalls::Start::Busy:
      return Status::Failure("ListVolumes", 0, "the last listing of the volumes has not returned yet",
                             StatusKind::kTimedOut);
    case BoundedCalls::Start::NoThread:
      return Status::Failure("ListVolumes", 0, "no thread could be started for the listing");
  }
  calls.Wait({kKey}, std::chrono::milliseconds(boundMs), true).Ignore();
  if (!calls.Returned(kKey))
    return Status::Failure("ListVolumes", 0,
                           "the volumes were not listed within " + std::to_string((boundMs + 999) / 1000) + " s",
                           StatusKind::kTimedOut);
  return *listed;
}

}  // namespace

TDrivewarden::TDrivewarden(ServicePlatform platform, std::unique_ptr<Timer> checkTimer,
                           std::unique_ptr<Timer> retryTimer, WatchOptions options)
    : platform_(platform),
      FOptions(std::move(options)),
      FEntries(platform.eventLog),
      FRecord(FEntries, platform.system, FCalls, FOptions.answerBoundMs),
      FSender(platform.system),
      tmCheck_(std::move(checkTimer)),
      tmRetry_(retryTimer ? std::move(retryTimer) : std::make_unique<IdleTimer>()) {
  FRetryTimerTicks = dynamic_cast<IdleTimer*>(tmRetry_.get()) == nullptr;
  FSettings.interval = 0;
  tmCheck_->SetEnabled(false);
  tmCheck_->SetInterval(1000);
  tmCheck_->OnTimer = [this] { tmCheckTimer(this); };
  tmRetry_->SetEnabled(false);
  tmRetry_->OnTimer = [this] { tmRetryTimer(this); };
}

TDrivewarden::~TDrivewarden() {
  tmCheck_->SetEnabled(false);
  tmCheck_->OnTimer = nullptr;
  tmRetry_->SetEnabled(false);
  tmRetry_->OnTimer = nullptr;
}

void TDrivewarden::ServiceStart(const std::function<void()>& loaded) {
  {
    std::lock_guard<std::mutex> lock(FCheckMutex);
    FStopped = false;
    FCheckRequested = false;
    FSender.Slot().Reset();  // with FStopped, so that a stop meanwhile holds for both
  }
  FCalls.Resume();
  // A start lists the fixed drives anew; the load fills the table.
  FFixedDrives = FixedDriveLetters(platform_.drives);
  FDriveList = std::make_unique<std::vector<std::unique_ptr<A_Drive>>>();
  FRecord.NewRun();
  TakePreviousState();
  {
    std::lock_guard<std::mutex> lock(FCheckMutex);
    FPolicy.NewRun();
  }
  try {
    LoadSettings();
  } catch (const std::exception& e) {
    WriteCheckState(e.what(), false);
    throw;
  }
  if (loaded) loaded();
  tmCheckTimer(nullptr);
  // A mail left pending by an earlier run that the first check neither
  // replaced nor dropped goes now rather than one retry delay later.
  bool sendPending = false;
  {
    std::lock_guard<std::mutex> lock(FCheckMutex);
    sendPending = FPolicy.Pending() && !FPolicy.Pending()->triedThisRun && !FStopped;
  }
  if (sendPending) RunChecks(false, true);
}

void TDrivewarden::CancelForStop() {
  FCalls.Cancel();
  std::lock_guard<std::mutex> lock(FCheckMutex);
  FStopped = true;
  FCheckRequested = false;
  FSender.Slot().Cancel();
}

void TDrivewarden::ServiceStop() {
  // Without a bound the wait ends only when the check has: no time-out.
  ServiceStopWithin(-1).Ignore();
}

Status TDrivewarden::ServiceStopWithin(int64_t milliseconds) {
  FCalls.Cancel();
  {
    std::unique_lock<std::mutex> lock(FCheckMutex);
    if (FChecking && FCheckThread == std::this_thread::get_id())
      throw std::logic_error("ServiceStop called from inside a check on the same thread");
    FStopped = true;
    FCheckRequested = false;
    FSender.Slot().Cancel();
    const auto ended = [this] { return !FChecking; };
    if (milliseconds < 0) {
      FCheckEnded.wait(lock, ended);
    } else if (!FCheckEnded.wait_for(lock, std::chrono::milliseconds(milliseconds), ended)) {
      lock.unlock();
      tmCheck_->SetEnabled(false);
      tmRetry_->SetEnabled(false);
      return Status::Failure("ServiceStop", 0,
                             "the running check did not end within " + std::to_string(milliseconds) + " ms",
                             StatusKind::kTimedOut);
    }
  }
  tmCheck_->SetEnabled(false);
  tmRetry_->SetEnabled(false);
  FreeDriveList();
  return Status();
}

void TDrivewarden::LoadSettings(bool forTestMail) {
  // The file is read once; every value comes from that one snapshot, so a
  // load never mixes two versions of a file that is being replaced.
  const Result<ProfileSnapshot> file = platform_.profiles.ReadSnapshot(kIniFileName);
  if (!file.Ok())
    throw ESettingsFileError(std::string("設定ファイル ") + kIniFileName + " を読めません: " + file.status().Text());
  const ProfileSnapshot& ini = *file;
  if (!FDriveList) {
    // No table yet: the fixed drives are listed as a start does.
    FFixedDrives = FixedDriveLetters(platform_.drives);
  }
  // The volumes of the moment: a volume mounted since the last load is
  // watched under DEFAULT from this check on.
  Result<std::vector<VolumeInfo>> volumes = ListVolumesWithin(FCalls, platform_.drives, FOptions.answerBoundMs);
  std::string volumeSignature;
  for (const VolumeInfo& volume : volumes.value_or(std::vector<VolumeInfo>{})) {
    volumeSignature += volume.name + '\n';
    for (const std::string& path : volume.paths) volumeSignature += path + '\t';
  }
  if (FDriveList && ini.Bytes() == FIniFileBytes && !forTestMail) {
    // Changed or not is decided by the content, whatever the file's time
    // says; the same version is read anew only for other fixed drives or
    // other volumes.
    std::string letters;
    for (const auto& drive : *FDriveList) letters += drive->Letter;
    if (letters == FFixedDrives && volumeSignature == FVolumeSignature) return;
  }
  WatchSettingsInputs inputs;
  inputs.fixedLetters = FFixedDrives;
  // A drive that does not answer has no known size (its line in the check
  // says so).
  for (const auto& [letter, answer] :
       MeasureDrives(FCalls, platform_.drives, inputs.fixedLetters, FOptions.answerBoundMs))
    inputs.capacities[letter] = answer.measured ? answer.totalBytes : -1;
  inputs.decimalSeparator = platform_.system.DecimalSeparator();
  inputs.volumeListing = volumes.status();
  if (volumes.Ok()) inputs.volumes = std::move(*volumes);
  inputs.mailRequired = forTestMail;
  inputs.credentialPassword = FCredentialPassword;
  WatchSettings next = ReadWatchSettings(ini, inputs);

  FIniFileBytes = ini.Bytes();
  FVolumeSignature = volumeSignature;
  auto table = std::make_unique<std::vector<std::unique_ptr<A_Drive>>>();
  for (const A_Drive& drive : next.drives) table->push_back(std::make_unique<A_Drive>(drive));
  FDriveList = std::move(table);
  FRecord.SetMetricsFolder(next.metricsFolder);
  qw::CareForStoredSecret(platform_.profiles, FEntries, FSettingsPath, FCredentialPassword, next);
  tmCheck_->SetInterval(static_cast<int64_t>(next.interval) * 3600000);
  if (next.isMailSend || forTestMail) {
    const TTestMailSettings server = MailSettingsOf(next, FServer.timeOut, FServer.deadline);
    FServer = server;
    FEntries.SetLogin(next.user, next.password);
    if (FOptions.onSmtpServer) FOptions.onSmtpServer(next.smtpHost, next.smtpPort);
  }
  if (!next.mailProblems.empty()) {
    std::string text = std::string("メール通知はオフのため、次の設定の誤りがあっても監視を続けます。") + kCrLf;
    for (const std::string& line : next.mailProblems) text += line + kCrLf;
    FEntries.Warning(text);
  }
  FSettings = std::move(next);
}

void TDrivewarden::FreeDriveList() { FDriveList.reset(); }

void TDrivewarden::tmCheckTimer(void* /*Sender*/) {
  tmCheck_->SetEnabled(false);
  RunChecks(true);
}

void TDrivewarden::CheckNow() { RunChecks(false); }

void TDrivewarden::tmRetryTimer(void* /*Sender*/) {
  tmRetry_->SetEnabled(false);
  RunChecks(false, true);
}

void TDrivewarden::RunChecks(bool fromTimer, bool retry) {
  std::optional<int64_t> busyRetryDelay;
  {
    std::lock_guard<std::mutex> lock(FCheckMutex);
    if (FStopped) return;
    if (FChecking && retry) {
      // A check runs: it replaces or drops the pending mail, or the retry
      // comes again after the same delay.
      // (Not the settings: the check thread may be loading them.)
      busyRetryDelay = FPolicy.BusyRetryDelay(FFirstRetryMs);
      if (!busyRetryDelay) return;
    } else if (FChecking) {
      // The running chain takes this check over when its own check ends.
      FCheckRequested = true;
      FTimerRestart = FTimerRestart || fromTimer;
      return;
    } else {
      FChecking = true;
      FTimerRestart = fromTimer;
      FCheckThread = std::this_thread::get_id();
    }
  }
  if (busyRetryDelay) {
    ArmRetry(*busyRetryDelay);
    return;
  }
  // The chain's end, also by an error: the check timer starts again when a
  // tick began the chain (unless the service has been stopped meanwhile),
  // and a waiting stop goes on.
  AtExit end([this] {
    {
      std::lock_guard<std::mutex> lock(FCheckMutex);
      if (!FStopped && FTimerRestart) tmCheck_->SetEnabled(true);
      FTimerRestart = false;
      FChecking = false;
    }
    FCheckEnded.notify_all();
  });
  for (bool first = true;; first = false) {
    try {
      if (first && retry)
        RetryOnce();
      else
        CheckOnce();
    } catch (const std::exception& e) {
      // The host reports the error; the state tells the status page too.
      WriteCheckState(e.what(), false);
      throw;
    }
    std::lock_guard<std::mutex> lock(FCheckMutex);
    if (!FCheckRequested || FStopped) break;
    FCheckRequested = false;
  }
}

void TDrivewarden::CheckOnce() {
  // Load: a file that does not load keeps the last good settings; it is
  // read again at the next check, and each check that finds it broken says so.
  FLoadFailed = false;
  try {
    LoadSettings();
  } catch (const ESettingsError& e) {
    FLoadFailed = true;
    FEntries.Error(e.what());
  }
  // Measure; a stop while the drives were measured ends the check without
  // a report.
  ReportLines lines;
  if (!MeasureAndCompose(lines)) return;
  FRecord.SetVolumes(lines.volumes);
  // Report.
  const std::string computer = platform_.system.ComputerName();
  const std::string stamp = ReportStamp(platform_.system, platform_.system.Now());
  CheckFacts facts;
  facts.shortLetters = ShortSetText(lines.shortLetters, lines.shortVolumes);
  if (lines.thresholdLines.empty()) {
    facts.recoveryReport = ComposeRecoveryReport(computer, lines.driveLines, stamp);
    FEntries.Information(lines.driveLines);
  } else {
    facts.alertReport = ComposeAlertReport(computer, lines.driveLines, lines.thresholdLines, stamp);
    FEntries.Warning(facts.alertReport);
  }
  // Decide and send: the mail step never ends the check; whatever goes wrong
  // there is recorded as a failed alert mail after the report's entry.
  AlertStep step;
  {
    std::lock_guard<std::mutex> lock(FCheckMutex);
    FLastAlert = AlertOutcome{};
    step = FPolicy.OnCheck(facts, Rules(), Clock());
  }
  Follow(step);
  // Record.
  WriteCheckState(lines.thresholdLines.empty() ? "information" : "warning", true);
}

void TDrivewarden::RetryOnce() {
  // A retry follows the settings file as a check does (mail switched off,
  // another server); a file that does not load keeps the last good settings
  // and is said as at a check.
  try {
    LoadSettings();
  } catch (const ESettingsError& e) {
    FEntries.Error(e.what());
  }
  AlertStep step;
  {
    std::lock_guard<std::mutex> lock(FCheckMutex);
    step = FPolicy.OnRetry(Rules());
  }
  if (step == AlertStep::kNone) return;
  Follow(step);
  FRecord.WriteRetry(LastAlert(), AlertState(), RecordContext());
  TellCheckState();
}

bool TDrivewarden::MeasureAndCompose(ReportLines& lines) {
  if (FDriveList && !MeasureTable(FCalls, platform_.drives, *FDriveList, FOptions.answerBoundMs,
                                  platform_.system.ThousandSeparator(), lines))
    return false;
  const size_t volumeCount = FDriveList ? FSettings.volumes.size() : 0;
  if (volumeCount > 0 && !MeasureVolumes(FCalls, platform_.drives, FSettings.volumes, FOptions.answerBoundMs,
                                         platform_.system.ThousandSeparator(), platform_.system.DecimalSeparator(),
                                         lines))
    return false;
  lines.driveLines += SettingsNoteLines((FDriveList ? FDriveList->size() : 0) + volumeCount,
                                        (FDriveList ? FSettings.thresholdCount : 0) + static_cast<int>(volumeCount),
                                        FSettings.absentLetters);
  return true;
}

void TDrivewarden::Follow(AlertStep step) {
  if (step == AlertStep::kNone) return;
  tmRetry_->SetEnabled(false);
  if (step == AlertStep::kSend) AttemptPending();
}

void TDrivewarden::AttemptPending() {
  std::optional<PendingMail> mail;
  {
    std::lock_guard<std::mutex> lock(FCheckMutex);
    mail = FPolicy.BeginAttempt();
  }
  if (!mail) return;
  TDeliveryResult result;
  try {
    if (FOptions.sendAlert)
      result = FOptions.sendAlert(mail->report);
    else
      result = FSender.Send(mail->report, mail->recovery, mail->recipients, TestMailSettings());
  } catch (const std::exception& e) {
    result = TDeliveryResult{};
    result.status = Status::Failure("", 0, e.what());
  }
  const std::string everyone = FSettings.mailCc.empty() ? FSettings.mailTo : FSettings.mailTo + "," + FSettings.mailCc;
  AttemptDecision decision;
  bool stopped = false;
  {
    std::lock_guard<std::mutex> lock(FCheckMutex);
    decision = FPolicy.OnAttempt(*mail, result, everyone, Rules(), Clock());
    stopped = FStopped;
  }
  if (decision.kind == AttemptDecision::Kind::kDelivered && mail->attempts > 0)
    FEntries.Information(LateDeliveryText(*mail));
  const std::string note = AttemptNote(decision, stopped, FRetryTimerTicks);
  RecordAlert(result, mail->recovery, note);
  if (decision.kind == AttemptDecision::Kind::kDelivered || decision.kind == AttemptDecision::Kind::kFinal)
    tmRetry_->SetEnabled(false);
  else if (!stopped)
    ArmRetry(decision.retryMs);
}

void TDrivewarden::RecordAlert(const TDeliveryResult& result, bool recovery, const std::string& note) {
  // Every attempt that did not reach every recipient counts, once, here.
  TakePreviousState();
  if (!result.Complete()) FRecord.CountMailFailure();
  {
    std::lock_guard<std::mutex> lock(FCheckMutex);
    FLastAlert.attempted = true;
    FLastAlert.result = result;
  }
  if (const std::string text = AlertFailureEntry(result, recovery, note); !text.empty()) FEntries.Error(text);
  if (result.Delivered() && result.encrypted && !result.verified) FEntries.Information(kAlertUnverified);
  if (result.passwordInClear) FEntries.Information(kAlertPasswordInClear);
}

void TDrivewarden::ArmRetry(int64_t milliseconds) {
  tmRetry_->SetEnabled(false);
  tmRetry_->SetInterval(milliseconds);
  tmRetry_->SetEnabled(true);
}

AlertRules TDrivewarden::Rules() const {
  AlertRules rules;
  rules.mailOn = FSettings.isMailSend;
  rules.recoveryMail = FSettings.recoveryMail;
  rules.remindHours = FSettings.remind;
  rules.firstRetryMs = FFirstRetryMs;
  return rules;
}

AlertClock TDrivewarden::Clock() const {
  return AlertClock{platform_.system.Now(), platform_.system.UtcOffsetMinutes()};
}

std::optional<PendingMail> TDrivewarden::Pending() const {
  std::lock_guard<std::mutex> lock(FCheckMutex);
  return FPolicy.Pending();
}

bool TDrivewarden::HasPendingAlert() const { return Pending().has_value(); }
std::string TDrivewarden::PendingReport() const { return Pending().value_or(PendingMail{}).report; }
int TDrivewarden::PendingAttempts() const { return Pending().value_or(PendingMail{}).attempts; }
std::string TDrivewarden::PendingRecipients() const { return Pending().value_or(PendingMail{}).recipients; }

TDrivewarden::AlertOutcome TDrivewarden::LastAlert() const {
  std::lock_guard<std::mutex> lock(FCheckMutex);
  return FLastAlert;
}

void TDrivewarden::TakePreviousState() {
  const std::optional<CheckState> previous = FRecord.TakePrevious();
  if (!previous) return;
  std::lock_guard<std::mutex> lock(FCheckMutex);
  FPolicy.LoadFrom(*previous);
}

CheckState TDrivewarden::AlertState() const {
  CheckState state;
  std::lock_guard<std::mutex> lock(FCheckMutex);
  FPolicy.SaveTo(state);
  return state;
}

CheckRecord::Context TDrivewarden::RecordContext() const {
  return CheckRecord::Context{FSettings.interval, platform_.system.ComputerName()};
}

void TDrivewarden::WriteCheckState(const std::string& outcome, bool mailStep) {
  TakePreviousState();
  // Information and warning are the outcomes of a check that ran; any other
  // outcome is the error that ended it.
  const bool succeeded = !FLoadFailed && (outcome == "information" || outcome == "warning");
  const AlertOutcome mail = mailStep ? LastAlert() : AlertOutcome{};
  FRecord.WriteCheck(outcome, succeeded, FDriveList.get(), &mail, AlertState(), RecordContext());
  TellCheckState();
}

void TDrivewarden::TellCheckState() {
  if (FOnCheckState && FRecord.Last()) FOnCheckState(*FRecord.Last(), FRecord.LastSucceeded());
}

void TDrivewarden::SetMailTimeOuts(int silenceSeconds, int deadlineSeconds) {
  FServer.timeOut = silenceSeconds;
  FServer.deadline = deadlineSeconds;
}

TTestMailSettings TDrivewarden::TestMailSettings() const {
  // The server of the last load with mail on, the addresses of the last load.
  TTestMailSettings settings = FServer;
  settings.from = FSettings.mailFrom;
  settings.to = FSettings.mailTo;
  settings.cc = FSettings.mailCc;
  return settings;
}

}  // namespace qw
