#include "service/drivewarden.h"

#include <algorithm>
#include <stdexcept>

#include "common/address_check.h"
#include "common/check_state.h"
#include "common/comma_list.h"
#include "common/errors.h"
#include "common/secret_mask.h"
#include "common/threshold.h"
#include "platform/ascii_text.h"
#include "platform/files.h"
#include "platform/secret.h"
#include "platform/secure_file.h"
#include "service/metrics_file.h"

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

// "5 分後" for whole minutes, else "N 秒後".
std::string DelayText(int64_t milliseconds) {
  if (milliseconds % 60000 == 0) return std::to_string(milliseconds / 60000) + " 分後";
  return std::to_string((milliseconds + 999) / 1000) + " 秒後";
}

}  // namespace

TDrivewarden::TDrivewarden(ServicePlatform platform, std::unique_ptr<Timer> checkTimer,
                           std::unique_ptr<Timer> retryTimer)
    : platform_(platform),
      tmCheck_(std::move(checkTimer)),
      tmRetry_(retryTimer ? std::move(retryTimer) : std::make_unique<IdleTimer>()),
      FMailMsg(std::make_unique<TMailMessage>(platform.system, "mailMsg")) {
  FRetryTimerTicks = dynamic_cast<IdleTimer*>(tmRetry_.get()) == nullptr;
  FMailMsg->Charset = "iso-2022-jp";
  FMailMsg->TextEncoding = etQuotedPrintable;
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
  }
  FCalls.Resume();
  ListFixedDrives(platform_.drives);
  FDriveList = std::make_unique<std::vector<std::unique_ptr<A_Drive>>>();
  FStateFailureReported = false;
  FMetricsFailureReported = false;
  ReadPreviousState();
  {
    std::lock_guard<std::mutex> lock(FCheckMutex);
    if (FPending) FPending->triedThisRun = false;
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
    sendPending = FPending && !FPending->triedThisRun && !FStopped;
  }
  if (sendPending) RunChecks(false, true);
}

void TDrivewarden::CancelForStop() {
  FCalls.Cancel();
  std::lock_guard<std::mutex> lock(FCheckMutex);
  FStopped = true;
  FCheckRequested = false;
  if (FActiveClient) FActiveClient->RequestCancel();
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
    if (FActiveClient) FActiveClient->RequestCancel();
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

std::map<char, TDrivewarden::DriveAnswer> TDrivewarden::MeasureDrives(const std::string& letters) {
  struct Raw {
    Result<DiskSpace> space = Status::Failure("DiskFreeSpace", 0, "not measured");
  };
  std::map<char, DriveAnswer> answers;
  std::map<char, std::shared_ptr<Raw>> started;
  std::vector<std::string> keys;
  Drives* drives = &platform_.drives;
  for (char letter : letters) {
    const std::string key = std::string("drive ") + letter;
    auto raw = std::make_shared<Raw>();
    const std::string root = RootOf(letter);
    switch (FCalls.Begin(key, [raw, drives, root] {
      try {
        raw->space = drives->DiskFreeSpace(root);
      } catch (const std::exception& e) {
        // Thrown on a thread of its own: caught here, or the process ends.
        raw->space = Status::Failure("DiskFreeSpace", 0, e.what());
      }
    })) {
      case BoundedCalls::Start::Started:
        started[letter] = raw;
        keys.push_back(key);
        break;
      case BoundedCalls::Start::Busy:
        answers[letter] = DriveAnswer{};  // the last call has not returned yet
        break;
      case BoundedCalls::Start::NoThread:
        answers[letter] = DriveAnswer{true, false, -1, -1};
        break;
    }
  }
  // A drive that did not answer in time is told apart below, key by key.
  FCalls.Wait(keys, std::chrono::milliseconds(FAnswerBoundMs), true).Ignore();
  for (const auto& [letter, raw] : started) {
    DriveAnswer answer;
    // A call that returned wrote its result before it said so.
    if (FCalls.Returned(std::string("drive ") + letter)) {
      answer.answered = true;
      answer.measured = raw->space.Ok();
      if (raw->space.Ok()) {
        answer.freeBytes = raw->space->freeToCaller;
        answer.totalBytes = raw->space->totalBytes;
      }
    }
    answers[letter] = answer;
  }
  return answers;
}

Status TDrivewarden::BoundedWrite(const std::string& key, std::function<Status()> write) {
  auto result = std::make_shared<Status>();
  const BoundedCalls::Start start = FCalls.Begin(key, [result, write = std::move(write)] {
    try {
      *result = write();
    } catch (const std::exception& e) {
      *result = Status::Failure("", 0, e.what());
    } catch (...) {
      *result = Status::Failure("", 0, "不明なエラー");
    }
  });
  const std::string seconds = std::to_string((FAnswerBoundMs + 999) / 1000);
  if (start == BoundedCalls::Start::Busy)
    return Status::Failure("", 0, "前回の書き込みがまだ終わっていません");
  if (start == BoundedCalls::Start::NoThread)
    return Status::Failure("", 0, "書き込みのスレッドを作れません");
  // Not cancelled by a stop: the state a stop leaves is what the next start reads.
  if (!FCalls.Wait({key}, std::chrono::milliseconds(FAnswerBoundMs), false).Ok())
    return Status::Failure("", 0, "書き込みが " + seconds + " 秒以内に終わりません");
  return *result;
}

std::string DriveNoAnswerLine(char letter, int64_t boundMs) {
  return std::string(1, letter) + " ドライブ : " + kDriveNoAnswer + " ( " + std::to_string((boundMs + 999) / 1000) +
         " 秒以内に空き領域を返しませんでした )";
}

namespace {

const char kNameForm[] =
    " (「名前 <アドレス>」の形式は使えません。アドレスだけを書いてください)";

// The address of one item of a settings address: the item less one pair of
// enclosing angle brackets. False with the reason when it is no address the
// applet would accept or when it holds a line break or NUL.
bool BareAddress(const std::string& item, bool nameHint, std::string* bare, std::string* reason) {
  const std::string shown = "'" + ShownValue(item) + "'";
  if (item.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
    *reason = shown + " に改行文字または NUL 文字が含まれています";
    return false;
  }
  std::string address = item;
  if (address.size() >= 2 && address.front() == '<' && address.back() == '>')
    address = address.substr(1, address.size() - 2);
  if (address.size() > 254) {
    *reason = shown + " は 254 バイトを超えています";
    return false;
  }
  if (!IsMailAddress(address)) {
    *reason = shown + " はメールアドレスではありません";
    if (nameHint) *reason += kNameForm;
    return false;
  }
  *bare = address;
  return true;
}

// A comma list of addresses as the bare comma list the mail is given; empty
// items (",,", a trailing comma) are passed over, but a list that names no
// address at all is refused.
bool BareAddressList(const std::string& value, std::string* bare, std::string* reason) {
  const bool nameHint = value.find('<') != std::string::npos || value.find('"') != std::string::npos;
  std::vector<std::string> addresses;
  for (const std::string& item : ReadCommaList(value)) {
    if (item.empty()) continue;
    std::string address;
    if (!BareAddress(item, nameHint, &address, reason)) return false;
    addresses.push_back(address);
  }
  if (addresses.empty() && !value.empty()) {
    *reason = "メールアドレスがありません";
    return false;
  }
  *bare = WriteCommaList(addresses);
  return true;
}

// A PORT value: decimal digits, or "0x" and hexadecimal digits, from 1 to
// 65535. Empty means the default port.
bool PortNumber(const std::string& text, int* port, std::string* reason) {
  const std::string bare(TrimControls(text));
  if (bare.empty()) {
    *port = 25;
    return true;
  }
  int64_t value = -1;
  bool converts = TryStrToInt64(bare, &value);
  // "0x" and at most eight hexadecimal digits, no sign: never beyond 32 bits.
  constexpr IntegerRules kHex{false, true, false};
  const bool hex = bare.size() > 2 && bare.size() <= 10 && bare[0] == '0' && (bare[1] == 'x' || bare[1] == 'X');
  if (!converts && hex) converts = ParseInteger(bare, kHex, 0, UINT32_MAX, &value);
  if (!converts) {
    *reason = NotAnInteger(text).what();
    return false;
  }
  if (value < 1 || value > 65535) {
    *reason = NotAPortNumber(text).what();
    return false;
  }
  *port = static_cast<int>(value);
  return true;
}

}  // namespace

void TDrivewarden::ReadMailSettings(const ProfileSnapshot& ini, LoadedSettings& next) {
  next.smtpHost = ini.ReadString(kSectionMail, kKeySmtp, "");
  const std::string portText = ini.ReadString(kSectionMail, kKeyPort, "");
  const std::string from = ini.ReadString(kSectionMail, kKeyMailFrom, kDefaultMailFrom);
  const std::string to = ini.ReadString(kSectionMail, kKeyMailTo, "");
  const std::string cc = ini.ReadString(kSectionMail, kKeyMailCc, "");
  next.mailFrom = from;
  next.mailTo = to;
  next.mailCc = cc;
  // Mail is on when it is switched on and has a server and a To list; only
  // then do the mail keys have to hold. With mail off a bad key is reported
  // and the watch goes on.
  // A load for the test mail holds the keys to the same rules whatever
  // ISMAILSEND says: the mail is asked for explicitly.
  const bool mailOn = (next.isMailSend || TestMailLoad) && !next.smtpHost.empty() && !to.empty();
  auto problem = [&](const char* key, const std::string& value, const std::string& reason) {
    EConvertError error = SettingsValueError(kIniFileName, kSectionMail, key, value, reason);
    if (mailOn) throw error;
    // An empty key is the normal state of mail that is off.
    if (!value.empty()) next.mailProblems.push_back(error.what());
  };
  std::string reason;
  if (!PortNumber(portText, &next.smtpPort, &reason)) problem(kKeyPort, portText, reason);
  std::string bare;
  const bool fromNameHint = from.find('<') != std::string::npos || from.find('"') != std::string::npos;
  if (BareAddress(from, fromNameHint, &bare, &reason))
    next.mailFrom = bare;
  else
    problem(kKeyMailFrom, from, reason);
  if (BareAddressList(to, &bare, &reason))
    next.mailTo = bare;
  else
    problem(kKeyMailTo, to, reason);
  if (BareAddressList(cc, &bare, &reason))
    next.mailCc = bare;
  else
    problem(kKeyMailCc, cc, reason);
  const std::string security = ini.ReadString(kSectionMail, kKeySecurity, "");
  const std::string securityWord = AsciiUpperCase(TrimControls(security));
  if (securityWord.empty() || securityWord == "NONE")
    next.security = TSmtpSecurity::None;
  else if (securityWord == "STARTTLS")
    next.security = TSmtpSecurity::StartTls;
  else if (securityWord == "TLS")
    next.security = TSmtpSecurity::Tls;
  else
    problem(kKeySecurity, security, "NONE、STARTTLS、TLS のいずれかではありません");
  const std::string verify = ini.ReadString(kSectionMail, kKeyTlsVerify, "");
  const std::string verifyWord(TrimControls(verify));
  if (verifyWord.empty() || verifyWord == "1")
    next.tlsVerify = true;
  else if (verifyWord == "0")
    next.tlsVerify = false;
  else
    problem(kKeyTlsVerify, verify, "1 か 0 ではありません");
  next.user = TrimControls(ini.ReadString(kSectionMail, kKeyUser, ""));
  const std::string stored = ini.ReadString(kSectionMail, kKeyPassword, "");
  next.passwordInFile = !stored.empty();
  // The host's own store wins: the file's value is then not even read.
  Status unprotected;
  if (FCredentialPassword.empty()) {
    Result<std::string> clear = UnprotectSecret(stored);
    unprotected = clear.status();
    next.password = clear.value_or("");
  }
  if (!FCredentialPassword.empty()) {
    next.password = FCredentialPassword;
  } else if (unprotected.Ok() && !stored.empty() && !IsProtectedSecret(stored)) {
    // A clear password typed into the file: its protected form, where the
    // platform has one, replaces it after the load.
    const Result<std::string> protectedForm = ProtectSecret(next.password);
    if (!protectedForm.Ok())
      next.protectFailure = protectedForm.status().Describe();
    else if (*protectedForm != stored)
      next.protectedPassword = *protectedForm;
  }
  if (!unprotected.Ok()) {
    // The stored value itself is never shown: it is (a form of) the password.
    EConvertError error(std::string("設定ファイル ") + kIniFileName + " の [" + kSectionMail + "] " + kKeyPassword +
                        " を読めません: " + unprotected.Text());
    if (mailOn) throw error;
    next.mailProblems.push_back(error.what());
    next.password.clear();
  }
  if (!mailOn) next.isMailSend = false;
}

TDrivewarden::LoadedSettings TDrivewarden::ReadSettings(const ProfileSnapshot& ini) {
  LoadedSettings next;
  const std::string intervalText = ini.ReadString(kSectionWarning, kKeyInterval, "24");
  if (!TryStrToInt(intervalText, &next.interval))
    throw SettingsValueError(kIniFileName, kSectionWarning, kKeyInterval, intervalText,
                             NotAnInteger(intervalText).what());
  // An interval below one hour would check (and mail) every second.
  if (next.interval < 1)
    throw SettingsValueError(kIniFileName, kSectionWarning, kKeyInterval, intervalText,
                             NotAPositiveInteger(intervalText).what());

  next.isMailSend =
      TrimControls(ini.ReadString(kSectionWarning, kKeyIsMailSend, "")) == "1";
  next.recoveryMail =
      TrimControls(ini.ReadString(kSectionWarning, kKeyRecoveryMail, "")) == "1";
  // Hours between mails of a standing shortage; 0 mails at every check.
  const std::string remindText = ini.ReadString(kSectionWarning, kKeyRemind, "0");
  if (!TryStrToInt(remindText, &next.remind) || next.remind < 0)
    throw SettingsValueError(kIniFileName, kSectionWarning, kKeyRemind, remindText,
                             NotANonNegativeInteger(remindText).what());

  // A drive that does not answer has no known size (its line in the check
  // says so).
  const std::map<char, DriveAnswer> sizes = MeasureDrives(FixedDrives);
  for (char letter : FixedDrives) {
    auto drive = std::make_unique<A_Drive>();
    drive->Letter = letter;
    drive->LimitText = ini.ReadString(kSectionDrive, std::string(1, letter), "0");
    drive->Capacity = sizes.at(letter).measured ? sizes.at(letter).totalBytes : -1;
    try {
      drive->LimitBytes = ThresholdBytes(drive->LimitText, drive->Capacity, platform_.system.DecimalSeparator());
    } catch (const EConvertError& e) {
      throw SettingsValueError(kIniFileName, kSectionDrive, std::string(1, letter), drive->LimitText,
                               e.what());
    }
    // A share of a drive whose size is unknown is still a threshold.
    if (drive->LimitBytes > 0 || (drive->LimitText.find('%') != std::string::npos &&
                                  drive->LimitText.find_first_of("123456789") != std::string::npos))
      ++next.thresholdCount;
    next.drives.push_back(std::move(drive));
  }
  // Thresholds of letters that are no fixed drive here are never checked;
  // the check says so.
  const std::string missing = "\x01";
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    if (FixedDrives.find(letter) != std::string::npos) continue;
    const std::string value(TrimControls(ini.ReadString(kSectionDrive, std::string(1, letter), missing)));
    if (value != missing && value.find_first_of("123456789") != std::string::npos)
      next.absentLetters += letter;
  }

  // The metrics folder: empty is off; a value must name one folder for every
  // process (the service's current folder is no one's choice).
  next.metricsFolder = ini.ReadString(kSectionMetrics, kKeyTextFileDir, "");
  if (!next.metricsFolder.empty()) {
    for (char c : next.metricsFolder)
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
        throw SettingsValueError(kIniFileName, kSectionMetrics, kKeyTextFileDir, next.metricsFolder,
                                 "制御文字が含まれています");
    if (!IsAbsolutePath(next.metricsFolder))
      throw SettingsValueError(kIniFileName, kSectionMetrics, kKeyTextFileDir, next.metricsFolder,
                               "絶対パスではありません");
  }

  ReadMailSettings(ini, next);
  return next;
}

void TDrivewarden::LoadSettings() {
  // The file is read once; every value comes from that one snapshot, so a
  // load never mixes two versions of a file that is being replaced.
  const Result<ProfileSnapshot> file = platform_.profiles.ReadSnapshot(kIniFileName);
  if (!file.Ok())
    throw ESettingsFileError(std::string("設定ファイル ") + kIniFileName + " を読めません: " + file.status().Text());
  const ProfileSnapshot& ini = *file;
  // Changed or not is decided by the content, whatever the file's time says.
  if (FDriveList && ini.Bytes() == FIniFileBytes) {
    // The same file version: nothing to read unless the fixed drives are
    // not those of the table (a start lists them anew).
    std::string letters;
    for (const auto& drive : *FDriveList) letters += drive->Letter;
    if (letters == FixedDrives) return;
  }

  LoadedSettings next = ReadSettings(ini);

  FIniFileBytes = ini.Bytes();
  FInterval = next.interval;
  FRemind = next.remind;
  FRecoveryMail = next.recoveryMail;
  FIsMailSend = next.isMailSend;
  if (!FDriveList) FDriveList = std::make_unique<std::vector<std::unique_ptr<A_Drive>>>();
  *FDriveList = std::move(next.drives);
  FThresholdCount = next.thresholdCount;
  FAbsentLetters = next.absentLetters;
  FMailFrom = next.mailFrom;
  FMailTo = next.mailTo;
  FMailCc = next.mailCc;
  if (!FMetricsFolder.empty() && FMetricsFolder != next.metricsFolder) {
    // A folder given up leaves no file behind that an exporter would go on
    // serving with frozen values.
    const std::string old = JoinPath(FMetricsFolder, kMetricsFileName);
    if (const Status removed = RemoveFileIfPresent(old); !removed)
      platform_.eventLog.Report(kEventSource, EventType::Error, 0, kCheckEventId,
                                std::string(kMetricsNotRemoved) + old + ": " + removed.Describe());
  }
  FMetricsFolder = next.metricsFolder;
  CareForStoredSecret(next);

  tmCheck_->SetInterval(static_cast<int64_t>(FInterval) * 3600000);
  if (FIsMailSend || TestMailLoad) {
    FSmtpHost = next.smtpHost;
    FSmtpPort = next.smtpPort;
    FSmtpSecurity = next.security;
    FSmtpUser = next.user;
    FSmtpPassword = next.password;
    FTlsVerify = next.tlsVerify;
    if (OnSmtpServer) OnSmtpServer(next.smtpHost, next.smtpPort);
  }
  if (!next.mailProblems.empty()) {
    std::string text = std::string("メール通知はオフのため、次の設定の誤りがあっても監視を続けます。") + kCrLf;
    for (const std::string& line : next.mailProblems) text += line + kCrLf;
    WriteEventLog(text, EventType::Warning);
  }
}

void TDrivewarden::CareForStoredSecret(const LoadedSettings& next) {
  if (FSettingsPath.empty()) return;
  if (!next.protectFailure.empty())
    WriteEventLog("設定ファイル " + FSettingsPath + " の [" + kSectionMail + "] " + kKeyPassword +
                      " は平文のままです。保護できません: " + next.protectFailure,
                  EventType::Warning);
  if (!next.protectedPassword.empty()) {
    // The file as it is now, so that nothing written since the load is
    // lost; a password changed since is left to the next load.
    Result<ProfileSnapshot> read = platform_.profiles.ReadSnapshot(kIniFileName);
    Status written = read.status();
    ProfileSnapshot current = read.value_or(ProfileSnapshot());
    const std::string now = current.ReadString(kSectionMail, kKeyPassword, "");
    const bool same = written.Ok() && !IsProtectedSecret(now) && now == next.password;
    if (same) {
      current.WriteString(kSectionMail, kKeyPassword, next.protectedPassword);
      written = platform_.profiles.WriteSnapshot(kIniFileName, current);
    }
    if (!same && written.Ok()) {
      // Changed since the load: the next load sees the new value.
    } else if (!written.Ok()) {
      WriteEventLog("設定ファイル " + FSettingsPath + " の [" + kSectionMail + "] " + kKeyPassword +
                        " は平文のままです。保護した形に置き換えられませんでした: " + written.Describe(),
                    EventType::Warning);
    } else {
      std::string text = "設定ファイル " + FSettingsPath + " の [" + kSectionMail + "] " + kKeyPassword +
                         " は平文でした。保護した形に置き換えました。";
      if (const Status rights = ProtectSettingsFile(FSettingsPath); !rights)
        text += std::string(kCrLf) + "ファイルの権限は限れませんでした: " + rights.Describe();
      WriteEventLog(text, EventType::Information);
    }
  }
  if (!next.passwordInFile) return;
  const Result<std::vector<std::string>> checked = SecretFileReaders(FSettingsPath);
  if (!checked) {
    WriteEventLog("設定ファイル " + FSettingsPath + " はパスワードを含みますが、読めるユーザーを確かめられません: " +
                      checked.status().Describe(),
                  EventType::Warning);
    return;
  }
  const std::vector<std::string>& readers = *checked;
  std::string text;
  if (!readers.empty())
    text = "設定ファイル " + FSettingsPath + " はパスワードを含み、他のユーザーも読めます (" + GroupNames(readers) + ")。";
  if (!FCredentialPassword.empty())
    text += std::string(text.empty() ? "" : kCrLf) + "設定ファイル " + FSettingsPath + " の [" + kSectionMail + "] " +
            kKeyPassword + " は使われません (資格情報 " + kCredentialName + " のパスワードを使います)。設定ファイルから消してください。";
  else if (!readers.empty())
    text += kReadableSecretAdvice;
  if (!text.empty()) WriteEventLog(text, EventType::Warning);
}

std::string TDrivewarden::SettingsNoteLines() const {
  std::string lines;
  if (!FDriveList || FDriveList->empty())
    lines += std::string("このコンピューターには固定ドライブがありません。") + kCrLf;
  else if (FThresholdCount == 0)
    lines += std::string("しきい値が設定されたドライブはありません。") + kCrLf;
  for (char letter : FAbsentLetters)
    lines += std::string("設定ファイルのドライブ ") + letter +
             ": はこのコンピューターの固定ドライブにありません。" + kCrLf;
  return lines;
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
  platform_.eventLog.Report(kEventSource, type, 0, kCheckEventId, MaskSecrets(collapsed));
}

std::string TDrivewarden::MaskSecrets(const std::string& text) const {
  return LoginMask(FSmtpUser, FSmtpPassword).Apply(text);
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

void TDrivewarden::tmRetryTimer(void* /*Sender*/) {
  tmRetry_->SetEnabled(false);
  RunChecks(false, true);
}

void TDrivewarden::RunChecks(bool fromTimer, bool retry) {
  int busyRetryAttempts = -1;
  {
    std::lock_guard<std::mutex> lock(FCheckMutex);
    if (FStopped) return;
    if (FChecking && retry) {
      // A check runs: it replaces or drops the pending mail, or the retry
      // comes again after the same delay.
      if (!FPending) return;
      busyRetryAttempts = FPending->attempts;
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
  if (busyRetryAttempts >= 0) {
    ArmRetry(RetryDelayMs(busyRetryAttempts, FFirstRetryMs));
    return;
  }
  CheckEnd end(*tmCheck_, FCheckMutex, FCheckEnded, FChecking, FTimerRestart, FStopped);
  for (bool first = true;; first = false) {
    try {
      if (first && retry) {
        // A retry follows the settings file as a check does (mail switched
        // off, another server); a file that does not load keeps the last
        // good settings and is said as at a check.
        try {
          LoadSettings();
        } catch (const ESettingsError& e) {
          WriteEventLog(e.what(), EventType::Error);
        }
        bool pending = false;
        {
          std::lock_guard<std::mutex> lock(FCheckMutex);
          pending = FPending.has_value();
        }
        if (pending && FIsMailSend) {
          AttemptPending();
          WriteRetryState();
        } else if (pending) {
          DropPending();
          WriteRetryState();
        }
      } else {
        CheckOnce();
      }
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
  std::string driveLines;
  std::string thresholdLines;
  std::string shortLetters;
  FLoadFailed = false;
  try {
    LoadSettings();
  } catch (const ESettingsError& e) {
    // The check goes on with the last good settings; the file is read again
    // at the next check, and each check that finds it broken says so.
    FLoadFailed = true;
    WriteEventLog(e.what(), EventType::Error);
  }

  if (FDriveList) {
    std::string letters;
    for (const auto& drive : *FDriveList) letters += drive->Letter;
    const std::map<char, DriveAnswer> answers = MeasureDrives(letters);
    // A stop while drives were measured ends the check without a report.
    if (FCalls.Cancelled()) return;
    for (auto& drive : *FDriveList) {
      const DriveAnswer& answer = answers.at(drive->Letter);
      drive->FreeSpace = answer.measured ? answer.freeBytes : -1;
      if (!answer.answered) {
        // A drive that does not answer is a warning whatever its threshold.
        driveLines += std::string("・ ") + drive->Letter + " ドライブの空き領域: " + kDriveNoAnswer + kCrLf;
        shortLetters += drive->Letter;
        thresholdLines += DriveNoAnswerLine(drive->Letter, FAnswerBoundMs) + kCrLf;
        continue;
      }
      driveLines += std::string("・ ") + drive->Letter + " ドライブの空き領域: " +
                    FormatBytes(drive->FreeSpace) + kCrLf;
      if (drive->FreeSpace < drive->LimitBytes) {
        shortLetters += drive->Letter;
        thresholdLines += std::string(1, drive->Letter) + " ドライブ : しきい値 " + drive->LimitText;
        if (drive->LimitText.find('%') != std::string::npos)
          thresholdLines += " ( 全容量 " + FormatBytes(drive->Capacity);
        else
          thresholdLines += " ( = " + FormatBytes(drive->LimitBytes);
        thresholdLines += std::string(" )") + kCrLf;
      }
    }
  }

  driveLines += SettingsNoteLines();

  {
    std::lock_guard<std::mutex> lock(FCheckMutex);
    FLastAlert = AlertOutcome{};
  }
  // Mail switched off takes a waiting mail with it.
  bool pendingRecovery = false;
  {
    std::lock_guard<std::mutex> lock(FCheckMutex);
    pendingRecovery = FPending && FPending->recovery;
  }
  if (!FIsMailSend) DropPending();

  if (thresholdLines.empty()) {
    WriteEventLog(driveLines, EventType::Information);
    // The shortage is over: a waiting alert is no longer true. A waiting
    // recovery notice still is, and stays.
    const bool noticeWaits = pendingRecovery && FIsMailSend && FRecoveryMail;
    if (!noticeWaits) DropPending();
    // The alert stays open until its recovery notice is delivered (or
    // refused for good): a notice that waits goes on with its retries, and
    // one replaced by a new shortage's alert is composed again at the next
    // recovery.
    if (!noticeWaits && FAlertOpen && FRecoveryMail && FIsMailSend) {
      SetPending(true, ComposeRecoveryReport(driveLines), "");
      AttemptPending();
    } else if (!noticeWaits) {
      FAlertOpen = false;
    }
    WriteCheckState("information", true);
    return;
  }
  const std::string report = ComposeReport(driveLines, thresholdLines);
  WriteEventLog(report, EventType::Warning);
  if (!FIsMailSend || !ReminderDue(shortLetters)) {
    WriteCheckState("warning", true);
    return;
  }

  // The newest report replaces a waiting one. The mail step never ends the
  // check: whatever goes wrong there is recorded as a failed alert mail
  // after the warning entry.
  SetPending(false, report, shortLetters);
  AttemptPending();
  WriteCheckState("warning", true);
}

std::string TDrivewarden::ComposeRecoveryReport(const std::string& driveLines) {
  std::string report;
  report += LocalComputerName() + " のすべてのドライブの空き領域が、指定されたしきい値以上に回復しました。" + kCrLf;
  report += kCrLf;
  report += driveLines;
  report += kCrLf;
  const LocalDateTime now = platform_.system.Now();
  report += platform_.system.FormatShortDate(now);
  if (now.hour != 0 || now.minute != 0 || now.second != 0)
    report += " " + platform_.system.FormatLongTime(now);
  return report;
}

bool TDrivewarden::ReminderDue(const std::string& shortLetters) const {
  if (FRemind <= 0 || !FAlertOpen) return true;
  {
    std::lock_guard<std::mutex> lock(FCheckMutex);
    if (FPending) return true;  // the last alert never arrived
  }
  for (char letter : shortLetters)
    if (FAlertShort.find(letter) == std::string::npos) return true;
  int64_t alertSeconds = 0;
  if (!UtcStampSeconds(FAlertUtc, &alertSeconds)) return true;
  const LocalDateTime now = platform_.system.Now();
  int64_t nowSeconds = 0;
  if (!UtcStampSeconds(UtcStamp(now, platform_.system.UtcOffsetMinutes()), &nowSeconds)) return true;
  // A clock set back (now before the alert) counts as due too.
  const int64_t passed = nowSeconds - alertSeconds;
  return passed < 0 || passed >= int64_t{FRemind} * 3600;
}

void TDrivewarden::SetPending(bool recovery, const std::string& report, const std::string& shortLetters) {
  const LocalDateTime now = platform_.system.Now();
  PendingMail mail;
  mail.recovery = recovery;
  mail.report = report;
  mail.composedLocal = LocalStamp(now);
  mail.composedUtc = UtcStamp(now, platform_.system.UtcOffsetMinutes());
  mail.shortLetters = shortLetters;
  {
    std::lock_guard<std::mutex> lock(FCheckMutex);
    FPending = std::move(mail);
  }
  tmRetry_->SetEnabled(false);
}

void TDrivewarden::DropPending() {
  {
    std::lock_guard<std::mutex> lock(FCheckMutex);
    FPending.reset();
  }
  tmRetry_->SetEnabled(false);
}

void TDrivewarden::ArmRetry(int64_t milliseconds) {
  tmRetry_->SetEnabled(false);
  tmRetry_->SetInterval(milliseconds);
  tmRetry_->SetEnabled(true);
}

int64_t TDrivewarden::RetryDelayMs(int failedAttempts, int64_t firstMs) {
  constexpr int64_t kMinute = 60 * 1000;
  if (failedAttempts <= 1) return firstMs;
  if (failedAttempts == 2) return 15 * kMinute;
  if (failedAttempts == 3) return 30 * kMinute;
  return 60 * kMinute;
}

bool TDrivewarden::HasPendingAlert() const {
  std::lock_guard<std::mutex> lock(FCheckMutex);
  return FPending.has_value();
}

std::string TDrivewarden::PendingReport() const {
  std::lock_guard<std::mutex> lock(FCheckMutex);
  return FPending ? FPending->report : std::string();
}

int TDrivewarden::PendingAttempts() const {
  std::lock_guard<std::mutex> lock(FCheckMutex);
  return FPending ? FPending->attempts : 0;
}

std::string TDrivewarden::PendingRecipients() const {
  std::lock_guard<std::mutex> lock(FCheckMutex);
  return FPending ? FPending->recipients : std::string();
}

namespace {

bool IsPermanentReply(const std::string& reply) { return !reply.empty() && reply[0] == '5'; }

bool HasAddress(const std::vector<std::string>& list, const std::string& address) {
  for (const std::string& item : list)
    if (CompareCaseless(item, address) == 0) return true;
  return false;
}

// The addresses of `recipients` (a comma list) less those the server refused
// for good.
std::vector<std::string> WithoutPermanentRefusals(const std::string& recipients, const TDeliveryResult& result) {
  std::vector<std::string> permanent;
  for (const auto& [address, reply] : result.refused)
    if (IsPermanentReply(reply)) permanent.push_back(address);
  std::vector<std::string> left;
  for (const std::string& item : ReadCommaList(recipients))
    if (!item.empty() && !HasAddress(permanent, item) && !HasAddress(left, item)) left.push_back(item);
  return left;
}

std::string AddressNames(const std::vector<std::string>& addresses) {
  std::string text;
  for (const std::string& address : addresses) text += (text.empty() ? "<" : ", <") + address + ">";
  return text;
}

}  // namespace

void TDrivewarden::AttemptPending() {
  PendingMail mail;
  {
    std::lock_guard<std::mutex> lock(FCheckMutex);
    if (!FPending) return;
    FPending->triedThisRun = true;
    mail = *FPending;
  }
  TDeliveryResult result;
  try {
    if (OnSendAlert)
      result = OnSendAlert(mail.report);
    else
      result = SendAlertMail(mail.report, mail.recovery, mail.recipients);
  } catch (const std::exception& e) {
    result = TDeliveryResult{};
    result.status = Status::Failure("", 0, e.what());
  }
  bool stopped = false;
  {
    std::lock_guard<std::mutex> lock(FCheckMutex);
    stopped = FStopped;
  }

  // The recipients of this attempt: those still to reach, or everyone.
  std::string attempted = mail.recipients;
  if (attempted.empty()) attempted = FMailCc.empty() ? FMailTo : FMailTo + "," + FMailCc;
  // Recipients refused for now (4xx) by a server that took the text for
  // others: the mail waits for them alone.
  std::vector<std::string> later;
  if (result.Delivered())
    for (const auto& [address, reply] : result.refused)
      if (!IsPermanentReply(reply) && !HasAddress(later, address)) later.push_back(address);
  if (result.Delivered() && !later.empty()) {
    if (mail.recovery) {
      FAlertOpen = false;  // the notice is out; its retry reaches the rest
    } else {
      const LocalDateTime now = platform_.system.Now();
      FAlertOpen = true;
      FAlertShort = mail.shortLetters;
      FAlertUtc = UtcStamp(now, platform_.system.UtcOffsetMinutes());
    }
    const int attempts = mail.attempts + 1;
    {
      std::lock_guard<std::mutex> lock(FCheckMutex);
      if (FPending) {
        FPending->attempts = attempts;
        FPending->recipients = WriteCommaList(later);
      }
    }
    const int64_t delay = RetryDelayMs(attempts, FFirstRetryMs);
    std::string note = "一時的に拒否された宛先 " + AddressNames(later) + " には";
    if (stopped)
      note += "サービスの次の開始後に再送します。";
    else if (!FRetryTimerTicks)
      note += "次の実行で再送します。";
    else
      note += DelayText(delay) + "に再送します。";
    RecordAlert(result, note);
    if (!stopped) ArmRetry(delay);
    return;
  }
  if (result.Delivered()) {
    if (mail.attempts > 0) {
      platform_.eventLog.Report(kEventSource, EventType::Information, 0, kCheckEventId,
                                std::string(mail.recovery ? kRecoveryDeliveredLate : kAlertDeliveredLate) +
                                    mail.composedLocal + " (" + std::to_string(mail.attempts) +
                                    " 回失敗した後に送信)");
    }
    if (mail.recovery) {
      FAlertOpen = false;
    } else {
      const LocalDateTime now = platform_.system.Now();
      FAlertOpen = true;
      FAlertShort = mail.shortLetters;
      FAlertUtc = UtcStamp(now, platform_.system.UtcOffsetMinutes());
    }
    RecordAlert(result);
    DropPending();
    return;
  }
  if (IsFinalRefusal(result)) {
    if (mail.recovery) FAlertOpen = false;
    RecordAlert(result, "サーバーが拒否したため再送しません。");
    DropPending();
    return;
  }
  const int attempts = mail.attempts + 1;
  // Recipients refused for good before the conversation failed are not
  // tried again; the others are.
  bool narrowed = false;
  for (const auto& refusal : result.refused) narrowed = narrowed || IsPermanentReply(refusal.second);
  if (narrowed && WithoutPermanentRefusals(attempted, result).empty()) {
    if (mail.recovery) FAlertOpen = false;
    RecordAlert(result, "サーバーが拒否したため再送しません。");
    DropPending();
    return;
  }
  {
    std::lock_guard<std::mutex> lock(FCheckMutex);
    if (FPending) {
      FPending->attempts = attempts;
      if (narrowed) FPending->recipients = WriteCommaList(WithoutPermanentRefusals(attempted, result));
    }
  }
  const int64_t delay = RetryDelayMs(attempts, FFirstRetryMs);
  std::string note;
  if (stopped)
    note = "サービスの次の開始後に再送します。";
  else if (!FRetryTimerTicks)
    note = "次の実行で再送します。";
  else
    note = DelayText(delay) + "に再送します。";
  RecordAlert(result, note);
  if (!stopped) ArmRetry(delay);
}

void TDrivewarden::ReadPreviousState() {
  if (FStateRead || FStateFolder.empty()) return;
  // The last delivery, the last delivered alert and a pending mail outlive
  // the process: the first start of a run takes them from the state an
  // earlier run left. A damaged state is replaced by the next write.
  FStateRead = true;
  CheckState previous;
  // A missing state is a first run; any other failure loses what the state
  // kept (a waiting mail, the alert history, the count) and is said once.
  const std::string path = JoinPath(FStateFolder, kStateFileName);
  std::string reason;
  try {
    const Result<std::string> text = ReadWholeFile(path);
    if (!text) {
      if (text.status().IsNotFound()) return;
      reason = text.status().Describe();
    } else if (!ParseCheckState(*text, &previous)) {
      reason = "状態ファイルの形式ではありません";
    }
  } catch (const std::exception& e) {
    reason = e.what();
  }
  if (!reason.empty()) {
    platform_.eventLog.Report(kEventSource, EventType::Error, 0, kCheckEventId,
                              std::string(kStateNotRead) + path + ": " + reason);
    return;
  }
  FLastDeliveryLocal = previous.lastDeliveryLocal;
  FLastDeliveryUtc = previous.lastDeliveryUtc;
  // A damaged or hand-edited count cannot push the counter past its range.
  FMailFailures += std::clamp<int64_t>(previous.mailFailures, 0, int64_t{1} << 53);
  FAlertUtc = previous.alertUtc;
  FAlertShort = previous.alertShort;
  FAlertOpen = previous.alertOpen;
  std::lock_guard<std::mutex> lock(FCheckMutex);
  FPending.reset();
  if (previous.pending) {
    PendingMail mail;
    mail.recovery = previous.pendingRecovery;
    mail.report = previous.pendingReport;
    mail.composedLocal = previous.pendingComposedLocal;
    mail.composedUtc = previous.pendingComposedUtc;
    mail.attempts = static_cast<int>(std::min<int64_t>(previous.pendingAttempts, 1000000));
    mail.shortLetters = previous.pendingShort;
    mail.recipients = previous.pendingRecipients;
    FPending = std::move(mail);
  }
}

void TDrivewarden::FillAlertState(CheckState& state) const {
  state.lastDeliveryLocal = FLastDeliveryLocal;
  state.lastDeliveryUtc = FLastDeliveryUtc;
  state.alertUtc = FAlertUtc;
  state.alertShort = FAlertShort;
  state.alertOpen = FAlertOpen;
  std::lock_guard<std::mutex> lock(FCheckMutex);
  state.pending = FPending.has_value();
  if (FPending) {
    state.pendingRecovery = FPending->recovery;
    state.pendingReport = FPending->report;
    state.pendingComposedLocal = FPending->composedLocal;
    state.pendingComposedUtc = FPending->composedUtc;
    state.pendingAttempts = FPending->attempts;
    state.pendingShort = FPending->shortLetters;
    state.pendingRecipients = FPending->recipients;
  }
}

void TDrivewarden::WriteRetryState() {
  if (!FLastCheckState) return;
  CheckState state = *FLastCheckState;
  const AlertOutcome alert = LastAlert();
  state.mailAttempted = alert.attempted;
  if (alert.attempted) {
    state.mailDelivered = alert.result.Delivered();
    state.mailReply = alert.result.Delivered() ? alert.result.acceptedReply : alert.result.status.Describe();
    if (state.mailDelivered) {
      const LocalDateTime now = platform_.system.Now();
      FLastDeliveryLocal = LocalStamp(now);
      FLastDeliveryUtc = UtcStamp(now, platform_.system.UtcOffsetMinutes());
    }
  }
  FillAlertState(state);
  state.mailFailures = FMailFailures;
  *FLastCheckState = state;
  // The retry's outcome reaches the metrics too: the delivery time and the
  // failure count change with it, the check's own success does not.
  WriteMetrics(state, FLastCheckSucceeded);
  WriteStateFile(state);
}

void TDrivewarden::WriteStateFile(const CheckState& state) {
  if (FStateFolder.empty()) return;
  try {
    const std::string path = JoinPath(FStateFolder, kStateFileName);
    // The server's words and an error text are the state's only quoted text.
    CheckState masked = state;
    masked.mailReply = MaskSecrets(state.mailReply);
    if (state.outcome != "information" && state.outcome != "warning") masked.outcome = MaskSecrets(state.outcome);
    const std::string text = FormatCheckState(masked);
    const Status written = BoundedWrite("state", [path, text] { return ReplaceFileAtomically(path, text); });
    if (written.Ok() || FStateFailureReported) return;
    FStateFailureReported = true;
    platform_.eventLog.Report(kEventSource, EventType::Error, 0, kCheckEventId,
                              std::string(kStateNotWritten) + path + ": " + written.Describe());
  } catch (const std::exception& e) {
    if (FStateFailureReported) return;
    FStateFailureReported = true;
    platform_.eventLog.Report(kEventSource, EventType::Error, 0, kCheckEventId, std::string(kStateNotWritten) + e.what());
  }
}

void TDrivewarden::WriteCheckState(const std::string& outcome, bool mailStep) {
  CheckState state;
  try {
    ReadPreviousState();
    const LocalDateTime now = platform_.system.Now();
    state.checkedLocal = LocalStamp(now);
    state.checkedUtc = UtcStamp(now, platform_.system.UtcOffsetMinutes());
    state.outcome = outcome;
    if (FDriveList) {
      for (const auto& drive : *FDriveList) {
        DriveState d;
        d.letter = drive->Letter;
        d.freeBytes = drive->FreeSpace;
        d.capacity = drive->Capacity;
        d.thresholdText = drive->LimitText;
        d.thresholdBytes = drive->LimitBytes;
        d.below = drive->FreeSpace < drive->LimitBytes;
        state.drives.push_back(d);
      }
    }
    const AlertOutcome alert = mailStep ? LastAlert() : AlertOutcome{};
    state.mailAttempted = alert.attempted;
    if (alert.attempted) {
      state.mailDelivered = alert.result.Delivered();
      state.mailReply = alert.result.Delivered() ? alert.result.acceptedReply : alert.result.status.Describe();
      if (state.mailDelivered) {
        FLastDeliveryLocal = state.checkedLocal;
        FLastDeliveryUtc = state.checkedUtc;
      }
    }
    FillAlertState(state);
    state.mailFailures = FMailFailures;
  } catch (const std::exception& e) {
    if (!FStateFolder.empty() && !FStateFailureReported) {
      FStateFailureReported = true;
      platform_.eventLog.Report(kEventSource, EventType::Error, 0, kCheckEventId,
                                std::string(kStateNotWritten) + e.what());
    }
    return;
  }
  // Information and warning are the outcomes of a check that ran; any other
  // outcome is the error that ended it.
  FLastCheckSucceeded = !FLoadFailed && (outcome == "information" || outcome == "warning");
  if (!FLastCheckState) FLastCheckState = std::make_unique<CheckState>();
  *FLastCheckState = state;
  WriteMetrics(state, FLastCheckSucceeded);
  WriteStateFile(state);
}

void TDrivewarden::WriteMetrics(const CheckState& state, bool succeeded) {
  if (FMetricsFolder.empty()) return;
  const std::string path = JoinPath(FMetricsFolder, kMetricsFileName);
  std::string reason;
  try {
    MetricsFacts facts;
    facts.checkSucceeded = succeeded;
    facts.intervalSeconds = int64_t{FInterval} * 3600;
    facts.host = LocalComputerName();
    facts.version = kProductVersion;
    const std::string folder = FMetricsFolder;
    const std::string text = FormatMetrics(state, facts);
    const Status written = BoundedWrite("metrics", [folder, text] { return WriteMetricsFile(folder, text); });
    if (written.Ok()) return;
    reason = written.Describe();
  } catch (const std::exception& e) {
    reason = e.what();
  }
  if (FMetricsFailureReported) return;
  FMetricsFailureReported = true;
  platform_.eventLog.Report(kEventSource, EventType::Error, 0, kCheckEventId,
                            std::string(kMetricsNotWritten) + path + ": " + reason);
}

void TDrivewarden::RecordAlert(const TDeliveryResult& result, const std::string& note) {
  // Every attempt that did not reach every recipient counts, once, here.
  ReadPreviousState();
  if (!result.Complete()) ++FMailFailures;
  bool recovery = false;
  {
    std::lock_guard<std::mutex> lock(FCheckMutex);
    FLastAlert.attempted = true;
    FLastAlert.result = result;
    recovery = FPending && FPending->recovery;
  }
  std::string text = AlertFailureText(result);
  const std::string notSent = kAlertNotSent;
  if (recovery && text.compare(0, notSent.size(), notSent) == 0)
    text = kRecoveryNotSent + text.substr(notSent.size());
  if (!text.empty() && !note.empty()) text += kCrLf + note;
  if (!text.empty()) platform_.eventLog.Report(kEventSource, EventType::Error, 0, kCheckEventId, MaskSecrets(text));
  if (result.Delivered() && result.encrypted && !result.verified)
    platform_.eventLog.Report(kEventSource, EventType::Information, 0, kCheckEventId, kAlertUnverified);
  if (result.passwordInClear)
    platform_.eventLog.Report(kEventSource, EventType::Information, 0, kCheckEventId, kAlertPasswordInClear);
}

TDrivewarden::AlertOutcome TDrivewarden::LastAlert() const {
  std::lock_guard<std::mutex> lock(FCheckMutex);
  return FLastAlert;
}

void TDrivewarden::SetMailTimeOuts(int silenceSeconds, int deadlineSeconds) {
  FMailTimeOut = silenceSeconds;
  FMailDeadline = deadlineSeconds;
}

TTestMailSettings TDrivewarden::TestMailSettings() const {
  TTestMailSettings settings;
  settings.host = FSmtpHost;
  settings.port = FSmtpPort;
  settings.security = FSmtpSecurity;
  settings.tlsVerify = FTlsVerify;
  settings.user = FSmtpUser;
  settings.password = FSmtpPassword;
  settings.from = FMailFrom;
  settings.to = FMailTo;
  settings.cc = FMailCc;
  settings.timeOut = FMailTimeOut;
  settings.deadline = FMailDeadline;
  return settings;
}

bool IsFinalRefusal(const TDeliveryResult& result) {
  if (result.Delivered()) return false;
  const Status& status = result.status;
  const std::string& step = status.What();
  if (step == "MAIL" || step == "DATA" || step == ".") return status.Code() >= 500 && status.Code() <= 599;
  if (step.compare(0, 5, "RCPT ") != 0 || result.refused.empty()) return false;
  // A conversation that ended at RCPT for another reason (a time-out, a
  // closed connection, a stop) after a refused recipient is no refusal.
  if (status.Code() < 500 || status.Code() > 599) return false;
  // Every recipient refused: final only when every refusal was permanent.
  for (const auto& refusal : result.refused)
    if (refusal.second.empty() || refusal.second[0] != '5') return false;
  return true;
}

std::string AlertFailureText(const TDeliveryResult& result) {
  if (result.Complete()) return "";
  const std::string reason = result.status.Describe();
  std::string text = result.Delivered() ? kAlertPartlySent : std::string(kAlertNotSent) + reason;
  // Every refused recipient is named, also when all were refused (the
  // status names the last of them).
  bool first = result.Delivered();
  for (const auto& [address, reply] : result.refused) {
    const std::string line = "RCPT <" + address + ">: " + reply;
    if (line == reason) continue;
    if (!first) text += kCrLf;
    text += line;
    first = false;
  }
  return text;
}

}  // namespace qw
