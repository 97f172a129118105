// Profile (INI) files in the "Windows directory", read whole and replaced
// whole, with the reading rules of GetPrivateProfileStringA:
//  - a file is named by its bare name and lives in the Windows directory;
//  - section and key names match without regard to ASCII letter case;
//  - a value is read whole, whatever its length; one pair of enclosing double
//    or single quotes is dropped; blanks around names and values are ignored;
//  - a file may begin with a UTF-8 or a UTF-16LE byte-order mark: its text is
//    read in the ANSI code page (Shift-JIS), and a write keeps the form;
//  - a missing file reads as a file without keys; the first write creates it;
//    a new section is appended at the end of the file, a new key at the end of
//    its section, an existing key is replaced in place.
//
// A reader takes one snapshot of the file (its bytes, read once) and parses
// every value from it, so that a load never mixes two versions of the file;
// a writer composes the whole new text over a snapshot and replaces the file
// in one step, so that no reader sees half a file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/ini_text.h"
#include "platform/status.h"

namespace qw {

// The largest profile file read: a settings file is a few hundred bytes, and
// a larger one is not a settings file.
inline constexpr int64_t kMaxProfileBytes = 1 << 20;

// The bytes of one profile file as read at one moment, and the values in
// them. A default snapshot is a missing file. Changes (WriteString) are made
// to the text in memory; Bytes() then gives the file to write.
class ProfileSnapshot {
 public:
  ProfileSnapshot() = default;
  // The snapshot of a file holding `bytes`.
  static ProfileSnapshot OfBytes(std::string bytes);

  // Whether the file existed when read (or has been given a value since).
  bool Exists() const { return exists_; }
  // The file's bytes: as read, or as composed by the changes since.
  const std::string& Bytes() const { return bytes_; }
  ProfileEncoding Encoding() const { return encoding_; }

  // The value of [section] key (Shift-JIS), or `def` when it is missing.
  std::string ReadString(const std::string& section, const std::string& key, const std::string& def) const;
  // GetPrivateProfileIntA: decimal digits with an optional sign, or
  // hexadecimal after "0x"/"0X"; `def` when the key is missing or holds no
  // number.
  int ReadInt(const std::string& section, const std::string& key, int def) const;
  // The keys of [section] in file order (Shift-JIS), each once.
  std::vector<std::string> ReadKeys(const std::string& section) const;
  // Sets [section] key=value (Shift-JIS) in the text, keeping the file's form.
  void WriteString(const std::string& section, const std::string& key, const std::string& value);
  // Removes [section] key from the text (nothing when it is missing).
  void DeleteKey(const std::string& section, const std::string& key);

 private:
  bool exists_ = false;
  std::string bytes_;
  std::string text_;  // decoded: UTF-8 after a byte-order mark, else as read
  ProfileEncoding encoding_ = ProfileEncoding::Ansi;
};

class Profiles {
 public:
  virtual ~Profiles() = default;

  // Reads the whole file once. Success with an empty snapshot for a missing
  // file; success for a regular file of at most kMaxProfileBytes whose text
  // holds no NUL; otherwise a failure whose Text() says why, in Shift-JIS (a
  // folder in its place, too large, not text, no access).
  virtual Result<ProfileSnapshot> ReadSnapshot(const std::string& file) = 0;

  // Replaces the whole file with `snapshot`'s bytes in one step
  // (WriteProfileFile); a failure says which step failed and why.
  virtual Status WriteSnapshot(const std::string& file, const ProfileSnapshot& snapshot) = 0;
};

// Profile files of this machine. `windowsDir` is used on POSIX only (the
// Windows build asks the system for its directory).
std::unique_ptr<Profiles> NewSystemProfiles(const std::string& windowsDir);

// The one way a settings file is written: `bytes` go to a new file in the
// same folder, which is flushed and then takes the place of `path` in one
// step, so that a reader sees the old file or the new one, never a part.
// POSIX: the target of a symbolic link is replaced (the link stays), and the
// new file has the old one's mode and owner before any byte is written.
// Windows: ReplaceFileW, which keeps the replaced file's security
// descriptor; a new file is moved in place with MoveFileExW. With
// `createOnly`, an existing file is never replaced: the failure's kind is
// then StatusKind::kAlreadyExists.
Status WriteProfileFile(const std::string& path, const std::string& bytes, bool createOnly = false);

// The GetPrivateProfileIntA rule applied to a text already read.
int ProfileTextToInt(const std::string& text, int def);

}  // namespace qw
