#include "common/json.h"

#include <gtest/gtest.h>

#include <string>

namespace qw {
namespace {

struct ParseCase {
  const char* text;
  bool ok;
};

TEST(JsonParseTest, AcceptsWhatRfc8259AllowsAndNothingElse) {
  const ParseCase cases[] = {
      {"{}", true},
      {" [ ] ", true},
      {"\"\"", true},
      {"0", true},
      {"-0.5e+10", true},
      {"1E-2", true},
      {"true", true},
      {"null", true},
      {"{\"a\":[1,{\"b\":null}],\"c\":\"\\u00e9\\ud83d\\ude00\"}", true},
      {"\"\xe3\x81\x82\"", true},
      {"", false},
      {"   ", false},
      {"{", false},
      {"{\"a\":1,}", false},
      {"[1,]", false},
      {"[1 2]", false},
      {"{'a':1}", false},
      {"{a:1}", false},
      {"{\"a\" 1}", false},
      {"01", false},
      {"-", false},
      {"1.", false},
      {".5", false},
      {"1e", false},
      {"+1", false},
      {"NaN", false},
      {"Infinity", false},
      {"tru", false},
      {"nulls", false},
      {"{} {}", false},
      {"// c\n{}", false},
      {"\xef\xbb\xbf{}", false},
      {"\"a\nb\"", false},
      {"\"a\tb\"", false},
      {"\"\\x41\"", false},
      {"\"\\u12\"", false},
      {"\"\\ud800\"", false},
      {"\"\\udc00\"", false},
      {"\"\\ud800\\u0041\"", false},
      {"\"\xc3\"", false},
      {"\"\xc0\xaf\"", false},
      {"\"\xed\xa0\x80\"", false},
      {"\"\xf4\x90\x80\x80\"", false},
      {"\"\x82\xa0\"", false},
      {"{\"a\":1,\"a\":2}", false},
      {"\"abc", false},
  };
  for (const ParseCase& c : cases) {
    Result<JsonValue> parsed = ParseJson(c.text);
    EXPECT_EQ(parsed.Ok(), c.ok) << "text: " << c.text << " " << parsed.status().Describe();
    if (!parsed) {
      EXPECT_EQ(parsed.status().What(), "JSON");
    }
  }
}

TEST(JsonParseTest, DecodesStringsAndKeepsMembersInOrder) {
  Result<JsonValue> parsed =
      ParseJson("{\"z\":\"a\\\"b\\\\c\\/d\\n\",\"y\":\"\\u00e9\\ud83d\\ude00\",\"x\":[true,false,null,-12]}");
  ASSERT_TRUE(parsed) << parsed.status().Describe();
  ASSERT_EQ(parsed->Members().size(), 3u);
  EXPECT_EQ(parsed->Members()[0].first, "z");
  EXPECT_EQ(parsed->Members()[2].first, "x");
  EXPECT_EQ(parsed->FindString("z"), std::optional<std::string>("a\"b\\c/d\n"));
  EXPECT_EQ(parsed->FindString("y"), std::optional<std::string>("\xc3\xa9\xf0\x9f\x98\x80"));
  const JsonValue* x = parsed->Find("x");
  ASSERT_NE(x, nullptr);
  ASSERT_EQ(x->Items().size(), 4u);
  EXPECT_TRUE(x->Items()[0].AsBool());
  EXPECT_TRUE(x->Items()[2].IsNull());
  EXPECT_EQ(x->Items()[3].AsInt64(), std::optional<int64_t>(-12));
  EXPECT_EQ(parsed->Find("w"), nullptr);
  EXPECT_EQ(parsed->FindString("x"), std::nullopt);
}

TEST(JsonParseTest, BoundsDepthAndSize) {
  JsonLimits limits;
  limits.maxDepth = 4;
  limits.maxBytes = 100;
  EXPECT_TRUE(ParseJson("[[[[1]]]]", limits));
  EXPECT_FALSE(ParseJson("[[[[[1]]]]]", limits));
  EXPECT_FALSE(ParseJson("{\"a\":{\"a\":{\"a\":{\"a\":{}}}}}", limits));
  EXPECT_TRUE(ParseJson(std::string(98, ' ') + "{}", limits));
  EXPECT_FALSE(ParseJson(std::string(99, ' ') + "{}", limits));
  // A deep text with the default limits fails without exhausting the stack.
  EXPECT_FALSE(ParseJson(std::string(60000, '[')));
}

TEST(JsonParseTest, ReadsWholeNumbersOnlyWhenTheyFit) {
  const struct {
    const char* text;
    std::optional<int64_t> value;
  } cases[] = {
      {"3599", 3599},
      {"-9223372036854775808", INT64_MIN},
      {"9223372036854775807", INT64_MAX},
      {"9223372036854775808", std::nullopt},
      {"-9223372036854775809", std::nullopt},
      {"3.5", std::nullopt},
      {"1e3", std::nullopt},
      {"0", 0},
  };
  for (const auto& c : cases) {
    Result<JsonValue> parsed = ParseJson(c.text);
    ASSERT_TRUE(parsed) << c.text;
    EXPECT_EQ(parsed->AsInt64(), c.value) << c.text;
  }
}

TEST(JsonWriterTest, WritesWhatTheReaderReadsBack) {
  const std::string strange = std::string("q\"b\\s/\b\f\n\r\t\x01\x1f\x7f", 14) + "\xe3\x81\x82\xf0\x9f\x98\x80";
  JsonWriter writer;
  writer.BeginObject()
      .Key("s").String(strange)
      .Key("n").Int(INT64_MIN)
      .Key("a").BeginArray().Bool(true).Null().BeginObject().EndObject().BeginArray().EndArray().EndArray()
      .Key(strange).Int(1)
      .EndObject();
  Result<std::string> text = writer.Take();
  ASSERT_TRUE(text) << text.status().Describe();
  for (const char c : *text) EXPECT_FALSE(static_cast<unsigned char>(c) < 0x20) << *text;
  Result<JsonValue> back = ParseJson(*text);
  ASSERT_TRUE(back) << back.status().Describe() << " in " << *text;
  EXPECT_EQ(back->FindString("s"), std::optional<std::string>(strange));
  EXPECT_EQ(back->Find("n")->AsInt64(), std::optional<int64_t>(INT64_MIN));
  EXPECT_EQ(back->Find("a")->Items().size(), 4u);
  EXPECT_NE(back->Find(strange), nullptr);
  // A parsed value writes back to the same text.
  Result<std::string> again = WriteJson(*back);
  ASSERT_TRUE(again) << again.status().Describe();
  EXPECT_EQ(*again, *text);
  Result<JsonValue> numbers = ParseJson("[-0.5e+10,1E-2,0]");
  ASSERT_TRUE(numbers);
  EXPECT_EQ(WriteJson(*numbers).value_or(""), "[-0.5e+10,1E-2,0]");
}

TEST(JsonWriterTest, RefusesBrokenDocuments) {
  const struct {
    const char* name;
    void (*write)(JsonWriter&);
  } cases[] = {
      {"not UTF-8", [](JsonWriter& w) { w.BeginObject().Key("k").String("\x82\xa0").EndObject(); }},
      {"key not UTF-8", [](JsonWriter& w) { w.BeginObject().Key("\xff").Int(1).EndObject(); }},
      {"unclosed", [](JsonWriter& w) { w.BeginObject().Key("k").BeginArray(); }},
      {"value without key", [](JsonWriter& w) { w.BeginObject().Int(1).EndObject(); }},
      {"key without value", [](JsonWriter& w) { w.BeginObject().Key("k").EndObject(); }},
      {"key in array", [](JsonWriter& w) { w.BeginArray().Key("k").EndArray(); }},
      {"mismatched end", [](JsonWriter& w) { w.BeginArray().EndObject(); }},
      {"two values", [](JsonWriter& w) { w.Int(1).Int(2); }},
      {"nothing", [](JsonWriter&) {}},
      {"bad number", [](JsonWriter& w) { w.BeginArray().Number("01").EndArray(); }},
      {"number with space", [](JsonWriter& w) { w.BeginArray().Number("1 ").EndArray(); }},
  };
  for (const auto& c : cases) {
    JsonWriter writer;
    c.write(writer);
    Result<std::string> text = writer.Take();
    EXPECT_FALSE(text) << c.name << ": " << text.value_or("");
  }
}

}  // namespace
}  // namespace qw
