// Runs an action when a scope ends, however it ends (return or raise).
#pragma once

#include <utility>

namespace qw {

template <typename Action>
class OnScopeExit {
 public:
  explicit OnScopeExit(Action action) : action_(std::move(action)) {}
  ~OnScopeExit() { action_(); }
  OnScopeExit(const OnScopeExit&) = delete;
  OnScopeExit& operator=(const OnScopeExit&) = delete;

 private:
  Action action_;
};

}  // namespace qw
