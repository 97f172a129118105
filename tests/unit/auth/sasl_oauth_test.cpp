#include "auth/sasl_oauth.h"

#include <gtest/gtest.h>

#include "common/secret_mask.h"
#include "sasl_test_util.h"

namespace qw {
namespace {

using authtest::FromBase64;

TEST(SaslOAuthTest, InitialResponsesCarryTheMailboxAndTokenInTheirFraming) {
  const struct {
    const char* name;
    std::string response;
    std::string expected;
  } cases[] = {
      {"xoauth2", XOAuth2InitialResponse("alerts@example.jp", "tok.en-1"),
       std::string("user=alerts@example.jp\x01") + "auth=Bearer tok.en-1\x01\x01"},
      {"oauthbearer", OAuthBearerInitialResponse("alerts@example.jp", "tok.en-1", "smtp.example.jp", 587),
       std::string("n,a=alerts@example.jp,\x01") + "host=smtp.example.jp\x01" + "port=587\x01" +
           "auth=Bearer tok.en-1\x01\x01"},
      {"oauthbearer escapes", OAuthBearerInitialResponse("a,b=c@example.jp", "t", "h", 25),
       std::string("n,a=a=2Cb=3Dc@example.jp,\x01") + "host=h\x01" + "port=25\x01" + "auth=Bearer t\x01\x01"},
      {"oauthbearer without host", OAuthBearerInitialResponse("u", "t", "", 0),
       std::string("n,a=u,\x01") + "auth=Bearer t\x01\x01"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.response.find_first_not_of(
                  "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
              std::string::npos)
        << c.name;
    EXPECT_EQ(c.response.size() % 4, 0u) << c.name;
    EXPECT_EQ(FromBase64(c.response), c.expected) << c.name;
  }
}

TEST(SaslOAuthTest, RepliesToAChallengeFollowTheMechanism) {
  EXPECT_EQ(SaslChallengeReply(OAuthMechanism::kXOAuth2), "");
  EXPECT_EQ(SaslChallengeReply(OAuthMechanism::kOAuthBearer), "AQ==");
  EXPECT_EQ(FromBase64(SaslChallengeReply(OAuthMechanism::kOAuthBearer)), "\x01");
}

TEST(SaslOAuthTest, DecodesTheServersChallenge) {
  const struct {
    std::string json;
    const char* describe;
  } cases[] = {
      {R"({"status":"invalid_token","schemes":"bearer","scope":"https://mail.google.com/"})",
       "status=invalid_token schemes=bearer scope=https://mail.google.com/"},
      {R"({"status":"401","schemes":"Bearer","scope":"https://mail.google.com/"})",
       "status=401 schemes=Bearer scope=https://mail.google.com/"},
      {R"({"status":"invalid_token","openid-configuration":"https://idp/.well-known/openid-configuration"})",
       "status=invalid_token openid-configuration=https://idp/.well-known/openid-configuration"},
      {R"({"status":"a\u0001b\u3042","schemes":7})", "status=a?b???"},
      {R"({})", ""},
  };
  for (const auto& c : cases) {
    for (const std::string& encoded : {Base64OneLine(c.json), Base64OneLine(c.json) + "  "}) {
      Result<SaslChallenge> challenge = DecodeSaslChallenge(encoded);
      ASSERT_TRUE(challenge) << c.json << ": " << challenge.status().Describe();
      EXPECT_EQ(challenge->Describe(), c.describe);
    }
  }
}

TEST(SaslOAuthTest, RefusesChallengesThatAreNotBase64Json) {
  const std::string cases[] = {
      "not base64!",
      "eyJ",                              // cut base64
      "e===",
      "eyJhIjoxfQ=",                      // padding wrong for its length
      Base64OneLine("[1,2]"),             // not an object
      Base64OneLine("{\"status\":"),      // not JSON
      Base64OneLine("\x01"),              // the client's own reply
      std::string(kMaxSaslChallenge + 4, 'A'),
      "eyJh IjoxfQ==",
  };
  for (const std::string& text : cases) {
    Result<SaslChallenge> challenge = DecodeSaslChallenge(text);
    EXPECT_FALSE(challenge) << text;
    if (!challenge) {
      EXPECT_EQ(challenge.status().What(), "AUTH");
    }
  }
}

TEST(SaslOAuthTest, StrictBase64RoundTripsAndRefusesStrayBits) {
  std::string bytes;
  for (int length = 0; length < 40; ++length) {
    const std::string encoded = Base64OneLine(bytes);
    Result<std::string> decoded = DecodeBase64Strict(encoded);
    ASSERT_TRUE(decoded) << encoded;
    EXPECT_EQ(*decoded, bytes);
    // Without padding too.
    std::string bare = encoded;
    while (!bare.empty() && bare.back() == '=') bare.pop_back();
    EXPECT_EQ(DecodeBase64Strict(bare).value_or("?"), bytes) << bare;
    bytes += static_cast<char>(length * 37 + 200);
  }
  EXPECT_FALSE(DecodeBase64Strict("QR=="));  // 'R' leaves bits that no byte holds
  EXPECT_FALSE(DecodeBase64Strict("QUF="));  // 'F' likewise
  EXPECT_FALSE(DecodeBase64Strict("Q==="));
  EXPECT_FALSE(DecodeBase64Strict("QQ=A"));
}

}  // namespace
}  // namespace qw
