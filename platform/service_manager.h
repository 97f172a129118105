// The Service Control Manager of the local computer, as a client sees it:
// open the manager, open one service, ask it to stop, query its state, start
// it. Handles are objects: destroying one closes it (CloseServiceHandle), so a
// block of operations opens and closes its handles within itself. Destroy a
// service before the manager it came from.
//
// Every operation returns a Status: on failure What is the system call
// ("OpenSCManager", "OpenService", "ControlService", "QueryServiceStatus",
// "StartService", "ChangeServiceConfig2"), Code its error number (GetLastError) and Text the system's
// text for it. An operation that yields an object or a state writes it
// through its last parameter, which may be null where noted.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/status.h"
#include "platform/system_error.h"

namespace qw {

// Error numbers of Windows that callers of this interface look at.
inline constexpr uint32_t kErrorAccessDenied = 5;
inline constexpr uint32_t kErrorCallNotImplemented = 120;
inline constexpr uint32_t kErrorInvalidLevel = 124;
inline constexpr uint32_t kErrorServiceRequestTimeout = 1053;
inline constexpr uint32_t kErrorServiceAlreadyRunning = 1056;
inline constexpr uint32_t kErrorServiceDoesNotExist = 1060;
inline constexpr uint32_t kErrorServiceCannotAcceptCtrl = 1061;
inline constexpr uint32_t kErrorServiceNotActive = 1062;

// Current states of a service (SERVICE_STOPPED ... SERVICE_PAUSED).
enum class ServiceState : uint32_t {
  Unknown = 0,
  Stopped = 1,
  StartPending = 2,
  StopPending = 3,
  Running = 4,
  ContinuePending = 5,
  PausePending = 6,
  Paused = 7,
};

const char* ServiceStateName(ServiceState state);  // "stopped", "running", ...

// What the manager does when the service fails (SC_ACTION): its type
// (SC_ACTION_NONE 0, SC_ACTION_RESTART 1, SC_ACTION_REBOOT 2,
// SC_ACTION_RUN_COMMAND 3) after `delayMs` milliseconds.
inline constexpr uint32_t kFailureActionRestart = 1;
struct ServiceFailureAction {
  uint32_t type = kFailureActionRestart;
  uint32_t delayMs = 0;
};

// An open service (OpenServiceA with SERVICE_ALL_ACCESS). Closed when destroyed.
class ServiceHandle {
 public:
  virtual ~ServiceHandle() = default;

  // ControlService(SERVICE_CONTROL_STOP). Returns when the request has been
  // delivered, not when the service has stopped. `state` (may be null)
  // receives the state the service reported (also on failure, when the
  // system gives one).
  virtual Status Stop(ServiceState* state) = 0;

  // QueryServiceStatus; `state` (may be null) receives the current state.
  virtual Status QueryState(ServiceState* state) = 0;

  // StartServiceA without start arguments.
  virtual Status Start() = 0;

  // ChangeServiceConfig2W(SERVICE_CONFIG_FAILURE_ACTIONS): `actions` for
  // the first, second, ... failure (the manager repeats the last one for
  // every later failure), the failure count going back to zero after
  // `resetPeriodSeconds` without a failure. No reboot message, no command.
  virtual Status SetFailureActions(const std::vector<ServiceFailureAction>& actions,
                                   uint32_t resetPeriodSeconds) = 0;

  // ChangeServiceConfig2W(SERVICE_CONFIG_FAILURE_ACTIONS_FLAG): with
  // `nonCrashFailures` the failure actions also follow a stop the service
  // reports with a Win32 exit code other than 0, not only the end of its
  // process without a stop. A system without the setting fails with
  // kErrorInvalidLevel.
  virtual Status SetFailureActionsFlag(bool nonCrashFailures) = 0;
};

// An open manager (OpenSCManagerA of the local computer, active database,
// SC_MANAGER_ALL_ACCESS). Closed when destroyed.
class ServiceManagerHandle {
 public:
  virtual ~ServiceManagerHandle() = default;

  // Opens `name` with SERVICE_ALL_ACCESS into `service` (reset to null on
  // failure; must not be null).
  virtual Status OpenNamedService(const std::string& name,
                                  std::unique_ptr<ServiceHandle>* service) = 0;
};

class ServiceManager {
 public:
  virtual ~ServiceManager() = default;

  // Opens the manager of the local computer into `manager` (reset to null on
  // failure; must not be null).
  virtual Status Open(std::unique_ptr<ServiceManagerHandle>* manager) = 0;
};

// Windows: the real Service Control Manager. POSIX has none: Open fails with
// kErrorCallNotImplemented and a text that says so.
std::unique_ptr<ServiceManager> NewSystemServiceManager();

}  // namespace qw
