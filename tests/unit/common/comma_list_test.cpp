#include "common/comma_list.h"

#include <gtest/gtest.h>

#include "common/errors.h"

namespace qw {
namespace {

using List = std::vector<std::string>;

TEST(CommaList, Reading) {
  EXPECT_EQ(ReadCommaList(""), List{});
  EXPECT_EQ(ReadCommaList("   "), List{});
  EXPECT_EQ(ReadCommaList("a@b,c@d"), (List{"a@b", "c@d"}));
  EXPECT_EQ(ReadCommaList("  a@b ,\t c@d  "), (List{"a@b", "c@d"}));
  EXPECT_EQ(ReadCommaList("a b"), (List{"a", "b"})) << "a blank ends an unquoted item";
  EXPECT_EQ(ReadCommaList("\"a b\",\"say \"\"hi\"\"\""), (List{"a b", "say \"hi\""}));
  EXPECT_EQ(ReadCommaList("a,,b"), (List{"a", "", "b"}));
  EXPECT_EQ(ReadCommaList("a,"), (List{"a", ""}));
  EXPECT_EQ(ReadCommaList("a, "), (List{"a"})) << "only a comma that is the last byte adds an item";
  EXPECT_EQ(ReadCommaList(",,"), (List{"", "", ""}));
  EXPECT_EQ(ReadCommaList("\"\""), (List{""}));
  EXPECT_EQ(ReadCommaList("\"unterminated"), (List{"unterminated"}));
}

TEST(CommaList, WritingAndRoundTrip) {
  EXPECT_EQ(WriteCommaList({}), "");
  EXPECT_EQ(WriteCommaList({""}), "\"\"");
  EXPECT_EQ(WriteCommaList({"a@b", "c@d"}), "a@b,c@d");
  EXPECT_EQ(WriteCommaList({"a b", "x,y", "q\"q", ""}), "\"a b\",\"x,y\",\"q\"\"q\",") << "an empty item among others is written empty";
  EXPECT_EQ(WriteCommaList({std::string("\x01z")}), "\"\x01z\"");
  const List lists[] = {{"a"}, {"a b", "", "c"}, {"\"", ","}, {"", ""}, {"日本語@例え.jp"}};
  for (const List& list : lists) EXPECT_EQ(ReadCommaList(WriteCommaList(list)), list);
}

TEST(Conversions, StrictIntegersAndFloats) {
  int32_t i = 0;
  EXPECT_TRUE(TryStrToInt("-2147483648", &i));
  EXPECT_EQ(i, INT32_MIN);
  EXPECT_FALSE(TryStrToInt("2147483648", &i));
  for (const char* bad : {"", "+", "1 ", " 1", "1x", "0x10", "1.0"}) EXPECT_FALSE(TryStrToInt(bad, &i)) << bad;
  int64_t l = 0;
  EXPECT_TRUE(TryStrToInt64("9223372036854775807", &l));
  EXPECT_FALSE(TryStrToInt64("9223372036854775808", &l));
  double d = 0;
  EXPECT_TRUE(TryStrToFloat(" 12.5 ", ".", &d));
  EXPECT_DOUBLE_EQ(d, 12.5);
  EXPECT_TRUE(TryStrToFloat("1e2", ".", &d));
  EXPECT_DOUBLE_EQ(d, 100);
  EXPECT_FALSE(TryStrToFloat("12,5", ".", &d));
  EXPECT_TRUE(TryStrToFloat("12,5", ",", &d));
  EXPECT_DOUBLE_EQ(d, 12.5);
  for (const char* bad : {"", ".", "1e", "1e999", "abc", "1.2.3"}) EXPECT_FALSE(TryStrToFloat(bad, ".", &d)) << bad;
}

}  // namespace
}  // namespace qw
