// Profile (INI) files in the "Windows directory", read and written with the
// rules of GetPrivateProfileStringA / WritePrivateProfileStringA:
//  - a file is named by its bare name and lives in the Windows directory;
//  - section and key names match without regard to ASCII letter case;
//  - a value read is cut to 2,047 bytes; one pair of enclosing double or
//    single quotes is dropped; blanks around names and values are ignored;
//  - a missing file reads as a file without keys; the first write creates it;
//    a new section is appended at the end of the file, a new key at the end of
//    its section, an existing key is replaced in place.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace qw {

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

  // The file's last-write time in local time packed as a DOS date (high 16
  // bits) and time (low 16 bits, two-second resolution); -1 when the file
  // cannot be opened or its time cannot be read.
  virtual int32_t LastWriteDosStamp(const std::string& file) = 0;
};

// Profile files of this machine. `windowsDir` is used on POSIX only (the
// Windows build asks the system for its directory).
std::unique_ptr<Profiles> NewSystemProfiles(const std::string& windowsDir);

// The GetPrivateProfileIntA rule applied to a text already read.
int ProfileTextToInt(const std::string& text, int def);

}  // namespace qw
