// The service's installation: the command-line switches INSTALL, UNINSTALL,
// SILENT and TESTMAIL, the registration values, and the message boxes that tell the
// outcome. The Service Control Manager is reached through ServiceRegistry,
// which the Windows program implements.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/drivewarden_common.h"
#include "platform/message_box.h"
#include "platform/service_manager.h"
#include "platform/status.h"

namespace qw {

// Registration values of the service (the names, kServiceName and
// kServiceDisplayName, are shared with the applet).
inline constexpr uint32_t kServiceWin32OwnProcess = 0x10;
inline constexpr uint32_t kServiceAutoStart = 2;
inline constexpr uint32_t kServiceErrorNormal = 1;

// "システムエラー。コード：<code>.\r\n<text>" of a failed system call.
std::string SystemErrorMessage(const Status& failure);

// Command-line switches: an argument that starts with "/" or "-" followed by
// the switch name, matched without regard to ASCII case.
struct HostSwitches {
  bool install = false;
  bool uninstall = false;
  bool silent = false;
  // TESTMAIL: send the test mail with the saved settings and exit; INSTALL
  // and UNINSTALL come first.
  bool testMail = false;
};
bool HasSwitch(const std::vector<std::string>& args, const std::string& name);
HostSwitches ParseSwitches(const std::vector<std::string>& args);

// The image path as registered: the executable's full path, enclosed in
// double quotes when it contains a blank and is not quoted already.
std::u16string QuoteImagePath(const std::u16string& path);

struct ServiceRegistration {
  std::string name;         // Shift-JIS
  std::string displayName;  // Shift-JIS
  std::u16string imagePath;
  uint32_t serviceType = kServiceWin32OwnProcess;
  uint32_t startType = kServiceAutoStart;
  uint32_t errorControl = kServiceErrorNormal;
};
ServiceRegistration DrivewardenRegistration(const std::u16string& exePath);

// What the Service Control Manager does when the service fails: restart it
// after 1 minute, again after 1 minute, then after 5 minutes for every later
// failure; the count goes back to the first action after a day without a
// failure. The flag makes a stop with a Win32 exit code other than 0 count
// as a failure too (a start that failed for a fault, a fatal error). A
// start refused because the settings do not load stops with exit code 0
// (see ServiceHost::ReportStopped), so it is not restarted in a loop.
struct ServiceRecovery {
  std::vector<ServiceFailureAction> actions;
  uint32_t resetPeriodSeconds = 0;
  bool nonCrashFailures = false;
};
ServiceRecovery DrivewardenRecovery();

// Gives the registered service `name` its recovery through `manager`: the
// failure actions, then the flag. A failure names the call that failed
// (OpenSCManager, OpenService, ChangeServiceConfig2). A system that does not
// know the flag (kErrorInvalidLevel; Wine) keeps the actions: that is no
// failure, and `note` (may be null) receives the text that says so; it is
// left empty otherwise.
Status RegisterRecovery(ServiceManager& manager, const std::string& name, std::string* note);

// The event sources the program writes under (Shift-JIS): the service's
// Drivewarden and the executable's file name, which the host's own failures
// use. Both name the program as their message file.
std::vector<std::string> EventSourceNames(const std::u16string& exePath);
// The registry key of a source of the Application log, under HKLM.
std::u16string EventSourceKey(const std::string& source);
// TypesSupported of both sources: error, warning and information.
inline constexpr uint32_t kEventTypesSupported = 0x7;

// The Service Control Manager as the install switches use it: one block
// opens the manager, creates or deletes, and closes it on destruction.
class ServiceRegistry {
 public:
  virtual ~ServiceRegistry() = default;
  // OpenSCManager with full access.
  virtual Status Open() = 0;
  // CreateService with full access, no group, no dependencies, the local
  // system account; the new service's handle is closed at once.
  virtual Status Create(const ServiceRegistration& registration) = 0;
  // OpenService by name with full access, then DeleteService; the failure
  // names whichever of the two failed.
  virtual Status Delete(const std::string& name) = 0;
  // Creates the source's key (EventSourceKey) and writes EventMessageFile
  // (REG_EXPAND_SZ, `messageFile`) and TypesSupported (kEventTypesSupported).
  virtual Status AddEventSource(const std::string& source, const std::u16string& messageFile) = 0;
  // Deletes the source's key; a key that is not there is success.
  virtual Status RemoveEventSource(const std::string& source) = 0;
};

// The INSTALL and UNINSTALL switches: register (remove) the service with its
// recovery (RegisterRecovery through `manager`) and its event sources, and
// tell the outcome in a message box (none on success with `silent`). An
// install whose recovery or event sources cannot be written removes what it
// made, so that no half registration stays; RegisterRecovery's note goes
// into the success box and to `note` (may be null), for the host to write
// as a warning entry. An uninstall removes the sources even when the
// service was not registered; deleting the service takes its recovery with
// it. Return the exit code: 0 on success, 1 on failure.
int InstallService(ServiceRegistry& registry, ServiceManager& manager, MessageBoxes& boxes,
                   const std::u16string& exePath, bool silent, std::string* note = nullptr);
int UninstallService(ServiceRegistry& registry, MessageBoxes& boxes, const std::u16string& exePath,
                     bool silent);

}  // namespace qw
