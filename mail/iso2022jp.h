// Shift-JIS (code page 932) to ISO-2022-JP (RFC 1468), for encoded header
// words whose charset label is iso-2022-jp.
#pragma once

#include <string>
#include <string_view>

namespace qw {

// Converts Shift-JIS bytes to ISO-2022-JP:
//  - ASCII bytes (0x00-0x7F) are copied, except ESC, SO and SI (0x1B, 0x0E,
//    0x0F), which are dropped: they would switch the reader's character set;
//  - a double-byte character of JIS X 0208 is mapped arithmetically and
//    written inside ESC $ B ... ;
//  - half-width katakana (0xA1-0xDF) become their full-width JIS X 0208 forms
//    (a following voiced / semi-voiced sound mark is combined where a
//    combined form exists);
//  - a code page 932 vendor code (NEC row 13, NEC-selected IBM and IBM
//    extensions) whose character JIS X 0208 also has becomes that JIS code
//    (0x8790 ≒ -> 0x2262, 0xFA54 ¬ -> 0x224C ...);
//  - any other double-byte character outside JIS X 0208 (the rest of the
//    vendor rows, user-defined area), an invalid lead or trail byte and a lone
//    byte of 0x80 or more become the geta mark U+3013 (JIS 0x222E);
//  - the text always ends in ASCII: ESC ( B closes a double-byte stretch.
// Linear in the input.
std::string ShiftJisToIso2022Jp(std::string_view sjis);

}  // namespace qw
