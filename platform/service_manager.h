// The Service Control Manager of the local computer, as a client sees it:
// open the manager, open one service, ask it to stop, query its state, start
// it. Handles are objects: destroying one closes it (CloseServiceHandle), so a
// block of operations opens and closes its handles within itself. Destroy a
// service before the manager it came from.
//
// Every operation that can fail takes a SystemError* (may be null) and fills
// it with the system's error number (GetLastError) and its text.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace qw {

// A failure reported by the system: its error number and the system's text
// for it (Shift-JIS, without a trailing line break).
struct SystemError {
  uint32_t code = 0;
  std::string text;
};

// Error numbers of Windows that callers of this interface look at.
inline constexpr uint32_t kErrorAccessDenied = 5;
inline constexpr uint32_t kErrorCallNotImplemented = 120;
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

// An open service (OpenServiceA with SERVICE_ALL_ACCESS). Closed when destroyed.
class ServiceHandle {
 public:
  virtual ~ServiceHandle() = default;

  // ControlService(SERVICE_CONTROL_STOP). Returns when the request has been
  // delivered, not when the service has stopped. `state` receives the state
  // the service reported (also on failure, when the system gives one).
  virtual bool Stop(ServiceState* state, SystemError* error) = 0;

  // QueryServiceStatus.
  virtual bool QueryState(ServiceState* state, SystemError* error) = 0;

  // StartServiceA without start arguments.
  virtual bool Start(SystemError* error) = 0;
};

// An open manager (OpenSCManagerA of the local computer, active database,
// SC_MANAGER_ALL_ACCESS). Closed when destroyed.
class ServiceManagerHandle {
 public:
  virtual ~ServiceManagerHandle() = default;

  // Opens `name` with SERVICE_ALL_ACCESS; null on failure.
  virtual std::unique_ptr<ServiceHandle> OpenNamedService(const std::string& name,
                                                     SystemError* error) = 0;
};

class ServiceManager {
 public:
  virtual ~ServiceManager() = default;

  // Opens the manager of the local computer; null on failure.
  virtual std::unique_ptr<ServiceManagerHandle> Open(SystemError* error) = 0;
};

// Windows: the real Service Control Manager. POSIX has none: Open fails with
// kErrorCallNotImplemented and a text that says so.
std::unique_ptr<ServiceManager> NewSystemServiceManager();

// The system's text for an error number (FormatMessage on Windows), in
// Shift-JIS without a trailing line break; "error N" when the system has none.
std::string SystemErrorText(uint32_t code);

}  // namespace qw
