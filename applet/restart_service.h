// Restarting the watch service after its settings were saved, so that its
// start handler loads them at once.
//
// Two blocks, each opening and closing its own handles: the stop block asks
// the service to stop and waits until it has reached the stopped state
// (querying every poll interval, up to the time limit); then the caller's
// pending window messages are processed once; then the start block starts the
// service. A service that was not running is simply started. Every failure
// (no right to open the manager or the service, the service not installed,
// the stop not reached in time, the start refused) is shown in a message box
// with the system's error text; the settings file is not touched either way.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/message_box.h"
#include "platform/service_manager.h"
#include "platform/status.h"

namespace qw {

// Caption of every message box of the applet.
inline constexpr const char* kAppletCaption = "ドライブ番人";

struct RestartTiming {
  int64_t pollIntervalMs = 250;
  int64_t timeoutMs = 30000;
  // Waits that many milliseconds; empty means a real sleep of the thread.
  std::function<void(int64_t)> sleep;
};

// What happened; `status` holds the failure: the system call, its error
// number and the system's text.
enum class RestartOutcome {
  Restarted,            // stopped (or was not running) and started again
  OpenManagerFailed,    // stop or start block could not open the manager
  OpenServiceFailed,    // ... or the service
  StopFailed,           // the stop request was refused and the service runs on
  StopTimedOut,         // the stopped state was not reached in time
  QueryFailed,          // the service's state could not be read while waiting
  StartFailed,          // the start request was refused
};

struct RestartResult {
  RestartOutcome outcome = RestartOutcome::Restarted;
  Status status;
  bool ok() const { return outcome == RestartOutcome::Restarted; }
};

// Restarts `serviceName` (kServiceName by default). `processPending` runs
// once between the blocks (may be empty). A failure is shown in a message
// box captioned "ドライブ番人" with the error icon.
RestartResult RestartService(ServiceManager& manager, MessageBoxes& boxes,
                             const std::function<void()>& processPending,
                             const RestartTiming& timing = {},
                             const std::string& serviceName = "");

// The text of the message box shown for a failed restart (Shift-JIS).
std::string RestartFailureText(const RestartResult& result);

}  // namespace qw
