// Small text helpers shared by every layer. Letter case is folded byte by
// byte for the bytes of ASCII letters only; every other byte stays. (The
// texts compared this way are names and keywords, which are ASCII.)
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/status.h"

namespace qw {

constexpr char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
constexpr char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
std::string AsciiLowerCase(std::string_view text);
std::string AsciiUpperCase(std::string_view text);

// The first byte of a two-byte Shift-JIS (code page 932) character.
constexpr bool IsShiftJisLeadByte(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

// Compares with ASCII letter case ignored: <0, 0 or >0, shorter first on a
// common prefix.
int CompareCaseless(std::string_view a, std::string_view b);
bool EqualsCaseless(std::string_view a, std::string_view b);
// Whether `text` begins with `prefix`, ASCII letter case ignored.
bool StartsWithCaseless(std::string_view text, std::string_view prefix);

// Trimming. The three rules differ on purpose:
// TrimBlanks takes spaces only (header lines, where a tab may be folding
// white space that belongs to the value);
std::string_view TrimBlanks(std::string_view text);
// TrimLeftBlanks is the same rule at the start only (a text about to be
// padded on the left keeps its tail);
std::string_view TrimLeftBlanks(std::string_view text);
// TrimSpaceTab takes spaces and tabs, and CRs at the end (profile lines,
// which must read here as they do under Windows);
std::string_view TrimSpaceTab(std::string_view text);
// TrimControls takes every byte of value 0 to 32 (values typed by people
// into settings files and dialogs).
std::string_view TrimControls(std::string_view text);

// One enclosing pair of double quotes removed; a text that is a lone double
// quote becomes empty. Anything else is returned as it is.
std::string_view StripQuotes(std::string_view text);

// Reads a quoted run that begins at text[at], which is `quote`: the bytes up
// to the closing quote, two quotes inside standing for one, are appended to
// `out`. A run without its closing quote ends with the text. Returns the
// position after the run.
size_t ReadQuotedRun(std::string_view text, size_t at, char quote, std::string* out);

// How an integer may be written.
struct IntegerRules {
  bool leadingBlanks = false;  // spaces and tabs before the number are skipped
  bool hexPrefix = false;      // "0x"/"0X" followed by digits gives a hexadecimal number
  bool prefixOnly = false;     // the number ends at the first other byte (else nothing may follow)
  bool wrap32 = false;         // digits accumulate modulo 2^32 and the result is that 32-bit
                               // value, signed; nothing overflows
};
// Strict decimal: an optional sign and decimal digits, nothing else.
inline constexpr IntegerRules kDecimal{};
// GetPrivateProfileInt's reading, which profile values must keep so that a
// file reads the same here as under Windows: blanks, sign, "0x", any tail,
// and a 32-bit wrap-around instead of an overflow.
inline constexpr IntegerRules kProfileInteger{true, true, true, true};

// Reads an integer by `rules` within [min, max]. A failure's Text says
// whether the text holds no such number or it is out of range.
Result<int64_t> ParseInteger(std::string_view text, const IntegerRules& rules, int64_t min, int64_t max);

}  // namespace qw
