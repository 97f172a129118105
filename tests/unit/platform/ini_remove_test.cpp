// Removing a key from a profile's text: only the key's own lines go, in its
// own section, whatever the case of its name; everything else stays byte
// for byte (comments, other sections, a last line without its break).
#include <gtest/gtest.h>

#include "platform/ini_text.h"
#include "platform/profile.h"

namespace qw {
namespace {

TEST(IniRemoveTest, OnlyTheKeyOfItsSectionGoes) {
  struct Case {
    const char* what;
    std::string text, section, key, expected;
  };
  const std::vector<Case> cases = {
      {"middle key", "[A]\r\nx=1\r\ny=2\r\nz=3\r\n", "A", "y", "[A]\r\nx=1\r\nz=3\r\n"},
      {"case of names", "[Volume]\r\nC:\\Data=1%\r\n", "VOLUME", "c:\\data", "[Volume]\r\n"},
      {"same key in another section stays", "[A]\r\nk=1\r\n[B]\r\nk=2\r\n", "B", "k", "[A]\r\nk=1\r\n[B]\r\n"},
      {"missing key", "[A]\r\nk=1\r\n", "A", "j", "[A]\r\nk=1\r\n"},
      {"missing section", "[A]\r\nk=1\r\n", "B", "k", "[A]\r\nk=1\r\n"},
      {"comment and blank lines stay", "[A]\r\n; k=0\r\n\r\nk=1\r\n", "A", "k", "[A]\r\n; k=0\r\n\r\n"},
      {"a section named twice loses the key in both", "[A]\r\nk=1\r\n[B]\r\n[A]\r\nk=2\r\n", "A", "k",
       "[A]\r\n[B]\r\n[A]\r\n"},
      {"last line without a break", "[A]\r\nj=0\r\nk=1", "A", "k", "[A]\r\nj=0\r\n"},
      {"spaces around the name", "[A]\r\n  k  = 1\r\n", "A", "k", "[A]\r\n"},
      {"LF line ends", "[A]\nk=1\nj=2\n", "A", "k", "[A]\nj=2\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(IniRemove(c.text, c.section, c.key), c.expected) << c.what;
}

TEST(IniRemoveTest, SnapshotKeepsItsEncoding) {
  // A UTF-8 file with its mark keeps it; the value read back is gone.
  ProfileSnapshot ini = ProfileSnapshot::OfBytes("\xEF\xBB\xBF[DRIVE]\r\nC=1%\r\nDEFAULT=5%\r\n");
  ini.DeleteKey("DRIVE", "DEFAULT");
  EXPECT_EQ(ini.Bytes(), "\xEF\xBB\xBF[DRIVE]\r\nC=1%\r\n");
  EXPECT_EQ(ini.ReadString("DRIVE", "DEFAULT", "none"), "none");
  EXPECT_EQ(ini.ReadString("DRIVE", "C", ""), "1%");
}

}  // namespace
}  // namespace qw
