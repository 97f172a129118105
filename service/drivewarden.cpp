#include "service/drivewarden.h"

#include <algorithm>
#include <stdexcept>
#include <system_error>
#include <thread>

#include <cmath>
#include <stdexcept>

#include "common/check_state.h"
#include "common/errors.h"
#include "common/fill_forecast.h"
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
      FSender(platform.system, FOptions.httpClient ? FOptions.httpClient : CancellableHttp::Factory(NewHttpClient)),
      FHeartbeat(FEntries, FOptions.httpClient),
      tmCheck_(std::move(checkTimer)),
      tmRetry_(retryTimer ? std::move(retryTimer) : std::make_unique<IdleTimer>()),
      FHistory(FEntries, FCalls, FOptions.answerBoundMs),
      FWebhookSender(FOptions.httpClient),
      FWebhooks(FEntries, FWebhookSender),
      tmWebhook_(std::make_unique<IdleTimer>()) {
  FRetryTimerTicks = dynamic_cast<IdleTimer*>(tmRetry_.get()) == nullptr;
  FSettings.interval = 0;
  tmCheck_->SetEnabled(false);
  tmCheck_->SetInterval(1000);
  tmCheck_->OnTimer = [this] { tmCheckTimer(this); };
  tmRetry_->SetEnabled(false);
  tmRetry_->OnTimer = [this] { tmRetryTimer(this); };
}

void TDrivewarden::SetWebhookRetryTimer(std::unique_ptr<Timer> timer) {
  tmWebhook_ = timer ? std::move(timer) : std::make_unique<IdleTimer>();
  FWebhookTimerTicks = dynamic_cast<IdleTimer*>(tmWebhook_.get()) == nullptr;
  tmWebhook_->SetEnabled(false);
  tmWebhook_->OnTimer = [this] { tmWebhookTimer(this); };
}

TDrivewarden::~TDrivewarden() {
  tmWebhook_->SetEnabled(false);
  tmWebhook_->OnTimer = nullptr;
  tmCheck_->SetEnabled(false);
  tmCheck_->OnTimer = nullptr;
  tmRetry_->SetEnabled(false);
  tmRetry_->OnTimer = nullptr;
  if (tmSample_) {
    tmSample_->SetEnabled(false);
    tmSample_->OnTimer = nullptr;
  }
}

void TDrivewarden::SetSampleTimer(std::unique_ptr<Timer> timer, int64_t periodMs) {
  if (tmSample_) tmSample_->SetEnabled(false);
  tmSample_ = std::move(timer);
  if (!tmSample_) return;
  tmSample_->SetEnabled(false);
  tmSample_->SetInterval(periodMs);
  tmSample_->OnTimer = [this] { tmSampleTimer(this); };
}

void TDrivewarden::ServiceStart(const std::function<void()>& loaded) {
  {
    std::lock_guard<std::mutex> lock(FCheckMutex);
    FStopped = false;
    FCheckRequested = false;
    FSender.Slot().Reset();  // with FStopped, so that a stop meanwhile holds for both
    FHeartbeat.Resume();
    FWebhookSender.Reset();
  }
  FCalls.Resume();
  // A start lists the fixed drives anew; the load fills the table.
  FFixedDrives = FixedDriveLetters(platform_.drives);
  FDriveList = std::make_unique<std::vector<std::unique_ptr<A_Drive>>>();
  FRecord.NewRun();
  FHistory.NewRun();
  TakePreviousState();
  {
    std::lock_guard<std::mutex> lock(FCheckMutex);
    FPolicy.NewRun();
  }
  FWebhooks.NewRun();
  try {
    LoadSettings();
  } catch (const std::exception& e) {
    WriteCheckState(e.what(), false);
    throw;
  }
  if (loaded) loaded();
  if (tmSample_) tmSample_->SetEnabled(true);
  tmCheckTimer(nullptr);
  // A mail left pending by an earlier run that the first check neither
  // replaced nor dropped goes now rather than one retry delay later.
  bool sendPending = false;
  {
    std::lock_guard<std::mutex> lock(FCheckMutex);
    sendPending = FPolicy.Pending() && !FPolicy.Pending()->triedThisRun && !FStopped;
  }
  if (sendPending) RunChecks(false, true);
  // So do webhook alerts left pending that the first check left waiting.
  bool stopped = false;
  {
    std::lock_guard<std::mutex> lock(FCheckMutex);
    stopped = FStopped;
  }
  if (!stopped && FWebhooks.UntriedPending()) RunChecks(false, false, true);
}

void TDrivewarden::CancelForStop() {
  FCalls.Cancel();
  std::lock_guard<std::mutex> lock(FCheckMutex);
  FStopped = true;
  FCheckRequested = false;
  FSender.Slot().Cancel();
  FHeartbeat.Cancel();
  FWebhookSender.Cancel();
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
    FHeartbeat.Cancel();
    FWebhookSender.Cancel();
    const auto ended = [this] { return !FChecking; };
    if (milliseconds < 0) {
      FCheckEnded.wait(lock, ended);
    } else if (!FCheckEnded.wait_for(lock, std::chrono::milliseconds(milliseconds), ended)) {
      lock.unlock();
      tmCheck_->SetEnabled(false);
      tmRetry_->SetEnabled(false);
      tmWebhook_->SetEnabled(false);
      if (tmSample_) tmSample_->SetEnabled(false);
      return Status::Failure("ServiceStop", 0,
                             "the running check did not end within " + std::to_string(milliseconds) + " ms",
                             StatusKind::kTimedOut);
    }
  }
  tmCheck_->SetEnabled(false);
  tmRetry_->SetEnabled(false);
  tmWebhook_->SetEnabled(false);
  if (tmSample_) tmSample_->SetEnabled(false);
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
  inputs.credentialClientSecret = FCredentialClientSecret;
  WatchSettings next = ReadWatchSettings(ini, inputs);

  FIniFileBytes = ini.Bytes();
  FVolumeSignature = volumeSignature;
  auto table = std::make_unique<std::vector<std::unique_ptr<A_Drive>>>();
  for (const A_Drive& drive : next.drives) table->push_back(std::make_unique<A_Drive>(drive));
  FDriveList = std::move(table);
  FRecord.SetMetricsFolder(next.metricsFolder);
  FHeartbeat.Configure(next.heartbeat);
  qw::CareForStoredSecret(platform_.profiles, FEntries, FSettingsPath, FCredentialPassword, next);
  tmCheck_->SetInterval(static_cast<int64_t>(next.interval) * 3600000);
  if (next.isMailSend || forTestMail) {
    const TTestMailSettings server = MailSettingsOf(next, FServer.timeOut, FServer.deadline);
    FServer = server;
    FEntries.SetLogin(next.user, next.password);
    FEntries.AddSecret(next.oauth.clientSecret);
    if (FOptions.onSmtpServer) FOptions.onSmtpServer(next.smtpHost, next.smtpPort);
  }
  if (!next.mailProblems.empty()) {
    std::string text = std::string("メール通知はオフのため、次の設定の誤りがあっても監視を続けます。") + kCrLf;
    for (const std::string& line : next.mailProblems) text += line + kCrLf;
    FEntries.Warning(text);
  }
  FSettings = std::move(next);
  FWebhooks.SetTargets(FSettings.webhooks.targets);
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

void TDrivewarden::tmWebhookTimer(void* /*Sender*/) {
  tmWebhook_->SetEnabled(false);
  RunChecks(false, false, true);
}


void TDrivewarden::tmSampleTimer(void* /*Sender*/) {
  // A sampling holds the check's place: a stop waits for it, and a check
  // asked for meanwhile runs after it.
  {
    std::lock_guard<std::mutex> lock(FCheckMutex);
    if (FStopped || FChecking || !FDriveList) return;
    FChecking = true;
    FTimerRestart = false;
    FCheckThread = std::this_thread::get_id();
  }
  try {
    SampleOnce();
  } catch (const std::exception& e) {
    FEntries.Error(std::string(kHistoryNotWritten) + e.what());
  }
  bool checkAsked = false;
  bool restart = false;
  {
    std::lock_guard<std::mutex> lock(FCheckMutex);
    FChecking = false;
    checkAsked = FCheckRequested && !FStopped;
    restart = FTimerRestart;
    FCheckRequested = false;
    FTimerRestart = false;
  }
  FCheckEnded.notify_all();
  if (checkAsked) RunChecks(restart);
}

void TDrivewarden::SampleOnce() {
  std::string letters;
  for (const auto& drive : *FDriveList) letters += drive->Letter;
  std::map<std::string, VolumeMeasure> measures;
  for (const auto& [letter, answer] : MeasureDrives(FCalls, platform_.drives, letters, FOptions.answerBoundMs))
    if (answer.measured) measures[std::string(1, letter) + ":"] = VolumeMeasure{answer.freeBytes, answer.totalBytes};
  if (FCalls.Cancelled()) return;
  // The volumes watched besides the letters, under the path the report
  // shows (the name their history is kept under).
  std::vector<std::string> paths;
  for (const WatchedVolume& watched : FSettings.volumes) paths.push_back(MeasuredPath(watched.volume));
  if (!paths.empty()) {
    const std::map<std::string, DriveAnswer> answers =
        MeasurePaths(FCalls, platform_.drives, paths, FOptions.answerBoundMs);
    if (FCalls.Cancelled()) return;
    for (const auto& [path, answer] : answers)
      if (answer.measured) measures[ShownMountPath(path)] = VolumeMeasure{answer.freeBytes, answer.totalBytes};
  }
  FHistory.Record(measures, NowUtcSeconds());
}

int64_t TDrivewarden::NowUtcSeconds() const {
  int64_t seconds = 0;
  if (!UtcStampSeconds(UtcStamp(platform_.system.Now(), platform_.system.UtcOffsetMinutes()), &seconds)) return 0;
  return seconds;
}

void TDrivewarden::RecordHistory(std::vector<VolumeState>& volumes, std::string& forecastLines,
                                 std::string& forecastSet) {
  if (!FDriveList) return;
  const int64_t now = NowUtcSeconds();
  std::map<std::string, VolumeMeasure> measures;
  for (const auto& drive : *FDriveList)
    if (drive->FreeSpace >= 0)
      measures[std::string(1, drive->Letter) + ":"] = VolumeMeasure{drive->FreeSpace, drive->Capacity};
  for (const VolumeState& volume : volumes)
    if (volume.freeBytes >= 0) measures[volume.path] = VolumeMeasure{volume.freeBytes, volume.capacity};
  FHistory.Record(measures, now);
  const VolumeHistory history = FHistory.Snapshot();
  const int64_t horizon = int64_t{FSettings.forecast.days} * 86400;
  // The trend of one letter or volume, and its forecast line when it is not
  // short yet but reaches its threshold within FORECASTDAYS (a volume
  // already short is reported as such; the forecast adds nothing to it).
  const auto trendOf = [&](const std::string& key, const std::string& title, int64_t freeBytes, int64_t limitBytes,
                           bool watching, bool* forecastSoon) {
    const std::vector<VolumeSample>& samples = history.Samples(key);
    DriveTrend trend;
    if (const std::optional<FreeTrend> fit = FitFreeTrend(samples, now)) {
      trend.hasTrend = true;
      trend.bytesPerDay = static_cast<int64_t>(std::llround(fit->bytesPerSecond * 86400.0));
    }
    if (!watching) return trend;
    if (const std::optional<FillForecast> forecast = ForecastFill(samples, limitBytes, now)) {
      trend.forecastSeconds = forecast->secondsLeft;
      if (horizon > 0 && freeBytes >= limitBytes && forecast->secondsLeft <= horizon) {
        const LocalDateTime reach = LocalTimeOfUtcSeconds(forecast->reachUtc, platform_.system.UtcOffsetMinutes());
        forecastLines += ForecastLine(title, platform_.system.FormatShortDate(reach), forecast->secondsLeft,
                                      forecast->bytesPerDay, platform_.system.ThousandSeparator());
        *forecastSoon = true;
      }
    }
    return trend;
  };
  std::map<std::string, DriveTrend> trends;
  std::string letters;
  for (const auto& drive : *FDriveList) {
    if (drive->FreeSpace < 0) continue;
    bool soon = false;
    trends[std::string(1, drive->Letter) + ":"] =
        trendOf(std::string(1, drive->Letter) + ":", std::string(1, drive->Letter) + " ドライブ", drive->FreeSpace,
                drive->LimitBytes, drive->LimitBytes > 0 && IsWatchingThreshold(drive->LimitText, drive->LimitBytes),
                &soon);
    if (soon) letters += drive->Letter;
  }
  std::vector<std::string> paths;
  for (VolumeState& volume : volumes) {
    if (volume.freeBytes < 0) continue;
    bool soon = false;
    const std::string title = volume.label.empty() ? volume.path : volume.path + " [" + volume.label + "]";
    const DriveTrend trend = trendOf(volume.path, title, volume.freeBytes, volume.thresholdBytes,
                                     volume.thresholdBytes > 0, &soon);
    volume.hasTrend = trend.hasTrend;
    volume.bytesPerDay = trend.bytesPerDay;
    volume.forecastSeconds = trend.forecastSeconds;
    if (soon) paths.push_back(volume.path);
  }
  forecastSet = ShortSetText(letters, paths);
  FRecord.SetTrends(std::move(trends));
}

void TDrivewarden::RunChecks(bool fromTimer, bool retry, bool webhookRetry) {
  std::optional<int64_t> busyRetryDelay;
  {
    std::lock_guard<std::mutex> lock(FCheckMutex);
    if (FStopped) return;
    if (FChecking && webhookRetry) {
      // A check or a mail retry runs: the channels go a moment after it
      // (their due times are the check thread's to read).
      tmWebhook_->SetEnabled(false);
      tmWebhook_->SetInterval(1000);
      tmWebhook_->SetEnabled(true);
      return;
    }
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
      if (first && webhookRetry)
        RetryWebhooksOnce();
      else if (first && retry)
        RetryOnce();
      else
        CheckOnce();
    } catch (const std::exception& e) {
      // The host reports the error; the state tells the status page too,
      // and the heartbeat's failure URL the service that watches it.
      // An entry that cannot be written there must not replace the error
      // the host is about to report.
      if (!(first && retry)) {
        try {
          PingHeartbeat(true);
        } catch (const std::exception&) {
        }
      }
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
  // History and forecast.
  std::string forecastLines;
  CheckFacts facts;
  RecordHistory(lines.volumes, forecastLines, facts.forecastLetters);
  FRecord.SetVolumes(lines.volumes);
  const bool warning = !lines.thresholdLines.empty() || !forecastLines.empty();
  // Report.
  const std::string computer = platform_.system.ComputerName();
  const std::string stamp = ReportStamp(platform_.system, platform_.system.Now());
  facts.shortLetters = ShortSetText(lines.shortLetters, lines.shortVolumes);
  if (!warning) {
    facts.recoveryReport = ComposeRecoveryReport(computer, lines.driveLines, stamp);
    FEntries.Information(lines.driveLines);
  } else {
    facts.alertReport = ComposeAlertReport(computer, lines.driveLines, lines.thresholdLines, stamp, forecastLines);
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
  // Every webhook channel decides and sends on its own, beside the mail
  // (a thread of their own while the mail goes); one that fails waits for
  // its own retry.
  std::function<void()> webhooks;
  if (FWebhooks.Count() > 0) {
    AlertNotice alert;
    alert.computer = computer;
    const AlertClock clock = Clock();
    alert.localTime = LocalStamp(clock.now);
    alert.utcTime = UtcStamp(clock.now, clock.utcOffsetMinutes);
    alert.utcOffsetMinutes = clock.utcOffsetMinutes;
    // The forecast set names letters and volume paths ("C|/data"): a row is
    // marked by its own name, never by a letter that a path holds.
    const std::vector<std::string> forecastNames = ShortSetNames(facts.forecastLetters);
    const auto forecast = [&forecastNames](const std::string& name) {
      return std::find(forecastNames.begin(), forecastNames.end(), name) != forecastNames.end();
    };
    if (FDriveList) {
      for (const auto& drive : *FDriveList) {
        DriveFacts row{drive->Letter, drive->FreeSpace, drive->Capacity, drive->LimitBytes, drive->LimitText,
                       lines.shortLetters.find(drive->Letter) != std::string::npos};
        row.forecast = forecast(std::string(1, drive->Letter));
        alert.drives.push_back(row);
      }
    }
    for (const VolumeState& volume : lines.volumes) {
      DriveFacts row{'?', volume.freeBytes, volume.capacity, volume.thresholdBytes, volume.thresholdText,
                     volume.below};
      row.path = volume.path;
      row.label = volume.label;
      row.forecast = forecast(volume.path);
      alert.drives.push_back(row);
    }
    AlertNotice recovery = alert;
    alert.report = facts.alertReport;
    alert.forecastLines = forecastLines;
    if (facts.shortLetters.empty() && !facts.forecastLetters.empty()) alert.kind = AlertNotice::Kind::kForecast;
    recovery.kind = AlertNotice::Kind::kRecovery;
    recovery.report = facts.recoveryReport;
    webhooks = [this, shortLetters = facts.shortLetters, forecastLetters = facts.forecastLetters, alert, recovery,
                context = WebhookContext()] {
      try {
        FWebhooks.OnCheck(shortLetters, forecastLetters, alert, recovery, context);
      } catch (const std::exception& e) {
        FEntries.Error(std::string("通知先への送信に失敗しました: ") + e.what());
      }
    };
  }
  std::thread webhookThread;
  if (webhooks) {
    try {
      webhookThread = std::thread(webhooks);
    } catch (const std::system_error&) {
      webhooks();  // no thread to be had: before the mail
    }
  }
  {
    AtExit joined([&webhookThread] {
      if (webhookThread.joinable()) webhookThread.join();
    });
    Follow(step);
  }
  ArmWebhookRetry();
  // Heartbeat: the failure URL for settings that did not load or a drive
  // or volume that could not be measured.
  bool driveFailed = false;
  if (FDriveList)
    for (const auto& drive : *FDriveList) driveFailed = driveFailed || drive->FreeSpace < 0;
  for (const VolumeState& volume : lines.volumes) driveFailed = driveFailed || volume.freeBytes < 0;
  PingHeartbeat(FLoadFailed || driveFailed);
  // Record.
  WriteCheckState(warning ? "warning" : "information", true);
}

void TDrivewarden::RetryWebhooksOnce() {
  // As a retry of the mail: the settings file is followed (a target
  // removed takes its waiting alert with it).
  try {
    LoadSettings();
  } catch (const ESettingsError& e) {
    FEntries.Error(e.what());
  }
  FWebhooks.OnRetry(WebhookContext());
  ArmWebhookRetry();
  FRecord.WriteChannels(AlertState(), RecordContext());
  TellCheckState();
}

WebhookChannels::Context TDrivewarden::WebhookContext() const {
  WebhookChannels::Context context;
  context.rules = Rules();
  context.clock = Clock();
  context.timeoutMs = int64_t{FServer.deadline > 0 ? FServer.deadline : 300} * 1000;
  context.retryTimerTicks = FWebhookTimerTicks;
  context.stopped = [this] {
    std::lock_guard<std::mutex> lock(FCheckMutex);
    return FStopped;
  };
  return context;
}

void TDrivewarden::ArmWebhookRetry() {
  tmWebhook_->SetEnabled(false);
  const std::optional<int64_t> due = FWebhooks.NextDueMs();
  {
    std::lock_guard<std::mutex> lock(FCheckMutex);
    if (!due || FStopped) return;
  }
  // A channel already due goes after a moment rather than at once, so that
  // the timer never spins.
  tmWebhook_->SetInterval(std::max<int64_t>(*due, 1000));
  tmWebhook_->SetEnabled(true);
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
      result = FSender.Send(mail->report, mail->recovery, mail->recipients, TestMailSettings(), IsForecastMail(*mail));
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
  FWebhooks.LoadFrom(*previous);
}

CheckState TDrivewarden::AlertState() const {
  CheckState state;
  {
    std::lock_guard<std::mutex> lock(FCheckMutex);
    FPolicy.SaveTo(state);
  }
  FWebhooks.SaveTo(state);
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

void TDrivewarden::PingHeartbeat(bool checkFailed) {
  if (!FHeartbeat.On()) return;
  HeartbeatFacts facts;
  facts.checkFailed = checkFailed;
  try {
    facts.computer = platform_.system.ComputerName();
    facts.utc = UtcStamp(platform_.system.Now(), platform_.system.UtcOffsetMinutes());
  } catch (const std::exception&) {
    // The ping goes without them: the service watching it needs only the
    // request itself.
  }
  const int64_t deadlineMs = int64_t{FServer.deadline > 0 ? FServer.deadline : 300} * 1000;
  const HeartbeatResult result = FHeartbeat.Ping(facts, static_cast<int>(std::min<int64_t>(deadlineMs, INT32_MAX)));
  if (result.sent) FRecord.RecordHeartbeat(result);
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
