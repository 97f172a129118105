#include "common/json.h"

#include <cstdio>
#include <limits>

namespace qw {

JsonValue JsonValue::Bool(bool value) {
  JsonValue v;
  v.type_ = Type::kBool;
  v.bool_ = value;
  return v;
}

JsonValue JsonValue::Number(std::string text) {
  JsonValue v;
  v.type_ = Type::kNumber;
  v.text_ = std::move(text);
  return v;
}

JsonValue JsonValue::String(std::string utf8) {
  JsonValue v;
  v.type_ = Type::kString;
  v.text_ = std::move(utf8);
  return v;
}

JsonValue JsonValue::Array(std::vector<JsonValue> items) {
  JsonValue v;
  v.type_ = Type::kArray;
  v.items_ = std::move(items);
  return v;
}

JsonValue JsonValue::Object(std::vector<Member> members) {
  JsonValue v;
  v.type_ = Type::kObject;
  v.members_ = std::move(members);
  return v;
}

std::optional<int64_t> JsonValue::AsInt64() const {
  if (type_ != Type::kNumber || text_.empty()) return std::nullopt;
  size_t i = 0;
  const bool negative = text_[0] == '-';
  if (negative) i = 1;
  if (i == text_.size()) return std::nullopt;
  // Accumulate as a negative value, which reaches down to the minimum.
  int64_t value = 0;
  for (; i < text_.size(); ++i) {
    const char c = text_[i];
    if (c < '0' || c > '9') return std::nullopt;
    const int digit = c - '0';
    if (value < (std::numeric_limits<int64_t>::min() + digit) / 10) return std::nullopt;
    value = value * 10 - digit;
  }
  if (negative) return value;
  if (value == std::numeric_limits<int64_t>::min()) return std::nullopt;
  return -value;
}

const JsonValue* JsonValue::Find(std::string_view key) const {
  if (type_ != Type::kObject) return nullptr;
  for (const Member& member : members_) {
    if (member.first == key) return &member.second;
  }
  return nullptr;
}

std::optional<std::string> JsonValue::FindString(std::string_view key) const {
  const JsonValue* value = Find(key);
  if (value == nullptr || !value->IsString()) return std::nullopt;
  return value->Text();
}

namespace {

// Length of the UTF-8 sequence at `at` in `bytes`, or 0 when none starts
// there.
size_t Utf8SequenceLength(std::string_view bytes, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80) return 1;
  size_t length;
  unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (at + length > bytes.size()) return 0;
  if (byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
  }
  return length;
}

void AppendUtf8(std::string& out, uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

class Parser {
 public:
  Parser(std::string_view text, const JsonLimits& limits) : text_(text), limits_(limits) {}

  Result<JsonValue> Run() {
    SkipSpace();
    JsonValue value;
    if (!ParseValue(value, 0)) return Error();
    SkipSpace();
    if (at_ != text_.size()) {
      Fail("text after the value");
      return Error();
    }
    return value;
  }

 private:
  Status Error() const {
    return Status::Failure("JSON", static_cast<int64_t>(errorAt_),
                           error_ + " at byte " + std::to_string(errorAt_));
  }
  bool Fail(const char* why) {
    if (error_.empty()) {
      error_ = why;
      errorAt_ = at_;
    }
    return false;
  }
  bool AtEnd() const { return at_ >= text_.size(); }
  char Peek() const { return text_[at_]; }
  void SkipSpace() {
    while (!AtEnd() && (Peek() == ' ' || Peek() == '\t' || Peek() == '\n' || Peek() == '\r')) ++at_;
  }
  bool Literal(std::string_view word) {
    if (text_.substr(at_, word.size()) != word) return Fail("unknown word");
    at_ += word.size();
    return true;
  }

  bool ParseValue(JsonValue& out, int depth) {
    if (AtEnd()) return Fail("value missing");
    switch (Peek()) {
      case '{': return ParseObject(out, depth + 1);
      case '[': return ParseArray(out, depth + 1);
      case '"': {
        std::string text;
        if (!ParseString(text)) return false;
        out = JsonValue::String(std::move(text));
        return true;
      }
      case 't':
        if (!Literal("true")) return false;
        out = JsonValue::Bool(true);
        return true;
      case 'f':
        if (!Literal("false")) return false;
        out = JsonValue::Bool(false);
        return true;
      case 'n':
        if (!Literal("null")) return false;
        out = JsonValue();
        return true;
      default: return ParseNumber(out);
    }
  }

  bool ParseObject(JsonValue& out, int depth) {
    if (depth > limits_.maxDepth) return Fail("nested too deep");
    ++at_;  // '{'
    std::vector<JsonValue::Member> members;
    SkipSpace();
    if (!AtEnd() && Peek() == '}') {
      ++at_;
      out = JsonValue::Object(std::move(members));
      return true;
    }
    for (;;) {
      SkipSpace();
      if (AtEnd() || Peek() != '"') return Fail("member name missing");
      const size_t keyAt = at_;
      std::string key;
      if (!ParseString(key)) return false;
      for (const JsonValue::Member& member : members) {
        if (member.first == key) {
          at_ = keyAt;
          return Fail("member name given twice");
        }
      }
      SkipSpace();
      if (AtEnd() || Peek() != ':') return Fail("':' missing");
      ++at_;
      SkipSpace();
      JsonValue value;
      if (!ParseValue(value, depth)) return false;
      members.emplace_back(std::move(key), std::move(value));
      SkipSpace();
      if (AtEnd()) return Fail("object not closed");
      if (Peek() == ',') {
        ++at_;
        continue;
      }
      if (Peek() == '}') {
        ++at_;
        out = JsonValue::Object(std::move(members));
        return true;
      }
      return Fail("',' or '}' missing");
    }
  }

  bool ParseArray(JsonValue& out, int depth) {
    if (depth > limits_.maxDepth) return Fail("nested too deep");
    ++at_;  // '['
    std::vector<JsonValue> items;
    SkipSpace();
    if (!AtEnd() && Peek() == ']') {
      ++at_;
      out = JsonValue::Array(std::move(items));
      return true;
    }
    for (;;) {
      SkipSpace();
      JsonValue value;
      if (!ParseValue(value, depth)) return false;
      items.push_back(std::move(value));
      SkipSpace();
      if (AtEnd()) return Fail("array not closed");
      if (Peek() == ',') {
        ++at_;
        continue;
      }
      if (Peek() == ']') {
        ++at_;
        out = JsonValue::Array(std::move(items));
        return true;
      }
      return Fail("',' or ']' missing");
    }
  }

  bool Hex4(uint32_t& code) {
    if (at_ + 4 > text_.size()) return Fail("\\u escape cut short");
    code = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[at_ + i];
      code <<= 4;
      if (c >= '0' && c <= '9') code |= c - '0';
      else if (c >= 'a' && c <= 'f') code |= c - 'a' + 10;
      else if (c >= 'A' && c <= 'F') code |= c - 'A' + 10;
      else return Fail("bad \\u escape");
    }
    at_ += 4;
    return true;
  }

  bool ParseString(std::string& out) {
    ++at_;  // '"'
    for (;;) {
      if (AtEnd()) return Fail("string not closed");
      const unsigned char c = static_cast<unsigned char>(Peek());
      if (c == '"') {
        ++at_;
        return true;
      }
      if (c < 0x20) return Fail("control character in a string");
      if (c == '\\') {
        ++at_;
        if (AtEnd()) return Fail("string not closed");
        const char e = Peek();
        ++at_;
        switch (e) {
          case '"': out += '"'; break;
          case '\\': out += '\\'; break;
          case '/': out += '/'; break;
          case 'b': out += '\b'; break;
          case 'f': out += '\f'; break;
          case 'n': out += '\n'; break;
          case 'r': out += '\r'; break;
          case 't': out += '\t'; break;
          case 'u': {
            uint32_t code;
            if (!Hex4(code)) return false;
            if (code >= 0xDC00 && code <= 0xDFFF) return Fail("lone low surrogate");
            if (code >= 0xD800 && code <= 0xDBFF) {
              if (text_.substr(at_, 2) != "\\u") return Fail("lone high surrogate");
              at_ += 2;
              uint32_t low;
              if (!Hex4(low)) return false;
              if (low < 0xDC00 || low > 0xDFFF) return Fail("lone high surrogate");
              code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            }
            AppendUtf8(out, code);
            break;
          }
          default:
            --at_;
            return Fail("unknown escape");
        }
        continue;
      }
      const size_t length = Utf8SequenceLength(text_, at_);
      if (length == 0) return Fail("not UTF-8");
      out.append(text_.substr(at_, length));
      at_ += length;
    }
  }

  bool ParseNumber(JsonValue& out) {
    const size_t start = at_;
    auto digits = [&]() {
      const size_t from = at_;
      while (!AtEnd() && Peek() >= '0' && Peek() <= '9') ++at_;
      return at_ - from;
    };
    if (!AtEnd() && Peek() == '-') ++at_;
    if (AtEnd() || Peek() < '0' || Peek() > '9') return Fail("unexpected character");
    if (Peek() == '0') {
      ++at_;
      if (!AtEnd() && Peek() >= '0' && Peek() <= '9') return Fail("leading zero");
    } else {
      digits();
    }
    if (!AtEnd() && Peek() == '.') {
      ++at_;
      if (digits() == 0) return Fail("digit missing after '.'");
    }
    if (!AtEnd() && (Peek() == 'e' || Peek() == 'E')) {
      ++at_;
      if (!AtEnd() && (Peek() == '+' || Peek() == '-')) ++at_;
      if (digits() == 0) return Fail("digit missing in the exponent");
    }
    out = JsonValue::Number(std::string(text_.substr(start, at_ - start)));
    return true;
  }

  std::string_view text_;
  const JsonLimits& limits_;
  size_t at_ = 0;
  std::string error_;
  size_t errorAt_ = 0;
};

}  // namespace

bool IsValidUtf8(std::string_view bytes) {
  for (size_t at = 0; at < bytes.size();) {
    const size_t length = Utf8SequenceLength(bytes, at);
    if (length == 0) return false;
    at += length;
  }
  return true;
}

Result<JsonValue> ParseJson(std::string_view text, const JsonLimits& limits) {
  if (text.size() > limits.maxBytes) {
    return Status::Failure("JSON", 0,
                           "the text has " + std::to_string(text.size()) + " bytes, more than " +
                               std::to_string(limits.maxBytes));
  }
  return Parser(text, limits).Run();
}

void JsonWriter::Fail(std::string why) {
  if (error_.empty()) error_ = std::move(why);
}

void JsonWriter::BeforeValue() {
  if (done_ && open_.empty()) {
    Fail("a second value after the document");
    return;
  }
  if (!open_.empty()) {
    if (open_.back()) {
      if (expectKey_) Fail("a value without a key in an object");
      expectKey_ = true;
    } else {
      if (!first_.back()) out_ += ',';
      first_.back() = false;
    }
  }
}

void JsonWriter::Quote(std::string_view utf8) {
  if (!IsValidUtf8(utf8)) Fail("a string that is not UTF-8");
  static const char kHex[] = "0123456789abcdef";
  out_ += '"';
  for (const char ch : utf8) {
    const unsigned char c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out_ += "\\\""; break;
      case '\\': out_ += "\\\\"; break;
      case '\b': out_ += "\\b"; break;
      case '\f': out_ += "\\f"; break;
      case '\n': out_ += "\\n"; break;
      case '\r': out_ += "\\r"; break;
      case '\t': out_ += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          out_ += "\\u00";
          out_ += kHex[c >> 4];
          out_ += kHex[c & 15];
        } else {
          out_ += ch;
        }
    }
  }
  out_ += '"';
}

JsonWriter& JsonWriter::BeginObject() {
  BeforeValue();
  out_ += '{';
  open_.push_back(true);
  first_.push_back(true);
  expectKey_ = true;
  return *this;
}

JsonWriter& JsonWriter::EndObject() {
  if (open_.empty() || !open_.back()) {
    Fail("EndObject outside an object");
    return *this;
  }
  if (!expectKey_) Fail("a key without a value");
  out_ += '}';
  open_.pop_back();
  first_.pop_back();
  expectKey_ = !open_.empty() && open_.back();
  if (open_.empty()) done_ = true;
  return *this;
}

JsonWriter& JsonWriter::BeginArray() {
  BeforeValue();
  out_ += '[';
  open_.push_back(false);
  first_.push_back(true);
  expectKey_ = false;
  return *this;
}

JsonWriter& JsonWriter::EndArray() {
  if (open_.empty() || open_.back()) {
    Fail("EndArray outside an array");
    return *this;
  }
  out_ += ']';
  open_.pop_back();
  first_.pop_back();
  expectKey_ = !open_.empty() && open_.back();
  if (open_.empty()) done_ = true;
  return *this;
}

JsonWriter& JsonWriter::Key(std::string_view utf8) {
  if (open_.empty() || !open_.back() || !expectKey_) {
    Fail("a key outside an object or twice in a row");
    return *this;
  }
  if (!first_.back()) out_ += ',';
  first_.back() = false;
  Quote(utf8);
  out_ += ':';
  expectKey_ = false;
  return *this;
}

JsonWriter& JsonWriter::String(std::string_view utf8) {
  BeforeValue();
  Quote(utf8);
  if (open_.empty()) done_ = true;
  return *this;
}

JsonWriter& JsonWriter::Int(int64_t value) {
  BeforeValue();
  out_ += std::to_string(value);
  if (open_.empty()) done_ = true;
  return *this;
}

JsonWriter& JsonWriter::Number(std::string_view text) {
  BeforeValue();
  Result<JsonValue> number = ParseJson(text);
  if (!number || !number->IsNumber() || number->Text() != text) Fail("not a JSON number");
  out_ += text;
  if (open_.empty()) done_ = true;
  return *this;
}

JsonWriter& JsonWriter::Bool(bool value) {
  BeforeValue();
  out_ += value ? "true" : "false";
  if (open_.empty()) done_ = true;
  return *this;
}

JsonWriter& JsonWriter::Null() {
  BeforeValue();
  out_ += "null";
  if (open_.empty()) done_ = true;
  return *this;
}

namespace {

void WriteValue(JsonWriter& writer, const JsonValue& value) {
  switch (value.type()) {
    case JsonValue::Type::kNull: writer.Null(); break;
    case JsonValue::Type::kBool: writer.Bool(value.AsBool()); break;
    case JsonValue::Type::kNumber: writer.Number(value.Text()); break;
    case JsonValue::Type::kString: writer.String(value.Text()); break;
    case JsonValue::Type::kArray:
      writer.BeginArray();
      for (const JsonValue& item : value.Items()) WriteValue(writer, item);
      writer.EndArray();
      break;
    case JsonValue::Type::kObject:
      writer.BeginObject();
      for (const JsonValue::Member& member : value.Members()) {
        writer.Key(member.first);
        WriteValue(writer, member.second);
      }
      writer.EndObject();
      break;
  }
}

}  // namespace

Result<std::string> WriteJson(const JsonValue& value) {
  JsonWriter writer;
  WriteValue(writer, value);
  return writer.Take();
}

Result<std::string> JsonWriter::Take() {
  if (error_.empty() && !open_.empty()) Fail("an object or array not closed");
  if (error_.empty() && !done_) Fail("no value written");
  if (!error_.empty()) return Status::Failure("JSON", 0, error_);
  return std::move(out_);
}

}  // namespace qw
