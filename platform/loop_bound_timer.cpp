#include "platform/loop_bound_timer.h"

#include <functional>
#include <mutex>
#include <thread>

namespace qw {

struct LoopBoundTimer::Shared {
  std::thread::id owner;
  std::unique_ptr<Timer> inner;  // touched on the owning thread only

  std::mutex mutex;  // guards what other threads set
  bool enabled = false;
  int64_t interval = 1000;
  uint64_t generation = 0;  // counts changes that begin a new period

  uint64_t appliedGeneration = 0;  // owning thread only

  // Sets one setting (any thread); true when it changed, which begins a new
  // period.
  template <typename T>
  bool Change(T Shared::*field, T value) {
    std::lock_guard<std::mutex> lock(mutex);
    if (this->*field == value) return false;
    this->*field = value;
    ++generation;
    return true;
  }

  // Brings the inner timer to the latest settings (owning thread).
  void Apply() {
    if (!inner) return;
    bool wantEnabled;
    int64_t wantInterval;
    uint64_t wantGeneration;
    {
      std::lock_guard<std::mutex> lock(mutex);
      wantEnabled = enabled;
      wantInterval = interval;
      wantGeneration = generation;
    }
    if (wantGeneration != appliedGeneration) {
      // Something was stopped, started or reset meanwhile: a new period.
      inner->SetEnabled(false);
      inner->SetInterval(wantInterval);
      appliedGeneration = wantGeneration;
    }
    inner->SetEnabled(wantEnabled);
  }
};

LoopBoundTimer::LoopBoundTimer(MessageLoop& loop, std::unique_ptr<Timer> inner)
    : loop_(loop), shared_(std::make_shared<Shared>()) {
  shared_->owner = std::this_thread::get_id();
  shared_->inner = std::move(inner);
  shared_->inner->SetEnabled(false);
  shared_->inner->SetInterval(shared_->interval);
  shared_->inner->OnTimer = [this] {
    std::function<void()> handler = OnTimer;
    if (handler) handler();
  };
}

LoopBoundTimer::~LoopBoundTimer() {
  // Tasks still queued find no timer.
  shared_->inner.reset();
}

void LoopBoundTimer::SetEnabled(bool enabled) {
  if (shared_->Change(&Shared::enabled, enabled)) Apply();
}

bool LoopBoundTimer::Enabled() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->enabled;
}

void LoopBoundTimer::SetInterval(int64_t milliseconds) {
  if (shared_->Change(&Shared::interval, milliseconds)) Apply();
}

int64_t LoopBoundTimer::Interval() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->interval;
}

void LoopBoundTimer::Apply() {
  if (std::this_thread::get_id() == shared_->owner) {
    shared_->Apply();
    return;
  }
  std::weak_ptr<Shared> weak = shared_;
  loop_.Post([weak] {
    if (auto shared = weak.lock()) shared->Apply();
  });
}

}  // namespace qw
