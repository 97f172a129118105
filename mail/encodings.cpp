// Text and header encodings of the mail module.
#include "mail/encodings.h"

#include <bit>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "mail/iso2022jp.h"
#include "platform/ascii_text.h"

namespace qw {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Value of an upper-case hexadecimal digit, or -1: quoted-printable escapes
// are upper case (RFC 2045 6.7), so a lower-case "=3d" stays as text.
int UpperHexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Value of a base64 character, or -1.
struct Base64Values {
  signed char value[256];
  constexpr Base64Values() : value() {
    for (int i = 0; i < 256; ++i) value[i] = -1;
    for (int i = 0; i < 64; ++i) value[static_cast<unsigned char>(kBase64Alphabet[i])] = static_cast<signed char>(i);
  }
};
constexpr Base64Values kBase64Values;

// Which bytes header-mode and body-mode quoted-printable write as "=XX".
struct QpClasses {
  bool header[256];
  bool body[256];
  constexpr QpClasses() : header(), body() {
    for (int c = 0; c < 256; ++c) {
      body[c] = c >= 128 || c == '=';
      header[c] = body[c] || c <= 32 || c == '"' || c == '_';
    }
  }
};
constexpr QpClasses kQpClasses;

// Two base64 characters for every 12-bit value.
struct Base64Pairs {
  char pair[4096][2];
  constexpr Base64Pairs() : pair() {
    for (int v = 0; v < 4096; ++v) {
      pair[v][0] = kBase64Alphabet[v >> 6];
      pair[v][1] = kBase64Alphabet[v & 63];
    }
  }
};
constexpr Base64Pairs kBase64Pairs;

// The same pairs as 16-bit values whose first character is the low byte.
struct Base64Pairs16 {
  std::uint16_t pair[4096];
  constexpr Base64Pairs16() : pair() {
    for (int v = 0; v < 4096; ++v)
      pair[v] = static_cast<std::uint16_t>(static_cast<unsigned char>(kBase64Alphabet[v >> 6]) |
                                           static_cast<unsigned char>(kBase64Alphabet[v & 63]) << 8);
  }
};
constexpr Base64Pairs16 kBase64Pairs16;

// Characters an encoded word may carry as they are inside a phrase
// (RFC 2047, section 5 (3)).
bool IsPhraseSafe(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '!' ||
         c == '*' || c == '+' || c == '-' || c == '/';
}

// `phraseSafe`: every byte but letters, digits and "!*+-/" is escaped, so
// that no "?=" ends the word early and no blank, comma, semicolon or quote
// inside it gives FoldHeaders a place to break it.
std::string EncodeQpHeader(std::string_view text, bool phraseSafe) {
  std::string out;
  out.reserve(text.size() * 3);
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (phraseSafe ? !IsPhraseSafe(c) : kQpClasses.header[c] != 0) {
      out += '=';
      out += kHexDigits[c >> 4];
      out += kHexDigits[c & 15];
    } else {
      out += ch;
    }
  }
  return out;
}

}  // namespace

namespace {

// Body-mode output of every byte: up to three characters in the low bytes,
// their count in the high byte.
struct QpBodyCodes {
  std::uint32_t code[256];
  constexpr QpBodyCodes() : code() {
    for (unsigned c = 0; c < 256; ++c) {
      if (kQpClasses.body[c]) {
        code[c] = static_cast<std::uint32_t>('=') | static_cast<std::uint32_t>(kHexDigits[c >> 4]) << 8 |
                  static_cast<std::uint32_t>(kHexDigits[c & 15]) << 16 | 3u << 24;
      } else {
        code[c] = c | 1u << 24;
      }
    }
  }
};
constexpr QpBodyCodes kQpBodyCodes;

// Writes the three low-order bytes of `code` (and one byte of scratch) to p.
inline void StoreLowBytes(char* p, std::uint32_t code) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(p, &code, 4);
  } else {
    p[0] = static_cast<char>(code);
    p[1] = static_cast<char>(code >> 8);
    p[2] = static_cast<char>(code >> 16);
  }
}

}  // namespace

// Whether any byte of the 8-byte word `w` equals `b`.
inline bool HasByte(std::uint64_t w, unsigned char b) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  constexpr std::uint64_t kHighs = 0x8080808080808080ull;
  std::uint64_t x = w ^ (kOnes * b);
  return ((x - kOnes) & ~x & kHighs) != 0;
}

// One high bit per byte of `w` that is a CR, exact up to and including the
// first CR (the lowest set bit marks the first).
inline std::uint64_t CrMask(std::uint64_t w) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  constexpr std::uint64_t kHighs = 0x8080808080808080ull;
  std::uint64_t x = w ^ (kOnes * 0x0D);
  return (x - kOnes) & ~x & kHighs;
}

std::string EncodeQuotedPrintable(std::string_view text, bool headerMode) {
  std::string out;
  EncodeQuotedPrintableTo(out, text, headerMode);
  return out;
}

void EncodeQuotedPrintableTo(std::string& out, std::string_view text, bool headerMode) {
  out.clear();
  if (headerMode) {
    out = EncodeQpHeader(text, false);
    return;
  }
  constexpr std::uint32_t kLineLimit = 72;
  // The text is encoded into a small buffer that is appended to the result
  // whenever it fills up: the result is reserved for the worst case (three
  // characters per byte and a soft break per 24 bytes) but never
  // zero-filled, so only the memory actually written is touched.
  out.reserve(text.size() * 3 + (text.size() / 24 + 1) * 3);
  constexpr std::size_t kChunk = 16384;
  constexpr std::size_t kMaxPerBlock = 8 * 3 + 3 + 1;  // eight bytes, a break, store scratch
  char buffer[kChunk + kMaxPerBlock];
  char* p = buffer;
  auto flush = [&] {
    out.append(buffer, static_cast<std::size_t>(p - buffer));
    p = buffer;
  };
  const unsigned char* in = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::uint32_t count = 0;  // characters on the current output line
  auto put = [&p](unsigned char c) {
    std::uint32_t code = kQpBodyCodes.code[c];
    StoreLowBytes(p, code);
    std::uint32_t len = code >> 24;
    p += len;
    return len;
  };
  auto soft_break = [&p, &count] {
    p[0] = '=';
    p[1] = '\r';
    p[2] = '\n';
    p += 3;
    count = 0;
  };
  std::size_t i = 0;
  // Eight bytes at a time, each writing at most three characters; a block is
  // cut short after its first CR, which starts a new line.
  while (i + 8 <= n) {
    if (p >= buffer + kChunk) flush();
    std::uint64_t w;
    std::memcpy(&w, in + i, 8);
    std::uint64_t cr = CrMask(w);
    if (cr == 0) {
      if (count <= kLineLimit - 9 && (w & 0x8080808080808080ull) == 0 && !HasByte(w, '=')) {
        std::memcpy(p, in + i, 8);  // nothing to encode
        p += 8;
        count += 8;
      } else if (count <= kLineLimit - 25) {
        // The line cannot reach its limit within these bytes.
        const char* start = p;
        for (int k = 0; k < 8; ++k) put(in[i + k]);
        count += static_cast<std::uint32_t>(p - start);
      } else {
        for (int k = 0; k < 8; ++k) {
          count += put(in[i + k]);
          if (count >= kLineLimit) soft_break();
        }
      }
      i += 8;
      continue;
    }
    // The bytes before the first CR, then the CR.
    std::size_t before = static_cast<std::size_t>(std::countr_zero(cr)) / 8;
    for (std::size_t k = 0; k < before; ++k) {
      count += put(in[i + k]);
      if (count >= kLineLimit) soft_break();
    }
    put('\r');
    count = 0;
    i += before + 1;
  }
  for (; i < n; ++i) {
    unsigned char c = in[i];
    std::uint32_t len = put(c);
    count = c == '\r' ? 0 : count + len;
    if (count >= kLineLimit) soft_break();
  }
  flush();
}

namespace {

constexpr std::size_t kMaxEncodedWord = 75;     // RFC 2047, section 2
constexpr std::size_t kMaxWordLine = 76;        // a line that holds encoded words
constexpr std::string_view kToJis = "\x1B$B";
constexpr std::string_view kToAscii = "\x1B(B";

// How the bytes of a charset group into characters, so that no encoded word
// ends inside one.
enum class CharGrouping { kSingleByte, kShiftJis, kEucJp, kUtf8, kDoubleByte };

CharGrouping GroupingOf(std::string_view charset) {
  for (std::string_view label : {"shift_jis", "shift-jis", "sjis", "x-sjis", "cp932", "windows-31j", "ms_kanji"})
    if (EqualsCaseless(charset, label)) return CharGrouping::kShiftJis;
  if (EqualsCaseless(charset, "euc-jp")) return CharGrouping::kEucJp;
  if (EqualsCaseless(charset, "utf-8") || EqualsCaseless(charset, "utf8")) return CharGrouping::kUtf8;
  for (std::string_view label : {"gb2312", "gbk", "gb18030", "big5", "euc-kr", "euc-cn", "ks_c_5601-1987"})
    if (EqualsCaseless(charset, label)) return CharGrouping::kDoubleByte;
  return CharGrouping::kSingleByte;
}

// Byte count of the character that starts text[i] (at least 1, never past
// the end of the text).
std::size_t CharLength(std::string_view text, std::size_t i, CharGrouping grouping) {
  const unsigned char c = static_cast<unsigned char>(text[i]);
  std::size_t n = 1;
  switch (grouping) {
    case CharGrouping::kSingleByte: break;
    case CharGrouping::kShiftJis:
      if (IsShiftJisLeadByte(c)) n = 2;
      break;
    case CharGrouping::kEucJp:
      if (c == 0x8F) n = 3;
      else if (c == 0x8E || c >= 0xA1) n = 2;
      break;
    case CharGrouping::kDoubleByte:
      if (c >= 0x81) n = 2;
      break;
    case CharGrouping::kUtf8:
      if (c >= 0xC0) {
        n = 1;
        while (n < 4 && i + n < text.size() && (static_cast<unsigned char>(text[i + n]) & 0xC0) == 0x80) ++n;
      }
      break;
  }
  return i + n <= text.size() ? n : text.size() - i;
}

// One character of the text to carry: its bytes (already in the target
// charset) and, for ISO-2022-JP, whether they belong to JIS X 0208.
struct WordUnit {
  std::string_view bytes;
  bool jis = false;
};

// Splits ISO-2022-JP made by ShiftJisToIso2022Jp (which writes no escape
// sequences but its own two) into characters.
std::vector<WordUnit> Iso2022JpUnits(std::string_view iso) {
  std::vector<WordUnit> units;
  bool jis = false;
  for (std::size_t i = 0; i < iso.size();) {
    if (iso.substr(i, 3) == kToJis) {
      jis = true;
      i += 3;
    } else if (iso.substr(i, 3) == kToAscii) {
      jis = false;
      i += 3;
    } else {
      const std::size_t n = jis && i + 1 < iso.size() ? 2 : 1;
      units.push_back({iso.substr(i, n), jis});
      i += n;
    }
  }
  return units;
}

// Encoded words for the whole of `text`, whatever its bytes.
std::string EncodeWords(std::string_view text, std::string_view charset, std::size_t lineStart) {
  // The text as characters of the charset the label names.
  std::string converted;
  std::vector<WordUnit> units;
  if (EqualsCaseless(charset, "iso-2022-jp")) {
    // The label promises ISO-2022-JP, so the Shift-JIS bytes are converted.
    converted = ShiftJisToIso2022Jp(text);
    units = Iso2022JpUnits(converted);
  } else {
    const CharGrouping grouping = GroupingOf(charset);
    for (std::size_t i = 0; i < text.size();) {
      const std::size_t n = CharLength(text, i, grouping);
      units.push_back({text.substr(i, n), false});
      i += n;
    }
  }

  // Every word is complete in itself: an ISO-2022-JP word starts in ASCII
  // and switches to JIS X 0208 where its characters need it, and switches
  // back before it ends. ISO-2022-JP goes in base64 ("B"), which carries its
  // escape sequences and double-byte codes in two thirds of the bytes "Q"
  // would need (the alert's subject and sender name fit one word each).
  // Other charsets go in "Q" with every byte but letters, digits and "!*+-/"
  // escaped. Either way a word holds no "?", blank, comma, semicolon or
  // quote: nothing ends a word early, gives FoldHeaders a place to break one,
  // or cuts a display name for an address parser.
  const bool base64 = EqualsCaseless(charset, "iso-2022-jp");
  const std::string head = "=?" + std::string(charset) + (base64 ? "?B?" : "?Q?");
  const std::size_t overhead = head.size() + 2;
  auto q_size = [](std::string_view bytes) {
    std::size_t n = 0;
    for (char c : bytes) n += IsPhraseSafe(static_cast<unsigned char>(c)) ? 1 : 3;
    return n;
  };
  // Encoded size of a word whose bytes are `raw` bytes long, `q` escaped.
  auto encoded_size = [base64](std::size_t raw, std::size_t q) { return base64 ? (raw + 2) / 3 * 4 : q; };
  std::size_t room = kMaxEncodedWord;
  // The first word shares its line with what precedes the value.
  if (lineStart < kMaxWordLine && kMaxWordLine - lineStart < room) room = kMaxWordLine - lineStart;

  std::string out;
  std::string raw;       // the bytes of the current word
  std::size_t q = 0;     // their "Q" size
  bool rawJis = false;   // whether the current word is in JIS X 0208 at its end
  auto close_word = [&] {
    if (rawJis) raw += kToAscii;
    if (!out.empty()) out += ' ';
    out += head;
    if (base64) {
      for (char c : EncodeBase64Lines(raw))
        if (c != '\r' && c != '\n') out += c;
    } else {
      out += EncodeQpHeader(raw, true);
    }
    out += "?=";
    raw.clear();
    q = 0;
    rawJis = false;
    room = kMaxEncodedWord;
  };
  for (const WordUnit& unit : units) {
    std::string add;
    std::size_t closing = 0;  // bytes to switch back to ASCII after the unit
    auto measure = [&] {
      add.clear();
      if (unit.jis != rawJis) add += unit.jis ? kToJis : kToAscii;
      add += unit.bytes;
      closing = unit.jis ? kToAscii.size() : 0;
      return overhead + encoded_size(raw.size() + add.size() + closing,
                                     q + q_size(add) + (closing ? q_size(kToAscii) : 0));
    };
    std::size_t size = measure();
    if (!raw.empty() && size > room) {
      close_word();
      size = measure();
    }
    if (raw.empty() && size > room) {
      // The first word's line is too full: the word may take a line of its
      // own in length, but no word may pass the RFC 2047 limit.
      if (size > kMaxEncodedWord)
        throw std::length_error("charset label \"" + std::string(charset) + "\" too long for an encoded word");
      room = kMaxEncodedWord;
    }
    raw += add;
    q += q_size(add);
    rawJis = unit.jis;
  }
  if (!raw.empty()) close_word();
  return out;
}

// Whether every byte is printable ASCII or DEL (none below 32).
bool IsPlainHeaderText(std::string_view text) {
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c >= 128 || c < 32) return false;
  }
  return true;
}

}  // namespace

std::string EncodeHeaderWord(std::string_view text, std::string_view charset, std::size_t lineStart) {
  if (IsPlainHeaderText(text)) return std::string(text);
  return EncodeWords(text, charset, lineStart);
}

std::string EncodeHeaderPhrase(std::string_view text, std::string_view charset, std::size_t lineStart) {
  // The address readers of TMailMessage (HeaderAddress, the recipient lists)
  // know no quoted pairs, so a quote or a backslash sends even an ASCII name
  // into encoded words.
  if (IsPlainHeaderText(text) && text.find_first_of("\"\\") == std::string_view::npos)
    return "\"" + std::string(text) + "\"";
  return EncodeWords(text, charset, lineStart);
}

std::string DecodeQuotedPrintable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    std::size_t eq = text.find('=', i);
    if (eq == std::string_view::npos) {
      out.append(text.substr(i));
      break;
    }
    out.append(text.substr(i, eq - i));
    i = eq;
    if (i + 1 >= n) {  // a final "=" goes
      i = n;
      break;
    }
    char a = text[i + 1];
    if (a == '\r' || a == '\n') {
      char other = a == '\r' ? '\n' : '\r';
      i += (i + 2 < n && text[i + 2] == other) ? 3 : 2;
      continue;
    }
    int hi = UpperHexValue(a);
    int lo = i + 2 < n ? UpperHexValue(text[i + 2]) : -1;
    if (hi >= 0 && lo >= 0) {
      out += static_cast<char>(hi << 4 | lo);
      i += 3;
    } else {
      out += '=';
      i += 1;
    }
  }
  return out;
}

std::string DecodeBase64Text(std::string_view text) {
  std::string out;
  out.reserve(text.size() / 4 * 3);
  int v[4] = {0, 0, 0, 0};
  const std::size_t groups = text.size() / 4;
  for (std::size_t g = 0; g < groups; ++g) {
    const char* c = text.data() + g * 4;
    for (int k = 0; k < 4; ++k) {
      int value = kBase64Values.value[static_cast<unsigned char>(c[k])];
      if (value >= 0) v[k] = value;
    }
    char b0 = static_cast<char>((v[0] << 2 | v[1] >> 4) & 0xFF);
    char b1 = static_cast<char>(((v[1] & 15) << 4 | v[2] >> 2) & 0xFF);
    char b2 = static_cast<char>(((v[2] & 3) << 6 | v[3]) & 0xFF);
    if (c[2] == '=') {
      out += b0;
    } else if (c[3] == '=') {
      out += b0;
      out += b1;
    } else if (c[0] != '=') {
      out += b0;
      out += b1;
      out += b2;
    }
  }
  return out;
}

std::size_t EncodeBase64Stream(std::string& destination, std::string_view source) {
  constexpr std::size_t kLineBytes = 57;  // 76 characters
  constexpr std::size_t kLineChars = 78;  // with CR LF
  constexpr std::size_t kLinesPerChunk = 256;
  const std::size_t n = source.size();
  const std::size_t full_lines = n / kLineBytes;
  const std::size_t rest = n % kLineBytes;
  std::size_t size = full_lines * kLineChars;
  if (rest) size += (rest + 2) / 3 * 4 + 2;
  // Lines are encoded into a small buffer and appended: the destination is
  // reserved, not zero-filled.
  destination.clear();
  destination.reserve(size);
  char buffer[kLinesPerChunk * kLineChars];
  char* out = buffer;
  const unsigned char* in = reinterpret_cast<const unsigned char*>(source.data());
  auto encode_groups = [&](std::size_t groups) {
    for (std::size_t g = 0; g < groups; ++g) {
      unsigned v = static_cast<unsigned>(in[0]) << 16 | static_cast<unsigned>(in[1]) << 8 | in[2];
      std::memcpy(out, kBase64Pairs.pair[v >> 12], 2);
      std::memcpy(out + 2, kBase64Pairs.pair[v & 0xFFF], 2);
      in += 3;
      out += 4;
    }
  };
  for (std::size_t line = 0; line < full_lines; ++line) {
    if constexpr (std::endian::native == std::endian::little) {
      // Six source bytes per step through one 8-byte load (the line's last
      // load ends at its 56th byte), then the last three bytes.
      for (int step = 0; step < 9; ++step) {
        std::uint64_t x;
        std::memcpy(&x, in, 8);
        x = __builtin_bswap64(x);
        std::uint64_t chars = static_cast<std::uint64_t>(kBase64Pairs16.pair[x >> 52]) |
                              static_cast<std::uint64_t>(kBase64Pairs16.pair[(x >> 40) & 0xFFF]) << 16 |
                              static_cast<std::uint64_t>(kBase64Pairs16.pair[(x >> 28) & 0xFFF]) << 32 |
                              static_cast<std::uint64_t>(kBase64Pairs16.pair[(x >> 16) & 0xFFF]) << 48;
        std::memcpy(out, &chars, 8);
        in += 6;
        out += 8;
      }
      encode_groups(1);
    } else {
      encode_groups(19);
    }
    out[0] = '\r';
    out[1] = '\n';
    out += 2;
    if (out == buffer + sizeof buffer) {
      destination.append(buffer, sizeof buffer);
      out = buffer;
    }
  }
  if (rest) {
    encode_groups(rest / 3);
    std::size_t left = rest % 3;
    if (left) {
      unsigned v = static_cast<unsigned>(in[0]) << 16 | (left == 2 ? static_cast<unsigned>(in[1]) << 8 : 0u);
      out[0] = kBase64Alphabet[v >> 18];
      out[1] = kBase64Alphabet[(v >> 12) & 63];
      out[2] = left == 2 ? kBase64Alphabet[(v >> 6) & 63] : '=';
      out[3] = '=';
      out += 4;
    }
    out[0] = '\r';
    out[1] = '\n';
    out += 2;
  }
  destination.append(buffer, static_cast<std::size_t>(out - buffer));
  return destination.size();
}

std::string EncodeBase64Lines(std::string_view source) {
  std::string destination;
  EncodeBase64Stream(destination, source);
  return destination;
}

}  // namespace qw
