// The POSIX TLS engine's host name check against certificates made here: a
// test CA trusted through SSL_CERT_FILE, a server certificate per case, and
// an OpenSSL server in memory on the other side of the engine.
#ifndef _WIN32

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "platform/tls_engine.h"

namespace qw {
namespace {

struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertFree {
  void operator()(X509* cert) const { X509_free(cert); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Cert = std::unique_ptr<X509, CertFree>;

void AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  ASSERT_NE(extension, nullptr) << value;
  X509_add_ext(cert, extension, -1);
  X509_EXTENSION_free(extension);
}

// A certificate for `subject` signed by `issuerKey` (itself when no issuer is
// given), valid from an hour ago for a day.
Cert MakeCert(const char* subject, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerKey, bool ca,
              const std::string& altNames) {
  Cert cert(X509_new());
  X509_set_version(cert.get(), 2);
  static long serial = 1;
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial++);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(subject), -1, -1, 0);
  X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name);
  X509_set_pubkey(cert.get(), key);
  X509* signer = issuer ? issuer : cert.get();
  AddExtension(cert.get(), signer, NID_basic_constraints, ca ? "critical,CA:TRUE" : "CA:FALSE");
  if (ca) AddExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
  if (!ca) AddExtension(cert.get(), signer, NID_ext_key_usage, "serverAuth");
  if (!altNames.empty()) AddExtension(cert.get(), signer, NID_subject_alt_name, altNames.c_str());
  X509_sign(cert.get(), issuerKey, EVP_sha256());
  return cert;
}

class TlsHostNameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    caKey_.reset(EVP_EC_gen("P-256"));
    serverKey_.reset(EVP_EC_gen("P-256"));
    ASSERT_TRUE(caKey_ && serverKey_);
    ca_ = MakeCert("Host Name Test CA", caKey_.get(), nullptr, caKey_.get(), true, "");
    char path[] = "/tmp/qw-tls-ca-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    caFile_ = path;
    FILE* file = fdopen(fd, "w");
    ASSERT_NE(file, nullptr);
    PEM_write_X509(file, ca_.get());
    fclose(file);
    const char* old = getenv("SSL_CERT_FILE");
    hadOld_ = old != nullptr;
    if (old) old_ = old;
    setenv("SSL_CERT_FILE", caFile_.c_str(), 1);
  }

  void TearDown() override {
    if (hadOld_) {
      setenv("SSL_CERT_FILE", old_.c_str(), 1);
    } else {
      unsetenv("SSL_CERT_FILE");
    }
    if (!caFile_.empty()) unlink(caFile_.c_str());
  }

  // Shakes hands with a server presenting a certificate with `altNames`,
  // checking `serverName`; the engine's last step.
  TlsEngine::Step Handshake(const std::string& altNames, const std::string& serverName,
                            std::string* error) {
    Cert leaf = MakeCert("server", serverKey_.get(), ca_.get(), caKey_.get(), false, altNames);
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate(context, leaf.get());
    SSL_CTX_use_PrivateKey(context, serverKey_.get());
    SSL* server = SSL_new(context);
    BIO* in = BIO_new(BIO_s_mem());
    BIO* out = BIO_new(BIO_s_mem());
    BIO_set_mem_eof_return(in, -1);
    SSL_set_bio(server, in, out);
    SSL_set_accept_state(server);

    auto engine = NewTlsEngine(TlsOptions{serverName, true});
    TlsEngine::Step step = engine->Handshake();
    for (int round = 0; round < 20 && step == TlsEngine::Step::WantMore; ++round) {
      const std::string toServer = engine->TakeOutput();
      BIO_write(in, toServer.data(), static_cast<int>(toServer.size()));
      SSL_do_handshake(server);
      char* data = nullptr;
      const long size = BIO_get_mem_data(out, &data);
      engine->Feed(std::string_view(data, static_cast<size_t>(size)));
      (void)BIO_reset(out);
      step = engine->Handshake();
    }
    *error = engine->Error().Describe();
    if (step == TlsEngine::Step::Done) {
      EXPECT_TRUE(engine->Verified());
    }
    SSL_free(server);
    SSL_CTX_free(context);
    return step;
  }

  Key caKey_, serverKey_;
  Cert ca_;
  std::string caFile_;
  std::string old_;
  bool hadOld_ = false;
};

TEST_F(TlsHostNameTest, WildcardsStandForWholeLabelsAndAddressesForThemselves) {
  struct Case {
    const char* altNames;
    const char* serverName;
    bool accepted;
  };
  const Case cases[] = {
      {"DNS:w*.example.test", "www.example.test", false},
      {"DNS:*w.example.test", "www.example.test", false},
      {"DNS:ww*w.example.test", "www.example.test", false},
      {"DNS:*.example.test", "www.example.test", true},
      {"DNS:*.example.test", "a.www.example.test", false},
      {"DNS:*.example.test", "example.test", false},
      {"DNS:www.example.test", "WWW.Example.Test", true},
      {"DNS:other.example.test", "www.example.test", false},
      {"DNS:w*.example.test,DNS:www.example.test", "www.example.test", true},
      // A server given as an address is checked against the address entries
      // alone, IPv6 as IPv4.
      {"IP:::1", "::1", true},
      {"IP:2001:db8::25", "2001:db8:0:0:0:0:0:25", true},
      {"IP:::2", "::1", false},
      {"DNS:localhost", "::1", false},
      {"DNS:::1", "::1", false},
      {"IP:127.0.0.1", "127.0.0.1", true},
      {"IP:127.0.0.2", "127.0.0.1", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.altNames) + " for " + c.serverName);
    std::string error;
    const TlsEngine::Step step = Handshake(c.altNames, c.serverName, &error);
    if (c.accepted) {
      EXPECT_EQ(step, TlsEngine::Step::Done) << error;
    } else {
      EXPECT_EQ(step, TlsEngine::Step::Failed);
      EXPECT_EQ(error.rfind("TLS: 証明書", 0), 0u) << error;
    }
  }
}

}  // namespace
}  // namespace qw

#endif  // _WIN32
