// How settings errors show the value they name: control bytes escaped, long
// values cut without splitting a Shift-JIS character.
#include "common/errors.h"

#include <gtest/gtest.h>

namespace qw {
namespace {

TEST(SettingsErrors, ShownValue) {
  EXPECT_EQ(ShownValue(""), "");
  EXPECT_EQ(ShownValue("1 MB"), "1 MB");
  EXPECT_EQ(ShownValue(std::string("a\r\n\t\0\x7F" "b", 7)), "a\\x0D\\x0A\\x09\\x00\\x7Fb");
  EXPECT_EQ(ShownValue(std::string(200, 'x')), std::string(200, 'x'));
  EXPECT_EQ(ShownValue(std::string(201, 'x')), std::string(200, 'x') + "...");
  // "ド" is two bytes; one that would be cut in two is left out whole.
  const std::string sjis = std::string(199, 'x') + "ドライブ";
  EXPECT_EQ(ShownValue(sjis), std::string(199, 'x') + "...");
  EXPECT_EQ(ShownValue(std::string(198, 'x') + "ドライブ"), std::string(198, 'x') + "ド...");
}

TEST(SettingsErrors, TheMessageNamesFileSectionKeyAndValue) {
  const EConvertError e =
      SettingsValueError("Drivewarden.ini", "DRIVE", "C", "1 MB", NotAnInteger("1 ").what());
  EXPECT_STREQ(e.what(), "設定ファイル Drivewarden.ini の [DRIVE] C=1 MB: '1 ' は整数ではありません");
  const ESettingsError& base = e;  // what a periodic check catches
  EXPECT_STREQ(base.what(), e.what());
}

}  // namespace
}  // namespace qw
