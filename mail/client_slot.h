// The SMTP client of the conversation in progress, held where another
// thread can end it: a stop of the service, the applet's Cancel. The client
// itself stays on the thread that made it; the slot only names it while the
// conversation runs.
#pragma once

#include <functional>
#include <mutex>

#include "mail/smtp_client.h"

namespace qw {

class ClientSlot {
 public:
  // Names `client` for Cancel until the hold ends. A slot cancelled already
  // cancels the client at once, so a conversation begun after a stop ends
  // before it sends anything.
  class Hold {
   public:
    Hold(ClientSlot& slot, TSMTPClient& client) : slot_(slot) {
      std::lock_guard<std::mutex> lock(slot_.mutex_);
      if (slot_.cancelled_) client.RequestCancel();
      slot_.client_ = &client;
    }
    ~Hold() {
      std::lock_guard<std::mutex> lock(slot_.mutex_);
      slot_.client_ = nullptr;
    }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

   private:
    ClientSlot& slot_;
  };

  // Safe from any thread: ends the conversation in progress, and every one
  // begun until Reset.
  void Cancel() {
    std::lock_guard<std::mutex> lock(mutex_);
    cancelled_ = true;
    if (client_) client_->RequestCancel();
    if (listener_) listener_(true);
  }
  void Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    cancelled_ = false;
    if (listener_) listener_(false);
  }
  // Told of each Cancel (true) and Reset (false), under the slot's lock: a
  // part of the attempt outside the client that must end with it (the
  // token fetch of an OAuth 2.0 login). Set before the slot is shared.
  void SetListener(std::function<void(bool cancelled)> listener) { listener_ = std::move(listener); }
  bool Cancelled() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return cancelled_;
  }

 private:
  mutable std::mutex mutex_;
  TSMTPClient* client_ = nullptr;
  bool cancelled_ = false;
  std::function<void(bool)> listener_;
};

}  // namespace qw
