// jws_sign: signs a JSON claims file as a compact JWS (RS256) with the
// platform's signing keys, for the end-to-end tests of both hosts.
//
//   jws_sign --cert REF --claims FILE [--header NAME=VALUE]...
//       REF: Windows, the SHA-1 thumbprint of a certificate in
//       LocalMachine\My; POSIX, a PEM file with certificate and key.
//   jws_sign --key PEMFILE --claims FILE [--header NAME=VALUE]...
//       a PEM private key given as text (read from PEMFILE).
//   jws_sign --import PEMFILE [--no-key]        (Windows only)
//       adds the certificate of PEMFILE to LocalMachine\My, with its private
//       key in a machine key container unless --no-key; prints the
//       thumbprint.
//   jws_sign --list
//       the certificates of LocalMachine\My as the applet's picker lists
//       them, one a line: thumbprint, subject, issuer, end of validity
//       (YYYY/MM/DD), "key" or "no-key", "expired" or "valid", tab-separated.
//
// The JWS goes to standard output; a failure to standard error (UTF-8),
// exit code 1; a usage error exit code 2.
#ifdef _WIN32
#include <windows.h>
#include <wincrypt.h>
#endif

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "auth/key_assertion_signer.h"
#include "platform/certificate_store.h"
#include "platform/jws.h"
#include "platform/signing_key.h"
#include "platform/text_codec.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: jws_sign --cert REF --claims FILE [--header NAME=VALUE]...\n"
               "       jws_sign --key PEMFILE --claims FILE [--header NAME=VALUE]...\n"
               "       jws_sign --import PEMFILE [--no-key]   (Windows)\n"
               "       jws_sign --list\n");
  return 2;
}

int Fail(const std::string& sjis) {
  std::fprintf(stderr, "jws_sign: %s\n", qw::SjisToUtf8(sjis).c_str());
  return 1;
}

bool ReadFile(const std::string& path, std::string* text) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return false;
  char buffer[4096];
  size_t n = 0;
  text->clear();
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text->append(buffer, n);
  const bool ok = !std::ferror(file);
  std::fclose(file);
  return ok;
}

#ifdef _WIN32
std::string LastError(const char* what) {
  char text[64];
  std::snprintf(text, sizeof text, "%s failed (0x%08lx)", what, static_cast<unsigned long>(GetLastError()));
  return text;
}

// The certificate (and key) of a PEM file into LocalMachine\My, the way a
// PFX imported on Windows lands: the key in a CryptoAPI machine container of
// the Enhanced provider, named by the certificate's provider information.
int Import(const std::string& path, bool withKey) {
  std::string text;
  if (!ReadFile(path, &text)) return Fail("cannot read " + path);
  qw::Result<std::vector<qw::PemBlock>> blocks = qw::ParsePem(text);
  if (!blocks) return Fail(blocks.status().Describe());
  std::string certDer, rsaDer;
  for (const qw::PemBlock& block : *blocks) {
    if (block.label == "CERTIFICATE" && certDer.empty()) certDer = block.der;
    if (block.label == "RSA PRIVATE KEY") rsaDer = block.der;
    if (block.label == "PRIVATE KEY") {
      qw::Result<std::string> inner = qw::RsaKeyFromPkcs8(block.der);
      if (!inner) return Fail(inner.status().Describe());
      rsaDer = *inner;
    }
  }
  if (certDer.empty()) return Fail(path + ": no certificate");
  if (withKey && rsaDer.empty()) return Fail(path + ": no RSA private key");

  const std::string thumbprint = qw::Sha1Digest(certDer);
  std::string hex;
  for (unsigned char c : thumbprint) {
    char two[3];
    std::snprintf(two, sizeof two, "%02X", c);
    hex += two;
  }
  const std::wstring container = L"Quotawarden test " + std::wstring(hex.begin(), hex.end());

  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"MY");
  if (!store) return Fail(LastError("CertOpenStore"));
  // A certificate left by an earlier run goes first, with its properties.
  CRYPT_HASH_BLOB hash{20, reinterpret_cast<BYTE*>(const_cast<char*>(thumbprint.data()))};
  if (PCCERT_CONTEXT old = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_HASH, &hash, nullptr)) {
    CertDeleteCertificateFromStore(old);
  }
  PCCERT_CONTEXT added = nullptr;
  if (!CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(certDer.data()),
                                        static_cast<DWORD>(certDer.size()), CERT_STORE_ADD_REPLACE_EXISTING, &added)) {
    return Fail(LastError("CertAddEncodedCertificateToStore"));
  }
  if (withKey) {
    BYTE* blob = nullptr;
    DWORD blobSize = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, PKCS_RSA_PRIVATE_KEY, reinterpret_cast<const BYTE*>(rsaDer.data()),
                             static_cast<DWORD>(rsaDer.size()), CRYPT_DECODE_ALLOC_FLAG, nullptr, &blob, &blobSize)) {
      return Fail(LastError("CryptDecodeObjectEx"));
    }
    HCRYPTPROV prov = 0;
    CryptAcquireContextW(&prov, container.c_str(), MS_ENHANCED_PROV_W, PROV_RSA_FULL,
                         CRYPT_MACHINE_KEYSET | CRYPT_DELETEKEYSET);
    if (!CryptAcquireContextW(&prov, container.c_str(), MS_ENHANCED_PROV_W, PROV_RSA_FULL,
                              CRYPT_MACHINE_KEYSET | CRYPT_NEWKEYSET | CRYPT_SILENT)) {
      return Fail(LastError("CryptAcquireContext"));
    }
    HCRYPTKEY key = 0;
    if (!CryptImportKey(prov, blob, blobSize, 0, 0, &key)) return Fail(LastError("CryptImportKey"));
    LocalFree(blob);
    CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = const_cast<LPWSTR>(container.c_str());
    info.pwszProvName = const_cast<LPWSTR>(MS_ENHANCED_PROV_W);
    info.dwProvType = PROV_RSA_FULL;
    info.dwFlags = CRYPT_MACHINE_KEYSET;
    info.dwKeySpec = AT_KEYEXCHANGE;
    if (!CertSetCertificateContextProperty(added, CERT_KEY_PROV_INFO_PROP_ID, 0, &info)) {
      return Fail(LastError("CertSetCertificateContextProperty"));
    }
  }
  CertFreeCertificateContext(added);
  CertCloseStore(store, 0);
  std::printf("%s\n", hex.c_str());
  return 0;
}
#endif

}  // namespace

int main(int argc, char** argv) {
  std::string cert, keyFile, claimsFile, importFile;
  bool withKey = true;
  bool list = false;
  std::vector<qw::JwsHeaderField> fields;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--cert" && hasValue) cert = argv[++i];
    else if (arg == "--key" && hasValue) keyFile = argv[++i];
    else if (arg == "--claims" && hasValue) claimsFile = argv[++i];
    else if (arg == "--import" && hasValue) importFile = argv[++i];
    else if (arg == "--no-key") withKey = false;
    else if (arg == "--list") list = true;
    else if (arg == "--header" && hasValue) {
      const std::string field = argv[++i];
      const size_t eq = field.find('=');
      if (eq == std::string::npos || eq == 0) return Usage();
      fields.push_back({field.substr(0, eq), field.substr(eq + 1)});
    } else {
      return Usage();
    }
  }
  if (list) {
    const qw::Result<std::vector<qw::StoreCertificate>> certificates = qw::ListMachineCertificates();
    if (!certificates) return Fail(certificates.status().Describe());
    for (const qw::StoreCertificate& c : *certificates) {
      std::printf("%s\t%s\t%s\t%s\t%s\t%s\n", c.thumbprint.c_str(), qw::SjisToUtf8(c.subject).c_str(),
                  qw::SjisToUtf8(c.issuer).c_str(), c.notAfter.c_str(), c.hasPrivateKey ? "key" : "no-key",
                  c.expired ? "expired" : "valid");
    }
    return 0;
  }
  if (!importFile.empty()) {
#ifdef _WIN32
    return Import(importFile, withKey);
#else
    (void)withKey;
    return Usage();
#endif
  }
  if (cert.empty() == keyFile.empty() || claimsFile.empty()) return Usage();

  std::string claims;
  if (!ReadFile(claimsFile, &claims)) return Fail("cannot read " + claimsFile);
  qw::Result<std::unique_ptr<qw::AssertionSigner>> signer = [&]() {
    if (!cert.empty()) return qw::KeyAssertionSigner::ForClientCert(cert);
    std::string pem;
    if (!ReadFile(keyFile, &pem)) {
      return qw::Result<std::unique_ptr<qw::AssertionSigner>>(
          qw::Status::Failure("SERVICEACCOUNT", 0, "cannot read " + keyFile));
    }
    return qw::KeyAssertionSigner::ForServiceAccountKey(pem, keyFile);
  }();
  if (!signer) return Fail(signer.status().Describe());
  qw::Result<std::string> jws = (*signer)->Sign(claims, fields);
  if (!jws) return Fail(jws.status().Describe());
  std::printf("%s\n", jws->c_str());
  return 0;
}
