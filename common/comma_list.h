// The comma list: the text form of a list of items (To and Cc lists in the
// settings file, the mail message's recipient lists, the SMTP envelope).
//
// Writing: items joined by "," with nothing between them; an item holding a
// byte of value 0 to 32, a double quote or a comma is enclosed in double
// quotes with its double quotes doubled; a list of one empty item is written
// as two double quotes; an empty list is the empty text.
//
// Reading: bytes 1 to 32 are skipped; an item is a quoted text (a doubled
// quote stands for one) or the run of bytes up to the next comma or byte 1 to
// 32; after an item, blanks, one comma, blanks are skipped; a trailing comma or
// two commas with nothing between them yield an empty item; the empty text
// yields no item.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qw {

std::vector<std::string> ReadCommaList(std::string_view text);
std::string WriteCommaList(const std::vector<std::string>& items);

}  // namespace qw
