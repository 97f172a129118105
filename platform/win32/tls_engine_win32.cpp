// The TLS engine on Windows: SChannel through SSPI, so the system's TLS policy
// and trusted roots apply and no DLL of our own is needed.
//
// SChannel is told not to validate the server's certificate itself
// (SCH_CRED_MANUAL_CRED_VALIDATION): the chain is built here by the local
// machine's chain engine (the roots a LocalSystem service trusts), any error
// in the chain's trust status refuses it, and only then does the SSL chain
// policy check the name. The policy alone is not enough: some systems' policy
// (Wine's) passes a chain that stops short of a root or goes through a
// certificate that is no CA. Revocation is not checked, as SChannel's own
// validation does not check it unless asked; an alert must not wait on a CRL
// server that the relay's network cannot reach.
//
// A TLS 1.2 server that asks to renegotiate is refused: a new handshake could
// bring another certificate after the check. TLS 1.3 has no renegotiation;
// its post-handshake messages (session tickets, key updates) are taken, and
// the certificate is checked again after them.
#define SECURITY_WIN32
#define SCHANNEL_USE_BLACKLISTS
#include <winsock2.h>
#include <ws2tcpip.h>  // InetPtonA
#include <windows.h>
#include <winternl.h>  // UNICODE_STRING, used by SCH_CREDENTIALS
#include <wincrypt.h>
#include <schannel.h>
#include <security.h>
#include <sspi.h>

#include <algorithm>
#include <cstdio>
#include <utility>

#include "platform/client_socket.h"
#include "platform/text_codec.h"
#include "platform/tls_engine.h"
#include "platform/win32/server_certificate.h"
#include "platform/win32/system_message.h"

namespace qw {

namespace {

constexpr DWORD kContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY |
                                ISC_REQ_STREAM | ISC_REQ_EXTENDED_ERROR |
                                ISC_REQ_USE_SUPPLIED_CREDS | ISC_REQ_MANUAL_CRED_VALIDATION;

// SECURITY_FLAG_IGNORE_CERT_CN_INVALID of the SSL chain policy's checks
// (declared by the WinINet and WinHTTP headers only).
constexpr DWORD kIgnoreNameMismatch = 0x00001000;

// The content type of a TLS record that carries an alert.
constexpr unsigned char kAlertRecord = 21;

constexpr DWORD kCredentialFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS |
                                   SCH_USE_STRONG_CRYPTO;

// A hand-written text for the codes the system may have no message for (Wine
// has none for most SSPI and certificate codes).
const char* KnownReason(DWORD code) {
  switch (static_cast<HRESULT>(code)) {
    case CERT_E_UNTRUSTEDROOT: return "信頼されたルート証明機関の証明書で終わっていません";
    case CERT_E_CHAINING: return "信頼されたルート証明機関までたどれません";
    case CERT_E_CN_NO_MATCH: return "証明書の名前がサーバー名と一致しません";
    case CERT_E_EXPIRED: return "証明書の有効期間外です";
    case CERT_E_WRONG_USAGE: return "サーバー認証に使えない証明書です";
    case CERT_E_REVOKED: return "証明書は失効しています";
    case CRYPT_E_REVOKED: return "証明書は失効しています";
    case CRYPT_E_NO_REVOCATION_CHECK: return "証明書の失効を確認できません";
    case CRYPT_E_REVOCATION_OFFLINE: return "証明書の失効を確認するサーバーに接続できません";
    case TRUST_E_EXPLICIT_DISTRUST: return "証明書は信頼しないと指定されています";
    case CERT_E_INVALID_NAME: return "証明書の名前が名前の制約に反しています";
    case CERT_E_INVALID_POLICY: return "証明書のポリシーが正しくありません";
    case CERT_E_CRITICAL: return "証明書に扱えない重要な拡張があります";
    case TRUST_E_FAIL: return "証明書を信頼できません";
    case CERT_E_UNTRUSTEDTESTROOT: return "テスト用のルート証明書です";
    case TRUST_E_CERT_SIGNATURE: return "証明書の署名が正しくありません";
    case TRUST_E_BASIC_CONSTRAINTS: return "証明書の基本制約が正しくありません";
    case SEC_E_ILLEGAL_MESSAGE: return "サーバーから不正な TLS メッセージを受け取りました";
    case SEC_E_ALGORITHM_MISMATCH: return "サーバーと共通の暗号方式またはプロトコルがありません";
    case SEC_E_UNSUPPORTED_FUNCTION: return "サーバーが対応していない TLS のバージョンです";
    case SEC_E_INTERNAL_ERROR: return "TLS の内部エラーです";
    case SEC_E_DECRYPT_FAILURE: return "受け取ったデータを復号できません";
    case SEC_E_MESSAGE_ALTERED: return "受け取ったデータが改変されています";
    case SEC_E_CERT_UNKNOWN: return "サーバーの証明書を処理できません";
    case SEC_E_NO_CREDENTIALS: return "TLS の資格情報がありません";
    case SEC_E_WRONG_PRINCIPAL: return "証明書の名前がサーバー名と一致しません";
    default: return nullptr;
  }
}

// The system's text for an SSPI or certificate code (Shift-JIS, no trailing
// line break), with the code in hexadecimal so the text can be looked up.
std::string ReasonText(DWORD code) {
  std::u16string text = SystemMessage(code);
  while (!text.empty() && (text.back() == u'.' || text.back() == u' ')) text.pop_back();
  std::string reason;
  if (!text.empty()) {
    reason = Utf16ToSjis(text);
  } else if (const char* known = KnownReason(code)) {
    reason = known;
  } else {
    reason = "エラー";
  }
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08lX", static_cast<unsigned long>(code));
  return reason + " (" + hex + ")";
}

std::string OldProtocolName(DWORD protocol) {
  if (protocol & SP_PROT_TLS1_1_CLIENT) return "TLSv1.1";
  if (protocol & SP_PROT_TLS1_0_CLIENT) return "TLSv1";
  if (protocol & SP_PROT_SSL3_CLIENT) return "SSLv3";
  return "0x" + std::to_string(protocol);
}

// The alert a server sends to refuse the handshake is in clear; its reason
// (the protocol version, no common cipher, an unknown name) is worth more to
// the user than the code the system turns every refusal into. Empty when the
// input holds no alert record.
std::string ServerAlert(const std::string& input) {
  size_t at = 0;
  while (at + 5 <= input.size()) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(input[i]); };
    const size_t length = (static_cast<size_t>(byte(at + 3)) << 8) | byte(at + 4);
    if (byte(at) == 21 && length == 2 && at + 7 <= input.size()) {
      const unsigned description = byte(at + 6);
      const char* name = "";
      switch (description) {
        case 0: name = "close_notify"; break;
        case 10: name = "unexpected_message"; break;
        case 20: name = "bad_record_mac"; break;
        case 40: name = "handshake_failure"; break;
        case 42: name = "bad_certificate"; break;
        case 47: name = "illegal_parameter"; break;
        case 48: name = "unknown_ca"; break;
        case 50: name = "decode_error"; break;
        case 51: name = "decrypt_error"; break;
        case 70: name = "protocol_version"; break;
        case 71: name = "insufficient_security"; break;
        case 80: name = "internal_error"; break;
        case 109: name = "missing_extension"; break;
        case 112: name = "unrecognized_name"; break;
        default: name = "alert"; break;
      }
      return std::string("。サーバーの応答: ") + name + " (" + std::to_string(description) + ")";
    }
    at += 5 + length;
  }
  return "";
}

// True when `name` is an IPv4 or IPv6 address that the certificate names
// among its subject's alternative names.
bool HasIpAddress(PCCERT_CONTEXT certificate, const std::string& name) {
  unsigned char address[16];
  size_t length = 0;
  if (InetPtonA(AF_INET, name.c_str(), address) == 1) {
    length = 4;
  } else if (InetPtonA(AF_INET6, name.c_str(), address) == 1) {
    length = 16;
  } else {
    return false;
  }
  const CERT_EXTENSION* extension =
      CertFindExtension(szOID_SUBJECT_ALT_NAME2, certificate->pCertInfo->cExtension,
                        certificate->pCertInfo->rgExtension);
  if (!extension) return false;
  CERT_ALT_NAME_INFO* names = nullptr;
  DWORD size = 0;
  if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData,
                           extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &names,
                           &size)) {
    return false;
  }
  bool found = false;
  for (DWORD i = 0; i < names->cAltEntry && !found; ++i) {
    const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
    found = entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS &&
            entry.IPAddress.cbData == length &&
            std::equal(address, address + length, entry.IPAddress.pbData);
  }
  LocalFree(names);
  return found;
}

// The errors of a chain's trust status, in the order in which the first one
// present gives the failure its code. Every bit refuses the chain, named or
// not, except CERT_TRUST_IS_NOT_TIME_NESTED, which is obsolete and no longer
// set by Windows.
struct ChainError {
  DWORD bit;
  HRESULT code;
  const char* name;
  const char* text;
};
constexpr ChainError kChainErrors[] = {
    {CERT_TRUST_IS_UNTRUSTED_ROOT, CERT_E_UNTRUSTEDROOT, "CERT_TRUST_IS_UNTRUSTED_ROOT",
     "ルート証明書が信頼されていません"},
    {CERT_TRUST_IS_PARTIAL_CHAIN, CERT_E_CHAINING, "CERT_TRUST_IS_PARTIAL_CHAIN",
     "信頼されたルート証明機関までたどれません (発行者の証明書がありません)"},
    {CERT_TRUST_IS_EXPLICIT_DISTRUST, TRUST_E_EXPLICIT_DISTRUST, "CERT_TRUST_IS_EXPLICIT_DISTRUST",
     "信頼しないと指定された証明書です"},
    {CERT_TRUST_IS_REVOKED, CRYPT_E_REVOKED, "CERT_TRUST_IS_REVOKED", "失効した証明書があります"},
    {CERT_TRUST_IS_NOT_SIGNATURE_VALID, TRUST_E_CERT_SIGNATURE, "CERT_TRUST_IS_NOT_SIGNATURE_VALID",
     "署名が正しくない証明書があります"},
    {CERT_TRUST_IS_CYCLIC, CERT_E_CHAINING, "CERT_TRUST_IS_CYCLIC", "証明書チェーンが循環しています"},
    {CERT_TRUST_IS_NOT_TIME_VALID, CERT_E_EXPIRED, "CERT_TRUST_IS_NOT_TIME_VALID",
     "有効期間外の証明書があります"},
    {CERT_TRUST_IS_NOT_VALID_FOR_USAGE, CERT_E_WRONG_USAGE, "CERT_TRUST_IS_NOT_VALID_FOR_USAGE",
     "サーバー認証に使えない証明書です"},
    {CERT_TRUST_INVALID_BASIC_CONSTRAINTS, TRUST_E_BASIC_CONSTRAINTS,
     "CERT_TRUST_INVALID_BASIC_CONSTRAINTS", "CA ではない証明書が発行者になっています"},
    {CERT_TRUST_INVALID_NAME_CONSTRAINTS, CERT_E_INVALID_NAME, "CERT_TRUST_INVALID_NAME_CONSTRAINTS",
     "名前の制約が正しくありません"},
    {CERT_TRUST_HAS_NOT_SUPPORTED_NAME_CONSTRAINT, CERT_E_INVALID_NAME,
     "CERT_TRUST_HAS_NOT_SUPPORTED_NAME_CONSTRAINT", "扱えない名前の制約があります"},
    {CERT_TRUST_HAS_NOT_DEFINED_NAME_CONSTRAINT, CERT_E_INVALID_NAME,
     "CERT_TRUST_HAS_NOT_DEFINED_NAME_CONSTRAINT", "名前の制約が定めていない名前があります"},
    {CERT_TRUST_HAS_NOT_PERMITTED_NAME_CONSTRAINT, CERT_E_INVALID_NAME,
     "CERT_TRUST_HAS_NOT_PERMITTED_NAME_CONSTRAINT", "名前の制約が許さない名前があります"},
    {CERT_TRUST_HAS_EXCLUDED_NAME_CONSTRAINT, CERT_E_INVALID_NAME,
     "CERT_TRUST_HAS_EXCLUDED_NAME_CONSTRAINT", "名前の制約が除外した名前があります"},
    {CERT_TRUST_INVALID_POLICY_CONSTRAINTS, CERT_E_INVALID_POLICY,
     "CERT_TRUST_INVALID_POLICY_CONSTRAINTS", "ポリシーの制約が正しくありません"},
    {CERT_TRUST_NO_ISSUANCE_CHAIN_POLICY, CERT_E_INVALID_POLICY, "CERT_TRUST_NO_ISSUANCE_CHAIN_POLICY",
     "発行ポリシーがありません"},
    {CERT_TRUST_INVALID_EXTENSION, CERT_E_CRITICAL, "CERT_TRUST_INVALID_EXTENSION",
     "正しくない拡張があります"},
    {CERT_TRUST_HAS_NOT_SUPPORTED_CRITICAL_EXT, CERT_E_CRITICAL,
     "CERT_TRUST_HAS_NOT_SUPPORTED_CRITICAL_EXT", "扱えない重要な拡張があります"},
    {CERT_TRUST_HAS_WEAK_SIGNATURE, TRUST_E_CERT_SIGNATURE, "CERT_TRUST_HAS_WEAK_SIGNATURE",
     "弱い署名の証明書があります"},
    {CERT_TRUST_REVOCATION_STATUS_UNKNOWN, CRYPT_E_NO_REVOCATION_CHECK,
     "CERT_TRUST_REVOCATION_STATUS_UNKNOWN", "失効を確認できません"},
    {CERT_TRUST_IS_OFFLINE_REVOCATION, CRYPT_E_REVOCATION_OFFLINE, "CERT_TRUST_IS_OFFLINE_REVOCATION",
     "失効の情報を取得できません"},
    {CERT_TRUST_CTL_IS_NOT_TIME_VALID, CERT_E_EXPIRED, "CERT_TRUST_CTL_IS_NOT_TIME_VALID",
     "証明書信頼リストの有効期間外です"},
    {CERT_TRUST_CTL_IS_NOT_SIGNATURE_VALID, TRUST_E_CERT_SIGNATURE,
     "CERT_TRUST_CTL_IS_NOT_SIGNATURE_VALID", "証明書信頼リストの署名が正しくありません"},
    {CERT_TRUST_CTL_IS_NOT_VALID_FOR_USAGE, CERT_E_WRONG_USAGE,
     "CERT_TRUST_CTL_IS_NOT_VALID_FOR_USAGE", "証明書信頼リストがこの用途に使えません"},
};
constexpr DWORD kIgnoredChainErrors = CERT_TRUST_IS_NOT_TIME_NESTED;

// The failure of a chain whose trust status carries `errors` (not zero after
// kIgnoredChainErrors is taken out): the code of the first error of the
// table, its system text, and every error present by its text and name.
struct ChainVerdict {
  DWORD code;
  std::string text;
};
ChainVerdict ChainErrorsVerdict(DWORD errors) {
  DWORD code = 0;
  std::string list;
  DWORD named = 0;
  for (const ChainError& error : kChainErrors) {
    if (!(errors & error.bit)) continue;
    if (code == 0) code = static_cast<DWORD>(error.code);
    if (!list.empty()) list += "、";
    list += std::string(error.text) + " [" + error.name + "]";
    named |= error.bit;
  }
  if (const DWORD rest = errors & ~named) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08lX", static_cast<unsigned long>(rest));
    if (!list.empty()) list += "、";
    list += std::string("その他の誤り [") + hex + "]";
  }
  if (code == 0) code = static_cast<DWORD>(TRUST_E_FAIL);
  char status[16];
  std::snprintf(status, sizeof status, "0x%08lX", static_cast<unsigned long>(errors));
  return {code, ReasonText(code) + "。証明書チェーンの誤り " + status + ": " + list};
}

Status TlsFailure(DWORD code, const std::string& text) {
  return Status::Failure("TLS", static_cast<int64_t>(code), text);
}

class SchannelEngine : public TlsEngine {
 public:
  explicit SchannelEngine(const TlsOptions& options)
      : options_(options), target_(SjisToUtf16(HostWithoutBrackets(options.serverName))) {}

  ~SchannelEngine() override {
    if (haveContext_) DeleteSecurityContext(&context_);
    if (haveCredentials_) FreeCredentialsHandle(&credentials_);
  }

  SchannelEngine(const SchannelEngine&) = delete;
  SchannelEngine& operator=(const SchannelEngine&) = delete;

  void Feed(std::string_view bytes) override {
    if (state_ == State::Failed) return;
    input_.append(bytes);
  }

  std::string TakeOutput() override { return std::exchange(output_, std::string()); }

  Step Handshake() override {
    switch (state_) {
      case State::Open: return Step::Done;
      case State::Failed: return Step::Failed;
      case State::Start: {
        if (!AcquireCredentials()) return Step::Failed;
        const Step first = Negotiate(true);
        if (first != Step::WantMore) return first;
        state_ = State::Handshaking;
        // Nothing can have been fed that the first call looked at.
        return input_.empty() ? Step::WantMore : Handshake();
      }
      case State::Handshaking: {
        const Step step = Negotiate(false);
        if (step == Step::Done) return Finish();
        return step;
      }
    }
    return Step::Failed;
  }

  Status Encrypt(std::string_view plain) override {
    if (state_ != State::Open) return NotOpen();
    if (sentShutdown_) return TlsFailure(0, "TLS の接続はすでに閉じています");
    const size_t most = sizes_.cbMaximumMessage;
    std::string record;
    while (!plain.empty()) {
      const std::string_view chunk = plain.substr(0, most);
      plain.remove_prefix(chunk.size());
      record.assign(sizes_.cbHeader + chunk.size() + sizes_.cbTrailer, '\0');
      char* base = record.data();
      std::copy(chunk.begin(), chunk.end(), base + sizes_.cbHeader);
      SecBuffer buffers[4];
      buffers[0] = {sizes_.cbHeader, SECBUFFER_STREAM_HEADER, base};
      buffers[1] = {static_cast<unsigned long>(chunk.size()), SECBUFFER_DATA, base + sizes_.cbHeader};
      buffers[2] = {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER,
                    base + sizes_.cbHeader + chunk.size()};
      buffers[3] = {0, SECBUFFER_EMPTY, nullptr};
      SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
      const SECURITY_STATUS status = EncryptMessage(&context_, 0, &desc, 0);
      if (status != SEC_E_OK) {
        return Fail(TlsFailure(status, "暗号化できません: " + ReasonText(status)));
      }
      // The record is header, data and trailer back to back; the trailer may
      // be shorter than its room.
      output_.append(base, buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
    }
    return Status();
  }

  Status Decrypt(std::string* plain) override {
    if (state_ != State::Open) return NotOpen();
    while (!input_.empty() && !peerClosed_) {
      if (renegotiating_) {
        const Step step = PostHandshake();
        if (step == Step::Failed) return error_;
        if (step == Step::WantMore) return Status();
        continue;
      }
      const size_t size = input_.size();
      const unsigned char recordType = static_cast<unsigned char>(input_[0]);
      SecBuffer buffers[4];
      buffers[0] = {static_cast<unsigned long>(size), SECBUFFER_DATA, input_.data()};
      buffers[1] = {0, SECBUFFER_EMPTY, nullptr};
      buffers[2] = {0, SECBUFFER_EMPTY, nullptr};
      buffers[3] = {0, SECBUFFER_EMPTY, nullptr};
      SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
      const SECURITY_STATUS status = DecryptMessage(&context_, &desc, 0, nullptr);
      if (status == SEC_E_INCOMPLETE_MESSAGE) return Status();
      if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE && status != SEC_I_CONTEXT_EXPIRED) {
        return Fail(TlsFailure(status, "受信データを復号できません: " + ReasonText(status)));
      }
      size_t extra = 0;
      size_t data = 0;
      for (const SecBuffer& buffer : buffers) {
        if (buffer.BufferType == SECBUFFER_DATA && buffer.pvBuffer && buffer.cbBuffer > 0) {
          plain->append(static_cast<const char*>(buffer.pvBuffer), buffer.cbBuffer);
          data += buffer.cbBuffer;
        } else if (buffer.BufferType == SECBUFFER_EXTRA) {
          extra = buffer.cbBuffer;
        }
      }
      // Windows reports the peer's closing alert as SEC_I_CONTEXT_EXPIRED;
      // Wine's SChannel as SEC_E_OK with no data. An alert record (TLS 1.2
      // and older show the type outside the encryption) that decrypts to
      // nothing is that alert.
      if (status == SEC_E_OK && data == 0 && recordType == kAlertRecord) {
        input_.erase(0, size - std::min(extra, size));
        peerClosed_ = true;
        break;
      }
      // What follows the record is left untouched at the end of the input.
      if (extra > size) extra = size;
      if (extra == size && data == 0 && status == SEC_E_OK) return Status();  // nothing taken
      input_.erase(0, size - extra);
      if (status == SEC_I_CONTEXT_EXPIRED) {
        peerClosed_ = true;
      } else if (status == SEC_I_RENEGOTIATE) {
        // Before TLS 1.3 this is the server asking for a new handshake,
        // which could change the certificate after it was checked: refused.
        if (protocol_ != "TLSv1.3") {
          return Fail(TlsFailure(
              static_cast<DWORD>(SEC_I_RENEGOTIATE),
              "サーバーが TLS の再ネゴシエーションを求めました (" + protocol_ +
                  ")。確かめた証明書が替わりうるため、再ネゴシエーションには応じません"));
        }
        // A TLS 1.3 post-handshake message (a session ticket or a key
        // update) goes back through InitializeSecurityContext.
        renegotiating_ = true;
        const Step step = PostHandshake();
        if (step == Step::Failed) return error_;
        if (step == Step::WantMore && input_.empty()) return Status();
      }
    }
    return Status();
  }

  bool PeerClosed() const override { return peerClosed_; }

  // Queues the closing alert. Nothing is queued when the system cannot make
  // one; the socket closing ends the connection all the same.
  void Shutdown() override {
    if (!haveContext_ || sentShutdown_ || state_ == State::Failed) return;
    sentShutdown_ = true;
    DWORD type = SCHANNEL_SHUTDOWN;
    SecBuffer control = {sizeof type, SECBUFFER_TOKEN, &type};
    SecBufferDesc controlDesc = {SECBUFFER_VERSION, 1, &control};
    if (ApplyControlToken(&context_, &controlDesc) != SEC_E_OK) return;
    SecBuffer out = {0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc outDesc = {SECBUFFER_VERSION, 1, &out};
    ULONG attributes = 0;
    const SECURITY_STATUS status = InitializeSecurityContextW(
        &credentials_, &context_, TargetName(), kContextFlags, 0, 0, nullptr, 0, nullptr, &outDesc,
        &attributes, nullptr);
    if ((status == SEC_E_OK || status == SEC_I_CONTEXT_EXPIRED) && out.pvBuffer) {
      output_.append(static_cast<const char*>(out.pvBuffer), out.cbBuffer);
    }
    if (out.pvBuffer) FreeContextBuffer(out.pvBuffer);
  }

  const Status& Error() const override { return error_; }
  bool Verified() const override { return verified_; }
  std::string Protocol() const override { return protocol_; }

 private:
  enum class State { Start, Handshaking, Open, Failed };

  // The name for SNI: none for an address (RFC 6066 allows no address
  // literal there); the certificate check still uses target_.
  SEC_WCHAR* TargetName() {
    return target_.empty() || ParseHostLiteral(options_.serverName) ? nullptr
                                                                    : reinterpret_cast<SEC_WCHAR*>(target_.data());
  }

  Step FailStep(Status status) {
    error_ = std::move(status);
    state_ = State::Failed;
    return Step::Failed;
  }
  Status Fail(Status status) {
    error_ = std::move(status);
    state_ = State::Failed;
    return error_;
  }
  Status NotOpen() const {
    if (state_ == State::Failed) return error_;
    return TlsFailure(0, "TLS のハンドシェイクが終わっていません");
  }

  // TLS 1.2 at least. SCH_CREDENTIALS (newer systems, and the only way to
  // TLS 1.3 on them) names the protocols to disable; older systems know only
  // SCHANNEL_CRED, which names those to enable, some of them not TLS 1.3.
  bool AcquireCredentials() {
    TLS_PARAMETERS parameters{};
    parameters.grbitDisabledProtocols =
        SP_PROT_SSL2_CLIENT | SP_PROT_SSL3_CLIENT | SP_PROT_TLS1_0_CLIENT | SP_PROT_TLS1_1_CLIENT;
    SCH_CREDENTIALS modern{};
    modern.dwVersion = SCH_CREDENTIALS_VERSION;
    modern.dwFlags = kCredentialFlags;
    modern.cTlsParameters = 1;
    modern.pTlsParameters = &parameters;
    SECURITY_STATUS status = Acquire(&modern);
    if (status != SEC_E_OK) {
      SCHANNEL_CRED legacy{};
      legacy.dwVersion = SCHANNEL_CRED_VERSION;
      legacy.dwFlags = kCredentialFlags;
      legacy.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT;
      status = Acquire(&legacy);
      if (status != SEC_E_OK) {
        legacy.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
        status = Acquire(&legacy);
      }
    }
    if (status != SEC_E_OK) {
      FailStep(TlsFailure(status, "TLS を準備できません (AcquireCredentialsHandle): " +
                                      ReasonText(status)));
      return false;
    }
    haveCredentials_ = true;
    return true;
  }

  SECURITY_STATUS Acquire(void* authData) {
    TimeStamp expiry{};
    return AcquireCredentialsHandleW(nullptr, const_cast<SEC_WCHAR*>(UNISP_NAME_W),
                                     SECPKG_CRED_OUTBOUND, nullptr, authData, nullptr, nullptr,
                                     &credentials_, &expiry);
  }

  // One or more rounds of InitializeSecurityContext over the input: the
  // handshake, or a post-handshake message after SEC_I_RENEGOTIATE. Done
  // leaves in the input what followed the last handshake message.
  Step Negotiate(bool first) {
    for (int round = 0; round < 64; ++round) {
      if (!first && input_.empty()) return Step::WantMore;
      const size_t size = input_.size();
      SecBuffer inBuffers[2];
      inBuffers[0] = {static_cast<unsigned long>(size), SECBUFFER_TOKEN, input_.data()};
      inBuffers[1] = {0, SECBUFFER_EMPTY, nullptr};
      SecBufferDesc inDesc = {SECBUFFER_VERSION, 2, inBuffers};
      SecBuffer outBuffers[2];
      outBuffers[0] = {0, SECBUFFER_TOKEN, nullptr};
      outBuffers[1] = {0, SECBUFFER_ALERT, nullptr};
      SecBufferDesc outDesc = {SECBUFFER_VERSION, 2, outBuffers};
      ULONG attributes = 0;
      const SECURITY_STATUS status = InitializeSecurityContextW(
          &credentials_, first ? nullptr : &context_, TargetName(), kContextFlags, 0, 0,
          first ? nullptr : &inDesc, 0, first ? &context_ : nullptr, &outDesc, &attributes, nullptr);
      if (first && (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED)) haveContext_ = true;
      // The token goes out even with a failure: it is the alert that tells
      // the server why.
      for (SecBuffer& buffer : outBuffers) {
        if (buffer.pvBuffer) {
          if (buffer.cbBuffer > 0) {
            output_.append(static_cast<const char*>(buffer.pvBuffer), buffer.cbBuffer);
          }
          FreeContextBuffer(buffer.pvBuffer);
        }
      }
      if (status == SEC_E_INCOMPLETE_MESSAGE) return Step::WantMore;
      if (status == SEC_I_INCOMPLETE_CREDENTIALS) {
        // The server asked for a client certificate; there is none to give,
        // and the next round goes on without one.
        continue;
      }
      if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) {
        std::string text = "TLS のハンドシェイクに失敗しました: " + ReasonText(status);
        if (!first) text += ServerAlert(input_);
        return FailStep(TlsFailure(status, text));
      }
      if (!first) {
        size_t extra = inBuffers[1].BufferType == SECBUFFER_EXTRA ? inBuffers[1].cbBuffer : 0;
        if (extra > size) extra = size;
        input_.erase(0, size - extra);
      }
      if (status == SEC_E_OK) return Step::Done;
      if (first) return Step::WantMore;
    }
    return FailStep(TlsFailure(0, "TLS のハンドシェイクが終わりません"));
  }

  // Continues a post-handshake exchange; once it is done the certificate is
  // checked again (when asked), as the exchange went through the handshake
  // machinery once more.
  Step PostHandshake() {
    const Step step = Negotiate(false);
    if (step != Step::Done) return step;
    renegotiating_ = false;
    if (options_.verify) {
      Status checked = CheckCertificate();
      if (!checked) return FailStep(std::move(checked));
    }
    return Step::Done;
  }

  // After the last handshake message: the protocol, the record sizes and,
  // when asked, the certificate.
  Step Finish() {
    SecPkgContext_ConnectionInfo info{};
    if (QueryContextAttributesW(&context_, SECPKG_ATTR_CONNECTION_INFO, &info) == SEC_E_OK) {
      if (info.dwProtocol & SP_PROT_TLS1_3_CLIENT) {
        protocol_ = "TLSv1.3";
      } else if (info.dwProtocol & SP_PROT_TLS1_2_CLIENT) {
        protocol_ = "TLSv1.2";
      } else {
        return FailStep(TlsFailure(
            0, "サーバーが TLS 1.2 より古いプロトコル (" + OldProtocolName(info.dwProtocol) +
                   ") を選びました。TLS 1.2 以上が必要です"));
      }
    } else {
      protocol_ = "TLS";
    }
    const SECURITY_STATUS sizesStatus =
        QueryContextAttributesW(&context_, SECPKG_ATTR_STREAM_SIZES, &sizes_);
    if (sizesStatus != SEC_E_OK || sizes_.cbMaximumMessage == 0) {
      return FailStep(TlsFailure(sizesStatus, "TLS のレコード長を取得できません: " +
                                                  ReasonText(sizesStatus)));
    }
    if (options_.verify) {
      Status checked = CheckCertificate();
      if (!checked) return FailStep(std::move(checked));
      verified_ = true;
    }
    state_ = State::Open;
    return Step::Done;
  }

  Status CheckCertificate() {
    if (target_.empty()) return TlsFailure(0, "証明書を確かめるサーバー名がありません");
    PCCERT_CONTEXT certificate = nullptr;
    SECURITY_STATUS status =
        QueryContextAttributesW(&context_, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate);
    if (status != SEC_E_OK || !certificate) {
      return TlsFailure(status, "証明書をサーバーから受け取れません: " + ReasonText(status));
    }
    Status checked = VerifyServerCertificate(certificate, options_.serverName);
    CertFreeCertificateContext(certificate);
    return checked;
  }

  TlsOptions options_;
  std::u16string target_;
  CredHandle credentials_{};
  CtxtHandle context_{};
  bool haveCredentials_ = false;
  bool haveContext_ = false;
  State state_ = State::Start;
  std::string input_;
  std::string output_;
  SecPkgContext_StreamSizes sizes_{};
  Status error_;
  bool verified_ = false;
  bool peerClosed_ = false;
  bool renegotiating_ = false;
  bool sentShutdown_ = false;
  std::string protocol_;
};

}  // namespace

Status VerifyServerCertificate(PCCERT_CONTEXT certificate, const std::string& serverName) {
  std::u16string target = SjisToUtf16(HostWithoutBrackets(serverName));
  LPSTR usages[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
  CERT_CHAIN_PARA chainPara{};
  chainPara.cbSize = sizeof chainPara;
  chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
  chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
  chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  if (!CertGetCertificateChain(HCCE_LOCAL_MACHINE, certificate, nullptr, certificate->hCertStore,
                               &chainPara, 0, nullptr, &chain)) {
    const DWORD error = GetLastError();
    return TlsFailure(error, "証明書の検証に失敗しました (" + serverName +
                                 "): " + ReasonText(error));
  }
  // The chain itself first: the name is worth checking only on a chain
  // that reaches a trusted root.
  if (const DWORD errors = chain->TrustStatus.dwErrorStatus & ~kIgnoredChainErrors) {
    CertFreeCertificateChain(chain);
    const ChainVerdict verdict = ChainErrorsVerdict(errors);
    return TlsFailure(verdict.code, "証明書の検証に失敗しました (" + serverName +
                                        "): " + verdict.text);
  }
  HTTPSPolicyCallbackData https{};
  https.cbStruct = sizeof https;
  https.dwAuthType = AUTHTYPE_SERVER;
  https.pwszServerName = reinterpret_cast<WCHAR*>(target.data());
  CERT_CHAIN_POLICY_PARA policy{};
  policy.cbSize = sizeof policy;
  policy.pvExtraPolicyPara = &https;
  CERT_CHAIN_POLICY_STATUS verdict{};
  verdict.cbSize = sizeof verdict;
  BOOL checked = CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy,
                                                  &verdict);
  if (checked && static_cast<HRESULT>(verdict.dwError) == CERT_E_CN_NO_MATCH &&
      HasIpAddress(certificate, HostWithoutBrackets(serverName))) {
    // An address is matched against the certificate's IP address names,
    // which not every system's policy does (Wine's does not); the rest of
    // the policy must still hold.
    https.fdwChecks = kIgnoreNameMismatch;
    verdict = {};
    verdict.cbSize = sizeof verdict;
    checked = CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &verdict);
  }
  const DWORD error = checked ? verdict.dwError : GetLastError();
  CertFreeCertificateChain(chain);
  if (!checked || error != 0) {
    return TlsFailure(error, "証明書の検証に失敗しました (" + serverName +
                                 "): " + ReasonText(error));
  }
  return Status();
}

std::unique_ptr<TlsEngine> NewTlsEngine(const TlsOptions& options) {
  return std::make_unique<SchannelEngine>(options);
}

}  // namespace qw
