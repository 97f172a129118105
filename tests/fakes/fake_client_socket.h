// A client socket without a network: what is sent is recorded, what the
// "server" says is delivered by the test, and every notification arrives as
// a task posted to the given loop (so it runs while the code under test
// waits), like the messages of a real socket.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/client_socket.h"
#include "platform/message_loop.h"

namespace qw {

class FakeClientSocket : public ClientSocket {
 public:
  explicit FakeClientSocket(MessageLoop& loop) : loop_(loop) {}

  Status Open() override;
  void Close() override;
  bool Active() const override { return active_; }
  bool TryNextAddress() override;
  std::string AttemptAddressText() override { return attempts_ > 0 ? addresses[attempt_] : ""; }
  int AttemptCount() override { return attempts_; }
  Result<int> SendBytes(const void* bytes, int count) override;
  int PendingLength() override { return static_cast<int>(pending_.size()); }
  int ReceiveBytes(void* buffer, int count) override;
  std::string LocalHostName() override { return opened_ ? "testhost" : ""; }
  std::string LocalAddressText() override { return opened_ ? "10.1.2.3" : ""; }

  // The server's side. Each posts its notification to the loop.
  void AcceptConnection();                 // connect notification
  void Deliver(const std::string& bytes);  // data arrives, read notification
  void NotifyReadWithoutData();            // a read notification, nothing pending
  void CloseFromPeer();                    // close notification
  void ReportError(TErrorEvent event, int code);
  // The attempt in progress fails with `code` (10061: refused): the next
  // address is dialled, or, with none left, the connect error is notified.
  void FailAttempt(int code);

  // The addresses the target stands for, dialled in this order from Open on
  // (at least one).
  std::vector<std::string> addresses{"10.9.8.7"};

  // Behaviour of SendBytes: refuse (would block) this many calls first; then
  // accept at most `acceptLimit` bytes per call (0: everything); with
  // `failSends` set, fail with eeSend (error 10054) and close.
  int wouldBlockCalls = 0;
  int acceptLimit = 0;
  bool failSends = false;
  // When set, Open fails with it (the socket cannot be made).
  std::optional<Status> openFailure;
  // Called with the bytes of each accepted SendBytes, after recording them.
  std::function<void(const std::string&)> onSent;

  const std::string& Sent() const { return sent_; }
  const std::vector<std::string>& SendCalls() const { return calls_; }
  int OpenCount() const { return opens_; }
  int CloseCount() const { return closes_; }
  int RefusedCalls() const { return refused_; }
  // Index in `addresses` of the attempt in progress or last made.
  size_t AttemptIndex() const { return attempt_; }

 protected:
  std::string ErrorText(int code) override { return "fake error " + std::to_string(code); }

 private:
  MessageLoop& loop_;
  bool opened_ = false;
  bool active_ = false;
  std::string pending_;
  std::string sent_;
  std::vector<std::string> calls_;
  int opens_ = 0, closes_ = 0, refused_ = 0;
  size_t attempt_ = 0;
  int attempts_ = 0;
};

}  // namespace qw
