// TlsSocket wraps a ClientSocket and, once StartTls is called (at once after
// the connection for TLS from the first byte, or after the server's
// STARTTLS reply), carries everything through a TlsEngine: sent bytes are
// encrypted, received records decrypted; the owner keeps seeing the same
// notifications and reads plaintext only. Before StartTls it passes
// everything through unchanged.
//
// The handshake is driven by the inner socket's read notifications; its end
// comes back as OnTlsReady or OnTlsFailed (with the engine's Status, What()
// "TLS"). Bounding it in time is the owner's business (its wait and
// time-out run meanwhile). Use on one thread, like every ClientSocket.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/client_socket.h"
#include "platform/status.h"
#include "platform/tls_engine.h"

namespace qw {

class TlsSocket : public ClientSocket {
 public:
  explicit TlsSocket(std::unique_ptr<ClientSocket> inner);
  ~TlsSocket() override;

  // Starts the handshake on the open connection. Bytes already received
  // and not yet read are taken as the first TLS records.
  void StartTls(const TlsOptions& options);
  bool Handshaking() const { return FEngine && !FReady && !FFailed; }
  bool Encrypted() const { return FReady && !FFailed; }
  bool Verified() const { return FReady && FEngine->Verified(); }
  std::string Protocol() const { return FReady ? FEngine->Protocol() : ""; }

  std::function<void()> OnTlsReady;
  std::function<void(const Status& failure)> OnTlsFailed;

  Status Open() override;
  void Close() override;
  bool Active() const override { return FInner->Active(); }
  bool TryNextAddress() override { return FInner->TryNextAddress(); }
  std::string AttemptAddressText() override { return FInner->AttemptAddressText(); }
  int AttemptCount() override { return FInner->AttemptCount(); }
  Result<int> SendBytes(const void* bytes, int count) override;
  int PendingLength() override;
  int ReceiveBytes(void* buffer, int count) override;
  std::string LocalHostName() override { return FInner->LocalHostName(); }
  std::string LocalAddressText() override { return FInner->LocalAddressText(); }

 protected:
  std::string ErrorText(int code) override;

 private:
  void HandleInnerRead();
  void HandleInnerWrite();
  // Hands the engine's output to the inner socket; what it does not take
  // now waits for its write notification. A failure when the send failed
  // or there is no connection.
  Status Flush();
  void Failure(const Status& status);

  std::unique_ptr<ClientSocket> FInner;
  std::unique_ptr<TlsEngine> FEngine;
  std::string FOutgoing;  // ciphertext the inner socket has not taken yet
  std::string FPlain;     // decrypted and not yet read
  size_t FPlainStart = 0;
  bool FReady = false;
  bool FFailed = false;
};

}  // namespace qw
