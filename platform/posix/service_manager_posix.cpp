#include "platform/service_manager.h"

namespace qw {

std::string SystemErrorText(uint32_t code) {
  if (code == kErrorCallNotImplemented) {
    return "Service Control Manager is not available on this system";
  }
  if (code == kErrorAccessDenied) return "Access is denied";
  if (code == kErrorServiceDoesNotExist) return "The specified service does not exist";
  if (code == kErrorServiceNotActive) return "The service has not been started";
  return "error " + std::to_string(code);
}

namespace {

// POSIX has no Service Control Manager: the service runs in the foreground
// under whatever supervises it, which the applet cannot address by name.
class UnsupportedServiceManager : public ServiceManager {
 public:
  Status Open(std::unique_ptr<ServiceManagerHandle>* manager) override {
    manager->reset();
    return SystemFailure("OpenSCManager", kErrorCallNotImplemented);
  }
};

}  // namespace

std::unique_ptr<ServiceManager> NewSystemServiceManager() {
  return std::make_unique<UnsupportedServiceManager>();
}

}  // namespace qw
