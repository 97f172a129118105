// The field parsers of the watch's settings, as people write the values by
// hand: what each accepts, what it turns the text into, and what it refuses.
#include "common/watch_settings.h"

#include <gtest/gtest.h>

#include <string>

namespace qw {
namespace {

TEST(WatchSettingsFields, PortSecurityAndTlsCheck) {
  struct PortCase {
    const char* text;
    int port;  // 0: refused
  };
  const PortCase ports[] = {{"", 25},       {" 587 ", 587}, {"1", 1},      {"65535", 65535}, {"0x24B", 587},
                            {"0X1bd", 445}, {"0", 0},       {"65536", 0},  {"-25", 0},       {"0x", 0},
                            {"0x10000", 0}, {"25a", 0},     {"2 5", 0},    {"0x1FFFFFFFF", 0}};
  for (const PortCase& c : ports) {
    const Result<int> port = ParsePort(c.text);
    EXPECT_EQ(port.Ok(), c.port != 0) << "'" << c.text << "'";
    if (port && c.port) {
      EXPECT_EQ(*port, c.port) << "'" << c.text << "'";
    }
  }

  struct SecurityCase {
    const char* text;
    int security;  // -1: refused
  };
  const SecurityCase securities[] = {{"", 0},     {"NONE", 0},      {"none", 0},      {" StartTLS\t", 1},
                                     {"TLS", 2},  {"ssl", -1},      {"START TLS", -1}, {"TLS1.2", -1}};
  for (const SecurityCase& c : securities) {
    const Result<MailSecurity> security = ParseSecurity(c.text);
    EXPECT_EQ(security ? static_cast<int>(*security) : -1, c.security) << "'" << c.text << "'";
  }

  struct VerifyCase {
    const char* text;
    int verify;  // -1: refused
  };
  const VerifyCase verifies[] = {{"", 1}, {"1", 1}, {" 0 ", 0}, {"yes", -1}, {"2", -1}, {"T", -1}};
  for (const VerifyCase& c : verifies) {
    const Result<bool> verify = ParseTlsVerify(c.text);
    EXPECT_EQ(verify ? static_cast<int>(*verify) : -1, c.verify) << "'" << c.text << "'";
  }
}

TEST(WatchSettingsFields, AddressesAreBareAndNamedFormsAreRefusedWithAHint) {
  struct Case {
    const char* text;
    const char* bare;    // nullptr: refused
    const char* reason;  // a part of the refusal's text
  };
  const Case cases[] = {
      {"", "", nullptr},
      {"a@example.jp", "a@example.jp", nullptr},
      {"<a@example.jp>, b@example.jp,,", "a@example.jp,b@example.jp", nullptr},
      {",", nullptr, "メールアドレスがありません"},
      {"Ops <ops@example.jp>", nullptr, "「名前 <アドレス>」"},
      {"a@example.jp\r\nBcc: x@example.jp", nullptr, ""},
      {"not an address", nullptr, "はメールアドレスではありません"},
  };
  for (const Case& c : cases) {
    const Result<std::string> list = ParseAddressList(c.text);
    ASSERT_EQ(list.Ok(), c.bare != nullptr) << "'" << c.text << "'";
    if (c.bare) {
      EXPECT_EQ(*list, c.bare);
    } else {
      EXPECT_NE(list.status().Text().find(c.reason), std::string::npos) << list.status().Text();
    }
  }
  EXPECT_NE(ParseBareAddress("a@example.jp\r\nBcc: x@example.jp").status().Text().find("改行文字"), std::string::npos)
      << "no header line smuggled in through the sender";
  // 254 bytes are the most an address may have (brackets not counted).
  const auto address = [](size_t lastLabel) {
    return std::string(64, 'a') + "@" + std::string(63, 'b') + "." + std::string(63, 'c') + "." +
           std::string(lastLabel, 'd') + ".jp";
  };
  ASSERT_EQ(address(58).size(), 254u);
  EXPECT_TRUE(ParseBareAddress("<" + address(58) + ">").Ok());
  EXPECT_FALSE(ParseBareAddress(address(59)).Ok()) << "255 bytes";
}

}  // namespace
}  // namespace qw
