// Conversions at the edges of the system. Inside, text is Shift-JIS (code
// page 932) bytes in std::string.
#pragma once

#include <string>

namespace qw {

// Code page 932 to UTF-8 and back. Bytes that do not convert become U+FFFD
// (to UTF-8) or "?" (to Shift-JIS).
std::string SjisToUtf8(const std::string& sjis);
std::string Utf8ToSjis(const std::string& utf8);
// Code page 932 to UTF-8 with nothing replaced: false (and `utf8` left
// unchanged) when a byte or pair of `sjis` is no character of the code page.
bool SjisToUtf8Exact(const std::string& sjis, std::string* utf8);

// Code page 932 to UTF-16 and back (for the W entry points of Windows).
std::u16string SjisToUtf16(const std::string& sjis);
std::string Utf16ToSjis(const std::u16string& utf16);

// True when code page 932 holds every character of `utf16` (it comes back
// the same from Utf16ToSjis).
inline bool Utf16FitsSjis(const std::u16string& utf16) { return SjisToUtf16(Utf16ToSjis(utf16)) == utf16; }

}  // namespace qw
