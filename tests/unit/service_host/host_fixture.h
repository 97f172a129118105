// Pieces shared by the service host tests: a thread-safe event log, a status
// recorder and a fixture with the fake platform around one service object.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "service/drivewarden.h"
#include "service/service_control.h"
#include "tests/fakes/fake_message_loop.h"
#include "tests/fakes/fake_platform.h"

namespace qw::test {

constexpr int64_t kHourMs = 3'600'000;

// What the tests wait for. Every entry and status report wakes the waiters
// at once; a condition that no report announces (a flag a test's own step
// sets) is looked at again every few milliseconds.
class Changes {
 public:
  void Notify() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++serial_;
    }
    changed_.notify_all();
  }
  // Until `done` holds, for at most `bound`: a bound for a test that fails,
  // generous enough for a machine under load, never a wait a passing test
  // pays.
  bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
      uint64_t seen = 0;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        seen = serial_;
      }
      if (done()) return true;
      const auto now = std::chrono::steady_clock::now();
      if (now >= deadline) return false;
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait_until(lock, std::min(deadline, now + std::chrono::milliseconds(5)),
                          [&] { return serial_ != seen; });
    }
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  uint64_t serial_ = 0;
};

inline Changes& TestChanges() {
  static Changes changes;
  return changes;
}

inline bool WaitFor(const std::function<bool()>& done) {
  return TestChanges().WaitFor(done, std::chrono::seconds(30));
}

// Entries may come from several threads.
class LockedEventLog : public EventLog {
 public:
  void Report(const std::string& source, EventType type, uint16_t category, uint32_t eventId,
              const std::string& text) override {
    std::function<void(const EventEntry&)> hook;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      entries_.push_back({source, type, category, eventId, text});
      hook = onReport;
    }
    if (hook) hook(EventEntry{source, type, category, eventId, text});
    TestChanges().Notify();
  }
  std::vector<EventEntry> Entries() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_;
  }
  size_t Count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.size();
  }
  // Set before any thread reports.
  std::function<void(const EventEntry&)> onReport;

 private:
  mutable std::mutex mutex_;
  std::vector<EventEntry> entries_;
};

class RecordingStatus : public ServiceStatusReporter {
 public:
  Status SetStatus(const ServiceStatus& status) override {
    std::string failure;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      reports_.push_back(status);
      failure = failWith;
    }
    TestChanges().Notify();
    if (failure.empty()) return {};
    return Status::Failure("SetServiceStatus", 6, failure);
  }
  std::vector<ServiceStatus> Reports() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return reports_;
  }
  std::vector<ServiceState> States() const {
    std::vector<ServiceState> states;
    for (const ServiceStatus& s : Reports()) states.push_back(s.state);
    return states;
  }
  // When not empty, every report fails with this text.
  std::string failWith;

 private:
  mutable std::mutex mutex_;
  std::vector<ServiceStatus> reports_;
};

class HostTest : public ::testing::Test {
 protected:
  HostTest() {
    drives.drives['C'] = {kDriveFixed, 500 * kMiB, 1000 * kMiB, true, nullptr};
    drives.drives['D'] = {kDriveFixed, 800 * kMiB, 1000 * kMiB, true, nullptr};
    SetIni("[WARNING]\r\nINTERVAL=1\r\n[DRIVE]\r\nC=10MB\r\n");
  }

  void SetIni(const std::string& text) { profiles.SetFile("Drivewarden.ini", text, ++stamp); }

  // Built on first use, on the calling (main) thread. Its alert mail goes
  // through mailStep, or with realMail to the server of the settings.
  TDrivewarden& Service() {
    if (!service) {
      WatchOptions options;
      options.hourlySampling = sampling;
      if (!realMail) {
        options.sendAlert = [this](const std::string& report) {
          if (mailStep) return mailStep(report);
          TDeliveryResult result;
          result.status = Status::Failure("CONNECT", 0, "no mail step in this test");
          return result;
        };
      }
      service = CreateDrivewarden({profiles, drives, system, log}, loop, std::move(options));
    }
    return *service;
  }
  ServiceHost& Host() {
    if (!host) host = std::make_unique<ServiceHost>(Service(), status, log);
    return *host;
  }
  // The loop's timers behind tmCheck, tmRetry and tmWebhook, made in that
  // order.
  FakeTimer& CheckTimer() {
    Service();
    EXPECT_EQ(loop.Timers().size(), 3u);
    return *loop.Timers().at(0);
  }
  FakeTimer& RetryTimer() {
    Service();
    EXPECT_EQ(loop.Timers().size(), 3u);
    return *loop.Timers().at(1);
  }
  // Check entries (ID 5610) written so far.
  size_t CheckEntries() const {
    size_t n = 0;
    for (const EventEntry& e : log.Entries()) n += e.eventId == kCheckEventId;
    return n;
  }

  static constexpr int64_t kMiB = 1024 * 1024;

  FakeProfiles profiles;
  FakeDrives drives;
  FakeSystemInfo system;
  LockedEventLog log;
  FakeMessageLoop loop;
  RecordingStatus status;
  std::function<TDeliveryResult(const std::string& report)> mailStep;
  bool realMail = false;  // set before the service is built
  bool sampling = false;  // the hourly sampling timer, made after tmCheck and tmRetry
  std::unique_ptr<TDrivewarden> service;
  std::unique_ptr<ServiceHost> host;
  int32_t stamp = 0x58A00000;
};

}  // namespace qw::test
