// The alert mail as the service and the SMTP client drive the message, checked
// byte for byte with a fixed clock and fixed random numbers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mail/mail_message.h"
#include "tests/fakes/fake_platform.h"

namespace qw {
namespace {

const std::string kReport =
    "ドライブ番人からのお知らせ\r\n\r\n"
    "コンピュータ名: WATCHED-PC\r\n\r\n"
    "C: 空き領域 1,024 MB / 容量 100,000 MB\r\n"
    "D: 空き領域 52,000 MB / 容量 200,000 MB\r\n\r\n"
    "空き領域がしきい値を下回っているドライブがあります。\r\n"
    "C: しきい値 2,048 MB";

class AlertMailTest : public ::testing::Test {
 protected:
  void SetUp() override {
    msg.Charset = "iso-2022-jp";
    msg.TextEncoding = etQuotedPrintable;
    std::vector<uint32_t> numbers = {0x0A1B2C3D, 0x00004E5F};
    msg.SetRandomSource([numbers, next = std::size_t{0}]() mutable {
      return numbers[next++ % numbers.size()];
    });
    system.now = LocalDateTime{2024, 5, 6, 1, 7, 8, 9, 0};
    system.utcOffsetMinutes = 540;
  }

  // What the service does for one alert, up to the SMTP client's Send.
  void FillAsTheService(const std::string& to, const std::string& cc) {
    msg.ParseText(kReport, false);
    msg.SetSubjectHeader("ドライブ領域不足のお知らせ");
    msg.TextEncoding = et7Bit;
    msg.ToRecipients().AssignCommaLists("", to);
    if (!cc.empty()) msg.CcRecipients().AssignCommaLists("", cc);
    msg.SetSenderHeader("ドライブ番人サービス", "drivewarden@example.jp");
    // Connected:
    if (msg.NeedsRebuild()) msg.Rebuild();
    msg.SetDateHeader(system.Now());
  }

  // What the SMTP client does with the message in Send.
  std::string TextAsTheClientSendsIt(const std::string& host) {
    msg.SetMessageIdHeader(host);
    std::vector<std::string> saved = msg.HeaderLines;
    msg.SetHeaderValue("Bcc", "");
    std::string text = msg.FullText();
    msg.HeaderLines = saved;
    return text;
  }

  test::FakeSystemInfo system;
  TMailMessage msg{system, "mailMsg"};
};

TEST_F(AlertMailTest, TextIsExactlyTheDocumentedMail) {
  FillAsTheService("admin@example.jp, ops-team@example.jp,storage.alerts@example.jp,",
                   "boss@example.jp");
  EXPECT_FALSE(msg.NeedsRebuild());
  EXPECT_EQ(msg.ToRecipients().Count(), 3);
  EXPECT_EQ(msg.ToRecipients().AddressText(),
            "admin@example.jp,ops-team@example.jp,storage.alerts@example.jp");
  EXPECT_EQ(msg.CcRecipients().AddressText(), "boss@example.jp");
  EXPECT_EQ(msg.BccRecipients().Count(), 0);
  EXPECT_EQ(msg.SenderAddress(), "drivewarden@example.jp");

  const std::string expected =
      // One base64 word each (Python's iso2022_jp codec gives the same
      // bytes), at most 75 bytes; the sender's name stands unquoted and the
      // line is folded before the address.
      "Subject: =?iso-2022-jp?B?GyRCJUklaSUkJVZOTjBoSVRCLSROJCpDTiRpJDsbKEI=?=\r\n"
      "To: <admin@example.jp>, <ops-team@example.jp>,\r\n"
      " <storage.alerts@example.jp>\r\n"
      "Cc: <boss@example.jp>\r\n"
      "From: =?iso-2022-jp?B?GyRCJUklaSUkJVZIVj9NJTUhPCVTJTkbKEI=?=\r\n"
      " <drivewarden@example.jp>\r\n"
      "Content-Length: 217\r\n"
      "Date: Mon, 06 May 2024 07:08:09 +0900\r\n"
      "Message-ID: <20240506070809.A1B2C3D.4E5F@192.0.2.10>\r\n"
      "\r\n" +
      kReport;
  EXPECT_EQ(kReport.size(), 217u);  // the report's Shift-JIS bytes
  EXPECT_EQ(TextAsTheClientSendsIt("192.0.2.10"), expected);
  EXPECT_EQ(msg.TextEncoding, et7Bit);
  // The saved lines are back, the new Message-ID among them.
  EXPECT_EQ(msg.HeaderValue("Message-ID"), "<20240506070809.A1B2C3D.4E5F@192.0.2.10>");
}

TEST_F(AlertMailTest, NextAlertWithoutCcCarriesNoCcLine) {
  FillAsTheService("admin@example.jp", "boss@example.jp");
  TextAsTheClientSendsIt("192.0.2.10");
  system.now.minute = 9;
  FillAsTheService("admin@example.jp", "");
  EXPECT_EQ(msg.CcRecipients().Count(), 0);
  EXPECT_EQ(msg.CcRecipients().AddressText(), "");
  const std::string text = TextAsTheClientSendsIt("192.0.2.10");
  EXPECT_EQ(text.find("Cc:"), std::string::npos);
  EXPECT_EQ(text.find("Date: Mon, 06 May 2024 07:09:09 +0900\r\n"
                      "Message-ID: <20240506070909.A1B2C3D.4E5F@192.0.2.10>\r\n\r\n"),
            text.find("Date:"));
  // One line of each kind: nothing of the first alert survived.
  std::vector<std::string> expectedNames = {"Subject", "To", "From", "Content-Length", "Date",
                                            "Message-ID"};
  ASSERT_EQ(msg.HeaderLines.size(), expectedNames.size());
  for (std::size_t i = 0; i < expectedNames.size(); ++i) {
    EXPECT_EQ(msg.HeaderLines[i].rfind(expectedNames[i] + ": ", 0), 0u) << msg.HeaderLines[i];
  }
}

TEST_F(AlertMailTest, BccIsLeftOutOfTheTextAndRestoredAfterwards) {
  FillAsTheService("admin@example.jp", "");
  msg.BccRecipients().AssignCommaLists("", "hidden@example.jp");
  const std::string text = TextAsTheClientSendsIt("mail.example.jp");
  EXPECT_EQ(text.find("Bcc"), std::string::npos);
  EXPECT_EQ(msg.HeaderValue("Bcc"), "<hidden@example.jp>");
  EXPECT_EQ(msg.BccRecipients().Count(), 1);
  EXPECT_EQ(msg.BccRecipients().AddressText(), "hidden@example.jp");
}

}  // namespace
}  // namespace qw
