// Header storage, recipient lists and the header setters of the message.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "mail/mail_message.h"
#include "tests/fakes/fake_platform.h"

namespace qw {
namespace {

using Lines = std::vector<std::string>;

class MailMessageTest : public ::testing::Test {
 protected:
  test::FakeSystemInfo system;
  TMailMessage msg{system, "mailMsg"};
};

TEST_F(MailMessageTest, NewMessageHasTheDocumentedDefaults) {
  EXPECT_EQ(msg.Charset, "iso-8859-1");
  EXPECT_EQ(msg.TextEncoding, etQuotedPrintable);
  EXPECT_FALSE(msg.NeedsRebuild());
  EXPECT_EQ(msg.OwnerMessage(), &msg);
  EXPECT_EQ(msg.ParentPart(), nullptr);
  EXPECT_EQ(msg.ToRecipients().HeaderName(), "To");
  EXPECT_EQ(msg.CcRecipients().HeaderName(), "Cc");
  EXPECT_EQ(msg.BccRecipients().HeaderName(), "Bcc");
  EXPECT_EQ(msg.ToRecipients().ChangeMarker(), -1);
  EXPECT_EQ(msg.FullText(), "\r\n");
}

TEST_F(MailMessageTest, SetHeaderValueKeepsPositionAppendsNewAndDeletes) {
  msg.SetHeaderValue("Subject", "  first  ");
  msg.SetHeaderValue("X-Mailer", "qw");
  msg.SetHeaderValue("Subject", "second");
  msg.SetHeaderValue("Date", "today");
  EXPECT_EQ(msg.HeaderLines, (Lines{"Subject: second", "X-Mailer: qw", "Date: today"}));

  msg.SetHeaderValue("x-mailer", "");
  EXPECT_EQ(msg.HeaderLines, (Lines{"Subject: second", "Date: today"}));
  msg.SetHeaderValue("X-Mailer", "");  // deleting a missing line does nothing
  EXPECT_EQ(msg.HeaderLines, (Lines{"Subject: second", "Date: today"}));

  // Blanks only is not empty: the line stays with nothing after ": ".
  msg.SetHeaderValue("Subject", "   ");
  EXPECT_EQ(msg.HeaderLines[0], "Subject: ");
  EXPECT_TRUE(msg.HasHeader("Subject"));
}

TEST_F(MailMessageTest, HeaderNamesMatchInAnyCaseButOnlyWithTheColonRightAfter) {
  msg.HeaderLines = {"Tox: wrong", "To : spaced", "tO: right"};
  EXPECT_EQ(msg.HeaderValue("To"), "right");
  EXPECT_EQ(msg.HeaderValue("TO"), "right");
  EXPECT_EQ(msg.HeaderValue("to"), "right");
  EXPECT_TRUE(msg.HasHeader("Tox"));
  EXPECT_FALSE(msg.HasHeader("T"));

  msg.SetHeaderValue("TO", "new");
  EXPECT_EQ(msg.HeaderLines, (Lines{"Tox: wrong", "To : spaced", "tO: new"}));
  EXPECT_EQ(msg.HeaderValue("Cc"), "");
  EXPECT_EQ(msg.HeaderParam("Cc", "x"), "");
}

TEST_F(MailMessageTest, HeaderValueUnquotesAndStopsAtTheFirstParameter) {
  msg.HeaderLines = {"A: 'word'", "B: ''", "C: word; name=\"x\"", "D: \"mixed'",
                     "E:   spaced out   ", "F: 'a\"'"};
  EXPECT_EQ(msg.HeaderValue("A"), "word");
  EXPECT_EQ(msg.HeaderValue("B"), "''");  // not longer than 2 bytes
  EXPECT_EQ(msg.HeaderValue("C"), "word");
  EXPECT_EQ(msg.HeaderValue("D"), "mixed");
  EXPECT_EQ(msg.HeaderValue("E"), "spaced out");
  EXPECT_EQ(msg.HeaderValue("F"), "a\"");
  EXPECT_EQ(msg.HeaderParam("C", "NAME"), "x");
}

TEST_F(MailMessageTest, ParametersAreAddedReplacedAndSurviveValueChanges) {
  msg.SetHeaderParam("Content-Type", "charset", "\"iso-2022-jp\"");
  EXPECT_EQ(msg.HeaderLines, (Lines{"Content-Type:; charset=\"iso-2022-jp\""}));
  msg.SetHeaderValue("Content-Type", "text/plain");
  EXPECT_EQ(msg.HeaderLines, (Lines{"Content-Type: text/plain; charset=\"iso-2022-jp\""}));
  msg.SetHeaderParam("content-type", "Charset", "utf-8");
  msg.SetHeaderParam("Content-Type", "format", "flowed");
  EXPECT_EQ(msg.HeaderValue("Content-Type"), "text/plain");
  EXPECT_EQ(msg.HeaderParam("Content-Type", "charset"), "utf-8");
  EXPECT_EQ(msg.HeaderParam("Content-Type", "format"), "flowed");
  EXPECT_EQ(msg.HeaderLines.size(), 1u);
}

TEST_F(MailMessageTest, ValuesTakenFromTheHeaderItselfAreSafe) {
  msg.HeaderLines = {"A: 1"};
  msg.HeaderLines.shrink_to_fit();  // the next line moves the vector
  msg.SetHeaderValue("B", msg.HeaderLines[0]);
  msg.SetHeaderParam("C", msg.HeaderLines[0], msg.HeaderLines[1]);
  EXPECT_EQ(msg.HeaderLines, (Lines{"A: 1", "B: A: 1", "C:; A: 1=B: A: 1"}));
}

TEST_F(MailMessageTest, HeaderTextIsEveryLineWithCrLf) {
  msg.HeaderLines = {"A: 1", "B: 22"};
  EXPECT_EQ(msg.HeaderText(), "A: 1\r\nB: 22\r\n");
  EXPECT_EQ(msg.HeaderTextLength(), msg.HeaderText().size());
}

TEST_F(MailMessageTest, PartListGivesTypedAccessAndRefusesBadIndexes) {
  EXPECT_EQ(msg.SubParts().Count(), 0);
  EXPECT_THROW(msg.SubParts().Items(0), std::out_of_range);
  EXPECT_THROW(msg.SubParts()[-1], std::out_of_range);
}

// --- Recipients ------------------------------------------------------------

TEST_F(MailMessageTest, AssignCommaListsIgnoresEmptyItemsAndSplitsAtBlanks) {
  TMailRecipients& to = msg.ToRecipients();
  for (const char* text : {"a@x.jp,b@y.jp,", "a@x.jp,,b@y.jp", "a@x.jp b@y.jp",
                           " a@x.jp , b@y.jp ", ",a@x.jp,\"\",b@y.jp"}) {
    SCOPED_TRACE(text);
    to.AssignCommaLists("", text);
    EXPECT_EQ(to.Count(), 2);
    EXPECT_EQ(to.Addresses(), (Lines{"a@x.jp", "b@y.jp"}));
    EXPECT_EQ(to.Names(), (Lines{"", ""}));
    EXPECT_EQ(msg.HeaderValue("To"), "<a@x.jp>, <b@y.jp>");
    EXPECT_EQ(to.AddressText(), "a@x.jp,b@y.jp");
  }
  to.AssignCommaLists("", "");
  EXPECT_EQ(to.Count(), 0);
  EXPECT_FALSE(msg.HasHeader("To"));
  to.AssignCommaLists("", " , ,, ");
  EXPECT_EQ(to.Count(), 0);
  EXPECT_FALSE(msg.HasHeader("To"));
}

TEST_F(MailMessageTest, NamesPairWithAddressesByPosition) {
  TMailRecipients& cc = msg.CcRecipients();
  cc.AssignCommaLists("Ann,Bob,Cid", "a@x,b@x");  // surplus name dropped
  EXPECT_EQ(cc.Names(), (Lines{"Ann", "Bob"}));
  EXPECT_EQ(msg.HeaderValue("Cc"), "\"Ann\" <a@x>, \"Bob\" <b@x>");

  cc.AssignCommaLists("Ann", "a@x,b@x,c@x");  // missing names empty
  EXPECT_EQ(cc.Names(), (Lines{"Ann", "", ""}));
  EXPECT_EQ(msg.HeaderValue("Cc"), "\"Ann\" <a@x>, <b@x>, <c@x>");

  cc.AssignCommaLists("Ann,Bob,Cid", "a@x,,c@x");  // pair without address goes whole
  EXPECT_EQ(cc.Names(), (Lines{"Ann", "Cid"}));
  EXPECT_EQ(cc.Addresses(), (Lines{"a@x", "c@x"}));
  EXPECT_EQ(cc.Names().size(), cc.Addresses().size());
}

TEST_F(MailMessageTest, JapaneseNamesAreWrittenAsEncodedWordsAndReadBackDecoded) {
  msg.Charset = "iso-2022-jp";
  TMailRecipients& to = msg.ToRecipients();
  to.AssignCommaLists("山田", "yamada@example.jp");
  // Encoded words stand unquoted (RFC 2047 forbids them in a quoted string).
  EXPECT_EQ(msg.HeaderValue("To"), "=?iso-2022-jp?B?GyRCOzNFRBsoQg==?= <yamada@example.jp>");
  EXPECT_EQ(to.Count(), 1);
  EXPECT_EQ(to.Addresses(), (Lines{"yamada@example.jp"}));

  // A header line set from outside is read back on the next Count.
  msg.SetHeaderValue("To", "\"=?iso-2022-jp?B?GyRCOzNFRBsoQg==?=\" <y@example.jp>");
  EXPECT_EQ(to.Count(), 1);
  EXPECT_EQ(to.Names(), (Lines{"\x1b$B;3ED\x1b(B"}));  // decoded, charset not converted
  EXPECT_EQ(to.Addresses(), (Lines{"y@example.jp"}));
}

TEST_F(MailMessageTest, RefreshReadsEveryFormOfAddressEntry) {
  TMailRecipients& to = msg.ToRecipients();
  msg.SetHeaderValue("To",
                     "\"Doe, John\" <john@x.jp>, plain@x.jp, Bare Name <bare@x.jp>,"
                     " \"only quoted\", <angle@x.jp>, John Smith, \"q\" <\"hidden\"a@x.jp>");
  EXPECT_EQ(to.Count(), 7);
  // Without "<" the whole entry, blanks included, is the address.
  EXPECT_EQ(to.Addresses(), (Lines{"john@x.jp", "plain@x.jp", "bare@x.jp", "only quoted",
                                   "angle@x.jp", "John Smith", "a@x.jp"}));
  EXPECT_EQ(to.Names(), (Lines{"Doe, John", "", "Bare Name", "", "", "", "q"}));
  EXPECT_EQ(to.AddressText(),
            "john@x.jp,plain@x.jp,bare@x.jp,\"only quoted\",angle@x.jp,\"John Smith\",a@x.jp");
}

TEST_F(MailMessageTest, RecipientsFollowTheHeaderOnlyWhenItsLengthChanges) {
  TMailRecipients& to = msg.ToRecipients();
  to.AssignCommaLists("", "a@x.jp,b@x.jp");
  EXPECT_EQ(to.ChangeMarker(), static_cast<int32_t>(msg.HeaderTextLength()));

  // Replacing the whole header (as a new parse does) drops the recipients.
  msg.HeaderLines = {"Subject: other"};
  EXPECT_EQ(to.Count(), 0);
  EXPECT_EQ(to.AddressText(), "");

  to.AssignCommaLists("", "a@x.jp");
  // A change that keeps the header text's length goes unnoticed.
  msg.SetHeaderValue("To", "<b@x.jp>");
  EXPECT_EQ(to.Addresses(), (Lines{"a@x.jp"}));
  EXPECT_EQ(to.Count(), 1);
  EXPECT_EQ(to.Addresses(), (Lines{"a@x.jp"}));
  // A change of length is seen.
  msg.SetHeaderValue("To", "<bb@x.jp>");
  EXPECT_EQ(to.Count(), 1);
  EXPECT_EQ(to.Addresses(), (Lines{"bb@x.jp"}));
}

TEST_F(MailMessageTest, AddressTextQuotesWhatACommaListMustQuote) {
  TMailRecipients& bcc = msg.BccRecipients();
  bcc.AssignCommaLists("", "\"odd, one@x.jp\",ok@x.jp");
  EXPECT_EQ(bcc.Addresses(), (Lines{"odd, one@x.jp", "ok@x.jp"}));
  EXPECT_EQ(msg.HeaderValue("Bcc"), "<odd, one@x.jp>, <ok@x.jp>");
  EXPECT_EQ(bcc.AddressText(), "\"odd, one@x.jp\",ok@x.jp");
}

// --- Message setters -------------------------------------------------------

TEST_F(MailMessageTest, SubjectIsEncodedWholeWhenAnyByteIsNotPrintableAscii) {
  msg.SetSubjectHeader("Disk space =?low?= on C:");
  EXPECT_EQ(msg.HeaderLines, (Lines{"Subject: Disk space =?low?= on C:"}));
  msg.Charset = "iso-8859-1";
  msg.SetSubjectHeader("caf\xe9 au lait");
  EXPECT_EQ(msg.HeaderLines, (Lines{"Subject: =?iso-8859-1?Q?caf=E9=20au=20lait?="}));
  msg.SetSubjectHeader("tab\there");
  EXPECT_EQ(msg.HeaderLines, (Lines{"Subject: =?iso-8859-1?Q?tab=09here?="}));
  msg.SetSubjectHeader("");
  EXPECT_TRUE(msg.HeaderLines.empty());
}

TEST_F(MailMessageTest, SenderHeaderAndItsAddress) {
  msg.Charset = "iso-2022-jp";
  msg.SetSenderHeader("山田", "yamada@example.jp");
  EXPECT_EQ(msg.HeaderValue("From"), "=?iso-2022-jp?B?GyRCOzNFRBsoQg==?= <yamada@example.jp>");
  EXPECT_EQ(msg.SenderAddress(), "yamada@example.jp");
  EXPECT_EQ(msg.HeaderAddress("From", 0), "yamada@example.jp");
  EXPECT_EQ(msg.HeaderAddress("From", 3), "");
  EXPECT_EQ(msg.HeaderAddress("From", -1), "");

  msg.SetSenderHeader("Drive Warden", "dw@example.jp");  // plain names stay quoted
  EXPECT_EQ(msg.HeaderLines, (Lines{"From: \"Drive Warden\" <dw@example.jp>"}));
  EXPECT_EQ(msg.SenderAddress(), "dw@example.jp");

  msg.SetSenderHeader("", "bare@example.jp");
  EXPECT_EQ(msg.HeaderLines, (Lines{"From: <bare@example.jp>"}));
  EXPECT_EQ(msg.SenderAddress(), "bare@example.jp");

  msg.SetSenderHeader("Somebody", "");
  EXPECT_FALSE(msg.HasHeader("From"));
  EXPECT_EQ(msg.SenderAddress(), "");
}

// The encoded words of a stored header value, as the blanks separate them.
std::vector<std::string> WordsOf(const std::string& value) {
  std::vector<std::string> words;
  std::size_t pos = 0;
  while ((pos = value.find("=?", pos)) != std::string::npos) {
    std::size_t end = value.find("?=", value.find('?', value.find('?', pos + 2) + 1) + 1);
    words.push_back(value.substr(pos, end + 2 - pos));
    pos = end + 2;
  }
  return words;
}

TEST_F(MailMessageTest, LongSubjectsAndNamesBecomeShortWordsOnLinesOfTheirOwn) {
  std::string kanji40;
  for (int i = 0; i < 4; ++i) kanji40 += "東京都千代田区霞関番";
  struct Case {
    std::string charset, subject, name;
  };
  const Case cases[] = {
      {"iso-2022-jp", "ドライブ領域不足のお知らせ", "ドライブ番人サービス"},
      {"iso-2022-jp", kanji40 + " (C: 1,024 MB)", kanji40},
      {"shift_jis", kanji40, kanji40},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.charset + " " + std::to_string(c.subject.size()));
    msg.HeaderLines.clear();
    msg.Charset = c.charset;
    msg.SetSubjectHeader(c.subject);
    msg.SetSenderHeader(c.name, "drivewarden@example.jp");
    msg.ToRecipients().AssignCommaLists(c.name + ",", "a@example.jp,b@example.jp");

    const std::string from = msg.HeaderValue("From");
    EXPECT_EQ(from.find('"'), std::string::npos) << from;
    EXPECT_EQ(msg.SenderAddress(), "drivewarden@example.jp");
    for (const std::string& value : {msg.HeaderValue("Subject"), from, msg.HeaderValue("To")}) {
      const std::vector<std::string> words = WordsOf(value);
      ASSERT_FALSE(words.empty()) << value;
      for (const std::string& word : words) EXPECT_LE(word.size(), 75u) << word;
    }
    // Every name is read back whole (shift_jis words hold the bytes as
    // they are; the module's reader does not convert ISO-2022-JP).
    EXPECT_EQ(msg.ToRecipients().Count(), 2);
    EXPECT_EQ(msg.ToRecipients().Addresses(), (Lines{"a@example.jp", "b@example.jp"}));
    if (c.charset == "shift_jis") {
      EXPECT_EQ(msg.ToRecipients().Names(), (Lines{c.name, ""}));
    }

    // On the wire every line holding encoded words stays within 76 bytes.
    const std::string text = msg.FullText();
    std::size_t pos = 0;
    while (pos < text.size()) {
      std::size_t eol = text.find("\r\n", pos);
      ASSERT_NE(eol, std::string::npos);
      const std::string line = text.substr(pos, eol - pos);
      if (line.find("=?") != std::string::npos) {
        EXPECT_LE(line.size(), 76u) << line;
      }
      pos = eol + 2;
    }
  }
}

TEST_F(MailMessageTest, AValueNoFoldingBringsWithin998BytesIsRefused) {
  msg.SetHeaderValue("Subject", "kept");
  try {
    msg.SetHeaderValue("Subject", std::string(1200, 'x'));
    ADD_FAILURE() << "no error";
  } catch (const std::length_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("mailMsg: header line \"Subject\"", 0), 0u) << e.what();
  }
  EXPECT_EQ(msg.HeaderLines, (Lines{"Subject: kept"}));
  EXPECT_THROW(msg.SetHeaderParam("Content-Type", "name", std::string(1000, 'n')), std::length_error);
  EXPECT_EQ(msg.HeaderLines, (Lines{"Subject: kept"})) << "no empty line left behind";

  // Long values that can be folded are taken, and folded within the limit.
  std::string words;
  for (int i = 0; i < 400; ++i) words += "word" + std::to_string(i) + " ";
  msg.SetHeaderValue("X-Words", words);
  msg.SetHeaderValue("X-Long", std::string(990, 'y'));  // 998 with "X-Long: "
  const std::string text = msg.FullText();
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t eol = text.find("\r\n", pos);
    ASSERT_NE(eol, std::string::npos);
    EXPECT_LE(eol - pos, 998u);
    pos = eol + 2;
  }
  // A line put into the header directly is refused when the text is made.
  msg.HeaderLines.push_back("X-Direct: " + std::string(1000, 'd'));
  try {
    msg.FullText();
    ADD_FAILURE() << "no error";
  } catch (const std::length_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("mailMsg: header line \"X-Direct\"", 0), 0u) << e.what();
  }
}

TEST_F(MailMessageTest, HeaderAddressPicksTheEntryByIndex) {
  msg.SetHeaderValue("To", "\"A, the first\" <a@x.jp>, b@x.jp, Carl <c@x.jp> , D E");
  EXPECT_EQ(msg.HeaderAddress("To", 0), "a@x.jp");
  EXPECT_EQ(msg.HeaderAddress("to", 1), "b@x.jp");
  EXPECT_EQ(msg.HeaderAddress("To", 2), "c@x.jp");
  EXPECT_EQ(msg.HeaderAddress("To", 3), "DE");  // no brackets: glued, blanks removed
  EXPECT_EQ(msg.HeaderAddress("To", 4), "");
  EXPECT_EQ(msg.HeaderAddress("Cc", 0), "");
}

TEST_F(MailMessageTest, DateHeaderUsesTheSystemsCurrentOffset) {
  LocalDateTime when{2009, 6, 23, 2, 10, 33, 15, 0};
  system.utcOffsetMinutes = 540;
  msg.SetDateHeader(when);
  EXPECT_EQ(msg.HeaderLines, (Lines{"Date: Tue, 23 Jun 2009 10:33:15 +0900"}));
  system.utcOffsetMinutes = -240;
  msg.SetDateHeader(when);
  EXPECT_EQ(msg.HeaderLines, (Lines{"Date: Tue, 23 Jun 2009 10:33:15 -0400"}));
}

TEST_F(MailMessageTest, MessageIdHasTheTimeTwoRandomNumbersAndTheHost) {
  std::vector<uint32_t> numbers = {0x1A2B3C4D, 0x5, 0xFFFFFFFF, 0x0};
  std::size_t next = 0;
  msg.SetRandomSource([&] { return numbers[next++ % numbers.size()]; });
  system.now = LocalDateTime{2024, 1, 2, 2, 3, 4, 5, 600};
  msg.SetHeaderValue("Subject", "s");
  msg.SetMessageIdHeader("192.0.2.7");
  msg.SetHeaderValue("Date", "d");
  EXPECT_EQ(msg.HeaderValue("Message-ID"), "<20240102030405.1A2B3C4D.5@192.0.2.7>");
  msg.SetMessageIdHeader("192.0.2.7");
  EXPECT_EQ(msg.HeaderLines,
            (Lines{"Subject: s", "Message-ID: <20240102030405.FFFFFFFF.0@192.0.2.7>", "Date: d"}));
}

TEST_F(MailMessageTest, MessageIdsFromTheModuleGeneratorDiffer) {
  msg.SetMessageIdHeader("host");
  std::string first = msg.HeaderValue("Message-ID");
  msg.SetMessageIdHeader("host");
  std::string second = msg.HeaderValue("Message-ID");
  EXPECT_NE(first, second);
  EXPECT_EQ(first.substr(0, 16), second.substr(0, 16));  // same second
  EXPECT_EQ(msg.HeaderLines.size(), 1u);
}

TEST_F(MailMessageTest, SettersLeaveNeedsRebuildAlone) {
  msg.SetSubjectHeader("x");
  msg.SetSenderHeader("n", "a@x");
  msg.ToRecipients().AssignCommaLists("", "a@x");
  EXPECT_FALSE(msg.NeedsRebuild());
  msg.ParseText("body", false);
  msg.SetDateHeader(system.now);
  EXPECT_TRUE(msg.NeedsRebuild());
}

}  // namespace
}  // namespace qw
