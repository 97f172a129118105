#include "common/address_check.h"

#include <gtest/gtest.h>

namespace qw {
namespace {

TEST(IsDomainName, AcceptsDottedNamesOfHostNameCharacters) {
  for (const char* name : {"mail.example.jp", "a.b", "smtp-1.example.co.jp", "192.168.0.1",
                           "-x.y-", "A.B", "x.y.z.w.v"}) {
    EXPECT_TRUE(IsDomainName(name)) << name;
  }
}

TEST(IsDomainName, RefusesMisplacedDotsAndForeignCharacters) {
  for (const char* name : {"", "localhost", ".example.jp", "example.jp.", "mail..example.jp",
                           ".", "..", "a.", "mail example.jp", "mail_1.example.jp",
                           "a@b.jp", "a,b.jp", "メール.jp", "a.b\t", "a.b\r\n"}) {
    EXPECT_FALSE(IsDomainName(name)) << name;
  }
}

TEST(IsServerName, TakesHostNamesAndAddressLiteralsOfBothFamilies) {
  for (const char* name : {"mail.example.jp", "192.168.0.1", "::1", "[::1]", "2001:db8::25", "[2001:db8::25]",
                           "[192.0.2.5]", "::ffff:192.0.2.5"}) {
    EXPECT_TRUE(IsServerName(name)) << name;
  }
  for (const char* name : {"", "localhost", "[mail.example.jp]", "[::1", "::1]", "1::2::3", "[[::1]]", "::1%eth0",
                           "mail.example.jp:25", "[::1]:25", "2001:db8::g", "a.b\r\n"}) {
    EXPECT_FALSE(IsServerName(name)) << name;
  }
  // An address literal is a server, never a mail domain here.
  EXPECT_FALSE(IsMailAddress("taro@[::1]"));
}

TEST(IsMailAddress, LocalPartMayHoldAnyAddressCharacterOrNothing) {
  for (const char* address : {"taro@example.jp", "@example.jp", ".taro.@example.jp",
                              "a..b@example.jp", "!#$%&'*+-./=?^_`{|}~@x.jp",
                              "Taro.Yamada@Example.JP", "a@1.2"}) {
    EXPECT_TRUE(IsMailAddress(address)) << address;
  }
}

TEST(IsMailAddress, DomainPartFollowsTheHostNameRules) {
  for (const char* address : {"taro@localhost", "taro@.example.jp", "taro@example.jp.",
                              "taro@example..jp", "taro@ex@ample.jp", "taro@a@b.jp",
                              "taro@", "a@b", "taro@exa mple.jp"}) {
    EXPECT_FALSE(IsMailAddress(address)) << address;
  }
}

TEST(IsMailAddress, RefusesShortTextsMissingAtAndForeignLocalCharacters) {
  for (const char* address : {"", "a@", "@b", "ab", "example.jp", "ta ro@example.jp",
                              "\"taro\"@example.jp", "ta,ro@example.jp", "(taro)@example.jp",
                              "taro;@example.jp", "<taro>@example.jp", "ta\\ro@example.jp",
                              "[taro]@example.jp", "taro:@example.jp", "太郎@example.jp",
                              "ta\x7fro@example.jp", "ta\tro@example.jp"}) {
    EXPECT_FALSE(IsMailAddress(address)) << address;
  }
}

TEST(AddressCharacters, AreExactlyTheEightyThreeOfTheAddressSet) {
  int address = 0, host = 0;
  for (int c = 0; c < 256; ++c) {
    if (IsAddressChar(static_cast<char>(c))) ++address;
    if (IsHostNameChar(static_cast<char>(c))) ++host;
  }
  EXPECT_EQ(address, 83);
  EXPECT_EQ(host, 64);
  EXPECT_TRUE(IsAddressChar('@'));
  EXPECT_FALSE(IsAddressChar(' '));
  EXPECT_FALSE(IsAddressChar('\0'));
  EXPECT_FALSE(IsHostNameChar('_'));
}

}  // namespace
}  // namespace qw
