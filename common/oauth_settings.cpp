#include "common/oauth_settings.h"

#include <memory>

#include "common/drivewarden_common.h"
#include "common/errors.h"
#include "common/json.h"
#include "common/watch_settings.h"
#include "platform/ascii_text.h"
#include "platform/files.h"
#include "platform/secret.h"
#include "platform/signing_key.h"

namespace qw {
namespace {

Status Refusal(const char* key, const std::string& reason) { return Status::Failure(key, 0, reason); }

bool IsAlnum(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }
bool IsHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// The value less surrounding blanks; a failure for a value too long to be a
// setting or holding control bytes or bytes beyond ASCII.
Result<std::string> PlainValue(const char* key, const std::string& text, bool spacesInside) {
  const std::string value(TrimControls(text));
  if (value.size() > kMaxOAuthValue)
    return Refusal(key, std::to_string(kMaxOAuthValue) + " バイトを超えています");
  for (char c : value) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) return Refusal(key, "制御文字が含まれています");
    if (u >= 0x80) return Refusal(key, "ASCII 以外の文字が含まれています");
    if (c == ' ' && !spacesInside) return Refusal(key, "空白が含まれています");
  }
  return value;
}

bool StartsWithNoCase(const std::string& text, const char* prefix) {
  const std::string head = AsciiUpperCase(std::string_view(text).substr(0, std::string_view(prefix).size()));
  return head == AsciiUpperCase(prefix);
}

// A host of a URL or proxy: a name of letters, digits, '-', '.', '_', or a
// bracketed IPv6 address.
bool IsHostText(const std::string& host) {
  if (host.empty()) return false;
  if (host.front() == '[') {
    if (host.size() < 3 || host.back() != ']') return false;
    for (size_t i = 1; i + 1 < host.size(); ++i)
      if (!IsHex(host[i]) && host[i] != ':' && host[i] != '.') return false;
    return true;
  }
  for (char c : host)
    if (!IsAlnum(c) && c != '-' && c != '.' && c != '_') return false;
  return true;
}

// "host[:port]" of an authority; false when the host or port is no such.
bool SplitAuthority(const std::string& authority, std::string* host, bool portRequired) {
  size_t colon = std::string::npos;
  if (!authority.empty() && authority.front() == '[') {
    const size_t close = authority.find(']');
    if (close == std::string::npos) return false;
    if (close + 1 < authority.size()) {
      if (authority[close + 1] != ':') return false;
      colon = close + 1;
    }
  } else {
    colon = authority.find(':');
  }
  *host = authority.substr(0, colon);
  if (!IsHostText(*host)) return false;
  if (colon == std::string::npos) return !portRequired;
  const std::string port = authority.substr(colon + 1);
  if (port.empty() || port.size() > 5) return false;
  for (char c : port)
    if (c < '0' || c > '9') return false;
  const int number = std::stoi(port);
  return number >= 1 && number <= 65535;
}

bool IsLoopbackHost(const std::string& host) {
  const std::string lower = AsciiUpperCase(host);
  return lower == "LOCALHOST" || host == "127.0.0.1" || host == "[::1]";
}

// The reason a token URL is refused, or empty when it is a token URL.
std::string TokenUrlProblem(const std::string& url) {
  const bool https = StartsWithNoCase(url, "https://");
  const bool http = StartsWithNoCase(url, "http://");
  if (!https && !http) return "https:// で始まる URL ではありません";
  const std::string rest = url.substr(https ? 8 : 7);
  const size_t end = rest.find_first_of("/?#");
  const std::string authority = rest.substr(0, end);
  if (authority.find('@') != std::string::npos) return "URL に利用者名やパスワードは書けません";
  std::string host;
  if (!SplitAuthority(authority, &host, false)) return "URL のホスト名またはポート番号が正しくありません";
  if (url.find('#') != std::string::npos) return "URL に # 以降は書けません";
  if (http && !IsLoopbackHost(host))
    return "http:// はこのコンピューター自身 (localhost) にだけ使えます。https:// を使ってください";
  return "";
}

std::string ShownMessage(const char* key, const std::string& value, const Status& reason) {
  return SettingsValueError(kIniFileName, kSectionMail, key, value, reason.Text()).what();
}

// A failure of a key whose value is a secret: the value is never shown.
std::string SecretMessage(const char* key, const std::string& reason) {
  return std::string("設定ファイル ") + kIniFileName + " の [" + kSectionMail + "] " + key + " を読めません: " +
         reason;
}

Status Problem(const char* key, const std::string& message) { return Status::Failure(key, 0, message); }

}  // namespace

Result<MailAuth> ParseMailAuth(const std::string& text) {
  const std::string word = AsciiUpperCase(TrimControls(text));
  if (word.empty() || word == "PASSWORD") return MailAuth::Password;
  if (word == "OAUTH2") return MailAuth::OAuth2;
  return Refusal(kKeyAuth, "PASSWORD、OAUTH2 のいずれかではありません");
}

Result<std::string> ParseTenant(const std::string& text) {
  Result<std::string> value = PlainValue(kKeyTenant, text, false);
  if (!value || value->empty()) return value;
  const std::string& tenant = *value;
  const Status bad = Refusal(kKeyTenant, "テナント ID (GUID) またはドメイン名ではありません");
  if (tenant.size() > 253) return bad;
  size_t label = 0;
  for (size_t i = 0; i < tenant.size(); ++i) {
    const char c = tenant[i];
    if (c == '.') {
      if (label == 0 || tenant[i - 1] == '-') return bad;
      label = 0;
    } else if (IsAlnum(c) || (c == '-' && label > 0)) {
      if (++label > 63) return bad;
    } else {
      return bad;
    }
  }
  if (label == 0 || tenant.back() == '-') return bad;
  return value;
}

Result<std::string> ParseTokenUrl(const std::string& text) {
  Result<std::string> value = PlainValue(kKeyTokenUrl, text, false);
  if (!value || value->empty()) return value;
  const std::string problem = TokenUrlProblem(*value);
  if (!problem.empty()) return Refusal(kKeyTokenUrl, problem);
  return value;
}

Result<std::string> ParseScope(const std::string& text) {
  Result<std::string> value = PlainValue(kKeyScope, text, true);
  if (!value) return value;
  for (size_t i = 0; i < value->size(); ++i) {
    const char c = (*value)[i];
    if (c == '"' || c == '\\') return Refusal(kKeyScope, "\" と \\ は使えません");
    if (c == ' ' && i > 0 && (*value)[i - 1] == ' ') return Refusal(kKeyScope, "スコープの間の空白は 1 つにしてください");
  }
  return value;
}

Result<std::string> ParseClientId(const std::string& text) { return PlainValue(kKeyClientId, text, false); }

Result<std::string> ParseClientCert(const std::string& text) {
#ifdef _WIN32
  Result<std::string> value = PlainValue(kKeyClientCert, text, true);
  if (!value || value->empty()) return value;
  std::string digits;
  for (char c : *value) {
    if (c == ' ' || c == ':') continue;
    if (!IsHex(c)) return Refusal(kKeyClientCert, "証明書の拇印 (16 進数 40 桁) ではありません");
    digits += c;
  }
  if (digits.size() != 40) return Refusal(kKeyClientCert, "証明書の拇印 (16 進数 40 桁) ではありません");
  return AsciiUpperCase(digits);
#else
  const std::string value(TrimControls(text));
  if (value.empty()) return value;
  if (value.size() > kMaxOAuthValue) return Refusal(kKeyClientCert, std::to_string(kMaxOAuthValue) + " バイトを超えています");
  if (!IsAbsolutePath(value)) return Refusal(kKeyClientCert, "証明書と秘密鍵の PEM ファイルの絶対パスではありません");
  return value;
#endif
}

Result<std::string> ParseServiceAccountPath(const std::string& text) {
  const std::string value(TrimControls(text));
  if (value.empty()) return value;
  if (value.size() > kMaxOAuthValue)
    return Refusal(kKeyServiceAccount, std::to_string(kMaxOAuthValue) + " バイトを超えています");
  for (char c : value)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return Refusal(kKeyServiceAccount, "制御文字が含まれています");
  if (!IsAbsolutePath(value)) return Refusal(kKeyServiceAccount, "サービス アカウントの鍵ファイル (JSON) の絶対パスではありません");
  return value;
}

Result<std::string> ParseProxy(const std::string& text) {
  Result<std::string> value = PlainValue(kKeyProxy, text, false);
  if (!value || value->empty()) return value;
  std::string authority = *value;
  if (StartsWithNoCase(authority, "http://")) authority = authority.substr(7);
  if (!authority.empty() && authority.back() == '/') authority.pop_back();
  std::string host;
  if (authority.find('@') != std::string::npos || !SplitAuthority(authority, &host, true))
    return Refusal(kKeyProxy, "「ホスト名:ポート番号」または「http://ホスト名:ポート番号」ではありません");
  return value;
}

Result<ServiceAccountFields> ReadServiceAccountFile(const std::string& path) {
  const Result<std::string> text = ReadWholeFile(path, kMaxServiceAccountKeyFile);
  if (!text) {
    const Status& read = text.status();
    return Status::Failure(kKeyServiceAccount, read.Code(), "鍵ファイルを読めません: " + read.Describe(), read.Kind());
  }
  const Result<JsonValue> parsed = ParseJson(*text, JsonLimits{kMaxServiceAccountKeyFile, 8});
  if (!parsed || !parsed->IsObject())
    return Refusal(kKeyServiceAccount, "鍵ファイルが JSON のオブジェクトではありません" +
                                           (parsed ? std::string() : " (" + parsed.status().Text() + ")"));
  if (const JsonValue* type = parsed->Find("type"); type && (!type->IsString() || type->Text() != "service_account"))
    return Refusal(kKeyServiceAccount, "鍵ファイルがサービス アカウントの鍵ではありません (type)");
  ServiceAccountFields fields;
  struct Field {
    const char* name;
    std::string* into;
  };
  for (const Field& field : {Field{"client_email", &fields.clientEmail}, Field{"private_key", &fields.privateKeyPem},
                             Field{"private_key_id", &fields.privateKeyId}, Field{"token_uri", &fields.tokenUri}}) {
    const std::optional<std::string> value = parsed->FindString(field.name);
    if (!value || value->empty())
      return Refusal(kKeyServiceAccount, std::string("鍵ファイルに ") + field.name + " (空でない文字列) がありません");
    *field.into = *value;
  }
  const std::string uriProblem = TokenUrlProblem(fields.tokenUri);
  if (!uriProblem.empty()) return Refusal(kKeyServiceAccount, "鍵ファイルの token_uri: " + uriProblem);
  const Result<std::unique_ptr<SigningKey>> key = LoadPemPrivateKey(fields.privateKeyPem, path);
  if (!key) return Refusal(kKeyServiceAccount, "鍵ファイルの private_key を使えません: " + key.status().Describe());
  return fields;
}

Status CheckClientCert(const std::string& clientCert) {
  const Result<std::unique_ptr<SigningKey>> key = OpenCertificateKey(clientCert);
  if (!key) return Refusal(kKeyClientCert, "証明書または秘密鍵を使えません: " + key.status().Describe());
  return Status();
}

Result<OAuthSettings> ReadOAuthSettings(const ProfileSnapshot& ini, const OAuthInputs& inputs) {
  OAuthSettings next;
  const auto read = [&](const char* key) { return ini.ReadString(kSectionMail, key, ""); };
  const std::string authText = read(kKeyAuth);
  const Result<MailAuth> auth = ParseMailAuth(authText);
  if (!auth) return Problem(kKeyAuth, ShownMessage(kKeyAuth, authText, auth.status()));
  next.auth = *auth;
  if (!next.IsOAuth2()) return next;
  if (!inputs.tls)
    return Problem(kKeyAuth, ShownMessage(kKeyAuth, authText,
                                          Refusal(kKeyAuth, "暗号化なし (SECURITY=NONE) では使えません。"
                                                            "SECURITY を STARTTLS か TLS にしてください")));
  if (TrimControls(inputs.user).empty())
    return Problem(kKeyUser, ShownMessage(kKeyUser, inputs.user,
                                          Refusal(kKeyUser, "AUTH=OAUTH2 では送信するメールボックスが必要です")));

  // The plain fields, each by its parser.
  struct TextField {
    const char* key;
    Result<std::string> (*parse)(const std::string&);
    std::string* into;
  };
  const TextField fields[] = {{kKeyTenant, ParseTenant, &next.tenant},
                              {kKeyTokenUrl, ParseTokenUrl, &next.tokenUrl},
                              {kKeyScope, ParseScope, &next.scope},
                              {kKeyClientId, ParseClientId, &next.clientId},
                              {kKeyClientCert, ParseClientCert, &next.clientCert},
                              {kKeyServiceAccount, ParseServiceAccountPath, &next.serviceAccount},
                              {kKeyProxy, ParseProxy, &next.proxy}};
  for (const TextField& field : fields) {
    const std::string text = read(field.key);
    Result<std::string> value = field.parse(text);
    if (!value) return Problem(field.key, ShownMessage(field.key, text, value.status()));
    *field.into = *value;
  }

  // CLIENTSECRET: as PASSWORD is kept; the host's own store wins.
  const std::string stored = read(kKeyClientSecret);
  next.clientSecretInFile = !TrimControls(stored).empty();
  if (!inputs.credentialSecret.empty()) {
    next.clientSecret = inputs.credentialSecret;
  } else if (next.clientSecretInFile) {
    const Result<std::string> clear = UnprotectSecret(stored);
    if (!clear) return Problem(kKeyClientSecret, SecretMessage(kKeyClientSecret, clear.status().Text()));
    next.clientSecret = *clear;
    if (!IsProtectedSecret(stored)) {
      const Result<std::string> protectedForm = ProtectSecret(next.clientSecret);
      if (!protectedForm.Ok())
        next.protectFailure = protectedForm.status().Describe();
      else if (*protectedForm != stored)
        next.protectedClientSecret = *protectedForm;
    }
  }
  for (char c : next.clientSecret)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
      return Problem(kKeyClientSecret, SecretMessage(kKeyClientSecret, "制御文字が含まれています"));

  // Exactly one credential.
  const int given = (next.clientSecret.empty() ? 0 : 1) + (next.clientCert.empty() ? 0 : 1) +
                    (next.serviceAccount.empty() ? 0 : 1);
  if (given != 1) {
    const std::string reason = given == 0
                                   ? "CLIENTSECRET、CLIENTCERT、SERVICEACCOUNT のどれか 1 つが必要です"
                                   : "CLIENTSECRET、CLIENTCERT、SERVICEACCOUNT は 1 つだけにしてください";
    return Problem(kKeyAuth, ShownMessage(kKeyAuth, authText, Refusal(kKeyAuth, reason)));
  }
  const std::string none;
  if (!next.serviceAccount.empty()) {
    next.credential = OAuthCredential::ServiceAccount;
    const Result<ServiceAccountFields> account = ReadServiceAccountFile(next.serviceAccount);
    if (!account) return Problem(kKeyServiceAccount, ShownMessage(kKeyServiceAccount, next.serviceAccount, account.status()));
    next.accountEmail = account->clientEmail;
    next.accountKeyPem = account->privateKeyPem;
    next.accountKeyId = account->privateKeyId;
    if (next.tokenUrl.empty()) next.tokenUrl = account->tokenUri;
    if (next.scope.empty()) next.scope = kGoogleDefaultScope;
    return next;
  }
  next.credential = next.clientCert.empty() ? OAuthCredential::ClientSecret : OAuthCredential::ClientCert;
  if (next.clientId.empty())
    return Problem(kKeyClientId, ShownMessage(kKeyClientId, none, Refusal(kKeyClientId, "アプリケーションのクライアント ID が必要です")));
  if (next.tokenUrl.empty()) {
    if (next.tenant.empty())
      return Problem(kKeyTenant, ShownMessage(kKeyTenant, none, Refusal(kKeyTenant, "TENANT か TOKENURL のどちらかが必要です")));
    next.tokenUrl = kMicrosoftTokenUrlHead + next.tenant + kMicrosoftTokenUrlTail;
  }
  if (next.scope.empty()) {
    if (next.tenant.empty())
      return Problem(kKeyScope, ShownMessage(kKeyScope, none, Refusal(kKeyScope, "TENANT を書かないときは SCOPE が必要です")));
    next.scope = kMicrosoftDefaultScope;
  }
  // The certificate and its key are opened here, so that a thumbprint not
  // in the store or a PEM file that is not there fails the load.
  if (next.credential == OAuthCredential::ClientCert && inputs.openClientCert) {
    const Status usable = CheckClientCert(next.clientCert);
    if (!usable) return Problem(kKeyClientCert, ShownMessage(kKeyClientCert, next.clientCert, usable));
  }
  return next;
}

}  // namespace qw
