// System calls that may never return (a hung disk, a dead network mount):
// each runs on a thread of its own and the caller waits for it with a bound.
// A call that does not answer in time is abandoned, not killed; its thread
// keeps only what the call itself captured (shared results, copies of its
// arguments), so it touches no freed memory when it returns late. One call
// per key is outstanding at most: while the last call of a key has not
// returned, a new one is refused instead of piling up another thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/status.h"

namespace qw {

class BoundedCalls {
 public:
  enum class Start { Started, Busy, NoThread };

  BoundedCalls();
  // Waits for nothing: calls still running are left to finish on their own.
  ~BoundedCalls();
  BoundedCalls(const BoundedCalls&) = delete;
  BoundedCalls& operator=(const BoundedCalls&) = delete;

  // Runs `call` on a new thread under `key`. Busy while the last call of
  // `key` has not returned; NoThread when no thread could be made (the call
  // does not run). `call` must not throw.
  Start Begin(const std::string& key, std::function<void()> call);
  // Waits until the calls of `keys` have all returned, `bound` has passed,
  // or (with `cancellable`) Cancel was called. Success when they all
  // returned; otherwise a kCancelled or a kTimedOut failure.
  Status Wait(const std::vector<std::string>& keys, std::chrono::milliseconds bound, bool cancellable);
  // True once the last call of `key` has returned (or none was begun).
  bool Returned(const std::string& key) const;
  // Ends every cancellable wait, now and until Resume.
  void Cancel();
  void Resume();
  bool Cancelled() const;
  // Calls begun and not yet returned.
  size_t Outstanding() const;
  // Waits until no call is outstanding, at most `bound` (a Cancel does not
  // end it). Success when none is; otherwise a kTimedOut failure that says
  // how many are left.
  Status WaitIdle(std::chrono::milliseconds bound) const;

 private:
  struct Shared {
    mutable std::mutex mutex;
    std::condition_variable returned;
    std::map<std::string, bool> running;
    bool cancelled = false;
  };
  std::shared_ptr<Shared> shared_;
};

}  // namespace qw
