#include "service/service_control.h"

#include <algorithm>
#include <chrono>
#include <exception>

#include "common/errors.h"
#include "common/exception_text.h"

namespace qw {

std::unique_ptr<TDrivewarden> CreateDrivewarden(const ServicePlatform& platform, MessageLoop& mainLoop,
                                                WatchOptions options) {
  auto checkTimer = std::make_unique<LoopBoundTimer>(mainLoop, mainLoop.CreateTimer());
  auto retryTimer = std::make_unique<LoopBoundTimer>(mainLoop, mainLoop.CreateTimer());
  const bool sampling = options.hourlySampling;
  auto service =
      std::make_unique<TDrivewarden>(platform, std::move(checkTimer), std::move(retryTimer), std::move(options));
  service->SetWebhookRetryTimer(std::make_unique<LoopBoundTimer>(mainLoop, mainLoop.CreateTimer()));
  if (sampling) service->SetSampleTimer(std::make_unique<LoopBoundTimer>(mainLoop, mainLoop.CreateTimer()));
  return service;
}

// ---------------------------------------------------------------------------
// Texts

std::string ServiceFailureText(const std::string& action, const std::string& error) {
  return "サービス失敗 " + action + ": " + error;
}

std::string ControlActionName(uint32_t code) {
  switch (code) {
    case kControlStop: return "停止";
    case kControlPause: return "一時停止";
    case kControlContinue: return "続行";
    case kControlInterrogate: return "との対話";
    case kControlShutdown: return "シャットダウン";
    case kControlPreshutdown: return "シャットダウンの準備";
    default: return "";
  }
}

namespace {

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
  // A paused service does not retry either; the retry timer keeps its
  // period, so the first tick after the pause tries again.
  service_.tmRetry().OnTimer = [svc, paused] {
    if (paused->load()) return;
    svc->tmRetryTimer(&svc->tmRetry());
  };
  if (Timer* sample = service_.tmSample()) {
    sample->OnTimer = [svc, paused, sample] {
      if (paused->load()) return;
      svc->tmSampleTimer(sample);
    };
  }
}

ServiceHost::~ServiceHost() {
  TDrivewarden* svc = &service_;
  service_.tmCheck().OnTimer = [svc] { svc->tmCheckTimer(&svc->tmCheck()); };
  service_.tmRetry().OnTimer = [svc] { svc->tmRetryTimer(&svc->tmRetry()); };
  if (Timer* sample = service_.tmSample()) sample->OnTimer = [svc, sample] { svc->tmSampleTimer(sample); };
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
      status.win32ExitCode = exitCode_ == kExitSettingsRefused ? 0 : kErrorServiceSpecific;
      status.serviceSpecificExitCode = exitCode_;
    }
  }
  const Status reported = status_.SetStatus(status);
  if (!reported) WriteError(reported.Text());
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

Status ServiceHost::Start() {
  paused_ = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    exitCode_ = 0;
  }
  ReportStatus(ServiceState::StartPending);
  try {
    service_.ServiceStart([this] {
      ReportStatus(ServiceState::Running);
      // A stop that came while the start handler began (which makes the
      // service ready for checks again) still cancels the first check.
      if (stopRequested_) service_.CancelForStop();
    });
  } catch (...) {
    bool settings = false;
    try {
      throw;
    } catch (const ESettingsError&) {
      settings = true;
    } catch (...) {
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      exitCode_ = settings ? kExitSettingsRefused : kExitStartFailed;
    }
    const std::string error = ExceptionText(std::current_exception());
    WriteFailure("開始", error);
    return Status::Failure("開始", kExitStartFailed, error);
  }
  if (State() != ServiceState::Running) ReportStatus(ServiceState::Running);
  return Status();
}

void ServiceHost::CancelForStop() {
  stopRequested_ = true;
  service_.CancelForStop();
}

void ServiceHost::ReportStopped() { ReportStatus(ServiceState::Stopped); }

uint32_t ServiceHost::StartFailure() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return exitCode_;
}

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
        StopForShutdown(code, shutdownWaitMs_);
        return true;
      case kControlPreshutdown:
        StopForShutdown(code, preshutdownWaitMs_);
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
    const std::string error = ExceptionText(std::current_exception());
    const bool ends = code == kControlShutdown || code == kControlPreshutdown;
    if (!ends) ReportStatus(previous);
    const std::string name = ControlActionName(code);
    if (name.empty()) {
      WriteError("サービスに対するカスタムメッセージ (" + std::to_string(code) + ") は失敗しました：" +
                 error);
    } else {
      WriteFailure(name, error);
    }
    return ends;
  }
}

void ServiceHost::StopForShutdown(uint32_t code, uint32_t boundMs) {
  ReportStatus(ServiceState::StopPending);
  stopRequested_ = true;
  service_.CancelForStop();
  // In steps of a second at most, each told to the manager, so that a long
  // wait is not taken for a hung service.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (service_.ServiceStopWithin(std::clamp<int64_t>(left.count(), 0, 1000)).Ok()) return;
    if (std::chrono::steady_clock::now() >= deadline) break;
    ReportStatus(ServiceState::StopPending);
  }
  WriteFailure(ControlActionName(code), "実行中のチェックが " + std::to_string((boundMs + 999) / 1000) +
                                            " 秒以内に終わりませんでした。その結果 (再送待ちのメールを含む) は保存されていません");
}

// ---------------------------------------------------------------------------
// Main thread and queue-driven service thread

void RunMainLoop(MessageLoop& loop, EventLog& log, const std::string& exeSource) {
  for (;;) {
    try {
      loop.Run();
      return;
    } catch (...) {
      log.Report(exeSource, EventType::Error, 0, 0, ExceptionText(std::current_exception()));
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

Status RunServiceThread(ServiceHost& host, ControlQueue& controls) {
  if (Status started = host.Start(); !started) return started;
  try {
    while (!host.HandleControl(controls.Pop())) {
    }
  } catch (...) {
    host.WriteFailure("実行", ExceptionText(std::current_exception()));
  }
  return Status();
}

}  // namespace qw
