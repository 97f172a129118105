#include "tests/fakes/fake_client_socket.h"

#include <algorithm>
#include <cstring>

namespace qw {

Status FakeClientSocket::Open() {
  if (openFailure) return *openFailure;
  if (opened_) return Status();
  opened_ = true;
  ++opens_;
  attempt_ = 0;
  attempts_ = 1;
  return Status();
}

bool FakeClientSocket::TryNextAddress() {
  if (!opened_ || active_ || attempt_ + 1 >= addresses.size()) return false;
  ++attempt_;
  ++attempts_;
  return true;
}

void FakeClientSocket::FailAttempt(int code) {
  loop_.Post([this, code] {
    if (!opened_ || active_) return;
    if (TryNextAddress()) return;
    opened_ = false;
    ReportAsyncError(eeConnect, code);
  });
}

void FakeClientSocket::Close() {
  ++closes_;
  if (active_ && OnDisconnect) OnDisconnect();
  active_ = false;
  opened_ = false;
  pending_.clear();
}

Result<int> FakeClientSocket::SendBytes(const void* bytes, int count) {
  if (!active_) return NotConnected();
  if (failSends) {
    Status failure = ApiFailure(10054, "send");
    ReportCallError(eeSend, 10054);
    Close();
    return failure;
  }
  if (wouldBlockCalls > 0) {
    ++refused_;
    if (--wouldBlockCalls == 0) {
      loop_.Post([this] {  // it takes data again
        if (active_ && OnWrite) OnWrite();
      });
    }
    return 0;
  }
  int n = acceptLimit > 0 ? std::min(acceptLimit, count) : count;
  std::string piece(static_cast<const char*>(bytes), static_cast<size_t>(n));
  sent_ += piece;
  calls_.push_back(piece);
  if (onSent) onSent(piece);
  return n;
}

int FakeClientSocket::ReceiveBytes(void* buffer, int count) {
  int n = std::min(count, static_cast<int>(pending_.size()));
  std::memcpy(buffer, pending_.data(), static_cast<size_t>(n));
  pending_.erase(0, static_cast<size_t>(n));
  return n;
}

void FakeClientSocket::AcceptConnection() {
  loop_.Post([this] {
    if (!opened_) return;
    active_ = true;
    if (OnConnect) OnConnect();
  });
}

void FakeClientSocket::Deliver(const std::string& bytes) {
  loop_.Post([this, bytes] {
    if (!active_) return;
    pending_ += bytes;
    if (OnRead) OnRead();
  });
}

void FakeClientSocket::NotifyReadWithoutData() {
  loop_.Post([this] {
    if (OnRead) OnRead();
  });
}

void FakeClientSocket::CloseFromPeer() {
  loop_.Post([this] {
    if (!active_) return;
    if (OnDisconnect) OnDisconnect();
    active_ = false;
    opened_ = false;
  });
}

void FakeClientSocket::ReportError(TErrorEvent event, int code) {
  loop_.Post([this, event, code] { ReportAsyncError(event, code); });
}

}  // namespace qw
