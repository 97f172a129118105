#include "mail/smtp_settings.h"

namespace qw {

void ApplyServerSettings(TSMTPClient& client, const TTestMailSettings& settings) {
  client.Host = settings.host;
  client.Port = settings.port;
  client.Security = settings.security;
  client.TlsVerify = settings.tlsVerify;
  client.User = settings.user;
  client.Password = settings.password;
  client.SetTimeOut(settings.timeOut);
  client.Deadline = settings.deadline;
}

TTestMailSettings MailSettingsOf(const WatchSettings& settings, int timeOut, int deadline) {
  TTestMailSettings mail;
  mail.host = settings.smtpHost;
  mail.port = settings.smtpPort;
  switch (settings.security) {
    case MailSecurity::None:
      mail.security = TSmtpSecurity::None;
      break;
    case MailSecurity::StartTls:
      mail.security = TSmtpSecurity::StartTls;
      break;
    case MailSecurity::Tls:
      mail.security = TSmtpSecurity::Tls;
      break;
  }
  mail.tlsVerify = settings.tlsVerify;
  mail.user = settings.user;
  mail.password = settings.password;
  mail.from = settings.mailFrom;
  mail.to = settings.mailTo;
  mail.cc = settings.mailCc;
  mail.timeOut = timeOut;
  mail.deadline = deadline;
  mail.oauth = settings.oauth;
  return mail;
}

}  // namespace qw
