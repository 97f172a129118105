// The SMTP password as the settings file holds it: after a load, a clear
// password typed by hand is replaced by its protected form, and a file that
// holds a password others can read is said.
#pragma once

#include <string>

#include "common/watch_settings.h"
#include "platform/profile.h"
#include "service/entries.h"

namespace qw {

// The name of the POSIX host's credential that holds the SMTP password
// (a file of that name in $CREDENTIALS_DIRECTORY).
inline constexpr const char* kCredentialName = "smtp-password";
// The credential that holds the OAuth 2.0 client secret (CLIENTSECRET).
inline constexpr const char* kClientSecretCredentialName = "oauth-client-secret";
// What works, told after "the settings file holds a password that others can read".
#ifdef _WIN32
inline constexpr const char* kReadableSecretAdvice =
    "管理者として QuotawardenService.exe /SETSECRET PASSWORD を実行する (パスワードは標準入力から) か、"
    "コントロール パネルで設定を保存し直すと、SYSTEM と Administrators だけが読める権限になります。";
#else
inline constexpr const char* kReadableSecretAdvice =
    "パスワードは systemd の資格情報に移してください: root だけが読めるファイル /etc/quotawarden/smtp-password "
    "(chmod 600) に書き、設定ファイルの PASSWORD を空にすると、同梱のユニットが LoadCredential= でサービスに渡します "
    "(QuotawardenService --set-secret PASSWORD がそのファイルを作ります)。";
#endif
// The same for a file that holds the OAuth 2.0 client secret (CLIENTSECRET).
#ifdef _WIN32
inline constexpr const char* kReadableClientSecretAdvice =
    "管理者として QuotawardenService.exe /SETSECRET CLIENTSECRET を実行する (値は標準入力から) か、"
    "コントロール パネルで設定を保存し直すと、SYSTEM と Administrators だけが読める権限になります。";
#else
inline constexpr const char* kReadableClientSecretAdvice =
    "クライアント シークレットは systemd の資格情報に移してください: QuotawardenService --set-secret CLIENTSECRET "
    "が root だけが読めるファイル /etc/quotawarden/oauth-client-secret を作り、同梱のユニットが LoadCredential= "
    "でサービスに渡します。設定ファイルの CLIENTSECRET は空にしてください。";
#endif
// The same for a file that holds webhook URLs or headers ([WEBHOOKn]):
// there is no credential for them, the file itself has to be kept private.
#ifdef _WIN32
inline constexpr const char* kReadableWebhookAdvice =
    "通知先の URL とヘッダーは、それを読めるだれもが通知を送れる秘密です。"
    "コントロール パネルで設定を保存し直すと、SYSTEM と Administrators だけが読める権限になります。";
#else
inline constexpr const char* kReadableWebhookAdvice =
    "通知先の URL とヘッダーは、それを読めるだれもが通知を送れる秘密です。資格情報には移せないため、"
    "設定ファイルを読めるのをサービスのユーザーだけにしてください (同梱のユニットは DynamicUser=yes です: "
    "User= と Group= を決めたドロップインを作り、ファイルをそのグループの 0640 にします)。";
#endif

// `settingsPath`: the file's full path (empty: nothing is done);
// `credential`: a password from the host's own store, which makes the
// file's PASSWORD unused.
void CareForStoredSecret(Profiles& profiles, EntryWriter& entries, const std::string& settingsPath,
                         const std::string& credential, const WatchSettings& loaded);

}  // namespace qw
