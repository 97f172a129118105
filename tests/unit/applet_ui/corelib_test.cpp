#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "corelib/exceptions.h"
#include "corelib/form_panel_rules.h"

namespace qw {

// A member of the family without a catalogue entry of its own.
QW_DECLARE_EC_CLASS(ECTestOnlyError, ECPermissionError);
QW_DEFINE_EC_CLASS(ECTestOnlyError, ECPermissionError)

namespace {

constexpr const char* kUndefined = "プログラムの実行中に未定義のエラーが発生しました。";
constexpr const char* kNoPresenter =
    "CExceptionMsg 関数の動作に必要な gMPObject のインスタンスが初期化されていません";

class ProviderScope : public ::testing::Test {
 protected:
  void SetUp() override { CreateExceptionProvider(); }
  void TearDown() override {
    FreeExceptionProvider();
    gMPObject = nullptr;
  }
};

struct RecordingPresenter : MessagePresenter {
  std::vector<std::string> shown;
  std::vector<int32_t> styles;
  int Show(const std::exception&, const std::string& text, int32_t style) override {
    shown.push_back(text);
    styles.push_back(style);
    return 42;
  }
  std::string TextOf(const std::exception& e) override { return std::string("presenter: ") + e.what(); }
};

using Catalogue = ProviderScope;

TEST_F(Catalogue, EachClassHasItsOwnDefaultMessage) {
  EXPECT_EQ(ECException().Message(), kUndefined);
  EXPECT_EQ(ECPermissionError().Message(), "この操作は認可されていません。");
  EXPECT_EQ(ECRecordInsertNotAllowed().Message(), "レコードの追加操作は認可されていません。");
  EXPECT_EQ(ECRecordEditNotAllowed().Message(), "レコードの編集操作は認可されていません。");
  EXPECT_EQ(ECRecordDeleteNotAllowed().Message(), "レコードの削除操作は認可されていません。");
  EXPECT_EQ(ECIncompleteCode().Message(), "クラスの実装が不完全です");
  EXPECT_EQ(ECThisConstructorIsDisabled().Message(), "このコンストラクタの呼び出しは禁止されています。");
  EXPECT_EQ(ECInternalError().Message(), "内部エラーです");
  EXPECT_EQ(ECRuntimeError().Message(), kUndefined);
  EXPECT_EQ(ECFormNotPermitted().Message(), "この画面の利用は許可されていません。");
}

TEST_F(Catalogue, MatchesTheExactClassNotItsAncestors) {
  ECTestOnlyError e;
  EXPECT_EQ(e.Message(), kUndefined);
  EXPECT_STREQ(e.ClassName(), "ECTestOnlyError");
  EXPECT_TRUE(InheritsFrom(e.ClassType(), ECPermissionError::StaticClass()));
  EXPECT_TRUE(InheritsFrom(e.ClassType(), ECException::StaticClass()));
  EXPECT_FALSE(InheritsFrom(ECPermissionError::StaticClass(), ECTestOnlyError::StaticClass()));
}

TEST_F(Catalogue, IncompleteCodeBySubNumber) {
  TCMessageProvider_NVKException p;
  const ExceptionClass& cls = ECIncompleteCode::StaticClass();
  EXPECT_EQ(p.Message(cls, {}, 0), "クラスの実装が不完全です");
  EXPECT_EQ(p.Message(cls, {"A", "B"}, 1), "クラス %s メソッド %s の実装が不完全です。");
  EXPECT_EQ(p.Message(cls, {}, 2), "");
  EXPECT_EQ(p.Message(ECInternalError("x", 0), {}, 0), "内部エラーです");  // by the object's class
  EXPECT_EQ(p.LanguageCode(), "JP");
  EXPECT_EQ(p.LanguageName(), "日本語");
}

TEST_F(Catalogue, MessageConstructorKeepsANonBlankTextAndSetsCodeAndStyle) {
  ECPermissionError given(" 読み取り専用です ", 7);
  EXPECT_EQ(given.Message(), " 読み取り専用です ");
  EXPECT_EQ(given.Code, 7);
  EXPECT_EQ(given.Style, 16);
  ECPermissionError blank(" \t\r\n", 9);
  EXPECT_EQ(blank.Message(), "この操作は認可されていません。");
  EXPECT_EQ(blank.Code, 9);
  ECPermissionError plain;
  EXPECT_EQ(plain.Code, 0);
  EXPECT_EQ(plain.Style, 0);
  EXPECT_STREQ(plain.what(), "この操作は認可されていません。");
}

TEST_F(Catalogue, ProviderIsCreatedOnceAndFreed) {
  TCMessageProvider* first = gExceptionProvider;
  ASSERT_NE(first, nullptr);
  CreateExceptionProvider();
  EXPECT_EQ(gExceptionProvider, first);
  EXPECT_STREQ(gExceptionProvider->ClassName(), "TCMessageProvider_NVKException");
  FreeExceptionProvider();
  EXPECT_EQ(gExceptionProvider, nullptr);
}

using Presenter = ProviderScope;

TEST_F(Presenter, WithoutPresenterTheBaseProviderEndsInIncompleteCode) {
  TCMessageProvider base;
  try {
    base.Message({"x"});
    FAIL() << "no exception";
  } catch (const ECIncompleteCode& e) {
    EXPECT_EQ(e.Message(), kNoPresenter);
  }
  EXPECT_THROW(base.Message(), ECIncompleteCode);
  EXPECT_THROW(base.MessageByID(3, {}), ECIncompleteCode);
  EXPECT_THROW(base.Message(ECException::StaticClass(), {}, 0), ECIncompleteCode);
  EXPECT_EQ(base.LanguageCode(), "JP");
}

TEST_F(Presenter, NotImplementedOperationsAreReportedThroughThePresenter) {
  RecordingPresenter presenter;
  gMPObject = &presenter;
  TCMessageProvider base;
  EXPECT_EQ(base.Message({"x"}), "");
  EXPECT_EQ(base.MessageByID(1, {}), "");
  ASSERT_EQ(presenter.shown.size(), 2u);
  // The text is blank, so the presenter's own text for the exception is used.
  EXPECT_EQ(presenter.shown[0],
            "presenter: TCMessageProvider クラスで未実装のメソッド Message(iMsgParams) が呼び出されました");
  EXPECT_EQ(presenter.shown[1],
            "presenter: TCMessageProvider クラスで未実装のメソッド Message(iMsgID, iMsgParams) が呼び出されました");
  EXPECT_EQ(presenter.styles[0], 16);
}

TEST_F(Presenter, BlankTextsIncludingIdeographicSpacesAreReplaced) {
  RecordingPresenter presenter;
  gMPObject = &presenter;
  std::runtime_error other("other");
  EXPECT_EQ(CExceptionMsg(other, "　 　"), 42);
  EXPECT_EQ(CExceptionMsg(other, "　注意　"), 42);
  ECInternalError plain;
  CExceptionMsg(plain, "");
  ASSERT_EQ(presenter.shown.size(), 3u);
  EXPECT_EQ(presenter.shown[0], "presenter: other");
  EXPECT_EQ(presenter.shown[1], "　注意　");
  EXPECT_EQ(presenter.styles[0], 16);  // other families
  EXPECT_EQ(presenter.styles[2], 0);   // the family's own Style
}

TEST(FormatPercentS, FillsPlaceholdersInOrderAndKeepsExtraOnes) {
  EXPECT_EQ(FormatPercentS("%s と %s", {"A", "B"}), "A と B");
  EXPECT_EQ(FormatPercentS("%s と %s", {"A"}), "A と %s");
  EXPECT_EQ(FormatPercentS("100%", {"A"}), "100%");
}

TEST(FormPanelRules, InsetAddsBorderWidthSingleBorderAndBevels) {
  PanelFrame none;
  EXPECT_EQ(FormPanelInset(none), 0);
  PanelFrame all{3, true, BevelKind::kRaised, BevelKind::kLowered, 2};
  EXPECT_EQ(FormPanelInset(all), 8);
  PanelFrame outerOnly{0, false, BevelKind::kNone, BevelKind::kRaised, 1};
  EXPECT_EQ(FormPanelInset(outerOnly), 1);
  EXPECT_EQ(HostedFormBounds(none, 410, 270), (FormBounds{0, 0, 410, 270}));
  EXPECT_EQ(HostedFormBounds(all, 100, 50), (FormBounds{8, 8, 84, 34}));
  EXPECT_EQ(HostedFormBounds(all, 10, 10), (FormBounds{8, 8, 0, 0}));
}

TEST(FormPanelRules, LookupTakesTheLastExactMatch) {
  std::vector<std::string> captions = {"About", "Main", "About", "about"};
  EXPECT_EQ(FindLastForm(captions, "About"), 2u);
  EXPECT_EQ(FindLastForm(captions, "about"), 3u);
  EXPECT_EQ(FindLastForm(captions, "ABOUT"), std::nullopt);
  EXPECT_EQ(FindLastForm(captions, ""), std::nullopt);
}

}  // namespace
}  // namespace qw
