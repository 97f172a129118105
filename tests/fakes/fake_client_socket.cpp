#include "tests/fakes/fake_client_socket.h"

#include <algorithm>
#include <cstring>

namespace qw {

void FakeClientSocket::Open() {
  if (opened_) return;
  opened_ = true;
  ++opens_;
  attempt_ = 0;
  attempts_ = 1;
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

int FakeClientSocket::SendBytes(const void* bytes, int count) {
  if (!active_) return 0;
  if (failSends) {
    int code = ReportCallError(eeSend, 10054);
    Close();
    if (code != 0) ThrowApiError(code, "send");
    return -1;
  }
  if (wouldBlockCalls > 0) {
    ++refused_;
    if (--wouldBlockCalls == 0) {
      loop_.Post([this] {  // it takes data again
        if (active_ && OnWrite) OnWrite();
      });
    }
    return -1;
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
