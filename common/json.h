// JSON (RFC 8259) for the small documents the product exchanges with HTTP
// peers: token answers, service account keys, SASL challenges, webhook
// bodies.
//
// The reader is strict: one value and nothing after it but whitespace; no
// comments, trailing commas, single quotes, leading zeros, NaN or byte order
// mark; strings must be valid UTF-8 with no raw control characters, and a
// \u escape of a surrogate must be a whole pair; a key may appear only once
// in an object. It is bounded: a text longer than JsonLimits::maxBytes or
// nested deeper than maxDepth is refused before any more work is done.
// Failures are a Status with What() "JSON" and the byte offset in the text.
//
// The writer builds a document in order and refuses (at Take) a string that
// is not valid UTF-8, and a document whose
// objects and arrays do not close.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/status.h"

namespace qw {

struct JsonLimits {
  size_t maxBytes = 64 * 1024;
  int maxDepth = 16;
};

class JsonValue {
 public:
  enum class Type { kNull, kBool, kNumber, kString, kArray, kObject };
  using Member = std::pair<std::string, JsonValue>;

  JsonValue() = default;
  static JsonValue Bool(bool value);
  static JsonValue Number(std::string text);  // the number as written
  static JsonValue String(std::string utf8);
  static JsonValue Array(std::vector<JsonValue> items);
  static JsonValue Object(std::vector<Member> members);

  Type type() const { return type_; }
  bool IsNull() const { return type_ == Type::kNull; }
  bool IsString() const { return type_ == Type::kString; }
  bool IsNumber() const { return type_ == Type::kNumber; }
  bool IsObject() const { return type_ == Type::kObject; }
  bool IsArray() const { return type_ == Type::kArray; }

  bool AsBool() const { return bool_; }
  // The string's UTF-8 for a string, the number as written for a number.
  const std::string& Text() const { return text_; }
  // A number that is a whole value from -2^63 to 2^63-1 written without
  // fraction or exponent ("3600", not "3.6e3"); nothing otherwise.
  std::optional<int64_t> AsInt64() const;
  const std::vector<JsonValue>& Items() const { return items_; }
  const std::vector<Member>& Members() const { return members_; }

  // The member named `key` of an object; nullptr when there is none or this
  // is not an object.
  const JsonValue* Find(std::string_view key) const;
  // The member's string, when the member is there and is a string.
  std::optional<std::string> FindString(std::string_view key) const;

 private:
  Type type_ = Type::kNull;
  bool bool_ = false;
  std::string text_;
  std::vector<JsonValue> items_;
  std::vector<Member> members_;
};

Result<JsonValue> ParseJson(std::string_view text, const JsonLimits& limits = {});

// True when `bytes` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool IsValidUtf8(std::string_view bytes);

// The text of `value` (members in their order, numbers as written), or why
// it cannot be written (a string that is not UTF-8).
Result<std::string> WriteJson(const JsonValue& value);

class JsonWriter {
 public:
  JsonWriter& BeginObject();
  JsonWriter& EndObject();
  JsonWriter& BeginArray();
  JsonWriter& EndArray();
  // The name of the next member; only directly inside an object.
  JsonWriter& Key(std::string_view utf8);
  JsonWriter& String(std::string_view utf8);
  JsonWriter& Int(int64_t value);
  // A number as JSON writes it ("-1.5e3"); anything else is a misuse.
  JsonWriter& Number(std::string_view text);
  JsonWriter& Bool(bool value);
  JsonWriter& Null();

  // The document, or why it is not one (the first misuse or bad string).
  Result<std::string> Take();

 private:
  void BeforeValue();
  void Fail(std::string why);
  void Quote(std::string_view utf8);

  std::string out_;
  // One entry per open container: true for an object. expectKey_ is true
  // inside an object when the next item must be a key.
  std::vector<bool> open_;
  std::vector<bool> first_;
  bool expectKey_ = false;
  bool done_ = false;
  std::string error_;
};

}  // namespace qw
