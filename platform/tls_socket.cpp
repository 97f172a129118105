#include "platform/tls_socket.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace qw {

TlsSocket::TlsSocket(std::unique_ptr<ClientSocket> inner) : FInner(std::move(inner)) {
  FInner->OnConnect = [this] {
    if (OnConnect) OnConnect();
  };
  FInner->OnRead = [this] { HandleInnerRead(); };
  FInner->OnWrite = [this] { HandleInnerWrite(); };
  FInner->OnDisconnect = [this] {
    if (OnDisconnect) OnDisconnect();
  };
  FInner->OnError = [this](TErrorEvent event, int& code) {
    if (OnError) OnError(event, code);
  };
}

TlsSocket::~TlsSocket() {
  FInner->OnConnect = nullptr;
  FInner->OnRead = nullptr;
  FInner->OnWrite = nullptr;
  FInner->OnDisconnect = nullptr;
  FInner->OnError = nullptr;
}

Status TlsSocket::Open() {
  if (FInner->Active()) return Status();
  FEngine.reset();
  FOutgoing.clear();
  FPlain.clear();
  FPlainStart = 0;
  FReady = false;
  FFailed = false;
  FInner->SetHost(Host());
  FInner->SetAddress(Address());
  FInner->SetPort(Port());
  return FInner->Open();
}

void TlsSocket::Close() {
  if (FEngine && FReady && !FFailed && FInner->Active()) {
    // The closing alert, best effort: what the socket does not take at once
    // is dropped with the connection.
    FEngine->Shutdown();
    std::string alert = FEngine->TakeOutput();
    if (FOutgoing.empty() && !alert.empty()) {
      FInner->SendBytes(alert.data(), static_cast<int>(alert.size())).status().Ignore();
    }
  }
  FInner->Close();
}

void TlsSocket::StartTls(const TlsOptions& options) {
  FEngine = NewTlsEngine(options);
  FReady = false;
  FFailed = false;
  FPlain.clear();
  FPlainStart = 0;
  TlsEngine::Step step = FEngine->Handshake();
  if (step == TlsEngine::Step::Failed) {
    Failure(FEngine->Error());
    return;
  }
  if (!Flush()) return;
  if (FInner->PendingLength() > 0) HandleInnerRead();
}

Status TlsSocket::Flush() {
  if (FEngine) FOutgoing += FEngine->TakeOutput();
  while (!FOutgoing.empty()) {
    int piece = static_cast<int>(std::min<size_t>(FOutgoing.size(), INT_MAX));
    Result<int> sent = FInner->SendBytes(FOutgoing.data(), piece);
    if (!sent) return sent.status();  // no connection or a failed send (already notified)
    if (*sent == 0) return Status();  // would block: the write notification goes on
    FOutgoing.erase(0, static_cast<size_t>(*sent));
  }
  return Status();
}

void TlsSocket::Failure(const Status& status) {
  FFailed = true;
  FPlain.clear();
  FPlainStart = 0;
  if (OnTlsFailed) {
    auto handler = OnTlsFailed;
    handler(status);
  }
}

void TlsSocket::HandleInnerWrite() {
  if (FEngine && !FFailed && !FOutgoing.empty()) {
    if (!Flush() || !FOutgoing.empty()) return;
  }
  if (OnWrite) OnWrite();
}

void TlsSocket::HandleInnerRead() {
  if (!FEngine) {
    if (OnRead) OnRead();
    return;
  }
  if (FFailed) {  // nothing more is read; drain the socket
    char sink[4096];
    while (FInner->PendingLength() > 0 && FInner->ReceiveBytes(sink, sizeof sink) > 0) {
    }
    return;
  }
  // Bounded rounds, as the plain path: the socket notifies again for the rest.
  constexpr int kRounds = 16;
  std::string piece;
  for (int round = 0; round < kRounds; ++round) {
    int pending = FInner->PendingLength();
    if (pending <= 0) break;
    piece.assign(static_cast<size_t>(std::min(pending, 65536)), '\0');
    int got = FInner->ReceiveBytes(piece.data(), static_cast<int>(piece.size()));
    if (got <= 0) break;
    FEngine->Feed(std::string_view(piece.data(), static_cast<size_t>(got)));
    if (FReady && FPlain.size() - FPlainStart > 1024 * 1024) break;  // the reader catches up first
  }
  if (!FReady) {
    TlsEngine::Step step = FEngine->Handshake();
    if (step == TlsEngine::Step::Failed) {
      Flush().Ignore();  // the alert that tells the peer why, best effort: the handshake failed anyway
      Failure(FEngine->Error());
      return;
    }
    if (!Flush()) return;
    if (step == TlsEngine::Step::WantMore) return;
    FReady = true;
    if (OnTlsReady) {
      auto handler = OnTlsReady;
      handler();
    }
    if (FFailed || !FEngine) return;
  }
  Status decrypted = FEngine->Decrypt(&FPlain);
  if (!decrypted) {
    Failure(decrypted);
    return;
  }
  if (!Flush()) return;
  if (FPlain.size() > FPlainStart && OnRead) OnRead();
}

Result<int> TlsSocket::SendBytes(const void* bytes, int count) {
  if (!FEngine) return FInner->SendBytes(bytes, count);
  if (!FInner->Active()) return NotConnected();
  if (FFailed) return Status::Failure("TLS", 0, "the TLS channel has failed");
  if (!FReady) return 0;  // handshaking: as if the socket would block
  if (!FOutgoing.empty()) {
    Status flushed = Flush();
    if (!flushed) return flushed;
    if (!FOutgoing.empty()) return 0;  // would block; the write notification follows
  }
  if (count <= 0) return 0;
  Status encrypted = FEngine->Encrypt(std::string_view(static_cast<const char*>(bytes), static_cast<size_t>(count)));
  if (!encrypted) {
    Failure(encrypted);
    return encrypted;
  }
  // The plaintext is taken whole; ciphertext the socket does not take now
  // goes out on its write notifications.
  Status flushed = Flush();
  if (!flushed) return flushed;
  return count;
}

int TlsSocket::PendingLength() {
  if (!FEngine) return FInner->PendingLength();
  size_t held = FPlain.size() - FPlainStart;
  return static_cast<int>(std::min<size_t>(held, INT_MAX));
}

int TlsSocket::ReceiveBytes(void* buffer, int count) {
  if (!FEngine) return FInner->ReceiveBytes(buffer, count);
  size_t held = FPlain.size() - FPlainStart;
  size_t take = std::min(held, static_cast<size_t>(std::max(count, 0)));
  std::memcpy(buffer, FPlain.data() + FPlainStart, take);
  FPlainStart += take;
  if (FPlainStart == FPlain.size()) {
    FPlain.clear();
    FPlainStart = 0;
  }
  return static_cast<int>(take);
}

std::string TlsSocket::ErrorText(int code) {
  std::string text = FInner->ErrorDescription(code);
  std::string suffix = " (" + std::to_string(code) + ")";
  if (text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0) {
    text.resize(text.size() - suffix.size());
  }
  return text;
}

}  // namespace qw
