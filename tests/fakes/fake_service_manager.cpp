#include "tests/fakes/fake_service_manager.h"

namespace qw::test {
namespace {

// The failure of the system call `what` with error number `code`.
Status Fail(const char* what, uint32_t code) {
  return Status::Failure(what, code, "fake error " + std::to_string(code));
}

}  // namespace

class FakeServiceHandle : public ServiceHandle {
 public:
  explicit FakeServiceHandle(FakeServiceManager& owner) : owner_(owner) { ++owner_.openHandles; }
  ~FakeServiceHandle() override {
    owner_.calls.push_back("close-service");
    --owner_.openHandles;
  }

  Status Stop(ServiceState* state) override {
    owner_.calls.push_back("stop");
    if (state) *state = owner_.state;
    if (owner_.stopError) return Fail("ControlService", owner_.stopError);
    if (owner_.state == ServiceState::Stopped) return Fail("ControlService", kErrorServiceNotActive);
    if (owner_.state == ServiceState::StopPending) {
      return Fail("ControlService", kErrorServiceCannotAcceptCtrl);
    }
    if (owner_.stopQueries == 0) {
      owner_.state = ServiceState::Stopped;
    } else {
      owner_.state = ServiceState::StopPending;
      owner_.pendingQueries_ = owner_.stopQueries;
    }
    if (state) *state = owner_.state;
    return {};
  }

  Status QueryState(ServiceState* state) override {
    owner_.calls.push_back("query");
    if (owner_.queryError) return Fail("QueryServiceStatus", owner_.queryError);
    if (owner_.state == ServiceState::StopPending && owner_.stopQueries >= 0) {
      if (owner_.pendingQueries_ > 0) --owner_.pendingQueries_;
      if (owner_.pendingQueries_ == 0) owner_.state = ServiceState::Stopped;
    }
    if (state) *state = owner_.state;
    return {};
  }

  Status Start() override {
    owner_.calls.push_back("start");
    if (owner_.startError) return Fail("StartService", owner_.startError);
    if (owner_.state != ServiceState::Stopped) {
      return Fail("StartService", kErrorServiceAlreadyRunning);
    }
    owner_.state = ServiceState::Running;
    ++owner_.starts;
    return {};
  }

  Status SetFailureActions(const std::vector<ServiceFailureAction>& actions,
                           uint32_t resetPeriodSeconds) override {
    owner_.calls.push_back("failure-actions");
    if (owner_.failureActionsError) return Fail("ChangeServiceConfig2", owner_.failureActionsError);
    owner_.failureActions = actions;
    owner_.resetPeriodSeconds = resetPeriodSeconds;
    return {};
  }

  Status SetFailureActionsFlag(bool nonCrashFailures) override {
    owner_.calls.push_back("failure-actions-flag");
    if (owner_.failureActionsFlagError) return Fail("ChangeServiceConfig2", owner_.failureActionsFlagError);
    owner_.failureActionsFlag = nonCrashFailures ? 1 : 0;
    return {};
  }

 private:
  FakeServiceManager& owner_;
};

class FakeManagerHandle : public ServiceManagerHandle {
 public:
  explicit FakeManagerHandle(FakeServiceManager& owner) : owner_(owner) { ++owner_.openHandles; }
  ~FakeManagerHandle() override {
    owner_.calls.push_back("close-manager");
    --owner_.openHandles;
  }

  Status OpenNamedService(const std::string& name,
                          std::unique_ptr<ServiceHandle>* service) override {
    owner_.calls.push_back("open-service " + name);
    service->reset();
    if (owner_.openServiceError) return Fail("OpenService", owner_.openServiceError);
    if (!owner_.installed || name != owner_.serviceName) {
      return Fail("OpenService", kErrorServiceDoesNotExist);
    }
    *service = std::make_unique<FakeServiceHandle>(owner_);
    return {};
  }

 private:
  FakeServiceManager& owner_;
};

Status FakeServiceManager::Open(std::unique_ptr<ServiceManagerHandle>* manager) {
  calls.push_back("open-manager");
  manager->reset();
  if (openManagerError) return Fail("OpenSCManager", openManagerError);
  *manager = std::make_unique<FakeManagerHandle>(*this);
  return {};
}

}  // namespace qw::test
