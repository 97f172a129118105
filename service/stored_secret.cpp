#include "service/stored_secret.h"

#include <vector>

#include "platform/secret.h"
#include "platform/secure_file.h"

namespace qw {

namespace {

// A clear secret typed into the file (`key`: PASSWORD, CLIENTSECRET) is
// replaced by its protected form, where the platform has one.
void ProtectTypedSecret(Profiles& profiles, EntryWriter& entries, const std::string& settingsPath, const char* key,
                        const std::string& clear, const std::string& protectedForm, const std::string& failure) {
  const std::string name = "設定ファイル " + settingsPath + " の [" + kSectionMail + "] " + key;
  if (!failure.empty()) entries.Warning(name + " は平文のままです。保護できません: " + failure);
  if (protectedForm.empty()) return;
  // The file as it is now, so that nothing written since the load is
  // lost; a secret changed since is left to the next load.
  Result<ProfileSnapshot> read = profiles.ReadSnapshot(kIniFileName);
  Status written = read.status();
  ProfileSnapshot current = read.value_or(ProfileSnapshot());
  const std::string now = current.ReadString(kSectionMail, key, "");
  const bool same = written.Ok() && !IsProtectedSecret(now) && now == clear;
  if (same) {
    current.WriteString(kSectionMail, key, protectedForm);
    written = profiles.WriteSnapshot(kIniFileName, current);
  }
  if (!same && written.Ok()) {
    // Changed since the load: the next load sees the new value.
  } else if (!written.Ok()) {
    entries.Warning(name + " は平文のままです。保護した形に置き換えられませんでした: " + written.Describe());
  } else {
    std::string text = name + " は平文でした。保護した形に置き換えました。";
    if (const Status rights = ProtectSettingsFile(settingsPath); !rights)
      text += "\r\nファイルの権限は限れませんでした: " + rights.Describe();
    entries.Information(text);
  }
}

}  // namespace

void CareForStoredSecret(Profiles& profiles, EntryWriter& entries, const std::string& settingsPath,
                         const std::string& credential, const WatchSettings& loaded) {
  if (settingsPath.empty()) return;
  const std::string key = "設定ファイル " + settingsPath + " の [" + kSectionMail + "] " + kKeyPassword;
  ProtectTypedSecret(profiles, entries, settingsPath, kKeyPassword, loaded.password, loaded.protectedPassword,
                     loaded.protectFailure);
  const OAuthSettings& oauth = loaded.oauth;
  ProtectTypedSecret(profiles, entries, settingsPath, kKeyClientSecret, oauth.clientSecret,
                     oauth.protectedClientSecret, oauth.protectFailure);
  // The webhook URLs and headers typed in clear: their protected forms, as
  // the password's.
  for (const std::string& failure : loaded.webhooks.protectFailures)
    entries.Warning("設定ファイル " + settingsPath + " の " + failure.substr(0, failure.find(':')) +
                    " は平文のままです。保護できません: " + failure.substr(failure.find(':') + 1));
  if (!loaded.webhooks.rewrites.empty()) {
    Result<ProfileSnapshot> read = profiles.ReadSnapshot(kIniFileName);
    Status written = read.status();
    ProfileSnapshot current = read.value_or(ProfileSnapshot());
    std::string keys;
    for (const SecretRewrite& rewrite : loaded.webhooks.rewrites) {
      // A value changed since the load is left to the next load.
      if (!written.Ok() || current.ReadString(rewrite.section, rewrite.key, "") != rewrite.clear) continue;
      current.WriteString(rewrite.section, rewrite.key, rewrite.protectedForm);
      keys += (keys.empty() ? "[" : ", [") + rewrite.section + "] " + rewrite.key;
    }
    if (written.Ok() && !keys.empty()) written = profiles.WriteSnapshot(kIniFileName, current);
    if (!written.Ok())
      entries.Warning("設定ファイル " + settingsPath + " の通知先の URL とヘッダーは平文のままです。保護した形に置き換えられませんでした: " +
                      written.Describe());
    else if (!keys.empty())
      entries.Information("設定ファイル " + settingsPath + " の " + keys + " は平文でした。保護した形に置き換えました。");
  }
  const bool webhooksInFile = !loaded.webhooks.targets.empty();
  if (!loaded.passwordInFile && !oauth.clientSecretInFile && !webhooksInFile) return;
  std::string what = loaded.passwordInFile ? "パスワード" : oauth.clientSecretInFile ? "クライアント シークレット" : "";
  if (webhooksInFile) what += (what.empty() ? "" : "と") + std::string("通知先の URL ");
  const Result<std::vector<std::string>> checked = SecretFileReaders(settingsPath);
  if (!checked) {
    entries.Warning("設定ファイル " + settingsPath + " は" + what + "を含みますが、読めるユーザーを確かめられません: " +
                    checked.status().Describe());
    return;
  }
  const std::vector<std::string>& readers = *checked;
  std::string text;
  if (!readers.empty())
    text = "設定ファイル " + settingsPath + " は" + what + "を含み、他のユーザーも読めます (" + GroupNames(readers) + ")。";
  if (!credential.empty() && loaded.passwordInFile)
    text += std::string(text.empty() ? "" : "\r\n") + key + " は使われません (資格情報 " + kCredentialName +
            " のパスワードを使います)。設定ファイルから消してください。";
  else if (!readers.empty() && (loaded.passwordInFile || oauth.clientSecretInFile))
    text += loaded.passwordInFile ? kReadableSecretAdvice : kReadableClientSecretAdvice;
  if (!readers.empty() && webhooksInFile) text += kReadableWebhookAdvice;
  if (!text.empty()) entries.Warning(text);
}

}  // namespace qw
