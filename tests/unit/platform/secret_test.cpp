// The stored password: a clear value typed into the file passes through on
// every host; on Windows the stored form is DPAPI behind the prefix, reads
// back to the same bytes, and a damaged or foreign value fails with the
// system's reason instead of yielding a wrong password.
#include "platform/secret.h"

#include <gtest/gtest.h>

#include <string>

namespace qw {
namespace {

const std::string kPrefix = kProtectedPrefix;

TEST(Secret, ThePrefixAloneMarksAProtectedValue) {
  EXPECT_TRUE(IsProtectedSecret(kPrefix + "AAAA"));
  EXPECT_TRUE(IsProtectedSecret(kPrefix));
  EXPECT_FALSE(IsProtectedSecret("secret"));
  EXPECT_FALSE(IsProtectedSecret(""));
  EXPECT_FALSE(IsProtectedSecret(" " + kPrefix + "AAAA")) << "only at the very start";
  EXPECT_FALSE(IsProtectedSecret("DPAPI:AAAA")) << "the prefix is exact";
}

TEST(Secret, AClearValueIsReturnedAsItIs) {
  for (const std::string& value : {std::string("p@ss w0rd"), std::string("パスワード"),
                                   std::string(""), std::string("dpapi")}) {
    const Result<std::string> clear = UnprotectSecret(value);
    ASSERT_TRUE(clear.Ok()) << value;
    EXPECT_EQ(*clear, value);
  }
}

TEST(Secret, ProtectedFormReadsBackToTheSameBytes) {
  for (const std::string& value : {std::string("p@ss w0rd"), std::string("パスワード\x81\x5C"),
                                   std::string(300, 'x'), std::string("a\0b", 3)}) {
    const Result<std::string> protectedForm = ProtectSecret(value);
    ASSERT_TRUE(protectedForm.Ok());
    const std::string& stored = *protectedForm;
#ifdef _WIN32
    EXPECT_TRUE(IsProtectedSecret(stored)) << stored;
    EXPECT_EQ(stored.find(value), std::string::npos) << "the clear value shows in the stored form";
    EXPECT_EQ(stored.find_first_of("\r\n\"; "), std::string::npos)
        << "the stored form must survive an INI line";
#else
    EXPECT_EQ(stored, value) << "POSIX stores the value as it is";
#endif
    const Result<std::string> clear = UnprotectSecret(stored);
    ASSERT_TRUE(clear.Ok()) << clear.status().Describe();
    EXPECT_EQ(*clear, value);
  }
}

#ifndef _WIN32
// A value protected on Windows (a copied file) cannot be read here: it fails
// with its reason instead of passing its base64 off as the password, and a
// clear value that looks protected is refused rather than stored ambiguously.
TEST(Secret, PosixRefusesWhatLooksProtected) {
  const Result<std::string> clear = UnprotectSecret(kPrefix + "AQAAANCMnd8BFdERjHoAwE/Cl+s=");
  EXPECT_FALSE(clear.Ok());
  EXPECT_NE(clear.status().Text().find("DPAPI"), std::string::npos) << clear.status().Text();
  EXPECT_TRUE(clear.value_or("").empty());
  const Result<std::string> stored = ProtectSecret(kPrefix + "x");
  EXPECT_FALSE(stored.Ok());
  EXPECT_TRUE(stored.value_or("").empty());
}
#endif

#ifdef _WIN32
TEST(Secret, EachProtectionDiffersButBothReadBack) {
  const Result<std::string> first = ProtectSecret("same");
  const Result<std::string> second = ProtectSecret("same");
  ASSERT_TRUE(first.Ok());
  ASSERT_TRUE(second.Ok());
  EXPECT_NE(*first, *second) << "DPAPI salts every blob";
  const Result<std::string> clear = UnprotectSecret(*second);
  ASSERT_TRUE(clear.Ok());
  EXPECT_EQ(*clear, "same");
}

TEST(Secret, ADamagedValueFailsWithAReason) {
  const Result<std::string> protectedForm = ProtectSecret("correct horse");
  ASSERT_TRUE(protectedForm.Ok());
  const std::string& stored = *protectedForm;
  const std::string body = stored.substr(kPrefix.size());
  // Not base64 at all, cut short, a changed signature, a value
  // protected elsewhere (here: random bytes in base64).
  // The flipped character lies in the signature that ends the blob (header
  // fields that the signature does not cover may change without harm).
  std::string flipped = body;
  const size_t at = flipped.size() - 8;
  flipped[at] = flipped[at] == 'A' ? 'B' : 'A';
  for (const std::string& bad : {kPrefix + "not base64!", kPrefix + body.substr(0, body.size() - 3),
                                 kPrefix + flipped, kPrefix + "AQIDBAUGBwgJCgsMDQ4PEA==",
                                 kPrefix}) {
    SCOPED_TRACE(bad);
    const Result<std::string> clear = UnprotectSecret(bad);
    EXPECT_FALSE(clear.Ok());
    EXPECT_FALSE(clear.status().What().empty());
    EXPECT_FALSE(clear.status().Text().empty()) << "the failure must give the reason";
    EXPECT_TRUE(clear.value_or("").empty()) << "no partial or stale password on failure";
  }
}
#endif

}  // namespace
}  // namespace qw
