// Shift-JIS (code page 932) to ISO-2022-JP (RFC 1468), for encoded header
// words whose charset label is iso-2022-jp.
#pragma once

#include <string>
#include <string_view>

namespace qw {

// Converts Shift-JIS bytes to ISO-2022-JP:
//  - ASCII bytes (0x00-0x7F) are copied;
//  - a double-byte character of JIS X 0208 is mapped arithmetically and
//    written inside ESC $ B ... ;
//  - half-width katakana (0xA1-0xDF) become their full-width JIS X 0208 forms
//    (a following voiced / semi-voiced sound mark is combined where a
//    combined form exists);
//  - a double-byte character outside JIS X 0208 (NEC and IBM vendor rows,
//    user-defined area), an invalid lead or trail byte and a lone byte of 0x80
//    or more become the geta mark U+3013 (JIS 0x222E);
//  - the text always ends in ASCII: ESC ( B closes a double-byte stretch.
// Linear in the input.
std::string ShiftJisToIso2022Jp(std::string_view sjis);

}  // namespace qw
