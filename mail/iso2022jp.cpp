// Shift-JIS to ISO-2022-JP. JIS X 0208 cells are reached by the arithmetic
// relation between the two encodings; the few vendor codes of code page 932
// that stand for a character JIS X 0208 has go through a table; every other
// cell that JIS X 0208 leaves unassigned (vendor rows, user-defined area, gaps
// inside rows) becomes the geta mark.
#include "mail/iso2022jp.h"

#include <cstdint>
#include <initializer_list>

#include "platform/ascii_text.h"

namespace qw {
namespace {

constexpr std::uint16_t kGeta = 0x222E;  // 〓

// Full-width JIS codes of the half-width katakana 0xA1 to 0xDF.
constexpr std::uint16_t kHalfWidthKana[63] = {
    0x2123, 0x2156, 0x2157, 0x2122, 0x2126, 0x2572, 0x2521, 0x2523, 0x2525, 0x2527, 0x2529,
    0x2563, 0x2565, 0x2567, 0x2543, 0x213C, 0x2522, 0x2524, 0x2526, 0x2528, 0x252A, 0x252B,
    0x252D, 0x252F, 0x2531, 0x2533, 0x2535, 0x2537, 0x2539, 0x253B, 0x253D, 0x253F, 0x2541,
    0x2544, 0x2546, 0x2548, 0x254A, 0x254B, 0x254C, 0x254D, 0x254E, 0x254F, 0x2552, 0x2555,
    0x2558, 0x255B, 0x255E, 0x255F, 0x2560, 0x2561, 0x2562, 0x2564, 0x2566, 0x2568, 0x2569,
    0x256A, 0x256B, 0x256C, 0x256D, 0x256F, 0x2573, 0x212B, 0x212C};

constexpr unsigned char kVoicedMark = 0xDE;      // ﾞ
constexpr unsigned char kSemiVoicedMark = 0xDF;  // ﾟ

struct CellRange {
  unsigned char first, last;
};

// Whether the JIS X 0208 cell (row byte j1, cell byte j2, both 0x21-0x7E) is
// assigned. Rows 0x21 and 0x30-0x4E, 0x50-0x73 are full.
bool IsAssigned(unsigned j1, unsigned j2) {
  auto in = [j2](std::initializer_list<CellRange> ranges) {
    for (const CellRange& r : ranges)
      if (j2 >= r.first && j2 <= r.last) return true;
    return false;
  };
  switch (j1) {
    case 0x22:
      return in({{0x21, 0x2E}, {0x3A, 0x41}, {0x4A, 0x50}, {0x5C, 0x6A}, {0x72, 0x79}, {0x7E, 0x7E}});
    case 0x23: return in({{0x30, 0x39}, {0x41, 0x5A}, {0x61, 0x7A}});
    case 0x24: return j2 <= 0x73;
    case 0x25: return j2 <= 0x76;
    case 0x26: return in({{0x21, 0x38}, {0x41, 0x58}});
    case 0x27: return in({{0x21, 0x41}, {0x51, 0x71}});
    case 0x28: return j2 <= 0x40;
    case 0x4F: return j2 <= 0x53;
    case 0x74: return j2 <= 0x26;
    default: return j1 == 0x21 || (j1 >= 0x30 && j1 <= 0x73);
  }
}

// Code page 932 codes outside the JIS X 0208 rows whose character JIS X 0208
// has as well: the NEC row 13 symbols and their duplicates among the
// NEC-selected IBM and the IBM extensions. Made from the Unicode mapping of
// code page 932: a vendor code whose character code page 932 writes with a
// code of the JIS X 0208 rows (0xEEF9 and 0xFA54 are U+FFE2, written 0x81CA).
// Every other vendor code (Roman numerals, circled digits, the IBM kanji...)
// has no JIS X 0208 form. Sorted by Shift-JIS code.
struct VendorCode {
  std::uint16_t sjis, jis;
};
constexpr VendorCode kVendorCodes[] = {
    {0x8790, 0x2262},  // ≒
    {0x8791, 0x2261},  // ≡
    {0x8792, 0x2269},  // ∫
    {0x8795, 0x2265},  // √
    {0x8796, 0x225D},  // ⊥
    {0x8797, 0x225C},  // ∠
    {0x879A, 0x2268},  // ∵
    {0x879B, 0x2241},  // ∩
    {0x879C, 0x2240},  // ∪
    {0xEEF9, 0x224C},  // ¬
    {0xFA54, 0x224C},  // ¬
    {0xFA5B, 0x2268},  // ∵
};

std::uint16_t VendorToJis(unsigned char s1, unsigned char s2) {
  const std::uint16_t code = static_cast<std::uint16_t>(s1 << 8 | s2);
  for (const VendorCode& v : kVendorCodes)
    if (v.sjis == code) return v.jis;
  return kGeta;
}

// Bytes that switch a reader's character set (ESC, SO, SI). The converter
// writes its own escape sequences; any of these in the input is dropped so
// that the text cannot change the reader's state behind its back.
bool IsShiftControl(unsigned char c) { return c == 0x1B || c == 0x0E || c == 0x0F; }

bool IsTrailByte(unsigned char c) { return c >= 0x40 && c <= 0xFC && c != 0x7F; }

// JIS code of a Shift-JIS pair, or kGeta when the pair is not in JIS X 0208.
std::uint16_t PairToJis(unsigned char s1, unsigned char s2) {
  unsigned j1 = static_cast<unsigned>(s1 - (s1 <= 0x9F ? 0x70 : 0xB0)) << 1;
  unsigned j2;
  if (s2 < 0x9F) {
    j1 -= 1;
    j2 = s2 - (s2 < 0x7F ? 0x1F : 0x20);
  } else {
    j2 = s2 - 0x7E;
  }
  if (j1 < 0x21 || j1 > 0x7E || j2 < 0x21 || j2 > 0x7E || !IsAssigned(j1, j2)) return VendorToJis(s1, s2);
  return static_cast<std::uint16_t>(j1 << 8 | j2);
}

// The full-width form of half-width katakana `c`, combined with a following
// sound mark `next` when such a form exists; `used_next` tells whether it was.
std::uint16_t KanaToJis(unsigned char c, int next, bool& used_next) {
  std::uint16_t code = kHalfWidthKana[c - 0xA1];
  used_next = false;
  if (next == kVoicedMark) {
    if ((c >= 0xB6 && c <= 0xC4) || (c >= 0xCA && c <= 0xCE)) {  // ｶ..ﾄ, ﾊ..ﾎ
      used_next = true;
      return static_cast<std::uint16_t>(code + 1);
    }
    if (c == 0xB3) {  // ｳﾞ
      used_next = true;
      return 0x2574;
    }
  } else if (next == kSemiVoicedMark && c >= 0xCA && c <= 0xCE) {  // ﾊﾟ..ﾎﾟ
    used_next = true;
    return static_cast<std::uint16_t>(code + 2);
  }
  return code;
}

}  // namespace

std::string ShiftJisToIso2022Jp(std::string_view sjis) {
  std::string out;
  out.reserve(sjis.size() + sjis.size() / 2 + 8);
  bool jis = false;
  auto put_jis = [&](std::uint16_t code) {
    if (!jis) {
      out += "\x1B$B";
      jis = true;
    }
    out += static_cast<char>(code >> 8);
    out += static_cast<char>(code & 0xFF);
  };
  const std::size_t n = sjis.size();
  for (std::size_t i = 0; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(sjis[i]);
    if (IsShiftControl(c)) {
      continue;
    } else if (c < 0x80) {
      if (jis) {
        out += "\x1B(B";
        jis = false;
      }
      out += static_cast<char>(c);
    } else if (c >= 0xA1 && c <= 0xDF) {
      int next = i + 1 < n ? static_cast<unsigned char>(sjis[i + 1]) : -1;
      bool used_next = false;
      put_jis(KanaToJis(c, next, used_next));
      if (used_next) ++i;
    } else if (IsShiftJisLeadByte(c) && i + 1 < n && IsTrailByte(static_cast<unsigned char>(sjis[i + 1]))) {
      put_jis(PairToJis(c, static_cast<unsigned char>(sjis[i + 1])));
      ++i;
    } else {
      // A lone lead byte, or 0x80, 0xA0, 0xFD-0xFF.
      put_jis(kGeta);
    }
  }
  if (jis) out += "\x1B(B";
  return out;
}

}  // namespace qw
