#include <windows.h>

#include <vector>

#include "platform/service_manager.h"
#include "platform/text_codec.h"
#include "platform/win32/system_message.h"

namespace qw {

std::u16string SystemMessage(uint32_t code) {
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
  std::u16string text;
  if (length > 0 && buffer) text.assign(reinterpret_cast<const char16_t*>(buffer), length);
  if (buffer) LocalFree(buffer);
  while (!text.empty() && (text.back() == u'\r' || text.back() == u'\n' || text.back() == u' ')) {
    text.pop_back();
  }
  return text;
}

std::string SystemErrorText(uint32_t code) {
  const std::u16string text = SystemMessage(code);
  if (text.empty()) return "error " + std::to_string(code);
  return Utf16ToSjis(text);
}

Status LastSystemFailure(const char* what) {
  const DWORD code = GetLastError();  // before anything can overwrite it
  return SystemFailure(what, code);
}

namespace {

class Win32Service : public ServiceHandle {
 public:
  explicit Win32Service(SC_HANDLE handle) : handle_(handle) {}
  ~Win32Service() override { CloseServiceHandle(handle_); }

  Status Stop(ServiceState* state) override {
    SERVICE_STATUS status{};
    Status result;
    if (!ControlService(handle_, SERVICE_CONTROL_STOP, &status)) {
      result = LastSystemFailure("ControlService");
    }
    if (state) *state = static_cast<ServiceState>(status.dwCurrentState);
    return result;
  }

  Status QueryState(ServiceState* state) override {
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(handle_, &status)) return LastSystemFailure("QueryServiceStatus");
    if (state) *state = static_cast<ServiceState>(status.dwCurrentState);
    return {};
  }

  Status Start() override {
    if (!StartServiceA(handle_, 0, nullptr)) return LastSystemFailure("StartService");
    return {};
  }

  Status SetFailureActions(const std::vector<ServiceFailureAction>& actions,
                           uint32_t resetPeriodSeconds) override {
    std::vector<SC_ACTION> list;
    for (const ServiceFailureAction& action : actions)
      list.push_back(SC_ACTION{static_cast<SC_ACTION_TYPE>(action.type), action.delayMs});
    SERVICE_FAILURE_ACTIONSW info{};
    info.dwResetPeriod = resetPeriodSeconds;
    info.lpRebootMsg = nullptr;  // null leaves them as they are: none for a new service
    info.lpCommand = nullptr;
    info.cActions = static_cast<DWORD>(list.size());
    info.lpsaActions = list.empty() ? nullptr : list.data();
    if (!ChangeServiceConfig2W(handle_, SERVICE_CONFIG_FAILURE_ACTIONS, &info))
      return LastSystemFailure("ChangeServiceConfig2");
    return {};
  }

  Status SetFailureActionsFlag(bool nonCrashFailures) override {
    SERVICE_FAILURE_ACTIONS_FLAG flag{};
    flag.fFailureActionsOnNonCrashFailures = nonCrashFailures ? TRUE : FALSE;
    if (!ChangeServiceConfig2W(handle_, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag))
      return LastSystemFailure("ChangeServiceConfig2");
    return {};
  }

 private:
  SC_HANDLE handle_;
};

class Win32ManagerHandle : public ServiceManagerHandle {
 public:
  explicit Win32ManagerHandle(SC_HANDLE handle) : handle_(handle) {}
  ~Win32ManagerHandle() override { CloseServiceHandle(handle_); }

  Status OpenNamedService(const std::string& name,
                          std::unique_ptr<ServiceHandle>* service) override {
    service->reset();
    SC_HANDLE handle = OpenServiceA(handle_, name.c_str(), SERVICE_ALL_ACCESS);
    if (!handle) return LastSystemFailure("OpenService");
    *service = std::make_unique<Win32Service>(handle);
    return {};
  }

 private:
  SC_HANDLE handle_;
};

class Win32ServiceManager : public ServiceManager {
 public:
  Status Open(std::unique_ptr<ServiceManagerHandle>* manager) override {
    manager->reset();
    SC_HANDLE handle = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!handle) return LastSystemFailure("OpenSCManager");
    *manager = std::make_unique<Win32ManagerHandle>(handle);
    return {};
  }
};

}  // namespace

std::unique_ptr<ServiceManager> NewSystemServiceManager() {
  return std::make_unique<Win32ServiceManager>();
}

}  // namespace qw
