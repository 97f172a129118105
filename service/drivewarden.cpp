#include "service/drivewarden.h"

#include <cfenv>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "common/errors.h"

namespace qw {
namespace {

const char kCrLf[] = "\r\n";

std::string RootOf(char letter) { return std::string{letter, ':', '\\'}; }

// Ends a chain of checks when it leaves, also by an error: restarts the
// check timer when a tick began the chain (unless the service has been
// stopped meanwhile), and lets a waiting stop go on.
class CheckEnd {
 public:
  CheckEnd(Timer& timer, std::mutex& mutex, std::condition_variable& ended, bool& checking,
           bool& timerRestart, const bool& stopped)
      : timer_(timer), mutex_(mutex), ended_(ended), checking_(checking), timerRestart_(timerRestart),
        stopped_(stopped) {}
  ~CheckEnd() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!stopped_ && timerRestart_) timer_.SetEnabled(true);
      timerRestart_ = false;
      checking_ = false;
    }
    ended_.notify_all();
  }

 private:
  Timer& timer_;
  std::mutex& mutex_;
  std::condition_variable& ended_;
  bool& checking_;
  bool& timerRestart_;
  const bool& stopped_;
};

}  // namespace

TDrivewarden::TDrivewarden(ServicePlatform platform, std::unique_ptr<Timer> checkTimer)
    : platform_(platform),
      tmCheck_(std::move(checkTimer)),
      FMailMsg(std::make_unique<TMailMessage>(platform.system, "mailMsg")) {
  FMailMsg->Charset = "iso-2022-jp";
  FMailMsg->TextEncoding = etQuotedPrintable;
  tmCheck_->SetEnabled(false);
  tmCheck_->SetInterval(1000);
  tmCheck_->OnTimer = [this] { tmCheckTimer(this); };
}

TDrivewarden::~TDrivewarden() {
  tmCheck_->SetEnabled(false);
  tmCheck_->OnTimer = nullptr;
}

void TDrivewarden::ServiceStart(const std::function<void()>& loaded) {
  {
    std::lock_guard<std::mutex> lock(FCheckMutex);
    FStopped = false;
    FCheckRequested = false;
  }
  ListFixedDrives(platform_.drives);
  FDriveList = std::make_unique<std::vector<std::unique_ptr<A_Drive>>>();
  LoadSettings();
  if (loaded) loaded();
  tmCheckTimer(nullptr);
}

void TDrivewarden::CancelForStop() {
  std::lock_guard<std::mutex> lock(FCheckMutex);
  FStopped = true;
  FCheckRequested = false;
  if (FActiveClient) FActiveClient->RequestCancel();
}

void TDrivewarden::ServiceStop() {
  {
    std::unique_lock<std::mutex> lock(FCheckMutex);
    if (FChecking && FCheckThread == std::this_thread::get_id())
      throw std::logic_error("ServiceStop called from inside a check on the same thread");
    FStopped = true;
    FCheckRequested = false;
    if (FActiveClient) FActiveClient->RequestCancel();
    FCheckEnded.wait(lock, [this] { return !FChecking; });
  }
  tmCheck_->SetEnabled(false);
  FreeDriveList();
}

int64_t TDrivewarden::Capacity(char letter) {
  int64_t freeBytes = -1, total = -1;
  if (!platform_.drives.DiskFreeSpace(RootOf(letter), &freeBytes, &total)) return -1;
  return total;
}

int64_t TDrivewarden::ThresholdBytes(const std::string& limitText, int64_t capacity) {
  if (limitText.find("MB") != std::string::npos) {
    std::string number = limitText.substr(0, limitText.size() - 2);
    int64_t megabytes = 0;
    if (!TryStrToInt64(number, &megabytes)) throw NotAnInteger(number);
    constexpr int64_t kMebibyte = 1024 * 1024;
    // A byte count beyond 64 bits does not convert; it never wraps.
    if (megabytes > std::numeric_limits<int64_t>::max() / kMebibyte ||
        megabytes < std::numeric_limits<int64_t>::min() / kMebibyte)
      throw NotAnInteger(number);
    return megabytes * kMebibyte;
  }
  if (limitText.find('%') != std::string::npos) {
    std::string number = limitText.substr(0, limitText.size() - 1);
    double percent = 0;
    if (!TryStrToFloat(number, platform_.system.DecimalSeparator(), &percent)) throw NotAFloat(number);
    const double share = percent / 100;
    const double product = static_cast<double>(capacity) * share;
    // Round to the nearest whole byte, a tie going to the even neighbour.
    const int previous = std::fegetround();
    std::fesetround(FE_TONEAREST);
    const double rounded = std::nearbyint(product);
    std::fesetround(previous);
    if (!(rounded >= -9.2e18 && rounded <= 9.2e18)) throw NotAFloat(number);
    return static_cast<int64_t>(rounded);
  }
  return 0;
}

void TDrivewarden::LoadSettings() {
  Profiles& ini = platform_.profiles;
  const int32_t stamp = ini.LastWriteDosStamp(kIniFileName);
  if (stamp == FIniFileDate) return;
  FIniFileDate = stamp;

  const std::string intervalText = ini.ReadString(kIniFileName, kSectionWarning, kKeyInterval, "24");
  int32_t interval = 0;
  if (!TryStrToInt(intervalText, &interval)) throw NotAnInteger(intervalText);
  // An interval below one hour would check (and mail) every second.
  if (interval < 1) throw NotAPositiveInteger(intervalText);
  FInterval = interval;

  FIsMailSend =
      TrimControls(ini.ReadString(kIniFileName, kSectionWarning, kKeyIsMailSend, "")) == "1";

  if (!FDriveList) FDriveList = std::make_unique<std::vector<std::unique_ptr<A_Drive>>>();
  FDriveList->clear();
  for (char letter : FixedDrives) {
    auto drive = std::make_unique<A_Drive>();
    drive->Letter = letter;
    drive->LimitText = ini.ReadString(kIniFileName, kSectionDrive, std::string(1, letter), "0");
    drive->Capacity = Capacity(letter);
    drive->LimitBytes = ThresholdBytes(drive->LimitText, drive->Capacity);
    FDriveList->push_back(std::move(drive));
  }

  const std::string smtp = ini.ReadString(kIniFileName, kSectionMail, kKeySmtp, "");
  const int port = ini.ReadInt(kIniFileName, kSectionMail, kKeyPort, 25);
  FMailFrom = ini.ReadString(kIniFileName, kSectionMail, kKeyMailFrom, kDefaultMailFrom);
  FMailTo = ini.ReadString(kIniFileName, kSectionMail, kKeyMailTo, "");
  FMailCc = ini.ReadString(kIniFileName, kSectionMail, kKeyMailCc, "");

  tmCheck_->SetInterval(static_cast<int64_t>(FInterval) * 3600000);
  if (smtp.empty() || FMailTo.empty()) {
    FIsMailSend = false;
  } else {
    FSmtpHost = smtp;
    FSmtpPort = port;
    if (OnSmtpServer) OnSmtpServer(smtp, port);
  }
}

void TDrivewarden::FreeDriveList() {
  if (!FDriveList) return;
  while (!FDriveList->empty()) FDriveList->pop_back();
  FDriveList.reset();
}

std::string TDrivewarden::FormatBytes(int64_t count) {
  const std::string separator = platform_.system.ThousandSeparator();
  const bool negative = count < 0;
  // Work on the magnitude as unsigned so that the minimum value prints too.
  uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(count) : static_cast<uint64_t>(count);
  std::string digits = std::to_string(magnitude);
  std::string grouped;
  const size_t n = digits.size();
  for (size_t i = 0; i < n; ++i) {
    if (i > 0 && (n - i) % 3 == 0) grouped += separator;
    grouped += digits[i];
  }
  return (negative ? "-" : "") + grouped + " バイト";
}

std::string TDrivewarden::LocalComputerName() { return platform_.system.ComputerName(); }

void TDrivewarden::WriteEventLog(const std::string& text, EventType type) {
  static const std::string kDouble = "\r\n\r\n";
  std::string collapsed;
  collapsed.reserve(text.size());
  size_t p = 0;
  while (true) {
    size_t hit = text.find(kDouble, p);
    if (hit == std::string::npos) break;
    collapsed.append(text, p, hit - p);
    collapsed += kCrLf;
    p = hit + kDouble.size();
  }
  collapsed.append(text, p, std::string::npos);
  platform_.eventLog.Report(kEventSource, type, 0, kCheckEventId, collapsed);
}

std::string TDrivewarden::ComposeReport(const std::string& driveLines,
                                        const std::string& thresholdLines) {
  std::string report;
  report += LocalComputerName() + " のローカルドライブの空き領域は以下のとおりです。" + kCrLf;
  report += kCrLf;
  report += driveLines;
  report += kCrLf;
  report += std::string("このうち、空き領域が指定されたしきい値以下のドライブは") + kCrLf;
  report += kCrLf;
  report += thresholdLines;
  report += kCrLf;
  report += std::string("です。") + kCrLf;
  report += kCrLf;
  const LocalDateTime now = platform_.system.Now();
  report += platform_.system.FormatShortDate(now);
  if (now.hour != 0 || now.minute != 0 || now.second != 0)
    report += " " + platform_.system.FormatLongTime(now);
  return report;
}

void TDrivewarden::tmCheckTimer(void* /*Sender*/) {
  tmCheck_->SetEnabled(false);
  RunChecks(true);
}

void TDrivewarden::CheckNow() { RunChecks(false); }

void TDrivewarden::RunChecks(bool fromTimer) {
  {
    std::lock_guard<std::mutex> lock(FCheckMutex);
    if (FStopped) return;
    if (FChecking) {
      // The running chain takes this check over when its own check ends.
      FCheckRequested = true;
      FTimerRestart = FTimerRestart || fromTimer;
      return;
    }
    FChecking = true;
    FTimerRestart = fromTimer;
    FCheckThread = std::this_thread::get_id();
  }
  CheckEnd end(*tmCheck_, FCheckMutex, FCheckEnded, FChecking, FTimerRestart, FStopped);
  for (;;) {
    CheckOnce();
    std::lock_guard<std::mutex> lock(FCheckMutex);
    if (!FCheckRequested || FStopped) break;
    FCheckRequested = false;
  }
}

void TDrivewarden::CheckOnce() {
  std::string driveLines;
  std::string thresholdLines;
  LoadSettings();

  if (FDriveList) {
    for (auto& drive : *FDriveList) {
      int64_t freeBytes = -1, total = -1;
      drive->FreeSpace =
          platform_.drives.DiskFreeSpace(RootOf(drive->Letter), &freeBytes, &total) ? freeBytes : -1;
      driveLines += std::string("・ ") + drive->Letter + " ドライブの空き領域: " +
                    FormatBytes(drive->FreeSpace) + kCrLf;
      if (drive->FreeSpace < drive->LimitBytes) {
        thresholdLines += std::string(1, drive->Letter) + " ドライブ : しきい値 " + drive->LimitText;
        if (drive->LimitText.find('%') != std::string::npos)
          thresholdLines += " ( 全容量 " + FormatBytes(drive->Capacity);
        else
          thresholdLines += " ( = " + FormatBytes(drive->LimitBytes);
        thresholdLines += std::string(" )") + kCrLf;
      }
    }
  }

  {
    std::lock_guard<std::mutex> lock(FCheckMutex);
    FLastAlert = AlertOutcome{};
  }
  if (thresholdLines.empty()) {
    WriteEventLog(driveLines, EventType::Information);
    return;
  }
  const std::string report = ComposeReport(driveLines, thresholdLines);
  WriteEventLog(report, EventType::Warning);
  if (!FIsMailSend) return;

  // The mail step never ends the check: whatever goes wrong there is
  // recorded as a failed alert mail after the warning entry.
  TDeliveryResult result;
  try {
    result = OnSendAlert ? OnSendAlert(report) : SendAlertMail(report);
  } catch (const std::exception& e) {
    result = TDeliveryResult{};
    result.status = Status::Failure("", 0, e.what());
  }
  RecordAlert(result);
}

void TDrivewarden::RecordAlert(const TDeliveryResult& result) {
  {
    std::lock_guard<std::mutex> lock(FCheckMutex);
    FLastAlert.attempted = true;
    FLastAlert.result = result;
  }
  const std::string text = AlertFailureText(result);
  if (!text.empty()) platform_.eventLog.Report(kEventSource, EventType::Error, 0, kCheckEventId, text);
}

TDrivewarden::AlertOutcome TDrivewarden::LastAlert() const {
  std::lock_guard<std::mutex> lock(FCheckMutex);
  return FLastAlert;
}

void TDrivewarden::SetMailTimeOuts(int silenceSeconds, int deadlineSeconds) {
  FMailTimeOut = silenceSeconds;
  FMailDeadline = deadlineSeconds;
}

std::string AlertFailureText(const TDeliveryResult& result) {
  if (!result.Delivered()) return std::string(kAlertNotSent) + result.status.Describe();
  if (result.refused.empty()) return "";
  std::string text = kAlertPartlySent;
  for (size_t i = 0; i < result.refused.size(); ++i) {
    if (i > 0) text += kCrLf;
    text += "RCPT <" + result.refused[i].first + ">: " + result.refused[i].second;
  }
  return text;
}

}  // namespace qw
