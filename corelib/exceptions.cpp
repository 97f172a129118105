#include "corelib/exceptions.h"

#include <memory>

#include "platform/ascii_text.h"

namespace qw {

namespace {

constexpr const char* kUndefinedError = "プログラムの実行中に未定義のエラーが発生しました。";
constexpr const char* kNoPresenter =
    "CExceptionMsg 関数の動作に必要な gMPObject のインスタンスが初期化されていません";
constexpr const char* kNotImplemented = "%s クラスで未実装のメソッド %s が呼び出されました";

bool IsBlankByte(unsigned char c) { return c <= 32; }

// Empty after removing bytes 0 to 32 at both ends.
bool IsBlank(const std::string& text) {
  for (unsigned char c : text) {
    if (!IsBlankByte(c)) return false;
  }
  return true;
}

// Removes ASCII blanks (bytes 0 to 32) and ideographic spaces (0x81 0x40 in
// Shift-JIS) at both ends. A lead byte is never taken for a trail byte: the
// text is walked character by character from the front.
std::string TrimWide(const std::string& text) {
  struct Char {
    size_t pos, len;
    bool blank;
  };
  std::vector<Char> chars;
  for (size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    bool lead = IsShiftJisLeadByte(c);
    size_t len = lead && i + 1 < text.size() ? 2 : 1;
    bool blank = len == 1 ? IsBlankByte(c)
                          : c == 0x81 && static_cast<unsigned char>(text[i + 1]) == 0x40;
    chars.push_back({i, len, blank});
    i += len;
  }
  size_t first = 0, last = chars.size();
  while (first < last && chars[first].blank) ++first;
  while (last > first && chars[last - 1].blank) --last;
  if (first == last) return std::string();
  size_t begin = chars[first].pos;
  size_t end = chars[last - 1].pos + chars[last - 1].len;
  return text.substr(begin, end - begin);
}

TCMessageProvider& Provider() {
  if (gExceptionProvider != nullptr) return *gExceptionProvider;
  // Used only before the library's start-up or after its shutdown.
  static TCMessageProvider_NVKException fallback;
  return fallback;
}

}  // namespace

TCMessageProvider* gExceptionProvider = nullptr;
MessagePresenter* gMPObject = nullptr;

bool InheritsFrom(const ExceptionClass& cls, const ExceptionClass& ancestor) {
  for (const ExceptionClass* c = &cls; c != nullptr; c = c->Parent) {
    if (c == &ancestor) return true;
  }
  return false;
}

const ExceptionClass& ECException::StaticClass() {
  static const ExceptionClass cls{"ECException", nullptr};
  return cls;
}

ECException::ECException(const ExceptionClass& cls)
    : message_(Provider().Message(cls, MsgParams(), 0)) {}

ECException::ECException(const ExceptionClass& cls, const std::string& msg, int32_t code)
    : Code(code), Style(16) {
  message_ = IsBlank(msg) ? Provider().Message(cls, MsgParams(), 0) : msg;
}

QW_DEFINE_EC_CLASS(ECPermissionError, ECException)
QW_DEFINE_EC_CLASS(ECRecordInsertNotAllowed, ECPermissionError)
QW_DEFINE_EC_CLASS(ECRecordEditNotAllowed, ECPermissionError)
QW_DEFINE_EC_CLASS(ECRecordDeleteNotAllowed, ECPermissionError)
QW_DEFINE_EC_CLASS(ECIncompleteCode, ECException)
QW_DEFINE_EC_CLASS(ECThisConstructorIsDisabled, ECIncompleteCode)
QW_DEFINE_EC_CLASS(ECInternalError, ECException)
QW_DEFINE_EC_CLASS(ECRuntimeError, ECException)
QW_DEFINE_EC_CLASS(ECFormNotPermitted, ECRuntimeError)

std::string TCMessageProvider::Message() {
  ReportNotImplemented(*this, "Message");
  return std::string();
}

std::string TCMessageProvider::Message(const MsgParams&) {
  ReportNotImplemented(*this, "Message(iMsgParams)");
  return std::string();
}

std::string TCMessageProvider::Message(const ExceptionClass&, const MsgParams&, int) {
  ReportNotImplemented(*this, "Message(iClass, iMsgParams, iSubID)");
  return std::string();
}

std::string TCMessageProvider::Message(const ECException& iObject, const MsgParams& iMsgParams,
                                       int iSubID) {
  return Message(iObject.ClassType(), iMsgParams, iSubID);
}

std::string TCMessageProvider::MessageByID(int, const MsgParams&) {
  ReportNotImplemented(*this, "Message(iMsgID, iMsgParams)");
  return std::string();
}

std::string TCMessageProvider::LanguageName() { return "日本語"; }

std::string TCMessageProvider_NVKException::Message(const ExceptionClass& iClass,
                                                    const MsgParams&, int iSubID) {
  const ExceptionClass* c = &iClass;
  if (c == &ECPermissionError::StaticClass()) return "この操作は認可されていません。";
  if (c == &ECRecordInsertNotAllowed::StaticClass()) return "レコードの追加操作は認可されていません。";
  if (c == &ECRecordEditNotAllowed::StaticClass()) return "レコードの編集操作は認可されていません。";
  if (c == &ECRecordDeleteNotAllowed::StaticClass()) return "レコードの削除操作は認可されていません。";
  if (c == &ECIncompleteCode::StaticClass()) {
    switch (iSubID) {
      case 0: return "クラスの実装が不完全です";
      case 1: return "クラス %s メソッド %s の実装が不完全です。";
      default: return std::string();
    }
  }
  if (c == &ECThisConstructorIsDisabled::StaticClass()) return "このコンストラクタの呼び出しは禁止されています。";
  if (c == &ECInternalError::StaticClass()) return "内部エラーです";
  if (c == &ECFormNotPermitted::StaticClass()) return "この画面の利用は許可されていません。";
  return kUndefinedError;
}

void CreateExceptionProvider() {
  if (gExceptionProvider == nullptr) gExceptionProvider = new TCMessageProvider_NVKException();
}

void FreeExceptionProvider() {
  delete gExceptionProvider;
  gExceptionProvider = nullptr;
}

int CExceptionMsg(const std::exception& e, const std::string& text) {
  if (gMPObject == nullptr) throw ECIncompleteCode(kNoPresenter, 0);
  const auto* family = dynamic_cast<const ECException*>(&e);
  int32_t style = family != nullptr ? family->Style : 16;
  std::string shown = TrimWide(text).empty() ? gMPObject->TextOf(e) : text;
  return gMPObject->Show(e, shown, style);
}

void ReportNotImplemented(const TCMessageProvider& provider, const std::string& signature) {
  ECIncompleteCode report(FormatPercentS(kNotImplemented, {provider.ClassName(), signature}), 0);
  CExceptionMsg(report, std::string());
}

std::string FormatPercentS(const std::string& format, const std::vector<std::string>& args) {
  std::string out;
  size_t next = 0;
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] == '%' && i + 1 < format.size() && format[i + 1] == 's' && next < args.size()) {
      out += args[next++];
      ++i;
    } else {
      out += format[i];
    }
  }
  return out;
}

}  // namespace qw
