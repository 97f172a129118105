// The alert mail: the check's report (or the recovery notice) sent to the
// To and Cc addresses of the settings as an ISO-2022-JP mail that Japanese
// mail readers show as it is. Each attempt uses an SMTP client made on the
// calling thread and destroyed there; a stop ends it through Slot().
#pragma once

#include <string>

#include "common/watch_settings.h"
#include "mail/client_slot.h"
#include "mail/mail_message.h"
#include "mail/mail_token.h"
#include "mail/smtp_client.h"
#include "mail/smtp_settings.h"
#include "platform/system_info.h"

namespace qw {

// The error entry that follows an alert mail that failed, or reached only
// some recipients: the fixed start, then the failed step and the reason, or
// one "RCPT <address>: <reply>" line per refused recipient. Empty when the
// mail reached everyone.
// The subjects of the alert mail, the forecast mail and the recovery notice.
inline constexpr const char* kAlertSubject = "ドライブ領域不足のお知らせ";
inline constexpr const char* kForecastSubject = "ドライブ領域不足の予測のお知らせ";
inline constexpr const char* kRecoverySubject = "ドライブ領域回復のお知らせ";
inline constexpr const char* kAlertNotSent = "警告メールを送信できませんでした: ";
inline constexpr const char* kAlertPartlySent = "警告メールは次の宛先に届きませんでした: ";
std::string AlertFailureText(const TDeliveryResult& result);
// The error entry of an attempt: AlertFailureText (worded for the recovery
// notice when `recovery`), then `note` on a line of its own; empty when the
// mail reached everyone.
std::string AlertFailureEntry(const TDeliveryResult& result, bool recovery, const std::string& note);
inline constexpr const char* kRecoveryNotSent = "回復のお知らせを送信できませんでした: ";
// The information entries that follow an alert sent in a weaker way than
// usual: over TLS whose certificate was not checked (TLSVERIFY=0), and with
// the password sent without encryption (SECURITY=NONE with a USER).
inline constexpr const char* kAlertUnverified =
    "警告メールは証明書を検証していない暗号化接続で送信しました (TLSVERIFY=0)。";
inline constexpr const char* kAlertPasswordInClear =
    "警告メールの送信でパスワードを暗号化せずにサーバーへ送りました (SECURITY=NONE)。";


class AlertSender {
 public:
  // `http` makes the HTTP client of the token fetch (OAuth 2.0 login).
  explicit AlertSender(SystemInfo& system, CancellableHttp::Factory http = NewHttpClient);

  // Composes the mail of `report` and delivers it with `settings`' server
  // and addresses. `recipients` (a comma list of bare addresses), when not
  // empty, is the envelope of this attempt; the header lines still name the
  // To and Cc addresses of the settings. A connection that failed names the
  // server it tried. An OAuth 2.0 login gets its token through Login(),
  // kept from one attempt to the next. `forecast`: the report tells only
  // drives forecast to fill soon, and the mail says so in its subject.
  TDeliveryResult Send(const std::string& report, bool recovery, const std::string& recipients,
                       const TTestMailSettings& settings, bool forecast = false);

  TMailMessage& Message() { return message_; }
  // A Cancel of the slot also ends the token fetch.
  ClientSlot& Slot() { return slot_; }
  MailLogin& Login() { return login_; }

 private:
  SystemInfo& system_;
  TMailMessage message_;
  MailLogin login_;
  ClientSlot slot_;
};

}  // namespace qw
