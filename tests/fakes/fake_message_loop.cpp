#include "tests/fakes/fake_message_loop.h"

#include <algorithm>
#include <climits>
#include <stdexcept>

namespace qw {

namespace {
int64_t SaturatedAdd(int64_t a, int64_t b) {
  if (b > 0 && a > INT64_MAX - b) return INT64_MAX;
  return a + b;
}
}  // namespace

FakeMessageLoop::FakeMessageLoop() : core_(std::make_shared<Core>()) { core_->now = &now_; }
FakeMessageLoop::~FakeMessageLoop() = default;

std::unique_ptr<Timer> FakeMessageLoop::CreateTimer() { return std::make_unique<FakeTimer>(core_); }

void FakeMessageLoop::Post(std::function<void()> task) {
  std::lock_guard<std::mutex> lock(mu_);
  tasks_.push_back(std::move(task));
}

size_t FakeMessageLoop::PendingTaskCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return tasks_.size();
}

bool FakeMessageLoop::RunTasks() {
  bool any = false;
  for (size_t n = PendingTaskCount(); n > 0; --n) {
    std::function<void()> task;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (tasks_.empty()) break;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    any = true;
    if (task) task();
  }
  return any;
}

bool FakeMessageLoop::FireDue() {
  std::vector<std::pair<int64_t, uint64_t>> due;
  for (auto& [id, timer] : core_->timers) {
    if (timer->Ticks() && timer->Deadline() <= now_) due.emplace_back(timer->Deadline(), id);
  }
  std::sort(due.begin(), due.end());
  bool any = false;
  for (auto& [deadline, id] : due) {
    auto it = core_->timers.find(id);
    if (it == core_->timers.end()) continue;
    FakeTimer* timer = it->second;
    if (!timer->Ticks() || timer->Deadline() > now_) continue;
    any = true;
    timer->Fire(now_);
  }
  return any;
}

int64_t FakeMessageLoop::NextDeadline() const {
  int64_t next = INT64_MAX;
  for (auto& [id, timer] : core_->timers) {
    if (timer->Ticks()) next = std::min(next, timer->Deadline());
  }
  return next;
}

bool FakeMessageLoop::ProcessPending() {
  bool any = RunTasks();
  if (FireDue()) any = true;
  return any;
}

void FakeMessageLoop::WaitAndProcess(int64_t maxWaitMs) {
  ++waitCount_;
  if (ProcessPending() || quit_) return;
  if (OnIdle) {
    OnIdle();
    if (ProcessPending()) return;
  }
  int64_t target = NextDeadline();
  if (maxWaitMs >= 0) target = std::min(target, SaturatedAdd(now_, maxWaitMs));
  if (target == INT64_MAX) return;
  now_ = std::max(now_, target);
  ProcessPending();
}

void FakeMessageLoop::Run() {
  while (!quit_) {
    bool anything = ProcessPending();
    if (quit_) break;
    if (!anything) {
      if (OnIdle) OnIdle();
      if (PendingTaskCount() == 0 && NextDeadline() == INT64_MAX && !quit_) {
        throw std::logic_error("FakeMessageLoop::Run: nothing can happen any more");
      }
      WaitAndProcess(-1);
    }
  }
  quit_ = false;
}

void FakeMessageLoop::Quit() { quit_ = true; }

void FakeMessageLoop::AdvanceBy(int64_t ms) {
  int64_t target = SaturatedAdd(now_, ms);
  RunTasks();
  for (;;) {
    int64_t next = NextDeadline();
    if (next > target) break;
    now_ = std::max(now_, next);
    FireDue();
    RunTasks();
  }
  now_ = target;
  RunTasks();
}

std::vector<FakeTimer*> FakeMessageLoop::Timers() const {
  std::vector<FakeTimer*> out;
  for (auto& [id, timer] : core_->timers) out.push_back(timer);
  return out;
}

FakeTimer::FakeTimer(std::weak_ptr<FakeMessageLoop::Core> core) : core_(std::move(core)) {
  if (auto c = core_.lock()) {
    id_ = c->nextId++;
    c->timers[id_] = this;
  }
}

FakeTimer::~FakeTimer() {
  if (auto c = core_.lock()) c->timers.erase(id_);
}

void FakeTimer::Restart() {
  if (auto c = core_.lock()) deadline_ = SaturatedAdd(*c->now, interval_);
}

void FakeTimer::SetEnabled(bool enabled) {
  if (enabled == enabled_) return;
  enabled_ = enabled;
  if (enabled) Restart();
}

void FakeTimer::SetInterval(int64_t milliseconds) {
  if (milliseconds == interval_) return;
  interval_ = milliseconds;
  if (enabled_) Restart();
}

void FakeTimer::Fire(int64_t now) {
  deadline_ = SaturatedAdd(now, interval_);
  ++ticks_;
  std::function<void()> handler = OnTimer;
  if (handler) handler();
}

}  // namespace qw
