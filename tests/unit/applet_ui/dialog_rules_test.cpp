#include "applet/win32/dialog_rules.h"

#include <gtest/gtest.h>

#include <string>

namespace qw {
namespace {

TEST(ThresholdDialogOk, PercentAcceptsZeroToNinetyNineAndKeepsLeadingZeros) {
  for (const char* n : {"0", "99", "099", "000", "5"}) {
    LimitDecision d = DecideLimit(n, LimitUnit::Percent);
    EXPECT_TRUE(d.accepted) << n;
    EXPECT_EQ(d.limitText, std::string(n) + "%");
  }
}

TEST(ThresholdDialogOk, PercentAboveNinetyNineIsRefused) {
  for (const char* n : {"100", "0100", "999999"}) {
    LimitDecision d = DecideLimit(n, LimitUnit::Percent);
    EXPECT_FALSE(d.accepted) << n;
    EXPECT_EQ(d.message, "0 ～ 99 % の範囲を指定してください。");
    EXPECT_FALSE(d.errorIcon);
  }
}

TEST(ThresholdDialogOk, MegabytesHaveNoUpperBound) {
  LimitDecision d = DecideLimit("999999", LimitUnit::MB);
  EXPECT_TRUE(d.accepted);
  EXPECT_EQ(d.limitText, "999999MB");
  EXPECT_EQ(DecideLimit("0", LimitUnit::MB).limitText, "0MB");
}

TEST(ThresholdDialogOk, EmptyNumberIsRefusedWithEitherUnit) {
  for (LimitUnit unit : {LimitUnit::MB, LimitUnit::Percent}) {
    LimitDecision d = DecideLimit("", unit);
    EXPECT_FALSE(d.accepted);
    EXPECT_TRUE(d.limitText.empty());
    EXPECT_EQ(d.message, "空き領域しきい値を入力してください。");
  }
}

TEST(ThresholdDialogOk, TextThatIsNotAWholeNumberIsRefusedWithTheErrorIcon) {
  for (LimitUnit unit : {LimitUnit::MB, LimitUnit::Percent}) {
    LimitDecision d = DecideLimit("1,0", unit);
    EXPECT_FALSE(d.accepted);
    EXPECT_TRUE(d.errorIcon);
    EXPECT_EQ(d.message, "'1,0' は整数ではありません");
  }
  EXPECT_FALSE(DecideLimit("-5", LimitUnit::Percent).accepted);
  EXPECT_FALSE(DecideLimit(" 5", LimitUnit::MB).accepted);
}

TEST(ThresholdDialogOk, SplitThenComposeGivesTheStoredTextBack) {
  for (const char* text : {"500MB", "10%", "099%", "0%"}) {
    std::string number;
    LimitUnit unit = LimitUnit::MB;
    SplitLimitText(text, &number, &unit);
    LimitDecision d = DecideLimit(number, unit);
    EXPECT_TRUE(d.accepted) << text;
    EXPECT_EQ(d.limitText, text);
  }
}

TEST(ServerBoxKeyFilter, PassesHostNameAndIpv6CharactersAndBackspaceOnly) {
  for (char16_t c : std::u16string(u"azAZ09-.:[]")) EXPECT_TRUE(SmtpKeyPasses(c)) << int(c);
  EXPECT_TRUE(SmtpKeyPasses(8));
  for (char16_t c : std::u16string(u" ,@_\"\r\t%/;")) EXPECT_FALSE(SmtpKeyPasses(c)) << int(c);
  EXPECT_FALSE(SmtpKeyPasses(0x16));    // Ctrl+V
  EXPECT_FALSE(SmtpKeyPasses(0x3042));  // a Japanese character
  EXPECT_FALSE(SmtpKeyPasses(0xFF21));  // a full-width letter
  EXPECT_FALSE(SmtpKeyPasses(0x7F));
}

TEST(AddressKeyFilter, PassesTheAddressCharactersAndBackspaceOnly) {
  for (char16_t c : std::u16string(u"azAZ09!#$%&'*+-./=?@^_`{|}~")) {
    EXPECT_TRUE(AddressKeyPasses(c)) << int(c);
  }
  EXPECT_TRUE(AddressKeyPasses(8));
  for (char16_t c : std::u16string(u" \"(),:;<>[\\]\r")) EXPECT_FALSE(AddressKeyPasses(c)) << int(c);
  EXPECT_FALSE(AddressKeyPasses(0x7F));
  EXPECT_FALSE(AddressKeyPasses(0x3042));
  EXPECT_FALSE(AddressKeyPasses(0xFF71));  // a half-width katakana
}

TEST(AddressKeyFilter, EnterRunsOkAndIsThenDiscarded) {
  AddressKeyDecision enter = DecideAddressKey(13);
  EXPECT_TRUE(enter.runOk);
  EXPECT_FALSE(enter.pass);
  AddressKeyDecision letter = DecideAddressKey(u'a');
  EXPECT_FALSE(letter.runOk);
  EXPECT_TRUE(letter.pass);
  EXPECT_FALSE(DecideAddressKey(u' ').pass);
}

TEST(DialogTexts, CaptionsAndLabels) {
  EXPECT_EQ(MailAddressCaption(MailAddressTitle(MailTarget::To)),
            "To に追加 - メールアドレスを入力してください。");
  EXPECT_EQ(MailAddressCaption(MailAddressTitle(MailTarget::Cc)),
            "Cc に追加 - メールアドレスを入力してください。");
  EXPECT_EQ(LimitDriveLabel("D"), "対象ドライブ: D ドライブ");
}

}  // namespace
}  // namespace qw
