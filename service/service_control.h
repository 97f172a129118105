// The service's control under a host: the states it reports, the controls it
// handles, the start and stop handlers with their failure entries, and the
// threads. The Windows service program and the POSIX foreground host are
// thin shells around these pieces; the installation switches are in
// service_install.h.
//
// Threads, as both hosts use them: the main thread owns the message loop and
// the check timer, so every periodic check runs there; the service thread
// runs the start handler (with the first check) and then the controls; the
// control source (the Service Control Manager's dispatcher, or a signal
// watcher) only hands control codes to the service thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/event_log.h"
#include "platform/loop_bound_timer.h"
#include "platform/status.h"
#include "platform/message_loop.h"
#include "platform/service_manager.h"
#include "platform/status.h"
#include "service/drivewarden.h"

namespace qw {

// Status values of the service.
inline constexpr uint32_t kServiceWaitHintMs = 5000;
// SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SHUTDOWN
// | SERVICE_ACCEPT_PRESHUTDOWN
inline constexpr uint32_t kServiceControlsAccepted = 0x107;

// Control codes (SERVICE_CONTROL_*).
inline constexpr uint32_t kControlStop = 1;
inline constexpr uint32_t kControlPause = 2;
inline constexpr uint32_t kControlContinue = 3;
inline constexpr uint32_t kControlInterrogate = 4;
inline constexpr uint32_t kControlShutdown = 5;
inline constexpr uint32_t kControlPreshutdown = 15;

// At shutdown the service waits this long at most for a check in progress
// (cancelled at once) to save its state: within the time Windows grants a
// service at SHUTDOWN, and well within the preshutdown time-out the service
// asks for (SERVICE_CONFIG_PRESHUTDOWN_INFO) at PRESHUTDOWN.
inline constexpr uint32_t kShutdownWaitMs = 4000;
inline constexpr uint32_t kPreshutdownWaitMs = 20000;
inline constexpr uint32_t kPreshutdownTimeoutMs = 30000;
// A user-defined control (128 to 255 are the service's own): run a check
// now (`sc control Drivewarden 128`; SIGHUP on POSIX).
inline constexpr uint32_t kControlCheckNow = 128;

// ERROR_SERVICE_SPECIFIC_ERROR: the Win32 exit code of a stopped service
// whose own code tells why. The service's own codes:
inline constexpr uint32_t kErrorServiceSpecific = 1066;
inline constexpr uint32_t kExitStartFailed = 1;  // the start handler raised an error
// The settings did not load at start (ESettingsError). Reported with the
// Win32 exit code 0, so that the failure actions, which also follow a stop
// with any other exit code, do not restart a service that would only fail
// the same way again; the start failure entry says why.
inline constexpr uint32_t kExitSettingsRefused = 2;

// The thread message (WM_USER + 1) that carries a control code, in its first
// parameter, to the Windows service thread.
inline constexpr uint32_t kServiceControlMessage = 0x401;

// Builds the service object with its components; the check and retry timers
// belong to `mainLoop`, whose thread must be the calling thread.
std::unique_ptr<TDrivewarden> CreateDrivewarden(const ServicePlatform& platform, MessageLoop& mainLoop,
                                                WatchOptions options = {});

struct ServiceStatus {
  ServiceState state = ServiceState::Stopped;
  uint32_t controlsAccepted = 0;
  uint32_t checkPoint = 0;
  uint32_t waitHint = kServiceWaitHintMs;
  uint32_t win32ExitCode = 0;
  uint32_t serviceSpecificExitCode = 0;
};

// Where the host reports its states (SetServiceStatus on Windows).
class ServiceStatusReporter {
 public:
  virtual ~ServiceStatusReporter() = default;
  // The failure of SetServiceStatus, with the system's error, when the report
  // did not reach the manager.
  virtual Status SetStatus(const ServiceStatus& status) = 0;
};

// "サービス失敗 <action>: <error>"
std::string ServiceFailureText(const std::string& action, const std::string& error);
// The name of a control in failure texts ("停止" ...); empty outside 1 to 5.
std::string ControlActionName(uint32_t code);

// The service's states, controls and failure entries. Start and
// HandleControl run on the service thread; ReportStatus also on the thread
// of the main routine (never at the same time).
class ServiceHost {
 public:
  // Makes the check timer's ticks skip their check while the service is
  // paused. Construct on the main thread, before any other thread runs.
  // `checkLoop` is the loop whose thread runs the periodic checks; checks
  // on demand are posted there (none without it).
  ServiceHost(TDrivewarden& service, ServiceStatusReporter& status, EventLog& log,
              MessageLoop* checkLoop = nullptr);
  ~ServiceHost();

  ServiceHost(const ServiceHost&) = delete;
  ServiceHost& operator=(const ServiceHost&) = delete;

  // Reports `state` with the accepted controls (none while start is
  // pending), the wait hint and a check point that counts the pending
  // reports in a row. A failed report is written as an error entry.
  void ReportStatus(ServiceState state);

  // Reports start-pending and runs the start handler, reporting running once
  // the settings have loaded and before the first check, so that a stop is
  // accepted while the first check's mail waits (the start-pending phase
  // stays within its wait hint). On an error writes the start failure entry
  // and returns it (the service thread ends; ReportStopped then tells the
  // failure): What is the action, Code the service's exit code, Text why.
  Status Start();

  // Safe from any thread (the control source calls it as soon as a stop or
  // shutdown arrives, before handing the code on): cancels what the service
  // is waiting for, so that the stop is honoured within moments even while
  // the service thread is busy in the start handler.
  void CancelForStop();

  // Reports stopped, with ERROR_SERVICE_SPECIFIC_ERROR and the service's own
  // code when the start failed; a start refused for its settings with the
  // Win32 exit code 0 and kExitSettingsRefused as the service's own code.
  void ReportStopped();
  // Why the last start failed: 0 (it did not), kExitStartFailed or
  // kExitSettingsRefused.
  uint32_t StartFailure() const;

  // Handles one control code as the service thread does. True when the
  // service thread is to end (stop, shutdown, preshutdown). A shutdown
  // cancels the check in progress and waits for it, with a bound (reporting
  // stop-pending meanwhile), so that what it leaves (a pending alert) is in
  // the state file before the service reports stopped; a check that does
  // not end within the bound is an error entry.
  bool HandleControl(uint32_t code);

  // An error entry under the service's source: the failure text of `action`.
  void WriteFailure(const std::string& action, const std::string& error);
  // An error entry under the service's source with `text` alone.
  void WriteError(const std::string& text);

  ServiceState State() const;
  bool Paused() const { return paused_.load(); }
  TDrivewarden& Service() { return service_; }
  // Replaces kShutdownWaitMs and kPreshutdownWaitMs, for tests.
  void SetShutdownWait(uint32_t milliseconds) { shutdownWaitMs_ = preshutdownWaitMs_ = milliseconds; }

 private:
  TDrivewarden& service_;
  ServiceStatusReporter& status_;
  EventLog& log_;
  mutable std::mutex mutex_;
  ServiceState state_ = ServiceState::Stopped;
  uint32_t checkPoint_ = 0;
  uint32_t exitCode_ = 0;  // the service's own exit code, 0 while none
  MessageLoop* checkLoop_;
  std::atomic<bool> paused_{false};
  std::atomic<bool> stopRequested_{false};
  uint32_t shutdownWaitMs_ = kShutdownWaitMs;
  uint32_t preshutdownWaitMs_ = kPreshutdownWaitMs;
  // Ends the service for a shutdown, waiting `boundMs` at most.
  void StopForShutdown(uint32_t code, uint32_t boundMs);
};

// Runs the main thread's loop until it is told to quit. An error that
// reaches the loop (a periodic check's) is written with its text as an error
// entry under `exeSource`, and the loop goes on.
void RunMainLoop(MessageLoop& loop, EventLog& log, const std::string& exeSource);

// Control codes handed to a service thread that waits on a plain queue (the
// POSIX host). Push is safe from any thread.
class ControlQueue {
 public:
  void Push(uint32_t code);
  // Waits for the next code.
  uint32_t Pop();

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<uint32_t> codes_;
};

// The service thread of a queue-driven host: Start, then the controls until
// one ends the thread. The start's failure when it failed.
Status RunServiceThread(ServiceHost& host, ControlQueue& controls);

}  // namespace qw
