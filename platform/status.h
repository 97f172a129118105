// Status: the outcome of an operation that can fail without it being
// exceptional (a system call, the socket, an SMTP conversation, a restart of
// the service). A default Status is success; a failure carries what failed
// (a short name of the step or call), a code (the system's error code, an
// SMTP reply code, or 0) and a text (the system's or the peer's own words).
//
// The type is [[nodiscard]]: a function returning it cannot have its result
// dropped silently. Exceptions stay for the errors the product defines as
// raised (conversion errors, usage errors with their texts).
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace qw {

class [[nodiscard]] Status {
 public:
  Status() = default;
  static Status Failure(std::string what, int64_t code, std::string text) {
    Status status;
    status.failed_ = true;
    status.what_ = std::move(what);
    status.code_ = code;
    status.text_ = std::move(text);
    return status;
  }

  bool Ok() const { return !failed_; }
  explicit operator bool() const { return !failed_; }

  const std::string& What() const { return what_; }
  int64_t Code() const { return code_; }
  const std::string& Text() const { return text_; }

  // "<what>: <text>", or the text alone when nothing names the step; empty
  // for success.
  std::string Describe() const {
    if (!failed_) return "";
    return what_.empty() ? text_ : what_ + ": " + text_;
  }

  // For callers that have looked at a failure and decided it needs no more.
  void Ignore() const {}

 private:
  bool failed_ = false;
  std::string what_;
  int64_t code_ = 0;
  std::string text_;
};

}  // namespace qw
