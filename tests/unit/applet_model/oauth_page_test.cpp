// The OAuth 2.0 login in the settings dialog: what it loads, what it keeps
// secret, what it writes, and where a refused value sends the person.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "applet/settings_model.h"
#include "common/oauth_settings.h"
#include "platform/secret.h"
#include "tests/fakes/fake_message_box.h"
#include "tests/fakes/fake_platform.h"
#include "tests/fakes/fake_service_manager.h"
#include "tests/unit/applet_model/fake_settings_view.h"

namespace qw {
namespace {

constexpr const char* kIni = "Drivewarden.ini";

// The stored form is the prefix and the clear text reversed: a test sees
// whether a value went through Protect; "dpapi:!" fails as a damaged blob.
class ReversingSecrets : public SecretStore {
 public:
  Result<std::string> Protect(const std::string& clear) override {
    if (failProtect) return Status::Failure("CryptProtectData", 5, "アクセスが拒否されました。");
    return std::string(kProtectedPrefix) + std::string(clear.rbegin(), clear.rend());
  }
  Result<std::string> Unprotect(const std::string& stored) override {
    const std::string prefix = kProtectedPrefix;
    if (stored.compare(0, prefix.size(), prefix) != 0) return stored;
    const std::string body = stored.substr(prefix.size());
    if (body == "!") return Status::Failure("CryptUnprotectData", 13, "データが無効です。");
    return std::string(body.rbegin(), body.rend());
  }
  bool failProtect = false;
};

const char kMailOn[] =
    "[WARNING]\r\nINTERVAL=24\r\nISMAILSEND=1\r\n"
    "[MAIL]\r\nSMTP=smtp.office365.com\r\nPORT=587\r\nMAILFROM=dw@example.jp\r\nMAILTO=ops@example.jp\r\n"
    "SECURITY=STARTTLS\r\nUSER=dw@example.jp\r\n";

class OAuthPageTest : public ::testing::Test {
 protected:
  OAuthPageTest() {
    drives.drives['C'];
    view.model = &model;
  }

  void Load(const std::string& ini) {
    profiles.SetFile(kIni, ini);
    model.FormCreate();
  }
  std::string Value(const std::string& key) { return profiles.ReadString(kIni, "MAIL", key, "<missing>"); }
  SaveOutcome Save() {
    boxes.answers = {MessageBoxResult::No};
    return model.SaveSettingsEx(true);
  }
  // A sound OAuth 2.0 login with a client secret, typed into the dialog.
  void TypeOAuth() {
    view.ChooseAuth(AuthChoice::OAuth2);
    view.Type(SettingsField::Tenant, "contoso.onmicrosoft.com");
    view.Type(SettingsField::ClientId, "6731de76-14a6-49ae-97bc-6eba6914391e");
    view.ChooseCredential(CredentialChoice::ClientSecret);
    view.Type(SettingsField::ClientSecret, "s3cret~");
  }

  test::FakeProfiles profiles;
  test::FakeDrives drives;
  test::FakeMessageBoxes boxes;
  test::FakeServiceManager services;
  test::FakeSettingsView view;
  ReversingSecrets secrets;
  SettingsModel model{view, profiles, drives, boxes, services, secrets};
};

TEST_F(OAuthPageTest, LoadsTheLoginAndTheOneCredentialThatIsSet) {
  Load(std::string(kMailOn) +
       "AUTH=oauth2\r\nTENANT=contoso.onmicrosoft.com\r\nCLIENTID=app\r\n"
       "CLIENTCERT=0123456789ABCDEF0123456789ABCDEF01234567\r\nPROXY=proxy:8080\r\n");
  EXPECT_EQ(view.authIndex, static_cast<int>(AuthChoice::OAuth2));
  EXPECT_EQ(view.credentialIndex, static_cast<int>(CredentialChoice::ClientCert));
  EXPECT_EQ(view.fields[SettingsField::ClientCert], "0123456789ABCDEF0123456789ABCDEF01234567");
  EXPECT_EQ(view.fields[SettingsField::Proxy], "proxy:8080");
  EXPECT_FALSE(view.applyEnabled);

  // An AUTH the service refuses selects nothing; a file without one is the
  // password login.
  Load("[MAIL]\r\nAUTH=BASIC\r\n");
  EXPECT_EQ(view.authIndex, -1);
  Load("[MAIL]\r\nSMTP=mail.example.jp\r\n");
  EXPECT_EQ(view.authIndex, static_cast<int>(AuthChoice::Password));
  EXPECT_EQ(view.credentialIndex, static_cast<int>(CredentialChoice::ClientSecret));
}

TEST_F(OAuthPageTest, TheClientSecretIsStoredProtectedAndCountsAsAChange) {
  Load(kMailOn);
  TypeOAuth();
  ASSERT_EQ(Save(), SaveOutcome::Saved) << (boxes.shown.empty() ? "" : boxes.shown.back().text);
  EXPECT_EQ(Value("AUTH"), "OAUTH2");
  EXPECT_EQ(Value("CLIENTSECRET"), std::string(kProtectedPrefix) + "~terc3s");
  EXPECT_EQ(Value("CLIENTCERT"), "");
  EXPECT_EQ(profiles.FileText(kIni).find("s3cret~"), std::string::npos) << "never in clear";
  view.applyEnabled = false;

  // Only the secret changes: Apply comes on (the secret is not part of the
  // snapshot's text, it is compared beside it).
  view.Type(SettingsField::ClientSecret, "other");
  EXPECT_TRUE(view.applyEnabled);
  view.Type(SettingsField::ClientSecret, "s3cret~");
  EXPECT_FALSE(view.applyEnabled);

  // Loaded again, the box holds the clear secret.
  model.FormCreate();
  EXPECT_EQ(view.fields[SettingsField::ClientSecret], "s3cret~");
}

TEST_F(OAuthPageTest, OneCredentialIsWrittenTheOthersEmptied) {
  Load(std::string(kMailOn) + "AUTH=OAUTH2\r\nTENANT=contoso.onmicrosoft.com\r\nCLIENTID=app\r\nCLIENTSECRET=" +
       kProtectedPrefix + "dlo\r\n");
  EXPECT_EQ(view.fields[SettingsField::ClientSecret], "old");
  view.ChooseCredential(CredentialChoice::ClientCert);
  view.Type(SettingsField::ClientCert, "01:23:45:67:89:ab:cd:ef:01:23:45:67:89:ab:cd:ef:01:23:45:67");
  // The reader opens the certificate (POSIX: a PEM file; Windows: the
  // machine's store, which holds no such one): refused at its box, and the
  // file keeps the secret it had.
  EXPECT_EQ(Save(), SaveOutcome::Refused);
  EXPECT_EQ(view.focus, SettingsControl::ClientCert);
  EXPECT_EQ(view.page, SettingsPage::OAuth);
  EXPECT_EQ(Value("CLIENTSECRET"), std::string(kProtectedPrefix) + "dlo");
  // Back to the secret: written, the certificate's box emptied in the file.
  view.ChooseCredential(CredentialChoice::ClientSecret);
  ASSERT_EQ(Save(), SaveOutcome::Saved) << (boxes.shown.empty() ? "" : boxes.shown.back().text);
  EXPECT_EQ(Value("CLIENTCERT"), "") << "one credential only";
  EXPECT_EQ(Value("CLIENTSECRET"), std::string(kProtectedPrefix) + "dlo");
}

TEST_F(OAuthPageTest, AFileWithoutAuthKeepsItsShapeWithThePasswordLogin) {
  Load("[WARNING]\r\nINTERVAL=24\r\n[MAIL]\r\nSMTP=mail.example.jp\r\n");
  view.Type(SettingsField::Interval, "12");
  ASSERT_EQ(Save(), SaveOutcome::Saved);
  EXPECT_EQ(Value("AUTH"), "<missing>");
  EXPECT_EQ(Value("TENANT"), "<missing>");
}

TEST_F(OAuthPageTest, ARefusalShowsTheReadersWordsAndFocusesTheBox) {
  struct Case {
    const char* name;
    std::function<void(test::FakeSettingsView&)> change;
    SettingsControl focus;
    SettingsPage page;
    std::string said;  // part of the message
  };
  const std::vector<Case> cases = {
      {"tenant", [](auto& v) { v.Type(SettingsField::Tenant, "con toso"); }, SettingsControl::Tenant,
       SettingsPage::OAuth, "TENANT=con toso"},
      {"no client ID", [](auto& v) { v.Type(SettingsField::ClientId, ""); }, SettingsControl::ClientId,
       SettingsPage::OAuth, "CLIENTID"},
      {"token URL", [](auto& v) { v.Type(SettingsField::TokenUrl, "http://login.example.com/t"); },
       SettingsControl::TokenUrl, SettingsPage::OAuth, "TOKENURL=http://login.example.com/t"},
      {"scope", [](auto& v) { v.Type(SettingsField::Scope, "a  b"); }, SettingsControl::Scope, SettingsPage::OAuth,
       "SCOPE"},
      {"proxy", [](auto& v) { v.Type(SettingsField::Proxy, "proxy"); }, SettingsControl::Proxy, SettingsPage::OAuth,
       "PROXY=proxy"},
      {"no mailbox", [](auto& v) { v.Type(SettingsField::User, ""); }, SettingsControl::User, SettingsPage::Mail,
       "USER"},
      {"no TLS", [](auto& v) { v.ChooseSecurity(SecurityChoice::None); }, SettingsControl::Security,
       SettingsPage::Mail, "SECURITY=NONE"},
      {"no secret", [](auto& v) { v.Type(SettingsField::ClientSecret, ""); }, SettingsControl::ClientSecret,
       SettingsPage::OAuth, "CLIENTSECRET"},
      {"no key file", [](auto& v) { v.ChooseCredential(CredentialChoice::ServiceAccount); },
       SettingsControl::ServiceAccount, SettingsPage::OAuth, "SERVICEACCOUNT"},
      {"no login chosen", [](auto& v) { v.authIndex = -1; }, SettingsControl::Auth, SettingsPage::Mail,
       "認証方式"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    profiles = test::FakeProfiles();
    boxes.shown.clear();
    Load(kMailOn);
    TypeOAuth();
    c.change(view);
    view.page = SettingsPage::Warning;
    view.focus = SettingsControl::Interval;
    const std::string before = profiles.FileText(kIni);
    EXPECT_EQ(Save(), SaveOutcome::Refused);
    EXPECT_EQ(profiles.FileText(kIni), before) << "nothing written";
    EXPECT_EQ(view.focus, c.focus);
    EXPECT_EQ(view.page, c.page);
    ASSERT_FALSE(boxes.shown.empty());
    EXPECT_NE(boxes.shown.back().text.find(c.said), std::string::npos) << boxes.shown.back().text;
  }
}

TEST_F(OAuthPageTest, WithMailOffOnlyAValueTheServiceCannotReadIsRefused) {
  Load("[WARNING]\r\nINTERVAL=24\r\nISMAILSEND=0\r\n");
  view.ChooseAuth(AuthChoice::OAuth2);
  view.Type(SettingsField::Tenant, "contoso.onmicrosoft.com");
  // No client ID, no secret, no server: an unfinished login while mail is off.
  EXPECT_EQ(Save(), SaveOutcome::Saved);
  view.Type(SettingsField::Proxy, "user@proxy:8080");
  EXPECT_EQ(Save(), SaveOutcome::Refused);
  EXPECT_EQ(view.focus, SettingsControl::Proxy);
  ASSERT_FALSE(boxes.shown.empty());
  EXPECT_NE(boxes.shown.back().text.find("[MAIL] PROXY=user@proxy:8080"), std::string::npos)
      << boxes.shown.back().text;
}

TEST_F(OAuthPageTest, ASecretThatCannotBeStoredOrReadIsSaid) {
  Load(kMailOn);
  TypeOAuth();
  secrets.failProtect = true;
  const std::string before = profiles.FileText(kIni);
  EXPECT_EQ(Save(), SaveOutcome::Refused);
  EXPECT_EQ(profiles.FileText(kIni), before);
  EXPECT_EQ(view.focus, SettingsControl::ClientSecret);
  ASSERT_FALSE(boxes.shown.empty());
  EXPECT_NE(boxes.shown.back().text.find("クライアント シークレットを保護できません"), std::string::npos);

  boxes.shown.clear();
  Load(std::string(kMailOn) + "AUTH=OAUTH2\r\nCLIENTSECRET=" + kProtectedPrefix + "!\r\n");
  EXPECT_EQ(view.fields[SettingsField::ClientSecret], "");
  EXPECT_NE(model.ClientSecretLoadError().find("データが無効です"), std::string::npos);
  ASSERT_FALSE(boxes.shown.empty());
  EXPECT_NE(boxes.shown.back().text.find("保存されているクライアント シークレットを読み取れません"), std::string::npos);
}

}  // namespace
}  // namespace qw
