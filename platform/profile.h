// Profile (INI) files in the "Windows directory", read and written with the
// rules of GetPrivateProfileStringA / WritePrivateProfileStringA:
//  - a file is named by its bare name and lives in the Windows directory;
//  - section and key names match without regard to ASCII letter case;
//  - a value is read whole, whatever its length; one pair of enclosing double
//    or single quotes is dropped; blanks around names and values are ignored;
//  - a file may begin with a UTF-8 or a UTF-16LE byte-order mark: the text
//    after a UTF-8 mark is read as it is (values are ASCII), a UTF-16LE file
//    is read as its text in the ANSI code page, and a write keeps the form;
//  - a missing file reads as a file without keys; the first write creates it;
//    a new section is appended at the end of the file, a new key at the end of
//    its section, an existing key is replaced in place.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/status.h"

namespace qw {

// The largest profile file read: a settings file is a few hundred bytes, and
// a larger one is not a settings file.
inline constexpr int64_t kMaxProfileBytes = 1 << 20;

class Profiles {
 public:
  virtual ~Profiles() = default;

  // The value of [section] key, or `def` when the key (or file) is missing.
  virtual std::string ReadString(const std::string& file, const std::string& section,
                                 const std::string& key, const std::string& def) = 0;

  // GetPrivateProfileIntA: decimal digits with an optional sign, or
  // hexadecimal after "0x"/"0X"; `def` when the key is missing or holds
  // no number.
  virtual int ReadInt(const std::string& file, const std::string& section, const std::string& key,
                      int def);

  // Writes [section] key=value; false when the file cannot be written.
  virtual bool WriteString(const std::string& file, const std::string& section,
                           const std::string& key, const std::string& value) = 0;

  // Whether `file` can be read as a profile file. Success for a missing file
  // (it reads as a file without keys) and for a regular file of at most
  // kMaxProfileBytes whose text holds no NUL; otherwise a failure whose
  // Text() says why, in Shift-JIS (a folder in its place, too large, not
  // text, no access). Reads of a file that fails here give the defaults.
  virtual Status CheckFile(const std::string& file) = 0;

  // The file's last-write time in local time packed as a DOS date (high 16
  // bits) and time (low 16 bits, two-second resolution); -1 when the file
  // is missing or its time cannot be read. A folder in the file's place has
  // a stamp too, so that its coming and going is noticed.
  virtual int32_t LastWriteDosStamp(const std::string& file) = 0;
};

// Profile files of this machine. `windowsDir` is used on POSIX only (the
// Windows build asks the system for its directory).
std::unique_ptr<Profiles> NewSystemProfiles(const std::string& windowsDir);

// The GetPrivateProfileIntA rule applied to a text already read.
int ProfileTextToInt(const std::string& text, int def);

}  // namespace qw
