#include "service/bounded_calls.h"

#include <system_error>
#include <thread>

namespace qw {

BoundedCalls::BoundedCalls() : shared_(std::make_shared<Shared>()) {}

BoundedCalls::~BoundedCalls() = default;

BoundedCalls::Start BoundedCalls::Begin(const std::string& key, std::function<void()> call) {
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    bool& running = shared_->running[key];
    if (running) return Start::Busy;
    running = true;
  }
  // The thread holds the shared block, never this object.
  std::shared_ptr<Shared> shared = shared_;
  try {
    std::thread([shared, key, call = std::move(call)] {
      call();
      {
        std::lock_guard<std::mutex> lock(shared->mutex);
        shared->running[key] = false;
      }
      shared->returned.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->running[key] = false;
    return Start::NoThread;
  }
  return Start::Started;
}

Status BoundedCalls::Wait(const std::vector<std::string>& keys, std::chrono::milliseconds bound, bool cancellable) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  std::unique_lock<std::mutex> lock(shared_->mutex);
  auto allReturned = [&] {
    for (const std::string& key : keys) {
      auto it = shared_->running.find(key);
      if (it != shared_->running.end() && it->second) return false;
    }
    return true;
  };
  shared_->returned.wait_until(lock, deadline,
                               [&] { return allReturned() || (cancellable && shared_->cancelled); });
  if (allReturned()) return Status();
  if (cancellable && shared_->cancelled)
    return Status::Failure("Wait", 0, "cancelled by stop", StatusKind::kCancelled);
  return Status::Failure("Wait", 0, "no answer within " + std::to_string(bound.count()) + " ms",
                         StatusKind::kTimedOut);
}

bool BoundedCalls::Returned(const std::string& key) const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  auto it = shared_->running.find(key);
  return it == shared_->running.end() || !it->second;
}

void BoundedCalls::Cancel() {
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->cancelled = true;
  }
  shared_->returned.notify_all();
}

void BoundedCalls::Resume() {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  shared_->cancelled = false;
}

bool BoundedCalls::Cancelled() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->cancelled;
}

size_t BoundedCalls::Outstanding() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  size_t n = 0;
  for (const auto& entry : shared_->running) n += entry.second;
  return n;
}

Status BoundedCalls::WaitIdle(std::chrono::milliseconds bound) const {
  std::unique_lock<std::mutex> lock(shared_->mutex);
  size_t outstanding = 0;
  const bool idle = shared_->returned.wait_for(lock, bound, [&] {
    outstanding = 0;
    for (const auto& entry : shared_->running) outstanding += entry.second;
    return outstanding == 0;
  });
  if (idle) return Status();
  return Status::Failure("WaitIdle", 0,
                         std::to_string(outstanding) + " call(s) still outstanding after " +
                             std::to_string(bound.count()) + " ms",
                         StatusKind::kTimedOut);
}

}  // namespace qw
