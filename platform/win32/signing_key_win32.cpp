// RS256 on Windows. A certificate of LocalMachine\My is found by its SHA-1
// thumbprint and its private key opened as the certificate's key provider
// information says: a CNG key (NCryptSignHash) or a CryptoAPI container
// (CryptSignHash). A PEM key given as text is decoded here (the PKCS#8
// envelope by the portable reader, the RSA key by CryptDecodeObjectEx) and
// imported into an ephemeral CryptoAPI context.
//
// CryptoAPI containers are opened through the RSA/AES provider, the legacy
// provider that computes SHA-256: a key imported through the older
// "Enhanced" provider (what a PFX import gives) lies in the same container.
// When CryptAcquireCertificatePrivateKey cannot open the key (Wine's ignores
// the provider information's CRYPT_MACHINE_KEYSET), the container is opened
// from that information directly.
#include <windows.h>
#include <wincrypt.h>
#include <ncrypt.h>
#include <bcrypt.h>

#include <algorithm>
#include <memory>

#include "platform/jws.h"
#include "platform/signing_key.h"
#include "platform/system_error.h"

namespace qw {
namespace {

constexpr DWORD kMinimumBits = 2048;

Status Failed(const char* what, DWORD code, const std::string& name, const std::string& why) {
  std::string text = name + ": " + why;
  if (code != 0) text += ": " + SystemErrorText(code);
  return Status::Failure(what, static_cast<int64_t>(code), text);
}

class CapiSigningKey : public SigningKey {
 public:
  CapiSigningKey(std::string name, std::string certificateDer)
      : name_(std::move(name)), certificateDer_(std::move(certificateDer)) {}
  ~CapiSigningKey() override {
    if (key_) CryptDestroyKey(key_);
    if (prov_ && ownsProv_) CryptReleaseContext(prov_, 0);
    if (ncryptKey_ && ownsNcryptKey_) NCryptFreeObject(ncryptKey_);
  }

  void UseCapi(HCRYPTPROV prov, DWORD keySpec, bool owns) {
    prov_ = prov;
    keySpec_ = keySpec;
    ownsProv_ = owns;
  }
  void UseImportedKey(HCRYPTKEY key) { key_ = key; }
  void UseNcrypt(NCRYPT_KEY_HANDLE key, bool owns) {
    ncryptKey_ = key;
    ownsNcryptKey_ = owns;
  }

  Result<std::string> SignSha256(const std::string& data) override {
    if (ncryptKey_) return SignNcrypt(data);
    HCRYPTHASH hash = 0;
    if (!CryptCreateHash(prov_, CALG_SHA_256, 0, 0, &hash)) {
      return Failed("CryptCreateHash", GetLastError(), name_, "SHA-256 を使えません");
    }
    std::string signature;
    DWORD length = 0;
    DWORD error = 0;
    const char* what = "CryptHashData";
    if (!CryptHashData(hash, reinterpret_cast<const BYTE*>(data.data()), static_cast<DWORD>(data.size()), 0)) {
      error = GetLastError();
    } else if (what = "CryptSignHash", !CryptSignHashW(hash, keySpec_, nullptr, 0, nullptr, &length)) {
      error = GetLastError();
    } else {
      signature.resize(length);
      if (!CryptSignHashW(hash, keySpec_, nullptr, 0, reinterpret_cast<BYTE*>(signature.data()), &length)) {
        error = GetLastError();
      }
    }
    CryptDestroyHash(hash);
    if (error != 0) return Failed(what, error, name_, "署名できません");
    // CryptoAPI gives the signature little-endian.
    signature.resize(length);
    std::reverse(signature.begin(), signature.end());
    return signature;
  }

  const std::string& CertificateDer() const override { return certificateDer_; }
  const std::string& Name() const override { return name_; }

  // The public half of the opened key, for comparing with the certificate's;
  // empty when the provider cannot export it.
  std::string PublicKeyInfo() const {
    const HCRYPTPROV_OR_NCRYPT_KEY_HANDLE handle = ncryptKey_ ? ncryptKey_ : prov_;
    const DWORD keySpec = ncryptKey_ ? CERT_NCRYPT_KEY_SPEC : keySpec_;
    DWORD size = 0;
    if (!CryptExportPublicKeyInfo(handle, keySpec, X509_ASN_ENCODING, nullptr, &size) || size == 0) return "";
    std::string buffer(size, '\0');
    if (!CryptExportPublicKeyInfo(handle, keySpec, X509_ASN_ENCODING,
                                  reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(buffer.data()), &size)) {
      return "";
    }
    return buffer;
  }

 private:
  Result<std::string> SignNcrypt(const std::string& data) {
    const std::string digest = Sha256Digest(data);
    if (digest.size() != 32) return Failed("SHA-256", 0, name_, "SHA-256 を計算できません");
    BCRYPT_PKCS1_PADDING_INFO padding{BCRYPT_SHA256_ALGORITHM};
    auto* digestBytes = reinterpret_cast<PBYTE>(const_cast<char*>(digest.data()));
    DWORD length = 0;
    SECURITY_STATUS status = NCryptSignHash(ncryptKey_, &padding, digestBytes, 32, nullptr, 0, &length,
                                            BCRYPT_PAD_PKCS1 | NCRYPT_SILENT_FLAG);
    std::string signature;
    if (status == ERROR_SUCCESS) {
      signature.resize(length);
      status = NCryptSignHash(ncryptKey_, &padding, digestBytes, 32, reinterpret_cast<PBYTE>(signature.data()),
                              length, &length, BCRYPT_PAD_PKCS1 | NCRYPT_SILENT_FLAG);
    }
    if (status != ERROR_SUCCESS) return Failed("NCryptSignHash", static_cast<DWORD>(status), name_, "署名できません");
    signature.resize(length);
    return signature;
  }

  std::string name_;
  std::string certificateDer_;
  HCRYPTPROV prov_ = 0;
  DWORD keySpec_ = AT_KEYEXCHANGE;
  bool ownsProv_ = false;
  HCRYPTKEY key_ = 0;
  NCRYPT_KEY_HANDLE ncryptKey_ = 0;
  bool ownsNcryptKey_ = false;
};

// 20 bytes from 40 hexadecimal digits; spaces, tabs, colons and hyphens
// between them are allowed.
bool ParseThumbprint(const std::string& text, BYTE* out) {
  size_t digits = 0;
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == ':' || c == '-') continue;
    int v = -1;
    if (c >= '0' && c <= '9') v = c - '0';
    if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    if (v < 0 || digits >= 40) return false;
    if (digits % 2 == 0) out[digits / 2] = static_cast<BYTE>(v << 4);
    else out[digits / 2] |= static_cast<BYTE>(v);
    ++digits;
  }
  return digits == 40;
}

struct StoreCloser {
  void operator()(void* store) const { CertCloseStore(static_cast<HCERTSTORE>(store), 0); }
};
struct CertFree {
  void operator()(const CERT_CONTEXT* cert) const { CertFreeCertificateContext(cert); }
};

// The certificate's key provider information, or empty when it has none.
std::string KeyProvInfo(PCCERT_CONTEXT cert) {
  DWORD size = 0;
  if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size) || size == 0) return "";
  std::string buffer(size, '\0');
  if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &size)) return "";
  return buffer;
}

bool CanHashSha256(HCRYPTPROV prov) {
  HCRYPTHASH hash = 0;
  if (!CryptCreateHash(prov, CALG_SHA_256, 0, 0, &hash)) return false;
  CryptDestroyHash(hash);
  return true;
}

// Opens the key the provider information names, without going through
// CryptAcquireCertificatePrivateKey.
Status OpenFromProvInfo(const CRYPT_KEY_PROV_INFO& info, const std::string& name, CapiSigningKey* key) {
  if (info.dwProvType == 0) {
    NCRYPT_PROV_HANDLE provider = 0;
    SECURITY_STATUS status = NCryptOpenStorageProvider(&provider, info.pwszProvName, 0);
    if (status != ERROR_SUCCESS) {
      return Failed("NCryptOpenStorageProvider", static_cast<DWORD>(status), name, "秘密鍵のプロバイダーを開けません");
    }
    NCRYPT_KEY_HANDLE handle = 0;
    status = NCryptOpenKey(provider, &handle, info.pwszContainerName, info.dwKeySpec,
                           (info.dwFlags & NCRYPT_MACHINE_KEY_FLAG) | NCRYPT_SILENT_FLAG);
    NCryptFreeObject(provider);
    if (status != ERROR_SUCCESS) return Failed("NCryptOpenKey", static_cast<DWORD>(status), name, "秘密鍵を開けません");
    key->UseNcrypt(handle, true);
    return Status();
  }
  const DWORD flags = (info.dwFlags & CRYPT_MACHINE_KEYSET) | CRYPT_SILENT;
  HCRYPTPROV prov = 0;
  if (!CryptAcquireContextW(&prov, info.pwszContainerName, MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, flags)) {
    const DWORD error = GetLastError();
    if (!CryptAcquireContextW(&prov, info.pwszContainerName, info.pwszProvName, info.dwProvType, flags)) {
      return Failed("CryptAcquireContext", error, name, "秘密鍵のコンテナーを開けません");
    }
  }
  HCRYPTKEY userKey = 0;
  if (!CryptGetUserKey(prov, info.dwKeySpec, &userKey)) {
    const DWORD error = GetLastError();
    CryptReleaseContext(prov, 0);
    return Failed("CryptGetUserKey", error, name, "秘密鍵がありません");
  }
  CryptDestroyKey(userKey);
  key->UseCapi(prov, info.dwKeySpec, true);
  return Status();
}

// The key, when its public half is the certificate's (or cannot be read to
// tell: the token endpoint then judges).
Result<std::unique_ptr<SigningKey>> Matched(std::unique_ptr<CapiSigningKey> key, const CERT_PUBLIC_KEY_INFO& certificate) {
  const std::string exported = key->PublicKeyInfo();
  if (!exported.empty() &&
      !CertComparePublicKeyInfo(X509_ASN_ENCODING, const_cast<CERT_PUBLIC_KEY_INFO*>(&certificate),
                                reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(const_cast<char*>(exported.data())))) {
    return Failed("CertComparePublicKeyInfo", 0, key->Name(), "秘密鍵が証明書のものではありません");
  }
  return std::unique_ptr<SigningKey>(std::move(key));
}

}  // namespace

Result<std::unique_ptr<SigningKey>> OpenCertificateKey(const std::string& certificate) {
  const std::string name = "証明書 " + certificate;
  BYTE thumbprint[20] = {};
  if (!ParseThumbprint(certificate, thumbprint)) {
    return Failed("", 0, name, "SHA-1 の拇印 (16 進 40 桁) ではありません");
  }
  std::unique_ptr<void, StoreCloser> store(
      CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                    CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_READONLY_FLAG | CERT_STORE_OPEN_EXISTING_FLAG, L"MY"));
  if (!store) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) {
      // A machine whose personal store was never made holds no certificate.
      return Status::Failure("CertOpenStore", error,
                             name + ": ローカル コンピューターの個人ストア (My) にありません (ストアがありません)",
                             StatusKind::kNotFound);
    }
    return Failed("CertOpenStore", error, name, "ローカル コンピューターの個人ストアを開けません");
  }
  CRYPT_HASH_BLOB hash{20, thumbprint};
  std::unique_ptr<const CERT_CONTEXT, CertFree> cert(CertFindCertificateInStore(
      store.get(), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, CERT_FIND_HASH, &hash, nullptr));
  if (!cert) {
    const DWORD error = GetLastError();
    if (error != static_cast<DWORD>(CRYPT_E_NOT_FOUND)) {
      return Failed("CertFindCertificateInStore", error, name, "ストアを検索できません");
    }
    return Status::Failure("CertFindCertificateInStore", error,
                           name + ": ローカル コンピューターの個人ストア (My) にありません", StatusKind::kNotFound);
  }
  const CERT_PUBLIC_KEY_INFO& publicKey = cert->pCertInfo->SubjectPublicKeyInfo;
  if (std::string(publicKey.Algorithm.pszObjId) != szOID_RSA_RSA) {
    return Failed("", 0, name, "鍵が RSA ではありません (" + KeyAlgorithmName(publicKey.Algorithm.pszObjId) + ")");
  }
  const DWORD bits = CertGetPublicKeyLength(X509_ASN_ENCODING, const_cast<CERT_PUBLIC_KEY_INFO*>(&publicKey));
  if (bits < kMinimumBits) {
    return Failed("", 0, name,
                  "RSA の鍵が短すぎます (" + std::to_string(bits) + " ビット、2048 ビット以上が必要です)");
  }
  auto key = std::make_unique<CapiSigningKey>(
      name, std::string(reinterpret_cast<const char*>(cert->pbCertEncoded), cert->cbCertEncoded));

  const std::string infoBytes = KeyProvInfo(cert.get());
  if (infoBytes.empty()) {
    return Status::Failure("", static_cast<int64_t>(static_cast<DWORD>(CRYPT_E_NO_KEY_PROPERTY)),
                           name + ": 証明書に秘密鍵がありません");
  }
  const auto& info = *reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(infoBytes.data());

  HCRYPTPROV_OR_NCRYPT_KEY_HANDLE handle = 0;
  DWORD keySpec = 0;
  BOOL callerFrees = FALSE;
  if (CryptAcquireCertificatePrivateKey(cert.get(), CRYPT_ACQUIRE_SILENT_FLAG | CRYPT_ACQUIRE_ALLOW_NCRYPT_KEY_FLAG,
                                        nullptr, &handle, &keySpec, &callerFrees)) {
    if (keySpec == CERT_NCRYPT_KEY_SPEC) {
      key->UseNcrypt(handle, callerFrees != FALSE);
      return Matched(std::move(key), publicKey);
    }
    if (CanHashSha256(handle)) {
      key->UseCapi(handle, keySpec, callerFrees != FALSE);
      return Matched(std::move(key), publicKey);
    }
    // An older provider without SHA-256: the same container through the
    // RSA/AES provider.
    if (callerFrees) CryptReleaseContext(handle, 0);
  }
  Status opened = OpenFromProvInfo(info, name, key.get());
  if (!opened) return opened;
  return Matched(std::move(key), publicKey);
}

Result<std::unique_ptr<SigningKey>> LoadPemPrivateKey(const std::string& pem, const std::string& name) {
  Result<std::vector<PemBlock>> blocks = ParsePem(pem);
  if (!blocks) return Status::Failure(blocks.status().What(), 0, name + ": " + blocks.status().Text());
  const PemBlock* keyBlock = nullptr;
  for (const PemBlock& block : *blocks) {
    if (block.label.find("PRIVATE KEY") != std::string::npos) {
      keyBlock = &block;
      break;
    }
  }
  if (!keyBlock) {
    return Status::Failure("PEM", 0, name + ": PEM の秘密鍵 (BEGIN PRIVATE KEY) がありません", StatusKind::kNotFound);
  }
  if (keyBlock->label == "ENCRYPTED PRIVATE KEY") {
    return Status::Failure("PEM", 0, name + ": 秘密鍵が暗号化されています (パスフレーズなしの鍵が必要です)");
  }
  std::string rsaDer;
  if (keyBlock->label == "PRIVATE KEY") {
    Result<std::string> inner = RsaKeyFromPkcs8(keyBlock->der);
    if (!inner) return Status::Failure(inner.status().What(), 0, name + ": " + inner.status().Text());
    rsaDer = std::move(*inner);
  } else if (keyBlock->label == "RSA PRIVATE KEY") {
    rsaDer = keyBlock->der;
  } else {
    return Status::Failure("PEM", 0, name + ": 秘密鍵が RSA ではありません (" + keyBlock->label + ")");
  }

  BYTE* blob = nullptr;
  DWORD blobSize = 0;
  if (!CryptDecodeObjectEx(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, PKCS_RSA_PRIVATE_KEY,
                           reinterpret_cast<const BYTE*>(rsaDer.data()), static_cast<DWORD>(rsaDer.size()),
                           CRYPT_DECODE_ALLOC_FLAG, nullptr, &blob, &blobSize)) {
    return Failed("CryptDecodeObjectEx", GetLastError(), name, "RSA の秘密鍵を読めません");
  }
  std::unique_ptr<BYTE, decltype(&LocalFree)> blobOwner(blob, &LocalFree);
  HCRYPTPROV prov = 0;
  if (!CryptAcquireContextW(&prov, nullptr, MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, CRYPT_VERIFYCONTEXT | CRYPT_SILENT)) {
    return Failed("CryptAcquireContext", GetLastError(), name, "暗号プロバイダーを開けません");
  }
  auto key = std::make_unique<CapiSigningKey>(name, "");
  key->UseCapi(prov, AT_KEYEXCHANGE, true);
  HCRYPTKEY imported = 0;
  const BOOL ok = CryptImportKey(prov, blob, blobSize, 0, 0, &imported);
  SecureZeroMemory(blob, blobSize);
  if (!ok) return Failed("CryptImportKey", GetLastError(), name, "RSA の秘密鍵を取り込めません");
  key->UseImportedKey(imported);
  DWORD bits = 0;
  DWORD size = sizeof bits;
  if (!CryptGetKeyParam(imported, KP_KEYLEN, reinterpret_cast<BYTE*>(&bits), &size, 0)) {
    return Failed("CryptGetKeyParam", GetLastError(), name, "鍵の長さを読めません");
  }
  if (bits < kMinimumBits) {
    return Failed("PEM", 0, name, "RSA の鍵が短すぎます (" + std::to_string(bits) + " ビット、2048 ビット以上が必要です)");
  }
  return std::unique_ptr<SigningKey>(std::move(key));
}

namespace {

std::string Digest(ALG_ID algorithm, const std::string& data) {
  HCRYPTPROV prov = 0;
  if (!CryptAcquireContextW(&prov, nullptr, MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, CRYPT_VERIFYCONTEXT | CRYPT_SILENT)) {
    return "";
  }
  std::string out;
  HCRYPTHASH hash = 0;
  if (CryptCreateHash(prov, algorithm, 0, 0, &hash)) {
    DWORD length = 0;
    DWORD size = sizeof length;
    if (CryptHashData(hash, reinterpret_cast<const BYTE*>(data.data()), static_cast<DWORD>(data.size()), 0) &&
        CryptGetHashParam(hash, HP_HASHSIZE, reinterpret_cast<BYTE*>(&length), &size, 0)) {
      out.resize(length);
      if (!CryptGetHashParam(hash, HP_HASHVAL, reinterpret_cast<BYTE*>(out.data()), &length, 0)) out.clear();
    }
    CryptDestroyHash(hash);
  }
  CryptReleaseContext(prov, 0);
  return out;
}

}  // namespace

std::string Sha1Digest(const std::string& data) { return Digest(CALG_SHA1, data); }
std::string Sha256Digest(const std::string& data) { return Digest(CALG_SHA_256, data); }

}  // namespace qw
