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
#include <optional>
#include <string>
#include <utility>

namespace qw {

// The few kinds of failure that callers act on differently. Everything else
// is kOther; the code and text still say exactly what happened.
enum class StatusKind {
  kOther,
  kNotFound,      // the file, folder, key, service or host does not exist
  kAccessDenied,  // it exists, but this caller may not use it
  kAlreadyExists, // a create-only step found the name taken
  kTimedOut,      // a bounded wait ran out
  kCancelled,     // the caller (a stop) ended it
  kRejected,      // the peer refused for good: the same request fails again
                  // until the settings change (no retry)
};

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
  static Status Failure(std::string what, int64_t code, std::string text, StatusKind kind) {
    Status status = Failure(std::move(what), code, std::move(text));
    status.kind_ = kind;
    return status;
  }

  bool Ok() const { return !failed_; }
  explicit operator bool() const { return !failed_; }

  const std::string& What() const { return what_; }
  int64_t Code() const { return code_; }
  const std::string& Text() const { return text_; }
  // kOther for success and for failures of no particular kind.
  StatusKind Kind() const { return kind_; }
  bool IsNotFound() const { return failed_ && kind_ == StatusKind::kNotFound; }

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
  StatusKind kind_ = StatusKind::kOther;
};

// A value or the Status of why there is none. For the functions that used to
// return a Status and hand their value back through an out-parameter.
//   Result<std::string> read = ReadText(path);
//   if (!read) return read.status();
//   Use(*read);
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}  // NOLINT: implicit on purpose
  Result(Status failure) : status_(std::move(failure)) {  // NOLINT
    if (status_.Ok()) status_ = Status::Failure("Result", 0, "no value and no failure");
  }

  bool Ok() const { return value_.has_value(); }
  explicit operator bool() const { return value_.has_value(); }
  const Status& status() const { return status_; }

  // Only after Ok(): using the value of a failure is misuse.
  T& value() & { return *value_; }
  const T& value() const& { return *value_; }
  T&& value() && { return std::move(*value_); }
  T& operator*() & { return *value_; }
  const T& operator*() const& { return *value_; }
  T* operator->() { return &*value_; }
  const T* operator->() const { return &*value_; }
  T value_or(T fallback) const& { return value_ ? *value_ : std::move(fallback); }

 private:
  std::optional<T> value_;
  Status status_;
};

}  // namespace qw
