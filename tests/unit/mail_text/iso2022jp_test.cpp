// Shift-JIS to ISO-2022-JP.
#include "mail/iso2022jp.h"

#include <gtest/gtest.h>

#include <string>

namespace qw {
namespace {

const std::string kToJis = "\x1B$B";
const std::string kToAscii = "\x1B(B";
const std::string kGeta = "\x22\x2E";

TEST(ShiftJisToIso2022Jp, CopiesAscii) {
  EXPECT_EQ(ShiftJisToIso2022Jp(""), "");
  EXPECT_EQ(ShiftJisToIso2022Jp("Drive C: 10%\r\n"), "Drive C: 10%\r\n");
}

TEST(ShiftJisToIso2022Jp, MapsJisX0208AndEndsInAscii) {
  EXPECT_EQ(ShiftJisToIso2022Jp("ドライブ領域不足のお知らせ"),
            kToJis + "%I%i%$%VNN0hITB-$N$*CN$i$;" + kToAscii);
  EXPECT_EQ(ShiftJisToIso2022Jp("A あ B"), "A " + kToJis + "$\"" + kToAscii + " B");
  // First and last cells of the JIS X 0208 range, and rows on both sides of
  // the Shift-JIS lead byte gap.
  EXPECT_EQ(ShiftJisToIso2022Jp("\x81\x40"), kToJis + "\x21\x21" + kToAscii);
  EXPECT_EQ(ShiftJisToIso2022Jp("\x9F\xFC"), kToJis + "\x5E\x7E" + kToAscii);
  EXPECT_EQ(ShiftJisToIso2022Jp("\xE0\x40"), kToJis + "\x5F\x21" + kToAscii);
  EXPECT_EQ(ShiftJisToIso2022Jp("\xEA\xA4"), kToJis + "\x74\x26" + kToAscii);
  // A trail byte from 0x80 on.
  EXPECT_EQ(ShiftJisToIso2022Jp("\x88\x9F"), kToJis + "\x30\x21" + kToAscii);  // 亜
}

TEST(ShiftJisToIso2022Jp, WidensHalfWidthKatakanaAndCombinesSoundMarks) {
  EXPECT_EQ(ShiftJisToIso2022Jp("ｱｲｳ"), kToJis + "%\"%$%&" + kToAscii);
  EXPECT_EQ(ShiftJisToIso2022Jp("ｶﾞﾊﾟﾎﾞｳﾞ"), kToJis + "%,%Q%\\%t" + kToAscii);
  // A sound mark that cannot combine stays a full-width mark of its own.
  EXPECT_EQ(ShiftJisToIso2022Jp("ｱﾞﾟ"), kToJis + "%\"!+!," + kToAscii);
  EXPECT_EQ(ShiftJisToIso2022Jp("｡｢｣､･ｰ"), kToJis + "!#!V!W!\"!&!<" + kToAscii);
}

TEST(ShiftJisToIso2022Jp, WritesGetaOutsideJisX0208) {
  // NEC special row, NEC-selected and IBM extensions, user-defined area.
  for (const char* pair : {"\x87\x40", "\xED\x40", "\xEE\xFC", "\xFA\x40", "\xFC\x4B", "\xF0\x40", "\xF9\xFC"})
    EXPECT_EQ(ShiftJisToIso2022Jp(pair), kToJis + kGeta + kToAscii) << pair;
  // Unassigned cells inside a JIS X 0208 row (row 2 after 〓, end of row 47).
  EXPECT_EQ(ShiftJisToIso2022Jp("\x81\xAD"), kToJis + kGeta + kToAscii);
  EXPECT_EQ(ShiftJisToIso2022Jp("\x98\x73"), kToJis + kGeta + kToAscii);
  // Bytes that start no character, and a lead byte without a trail byte.
  EXPECT_EQ(ShiftJisToIso2022Jp("\x80\xA0\xFD"), kToJis + kGeta + kGeta + kGeta + kToAscii);
  EXPECT_EQ(ShiftJisToIso2022Jp("a\x82"), "a" + kToJis + kGeta + kToAscii);
  EXPECT_EQ(ShiftJisToIso2022Jp("\x82 b"), kToJis + kGeta + kToAscii + " b");
}

TEST(ShiftJisToIso2022Jp, SwitchesOnlyWhenTheCharacterSetChanges) {
  EXPECT_EQ(ShiftJisToIso2022Jp("あいa\x82\xA0"),
            kToJis + "$\"$$" + kToAscii + "a" + kToJis + "$\"" + kToAscii);
}

}  // namespace
}  // namespace qw

// Writes an alert-style header and the conversion of every Shift-JIS
// character for tests/e2e/mail_word_python.sh, which checks them with
// Python's email package and codecs. Runs only when QW_MAIL_WORD_OUT names
// the output folder.
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "mail/encodings.h"
#include "mail/header_lines.h"

namespace qw {
namespace {

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

TEST(MailWordExport, WritesHeaderAndConversionTable) {
  const char* dir = std::getenv("QW_MAIL_WORD_OUT");
  if (!dir) GTEST_SKIP() << "QW_MAIL_WORD_OUT not set";
  std::string header = "Subject: " + EncodeHeaderWord("ドライブ領域不足のお知らせ", "iso-2022-jp") + "\r\n" +
                       "From: \"" + EncodeHeaderWord("ドライブ番人", "iso-2022-jp") + "\" <drivewarden@example.jp>\r\n" +
                       "To: <admin@example.jp>\r\n";
  std::ofstream mail(std::string(dir) + "/mail.eml", std::ios::binary);
  mail << FoldHeaders(header) << "\r\n" << "body\r\n";
  ASSERT_TRUE(mail.good());

  std::ofstream table(std::string(dir) + "/table.txt", std::ios::binary);
  for (int lead = 0x80; lead <= 0xFF; ++lead) {
    if (lead >= 0xA1 && lead <= 0xDF) {
      std::string single(1, static_cast<char>(lead));
      table << Hex(single) << ' ' << Hex(ShiftJisToIso2022Jp(single)) << '\n';
      continue;
    }
    for (int trail = 0x40; trail <= 0xFC; ++trail) {
      if (trail == 0x7F) continue;
      std::string pair{static_cast<char>(lead), static_cast<char>(trail)};
      table << Hex(pair) << ' ' << Hex(ShiftJisToIso2022Jp(pair)) << '\n';
    }
  }
  ASSERT_TRUE(table.good());
}

}  // namespace
}  // namespace qw
