#include "auth/token_request.h"

#include <gtest/gtest.h>

#include <set>

#include "auth_test_peers.h"

namespace qw {
namespace {

using authtest::FormFields;
using authtest::RecordingSigner;

TEST(TokenRequestTest, MicrosoftTenantBecomesTheTokenUrlOnlyWhenItIsANameOrId) {
  const struct {
    const char* tenant;
    bool ok;
  } cases[] = {
      {"contoso.onmicrosoft.com", true},
      {"72f988bf-86f1-41af-91ab-2d7cd011db47", true},
      {"organizations", true},
      {"", false},
      {"contoso.com/../evil", false},
      {"evil.com?x=", false},
      {"evil.com#", false},
      {"a@b", false},
      {"a b", false},
      {"a..b", false},
      {".a", false},
      {"a.", false},
      {"-a", false},
      {"a-.b", false},
      {"%2e%2e", false},
  };
  for (const auto& c : cases) {
    Result<std::string> url = MicrosoftTokenUrl(c.tenant);
    EXPECT_EQ(url.Ok(), c.ok) << c.tenant;
    if (url) {
      EXPECT_EQ(*url, std::string("https://login.microsoftonline.com/") + c.tenant + "/oauth2/v2.0/token");
    } else {
      EXPECT_EQ(url.status().What(), "TENANT");
    }
  }
}

TEST(TokenRequestTest, FormEncodingRoundTripsEveryByte) {
  std::string all;
  for (int c = 0; c < 256; ++c) all += static_cast<char>(c);
  const std::string encoded = FormEncode(all);
  for (const char c : encoded) {
    EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c)) || std::string("-._~+%").find(c) != std::string::npos)
        << c;
  }
  EXPECT_EQ(FormFields("k=" + encoded)["k"], all);
  EXPECT_EQ(FormEncode("a+b/c=d e~"), "a%2Bb%2Fc%3Dd+e~");
}

TokenSettings SecretSettings() {
  TokenSettings settings;
  settings.grant = TokenGrant::kClientSecret;
  settings.tokenUrl = "https://login.example/t/oauth2/v2.0/token";
  settings.scope = kMicrosoftSmtpScope;
  settings.clientId = "00000000-aaaa-bbbb-cccc-000000000001";
  settings.clientSecret = "Ab+c/d=e&f%g~h i";
  settings.proxy = "proxy.example:3128";
  settings.timeoutMs = 1234;
  return settings;
}

TEST(TokenRequestTest, BodiesOfTheThreeWaysToProveTheClient) {
  RecordingSigner signer;
  const AssertionContext context{1'800'000'000, "jti-1"};

  TokenSettings secret = SecretSettings();
  TokenSettings cert = SecretSettings();
  cert.grant = TokenGrant::kClientAssertion;
  cert.clientSecret.clear();
  TokenSettings google;
  google.grant = TokenGrant::kJwtBearer;
  google.tokenUrl = "https://oauth2.example/token";
  google.scope = kGoogleMailScope;
  google.issuer = "sender@project.iam.example";
  google.subject = "alerts@example.jp";
  google.headerFields = {{"kid", "key-id-1"}};

  const struct {
    const char* name;
    TokenSettings settings;
    std::map<std::string, std::string> fields;  // "*" stands for the assertion
  } cases[] = {
      {"client secret", secret,
       {{"grant_type", "client_credentials"},
        {"client_id", secret.clientId},
        {"client_secret", secret.clientSecret},
        {"scope", kMicrosoftSmtpScope}}},
      {"certificate", cert,
       {{"grant_type", "client_credentials"},
        {"client_id", cert.clientId},
        {"client_assertion_type", kJwtClientAssertionType},
        {"client_assertion", "*"},
        {"scope", kMicrosoftSmtpScope}}},
      {"service account", google, {{"grant_type", kJwtBearerGrantType}, {"assertion", "*"}}},
  };
  for (const auto& c : cases) {
    signer.claims.clear();
    Result<HttpRequest> request = BuildTokenRequest(c.settings, &signer, context);
    ASSERT_TRUE(request) << c.name << ": " << request.status().Describe();
    EXPECT_EQ(request->method, "POST") << c.name;
    EXPECT_EQ(request->url, c.settings.tokenUrl) << c.name;
    EXPECT_EQ(request->proxy, c.settings.proxy) << c.name;
    EXPECT_EQ(request->timeoutMs, c.settings.timeoutMs) << c.name;
    bool form = false;
    for (const auto& [name, value] : request->headers) {
      if (name == "Content-Type") form = value == "application/x-www-form-urlencoded";
    }
    EXPECT_TRUE(form) << c.name;
    std::map<std::string, std::string> fields = FormFields(request->body);
    std::map<std::string, std::string> expected = c.fields;
    for (auto& [name, value] : expected) {
      if (value == "*") {
        ASSERT_EQ(signer.claims.size(), 1u) << c.name;
        value = fields[name];
        EXPECT_NE(value.find(authtest::Base64Url(signer.claims[0])), std::string::npos) << c.name;
      }
    }
    EXPECT_EQ(fields, expected) << c.name << ": " << request->body;
  }
}

TEST(TokenRequestTest, AssertionClaimsNameTheClientOrTheAccountAndTheMailbox) {
  RecordingSigner signer;
  const AssertionContext context{1'800'000'000, "jti-7"};
  TokenSettings cert = SecretSettings();
  cert.grant = TokenGrant::kClientAssertion;
  TokenSettings google = cert;
  google.grant = TokenGrant::kJwtBearer;
  google.scope = kGoogleMailScope;
  google.issuer = "sender@project.iam.example";
  google.subject = "alerts@example.jp";
  google.headerFields = {{"kid", "key-id-1"}};

  ASSERT_TRUE(BuildTokenRequest(cert, &signer, context));
  ASSERT_TRUE(BuildTokenRequest(google, &signer, context));
  ASSERT_EQ(signer.claims.size(), 2u);
  const struct {
    size_t index;
    const char* iss;
    const char* sub;
    const char* scope;  // nullptr: none in the claims
  } cases[] = {
      {0, "00000000-aaaa-bbbb-cccc-000000000001", "00000000-aaaa-bbbb-cccc-000000000001", nullptr},
      {1, "sender@project.iam.example", "alerts@example.jp", kGoogleMailScope},
  };
  for (const auto& c : cases) {
    Result<JsonValue> claims = ParseJson(signer.claims[c.index]);
    ASSERT_TRUE(claims) << signer.claims[c.index];
    EXPECT_EQ(claims->FindString("iss"), std::optional<std::string>(c.iss));
    EXPECT_EQ(claims->FindString("sub"), std::optional<std::string>(c.sub));
    EXPECT_EQ(claims->FindString("aud"), std::optional<std::string>(cert.tokenUrl));
    EXPECT_EQ(claims->FindString("jti"), std::optional<std::string>("jti-7"));
    EXPECT_EQ(claims->Find("iat")->AsInt64(), std::optional<int64_t>(1'800'000'000));
    EXPECT_EQ(claims->Find("exp")->AsInt64(), std::optional<int64_t>(1'800'000'000 + kAssertionLifetimeSeconds));
    if (c.scope) {
      EXPECT_EQ(claims->FindString("scope"), std::optional<std::string>(c.scope));
    } else {
      EXPECT_EQ(claims->Find("scope"), nullptr);
    }
  }
  ASSERT_EQ(signer.headers[1].size(), 1u);
  EXPECT_EQ(signer.headers[1][0].name, "kid");
  EXPECT_EQ(signer.headers[1][0].value, "key-id-1");
}

TEST(TokenRequestTest, MissingOrUnsendableValuesFailNamingTheKey) {
  RecordingSigner signer;
  const AssertionContext context{1'800'000'000, "j"};
  const struct {
    const char* key;
    void (*spoil)(TokenSettings&);
  } cases[] = {
      {"TOKENURL", [](TokenSettings& s) { s.tokenUrl.clear(); }},
      {"CLIENTID", [](TokenSettings& s) { s.clientId.clear(); }},
      {"CLIENTSECRET", [](TokenSettings& s) { s.clientSecret.clear(); }},
      {"CLIENTSECRET", [](TokenSettings& s) { s.clientSecret = "\x81"; }},
      {"CLIENTCERT", [](TokenSettings& s) { s.grant = TokenGrant::kClientAssertion; }},
      {"SERVICEACCOUNT", [](TokenSettings& s) {
         s.grant = TokenGrant::kJwtBearer;
         s.subject = "u@example.jp";
       }},
      {"USER", [](TokenSettings& s) {
         s.grant = TokenGrant::kJwtBearer;
         s.issuer = "a@b";
       }},
  };
  for (const auto& c : cases) {
    TokenSettings settings = SecretSettings();
    c.spoil(settings);
    // The certificate case is given no signer.
    AssertionSigner* use = std::string(c.key) == "CLIENTCERT" ? nullptr : &signer;
    Result<HttpRequest> request = BuildTokenRequest(settings, use, context);
    ASSERT_FALSE(request) << c.key;
    EXPECT_EQ(request.status().What(), c.key) << request.status().Describe();
  }
  // A signer's own failure comes through as it is.
  signer.failure = Status::Failure("CLIENTCERT", 5, "no private key for the certificate");
  TokenSettings cert = SecretSettings();
  cert.grant = TokenGrant::kClientAssertion;
  Result<HttpRequest> request = BuildTokenRequest(cert, &signer, context);
  ASSERT_FALSE(request);
  EXPECT_EQ(request.status().Describe(), "CLIENTCERT: no private key for the certificate");
}

TEST(TokenRequestTest, JtiIsFreshEachTime) {
  std::set<std::string> seen;
  for (int i = 0; i < 100; ++i) {
    const std::string jti = NewJti();
    EXPECT_EQ(jti.size(), 32u);
    EXPECT_TRUE(seen.insert(jti).second) << jti;
  }
}

}  // namespace
}  // namespace qw

namespace qw {
namespace {

TEST(TokenEndpointTest, TokenUrlAndScopeFromTheKeysGiven) {
  const struct {
    const char* tenant;
    const char* url;
    const char* scope;
    const char* wantUrl;  // nullptr: a failure naming wantKey
    const char* wantScope;
    const char* wantKey;
  } cases[] = {
      {"contoso.onmicrosoft.com", "", "", "https://login.microsoftonline.com/contoso.onmicrosoft.com/oauth2/v2.0/token",
       kMicrosoftSmtpScope, nullptr},
      {"contoso.onmicrosoft.com", "", "https://outlook.office.com/.default",
       "https://login.microsoftonline.com/contoso.onmicrosoft.com/oauth2/v2.0/token",
       "https://outlook.office.com/.default", nullptr},
      {"contoso.onmicrosoft.com", "https://idp.example/token", "", "https://idp.example/token", kMicrosoftSmtpScope,
       nullptr},
      {"", "https://idp.example/token", "smtp", "https://idp.example/token", "smtp", nullptr},
      {"", "https://idp.example/token", "", "https://idp.example/token", "", nullptr},
      {"", "http://127.0.0.1:8080/token", "", "http://127.0.0.1:8080/token", "", nullptr},
      {"", "", "smtp", nullptr, nullptr, "TOKENURL"},
      {"", "http://idp.example/token", "", nullptr, nullptr, "TOKENURL"},
      {"", "idp.example/token", "", nullptr, nullptr, "TOKENURL"},
      {"bad/tenant", "", "", nullptr, nullptr, "TENANT"},
  };
  for (const auto& c : cases) {
    Result<TokenEndpoint> endpoint = ResolveTokenEndpoint(c.tenant, c.url, c.scope);
    if (c.wantUrl) {
      ASSERT_TRUE(endpoint) << c.tenant << " " << c.url << ": " << endpoint.status().Describe();
      EXPECT_EQ(endpoint->url, c.wantUrl);
      EXPECT_EQ(endpoint->scope, c.wantScope);
    } else {
      ASSERT_FALSE(endpoint) << c.tenant << " " << c.url;
      EXPECT_EQ(endpoint.status().What(), c.wantKey);
    }
  }
}

}  // namespace
}  // namespace qw
