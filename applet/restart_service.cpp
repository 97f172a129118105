#include "applet/restart_service.h"

#include <chrono>
#include <thread>
#include <utility>

#include "common/drivewarden_common.h"

namespace qw {
namespace {

RestartResult Failure(RestartOutcome outcome, Status status) {
  RestartResult result;
  result.outcome = outcome;
  result.status = std::move(status);
  return result;
}

// Opens the Service Control Manager and the named service in it.
RestartResult OpenManagerAndService(ServiceManager& manager, const std::string& name,
                          std::unique_ptr<ServiceManagerHandle>* scm, std::unique_ptr<ServiceHandle>* service) {
  Status status = manager.Open(scm);
  if (!status) return Failure(RestartOutcome::OpenManagerFailed, std::move(status));
  status = (*scm)->OpenNamedService(name, service);
  if (!status) return Failure(RestartOutcome::OpenServiceFailed, std::move(status));
  return {};
}

// Asks the service to stop and waits for the stopped state. A service that
// is not running counts as stopped.
RestartResult StopBlock(ServiceManager& manager, const std::string& name,
                        const RestartTiming& timing) {
  std::unique_ptr<ServiceManagerHandle> scm;
  std::unique_ptr<ServiceHandle> service;
  RestartResult opened = OpenManagerAndService(manager, name, &scm, &service);
  if (!opened.ok()) return opened;

  ServiceState state = ServiceState::Unknown;
  Status status = service->Stop(&state);
  if (!status) {
    if (status.Code() == kErrorServiceNotActive) {
      state = ServiceState::Stopped;
    } else {
      // A service already on its way down refuses a second stop request;
      // that is as good as an accepted one. A failed query leaves the
      // refusal as the reason shown.
      ServiceState now = ServiceState::Unknown;
      if (service->QueryState(&now).Ok() &&
          (now == ServiceState::Stopped || now == ServiceState::StopPending)) {
        state = now;
      } else {
        return Failure(RestartOutcome::StopFailed, std::move(status));
      }
    }
  }

  int64_t waited = 0;
  while (state != ServiceState::Stopped) {
    if (waited >= timing.timeoutMs) {
      return Failure(RestartOutcome::StopTimedOut,
                     SystemFailure("ControlService", kErrorServiceRequestTimeout));
    }
    const int64_t step = timing.pollIntervalMs > 0 ? timing.pollIntervalMs : 1;
    if (timing.sleep) {
      timing.sleep(step);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(step));
    }
    waited += step;
    status = service->QueryState(&state);
    if (!status) return Failure(RestartOutcome::QueryFailed, std::move(status));
  }
  return {};
}

RestartResult StartBlock(ServiceManager& manager, const std::string& name) {
  std::unique_ptr<ServiceManagerHandle> scm;
  std::unique_ptr<ServiceHandle> service;
  RestartResult opened = OpenManagerAndService(manager, name, &scm, &service);
  if (!opened.ok()) return opened;
  Status status = service->Start();
  if (status) return {};
  // Started by someone else since it stopped: it runs on the new settings.
  // Any other state (still stopping), or a failed query, means the start was
  // refused.
  if (status.Code() == kErrorServiceAlreadyRunning) {
    ServiceState state = ServiceState::Unknown;
    if (service->QueryState(&state).Ok() &&
        (state == ServiceState::Running || state == ServiceState::StartPending)) {
      return {};
    }
  }
  return Failure(RestartOutcome::StartFailed, std::move(status));
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

namespace {

const char* OutcomeReason(RestartOutcome outcome) {
  switch (outcome) {
    case RestartOutcome::Restarted: break;
    case RestartOutcome::OpenManagerFailed: return "サービス コントロール マネージャを開けません。";
    case RestartOutcome::OpenServiceFailed: return "ドライブ番人サービス (Drivewarden) を開けません。";
    case RestartOutcome::StopFailed: return "ドライブ番人サービスを停止できません。";
    case RestartOutcome::StopTimedOut: return "ドライブ番人サービスが時間内に停止しませんでした。";
    case RestartOutcome::QueryFailed: return "ドライブ番人サービスの状態を取得できません。";
    case RestartOutcome::StartFailed: return "ドライブ番人サービスを開始できません。";
  }
  return "";
}

}  // namespace

std::string RestartFailureText(const RestartResult& result) {
  if (result.outcome == RestartOutcome::Restarted) return "";
  std::string text = "ドライブ番人サービスを再起動できませんでした。\r\n";
  text += OutcomeReason(result.outcome);
  text += "\r\n";
  text += result.status.Text();
  text += " (" + std::to_string(result.status.Code()) + ")";
  text += "\r\n\r\n設定はすでに保存されています。";
  return text;
}

}  // namespace qw
