// Parsing source texts into parts, rebuilding a multipart body and the
// complete text of a part.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "mail/encodings.h"
#include "mail/mail_message.h"
#include "platform/message_loop.h"
#include "tests/fakes/fake_platform.h"

namespace qw {
namespace {

using Lines = std::vector<std::string>;

class MailAssemblyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    msg.SetRandomSource([this] { return nextRandom++; });
  }
  test::FakeSystemInfo system;
  TMailMessage msg{system, "mailMsg"};
  uint32_t nextRandom = 0xC3A7F1;
};

// --- Header block and body ---------------------------------------------------

TEST_F(MailAssemblyTest, HeaderBlockEndsAtTheFirstEmptyLineAndIsNormalised) {
  msg.LoadText(
      "SUBJECT:   hello    world\r\n"
      "content-type: text/plain;\r\n"
      "\tcharset=\"a   b\"\r\n"
      "message-id: <1@x>\r\n"
      "\r\n"
      "Body line 1\r\n"
      "\r\n"
      "Body: not a header\r\n");
  EXPECT_EQ(msg.HeaderLines, (Lines{"Subject: hello world",
                                    "Content-Type: text/plain; charset=\"a   b\"",
                                    "Message-ID: <1@x>"}));
  EXPECT_EQ(msg.BodyStream, "Body line 1\r\n\r\nBody: not a header\r\n");
  EXPECT_EQ(msg.HeaderParam("Content-Type", "charset"), "a   b");
  EXPECT_TRUE(msg.NeedsRebuild());
}

TEST_F(MailAssemblyTest, ContinuationLinesJoinWithOneBlank) {
  msg.LoadText("To: a@x,\r\n\tb@x,\r\n  c@x\r\n \r\n\r\nbody");
  // The line " " continues with nothing after its first byte.
  EXPECT_EQ(msg.HeaderLines, (Lines{"To: a@x, b@x, c@x"}));
  EXPECT_EQ(msg.ToRecipients().Count(), 3);
  EXPECT_EQ(msg.BodyStream, "body");
}

TEST_F(MailAssemblyTest, ASentenceWithoutColonBecomesOneCasedHeaderLine) {
  msg.LoadText("Dear ADMIN, the well-known DRIVE is full\r\n\r\nMore text.\r\n");
  EXPECT_EQ(msg.HeaderLines, (Lines{"Dear admin, the well-Known drive is full "}));
  EXPECT_EQ(msg.BodyStream, "More text.\r\n");
}

TEST_F(MailAssemblyTest, LeadingEmptyLineMeansNoHeaderUnlessThereIsNoHeaderBlock) {
  msg.LoadText("\r\nSubject: body\r\n");
  EXPECT_TRUE(msg.HeaderLines.empty());
  EXPECT_EQ(msg.BodyStream, "Subject: body\r\n");

  msg.ParseText("\r\nSubject: body\r\n", false);
  EXPECT_TRUE(msg.HeaderLines.empty());
  EXPECT_EQ(msg.BodyStream, "\r\nSubject: body\r\n");
}

TEST_F(MailAssemblyTest, TextWithoutEmptyLineIsAllHeader) {
  msg.LoadText("A: 1\r\nB: 2\r\nC: 3");
  EXPECT_EQ(msg.HeaderLines, (Lines{"A: 1", "B: 2", "C: 3"}));
  EXPECT_EQ(msg.BodyStream, "");
  msg.LoadText("A: 1\r\n\r\n");
  EXPECT_EQ(msg.HeaderLines, (Lines{"A: 1"}));
  EXPECT_EQ(msg.BodyStream, "");
  msg.LoadText("");
  EXPECT_TRUE(msg.HeaderLines.empty());
  EXPECT_EQ(msg.BodyStream, "");
}

TEST_F(MailAssemblyTest, LoneCrAndLfAreOrdinaryBytes) {
  msg.LoadText("A: 1\n\r\nB: 2\r\n\r\nx\ry\nz");
  EXPECT_EQ(msg.HeaderLines, (Lines{"A: 1\n", "B: 2"}));
  EXPECT_EQ(msg.BodyStream, "x\ry\nz");
}

TEST_F(MailAssemblyTest, BodyEndsWithCrLfExactlyWhenTheTextDoes) {
  msg.ParseText("line 1\r\nline 2", false);
  EXPECT_EQ(msg.BodyStream, "line 1\r\nline 2");
  msg.Rebuild();
  EXPECT_EQ(msg.HeaderValue("Content-Length"), "14");

  msg.ParseText("line 1\r\nline 2\r\n", false);
  EXPECT_EQ(msg.BodyStream, "line 1\r\nline 2\r\n");
  msg.Rebuild();
  EXPECT_EQ(msg.HeaderValue("Content-Length"), "16");
}

TEST_F(MailAssemblyTest, ParseReplacesEverythingButTheRecipientObjects) {
  msg.LoadText(
      "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n\r\none\r\n--b--\r\n");
  ASSERT_EQ(msg.SubParts().Count(), 1);
  msg.ContentStream = "old content";
  msg.ToRecipients().AssignCommaLists("", "a@x");
  msg.ParseText("new", false);
  EXPECT_EQ(msg.SubParts().Count(), 0);
  EXPECT_TRUE(msg.HeaderLines.empty());
  EXPECT_EQ(msg.ContentStream, "");
  EXPECT_EQ(msg.BodyStream, "new");
  EXPECT_EQ(msg.ToRecipients().Addresses(), (Lines{"a@x"}));  // not emptied by the parse
  EXPECT_EQ(msg.ToRecipients().Count(), 0);                   // until they look again
}

TEST_F(MailAssemblyTest, RebuildOfAPlainMessageOnlySetsContentLengthOnce) {
  msg.LoadText("Subject: s\r\nContent-Length: 999\r\n\r\nhello");
  msg.Rebuild();
  EXPECT_EQ(msg.HeaderLines, (Lines{"Subject: s", "Content-Length: 5"}));
  EXPECT_EQ(msg.BodyStream, "hello");
  EXPECT_FALSE(msg.NeedsRebuild());
  std::string once = msg.FullText();

  msg.BodyStream += " changed after the rebuild";
  msg.Rebuild();  // nothing to do: the flag is clear
  msg.BodyStream = "hello";
  EXPECT_EQ(msg.FullText(), once);
  EXPECT_EQ(once, "Subject: s\r\nContent-Length: 5\r\n\r\nhello");
}

// --- Multipart -----------------------------------------------------------

const char kMultipart[] =
    "From: a@x\r\n"
    "Content-Type: multipart/mixed; boundary=\"==b1\"\r\n"
    "\r\n"
    "preamble line\r\n"
    "--==b1\r\n"
    "Content-Type: text/plain\r\n"
    "\r\n"
    "first body\r\n"
    "--==b1\r\n"
    "content-type: application/octet-stream\r\n"
    "Content-Transfer-Encoding: base64\r\n"
    "\r\n"
    "AAEC\r\n"
    "\r\n"
    "--==b1--\r\n"
    "epilogue\r\n";

TEST_F(MailAssemblyTest, MultipartBecomesSubPartsWithThePreambleInTheBody) {
  msg.LoadText(kMultipart);
  EXPECT_EQ(msg.Boundary(), "==b1");
  EXPECT_EQ(msg.BodyStream, "preamble line\r\n");
  ASSERT_EQ(msg.SubParts().Count(), 2);
  const TMailPart& first = msg.SubParts()[0];
  const TMailPart& second = msg.SubParts()[1];
  EXPECT_EQ(first.HeaderLines, (Lines{"Content-Type: text/plain"}));
  EXPECT_EQ(first.BodyStream, "first body");
  EXPECT_EQ(second.HeaderLines, (Lines{"Content-Type: application/octet-stream",
                                       "Content-Transfer-Encoding: base64"}));
  EXPECT_EQ(second.BodyStream, "AAEC\r\n");
  for (const TMailPart& part : msg.SubParts()) {
    EXPECT_EQ(part.ParentBoundary, "==b1");
    EXPECT_EQ(part.OwnerMessage(), &msg);
    EXPECT_EQ(part.ParentPart(), &msg);
  }
}

TEST_F(MailAssemblyTest, RebuildWritesTheFixedPreambleThePartsAndTheClosingLine) {
  msg.LoadText(kMultipart);
  msg.Rebuild();
  const std::string body =
      "This is a multipart message in mime format.\r\n"
      "\r\n--==b1\r\n"
      "Content-Type: text/plain\r\n"
      "\r\n"
      "first body"
      "\r\n--==b1\r\n"
      "Content-Type: application/octet-stream\r\n"
      "Content-Transfer-Encoding: base64\r\n"
      "\r\n"
      "AAEC\r\n"
      "\r\n--==b1--\r\n";
  EXPECT_EQ(msg.BodyStream, body);
  EXPECT_EQ(msg.HeaderValue("Content-Length"), std::to_string(body.size()));
  EXPECT_EQ(msg.FullText(),
            "From: a@x\r\n"
            "Content-Type: multipart/mixed; boundary=\"==b1\"\r\n"
            "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);

  // The rebuilt text parses back into the same parts.
  TMailMessage again(system);
  again.LoadText(msg.FullText());
  ASSERT_EQ(again.SubParts().Count(), 2);
  EXPECT_EQ(again.SubParts()[0].BodyStream, "first body");
  EXPECT_EQ(again.SubParts()[1].BodyStream, "AAEC\r\n");
  // The CR LF before the first delimiter line belongs to the preamble.
  EXPECT_EQ(again.BodyStream, "This is a multipart message in mime format.\r\n\r\n");
}

TEST_F(MailAssemblyTest, NestedMultipartsParseAndRebuildAtEveryDepth) {
  msg.LoadText(
      "Content-Type: multipart/mixed; boundary=outer\r\n\r\n"
      "--outer\r\n"
      "Content-Type: multipart/alternative; boundary=inner\r\n\r\n"
      "inner preamble\r\n"
      "--inner\r\n\r\nplain\r\n"
      "--inner\r\n\r\n<p>html</p>\r\n"
      "--inner--\r\n"
      "--outer\r\n\r\nlast\r\n"
      "--outer--\r\n");
  ASSERT_EQ(msg.SubParts().Count(), 2);
  const TMailPart& alt = msg.SubParts()[0];
  ASSERT_EQ(alt.SubParts().Count(), 2);
  EXPECT_EQ(alt.SubParts()[1].BodyStream, "<p>html</p>");
  EXPECT_EQ(alt.SubParts()[1].ParentPart(), &alt);
  EXPECT_EQ(alt.SubParts()[1].OwnerMessage(), &msg);
  EXPECT_EQ(alt.SubParts()[1].ParentBoundary, "inner");
  EXPECT_EQ(alt.BodyStream, "inner preamble\r\n");

  msg.Rebuild();
  EXPECT_EQ(msg.BodyStream,
            "This is a multipart message in mime format.\r\n"
            "\r\n--outer\r\n"
            "Content-Type: multipart/alternative; boundary=inner\r\n\r\n"
            "\r\n--inner\r\n\r\nplain"
            "\r\n--inner\r\n\r\n<p>html</p>"
            "\r\n--inner--\r\n"
            "\r\n--outer\r\n\r\nlast"
            "\r\n--outer--\r\n");
}

TEST_F(MailAssemblyTest, ParsingASubPartReplacesOnlyThatPart) {
  msg.LoadText(kMultipart);
  msg.Rebuild();
  ASSERT_FALSE(msg.NeedsRebuild());
  TMailPart& first = msg.SubParts()[0];
  first.LoadText("Content-Type: text/html\r\n\r\n<b>new</b>");
  EXPECT_TRUE(msg.NeedsRebuild());
  EXPECT_EQ(msg.SubParts()[0].BodyStream, "<b>new</b>");
  EXPECT_EQ(msg.SubParts()[0].ParentBoundary, "==b1");  // kept: set by the parent
  EXPECT_EQ(msg.SubParts().Count(), 2);
  msg.Rebuild();
  EXPECT_NE(msg.BodyStream.find("Content-Type: text/html\r\n\r\n<b>new</b>\r\n--==b1\r\n"),
            std::string::npos);
}

TEST_F(MailAssemblyTest, BadMultipartInputEndsWhereTheRulesPutIt) {
  // A boundary that never occurs: the whole body is the preamble.
  msg.LoadText("Content-Type: multipart/mixed; boundary=zz\r\n\r\n--other\r\nx\r\n");
  EXPECT_EQ(msg.SubParts().Count(), 0);
  EXPECT_EQ(msg.BodyStream, "--other\r\nx\r\n");

  // Unterminated: the text after the last delimiter line is dropped.
  msg.LoadText("Content-Type: multipart/mixed; boundary=zz\r\n\r\n--zz\r\n\r\none\r\n--zz\r\n\r\ntwo");
  ASSERT_EQ(msg.SubParts().Count(), 1);
  EXPECT_EQ(msg.SubParts()[0].BodyStream, "one");

  // Two delimiter lines in a row make no part; a lone empty line does.
  msg.LoadText("Content-Type: multipart/mixed; boundary=zz\r\n\r\n--zz\r\n--zz\r\n\r\n--zz--");
  ASSERT_EQ(msg.SubParts().Count(), 1);
  EXPECT_TRUE(msg.SubParts()[0].HeaderLines.empty());
  EXPECT_EQ(msg.SubParts()[0].BodyStream, "");

  // A delimiter line that is the last line, without CR LF.
  msg.LoadText("Content-Type: multipart/mixed; boundary=zz\r\n\r\npre\r\n--zz");
  EXPECT_EQ(msg.SubParts().Count(), 0);
  EXPECT_EQ(msg.BodyStream, "pre\r\n");

  // An empty boundary makes "--" the delimiter.
  msg.LoadText("Content-Type: multipart/mixed\r\n\r\n--\r\n\r\nA\r\n----\r\n");
  ASSERT_EQ(msg.SubParts().Count(), 1);
  EXPECT_EQ(msg.SubParts()[0].BodyStream, "A");

  // A plain Content-Type: no delimiter is looked for, not even "begin 6".
  msg.LoadText("Content-Type: text/plain\r\n\r\n--zz\r\nbegin 644 f\r\n`\r\nend\r\n");
  EXPECT_EQ(msg.SubParts().Count(), 0);
  EXPECT_EQ(msg.BodyStream, "--zz\r\nbegin 644 f\r\n`\r\nend\r\n");
}

TEST_F(MailAssemblyTest, VeryDeepNestingKeepsTheDeepestTextAsABody) {
  // Boundaries of one width, so that none is the beginning of another.
  auto boundary = [](int i) {
    std::string n = std::to_string(i);
    return "b" + std::string(4 - n.size(), '0') + n;
  };
  std::string text;
  const int depth = 300;
  for (int i = 0; i < depth; ++i) {
    text += "Content-Type: multipart/mixed; boundary=" + boundary(i) + "\r\n\r\n--" +
            boundary(i) + "\r\n";
  }
  text += "\r\ndeepest\r\n";
  for (int i = depth - 1; i >= 0; --i) text += "--" + boundary(i) + "--\r\n";
  msg.LoadText(text);
  int levels = 0;
  const TMailPart* part = &msg;
  while (part->SubParts().Count() == 1) {
    part = &part->SubParts()[0];
    ++levels;
  }
  EXPECT_GT(levels, 10);
  EXPECT_LT(levels, depth);
  EXPECT_NE(part->BodyStream.find("deepest"), std::string::npos);
  msg.Rebuild();
  EXPECT_NE(msg.FullText().find("deepest"), std::string::npos);
}

// --- Uuencoded files ---------------------------------------------------------

const char kUuText[] =
    "Hello,\r\n"
    "two files follow.\r\n"
    "begin 644 hello.txt\r\n"
    "92&5L;&\\L('5U96YC;V1E9\"!W;W)L9\"$-\"@``\r\n"
    "`\r\n"
    "end\r\n"
    "text between blocks is dropped\r\n"
    "begin 600   data.bin  \r\n"
    "M``$\"`P0%!@<(\"0H+#`T.#Q`1$A,4%187&!D:&QP='A\\@(2(C)\"4F)R@I*BLL\r\n"
    "M+2XO,#$R,S0U-C<X.3H[/#T^/T!!0D-$149'2$E*2TQ-3D]045)35%565UA9\r\n"
    "*6EM<75Y?8&%B8P``\r\n"
    "`\r\n"
    "end\r\n"
    "trailing text is dropped too\r\n";

TEST_F(MailAssemblyTest, UuencodedFilesBecomeAMultipartWithBase64Attachments) {
  msg.Charset = "iso-2022-jp";
  msg.ParseText(kUuText, false);

  EXPECT_EQ(msg.HeaderLines,
            (Lines{"Content-Type: multipart/mixed; boundary=\"boundary00C3A7F1\""}));
  EXPECT_EQ(msg.Boundary(), "boundary00C3A7F1");
  ASSERT_EQ(msg.SubParts().Count(), 3);

  const TMailPart& text = msg.SubParts()[0];
  EXPECT_EQ(text.HeaderLines, (Lines{"Content-Type: text/plain; charset=\"iso-2022-jp\"",
                                     "Content-Transfer-Encoding: quoted-printable"}));
  EXPECT_EQ(text.BodyStream, "Hello,\r\ntwo files follow.\r\n");

  const TMailPart& hello = msg.SubParts()[1];
  EXPECT_EQ(hello.ContentStream, "Hello, uuencoded world!\r\n");
  EXPECT_EQ(hello.BodyStream, "SGVsbG8sIHV1ZW5jb2RlZCB3b3JsZCENCg==\r\n");
  // The type is the platform's for the extension (a Windows without a
  // registered type for .txt gives application/octet-stream).
  EXPECT_EQ(hello.HeaderLines,
            (Lines{"Content-Transfer-Encoding: base64",
                   "Content-Type: " + ContentTypeOfFile("hello.txt") + "; name=\"hello.txt\"",
                   "Content-Disposition: attachment; filename=\"hello.txt\""}));

  const TMailPart& data = msg.SubParts()[2];
  std::string bytes;
  for (int i = 0; i < 100; ++i) bytes.push_back(static_cast<char>(i));
  EXPECT_EQ(data.ContentStream, bytes);
  std::string base64;
  for (char c : data.BodyStream) {
    if (c != '\r' && c != '\n') base64.push_back(c);
  }
  EXPECT_EQ(DecodeBase64Text(base64), bytes);
  EXPECT_EQ(data.BodyStream.substr(76, 2), "\r\n");
  EXPECT_EQ(data.HeaderValue("Content-Type"), "application/octet-stream");
  EXPECT_EQ(data.HeaderParam("Content-Disposition", "filename"), "data.bin");

  for (const TMailPart& part : msg.SubParts()) {
    EXPECT_EQ(part.ParentBoundary, "boundary00C3A7F1");
  }
  // The text before the first block stays in the body until the rebuild.
  EXPECT_EQ(msg.BodyStream, "Hello,\r\ntwo files follow.\r\n");
  msg.Rebuild();
  EXPECT_EQ(msg.BodyStream.find("text between"), std::string::npos);
  EXPECT_EQ(msg.BodyStream.find("trailing"), std::string::npos);
  EXPECT_EQ(msg.BodyStream.substr(msg.BodyStream.size() - 24), "\r\n--boundary00C3A7F1--\r\n");
}

TEST_F(MailAssemblyTest, TextPartIsQuotedPrintableAndBlocksMayLackAnEnd) {
  std::string before(80, 'a');
  before += "=\xe9\r\n";
  msg.ParseText(before + "begin 644 x.bin\r\n#86)C\r\n", false);
  ASSERT_EQ(msg.SubParts().Count(), 2);
  EXPECT_EQ(msg.SubParts()[0].BodyStream, std::string(72, 'a') + "=\r\n" + std::string(8, 'a') +
                                              "=3D=E9\r\n");
  EXPECT_EQ(msg.SubParts()[1].ContentStream, "abc");
  EXPECT_EQ(msg.SubParts()[1].HeaderParam("Content-Type", "name"), "x.bin");
}

TEST_F(MailAssemblyTest, BadUuencodedCharacterStopsTheParseAndKeepsWhatWasParsed) {
  const std::string text =
      "intro\r\n"
      "begin 644 good.txt\r\n#86)C\r\nend\r\n"
      "begin 644 bad.txt\r\n#86)c\r\nend\r\n"
      "begin 644 never.txt\r\n#86)C\r\nend\r\n";
  try {
    msg.ParseText(text, false);
    FAIL() << "no error raised";
  } catch (const UUDecodeError& e) {
    EXPECT_STREQ(e.what(), "UUCODE message format error");
  }
  EXPECT_TRUE(msg.NeedsRebuild());
  EXPECT_EQ(msg.BodyStream, "intro\r\n");
  EXPECT_EQ(msg.HeaderValue("Content-Type"), "multipart/mixed");
  ASSERT_EQ(msg.SubParts().Count(), 2);  // text part and the good file
  EXPECT_EQ(msg.SubParts()[1].ContentStream, "abc");
  msg.Rebuild();
  EXPECT_NE(msg.BodyStream.find("good.txt"), std::string::npos);
  EXPECT_EQ(msg.BodyStream.find("bad.txt"), std::string::npos);
}

// --- Ownership, misuse and odd input -------------------------------------------

TEST_F(MailAssemblyTest, APartWithoutMessageCannotParseAndStaysAsItWas) {
  TMailPart part(nullptr, "partX");
  part.HeaderLines = {"A: 1"};
  part.BodyStream = "kept";
  try {
    part.LoadText("B: 2\r\n\r\nnew");
    FAIL() << "no error raised";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "partX: TMailPart must be owned by a TMailMessage");
  }
  EXPECT_EQ(part.HeaderLines, (Lines{"A: 1"}));
  EXPECT_EQ(part.BodyStream, "kept");

  TMailPart owned(&msg);
  owned.LoadText("B: 2\r\n\r\nnew");
  EXPECT_EQ(owned.BodyStream, "new");
  EXPECT_TRUE(msg.NeedsRebuild());
  EXPECT_EQ(msg.SubParts().Count(), 0);  // not a sub-part of the message
}

TEST_F(MailAssemblyTest, ParsingTheMessagesOwnTextIsSafe) {
  msg.LoadText(kMultipart);
  msg.LoadText(msg.BodyStream);  // a view of storage the parse empties
  EXPECT_EQ(msg.HeaderLines, (Lines{"Preamble line "}));
  msg.LoadText(kMultipart);
  msg.LoadText(msg.SubParts()[1].HeaderLines[0]);
  EXPECT_EQ(msg.HeaderLines, (Lines{"Content-Type: application/octet-stream"}));
  EXPECT_EQ(msg.SubParts().Count(), 0);
}

TEST_F(MailAssemblyTest, HugeHeaderLinesAndLinesWithoutColonsParseWhole) {
  std::string huge(1 << 20, 'x');
  msg.LoadText("X-Huge: " + huge + "\r\nno colon here\r\n\tcontinued " + huge +
               "\r\n\r\nbody");
  ASSERT_EQ(msg.HeaderLines.size(), 2u);
  EXPECT_EQ(msg.HeaderValue("X-Huge"), huge);
  EXPECT_EQ(msg.HeaderLines[1], "No colon here continued " + huge + " ");
  EXPECT_EQ(msg.BodyStream, "body");
  msg.Rebuild();
  // A header line of a megabyte cannot go out: no server takes a line of
  // more than 998 bytes.
  EXPECT_THROW(msg.FullText(), std::length_error);
  msg.HeaderLines[0] = "X-Huge: short";
  msg.HeaderLines[1] = "No colon here continued " + huge.substr(0, 900) + " ";
  std::string text = msg.FullText();
  EXPECT_EQ(text.substr(text.size() - 6), "\r\nbody");
}

TEST_F(MailAssemblyTest, LongUuencodedFileNamesParseAndNoPartLinePasses998Bytes) {
  // A name with blanks: its part's lines are folded when the body is built.
  const std::string spaced = std::string(500, 'n') + " " + std::string(400, 'm') + ".txt";
  msg.ParseText("text\r\nbegin 644 " + spaced + "\r\n#0V%T\r\n`\r\nend\r\n", false);
  ASSERT_EQ(msg.SubParts().Count(), 2);
  EXPECT_EQ(msg.SubParts()[1].HeaderParam("Content-Disposition", "filename"), spaced);
  EXPECT_EQ(msg.SubParts()[1].ContentStream, "Cat");
  msg.Rebuild();
  std::size_t pos = 0;
  const std::string text = msg.FullText();
  while (pos < text.size()) {
    std::size_t eol = text.find("\r\n", pos);
    if (eol == std::string::npos) eol = text.size();
    EXPECT_LE(eol - pos, 998u);
    pos = eol + 2;
  }
  TMailMessage again(system);
  again.LoadText(text);
  ASSERT_EQ(again.SubParts().Count(), 2);
  EXPECT_EQ(again.SubParts()[1].HeaderParam("Content-Disposition", "filename"), spaced);

  // One without: the parse still takes it, the rebuild refuses it.
  const std::string solid(995, 's');
  EXPECT_NO_THROW(msg.ParseText("text\r\nbegin 644 " + solid + "\r\n#0V%T\r\n`\r\nend\r\n", false));
  try {
    msg.Rebuild();
    ADD_FAILURE() << "no error";
  } catch (const std::length_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("mailMsg: header line \"Content-Type\"", 0), 0u) << e.what();
  }
  EXPECT_TRUE(msg.NeedsRebuild());
}

TEST_F(MailAssemblyTest, EncodeContentWritesBase64Lines) {
  TMailPart part;
  part.ContentStream = std::string(58, '\xff');
  part.EncodeContent();
  EXPECT_EQ(part.BodyStream, std::string(76, '/') + "\r\n/w==\r\n");
  EXPECT_EQ(part.HeaderLines, (Lines{"Content-Transfer-Encoding: base64"}));
  part.ContentStream.clear();
  part.EncodeContent();
  EXPECT_EQ(part.BodyStream, "");
}

TEST_F(MailAssemblyTest, FullTextFoldsLongLinesBetweenEncodedWords) {
  TMailPart bare;
  bare.BodyStream = "just body";
  EXPECT_EQ(bare.FullText(), "\r\njust body");

  msg.Charset = "shift_jis";
  std::string subject;
  for (int i = 0; i < 16; ++i) subject += "あ";  // 32 bytes, 3 each when encoded
  msg.ParseText("b", false);
  msg.SetSubjectHeader(subject);
  msg.ToRecipients().AssignCommaLists(
      "", "first.person@example.jp,second.person@example.jp,third.person@example.jp");
  // Two words: the first one fits the line with "Subject: " in 76 bytes.
  const std::string eight = "=82=A0=82=A0=82=A0=82=A0=82=A0=82=A0=82=A0=82=A0";
  EXPECT_EQ(msg.HeaderValue("Subject"), "=?shift_jis?Q?" + eight + "?= =?shift_jis?Q?" + eight + "?=");
  EXPECT_EQ(msg.FullText(),
            "Subject: =?shift_jis?Q?" + eight + "?=\r\n"
            " =?shift_jis?Q?" + eight + "?=\r\n"
            "To: <first.person@example.jp>, <second.person@example.jp>,\r\n"
            " <third.person@example.jp>\r\n"
            "\r\nb");
  // A parse of the text gives the same header lines back.
  TMailMessage again(system);
  again.LoadText(msg.FullText());
  EXPECT_EQ(again.HeaderLines, msg.HeaderLines);
}

TEST_F(MailAssemblyTest, ProgressReportsEveryLineAndPumpsMessages) {
  struct Note {
    void* sender;
    int32_t total, current;
  };
  std::vector<Note> notes;
  int pumps = 0;
  msg.OnProgress = [&](void* sender, int32_t total, int32_t current) {
    notes.push_back({sender, total, current});
  };
  msg.SetMessagePump([&] { ++pumps; });
  const std::string text = kMultipart;
  msg.LoadText(text);

  ASSERT_GE(notes.size(), 3u);
  EXPECT_EQ(notes.front().current, 0);
  EXPECT_EQ(notes.back().current, static_cast<int32_t>(text.size()));
  int lines = 0;
  for (std::size_t i = 0; i < notes.size(); ++i) {
    EXPECT_EQ(notes[i].sender, &msg);
    EXPECT_EQ(notes[i].total, static_cast<int32_t>(text.size()));
    if (i > 0) {
      EXPECT_GE(notes[i].current, notes[i - 1].current);
    }
    if (i > 0 && i + 1 < notes.size()) {
      ++lines;
      // Each line's offset plus one: the byte before it ends a line.
      std::size_t offset = static_cast<std::size_t>(notes[i].current) - 1;
      EXPECT_TRUE(offset == 0 || text.compare(offset - 2, 2, "\r\n") == 0) << offset;
    }
  }
  EXPECT_EQ(lines, 16);  // every line of the text, the sub-parts' lines included
  EXPECT_EQ(pumps, static_cast<int>(notes.size()));

  // The same source gives the same model with and without a handler.
  TMailMessage quiet(system);
  quiet.LoadText(text);
  ASSERT_EQ(quiet.SubParts().Count(), msg.SubParts().Count());
  for (int i = 0; i < quiet.SubParts().Count(); ++i) {
    EXPECT_EQ(quiet.SubParts()[i].HeaderLines, msg.SubParts()[i].HeaderLines);
    EXPECT_EQ(quiet.SubParts()[i].BodyStream, msg.SubParts()[i].BodyStream);
  }
  EXPECT_EQ(quiet.BodyStream, msg.BodyStream);

  // Parsing a sub-part reports nothing.
  notes.clear();
  msg.SubParts()[0].LoadText(text);
  EXPECT_TRUE(notes.empty());
}

TEST_F(MailAssemblyTest, ProgressProcessesTheThreadsPendingMessagesByDefault) {
  int ran = 0;
  ThisThreadLoop().Post([&] { ++ran; });
  int calls = 0;
  msg.OnProgress = [&](void*, int32_t, int32_t) { ++calls; };
  msg.LoadText("A: 1\r\n\r\nbody");
  EXPECT_EQ(ran, 1);
  EXPECT_EQ(calls, 5);  // start, three lines, end

  // Without a handler nothing is processed.
  msg.OnProgress = nullptr;
  ThisThreadLoop().Post([&] { ++ran; });
  msg.LoadText("A: 1\r\n\r\nbody");
  EXPECT_EQ(ran, 1);
  ThisThreadLoop().ProcessPending();
  EXPECT_EQ(ran, 2);
}

TEST_F(MailAssemblyTest, ADelimiterEndingInCrNeverSpansALineBreak) {
  // Boundary "b" + CR: the line "--b" followed by CR LF does not begin with
  // the delimiter; "--b" + CR + "X" does. With and without a handler alike.
  const std::string text =
      "Content-Type: multipart/mixed; boundary=\"b\r\"\r\n\r\n"
      "--b\r\n\r\nx\r\n--b\rX\r\n\r\ny\r\n--b\r--\r\n";
  for (bool withHandler : {false, true}) {
    SCOPED_TRACE(withHandler);
    TMailMessage m(system);
    if (withHandler) {
      m.OnProgress = [](void*, int32_t, int32_t) {};
      m.SetMessagePump([] {});
    }
    m.LoadText(text);
    EXPECT_EQ(m.Boundary(), "b\r");
    EXPECT_EQ(m.BodyStream, "--b\r\n\r\nx\r\n");
    ASSERT_EQ(m.SubParts().Count(), 1);
    EXPECT_EQ(m.SubParts()[0].BodyStream, "y");
  }
}

TEST_F(MailAssemblyTest, ProgressHandlerSeesTheSameUuConversion) {
  int calls = 0;
  msg.OnProgress = [&](void*, int32_t, int32_t) { ++calls; };
  msg.SetMessagePump([] {});
  msg.ParseText(kUuText, false);
  EXPECT_GT(calls, 5);
  TMailMessage quiet(system);
  quiet.SetRandomSource([] { return 0xC3A7F1u; });
  quiet.ParseText(kUuText, false);
  ASSERT_EQ(quiet.SubParts().Count(), msg.SubParts().Count());
  for (int i = 0; i < quiet.SubParts().Count(); ++i) {
    EXPECT_EQ(quiet.SubParts()[i].HeaderLines, msg.SubParts()[i].HeaderLines);
    EXPECT_EQ(quiet.SubParts()[i].BodyStream, msg.SubParts()[i].BodyStream);
  }
}

TEST_F(MailAssemblyTest, AHandlerCannotReparseTheMessageMidParse) {
  bool refused = false;
  msg.SetMessagePump([] {});
  msg.OnProgress = [&](void*, int32_t, int32_t current) {
    if (current != 0) return;
    try {
      msg.LoadText("X: y");
    } catch (const std::logic_error&) {
      refused = true;
    }
  };
  msg.LoadText(kMultipart);
  EXPECT_TRUE(refused);
  EXPECT_EQ(msg.SubParts().Count(), 2);
  msg.OnProgress = nullptr;
  msg.LoadText("X: y");  // allowed again afterwards
  EXPECT_EQ(msg.HeaderLines, (Lines{"X: y"}));
}

}  // namespace
}  // namespace qw
