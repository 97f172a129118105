#include "applet/restart_service.h"

#include <chrono>
#include <thread>

#include "common/drivewarden_common.h"

namespace qw {
namespace {

RestartResult Failure(RestartOutcome outcome, const SystemError& error) {
  RestartResult result;
  result.outcome = outcome;
  result.error = error;
  return result;
}

// Asks the service to stop and waits for the stopped state. A service that
// is not running counts as stopped.
RestartResult StopBlock(ServiceManager& manager, const std::string& name,
                        const RestartTiming& timing) {
  SystemError error;
  std::unique_ptr<ServiceManagerHandle> scm = manager.Open(&error);
  if (!scm) return Failure(RestartOutcome::OpenManagerFailed, error);
  std::unique_ptr<ServiceHandle> service = scm->OpenNamedService(name, &error);
  if (!service) return Failure(RestartOutcome::OpenServiceFailed, error);

  ServiceState state = ServiceState::Unknown;
  if (!service->Stop(&state, &error)) {
    if (error.code == kErrorServiceNotActive) {
      state = ServiceState::Stopped;
    } else {
      // A service already on its way down refuses a second stop request;
      // that is as good as an accepted one.
      ServiceState now = ServiceState::Unknown;
      SystemError ignored;
      if (service->QueryState(&now, &ignored) &&
          (now == ServiceState::Stopped || now == ServiceState::StopPending)) {
        state = now;
      } else {
        return Failure(RestartOutcome::StopFailed, error);
      }
    }
  }

  int64_t waited = 0;
  while (state != ServiceState::Stopped) {
    if (waited >= timing.timeoutMs) {
      SystemError timeout{kErrorServiceRequestTimeout, SystemErrorText(kErrorServiceRequestTimeout)};
      return Failure(RestartOutcome::StopTimedOut, timeout);
    }
    const int64_t step = timing.pollIntervalMs > 0 ? timing.pollIntervalMs : 1;
    if (timing.sleep) {
      timing.sleep(step);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(step));
    }
    waited += step;
    if (!service->QueryState(&state, &error)) return Failure(RestartOutcome::QueryFailed, error);
  }
  return {};
}

RestartResult StartBlock(ServiceManager& manager, const std::string& name) {
  SystemError error;
  std::unique_ptr<ServiceManagerHandle> scm = manager.Open(&error);
  if (!scm) return Failure(RestartOutcome::OpenManagerFailed, error);
  std::unique_ptr<ServiceHandle> service = scm->OpenNamedService(name, &error);
  if (!service) return Failure(RestartOutcome::OpenServiceFailed, error);
  if (service->Start(&error)) return {};
  // Started by someone else since it stopped: it runs on the new settings.
  // Any other state (still stopping) means the start was refused.
  if (error.code == kErrorServiceAlreadyRunning) {
    ServiceState state = ServiceState::Unknown;
    SystemError ignored;
    if (service->QueryState(&state, &ignored) &&
        (state == ServiceState::Running || state == ServiceState::StartPending)) {
      return {};
    }
  }
  return Failure(RestartOutcome::StartFailed, error);
}

}  // namespace

RestartResult RestartService(ServiceManager& manager, MessageBoxes& boxes,
                             const std::function<void()>& processPending,
                             const RestartTiming& timing, const std::string& serviceName) {
  const std::string name = serviceName.empty() ? std::string(kServiceName) : serviceName;
  RestartResult result = StopBlock(manager, name, timing);
  if (result.ok()) {
    if (processPending) processPending();
    result = StartBlock(manager, name);
  }
  if (!result.ok()) {
    boxes.Show(RestartFailureText(result), kAppletCaption, MessageBoxButtons::Ok,
               MessageBoxIcon::Error);
  }
  return result;
}

std::string RestartFailureText(const RestartResult& result) {
  std::string reason;
  switch (result.outcome) {
    case RestartOutcome::Restarted: return "";
    case RestartOutcome::OpenManagerFailed:
      reason = "サービス コントロール マネージャを開けません。";
      break;
    case RestartOutcome::OpenServiceFailed:
      reason = "ドライブ番人サービス (Drivewarden) を開けません。";
      break;
    case RestartOutcome::StopFailed:
      reason = "ドライブ番人サービスを停止できません。";
      break;
    case RestartOutcome::StopTimedOut:
      reason = "ドライブ番人サービスが時間内に停止しませんでした。";
      break;
    case RestartOutcome::QueryFailed:
      reason = "ドライブ番人サービスの状態を取得できません。";
      break;
    case RestartOutcome::StartFailed:
      reason = "ドライブ番人サービスを開始できません。";
      break;
  }
  std::string text = "ドライブ番人サービスを再起動できませんでした。\r\n";
  text += reason;
  text += "\r\n";
  text += result.error.text;
  text += " (" + std::to_string(result.error.code) + ")";
  text += "\r\n\r\n設定はすでに保存されています。";
  return text;
}

}  // namespace qw
