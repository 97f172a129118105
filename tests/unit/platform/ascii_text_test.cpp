// The shared text helpers: only the bytes of ASCII letters fold,
// the three trimming rules keep their differences, and the integer rules
// accept exactly their forms, with the full 64-bit range and no overflow.
#include "platform/ascii_text.h"
#include "platform/profile.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

namespace qw {
namespace {

TEST(AsciiText, CaseFoldsAsciiLettersOnly) {
  EXPECT_EQ(AsciiLowerCase("MAIL From:\x81\x80\xFF@[Z]"), "mail from:\x81\x80\xFF@[z]");
  EXPECT_EQ(AsciiUpperCase("rcpt\xC0z"), "RCPT\xC0Z");
  EXPECT_EQ(CompareCaseless("ADMIN@example.jp", "admin@EXAMPLE.JP"), 0);
  EXPECT_LT(CompareCaseless("abc", "ABD"), 0);
  EXPECT_GT(CompareCaseless("abcd", "ABC"), 0) << "the longer one after a common prefix";
  EXPECT_LT(CompareCaseless("a", "\xE0"), 0) << "bytes compare unsigned";
  EXPECT_TRUE(EqualsCaseless("Content-Type", "CONTENT-type"));
  EXPECT_FALSE(EqualsCaseless("Content-Type", "Content-Typ"));
  EXPECT_FALSE(EqualsCaseless("@[", "`{")) << "the neighbours of the letters do not fold";
  EXPECT_TRUE(StartsWithCaseless("MultiPart/Mixed; boundary=x", "multipart/"));
  EXPECT_TRUE(StartsWithCaseless("multipart/", "MULTIPART/"));
  EXPECT_TRUE(StartsWithCaseless("any", ""));
  EXPECT_FALSE(StartsWithCaseless("multipart", "multipart/")) << "shorter than the prefix";
  EXPECT_FALSE(StartsWithCaseless(" multipart/", "multipart/"));
  EXPECT_FALSE(StartsWithCaseless("multipart\\", "multipart|")) << "the neighbours of the letters do not fold";
}

TEST(AsciiText, TrimmingRulesDiffer) {
  EXPECT_EQ(TrimBlanks("  a\tb \t "), "a\tb \t");
  EXPECT_EQ(TrimBlanks("   a  b   "), "a  b");
  EXPECT_EQ(TrimBlanks("\t a \t"), "\t a \t");
  EXPECT_EQ(TrimBlanks("    "), "");
  EXPECT_EQ(TrimLeftBlanks("  a  "), "a  ");
  EXPECT_EQ(TrimLeftBlanks("\t a"), "\t a");
  EXPECT_EQ(TrimLeftBlanks("   "), "");
  EXPECT_EQ(TrimSpaceTab("\t a b \t\r"), "a b");
  EXPECT_EQ(TrimSpaceTab("\ra\r"), "\ra") << "a CR only at the end";
  EXPECT_EQ(TrimControls(std::string("\x01 \r\n1\x1F ", 7)), "1");
  EXPECT_EQ(TrimControls(" \x7F "), "\x7F");
  EXPECT_EQ(TrimControls("   "), "");
  EXPECT_EQ(StripQuotes("\"a b\""), "a b");
  EXPECT_EQ(StripQuotes("\"\""), "");
  EXPECT_EQ(StripQuotes("\""), "") << "a lone quote";
  EXPECT_EQ(StripQuotes("\"a"), "\"a");
  EXPECT_EQ(StripQuotes("a\""), "a\"");
}

TEST(AsciiText, QuotedRunsDoubleTheirQuote) {
  std::string out = "x";
  EXPECT_EQ(ReadQuotedRun("a'b''c'd", 1, '\'', &out), 7u);
  EXPECT_EQ(out, "xb'c");
  out.clear();
  EXPECT_EQ(ReadQuotedRun("\"\"\"\"", 0, '"', &out), 4u) << "a run of one doubled quote";
  EXPECT_EQ(out, "\"");
  out.clear();
  EXPECT_EQ(ReadQuotedRun("\"open''", 0, '"', &out), 7u) << "no closing quote: the run ends with the text";
  EXPECT_EQ(out, "open''");
}

TEST(AsciiText, IntegerRules) {
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  struct Case {
    const char* text;
    IntegerRules rules;
    bool ok;
    int64_t value;
  };
  const IntegerRules lenient{true, true, true};
  const Case cases[] = {
      {"25", kDecimal, true, 25},
      {"-5", kDecimal, true, -5},
      {"+7", kDecimal, true, 7},
      {"", kDecimal, false, 0},
      {"-", kDecimal, false, 0},
      {" 5", kDecimal, false, 0},
      {"5 ", kDecimal, false, 0},
      {"0x10", kDecimal, false, 0},
      {"9223372036854775807", kDecimal, true, kMax},
      {"-9223372036854775808", kDecimal, true, kMin},
      {"9223372036854775808", kDecimal, false, 0},
      {"-9223372036854775809", kDecimal, false, 0},
      {"99999999999999999999999", kDecimal, false, 0},
      {" \t42abc", lenient, true, 42},
      {"0x1F", lenient, true, 31},
      {"0x", lenient, true, 0},
      {"-0x10z", lenient, true, -16},
      {"abc", lenient, false, 0},
  };
  for (const Case& c : cases) {
    const Result<int64_t> value = ParseInteger(c.text, c.rules, kMin, kMax);
    EXPECT_EQ(value.Ok(), c.ok) << c.text;
    EXPECT_EQ(value.value_or(12345), c.ok ? c.value : 12345) << c.text;
    if (!c.ok) {
      EXPECT_FALSE(value.status().Text().empty()) << c.text;
    }
  }
  // A number outside the bounds is told apart from no number at all.
  const Result<int64_t> below = ParseInteger("0", kDecimal, 1, 65535);
  const Result<int64_t> above = ParseInteger("65536", kDecimal, 1, 65535);
  const Result<int64_t> none = ParseInteger("port", kDecimal, 1, 65535);
  EXPECT_FALSE(below.Ok());
  EXPECT_FALSE(above.Ok());
  EXPECT_EQ(below.status().Text(), "out of range 1 to 65535");
  EXPECT_EQ(above.status().Text(), "out of range 1 to 65535");
  EXPECT_EQ(none.status().Text(), "not an integer");
  const Result<int64_t> top = ParseInteger("65535", kDecimal, 1, 65535);
  ASSERT_TRUE(top.Ok());
  EXPECT_EQ(*top, 65535);
}

// The profile rule wraps where the others refuse; ProfileTextToInt gives it
// with its default for a text without digits.
TEST(AsciiText, ProfileIntegerWrapsAt32Bits) {
  constexpr int64_t kMin = std::numeric_limits<int32_t>::min();
  constexpr int64_t kMax = std::numeric_limits<int32_t>::max();
  const struct {
    const char* text;
    int64_t value;
  } cases[] = {
      {"2147483647", kMax},
      {"2147483648", kMin},
      {"4294967297", 1},
      {"99999999999999999999999", -159383553},  // 10^23 - 1 modulo 2^32, signed
      {"0xFFFFFFFF", -1},
      {"-0x1", -1},
      {"  -4294967295x", 1},
      {"0x", 0},
  };
  for (const auto& c : cases) {
    const Result<int64_t> value = ParseInteger(c.text, kProfileInteger, kMin, kMax);
    EXPECT_TRUE(value.Ok()) << c.text;
    EXPECT_EQ(value.value_or(12345), c.value) << c.text;
    EXPECT_EQ(ProfileTextToInt(c.text, 7), c.value) << c.text;
  }
  for (const char* none : {"", " ", "-", "x1", "0xg"}) EXPECT_EQ(ProfileTextToInt(none, 7), 7) << none;
}

}  // namespace
}  // namespace qw
