#include "tests/fakes/fake_service_manager.h"

namespace qw::test {
namespace {

bool Fail(uint32_t code, SystemError* error) {
  if (error) {
    error->code = code;
    error->text = "fake error " + std::to_string(code);
  }
  return false;
}

}  // namespace

class FakeServiceHandle : public ServiceHandle {
 public:
  explicit FakeServiceHandle(FakeServiceManager& owner) : owner_(owner) { ++owner_.openHandles; }
  ~FakeServiceHandle() override {
    owner_.calls.push_back("close-service");
    --owner_.openHandles;
  }

  bool Stop(ServiceState* state, SystemError* error) override {
    owner_.calls.push_back("stop");
    if (state) *state = owner_.state;
    if (owner_.stopError) return Fail(owner_.stopError, error);
    if (owner_.state == ServiceState::Stopped) return Fail(kErrorServiceNotActive, error);
    if (owner_.state == ServiceState::StopPending) {
      return Fail(kErrorServiceCannotAcceptCtrl, error);
    }
    if (owner_.stopQueries == 0) {
      owner_.state = ServiceState::Stopped;
    } else {
      owner_.state = ServiceState::StopPending;
      owner_.pendingQueries_ = owner_.stopQueries;
    }
    if (state) *state = owner_.state;
    return true;
  }

  bool QueryState(ServiceState* state, SystemError* error) override {
    owner_.calls.push_back("query");
    if (owner_.queryError) return Fail(owner_.queryError, error);
    if (owner_.state == ServiceState::StopPending && owner_.stopQueries >= 0) {
      if (owner_.pendingQueries_ > 0) --owner_.pendingQueries_;
      if (owner_.pendingQueries_ == 0) owner_.state = ServiceState::Stopped;
    }
    if (state) *state = owner_.state;
    return true;
  }

  bool Start(SystemError* error) override {
    owner_.calls.push_back("start");
    if (owner_.startError) return Fail(owner_.startError, error);
    if (owner_.state != ServiceState::Stopped) return Fail(kErrorServiceAlreadyRunning, error);
    owner_.state = ServiceState::Running;
    ++owner_.starts;
    return true;
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

  std::unique_ptr<ServiceHandle> OpenNamedService(const std::string& name,
                                             SystemError* error) override {
    owner_.calls.push_back("open-service " + name);
    if (owner_.openServiceError) {
      Fail(owner_.openServiceError, error);
      return nullptr;
    }
    if (!owner_.installed || name != owner_.serviceName) {
      Fail(kErrorServiceDoesNotExist, error);
      return nullptr;
    }
    return std::make_unique<FakeServiceHandle>(owner_);
  }

 private:
  FakeServiceManager& owner_;
};

std::unique_ptr<ServiceManagerHandle> FakeServiceManager::Open(SystemError* error) {
  calls.push_back("open-manager");
  if (openManagerError) {
    Fail(openManagerError, error);
    return nullptr;
  }
  return std::make_unique<FakeManagerHandle>(*this);
}

}  // namespace qw::test
