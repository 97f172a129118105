// The text of a profile (INI) file, read and changed by the rules of the
// Windows profile functions. Used by the POSIX profile files and the
// in-memory fake; Windows itself uses the real functions.
#pragma once

#include <optional>
#include <string>

namespace qw {

// The value of [section] key in `text`, blanks around it removed and one pair
// of enclosing quotes dropped, cut to 2,047 bytes; nullopt when missing.
std::optional<std::string> IniLookup(const std::string& text, const std::string& section,
                                     const std::string& key);

// `text` with [section] key set to `value`: an existing key is replaced in
// place, a new key goes at the end of its section, a new section at the end of
// the text. Lines end with CR LF.
std::string IniAssign(const std::string& text, const std::string& section, const std::string& key,
                      const std::string& value);

// Packs a local date and time into a DOS stamp (date high, time low).
int32_t PackDosStamp(int year, int month, int day, int hour, int minute, int second);

}  // namespace qw
