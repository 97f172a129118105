#include "platform/service_manager.h"

namespace qw {

const char* ServiceStateName(ServiceState state) {
  switch (state) {
    case ServiceState::Stopped: return "stopped";
    case ServiceState::StartPending: return "start pending";
    case ServiceState::StopPending: return "stop pending";
    case ServiceState::Running: return "running";
    case ServiceState::ContinuePending: return "continue pending";
    case ServiceState::PausePending: return "pause pending";
    case ServiceState::Paused: return "paused";
    case ServiceState::Unknown: break;
  }
  return "unknown";
}

}  // namespace qw
