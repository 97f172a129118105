// TlsEngine: the client side of one TLS connection (TLS 1.2 at least),
// working on memory only: ciphertext received from the peer goes in, the
// ciphertext to send comes out, plaintext both ways. It never touches a
// socket, so the message-driven socket, its time-outs and packets stay as
// they are; the socket code drives it. Each platform has one: OpenSSL with
// its default verify paths on POSIX (SSL_CERT_FILE and SSL_CERT_DIR work as
// for every OpenSSL program), SChannel (SSPI) with the system's trusted
// roots and TLS policy on Windows.
//
// Failures are Status values with What() "TLS"; a certificate that does not
// verify has a Text() that starts with "証明書" and gives the system's own
// reason (not trusted, for another host, expired).
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/status.h"

namespace qw {

struct TlsOptions {
  // The host name sent as SNI and checked against the certificate.
  std::string serverName;
  // False: the chain and the name are not checked (an internal relay with a
  // self-signed certificate); Verified() then says false.
  bool verify = true;
};

class TlsEngine {
 public:
  enum class Step { Done, WantMore, Failed };

  virtual ~TlsEngine() = default;

  // Bytes received from the peer, in order.
  virtual void Feed(std::string_view bytes) = 0;
  // The bytes to send to the peer now (handshake records, encrypted data, a
  // closing alert); empties the engine's output.
  virtual std::string TakeOutput() = 0;

  // Begins or continues the handshake with what has been fed so far. After
  // each call send TakeOutput(). WantMore: more bytes from the peer are
  // needed; Done: the connection is encrypted (and verified as asked);
  // Failed: Error() tells why, and the engine is finished.
  virtual Step Handshake() = 0;

  // After the handshake: encrypts `plain` into the output.
  virtual Status Encrypt(std::string_view plain) = 0;
  // After the handshake: decrypts the records fed so far and appends their
  // plaintext to `plain` (a partial record waits for more). A failure ends
  // the connection.
  virtual Status Decrypt(std::string* plain) = 0;
  // The peer sent its closing alert.
  virtual bool PeerClosed() const = 0;
  // Queues this side's closing alert.
  virtual void Shutdown() = 0;

  virtual const Status& Error() const = 0;
  // True after a handshake whose certificate chain and host name verified.
  virtual bool Verified() const = 0;
  // The negotiated protocol ("TLSv1.2", "TLSv1.3"), for entries and logs.
  virtual std::string Protocol() const = 0;
};

// The platform's engine; null never.
std::unique_ptr<TlsEngine> NewTlsEngine(const TlsOptions& options);

}  // namespace qw
