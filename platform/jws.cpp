#include "platform/jws.h"

#include <cstdint>
#include <cstdio>

namespace qw {
namespace {

constexpr const char* kUrlAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

int StandardBase64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

int UrlBase64Value(char c) {
  if (c == '-') return 62;
  if (c == '_') return 63;
  if (c == '+' || c == '/') return -1;
  return StandardBase64Value(c);
}

// The body of a PEM block: standard base64 with line breaks, padding only
// at the end.
bool DecodePemBase64(const std::string& text, std::string* out) {
  out->clear();
  uint32_t chunk = 0;
  int bits = 0;
  size_t pad = 0;
  size_t symbols = 0;
  for (char c : text) {
    if (c == '\r' || c == '\n' || c == ' ' || c == '\t') continue;
    if (c == '=') {
      ++pad;
      continue;
    }
    if (pad > 0) return false;  // data after the padding
    const int v = StandardBase64Value(c);
    if (v < 0) return false;
    ++symbols;
    chunk = (chunk << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out->push_back(static_cast<char>((chunk >> bits) & 0xFF));
    }
  }
  if (pad > 2 || (symbols + pad) % 4 != 0) return false;
  return symbols % 4 != 1;
}

// A DER reader over one buffer: every read is bounded by what is left.
class DerReader {
 public:
  explicit DerReader(const std::string& der) : data_(der), pos_(0), end_(der.size()) {}
  DerReader(const std::string& der, size_t begin, size_t end) : data_(der), pos_(begin), end_(end) {}

  bool AtEnd() const { return pos_ >= end_; }

  // The next element: its tag and where its contents lie.
  bool Next(uint8_t* tag, size_t* begin, size_t* length) {
    if (end_ - pos_ < 2) return false;
    *tag = static_cast<uint8_t>(data_[pos_]);
    if ((*tag & 0x1F) == 0x1F) return false;  // multi-byte tags: none in a key
    uint8_t first = static_cast<uint8_t>(data_[pos_ + 1]);
    size_t at = pos_ + 2;
    size_t len = 0;
    if (first < 0x80) {
      len = first;
    } else {
      const size_t count = first & 0x7F;
      if (count == 0 || count > 4 || end_ - at < count) return false;  // indefinite or too long
      for (size_t i = 0; i < count; ++i) len = (len << 8) | static_cast<uint8_t>(data_[at + i]);
      at += count;
    }
    if (len > end_ - at) return false;
    *begin = at;
    *length = len;
    pos_ = at + len;
    return true;
  }

  bool Expect(uint8_t wanted, size_t* begin, size_t* length) {
    uint8_t tag = 0;
    return Next(&tag, begin, length) && tag == wanted;
  }

 private:
  const std::string& data_;
  size_t pos_;
  size_t end_;
};

std::string DottedOid(const std::string& der, size_t begin, size_t length) {
  if (length == 0) return "";
  std::string out;
  uint64_t value = 0;
  bool first = true;
  for (size_t i = begin; i < begin + length; ++i) {
    const uint8_t b = static_cast<uint8_t>(der[i]);
    if (value > (UINT64_MAX >> 7)) return "?";
    value = (value << 7) | (b & 0x7F);
    if (b & 0x80) continue;
    if (first) {
      const uint64_t top = value < 40 ? 0 : value < 80 ? 1 : 2;
      out = std::to_string(top) + "." + std::to_string(value - top * 40);
      first = false;
    } else {
      out += "." + std::to_string(value);
    }
    value = 0;
  }
  return out;
}

}  // namespace

std::string KeyAlgorithmName(const std::string& dotted) {
  if (dotted == "1.2.840.113549.1.1.1") return "RSA";
  if (dotted == "1.2.840.10045.2.1") return "EC";
  if (dotted == "1.3.101.112") return "Ed25519";
  if (dotted == "1.3.101.113") return "Ed448";
  if (dotted == "1.2.840.113549.1.1.10") return "RSASSA-PSS";
  if (dotted == "1.2.840.10040.4.1") return "DSA";
  return dotted;
}

std::string Base64UrlEncode(const std::string& bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  const size_t size = bytes.size();
  for (size_t i = 0; i < size; i += 3) {
    uint32_t chunk = static_cast<uint32_t>(static_cast<uint8_t>(bytes[i])) << 16;
    if (i + 1 < size) chunk |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[i + 1])) << 8;
    if (i + 2 < size) chunk |= static_cast<uint8_t>(bytes[i + 2]);
    out += kUrlAlphabet[(chunk >> 18) & 63];
    out += kUrlAlphabet[(chunk >> 12) & 63];
    if (i + 1 < size) out += kUrlAlphabet[(chunk >> 6) & 63];
    if (i + 2 < size) out += kUrlAlphabet[chunk & 63];
  }
  return out;
}

bool Base64UrlDecode(const std::string& text, std::string* bytes) {
  bytes->clear();
  if (text.size() % 4 == 1) return false;
  uint32_t chunk = 0;
  int bits = 0;
  for (char c : text) {
    const int v = UrlBase64Value(c);
    if (v < 0) return false;
    chunk = (chunk << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      bytes->push_back(static_cast<char>((chunk >> bits) & 0xFF));
    }
  }
  // The unused low bits of the last character must be zero, so that each
  // byte string has exactly one encoding.
  return (chunk & ((1u << bits) - 1)) == 0;
}

std::string JsonQuote(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    const auto b = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (b < 0x20 || b == 0x7F) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\u%04x", b);
          out += hex;
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

Result<std::vector<PemBlock>> ParsePem(const std::string& text) {
  static const std::string kBegin = "-----BEGIN ";
  static const std::string kDashes = "-----";
  std::vector<PemBlock> blocks;
  size_t pos = 0;
  while ((pos = text.find(kBegin, pos)) != std::string::npos) {
    const size_t labelAt = pos + kBegin.size();
    const size_t labelEnd = text.find(kDashes, labelAt);
    const size_t lineEnd = text.find('\n', labelAt);
    if (labelEnd == std::string::npos || (lineEnd != std::string::npos && labelEnd > lineEnd)) {
      return Status::Failure("PEM", 0, "PEM の BEGIN 行が正しくありません");
    }
    PemBlock block;
    block.label = text.substr(labelAt, labelEnd - labelAt);
    const std::string endLine = "-----END " + block.label + kDashes;
    const size_t bodyAt = labelEnd + kDashes.size();
    const size_t endAt = text.find(endLine, bodyAt);
    if (endAt == std::string::npos) {
      return Status::Failure("PEM", 0, "PEM の " + block.label + " に END 行がありません");
    }
    const std::string body = text.substr(bodyAt, endAt - bodyAt);
    if (body.find(':') != std::string::npos) {
      // "Proc-Type: 4,ENCRYPTED" and "DEK-Info:" of an encrypted key.
      return Status::Failure("PEM", 0, "PEM の " + block.label + " は暗号化されています (パスフレーズなしの鍵が必要です)");
    }
    if (!DecodePemBase64(body, &block.der) || block.der.empty()) {
      return Status::Failure("PEM", 0, "PEM の " + block.label + " の base64 が正しくありません");
    }
    blocks.push_back(std::move(block));
    pos = endAt + endLine.size();
  }
  return blocks;
}

Result<std::string> RsaKeyFromPkcs8(const std::string& der) {
  const Status malformed = Status::Failure("PKCS#8", 0, "PKCS#8 の秘密鍵の形式が正しくありません");
  DerReader outer(der);
  size_t begin = 0, length = 0;
  if (!outer.Expect(0x30, &begin, &length) || !outer.AtEnd()) return malformed;
  DerReader info(der, begin, begin + length);
  if (!info.Expect(0x02, &begin, &length) || length != 1 || static_cast<uint8_t>(der[begin]) > 1) return malformed;
  if (!info.Expect(0x30, &begin, &length)) return malformed;
  DerReader algorithm(der, begin, begin + length);
  if (!algorithm.Expect(0x06, &begin, &length)) return malformed;
  const std::string oid = DottedOid(der, begin, length);
  if (oid.empty() || oid == "?") return malformed;
  if (!info.Expect(0x04, &begin, &length) || length == 0) return malformed;
  if (oid != "1.2.840.113549.1.1.1") {
    return Status::Failure("PKCS#8", 0, "秘密鍵が RSA ではありません (" + KeyAlgorithmName(oid) + ")");
  }
  // The key itself must at least be one SEQUENCE filling its OCTET STRING.
  const std::string rsa = der.substr(begin, length);
  DerReader inner(rsa);
  size_t b = 0, l = 0;
  if (!inner.Expect(0x30, &b, &l) || !inner.AtEnd()) return malformed;
  return rsa;
}

std::vector<std::pair<std::string, std::string>> CertificateHeaderFields(const SigningKey& key) {
  const std::string& der = key.CertificateDer();
  if (der.empty()) return {};
  return {{"x5t", Base64UrlEncode(Sha1Digest(der))}, {"x5t#S256", Base64UrlEncode(Sha256Digest(der))}};
}

Result<std::string> SignCompactJws(SigningKey& key, const std::string& claimsJson,
                                   const std::vector<std::pair<std::string, std::string>>& fields) {
  std::vector<std::pair<std::string, std::string>> header = {{"alg", "RS256"}, {"typ", "JWT"}};
  if (!key.CertificateDer().empty()) {
    const std::string sha1 = Sha1Digest(key.CertificateDer());
    const std::string sha256 = Sha256Digest(key.CertificateDer());
    if (sha1.size() != 20 || sha256.size() != 32) {
      return Status::Failure("x5t", 0, key.Name() + ": 証明書の拇印を計算できません");
    }
    header.push_back({"x5t", Base64UrlEncode(sha1)});
    header.push_back({"x5t#S256", Base64UrlEncode(sha256)});
  }
  for (const auto& field : fields) {
    bool replaced = false;
    for (auto& present : header) {
      if (present.first == field.first) {
        present.second = field.second;
        replaced = true;
        break;
      }
    }
    if (!replaced) header.push_back(field);
  }
  std::string headerJson = "{";
  for (size_t i = 0; i < header.size(); ++i) {
    if (i > 0) headerJson += ',';
    headerJson += JsonQuote(header[i].first) + ":" + JsonQuote(header[i].second);
  }
  headerJson += '}';
  std::string signingInput = Base64UrlEncode(headerJson) + "." + Base64UrlEncode(claimsJson);
  Result<std::string> signature = key.SignSha256(signingInput);
  if (!signature) return signature.status();
  return signingInput + "." + Base64UrlEncode(*signature);
}

}  // namespace qw
