// Header line routines: finding, reading, replacing, normalising, folding.
#include "mail/header_lines.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace qw {
namespace {

TEST(FindHeaderLine, MatchesPrefixIgnoringAsciiCaseAndCountsOccurrences) {
  std::vector<std::string> lines = {"Tomorrow: x", "to: a", "Subject: s", "TO: b", "To"};
  EXPECT_EQ(FindHeaderLine(lines, "To:"), 1);
  EXPECT_EQ(FindHeaderLine(lines, "To:", 1), 3);
  EXPECT_EQ(FindHeaderLine(lines, "To:", 2), -1);
  EXPECT_EQ(FindHeaderLine(lines, "subject:"), 2);
  EXPECT_EQ(FindHeaderLine(lines, "Cc:"), -1);
  // "To" is shorter than the prefix and never matches it.
  EXPECT_EQ(FindHeaderLine({"To"}, "To:"), -1);
  EXPECT_EQ(FindHeaderLine({}, "To:"), -1);
}

TEST(FieldValue, TakesTextBetweenColonAndFirstSemicolonOutsideQuotes) {
  EXPECT_EQ(FieldValue("Content-Type: text/plain; charset=x"), "text/plain");
  EXPECT_EQ(FieldValue("Subject:   hello world  "), "hello world");
  EXPECT_EQ(FieldValue("X-A: \"a;b\"; p=1"), "a;b");
  EXPECT_EQ(FieldValue("\"A:B\" x: value"), "value");
  EXPECT_EQ(FieldValue("X: \"a\" b \"c\""), "a\" b \"c");
  EXPECT_EQ(FieldValue("X: \""), "");
  EXPECT_EQ(FieldValue("no colon; at all"), "");
  EXPECT_EQ(FieldValue("Empty:"), "");
}

TEST(ReplaceFieldValue, ReplacesOnlyTheMainValue) {
  EXPECT_EQ(ReplaceFieldValue("Content-Type: text/plain; charset=x", "  text/html "),
            "Content-Type: text/html; charset=x");
  EXPECT_EQ(ReplaceFieldValue("Subject:", "hi"), "Subject: hi");
  EXPECT_EQ(ReplaceFieldValue("X-A: \"q;r\" old; p=1", "new"), "X-A: new; p=1");
  EXPECT_EQ(ReplaceFieldValue("\"a:b\" c: d", "new"), "\"a:b\" c: new");
  EXPECT_EQ(ReplaceFieldValue("Subject: old", "   "), "Subject: ");
  EXPECT_EQ(ReplaceFieldValue("no colon", "x"), "no colon");
}

TEST(FieldParam, FindsParameterByTrimmedCaseInsensitiveName) {
  const std::string line = "Content-Type: text/plain; charset=\"shift;jis\"; name = foo bar ;";
  EXPECT_EQ(FieldParam(line, "charset"), "shift;jis");
  EXPECT_EQ(FieldParam(line, " CHARSET "), "shift;jis");
  EXPECT_EQ(FieldParam(line, "name"), "foo bar");
  EXPECT_EQ(FieldParam(line, "boundary"), "");
  EXPECT_EQ(FieldParam(line, "text/plain"), "");
  // A line without a colon has no parameters.
  EXPECT_EQ(FieldParam("text; charset=x", "charset"), "");
  // A parameter given twice contributes both values.
  EXPECT_EQ(FieldParam("X: v; a=1; a=2", "a"), "12");
  // An equals sign ends the value: what follows is read as a name.
  EXPECT_EQ(FieldParam("X: v; a=b=c", "a"), "b");
  EXPECT_EQ(FieldParam("X: v; a=b=c", "b"), "c");
}

TEST(ReplaceFieldParam, ReplacesInPlaceOrAppends) {
  EXPECT_EQ(ReplaceFieldParam("Content-Type: text/plain", "charset", "x"),
            "Content-Type: text/plain; charset=x");
  EXPECT_EQ(ReplaceFieldParam("Content-Type:", "charset", "x"), "Content-Type:; charset=x");
  EXPECT_EQ(ReplaceFieldParam("Content-Type: text/plain; CHARSET=\"old\"; format=flowed", " charset ", " new "),
            "Content-Type: text/plain; CHARSET=new; format=flowed");
  EXPECT_EQ(ReplaceFieldParam("  X: a;  ", "p", "v"), "X: a; p=v");
  // A parameter-like text inside quotes is not a parameter.
  EXPECT_EQ(ReplaceFieldParam("X: a; q=\"1;p=2\"", "p", "3"), "X: a; q=\"1;p=2\"; p=3");
  // An equals sign inside the old value belongs to it.
  EXPECT_EQ(ReplaceFieldParam("X: a; p=1=2; q=3", "p", "9"), "X: a; p=9; q=3");
  EXPECT_EQ(ReplaceFieldParam("X: a; p=\"b\"", "p", "\"c d\""), "X: a; p=\"c d\"");
}

TEST(NormalizeHeaderLine, CasesNameAndCollapsesBlanksOutsideQuotes) {
  EXPECT_EQ(NormalizeHeaderLine("MESSAGE-ID:   <a@b>"), "Message-ID: <a@b>");
  EXPECT_EQ(NormalizeHeaderLine("content-type:text/plain;  charset=x"), "Content-Type: text/plain; charset=x");
  EXPECT_EQ(NormalizeHeaderLine("X-Mailer: Foo  Bar"), "X-Mailer: Foo Bar");
  EXPECT_EQ(NormalizeHeaderLine("x-idiom: a"), "X-Idiom: a");
  EXPECT_EQ(NormalizeHeaderLine("x-id:"), "X-ID: ");
  EXPECT_EQ(NormalizeHeaderLine("Subject: a   b \"c   d\"   e  "), "Subject: a b \"c   d\" e");
  // Without a colon the whole line is the name; it ends in a blank.
  EXPECT_EQ(NormalizeHeaderLine("Hello World AGAIN"), "Hello world again ");
  // Double quotes mean nothing in the name; the value keeps its case.
  EXPECT_EQ(NormalizeHeaderLine("X-\"A:B\" CD"), "X-\"a: B\" CD");
  // The second byte of a double-byte character is cased like any other byte.
  EXPECT_EQ(NormalizeHeaderLine("X\x83\x41: \x83\x41"), "X\x83\x61: \x83\x41");
}

TEST(FoldHeaders, NormalisesLineBreaksAndDropsTrailingOnes) {
  EXPECT_EQ(FoldHeaders(""), "");
  EXPECT_EQ(FoldHeaders("\r\n\r\n"), "");
  EXPECT_EQ(FoldHeaders("Subject: a\r\n\r\n\r\n"), "Subject: a\r\n");
  EXPECT_EQ(FoldHeaders("A: 1\nB: 2\rC: 3"), "A: 1\r\nB: 2\r\nC: 3\r\n");
  EXPECT_EQ(FoldHeaders("A: 1\n\rB"), "A: 1\r\n\r\nB\r\n");
  EXPECT_EQ(FoldHeaders("A: 1\r\n\r\nB: 2\n"), "A: 1\r\n\r\nB: 2\r\n");
}

TEST(FoldHeaders, NeverBreaksInsideTheNameOrRightAfterItsColon) {
  const std::string line = "Subject: " + std::string(91, 'x');  // 100 bytes
  EXPECT_EQ(FoldHeaders(line), line + "\r\n");
  const std::string word = "Subject: =?iso-2022-jp?Q?" + std::string(120, 'A') + "?=";
  EXPECT_EQ(FoldHeaders(word), word + "\r\n");
}

TEST(FoldHeaders, BreaksAtTheLastBlankWithinTheWidth) {
  // 80 bytes; the only blanks after ": " are at positions 40 and 75.
  std::string line = "X-Long: " + std::string(72, 'a');
  line[39] = ' ';
  line[74] = ' ';
  ASSERT_EQ(line.size(), 80u);
  // CR LF goes before the blank, which starts the continuation line.
  EXPECT_EQ(FoldHeaders(line), line.substr(0, 39) + "\r\n" + line.substr(39) + "\r\n");
}

TEST(FoldHeaders, KeepsCommaOrSemicolonOnTheFirstPiece) {
  std::string to = "To: <" + std::string(30, 'a') + "@example.jp>,<" + std::string(30, 'b') + "@example.jp>";
  std::size_t comma = to.find(',');
  EXPECT_EQ(FoldHeaders(to), to.substr(0, comma + 1) + "\r\n " + to.substr(comma + 1) + "\r\n");

  std::string ct = "Content-Type: multipart/mixed;boundary=\"" + std::string(60, 'q') + "\"";
  std::size_t semi = ct.find(';');
  EXPECT_EQ(FoldHeaders(ct), ct.substr(0, semi + 1) + "\r\n " + ct.substr(semi + 1) + "\r\n");
}

TEST(FoldHeaders, SkipsBlanksInsideQuotedStretches) {
  // The quoted display name holds blanks up to position 72; the only blank
  // outside quotes is the one after the comma.
  std::string name = "\"" + std::string(20, 'n') + " " + std::string(20, 'm') + " " + std::string(30, 'k') + "\"";
  std::string from = "To: <a@b.jp>, " + name + " <c@d.jp>";
  ASSERT_GT(from.size(), 72u);
  std::string rest = name + " <c@d.jp>";
  // The rest is longer than 72 too: its first blank outside quotes is past
  // 72, and it is taken.
  EXPECT_EQ(FoldHeaders(from), "To: <a@b.jp>,\r\n " + name + "\r\n <c@d.jp>\r\n");

  // Apostrophes quote as well.
  std::string apos = "X-Note: '" + std::string(30, 'a') + " " + std::string(40, 'b') + "'";
  EXPECT_EQ(FoldHeaders(apos), apos + "\r\n");
}

TEST(FoldHeaders, TabLinesBreakNoEarlierThanPosition36) {
  std::string early = "\t" + std::string(30, 'a') + " " + std::string(50, 'b');  // blank at 32
  EXPECT_EQ(FoldHeaders(early), early + "\r\n");
  std::string late = "\t" + std::string(38, 'a') + " " + std::string(50, 'b');  // blank at 40
  EXPECT_EQ(FoldHeaders(late), late.substr(0, 39) + "\r\n" + late.substr(39) + "\r\n");
}

TEST(FoldHeaders, FoldsLongRestsAgain) {
  // Words of 9 bytes and a blank: every piece ends at the last blank within
  // 72 bytes.
  std::string line = "X-List:";
  for (int i = 0; i < 30; ++i) line += " word" + std::to_string(1000 + i);
  std::string folded = FoldHeaders(line);
  std::size_t pieces = 0;
  std::size_t pos = 0;
  std::string joined;
  while (pos < folded.size()) {
    std::size_t eol = folded.find("\r\n", pos);
    ASSERT_NE(eol, std::string::npos);
    std::string piece = folded.substr(pos, eol - pos);
    EXPECT_LE(piece.size(), 72u) << piece;
    if (pieces > 0) {
      ASSERT_EQ(piece[0], ' ');
    }
    joined += piece;
    ++pieces;
    pos = eol + 2;
  }
  EXPECT_GT(pieces, 3u);
  EXPECT_EQ(joined, line);
}

// The lines of a folded text, without their CR LF.
std::vector<std::string> FoldedLines(const std::string& folded) {
  std::vector<std::string> lines;
  std::size_t pos = 0;
  while (pos < folded.size()) {
    std::size_t eol = folded.find("\r\n", pos);
    if (eol == std::string::npos) eol = folded.size();
    lines.push_back(folded.substr(pos, eol - pos));
    pos = eol + 2;
  }
  return lines;
}

TEST(FoldHeaders, NoLinePassesTheLimitWhereABreakExists) {
  std::string words;  // 50 words of 9 bytes
  for (int i = 0; i < 50; ++i) words += " word" + std::to_string(1000 + i);
  struct Case {
    const char* what;
    std::string line;
    std::size_t longest;  // the longest line the folding may leave
  };
  const Case cases[] = {
      // A ": " far in the rest must not stop the folding of the pieces before.
      {"colon far away", "X-Note:" + words + " note: " + words + ": end", 72},
      {"colon in every piece", "X-Note:" + std::string(" a: b c: d e: f g: h") + words + words, 72},
      // Long words leave lines past the width, but each as short as it can be.
      {"long words", "X-Words: " + std::string(300, 'a') + " " + std::string(500, 'b') + " c", 501},
      {"long name", "X-Name: \"" + std::string(900, 'q') + "\" <q@example.jp>", 910},
      {"998 exactly", "X: " + std::string(995, 'z'), 998},
      // Only where nothing else helps, a blank inside quotes.
      {"blank inside quotes", "X-Name: \"" + std::string(500, 'q') + " " + std::string(600, 'r') + "\"", 602},
      {"long address list", "To: " + [] {
         std::string list;
         for (int i = 0; i < 200; ++i) list += "<person" + std::to_string(i) + "@example.jp>,";
         return list;
       }(), 72},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string folded = FoldHeaders(c.line);
    std::string unfolded;
    for (const std::string& line : FoldedLines(folded)) {
      EXPECT_LE(line.size(), c.longest) << line.substr(0, 80);
      unfolded += line;
    }
    if (c.line.find(',') == std::string::npos) {
      EXPECT_EQ(unfolded, c.line) << "unfolding gives the line back";
    }
  }
}

TEST(FoldHeaders, RefusesALineThatCannotBeBroughtWithin998Bytes) {
  const std::string cases[] = {
      "X: " + std::string(996, 'z'),                                      // 999 bytes, no break
      "Subject: " + std::string(40, 'a') + " " + std::string(999, 'b'),   // a piece of 1000
      "X-Name: \"" + std::string(500, 'q') + std::string(500, 'q') + "\" <a@b.jp>",  // one quoted word
      "A: short\r\nX-Huge: " + std::string(5000, 'x') + "\r\nB: short",
  };
  for (const std::string& line : cases) {
    try {
      FoldHeaders(line);
      ADD_FAILURE() << "folded: " << line.substr(0, 40);
    } catch (const std::length_error& e) {
      EXPECT_NE(std::string(e.what()).find("998"), std::string::npos) << e.what();
      EXPECT_EQ(std::string(e.what()).rfind("header line \"", 0), 0u) << e.what();
    }
  }
}

}  // namespace
}  // namespace qw
