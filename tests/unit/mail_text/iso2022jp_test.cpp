// Shift-JIS to ISO-2022-JP.
#include "mail/iso2022jp.h"

#include <gtest/gtest.h>

#include <cstdint>
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

// The test's own reading of ISO-2022-JP back into Shift-JIS: JIS X 0208
// pairs by the inverse of the arithmetic relation, ASCII copied. Fails the
// test on any escape sequence but ESC $ B and ESC ( B, on SO or SI, and when
// the text does not end in ASCII.
std::string Iso2022JpToShiftJis(const std::string& iso) {
  std::string out;
  bool jis = false;
  for (std::size_t i = 0; i < iso.size();) {
    const unsigned char c = static_cast<unsigned char>(iso[i]);
    if (c == 0x1B) {
      const std::string seq = iso.substr(i, 3);
      EXPECT_TRUE(seq == kToJis || seq == kToAscii) << "escape sequence at " << i;
      jis = seq == kToJis;
      i += 3;
      continue;
    }
    EXPECT_TRUE(c != 0x0E && c != 0x0F) << "shift byte at " << i;
    if (!jis) {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    EXPECT_LT(i + 1, iso.size()) << "half a JIS pair";
    if (i + 1 >= iso.size()) break;
    const unsigned j1 = c, j2 = static_cast<unsigned char>(iso[i + 1]);
    const unsigned s1 = (j1 + 1) / 2 + (j1 <= 0x5E ? 0x70 : 0xB0);
    const unsigned s2 = j2 + (j1 % 2 ? (j2 <= 0x5F ? 0x1F : 0x20) : 0x7E);
    out += static_cast<char>(s1);
    out += static_cast<char>(s2);
    i += 2;
  }
  EXPECT_FALSE(jis) << "the text ends in JIS X 0208";
  return out;
}

bool IsLead(int c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

TEST(ShiftJisToIso2022Jp, EveryJisX0208CharacterReadsBackToItsShiftJisCode) {
  // JIS X 0208 holds 6879 characters; each of their Shift-JIS codes comes
  // back through the test's own decoder. Codes outside the rows become the
  // geta mark, except the twelve vendor codes checked below.
  int characters = 0;
  int vendor = 0;
  for (int lead = 0x81; lead <= 0xFC; ++lead) {
    if (!IsLead(lead)) continue;
    for (int trail = 0x40; trail <= 0xFC; ++trail) {
      if (trail == 0x7F) continue;
      const std::string pair{static_cast<char>(lead), static_cast<char>(trail)};
      const std::string iso = ShiftJisToIso2022Jp(pair);
      ASSERT_EQ(iso.size(), 8u) << std::hex << lead << trail;
      const bool geta = iso == kToJis + kGeta + kToAscii;
      const bool jisRows = lead <= 0x84 || (lead >= 0x88 && lead <= 0xEA);
      if (geta && pair != "\x81\xAC") continue;  // 〓 itself is a character of row 2
      if (jisRows) {
        EXPECT_EQ(Iso2022JpToShiftJis(iso), pair) << std::hex << lead << ' ' << trail;
        ++characters;
      } else {
        ++vendor;
      }
    }
  }
  EXPECT_EQ(characters, 6879);
  EXPECT_EQ(vendor, 12);
}

TEST(ShiftJisToIso2022Jp, VendorSymbolsTakeTheCodeOfTheSameJisX0208Character) {
  // Code page 932 vendor code, the same character written in its JIS X 0208
  // row (as the source's Shift-JIS literal) and its JIS code.
  struct Case {
    const char* vendor;
    const char* standard;
    const char* jis;
  };
  const Case cases[] = {
      {"\x87\x90", "≒", "\x22\x62"}, {"\x87\x91", "≡", "\x22\x61"}, {"\x87\x92", "∫", "\x22\x69"},
      {"\x87\x95", "√", "\x22\x65"}, {"\x87\x96", "⊥", "\x22\x5D"}, {"\x87\x97", "∠", "\x22\x5C"},
      {"\x87\x9A", "∵", "\x22\x68"}, {"\x87\x9B", "∩", "\x22\x41"}, {"\x87\x9C", "∪", "\x22\x40"},
      {"\xEE\xF9", "¬", "\x22\x4C"}, {"\xFA\x54", "¬", "\x22\x4C"}, {"\xFA\x5B", "∵", "\x22\x68"},
  };
  for (const Case& c : cases) {
    const std::string expected = kToJis + c.jis + kToAscii;
    EXPECT_EQ(ShiftJisToIso2022Jp(c.vendor), expected) << c.standard;
    EXPECT_EQ(ShiftJisToIso2022Jp(c.standard), expected) << c.standard;
  }
  // In a text the vendor symbol joins the JIS X 0208 stretch around it.
  EXPECT_EQ(ShiftJisToIso2022Jp("a\x87\x90" "b\xFA\x5B\x82\xA0"),
            "a" + kToJis + "\x22\x62" + kToAscii + "b" + kToJis + "\x22\x68$\"" + kToAscii);
  // Vendor codes whose characters JIS X 0208 lacks: NEC row 13 ∮ ∑ ∟ ⊿ and
  // circled digits, the Roman numerals of both extensions, IBM kanji.
  for (const char* pair : {"\x87\x93", "\x87\x94", "\x87\x98", "\x87\x99", "\x87\x40", "\xFA\x4A", "\xFA\x53",
                           "\xEE\xF1", "\xFA\x55", "\xFA\x58", "\xFA\x5C", "\xED\x40", "\xFC\x4B"})
    EXPECT_EQ(ShiftJisToIso2022Jp(pair), kToJis + kGeta + kToAscii) << std::hex
                                                                    << (static_cast<unsigned char>(pair[0]) << 8 |
                                                                        static_cast<unsigned char>(pair[1]));
}

TEST(ShiftJisToIso2022Jp, DropsBytesThatWouldSwitchTheReadersCharacterSet) {
  struct Case {
    std::string input, expected;
  };
  const Case cases[] = {
      {"a\x1B$Bb", "a$Bb"},
      {"\x1B(J\x0E\x0F", "(J"},
      {"\x82\xA0\x1B\x82\xA2", kToJis + "$\"$$" + kToAscii},  // inside a JIS X 0208 stretch
      {"\x82\x1B", kToJis + kGeta + kToAscii},                  // not a trail byte either
      {"\x1B", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(ShiftJisToIso2022Jp(c.input), c.expected);
  // Whatever the input, the only escapes are the converter's own and every
  // text ends in ASCII.
  std::uint32_t state = 12345;
  for (int round = 0; round < 200; ++round) {
    std::string input;
    for (int i = 0; i < 64; ++i) {
      state = state * 1103515245u + 12345u;
      const unsigned char pick = static_cast<unsigned char>(state >> 16);
      input += static_cast<char>(pick % 4 == 0 ? "\x1B\x0E\x0F$"[pick / 4 % 4] : pick);
    }
    Iso2022JpToShiftJis(ShiftJisToIso2022Jp(input));
    if (HasFailure()) {
      ADD_FAILURE() << "round " << round;
      break;
    }
  }
}

TEST(ShiftJisToIso2022Jp, SwitchesOnlyWhenTheCharacterSetChanges) {
  EXPECT_EQ(ShiftJisToIso2022Jp("あいa\x82\xA0"),
            kToJis + "$\"$$" + kToAscii + "a" + kToJis + "$\"" + kToAscii);
}

}  // namespace
}  // namespace qw

// Writes generated mails and the conversion of every Shift-JIS character for
// tests/e2e/mail_word_python.sh, which checks them with Python's email package
// and codecs. Runs only when QW_MAIL_WORD_OUT names the output folder.
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "mail/encodings.h"
#include "mail/header_lines.h"
#include "mail/mail_message.h"
#include "tests/fakes/fake_platform.h"

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

TEST(MailWordExport, WritesMailsAndConversionTable) {
  const char* dir = std::getenv("QW_MAIL_WORD_OUT");
  if (!dir) GTEST_SKIP() << "QW_MAIL_WORD_OUT not set";
  std::string kanji40;
  for (int i = 0; i < 4; ++i) kanji40 += "東京都千代田区霞関番";
  std::string words;
  for (int i = 0; i < 30; ++i) words += " volume" + std::to_string(i) + ":";
  struct Mail {
    std::string subject, name;
  };
  const Mail mails[] = {
      {"ドライブ領域不足のお知らせ", "ドライブ番人サービス"},
      {"ドライブ領域不足のお知らせ", "ドライブ番人"},
      {kanji40, kanji40},
      {"WATCHED-PC: ドライブ C の空き 1,024 MB / 容量 100,000 MB (しきい値 2,048 MB) \x87\x90 1% \xFA\x5B 至急",
       "Drivewarden 番人 on WATCHED-PC (ops-team, storage)"},
      {"Disk space report for WATCHED-PC:" + words, "Drive Warden"},
      {"a", "\"Quoted\" Warden"},
  };
  std::ofstream list(std::string(dir) + "/mails.txt", std::ios::binary);
  int index = 0;
  for (const Mail& m : mails) {
    test::FakeSystemInfo system;
    TMailMessage msg(system, "mailMsg");
    msg.Charset = "iso-2022-jp";
    msg.ParseText("body\r\n", false);
    msg.SetSubjectHeader(m.subject);
    msg.SetSenderHeader(m.name, "drivewarden@example.jp");
    msg.ToRecipients().AssignCommaLists(m.name, "admin@example.jp");
    msg.SetHeaderValue("MIME-Version", "1.0");
    msg.SetHeaderValue("Content-Type", "text/plain");
    msg.SetHeaderParam("Content-Type", "charset", "ISO-2022-JP");
    msg.Rebuild();
    const std::string file = "mail" + std::to_string(index++) + ".eml";
    std::ofstream mail(std::string(dir) + "/" + file, std::ios::binary);
    mail << msg.FullText();
    ASSERT_TRUE(mail.good());
    list << file << ' ' << Hex(m.subject) << ' ' << Hex(m.name) << '\n';
  }
  ASSERT_TRUE(list.good());

  std::ofstream table(std::string(dir) + "/table.txt", std::ios::binary);
  for (int c : {0x0E, 0x0F, 0x1B}) {
    std::string single(1, static_cast<char>(c));
    table << Hex(single) << ' ' << Hex("a" + ShiftJisToIso2022Jp(single)) << '\n';
  }
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
