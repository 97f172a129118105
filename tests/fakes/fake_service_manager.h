// A Service Control Manager holding one service in memory, with the rules a
// client meets: a stop request to a stopped service fails with
// kErrorServiceNotActive, a stopping service takes `stopQueries` status
// queries to reach the stopped state, and a start is refused with
// kErrorServiceAlreadyRunning unless the service is stopped. Each operation
// can be made to fail with a chosen error number. Every call is logged.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/service_manager.h"

namespace qw::test {

class FakeServiceManager : public ServiceManager {
 public:
  Status Open(std::unique_ptr<ServiceManagerHandle>* manager) override;

  // The one service this manager knows; none when `installed` is false.
  std::string serviceName = "Drivewarden";
  bool installed = true;
  ServiceState state = ServiceState::Running;
  // Queries in the stop-pending state before the service is stopped; -1: it
  // never stops.
  int stopQueries = 2;

  // Error numbers to fail with (0: succeed).
  uint32_t openManagerError = 0;
  uint32_t openServiceError = 0;
  uint32_t stopError = 0;
  uint32_t queryError = 0;
  uint32_t startError = 0;
  uint32_t failureActionsError = 0;
  uint32_t failureActionsFlagError = 0;

  // What the last successful SetFailureActions and SetFailureActionsFlag
  // passed (the flag: -1 while never set).
  std::vector<ServiceFailureAction> failureActions;
  uint32_t resetPeriodSeconds = 0;
  int failureActionsFlag = -1;

  // "open-manager", "open-service NAME", "stop", "query", "start",
  // "failure-actions", "failure-actions-flag", "close-service",
  // "close-manager", in call order.
  std::vector<std::string> calls;
  int openHandles = 0;
  int starts = 0;

 private:
  friend class FakeServiceHandle;
  friend class FakeManagerHandle;
  int pendingQueries_ = 0;
};

}  // namespace qw::test
