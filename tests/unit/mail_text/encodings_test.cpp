// Quoted-printable, base64, encoded words, uudecoding, padding, boundaries
// and date texts.
#include "mail/encodings.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "mail/header_lines.h"
#include "mail/iso2022jp.h"
#include "tests/fakes/fake_platform.h"

namespace qw {
namespace {

std::string WithoutLineBreaks(std::string text) {
  std::string out;
  for (char c : text)
    if (c != '\r' && c != '\n') out += c;
  return out;
}

std::string RandomBytes(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen() & 0xFF);
  return s;
}

TEST(EncodeQuotedPrintable, BodyModeBreaksSoftlyAt72Bytes) {
  EXPECT_EQ(EncodeQuotedPrintable(std::string(100, 'a'), false),
            std::string(72, 'a') + "=\r\n" + std::string(28, 'a'));
  // The CR resets the count, the LF counts as a byte.
  EXPECT_EQ(EncodeQuotedPrintable("\r\n" + std::string(100, 'a'), false),
            "\r\n" + std::string(71, 'a') + "=\r\n" + std::string(29, 'a'));
  // An encoded byte counts three.
  EXPECT_EQ(EncodeQuotedPrintable(std::string(24, '\xFF') + "b", false),
            [] {
              std::string s;
              for (int i = 0; i < 24; ++i) s += "=FF";
              return s + "=\r\nb";
            }());
  EXPECT_EQ(EncodeQuotedPrintable(std::string(72, 'a'), false), std::string(72, 'a') + "=\r\n");
}

// The body-mode rule byte by byte, to check the encoder's faster paths.
std::string BodyQpByteByByte(const std::string& text) {
  std::string out;
  int count = 0;
  for (unsigned char c : text) {
    if (c >= 128 || c == '=') {
      char hex[4];
      std::snprintf(hex, sizeof hex, "=%02X", c);
      out += hex;
      count += 3;
    } else {
      out += static_cast<char>(c);
      count = c == '\r' ? 0 : count + 1;
    }
    if (count >= 72) {
      out += "=\r\n";
      count = 0;
    }
  }
  return out;
}

TEST(EncodeQuotedPrintable, BodyModeBreaksWhereTheByteRuleSays) {
  // Mixtures of printable runs, encoded bytes and line breaks in every
  // alignment.
  const std::string pieces[] = {"abcdefgh", "ドライブ", "\r\n", "=", "x", "\r", "\n", "空き容量 1,234 MB", "\xFF\xFE"};
  std::mt19937 gen(7);
  for (int round = 0; round < 300; ++round) {
    std::string text;
    int n = static_cast<int>(gen() % 60);
    for (int k = 0; k < n; ++k) text += pieces[gen() % 9];
    ASSERT_EQ(EncodeQuotedPrintable(text, false), BodyQpByteByByte(text)) << round;
  }
}

TEST(EncodeQuotedPrintable, BodyModeEncodesOnlyHighBytesAndEquals) {
  EXPECT_EQ(EncodeQuotedPrintable("a=b \t_\"?\x82\xA0\x7F\x01 \r\n", false), "a=3Db \t_\"?=82=A0\x7F\x01 \r\n");
  EXPECT_EQ(EncodeQuotedPrintable("", false), "");
}

TEST(EncodeQuotedPrintable, HeaderModeEncodesControlsBlanksQuotesAndUnderscores) {
  EXPECT_EQ(EncodeQuotedPrintable(" _\"?=\t\x1F\x7F\x82", true), "=20=5F=22?=3D=09=1F\x7F=82");
  EXPECT_EQ(EncodeQuotedPrintable(std::string(100, 'a'), true), std::string(100, 'a'));
}

TEST(EncodeQuotedPrintable, BodyModeDecodesBackToTheInput) {
  for (unsigned seed = 1; seed <= 20; ++seed) {
    std::string input = RandomBytes(1000 + seed * 37, seed);
    EXPECT_EQ(DecodeQuotedPrintable(EncodeQuotedPrintable(input, false)), input) << seed;
  }
}

TEST(EncodeHeaderWord, LeavesPrintableAsciiUnchanged) {
  EXPECT_EQ(EncodeHeaderWord("Re: =?x?Q?y?= and ?= stay", "iso-2022-jp"), "Re: =?x?Q?y?= and ?= stay");
  EXPECT_EQ(EncodeHeaderWord("del \x7F", "iso-8859-1"), "del \x7F");
  EXPECT_EQ(EncodeHeaderWord("", "iso-8859-1"), "");
}

TEST(EncodeHeaderWord, WritesAShortTextAsOneWord) {
  EXPECT_EQ(EncodeHeaderWord("a\tb c", "us-ascii"), "=?us-ascii?Q?a=09b=20c?=");
  // Other labels keep the Shift-JIS bytes.
  EXPECT_EQ(EncodeHeaderWord("あ", "shift_jis"), "=?shift_jis?Q?=82=A0?=");
  // iso-2022-jp (any ASCII case) converts first and writes base64; the
  // label stays as given. (The base64 texts are those of Python's iso2022_jp
  // codec for the same characters.)
  EXPECT_EQ(EncodeHeaderWord("あ", "iso-2022-jp"), "=?iso-2022-jp?B?GyRCJCIbKEI=?=");
  EXPECT_EQ(EncodeHeaderWord("x あ?", "ISO-2022-JP"), "=?ISO-2022-JP?B?eCAbJEIkIhsoQj8=?=");
  EXPECT_EQ(DecodeHeaderWords(EncodeHeaderWord("x あ?", "ISO-2022-JP")), "x \x1B$B$\"\x1B(B?");
  // "?", "_" and the specials of an address line are escaped for every label.
  EXPECT_EQ(EncodeHeaderWord("\x01?_,;\"<>.", "iso-8859-1"), "=?iso-8859-1?Q?=01=3F=5F=2C=3B=22=3C=3E=2E?=");
}

TEST(EncodeHeaderWord, QuestionMarksOfTheConversionNeverEndTheWord) {
  // 何 is JIS 0x323F and 食 is 0x3F29: both hold the byte "?".
  std::string word = EncodeHeaderWord("何食", "iso-2022-jp");
  EXPECT_EQ(word, "=?iso-2022-jp?B?GyRCMj8/KRsoQg==?=");
  EXPECT_EQ(DecodeHeaderWords(word), "\x1B$B2?" "?)\x1B(B");
  EXPECT_EQ(word.find('?', 16), word.size() - 2) << word;
}

// The words of an EncodeHeaderWord result, split at its blanks.
std::vector<std::string> SplitWords(const std::string& text) {
  std::vector<std::string> words;
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t blank = text.find(' ', pos);
    if (blank == std::string::npos) blank = text.size();
    words.push_back(text.substr(pos, blank - pos));
    pos = blank + 1;
  }
  return words;
}

// ISO-2022-JP as (JIS flag, bytes) characters: the text a reader shows,
// whatever escape sequences lead to it.
std::vector<std::pair<bool, std::string>> IsoCharacters(const std::string& iso) {
  std::vector<std::pair<bool, std::string>> chars;
  bool jis = false;
  for (std::size_t i = 0; i < iso.size();) {
    if (iso.compare(i, 3, "\x1B$B") == 0 || iso.compare(i, 3, "\x1B(B") == 0) {
      jis = iso[i + 1] == '$';
      i += 3;
      continue;
    }
    const std::size_t n = jis ? 2 : 1;
    chars.emplace_back(jis, iso.substr(i, n));
    i += n;
  }
  return chars;
}

bool IsUtf8Whole(const std::string& bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    const std::size_t n = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
    if (i + n > bytes.size()) return false;
    for (std::size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(bytes[i + k]) & 0xC0) != 0x80) return false;
    i += n;
  }
  return true;
}

bool IsShiftJisWhole(const std::string& bytes) {
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    if ((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC)) {
      if (i + 1 >= bytes.size()) return false;
      ++i;
    }
  }
  return true;
}

TEST(EncodeHeaderWord, LongTextsBecomeWordsOfAtMost75BytesEachWholeInItself) {
  std::string kanji40;
  for (int i = 0; i < 4; ++i) kanji40 += "東京都千代田区霞関番";  // 40 kanji
  std::string utf8;
  for (int i = 0; i < 30; ++i) utf8 += "\xE3\x81\x82\xF0\x9F\x98\x80";  // あ and an emoji
  struct Case {
    std::string text, charset;
    std::size_t lineStart;
  };
  const Case cases[] = {
      {"ドライブ領域不足のお知らせ", "iso-2022-jp", 9},
      {"ドライブ番人サービス", "iso-2022-jp", 6},
      {kanji40, "iso-2022-jp", 6},
      {kanji40, "iso-2022-jp", 0},
      {"Disk C: 残り 1,024 MB (しきい値 2,048 MB) - ｶﾞﾊﾟｳﾞ半角ｶﾅ ends here", "iso-2022-jp", 9},
      {kanji40 + "abc" + kanji40, "shift_jis", 9},
      {utf8, "utf-8", 9},
      {std::string(200, 'x') + "\x01", "us-ascii", 0},
      {"caf\xE9 " + std::string(120, '\xE9'), "iso-8859-1", 9},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.charset + " " + std::to_string(c.text.size()) + " bytes");
    const std::string encoded = EncodeHeaderWord(c.text, c.charset, c.lineStart);
    const std::vector<std::string> words = SplitWords(encoded);
    const std::string head = "=?" + c.charset + (c.charset == "iso-2022-jp" ? "?B?" : "?Q?");
    std::string joined;
    std::vector<std::pair<bool, std::string>> chars;
    for (std::size_t w = 0; w < words.size(); ++w) {
      const std::string& word = words[w];
      EXPECT_LE(word.size(), 75u) << word;
      if (w == 0) {
        EXPECT_LE(c.lineStart + word.size(), 76u) << word;
      }
      ASSERT_EQ(word.rfind(head, 0), 0u) << word;
      ASSERT_EQ(word.substr(word.size() - 2), "?=") << word;
      const std::string inner = word.substr(head.size(), word.size() - head.size() - 2);
      for (char ch : inner)
        EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(ch)) || std::string("!*+-/=").find(ch) != std::string::npos)
            << "'" << ch << "' in " << word;
      // Each word decodes on its own.
      const std::string bytes = DecodeHeaderWords(word);
      if (c.charset == "iso-2022-jp") {
        // Starts in ASCII, ends in ASCII, never splits a JIS pair.
        const auto own = IsoCharacters(bytes);
        EXPECT_TRUE(bytes.size() < 3 || bytes.compare(bytes.size() - 3, 3, "\x1B$B") != 0);
        if (!own.empty() && own.back().first) {
          EXPECT_EQ(bytes.substr(bytes.size() - 3), "\x1B(B") << word;
        }
        for (const auto& ch : own) EXPECT_EQ(ch.second.size(), ch.first ? 2u : 1u) << word;
        chars.insert(chars.end(), own.begin(), own.end());
      } else if (c.charset == "utf-8") {
        EXPECT_TRUE(IsUtf8Whole(bytes)) << word;
      } else if (c.charset == "shift_jis") {
        EXPECT_TRUE(IsShiftJisWhole(bytes)) << word;
      }
      joined += bytes;
    }
    // The alert's own subject and name fit one word; the long texts do not.
    EXPECT_EQ(words.size() > 1, c.text.size() > 40) << encoded;
    if (c.charset == "iso-2022-jp") {
      EXPECT_EQ(chars, IsoCharacters(ShiftJisToIso2022Jp(c.text)));
    } else {
      EXPECT_EQ(joined, c.text);
    }
    // The module's reader gives the whole text back, folded or not.
    EXPECT_EQ(DecodeHeaderWords(encoded), c.charset == "iso-2022-jp" ? joined : c.text);
    std::string folded = FoldHeaders("Subject: " + encoded);
    EXPECT_EQ(DecodeHeaderWords(WithoutLineBreaks(folded).substr(9)), DecodeHeaderWords(encoded));
  }
}

TEST(EncodeHeaderWord, FoldingBreaksOnlyBetweenWords) {
  const std::string text =
      "お知らせ：ドライブの空き領域が不足しています。至急ご確認ください。せせせせせせ";
  const std::string encoded = EncodeHeaderWord(text, "iso-2022-jp", 9);
  const std::vector<std::string> words = SplitWords(encoded);
  ASSERT_GE(words.size(), 3u);
  const std::string folded = FoldHeaders("Subject: " + encoded + "\r\n");
  std::string expected = "Subject: " + words[0] + "\r\n";
  for (std::size_t w = 1; w < words.size(); ++w) expected += " " + words[w] + "\r\n";
  EXPECT_EQ(folded, expected);
}

TEST(EncodeHeaderWord, RefusesACharsetLabelNoCharacterFitsWith) {
  // "=?" + 71 bytes + "?Q?" + "=E9" + "?=" is 78 bytes.
  EXPECT_THROW(EncodeHeaderWord("\xE9", std::string(71, 'x')), std::length_error);
  // A label that leaves room for one character gives one word per character.
  const std::string fits(64, 'x');
  EXPECT_EQ(EncodeHeaderWord("\xE9\xE9", fits), "=?" + fits + "?Q?=E9?= =?" + fits + "?Q?=E9?=");
}

TEST(EncodeHeaderPhrase, QuotesPlainNamesAndLeavesEncodedWordsUnquoted) {
  EXPECT_EQ(EncodeHeaderPhrase("Drive Warden", "iso-2022-jp"), "\"Drive Warden\"");
  EXPECT_EQ(EncodeHeaderPhrase("山田", "iso-2022-jp"), "=?iso-2022-jp?B?GyRCOzNFRBsoQg==?=");
  // A quote or backslash cannot stand in the module's quoted names.
  EXPECT_EQ(EncodeHeaderPhrase("a\"b\\", "us-ascii"), "=?us-ascii?Q?a=22b=5C?=");
  std::string name;
  for (int i = 0; i < 40; ++i) name += "番";
  const std::string phrase = EncodeHeaderPhrase(name, "iso-2022-jp", 6);
  EXPECT_EQ(phrase.find('"'), std::string::npos);
  for (const std::string& word : SplitWords(phrase)) EXPECT_LE(word.size(), 75u);
}

TEST(DecodeQuotedPrintable, FollowsTheModuleRules) {
  EXPECT_EQ(DecodeQuotedPrintable("a=3Db=82=A0"), "a=b\x82\xA0");
  EXPECT_EQ(DecodeQuotedPrintable("a=3db"), "a=3db");
  EXPECT_EQ(DecodeQuotedPrintable("a=\r\nb"), "ab");
  EXPECT_EQ(DecodeQuotedPrintable("a=\n\rb"), "ab");
  EXPECT_EQ(DecodeQuotedPrintable("a=\rb"), "ab");
  EXPECT_EQ(DecodeQuotedPrintable("a=\nb"), "ab");
  EXPECT_EQ(DecodeQuotedPrintable("abc="), "abc");
  EXPECT_EQ(DecodeQuotedPrintable("=G1 =4"), "=G1 =4");
  EXPECT_EQ(DecodeQuotedPrintable("==41"), "=A");
  EXPECT_EQ(DecodeQuotedPrintable("=3D41"), "=41");
  EXPECT_EQ(DecodeQuotedPrintable("a\r\nb"), "a\r\nb");
}

TEST(DecodeBase64Text, DecodesGroupsOfFour) {
  EXPECT_EQ(DecodeBase64Text("QUJD"), "ABC");
  EXPECT_EQ(DecodeBase64Text("QUI="), "AB");
  EXPECT_EQ(DecodeBase64Text("QQ=="), "A");
  EXPECT_EQ(DecodeBase64Text("QUJDRA"), "ABC");  // incomplete last group
  EXPECT_EQ(DecodeBase64Text("QUJD=AAA"), "ABC");
  EXPECT_EQ(DecodeBase64Text(""), "");
  EXPECT_EQ(DecodeBase64Text("gqA="), "\x82\xA0");
}

TEST(DecodeBase64Text, OutsideCharacterKeepsThePreviousGroupsValue) {
  EXPECT_EQ(DecodeBase64Text("QUJD*UJE"), "ABCABD");
  EXPECT_EQ(DecodeBase64Text("*QAA"), std::string("\x01\x00\x00", 3));
}

TEST(DecodeHeaderWords, DecodesEveryWordAndKeepsTheTextAround) {
  // White space between two words goes (RFC 2047, section 6.2), other text
  // between them stays.
  EXPECT_EQ(DecodeHeaderWords("=?iso-2022-jp?B?QUJD?= =?iso-2022-jp?B?REVG?="), "ABCDEF");
  EXPECT_EQ(DecodeHeaderWords("=?x?Q?a?=\r\n \t=?x?Q?b?= =?x?Q?c?="), "abc");
  EXPECT_EQ(DecodeHeaderWords("=?x?Q?a?= and =?x?Q?b?= c"), "a and b c");
  EXPECT_EQ(DecodeHeaderWords("  Re: =?x?Q?a_b=3Dc?= end  "), "Re: a b=c end");
  EXPECT_EQ(DecodeHeaderWords("=?x?b?QUJD?="), "ABC");
  EXPECT_EQ(DecodeHeaderWords("=?x?Q?a?==?x?Q?b?="), "ab");
  EXPECT_EQ(DecodeHeaderWords("=?iso-2022-jp?Q?=82=A0?="), "あ");
  EXPECT_EQ(DecodeHeaderWords("plain text"), "plain text");
}

TEST(DecodeHeaderWords, UnknownLettersDecodeAsQ) {
  EXPECT_EQ(DecodeHeaderWords("=?x?X?a_b=41?="), "a bA");
  // Without "?" as second byte the text after two bytes is taken as Q.
  EXPECT_EQ(DecodeHeaderWords("A=?x?QQ?=B"), "AB");
  EXPECT_EQ(DecodeHeaderWords("A=?x?QQxy=41?=B"), "AxyAB");
}

TEST(DecodeHeaderWords, ReadsAQTextBeginningWithEqualsWhole) {
  EXPECT_EQ(DecodeHeaderWords("=?x?Q?=41?="), "A");
  EXPECT_EQ(DecodeHeaderWords("=?x?Q?=82=A0?= tail"), "あ tail");
}

TEST(DecodeHeaderWords, LeavesIncompleteWordsAsText) {
  EXPECT_EQ(DecodeHeaderWords("=?x?Q?abc"), "=?x?Q?abc");
  EXPECT_EQ(DecodeHeaderWords("a =?x b"), "a =?x b");
  // The first "=?" is not a complete word: nothing after it is decoded.
  EXPECT_EQ(DecodeHeaderWords("=?abc =?x?Q?"), "=?abc =?x?Q?");
}

TEST(DecodeHeaderWords, CutsBAndUWordsAtTheFirstZeroByte) {
  EXPECT_EQ(DecodeHeaderWords("=?x?B?QQBC?=!"), "A!");
  // "#0V%T" is the uuencoded line of "Cat".
  EXPECT_EQ(DecodeHeaderWords("=?x?U?#0V%T?="), "Cat");
  EXPECT_EQ(DecodeHeaderWords("=?x?U?#0V?="), "C`");
}

TEST(DecodeHeaderWords, DecodedBytesAreNotDecodedAgain) {
  // The word holds the literal text "=?y?Q?z?=".
  EXPECT_EQ(DecodeHeaderWords("=?x?Q?=3D=3Fy=3FQ=3Fz=3F=3D?="), "=?y?Q?z?=");
  // A decoded "=" does not join the "?" after the word into a new one.
  EXPECT_EQ(DecodeHeaderWords("=?x?Q?=3D?=?x?Q?y?="), "=?x?Q?y?=");
}

TEST(DecodeHeaderWords, KeepsAnInvalidUWordAndGoesOn) {
  EXPECT_EQ(DecodeHeaderWords("=?x?U?#abc?= =?x?Q?ok?="), "=?x?U?#abc?= ok");
}

TEST(DecodeHeaderWords, ReadsWhatEncodeHeaderWordWrote) {
  const std::string text = "件名 \"test\" _x_ 100%";
  EXPECT_EQ(DecodeHeaderWords(EncodeHeaderWord(text, "shift_jis")), text);
}

TEST(EncodeBase64Stream, WritesLinesOf76CharactersEndingInCrLf) {
  std::string dest = "old content";
  EXPECT_EQ(EncodeBase64Stream(dest, ""), 0u);
  EXPECT_EQ(dest, "");

  EXPECT_EQ(EncodeBase64Lines("Man"), "TWFu\r\n");
  EXPECT_EQ(EncodeBase64Lines("Ma"), "TWE=\r\n");
  EXPECT_EQ(EncodeBase64Lines("M"), "TQ==\r\n");

  std::string src57(57, '\0');
  EXPECT_EQ(EncodeBase64Stream(dest, src57), 78u);
  EXPECT_EQ(dest, std::string(76, 'A') + "\r\n");

  std::string src58(58, '\xFF');
  EXPECT_EQ(EncodeBase64Stream(dest, src58), 84u);
  EXPECT_EQ(dest, std::string(76, '/') + "\r\n" + "/w==\r\n");

  EXPECT_EQ(EncodeBase64Lines(std::string(114, 'a')).size(), 156u);
}

TEST(EncodeBase64Stream, DecodesBackToTheInput) {
  for (std::size_t n : {1u, 2u, 3u, 56u, 57u, 58u, 113u, 114u, 115u, 4000u}) {
    std::string input = RandomBytes(n, static_cast<unsigned>(n));
    std::string encoded = EncodeBase64Lines(input);
    ASSERT_EQ(encoded.substr(encoded.size() - 2), "\r\n");
    EXPECT_EQ(DecodeBase64Text(WithoutLineBreaks(encoded)), input) << n;
  }
}

TEST(UUDecodeChar, MapsTheAlphabetAndRejectsOthers) {
  EXPECT_EQ(UUDecodeChar(' '), 0);
  EXPECT_EQ(UUDecodeChar('`'), 0);
  EXPECT_EQ(UUDecodeChar('!'), 1);
  EXPECT_EQ(UUDecodeChar('M'), 45);
  EXPECT_EQ(UUDecodeChar('_'), 63);
  for (char c : {'a', '~', '\0', '\x82', '\t'}) {
    try {
      UUDecodeChar(c);
      ADD_FAILURE() << "no error for " << static_cast<int>(c);
    } catch (const std::exception& e) {
      EXPECT_STREQ(e.what(), "UUCODE message format error");
    }
  }
}

TEST(UUDecodeLine, TakesCountFromFirstCharacterAndPadsWithZeroBits) {
  EXPECT_EQ(UUDecodeLine(""), "");
  EXPECT_EQ(UUDecodeLine("`"), "");
  EXPECT_EQ(UUDecodeLine("#0V%T"), "Cat");
  EXPECT_EQ(UUDecodeLine("!0V%T"), "C");
  EXPECT_EQ(UUDecodeLine("#0V"), std::string("C`\0", 3));
  // A full line (45 bytes) reads exactly 60 characters; the rest is ignored.
  std::string chars;
  for (int i = 0; i < 15; ++i) chars += "0V%T";
  std::string cats;
  for (int i = 0; i < 15; ++i) cats += "Cat";
  EXPECT_EQ(UUDecodeLine("M" + chars + "junk"), cats);
  EXPECT_THROW(UUDecodeLine("#0v%T"), UUDecodeError);
}

TEST(UUDecodeText, AppendsTheBytesOfEveryLine) {
  std::string dest = "X";
  UUDecodeText("#0V%T\r\n\r\n#0V%T\r\n`\r\n", dest);
  EXPECT_EQ(dest, "XCatCat");
  UUDecodeText("", dest);
  EXPECT_EQ(dest, "XCatCat");
  EXPECT_THROW(UUDecodeText("#0V%T\r\n#abc", dest), UUDecodeError);
}

TEST(PadLeftTo, CutsOrPadsToTheWidth) {
  EXPECT_EQ(PadLeftTo("  abc", 5, "0"), "00abc");
  EXPECT_EQ(PadLeftTo("123456789", 8, "0"), "23456789");
  EXPECT_EQ(PadLeftTo("ab", 5, "xy"), "xyxyab");
  EXPECT_EQ(PadLeftTo("abc  ", 3, "0"), "c  ");
  EXPECT_EQ(PadLeftTo("abc", 0, "0"), "");
  // An empty pad cannot lengthen the text.
  EXPECT_EQ(PadLeftTo("ab", 5, ""), "ab");
}

TEST(NewBoundary, IsAlwaysSixteenBytes) {
  EXPECT_EQ(BoundaryText(0), "boundary00000000");
  EXPECT_EQ(BoundaryText(0xC3A7F1), "boundary00C3A7F1");
  EXPECT_EQ(BoundaryText(0xFFFFFFFFu), "boundaryFFFFFFFF");
  std::set<std::string> seen;
  for (int i = 0; i < 100; ++i) {
    std::string b = NewBoundary();
    ASSERT_EQ(b.size(), 16u);
    ASSERT_EQ(b.substr(0, 8), "boundary");
    for (char c : b.substr(8)) EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')) << b;
    seen.insert(b);
  }
  EXPECT_GT(seen.size(), 95u);
}

TEST(NewBoundary, DrawsFromTheSeededModuleGenerator) {
  SeedMailRandom(42);
  std::string a = NewBoundary();
  std::uint32_t r = NextMailRandom();
  SeedMailRandom(42);
  EXPECT_EQ(NewBoundary(), a);
  EXPECT_EQ(NextMailRandom(), r);
}

TEST(LocalUtcOffset, IsAFractionOfADayPositiveEast) {
  EXPECT_DOUBLE_EQ(LocalUtcOffsetFromMinutes(540), 0.375);
  EXPECT_DOUBLE_EQ(LocalUtcOffsetFromMinutes(-240), -240.0 / 1440.0);
  EXPECT_DOUBLE_EQ(LocalUtcOffsetFromMinutes(0), 0.0);
  test::FakeSystemInfo system;
  system.utcOffsetMinutes = 345;
  EXPECT_DOUBLE_EQ(LocalUtcOffset(system), 345.0 / 1440.0);
}

TEST(DateHeaderText, WritesDayMonthTimeAndZone) {
  LocalDateTime when{2009, 6, 23, 0, 10, 33, 15, 0};
  EXPECT_EQ(DateHeaderText(when, 540), "Tue, 23 Jun 2009 10:33:15 +0900");
  EXPECT_EQ(DateHeaderText(when, 0), "Tue, 23 Jun 2009 10:33:15 GMT");
  EXPECT_EQ(DateHeaderText(when, -240), "Tue, 23 Jun 2009 10:33:15 -0400");
  EXPECT_EQ(DateHeaderText(when, 345), "Tue, 23 Jun 2009 10:33:15 +0545");
  EXPECT_EQ(DateHeaderText(when, -570), "Tue, 23 Jun 2009 10:33:15 -0930");
  EXPECT_EQ(DateHeaderText(LocalDateTime{2024, 3, 5, 0, 4, 5, 6, 0}, 60), "Tue, 05 Mar 2024 04:05:06 +0100");
  EXPECT_EQ(DateHeaderText(LocalDateTime{2024, 2, 29, 0, 23, 59, 59, 0}, 0), "Thu, 29 Feb 2024 23:59:59 GMT");
  EXPECT_EQ(DateHeaderText(LocalDateTime{2000, 1, 1, 0, 0, 0, 0, 0}, 0), "Sat, 01 Jan 2000 00:00:00 GMT");
  EXPECT_EQ(DateHeaderText(LocalDateTime{2026, 12, 13, 0, 0, 0, 0, 0}, 0), "Sun, 13 Dec 2026 00:00:00 GMT");
}

TEST(DateHeaderText, TakesTheOffsetFromTheSystem) {
  test::FakeSystemInfo system;
  system.utcOffsetMinutes = -300;
  EXPECT_EQ(DateHeaderText(LocalDateTime{2009, 6, 23, 2, 10, 33, 15, 0}, system),
            "Tue, 23 Jun 2009 10:33:15 -0500");
}

}  // namespace
}  // namespace qw
