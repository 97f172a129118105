#include "applet/win32/applet_module.h"

#include <gtest/gtest.h>

namespace qw {
namespace {

TEST(AppletModule, RegistersItselfAndItsIndexIsTheAppletNumber) {
  TAppletApplication app;
  auto* first = new TAppletModule(app, "_first");
  auto* second = new TAppletModule(app, "_second");
  ASSERT_EQ(app.Modules().size(), 2u);
  EXPECT_EQ(app.Modules()[0], first);
  EXPECT_EQ(app.Modules()[1], second);
  delete first;
  ASSERT_EQ(app.Modules().size(), 1u);
  EXPECT_EQ(app.Modules()[0], second);
  // The application frees what is left.
}

TEST(AppletModule, CaptionDefaultsToTheComponentNameAndClearsResidName) {
  TAppletApplication app;
  auto* m = new TAppletModule(app, "_cplDrivewarden");
  EXPECT_EQ(m->Caption(), "_cplDrivewarden");
  m->SetResidName(12);
  EXPECT_EQ(m->Caption(), "");
  m->SetCaption("ドライブ番人");
  EXPECT_EQ(m->Caption(), "ドライブ番人");
  EXPECT_EQ(m->ResidName(), 0);
  m->SetResidName(12);
  m->SetCaption("");
  EXPECT_EQ(m->Caption(), "_cplDrivewarden");
  EXPECT_EQ(m->ResidName(), 0);
  // The same text again changes nothing.
  m->SetResidName(7);
  m->SetResidName(7);
  EXPECT_EQ(m->Caption(), "");
}

TEST(AppletModule, HelpAndResidInfoClearEachOther) {
  TAppletApplication app;
  auto* m = new TAppletModule(app, "_m");
  m->SetResidInfo(5);
  m->SetHelp("定期的にハードディスクの空き領域をチェックします。");
  EXPECT_EQ(m->ResidInfo(), 0);
  m->SetResidInfo(6);
  EXPECT_EQ(m->Help(), "");
  m->SetHelp("");  // no change: ResidInfo stays
  EXPECT_EQ(m->ResidInfo(), 6);
}

TEST(AppletModule, ADifferentIconClearsResidIcon) {
  TAppletApplication app;
  auto* m = new TAppletModule(app, "_m");
  int a = 0, b = 0;
  m->SetAppletIcon(&a);
  m->SetResidIcon(3);
  m->SetAppletIcon(&a);
  EXPECT_EQ(m->ResidIcon(), 3);
  m->SetAppletIcon(&b);
  EXPECT_EQ(m->ResidIcon(), 0);
  EXPECT_EQ(m->AppletIcon(), &b);
}

TEST(AppletRecordFields, CutToTheFieldWithoutSplittingASurrogatePair) {
  std::u16string name = u"ドライブ番人";
  EXPECT_EQ(CutUtf16(name, 31), name);
  std::u16string longText(40, u'あ');
  EXPECT_EQ(CutUtf16(longText, 31).size(), 31u);
  std::u16string pair = std::u16string(30, u'a') + u"\U0002000B" + u"b";  // pair at 30 and 31
  std::u16string cut = CutUtf16(pair, 31);
  EXPECT_EQ(cut, std::u16string(30, u'a'));
  EXPECT_EQ(CutUtf16(pair, 32), std::u16string(30, u'a') + u"\U0002000B");
}

}  // namespace
}  // namespace qw
