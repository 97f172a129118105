// The [MAIL] keys of the OAuth 2.0 login: AUTH picks the login (the
// password, or a bearer token from an OAuth 2.0 token endpoint), and with
// AUTH=OAUTH2 the keys below say where the token comes from and how the
// client proves itself. A file without them keeps the password login.
//
//   AUTH           PASSWORD (or empty) | OAUTH2
//   TENANT         a Microsoft tenant ID or domain: gives TOKENURL and SCOPE
//   TOKENURL       the token endpoint (https; http only to a loopback host)
//   SCOPE          the scope asked for
//   CLIENTID       the application's ID (not for SERVICEACCOUNT)
//   CLIENTSECRET   the application's secret, stored as PASSWORD is
//   CLIENTCERT     Windows: the thumbprint of a certificate in the local
//                  machine's personal store; POSIX: a PEM file holding the
//                  certificate and its private key
//   SERVICEACCOUNT a Google service account's JSON key file
//   PROXY          host:port or http://host:port of a proxy for the token
//                  request (empty: the platform's own proxy settings)
//
// Exactly one of CLIENTSECRET, CLIENTCERT and SERVICEACCOUNT. The field
// parsers are what a dialog calls for one field; each failure's What() names
// the key and its Text() is the reason, worded for "<key>=<value>: ".
#pragma once

#include <string>

#include "platform/profile.h"
#include "platform/status.h"

namespace qw {

inline constexpr const char* kKeyAuth = "AUTH";
inline constexpr const char* kKeyTenant = "TENANT";
inline constexpr const char* kKeyTokenUrl = "TOKENURL";
inline constexpr const char* kKeyScope = "SCOPE";
inline constexpr const char* kKeyClientId = "CLIENTID";
inline constexpr const char* kKeyClientSecret = "CLIENTSECRET";
inline constexpr const char* kKeyClientCert = "CLIENTCERT";
inline constexpr const char* kKeyServiceAccount = "SERVICEACCOUNT";
inline constexpr const char* kKeyProxy = "PROXY";

// The defaults a tenant gives, and the scope of a service account.
inline constexpr const char* kMicrosoftTokenUrlHead = "https://login.microsoftonline.com/";
inline constexpr const char* kMicrosoftTokenUrlTail = "/oauth2/v2.0/token";
inline constexpr const char* kMicrosoftDefaultScope = "https://outlook.office365.com/.default";
inline constexpr const char* kGoogleDefaultScope = "https://mail.google.com/";

// The longest value of a text key (a URL, an ID, a path); a longer one is
// no setting.
inline constexpr size_t kMaxOAuthValue = 2048;
// The largest service account key file read.
inline constexpr size_t kMaxServiceAccountKeyFile = 64 * 1024;

enum class MailAuth { Password, OAuth2 };
enum class OAuthCredential { None, ClientSecret, ClientCert, ServiceAccount };

struct OAuthSettings {
  MailAuth auth = MailAuth::Password;
  // The rest is set only for OAuth2.
  OAuthCredential credential = OAuthCredential::None;
  std::string tenant;
  std::string tokenUrl;  // as resolved: TOKENURL, else TENANT's, else the key's token_uri
  std::string scope;     // as resolved: SCOPE, else TENANT's, else Google's (SERVICEACCOUNT)
  std::string clientId;
  std::string clientSecret;          // in clear
  bool clientSecretInFile = false;   // the file's CLIENTSECRET is not empty
  std::string protectedClientSecret; // the protected form of a clear CLIENTSECRET, to store
  std::string protectFailure;        // why a clear CLIENTSECRET could not be protected
  std::string clientCert;            // thumbprint (Windows) or PEM path (POSIX)
  std::string serviceAccount;        // the key file's path
  // From the service account's key file, read at the load.
  std::string accountEmail;     // client_email: the assertion's issuer
  std::string accountKeyPem;    // private_key
  std::string accountKeyId;     // private_key_id
  std::string proxy;

  bool IsOAuth2() const { return auth == MailAuth::OAuth2; }
  bool operator==(const OAuthSettings&) const = default;
};

// AUTH: PASSWORD or OAUTH2 in any case, blanks around ignored; empty is PASSWORD.
Result<MailAuth> ParseMailAuth(const std::string& text);
// TENANT: a tenant ID (a GUID) or a domain (letters, digits, '-', dots
// between labels); empty is none.
Result<std::string> ParseTenant(const std::string& text);
// TOKENURL: an https:// URL with a host, or http:// to localhost, 127.0.0.1
// or [::1]; empty is none.
Result<std::string> ParseTokenUrl(const std::string& text);
// SCOPE: visible ASCII, scopes separated by single spaces; empty is none.
Result<std::string> ParseScope(const std::string& text);
// CLIENTID: visible ASCII without blanks; empty is none.
Result<std::string> ParseClientId(const std::string& text);
// CLIENTCERT as its form goes (the file is not opened): Windows 40
// hexadecimal digits (spaces and colons between them ignored, as copied
// from the certificate's details), given back as upper-case digits only;
// POSIX an absolute path. Empty is none.
Result<std::string> ParseClientCert(const std::string& text);
// SERVICEACCOUNT: an absolute path; empty is none.
Result<std::string> ParseServiceAccountPath(const std::string& text);
// PROXY: host:port or http://host:port (port 1 to 65535); empty is none.
Result<std::string> ParseProxy(const std::string& text);

// The fields of a service account's JSON key file that the login needs.
struct ServiceAccountFields {
  std::string clientEmail;
  std::string privateKeyPem;
  std::string privateKeyId;
  std::string tokenUri;
};
// Reads and checks the key file at `path` (JSON, "type" service_account
// when given, the four fields non-empty strings, a PEM private key that
// loads, a token_uri as TOKENURL is held to). Fails naming SERVICEACCOUNT;
// the text says why and never holds the file's content.
Result<ServiceAccountFields> ReadServiceAccountFile(const std::string& path);
// Opens the certificate and its key as CLIENTCERT names them, to prove
// they can be used. Fails naming CLIENTCERT with what the system said.
Status CheckClientCert(const std::string& clientCert);

// What the reader needs besides the file.
struct OAuthInputs {
  bool tls = false;                 // SECURITY is STARTTLS or TLS
  std::string user;                 // USER, as read
  std::string credentialSecret;     // CLIENTSECRET from the host's own store; wins
  // Opens CLIENTCERT's certificate and key at the load (CheckClientCert).
  // A process that may not open the machine's keys (an applet run by a
  // user) passes false and leaves that to the service.
  bool openClientCert = true;
};

// Reads the keys above from [MAIL]. With AUTH=PASSWORD (or none) only AUTH
// is read. A failure's What() names the key and its Text() is the whole
// message for an entry or the load's error: "設定ファイル Drivewarden.ini
// の [MAIL] <key>=<value>: <reason>" (a secret's value is never shown).
Result<OAuthSettings> ReadOAuthSettings(const ProfileSnapshot& ini, const OAuthInputs& inputs);

}  // namespace qw
