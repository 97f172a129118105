#include "auth/token_response.h"

#include <gtest/gtest.h>

namespace qw {
namespace {

HttpResponse Answer(int status, const std::string& body) {
  HttpResponse response;
  response.status = status;
  response.contentType = "application/json";
  response.body = body;
  return response;
}

TEST(TokenResponseTest, ReadsTheTokenAndItsLifetime) {
  const struct {
    const char* body;
    const char* token;
    int64_t expires;
  } cases[] = {
      {R"({"token_type":"Bearer","expires_in":3599,"ext_expires_in":3599,"access_token":"eyJ0.eyJ1.c2ln"})",
       "eyJ0.eyJ1.c2ln", 3599},
      {R"({"access_token":"abc","token_type":"bearer","expires_in":"3600"})", "abc", 3600},
      {R"({"access_token":"abc","token_type":"BEARER"})", "abc", kDefaultTokenLifetime},
      {R"({"access_token":"abc","token_type":"Bearer","expires_in":31536000})", "abc", kMaxTokenLifetime},
      {R"({"access_token":"a b~","token_type":"Bearer","expires_in":1,"scope":"x"})", "a b~", 1},
  };
  for (const auto& c : cases) {
    Result<AccessToken> token = ParseTokenResponse(Answer(200, c.body));
    ASSERT_TRUE(token) << c.body << ": " << token.status().Describe();
    EXPECT_EQ(token->value, c.token);
    EXPECT_EQ(token->expiresInSeconds, c.expires);
  }
}

TEST(TokenResponseTest, FailuresSayWhatTheServerSaidAndWhichAreFinal) {
  const struct {
    int status;
    std::string body;
    const char* text;
    StatusKind kind;
  } cases[] = {
      {401,
       R"({"error":"invalid_client","error_description":"AADSTS7000215: Invalid client secret provided. Ensure the secret being sent in the request is the client secret value.\r\nTrace ID: 1\r\nCorrelation ID: 2\r\nTimestamp: 2026-12-01 00:00:00Z","error_codes":[7000215]})",
       "invalid_client: AADSTS7000215: Invalid client secret provided. Ensure the secret being sent in the "
       "request is the client secret value. (HTTP 401)",
       StatusKind::kRejected},
      {400, R"({"error":"unauthorized_client","error_description":"Client is unauthorized","error_codes":[700016]})",
       "unauthorized_client: AADSTS700016: Client is unauthorized (HTTP 400)", StatusKind::kRejected},
      {400, R"({"error":"invalid_scope","error_description":"AADSTS70011: The provided value for scope is not valid."})",
       "invalid_scope: AADSTS70011: The provided value for scope is not valid. (HTTP 400)", StatusKind::kOther},
      {400, R"({"error":"invalid_grant"})", "invalid_grant (HTTP 400)", StatusKind::kOther},
      {200, R"({"error":"invalid_client"})", "invalid_client (HTTP 200)", StatusKind::kRejected},
      {503, R"({"error":"temporarily_unavailable","error_description":"\nbusy\nlater"})",
       "temporarily_unavailable: busy (HTTP 503)", StatusKind::kOther},
      {404, "<html>\r\n<title>Not Found</title>", "<html> (HTTP 404)", StatusKind::kOther},
      {400, R"({"error":"invalid_request","error_description":"AADSTS90002: Tenant 'nosuch' not found."})",
       "invalid_request: AADSTS90002: Tenant 'nosuch' not found. (HTTP 400)", StatusKind::kOther},
      {502, "", "the server answered without a reason (HTTP 502)", StatusKind::kOther},
      {200, "not json", "the answer is not JSON: unknown word at byte 0 (HTTP 200)", StatusKind::kOther},
      {200, "[]", "the answer is not a JSON object (HTTP 200)", StatusKind::kOther},
      {200, R"({"token_type":"Bearer"})", "the answer holds no access_token (HTTP 200)", StatusKind::kOther},
      {200, R"({"access_token":"","token_type":"Bearer"})", "the answer holds no access_token (HTTP 200)",
       StatusKind::kOther},
      {200, R"({"access_token":"a\u0001b","token_type":"Bearer"})",
       "the access_token holds characters a token cannot hold (HTTP 200)", StatusKind::kOther},
      {200, R"({"access_token":"ab"})", "the answer holds no token_type (HTTP 200)", StatusKind::kOther},
      {200, R"({"access_token":"ab","token_type":"mac"})", "the token_type \"mac\" is not Bearer (HTTP 200)",
       StatusKind::kOther},
      {200, R"({"access_token":"ab","token_type":"Bearer","expires_in":0})",
       "the expires_in is not a positive number of seconds (HTTP 200)", StatusKind::kOther},
      {200, R"({"access_token":"ab","token_type":"Bearer","expires_in":-5})",
       "the expires_in is not a positive number of seconds (HTTP 200)", StatusKind::kOther},
      {200, R"({"access_token":"ab","token_type":"Bearer","expires_in":"soon"})",
       "the expires_in is not a positive number of seconds (HTTP 200)", StatusKind::kOther},
      {200, R"({"access_token":"ab","token_type":"Bearer","expires_in":1.5})",
       "the expires_in is not a positive number of seconds (HTTP 200)", StatusKind::kOther},
      {200, "{\"access_token\":\"" + std::string(kMaxAccessToken + 1, 'a') + "\",\"token_type\":\"Bearer\"}",
       "the access_token is longer than it may be (HTTP 200)", StatusKind::kOther},
  };
  for (const auto& c : cases) {
    Result<AccessToken> token = ParseTokenResponse(Answer(c.status, c.body));
    ASSERT_FALSE(token) << c.body;
    EXPECT_EQ(token.status().What(), "TOKEN");
    EXPECT_EQ(token.status().Code(), c.status);
    EXPECT_EQ(token.status().Text(), c.text) << c.body;
    EXPECT_EQ(token.status().Kind(), c.kind) << c.body;
  }
}

TEST(TokenResponseTest, ServerWordsAreCutToALineAndMadeProductText) {
  const std::string long_description(2000, 'x');
  Result<AccessToken> token =
      ParseTokenResponse(Answer(400, R"({"error":"invalid_request","error_description":")" + long_description +
                                         R"(\u0007\u00e9"})"));
  ASSERT_FALSE(token);
  EXPECT_LT(token.status().Text().size(), 400u);
  EXPECT_NE(token.status().Text().find("..."), std::string::npos);
  // A UTF-8 character arrives as its Shift-JIS form.
  token = ParseTokenResponse(Answer(400, R"({"error":"x","error_description":"\u3042\u0007"})"));
  ASSERT_FALSE(token);
  EXPECT_EQ(token.status().Text(), "x: \x82\xa0 (HTTP 400)");
}

}  // namespace
}  // namespace qw
