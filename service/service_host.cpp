#include "service/service_host.h"

#include <exception>

namespace qw {

// ---------------------------------------------------------------------------
// LoopBoundTimer

struct LoopBoundTimer::Shared {
  std::thread::id owner;
  std::unique_ptr<Timer> inner;  // touched on the owning thread only

  std::mutex mutex;  // guards what other threads set
  bool enabled = false;
  int64_t interval = 1000;
  uint64_t generation = 0;  // counts changes that begin a new period

  uint64_t appliedGeneration = 0;  // owning thread only

  // Brings the inner timer to the latest settings (owning thread).
  void Apply() {
    if (!inner) return;
    bool wantEnabled;
    int64_t wantInterval;
    uint64_t wantGeneration;
    {
      std::lock_guard<std::mutex> lock(mutex);
      wantEnabled = enabled;
      wantInterval = interval;
      wantGeneration = generation;
    }
    if (wantGeneration != appliedGeneration) {
      // Something was stopped, started or reset meanwhile: a new period.
      inner->SetEnabled(false);
      inner->SetInterval(wantInterval);
      appliedGeneration = wantGeneration;
    }
    inner->SetEnabled(wantEnabled);
  }
};

LoopBoundTimer::LoopBoundTimer(MessageLoop& loop, std::unique_ptr<Timer> inner)
    : loop_(loop), shared_(std::make_shared<Shared>()) {
  shared_->owner = std::this_thread::get_id();
  shared_->inner = std::move(inner);
  shared_->inner->SetEnabled(false);
  shared_->inner->SetInterval(shared_->interval);
  shared_->inner->OnTimer = [this] {
    std::function<void()> handler = OnTimer;
    if (handler) handler();
  };
}

LoopBoundTimer::~LoopBoundTimer() {
  // Tasks still queued find no timer.
  shared_->inner.reset();
}

void LoopBoundTimer::SetEnabled(bool enabled) {
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (shared_->enabled == enabled) return;
    shared_->enabled = enabled;
    ++shared_->generation;
  }
  Apply();
}

bool LoopBoundTimer::Enabled() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->enabled;
}

void LoopBoundTimer::SetInterval(int64_t milliseconds) {
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (shared_->interval == milliseconds) return;
    shared_->interval = milliseconds;
    ++shared_->generation;
  }
  Apply();
}

int64_t LoopBoundTimer::Interval() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->interval;
}

void LoopBoundTimer::Apply() {
  if (std::this_thread::get_id() == shared_->owner) {
    shared_->Apply();
    return;
  }
  std::weak_ptr<Shared> weak = shared_;
  loop_.Post([weak] {
    if (auto shared = weak.lock()) shared->Apply();
  });
}

std::unique_ptr<TDrivewarden> CreateDrivewarden(const ServicePlatform& platform, MessageLoop& mainLoop) {
  auto checkTimer = std::make_unique<LoopBoundTimer>(mainLoop, mainLoop.CreateTimer());
  return std::make_unique<TDrivewarden>(platform, std::move(checkTimer));
}

// ---------------------------------------------------------------------------
// Texts

std::string ServiceFailureText(const std::string& action, const std::string& error) {
  return "サービス失敗 " + action + ": " + error;
}

std::string SystemErrorMessage(const SystemError& error) {
  return "システムエラー。コード：" + std::to_string(error.code) + ".\r\n" + error.text;
}

std::string ControlActionName(uint32_t code) {
  switch (code) {
    case kControlStop: return "停止";
    case kControlPause: return "一時停止";
    case kControlContinue: return "続行";
    case kControlInterrogate: return "との対話";
    case kControlShutdown: return "シャットダウン";
    default: return "";
  }
}

namespace {

std::string ErrorText(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "不明なエラー";
  }
}

bool IsPending(ServiceState state) {
  return state == ServiceState::StartPending || state == ServiceState::StopPending ||
         state == ServiceState::PausePending || state == ServiceState::ContinuePending;
}

}  // namespace

// ---------------------------------------------------------------------------
// ServiceHost

ServiceHost::ServiceHost(TDrivewarden& service, ServiceStatusReporter& status, EventLog& log,
                         MessageLoop* checkLoop)
    : service_(service), status_(status), log_(log), checkLoop_(checkLoop) {
  TDrivewarden* svc = &service_;
  std::atomic<bool>* paused = &paused_;
  service_.tmCheck().OnTimer = [svc, paused] {
    if (paused->load()) return;  // a paused service skips its checks
    svc->tmCheckTimer(&svc->tmCheck());
  };
}

ServiceHost::~ServiceHost() {
  TDrivewarden* svc = &service_;
  service_.tmCheck().OnTimer = [svc] { svc->tmCheckTimer(&svc->tmCheck()); };
}

void ServiceHost::ReportStatus(ServiceState state) {
  ServiceStatus status;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    state_ = state;
    checkPoint_ = IsPending(state) ? checkPoint_ + 1 : 0;
    status.state = state;
    status.controlsAccepted = state == ServiceState::StartPending ? 0 : kServiceControlsAccepted;
    status.checkPoint = checkPoint_;
    status.waitHint = kServiceWaitHintMs;
    if (state == ServiceState::Stopped && exitCode_ != 0) {
      status.win32ExitCode = kErrorServiceSpecific;
      status.serviceSpecificExitCode = exitCode_;
    }
  }
  SystemError error;
  if (!status_.SetStatus(status, &error)) WriteError(error.text);
}

ServiceState ServiceHost::State() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_;
}

void ServiceHost::WriteFailure(const std::string& action, const std::string& error) {
  WriteError(ServiceFailureText(action, error));
}

void ServiceHost::WriteError(const std::string& text) {
  log_.Report(kServiceName, EventType::Error, 0, 0, text);
}

bool ServiceHost::Start() {
  paused_ = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    exitCode_ = 0;
  }
  ReportStatus(ServiceState::StartPending);
  try {
    service_.ServiceStart([this] { ReportStatus(ServiceState::Running); });
  } catch (...) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      exitCode_ = kExitStartFailed;
    }
    WriteFailure("開始", ErrorText(std::current_exception()));
    return false;
  }
  if (State() != ServiceState::Running) ReportStatus(ServiceState::Running);
  return true;
}

void ServiceHost::CancelForStop() { service_.CancelForStop(); }

void ServiceHost::ReportStopped() { ReportStatus(ServiceState::Stopped); }

bool ServiceHost::HandleControl(uint32_t code) {
  const ServiceState previous = State();
  try {
    switch (code) {
      case kControlStop:
        ReportStatus(ServiceState::StopPending);
        service_.ServiceStop();
        return true;
      case kControlPause:
        ReportStatus(ServiceState::PausePending);
        paused_ = true;
        ReportStatus(ServiceState::Paused);
        return false;
      case kControlContinue:
        ReportStatus(ServiceState::ContinuePending);
        paused_ = false;
        ReportStatus(ServiceState::Running);
        return false;
      case kControlInterrogate:
        ReportStatus(previous);
        return false;
      case kControlShutdown:
        ReportStatus(ServiceState::StopPending);
        service_.CancelForStop();
        return true;
      case kControlCheckNow:
        if (checkLoop_) {
          TDrivewarden* svc = &service_;
          checkLoop_->Post([svc] { svc->CheckNow(); });
        }
        return false;
      default:
        return false;
    }
  } catch (...) {
    const std::string error = ErrorText(std::current_exception());
    if (code != kControlShutdown) ReportStatus(previous);
    const std::string name = ControlActionName(code);
    if (name.empty()) {
      WriteError("サービスに対するカスタムメッセージ (" + std::to_string(code) + ") は失敗しました：" +
                 error);
    } else {
      WriteFailure(name, error);
    }
    return code == kControlShutdown;
  }
}

// ---------------------------------------------------------------------------
// Main thread and queue-driven service thread

void RunMainLoop(MessageLoop& loop, EventLog& log, const std::string& exeSource) {
  for (;;) {
    try {
      loop.Run();
      return;
    } catch (...) {
      log.Report(exeSource, EventType::Error, 0, 0, ErrorText(std::current_exception()));
    }
  }
}

void ControlQueue::Push(uint32_t code) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    codes_.push_back(code);
  }
  ready_.notify_one();
}

uint32_t ControlQueue::Pop() {
  std::unique_lock<std::mutex> lock(mutex_);
  ready_.wait(lock, [this] { return !codes_.empty(); });
  uint32_t code = codes_.front();
  codes_.pop_front();
  return code;
}

bool RunServiceThread(ServiceHost& host, ControlQueue& controls) {
  if (!host.Start()) return false;
  try {
    while (!host.HandleControl(controls.Pop())) {
    }
  } catch (...) {
    host.WriteFailure("実行", ErrorText(std::current_exception()));
  }
  return true;
}

// ---------------------------------------------------------------------------
// Switches and registration

namespace {

std::string AsciiUpper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

}  // namespace

bool HasSwitch(const std::vector<std::string>& args, const std::string& name) {
  const std::string wanted = AsciiUpper(name);
  for (const std::string& arg : args) {
    if (arg.size() < 2 || (arg[0] != '/' && arg[0] != '-')) continue;
    if (AsciiUpper(arg.substr(1)) == wanted) return true;
  }
  return false;
}

HostSwitches ParseSwitches(const std::vector<std::string>& args) {
  HostSwitches switches;
  switches.install = HasSwitch(args, "INSTALL");
  switches.uninstall = !switches.install && HasSwitch(args, "UNINSTALL");
  switches.silent = HasSwitch(args, "SILENT");
  return switches;
}

std::u16string QuoteImagePath(const std::u16string& path) {
  if (path.find(u' ') == std::u16string::npos) return path;
  if (path.size() >= 2 && path.front() == u'"' && path.back() == u'"') return path;
  return u"\"" + path + u"\"";
}

ServiceRegistration DrivewardenRegistration(const std::u16string& exePath) {
  ServiceRegistration registration;
  registration.name = kServiceName;
  registration.displayName = kServiceDisplayName;
  registration.imagePath = QuoteImagePath(exePath);
  return registration;
}

namespace {

const char kErrorCaption[] = "エラー";
const char kInformationCaption[] = "情報";

void ShowError(MessageBoxes& boxes, const std::string& text) {
  boxes.Show(text, kErrorCaption, MessageBoxButtons::Ok, MessageBoxIcon::Error);
}

}  // namespace

int InstallService(ServiceRegistry& registry, MessageBoxes& boxes, const std::u16string& exePath,
                   bool silent) {
  SystemError error;
  if (!registry.Open(&error)) {
    ShowError(boxes, SystemErrorMessage(error));
    return 1;
  }
  const ServiceRegistration registration = DrivewardenRegistration(exePath);
  if (!registry.Create(registration, &error)) {
    ShowError(boxes, "\"" + SystemErrorMessage(error) + "\" : サービス \"" + registration.displayName +
                         "\" の登録は失敗しました。");
    return 1;
  }
  if (!silent) {
    boxes.Show("サービスを登録しました。", kInformationCaption, MessageBoxButtons::Ok,
               MessageBoxIcon::Information);
  }
  return 0;
}

int UninstallService(ServiceRegistry& registry, MessageBoxes& boxes, bool silent) {
  SystemError error;
  if (!registry.Open(&error)) {
    ShowError(boxes, SystemErrorMessage(error));
    return 1;
  }
  if (!registry.Delete(kServiceName, &error)) {
    ShowError(boxes, "\"" + SystemErrorMessage(error) + "\" : サービス \"" +
                         std::string(kServiceDisplayName) + "\" の登録解除に失敗しました。");
    return 1;
  }
  if (!silent) {
    boxes.Show("サービスの登録を解除しました。", kInformationCaption, MessageBoxButtons::Ok,
               MessageBoxIcon::Information);
  }
  return 0;
}

}  // namespace qw
