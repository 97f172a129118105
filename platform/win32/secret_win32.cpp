// DPAPI at machine scope: the applet (an administrator's session) protects,
// the service (LocalSystem) unprotects, so the key must be the computer's and
// not the user's. No entropy is added: a value protected by any program with
// CryptProtectData(CRYPTPROTECT_LOCAL_MACHINE) and put behind the prefix by
// hand is read as well.
#include <windows.h>
#include <wincrypt.h>

#include <cstring>

#include "platform/secret.h"
#include "platform/system_error.h"

namespace qw {
namespace {

constexpr const char* kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr const char* kMsgDamaged = "保護されたパスワードの形式が正しくありません (base64 ではありません)";

std::string EncodeBase64(const BYTE* data, size_t size) {
  std::string out;
  out.reserve((size + 2) / 3 * 4);
  for (size_t i = 0; i < size; i += 3) {
    uint32_t chunk = static_cast<uint32_t>(data[i]) << 16;
    if (i + 1 < size) chunk |= static_cast<uint32_t>(data[i + 1]) << 8;
    if (i + 2 < size) chunk |= data[i + 2];
    out += kAlphabet[(chunk >> 18) & 63];
    out += kAlphabet[(chunk >> 12) & 63];
    out += i + 1 < size ? kAlphabet[(chunk >> 6) & 63] : '=';
    out += i + 2 < size ? kAlphabet[chunk & 63] : '=';
  }
  return out;
}

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Strict: whole groups of four, padding only at the end, nothing else.
bool DecodeBase64(const std::string& text, std::string* out) {
  out->clear();
  if (text.empty() || text.size() % 4 != 0) return false;
  for (size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    int v[4];
    int pad = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = text[i + static_cast<size_t>(k)];
      if (c == '=' && last && k >= 2) {
        v[k] = 0;
        ++pad;
        continue;
      }
      if (pad > 0) return false;  // a character after the padding
      v[k] = Base64Value(c);
      if (v[k] < 0) return false;
    }
    const uint32_t chunk = (static_cast<uint32_t>(v[0]) << 18) | (static_cast<uint32_t>(v[1]) << 12) |
                           (static_cast<uint32_t>(v[2]) << 6) | static_cast<uint32_t>(v[3]);
    out->push_back(static_cast<char>((chunk >> 16) & 0xFF));
    if (pad < 2) out->push_back(static_cast<char>((chunk >> 8) & 0xFF));
    if (pad < 1) out->push_back(static_cast<char>(chunk & 0xFF));
  }
  return true;
}

}  // namespace

bool IsProtectedSecret(const std::string& stored) {
  return stored.compare(0, std::strlen(kProtectedPrefix), kProtectedPrefix) == 0;
}

Result<std::string> ProtectSecret(const std::string& clear) {
  DATA_BLOB in{};
  in.cbData = static_cast<DWORD>(clear.size());
  in.pbData = reinterpret_cast<BYTE*>(const_cast<char*>(clear.data()));
  DATA_BLOB out{};
  if (!CryptProtectData(&in, nullptr, nullptr, nullptr, nullptr,
                        CRYPTPROTECT_LOCAL_MACHINE | CRYPTPROTECT_UI_FORBIDDEN, &out)) {
    return LastSystemFailure("CryptProtectData");
  }
  std::string stored = std::string(kProtectedPrefix) + EncodeBase64(out.pbData, out.cbData);
  LocalFree(out.pbData);
  return stored;
}

Result<std::string> UnprotectSecret(const std::string& stored) {
  if (!IsProtectedSecret(stored)) return stored;
  std::string blob;
  if (!DecodeBase64(stored.substr(std::strlen(kProtectedPrefix)), &blob)) {
    return Status::Failure("UnprotectSecret", 0, kMsgDamaged);
  }
  DATA_BLOB in{};
  in.cbData = static_cast<DWORD>(blob.size());
  in.pbData = reinterpret_cast<BYTE*>(blob.data());
  DATA_BLOB out{};
  if (!CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out)) {
    return LastSystemFailure("CryptUnprotectData");
  }
  std::string clear(reinterpret_cast<const char*>(out.pbData), out.cbData);
  SecureZeroMemory(out.pbData, out.cbData);
  LocalFree(out.pbData);
  return clear;
}

}  // namespace qw
