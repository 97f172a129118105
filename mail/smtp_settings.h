// The mail settings an SMTP attempt is made with, whether for the alert
// mail or the test mail, and how the watch's settings and the client take
// them.
#pragma once

#include <string>

#include "common/watch_settings.h"
#include "mail/smtp_client.h"

namespace qw {

// The mail settings (Shift-JIS where text).
struct TTestMailSettings {
  std::string host;
  int port = 25;
  TSmtpSecurity security = TSmtpSecurity::None;
  bool tlsVerify = true;
  std::string user;
  std::string password;
  std::string from;
  std::string to;  // comma list
  std::string cc;  // comma list, may be empty
  int timeOut = 60;
  int deadline = 300;
  // The login by OAuth 2.0 (AUTH=OAUTH2): user is then the mailbox, and the
  // token is fetched by the sender.
  OAuthSettings oauth;
};

// Gives `client` the server, security, login and time-outs of `settings`
// (the alert mail and the test mail are sent alike).
void ApplyServerSettings(TSMTPClient& client, const TTestMailSettings& settings);

// The server, security, login and addresses of the watch's `settings`, with
// the silence time-out and the deadline in seconds.
TTestMailSettings MailSettingsOf(const WatchSettings& settings, int timeOut, int deadline);

}  // namespace qw
