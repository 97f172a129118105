#include <windows.h>

#include "platform/service_manager.h"
#include "platform/text_codec.h"

namespace qw {

std::string SystemErrorText(uint32_t code) {
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
  if (text.empty()) return "error " + std::to_string(code);
  return Utf16ToSjis(text);
}

namespace {

void Fail(SystemError* error) {
  const DWORD code = GetLastError();
  if (error) {
    error->code = code;
    error->text = SystemErrorText(code);
  }
}

class Win32Service : public ServiceHandle {
 public:
  explicit Win32Service(SC_HANDLE handle) : handle_(handle) {}
  ~Win32Service() override { CloseServiceHandle(handle_); }

  bool Stop(ServiceState* state, SystemError* error) override {
    SERVICE_STATUS status{};
    const BOOL ok = ControlService(handle_, SERVICE_CONTROL_STOP, &status);
    if (!ok) Fail(error);
    if (state) *state = static_cast<ServiceState>(status.dwCurrentState);
    return ok != FALSE;
  }

  bool QueryState(ServiceState* state, SystemError* error) override {
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(handle_, &status)) {
      Fail(error);
      return false;
    }
    if (state) *state = static_cast<ServiceState>(status.dwCurrentState);
    return true;
  }

  bool Start(SystemError* error) override {
    if (!StartServiceA(handle_, 0, nullptr)) {
      Fail(error);
      return false;
    }
    return true;
  }

 private:
  SC_HANDLE handle_;
};

class Win32ManagerHandle : public ServiceManagerHandle {
 public:
  explicit Win32ManagerHandle(SC_HANDLE handle) : handle_(handle) {}
  ~Win32ManagerHandle() override { CloseServiceHandle(handle_); }

  std::unique_ptr<ServiceHandle> OpenNamedService(const std::string& name,
                                             SystemError* error) override {
    SC_HANDLE service = OpenServiceA(handle_, name.c_str(), SERVICE_ALL_ACCESS);
    if (!service) {
      Fail(error);
      return nullptr;
    }
    return std::make_unique<Win32Service>(service);
  }

 private:
  SC_HANDLE handle_;
};

class Win32ServiceManager : public ServiceManager {
 public:
  std::unique_ptr<ServiceManagerHandle> Open(SystemError* error) override {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) {
      Fail(error);
      return nullptr;
    }
    return std::make_unique<Win32ManagerHandle>(manager);
  }
};

}  // namespace

std::unique_ptr<ServiceManager> NewSystemServiceManager() {
  return std::make_unique<Win32ServiceManager>();
}

}  // namespace qw
