// The OpenSSL engine: one SSL object between two memory BIOs. Records from
// the peer go into the read BIO; whatever OpenSSL writes to the write BIO is
// handed out by TakeOutput. The socket code moves the bytes.
#include "platform/tls_engine.h"

#include "platform/client_socket.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <climits>
#include <mutex>

namespace qw {

namespace {

std::string OpenSslErrors() {
  std::string text;
  unsigned long code;
  while ((code = ERR_get_error()) != 0) {
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof buffer);
    if (!text.empty()) text += "; ";
    text += buffer;
  }
  return text;
}

class OpenSslEngine : public TlsEngine {
 public:
  explicit OpenSslEngine(const TlsOptions& options) : FOptions(options) {
    ERR_clear_error();
    FContext = SSL_CTX_new(TLS_client_method());
    if (!FContext) {
      Fail(0, "TLS context: " + OpenSslErrors());
      return;
    }
    SSL_CTX_set_min_proto_version(FContext, TLS1_2_VERSION);
    if (FOptions.verify && SSL_CTX_set_default_verify_paths(FContext) != 1) {
      Fail(0, "TLS trusted roots: " + OpenSslErrors());
      return;
    }
    FSsl = SSL_new(FContext);
    if (!FSsl) {
      Fail(0, "TLS session: " + OpenSslErrors());
      return;
    }
    FIn = BIO_new(BIO_s_mem());
    FOut = BIO_new(BIO_s_mem());
    if (!FIn || !FOut) {
      if (FIn) BIO_free(FIn);
      if (FOut) BIO_free(FOut);
      FIn = FOut = nullptr;
      Fail(0, "TLS buffers: " + OpenSslErrors());
      return;
    }
    BIO_set_mem_eof_return(FIn, -1);  // an empty input means "more to come"
    SSL_set_bio(FSsl, FIn, FOut);     // the session owns both now
    SSL_set_connect_state(FSsl);
    // SNI only for a name: RFC 6066 allows no address literal there (IPv4
    // nor IPv6). An address is checked against the certificate's IP names.
    const std::string name = HostWithoutBrackets(FOptions.serverName);
    bool numeric = ParseHostLiteral(name);
    if (!name.empty() && !numeric) SSL_set_tlsext_host_name(FSsl, name.c_str());
    if (FOptions.verify) {
      SSL_set_verify(FSsl, SSL_VERIFY_PEER, nullptr);
      X509_VERIFY_PARAM* param = SSL_get0_param(FSsl);
      // A wildcard stands for a whole left-most label ("*.example.jp"),
      // never for part of one ("w*.example.jp"), as RFC 6125 advises.
      X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
      int set = numeric ? X509_VERIFY_PARAM_set1_ip_asc(param, name.c_str())
                        : X509_VERIFY_PARAM_set1_host(param, name.c_str(), name.size());
      if (set != 1) {
        Fail(0, "TLS host name: " + OpenSslErrors());
        return;
      }
    } else {
      SSL_set_verify(FSsl, SSL_VERIFY_NONE, nullptr);
    }
  }

  ~OpenSslEngine() override {
    if (FSsl) SSL_free(FSsl);  // frees the BIOs
    if (FContext) SSL_CTX_free(FContext);
  }

  void Feed(std::string_view bytes) override {
    if (!FIn || bytes.empty()) return;
    while (!bytes.empty()) {
      int piece = static_cast<int>(std::min<size_t>(bytes.size(), INT_MAX));
      int written = BIO_write(FIn, bytes.data(), piece);
      if (written <= 0) break;
      bytes.remove_prefix(static_cast<size_t>(written));
    }
  }

  std::string TakeOutput() override {
    std::string out;
    if (!FOut) return out;
    char* data = nullptr;
    long size = BIO_get_mem_data(FOut, &data);
    if (size > 0) out.assign(data, static_cast<size_t>(size));
    (void)BIO_reset(FOut);
    return out;
  }

  Step Handshake() override {
    if (FFailed) return Step::Failed;
    if (FDone) return Step::Done;
    ERR_clear_error();
    int result = SSL_do_handshake(FSsl);
    if (result == 1) {
      FDone = true;
      FVerified = FOptions.verify && SSL_get_verify_result(FSsl) == X509_V_OK;
      return Step::Done;
    }
    int error = SSL_get_error(FSsl, result);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) return Step::WantMore;
    long verify = SSL_get_verify_result(FSsl);
    if (FOptions.verify && verify != X509_V_OK) {
      std::string reason = X509_verify_cert_error_string(verify);
      Fail(verify, "証明書を検証できません: " + reason + " (" + std::to_string(verify) + ")");
    } else {
      std::string detail = OpenSslErrors();
      if (detail.empty()) detail = error == SSL_ERROR_SYSCALL || error == SSL_ERROR_ZERO_RETURN
                                       ? "the connection ended during the handshake"
                                       : "error " + std::to_string(error);
      Fail(error, "handshake failed: " + detail);
    }
    return Step::Failed;
  }

  Status Encrypt(std::string_view plain) override {
    if (FFailed) return FError;
    if (!FDone) return Status::Failure("TLS", 0, "no handshake yet");
    while (!plain.empty()) {
      ERR_clear_error();
      int piece = static_cast<int>(std::min<size_t>(plain.size(), 16384));
      int written = SSL_write(FSsl, plain.data(), piece);
      if (written <= 0) {
        Fail(SSL_get_error(FSsl, written), "encryption failed: " + OpenSslErrors());
        return FError;
      }
      plain.remove_prefix(static_cast<size_t>(written));
    }
    return Status();
  }

  Status Decrypt(std::string* plain) override {
    if (FFailed) return FError;
    if (!FDone) return Status::Failure("TLS", 0, "no handshake yet");
    char buffer[16384];
    for (;;) {
      ERR_clear_error();
      int got = SSL_read(FSsl, buffer, sizeof buffer);
      if (got > 0) {
        plain->append(buffer, static_cast<size_t>(got));
        continue;
      }
      int error = SSL_get_error(FSsl, got);
      if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) return Status();
      if (error == SSL_ERROR_ZERO_RETURN) {
        FPeerClosed = true;
        return Status();
      }
      std::string detail = OpenSslErrors();
      Fail(error, "decryption failed: " + (detail.empty() ? "error " + std::to_string(error) : detail));
      return FError;
    }
  }

  bool PeerClosed() const override { return FPeerClosed; }

  void Shutdown() override {
    if (FSsl && FDone && !FFailed) {
      ERR_clear_error();
      SSL_shutdown(FSsl);
    }
  }

  const Status& Error() const override { return FError; }
  bool Verified() const override { return FVerified; }
  std::string Protocol() const override { return FSsl && FDone ? SSL_get_version(FSsl) : ""; }

 private:
  void Fail(int64_t code, std::string text) {
    FFailed = true;
    FError = Status::Failure("TLS", code, std::move(text));
  }

  TlsOptions FOptions;
  SSL_CTX* FContext = nullptr;
  SSL* FSsl = nullptr;
  BIO* FIn = nullptr;
  BIO* FOut = nullptr;
  bool FDone = false;
  bool FFailed = false;
  bool FVerified = false;
  bool FPeerClosed = false;
  Status FError;
};

}  // namespace

std::unique_ptr<TlsEngine> NewTlsEngine(const TlsOptions& options) {
  return std::make_unique<OpenSslEngine>(options);
}

}  // namespace qw
