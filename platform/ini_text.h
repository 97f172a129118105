// The text of a profile (INI) file, read and changed by the rules of the
// Windows profile functions. Used by the profile snapshots of both hosts and
// by the in-memory fake.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/status.h"

namespace qw {

// The value of [section] key in `text`, blanks around it removed and one pair
// of enclosing quotes dropped, whole; nullopt when missing.
std::optional<std::string> IniLookup(const std::string& text, const std::string& section,
                                     const std::string& key);

// The keys of [section] in `text`, in file order, each once (the first of
// keys that differ only in case), as GetPrivateProfileStringA lists them.
std::vector<std::string> IniKeys(const std::string& text, const std::string& section);

// `text` with [section] key set to `value`: an existing key is replaced in
// place, a new key goes at the end of its section, a new section at the end of
// the text. Lines end with CR LF.
std::string IniAssign(const std::string& text, const std::string& section, const std::string& key,
                      const std::string& value);

// `text` without [section] key (every line of it, whatever its case), as
// WritePrivateProfileStringA with no value leaves it; the rest is kept
// byte for byte. A missing key leaves the text as it is.
std::string IniRemove(const std::string& text, const std::string& section, const std::string& key);

// The form of a profile file's bytes, told by its byte-order mark.
enum class ProfileEncoding { Ansi, Utf8Bom, Utf16LeBom };

// The text of a profile file's bytes for IniLookup and IniAssign: an ANSI
// file as it is, the bytes after a UTF-8 mark, or a UTF-16LE file (after
// its mark) converted to UTF-8 (lone surrogates are kept in the same
// three-byte form, so that EncodeProfileText gives the same bytes back; an
// odd last byte is dropped). `encoding` receives the form.
std::string DecodeProfileBytes(const std::string& bytes, ProfileEncoding* encoding);
// The bytes of a profile file of `encoding` holding `text` (mark included).
std::string EncodeProfileText(const std::string& text, ProfileEncoding encoding);

// Whether a regular file's bytes are a profile file: at most
// kMaxProfileBytes, and no NUL in the decoded text. The failure's text says
// why (Shift-JIS).
Status CheckProfileBytes(const std::string& bytes);
// The failure for a profile path that names a folder (or another thing that
// is not a regular file).
Status NotARegularProfileFile(bool folder);
// The failure for a file larger than kMaxProfileBytes.
Status ProfileTooLarge(int64_t size);

}  // namespace qw
