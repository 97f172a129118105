// The personal store of the local computer, listed read-only through
// CryptoAPI for the applet's certificate picker.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>

#include "platform/certificate_store.h"
#include "platform/system_error.h"
#include "platform/text_codec.h"

namespace qw {
namespace {

std::string NameOf(PCCERT_CONTEXT cert, DWORD flags) {
  const DWORD size = CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, flags, nullptr, nullptr, 0);
  if (size <= 1) return "";
  std::u16string name(size, u'\0');
  CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, flags, nullptr, reinterpret_cast<wchar_t*>(name.data()),
                     size);
  name.resize(size - 1);
  return Utf16ToSjis(name);
}

std::string Thumbprint(PCCERT_CONTEXT cert) {
  BYTE hash[20] = {};
  DWORD size = sizeof hash;
  if (!CertGetCertificateContextProperty(cert, CERT_HASH_PROP_ID, hash, &size) || size != sizeof hash) return "";
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (BYTE b : hash) {
    text += kDigits[b >> 4];
    text += kDigits[b & 15];
  }
  return text;
}

bool HasKeyProvider(PCCERT_CONTEXT cert) {
  DWORD size = 0;
  return CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size) && size > 0;
}

}  // namespace

Result<std::vector<StoreCertificate>> ListMachineCertificates() {
  std::vector<StoreCertificate> list;
  HCERTSTORE store =
      CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                    CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_READONLY_FLAG | CERT_STORE_OPEN_EXISTING_FLAG, L"MY");
  if (store == nullptr) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return list;  // never made: nothing in it
    return Status::Failure("CertOpenStore", static_cast<int64_t>(error),
                           "ローカル コンピューターの個人ストアを開けません: " + SystemErrorText(error));
  }
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  PCCERT_CONTEXT cert = nullptr;
  while ((cert = CertEnumCertificatesInStore(store, cert)) != nullptr) {
    StoreCertificate entry;
    entry.thumbprint = Thumbprint(cert);
    entry.subject = NameOf(cert, 0);
    entry.issuer = NameOf(cert, CERT_NAME_ISSUER_FLAG);
    const FILETIME end = cert->pCertInfo->NotAfter;
    entry.expired = CompareFileTime(&end, &now) < 0;
    FILETIME local{};
    SYSTEMTIME day{};
    if (FileTimeToLocalFileTime(&end, &local) && FileTimeToSystemTime(&local, &day)) {
      char text[16];
      std::snprintf(text, sizeof text, "%04u/%02u/%02u", day.wYear, day.wMonth, day.wDay);
      entry.notAfter = text;
    }
    entry.hasPrivateKey = HasKeyProvider(cert);
    list.push_back(std::move(entry));
  }
  CertCloseStore(store, 0);
  return list;
}

}  // namespace qw
