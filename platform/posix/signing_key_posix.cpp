// RS256 with OpenSSL. The PEM is split into blocks by the portable reader
// (so that both hosts accept and refuse the same texts), and each block is
// decoded with OpenSSL's DER functions.
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/jws.h"
#include "platform/signing_key.h"

namespace qw {
namespace {

// OpenSSL's queued errors as one text (emptying the queue).
std::string OpenSslErrors() {
  std::string text;
  unsigned long code = 0;
  while ((code = ERR_get_error()) != 0) {
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof buffer);
    if (!text.empty()) text += "; ";
    text += buffer;
  }
  return text.empty() ? "OpenSSL gave no reason" : text;
}

struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
struct X509Free {
  void operator()(X509* cert) const { X509_free(cert); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;
struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

class OpenSslSigningKey : public SigningKey {
 public:
  OpenSslSigningKey(PkeyPtr key, std::string certificateDer, std::string name)
      : key_(std::move(key)), certificateDer_(std::move(certificateDer)), name_(std::move(name)) {}

  Result<std::string> SignSha256(const std::string& data) override {
    ERR_clear_error();
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key_.get()) != 1) {
      return Status::Failure("EVP_DigestSignInit", 0, name_ + ": " + OpenSslErrors());
    }
    size_t length = 0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
    if (EVP_DigestSign(ctx.get(), nullptr, &length, bytes, data.size()) != 1) {
      return Status::Failure("EVP_DigestSign", 0, name_ + ": " + OpenSslErrors());
    }
    std::string signature(length, '\0');
    if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(signature.data()), &length, bytes, data.size()) != 1) {
      return Status::Failure("EVP_DigestSign", 0, name_ + ": " + OpenSslErrors());
    }
    signature.resize(length);
    return signature;
  }

  const std::string& CertificateDer() const override { return certificateDer_; }
  const std::string& Name() const override { return name_; }

 private:
  PkeyPtr key_;
  std::string certificateDer_;
  std::string name_;
};

bool IsPrivateKeyLabel(const std::string& label) { return label.find("PRIVATE KEY") != std::string::npos; }

// The RSA key of a PEM private key block.
Result<PkeyPtr> DecodeKeyBlock(const PemBlock& block, const std::string& name) {
  if (block.label == "ENCRYPTED PRIVATE KEY") {
    return Status::Failure("PEM", 0, name + ": 秘密鍵が暗号化されています (パスフレーズなしの鍵が必要です)");
  }
  std::string rsaDer;
  if (block.label == "PRIVATE KEY") {
    Result<std::string> inner = RsaKeyFromPkcs8(block.der);
    if (!inner) return Status::Failure(inner.status().What(), 0, name + ": " + inner.status().Text());
    rsaDer = std::move(*inner);
  } else if (block.label == "RSA PRIVATE KEY") {
    rsaDer = block.der;
  } else {
    return Status::Failure("PEM", 0, name + ": 秘密鍵が RSA ではありません (" + block.label + ")");
  }
  ERR_clear_error();
  const auto* p = reinterpret_cast<const unsigned char*>(rsaDer.data());
  PkeyPtr key(d2i_PrivateKey(EVP_PKEY_RSA, nullptr, &p, static_cast<long>(rsaDer.size())));
  if (!key) return Status::Failure("d2i_PrivateKey", 0, name + ": RSA の秘密鍵を読めません: " + OpenSslErrors());
  if (EVP_PKEY_get_bits(key.get()) < 2048) {
    return Status::Failure("PEM", 0, name + ": RSA の鍵が短すぎます (" + std::to_string(EVP_PKEY_get_bits(key.get())) +
                                         " ビット、2048 ビット以上が必要です)");
  }
  return key;
}

Result<std::string> ReadWholeFile(const std::string& path) {
  errno = 0;
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!file) {
    const int code = errno;
    return Status::Failure("fopen", code, path + ": " + std::strerror(code),
                           code == ENOENT ? StatusKind::kNotFound
                           : code == EACCES ? StatusKind::kAccessDenied
                                            : StatusKind::kOther);
  }
  std::string text;
  char buffer[4096];
  size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) {
    text.append(buffer, n);
    if (text.size() > (1u << 20)) return Status::Failure("fread", 0, path + ": 1 MB を超えるファイルは証明書と鍵のファイルではありません");
  }
  if (std::ferror(file.get())) {
    const int code = errno;
    return Status::Failure("fread", code, path + ": " + std::strerror(code));
  }
  return text;
}

}  // namespace

Result<std::unique_ptr<SigningKey>> OpenCertificateKey(const std::string& certificate) {
  Result<std::string> text = ReadWholeFile(certificate);
  if (!text) return text.status();
  Result<std::vector<PemBlock>> blocks = ParsePem(*text);
  if (!blocks) return Status::Failure(blocks.status().What(), 0, certificate + ": " + blocks.status().Text());
  const PemBlock* certBlock = nullptr;
  const PemBlock* keyBlock = nullptr;
  for (const PemBlock& block : *blocks) {
    if (block.label == "CERTIFICATE" && !certBlock) certBlock = &block;
    if (IsPrivateKeyLabel(block.label) && !keyBlock) keyBlock = &block;
  }
  if (!certBlock) return Status::Failure("PEM", 0, certificate + ": 証明書 (BEGIN CERTIFICATE) がありません", StatusKind::kNotFound);
  if (!keyBlock) return Status::Failure("PEM", 0, certificate + ": 証明書の秘密鍵 (BEGIN PRIVATE KEY) がありません", StatusKind::kNotFound);

  ERR_clear_error();
  const auto* p = reinterpret_cast<const unsigned char*>(certBlock->der.data());
  X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(certBlock->der.size())));
  if (!cert) return Status::Failure("d2i_X509", 0, certificate + ": 証明書を読めません: " + OpenSslErrors());
  Result<PkeyPtr> key = DecodeKeyBlock(*keyBlock, certificate);
  if (!key) return key.status();
  ERR_clear_error();
  if (X509_check_private_key(cert.get(), key->get()) != 1) {
    ERR_clear_error();
    return Status::Failure("X509_check_private_key", 0, certificate + ": 秘密鍵が証明書のものではありません");
  }
  return std::unique_ptr<SigningKey>(new OpenSslSigningKey(std::move(*key), certBlock->der, certificate));
}

Result<std::unique_ptr<SigningKey>> LoadPemPrivateKey(const std::string& pem, const std::string& name) {
  Result<std::vector<PemBlock>> blocks = ParsePem(pem);
  if (!blocks) return Status::Failure(blocks.status().What(), 0, name + ": " + blocks.status().Text());
  for (const PemBlock& block : *blocks) {
    if (!IsPrivateKeyLabel(block.label)) continue;
    Result<PkeyPtr> key = DecodeKeyBlock(block, name);
    if (!key) return key.status();
    return std::unique_ptr<SigningKey>(new OpenSslSigningKey(std::move(*key), "", name));
  }
  return Status::Failure("PEM", 0, name + ": PEM の秘密鍵 (BEGIN PRIVATE KEY) がありません", StatusKind::kNotFound);
}

std::string Sha1Digest(const std::string& data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(data.data(), data.size(), out, &length, EVP_sha1(), nullptr);
  return std::string(reinterpret_cast<const char*>(out), length);
}

std::string Sha256Digest(const std::string& data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(data.data(), data.size(), out, &length, EVP_sha256(), nullptr);
  return std::string(reinterpret_cast<const char*>(out), length);
}

}  // namespace qw
