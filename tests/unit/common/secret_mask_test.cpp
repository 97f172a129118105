#include "common/secret_mask.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/text_codec.h"

namespace qw {
namespace {

// An independent reader of base64 for the checks: the bytes of `digits`
// (whole groups of four; a partial group at the end is dropped).
std::string DecodeGroups(const std::string& digits) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return 0;  // '=' and anything else
  };
  std::string out;
  for (size_t i = 0; i + 4 <= digits.size(); i += 4) {
    const unsigned v = (value(digits[i]) << 18) | (value(digits[i + 1]) << 12) | (value(digits[i + 2]) << 6) |
                       value(digits[i + 3]);
    out += static_cast<char>(v >> 16);
    out += static_cast<char>((v >> 8) & 0xFF);
    out += static_cast<char>(v & 0xFF);
  }
  return out;
}

bool IsBase64Digit(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/' ||
         c == '=';
}

// True when `secret` can be read back from `text`: as it stands, or from any
// run of base64 digits read from any starting digit.
bool Recoverable(const std::string& text, const std::string& secret) {
  if (text.find(secret) != std::string::npos) return true;
  for (size_t i = 0; i < text.size();) {
    if (!IsBase64Digit(text[i])) {
      ++i;
      continue;
    }
    size_t end = i;
    while (end < text.size() && IsBase64Digit(text[end])) ++end;
    const std::string run = text.substr(i, end - i);
    for (size_t skip = 0; skip < 4 && skip < run.size(); ++skip)
      if (DecodeGroups(run.substr(skip)).find(secret) != std::string::npos) return true;
    i = end;
  }
  return false;
}

TEST(SecretMask, NoFormOfTheLoginSurvivesWhereverAServerEchoesIt) {
  struct Login {
    std::string user, password;
  };
  // Shift-JIS at run time, as the settings hold them.
  for (const Login& login : {Login{"user", "s3cret-pw"}, Login{"ops@example.jp", "Tr0ub4dor&3"},
                             Login{"管理者", "パスワード123"}, Login{"u", "x"}, Login{"", "only-a-password"}}) {
    SCOPED_TRACE(login.password);
    const SecretMask mask = LoginMask(login.user, login.password);
    std::string utf8User, utf8Password;
    ASSERT_TRUE(SjisToUtf8Exact(login.user, &utf8User));
    ASSERT_TRUE(SjisToUtf8Exact(login.password, &utf8Password));
    const std::string plain = std::string(1, '\0') + utf8User + std::string(1, '\0') + utf8Password;

    std::vector<std::string> echoes = {
        "535 5.7.8 bad password " + login.password,
        "535 5.7.8 bad password " + utf8Password,
        "500 5.5.1 unrecognized: AUTH PLAIN " + Base64OneLine(plain),
        "334 " + Base64OneLine(utf8Password),
        "334 " + Base64OneLine(login.password),
        "250 ok " + Base64OneLine(plain) + Base64OneLine(plain),
    };
    // Inside a longer base64 run, at every byte alignment and with anything
    // after it.
    for (const char* before : {"", "a", "ab", "abc", "abcd"})
      for (const char* after : {"", "z", "zz", "zzz"})
        echoes.push_back("250 2.0.0 " + Base64OneLine(before + utf8Password + after) + " queued");
    for (const std::string& echo : echoes) {
      SCOPED_TRACE(echo);
      // A password shorter than five bytes is masked as it stands and in its
      // whole encodings, not as a part of a longer run (it would hit at
      // random).
      if (utf8Password.size() < 5 && echo.find(" queued") != std::string::npos) continue;
      const std::string masked = mask.Apply(echo);
      EXPECT_NE(masked.find(kSecretMarker), std::string::npos) << masked;
      EXPECT_EQ(masked.compare(0, 4, echo, 0, 4), 0) << "the reply code stays: " << masked;
      if (utf8Password.size() >= 5) {
        EXPECT_FALSE(Recoverable(masked, utf8Password)) << masked;
        EXPECT_FALSE(Recoverable(masked, login.password)) << masked;
      } else {  // decoding any run of letters would find one byte by chance
        EXPECT_EQ(masked.find(utf8Password), std::string::npos) << masked;
        EXPECT_EQ(masked.find(Base64OneLine(utf8Password)), std::string::npos) << masked;
      }
      EXPECT_EQ(masked.find(Base64OneLine(plain)), std::string::npos) << masked;
    }
  }
}

TEST(SecretMask, TextWithoutASecretIsLeftAlone) {
  const SecretMask mask = LoginMask("ops@example.jp", "Tr0ub4dor&3");
  for (const std::string& text : {
           std::string("250 2.0.0 Ok: queued as 4F2A81C0D3"),
           std::string("220 mail.example.jp ESMTP ready"),
           std::string("334 VXNlcm5hbWU6"),  // "Username:"
           std::string("C: ドライブの空き領域は 1,024 バイトです。"),
           std::string("RCPT <ops@example.jp>: 550 5.1.1 mailbox unavailable"),
           std::string(""),
       }) {
    EXPECT_EQ(mask.Apply(text), text);
  }
  EXPECT_TRUE(SecretMask().Empty());
  EXPECT_EQ(SecretMask().Apply("s3cret"), "s3cret");
  EXPECT_TRUE(LoginMask("", "").Empty());
}

TEST(SecretMask, AHitInsideADoubleByteCharacterTakesTheWholeCharacter) {
  // "ア" is 83 41 and "ン" is 83 93 in Shift-JIS: a password "A" meets the
  // trail byte of the first; the masked text must still be whole Shift-JIS.
  struct Case {
    std::string secret, text, expected;
  };
  for (const Case& c : {
           Case{"A", "アA", "****"},
           Case{"A", "xアy", "x****y"},
           Case{"A\x83", "ンA\x83\x93", "ン****"},
           Case{"ab", "abcab", "****c****"},
           Case{"abab", "ababab", "****"},  // overlapping hits are one marker
       }) {
    SecretMask mask;
    mask.AddSecret(c.secret);
    const std::string masked = mask.Apply(c.text);
    EXPECT_EQ(masked, c.expected) << c.text;
    std::string utf8;
    EXPECT_TRUE(SjisToUtf8Exact(masked, &utf8)) << "half a character left in " << masked;
  }
}

TEST(SecretMask, Base64OneLineMatchesTheRfcVectors) {
  // RFC 4648 section 10.
  const char* vectors[][2] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
                              {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
  for (const auto& v : vectors) EXPECT_EQ(Base64OneLine(v[0]), v[1]);
}

}  // namespace
}  // namespace qw
