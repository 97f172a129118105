// The thread message loop on poll(): an eventfd wakes the loop for posted
// tasks and Quit, timers are deadlines on the monotonic clock, and watched
// file descriptors (sockets) join the same poll() call.
#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <deque>
#include <map>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "platform/posix/poll_loop.h"

namespace qw {

int64_t MonotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

namespace {

int64_t SaturatedAdd(int64_t a, int64_t b) {
  if (b > 0 && a > INT64_MAX - b) return INT64_MAX;
  return a + b;
}

// What other threads touch: the task queue and the wake-up eventfd.
class Inbox : public PollLoop::Poster {
 public:
  Inbox() {
    fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd_ < 0) throw std::runtime_error("message loop: eventfd failed");
  }
  ~Inbox() override { Shut(); }

  void Post(std::function<void()> task) override {
    std::lock_guard<std::mutex> lock(mu_);
    if (fd_ < 0) return;
    tasks_.push_back(std::move(task));
    WakeLocked();
  }

  void Wake() {
    std::lock_guard<std::mutex> lock(mu_);
    if (fd_ >= 0) WakeLocked();
  }

  // Called by the owning loop when it goes away; later posts are dropped.
  void Shut() {
    std::deque<std::function<void()>> dropped;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (fd_ >= 0) close(fd_);
      fd_ = -1;
      dropped.swap(tasks_);
    }
  }

  int Fd() const { return fd_; }

  void Drain() {
    uint64_t value;
    while (read(fd_, &value, sizeof value) > 0) {
    }
  }

  size_t Count() {
    std::lock_guard<std::mutex> lock(mu_);
    return tasks_.size();
  }

  bool Pop(std::function<void()>& task) {
    std::lock_guard<std::mutex> lock(mu_);
    if (tasks_.empty()) return false;
    task = std::move(tasks_.front());
    tasks_.pop_front();
    return true;
  }

 private:
  void WakeLocked() {
    uint64_t one = 1;
    ssize_t n = write(fd_, &one, sizeof one);
    (void)n;  // a full counter already wakes the loop
  }

  std::mutex mu_;
  int fd_ = -1;
  std::deque<std::function<void()>> tasks_;
};

class PosixTimer;

// State of the loop used on its own thread only: timers and watched fds.
struct LoopCore {
  std::map<uint64_t, PosixTimer*> timers;  // enabled timers by id
  uint64_t nextTimerId = 1;

  struct Watch {
    int fd;
    short events;
    std::function<void(short)> onReady;
  };
  std::map<int, std::shared_ptr<Watch>> watches;
};

class PosixTimer : public Timer {
 public:
  explicit PosixTimer(std::weak_ptr<LoopCore> core) : core_(std::move(core)) {
    if (auto core = core_.lock()) id_ = core->nextTimerId++;
  }
  ~PosixTimer() override { Unregister(); }

  void SetEnabled(bool enabled) override {
    if (enabled == enabled_) return;
    enabled_ = enabled;
    if (enabled) {
      Restart();
    } else {
      Unregister();
    }
  }
  bool Enabled() const override { return enabled_; }

  void SetInterval(int64_t milliseconds) override {
    if (milliseconds == interval_) return;
    interval_ = milliseconds;
    if (enabled_) Restart();
  }
  int64_t Interval() const override { return interval_; }

  int64_t Deadline() const { return deadline_; }
  bool Ticks() const { return enabled_ && interval_ > 0; }

  // Called by the loop when the deadline has passed: the next period starts
  // now, then OnTimer runs (it may stop, restart or destroy this timer).
  void Fire(int64_t now) {
    deadline_ = SaturatedAdd(now, interval_);
    std::function<void()> handler = OnTimer;
    if (handler) handler();
  }

 private:
  void Restart() {
    deadline_ = SaturatedAdd(MonotonicMs(), interval_);
    if (auto core = core_.lock()) core->timers[id_] = this;
  }
  void Unregister() {
    if (auto core = core_.lock()) core->timers.erase(id_);
  }

  std::weak_ptr<LoopCore> core_;
  uint64_t id_ = 0;
  bool enabled_ = false;
  int64_t interval_ = 1000;
  int64_t deadline_ = 0;
};

class PosixLoop : public PollLoop {
 public:
  PosixLoop() : inbox_(std::make_shared<Inbox>()), core_(std::make_shared<LoopCore>()) {}
  ~PosixLoop() override { inbox_->Shut(); }

  std::unique_ptr<Timer> CreateTimer() override { return std::make_unique<PosixTimer>(core_); }

  void Post(std::function<void()> task) override { inbox_->Post(std::move(task)); }

  bool ProcessPending() override { return Dispatch(0); }

  void WaitAndProcess(int64_t maxWaitMs) override {
    int64_t wait = maxWaitMs < 0 ? INT64_MAX : maxWaitMs;
    int64_t now = MonotonicMs();
    for (auto& [id, timer] : core_->timers) {
      if (timer->Ticks()) wait = std::min(wait, std::max<int64_t>(0, timer->Deadline() - now));
    }
    if (inbox_->Count() > 0 || quit_.load()) wait = 0;
    Dispatch(wait == INT64_MAX ? -1 : static_cast<int>(std::min<int64_t>(wait, INT_MAX)));
  }

  void Run() override {
    while (!quit_.exchange(false)) WaitAndProcess(-1);
  }

  void Quit() override {
    quit_.store(true);
    inbox_->Wake();
  }

  void WatchFd(int fd, short events, std::function<void(short)> onReady) override {
    core_->watches[fd] = std::make_shared<LoopCore::Watch>(LoopCore::Watch{fd, events, std::move(onReady)});
  }
  void SetFdEvents(int fd, short events) override {
    auto it = core_->watches.find(fd);
    if (it != core_->watches.end()) it->second->events = events;
  }
  void UnwatchFd(int fd) override { core_->watches.erase(fd); }

  std::shared_ptr<Poster> PostHandle() override { return inbox_; }

 private:
  // Polls for at most `timeoutMs` (-1: no limit), then dispatches the posted
  // tasks queued so far, the timers that are due and the ready fds. Handlers
  // may dispatch again (a wait inside a handler); everything looked up after
  // a handler ran is looked up afresh.
  bool Dispatch(int timeoutMs) {
    std::vector<pollfd> fds;
    std::vector<std::shared_ptr<LoopCore::Watch>> watched;
    fds.push_back(pollfd{inbox_->Fd(), POLLIN, 0});
    for (auto& [fd, watch] : core_->watches) {
      fds.push_back(pollfd{fd, watch->events, 0});
      watched.push_back(watch);
    }
    int ready = poll(fds.data(), fds.size(), timeoutMs);
    if (ready < 0 && errno != EINTR) throw std::runtime_error("message loop: poll failed");
    if (ready > 0 && (fds[0].revents & POLLIN)) inbox_->Drain();

    bool any = false;
    // Tasks posted before now; a task that posts again runs next time.
    for (size_t n = inbox_->Count(); n > 0; --n) {
      std::function<void()> task;
      if (!inbox_->Pop(task)) break;
      any = true;
      if (task) task();
    }

    // Due timers in the order of their deadlines.
    int64_t now = MonotonicMs();
    std::vector<std::pair<int64_t, uint64_t>> due;
    for (auto& [id, timer] : core_->timers) {
      if (timer->Ticks() && timer->Deadline() <= now) due.emplace_back(timer->Deadline(), id);
    }
    std::sort(due.begin(), due.end());
    for (auto& [deadline, id] : due) {
      auto it = core_->timers.find(id);
      if (it == core_->timers.end()) continue;  // stopped or destroyed meanwhile
      PosixTimer* timer = it->second;
      if (!timer->Ticks() || timer->Deadline() > now) continue;  // restarted meanwhile
      any = true;
      timer->Fire(MonotonicMs());
    }

    // Ready fds, each still watched by the same watch.
    if (ready > 0) {
      for (size_t i = 1; i < fds.size(); ++i) {
        if (fds[i].revents == 0) continue;
        auto& watch = watched[i - 1];
        auto it = core_->watches.find(watch->fd);
        if (it == core_->watches.end() || it->second != watch) continue;
        short revents = fds[i].revents & (watch->events | POLLERR | POLLHUP | POLLNVAL);
        if (revents == 0) continue;
        any = true;
        std::function<void(short)> handler = watch->onReady;
        handler(revents);
      }
    }
    return any;
  }

  std::shared_ptr<Inbox> inbox_;
  std::shared_ptr<LoopCore> core_;
  std::atomic<bool> quit_{false};
};

thread_local std::unique_ptr<PosixLoop> tThisLoop;

}  // namespace

PollLoop& ThisThreadPollLoop() {
  if (!tThisLoop) tThisLoop = std::make_unique<PosixLoop>();
  return *tThisLoop;
}

MessageLoop& ThisThreadLoop() { return ThisThreadPollLoop(); }

}  // namespace qw
