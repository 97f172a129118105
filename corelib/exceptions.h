// The common library's exception family and its message provider.
//
// An exception of the family created without a text of its own takes the
// text the provider gives for exactly its class. The provider is one object,
// gExceptionProvider, created when the library that uses the family is
// loaded (CreateExceptionProvider) and freed when it is unloaded
// (FreeExceptionProvider). Messages are Shift-JIS texts.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <vector>

namespace qw {

// A class reference of the family: its name and its parent (none for the
// root). The catalogue matches these references exactly, never an ancestor.
struct ExceptionClass {
  const char* Name;
  const ExceptionClass* Parent;
};

// True when `cls` is `ancestor` or descends from it.
bool InheritsFrom(const ExceptionClass& cls, const ExceptionClass& ancestor);

class ECException : public std::exception {
 public:
  // Create: the provider's message for the exception's own class, Code 0,
  // Style 0.
  ECException() : ECException(StaticClass()) {}
  // Create(Msg, Code): Msg unless it is blank (nothing but bytes 0 to 32), in
  // which case the provider's message; Code stored; Style 16.
  ECException(const std::string& msg, int32_t code) : ECException(StaticClass(), msg, code) {}

  static const ExceptionClass& StaticClass();
  virtual const ExceptionClass& ClassType() const { return StaticClass(); }
  const char* ClassName() const { return ClassType().Name; }

  const std::string& Message() const { return message_; }
  void SetMessage(const std::string& message) { message_ = message; }
  const char* what() const noexcept override { return message_.c_str(); }

  int HelpContext = 0;
  int32_t Code = 0;
  int32_t Style = 0;

 protected:
  explicit ECException(const ExceptionClass& cls);
  ECException(const ExceptionClass& cls, const std::string& msg, int32_t code);

 private:
  std::string message_;
};

// Declares a member of the family with both constructors of the root.
#define QW_DECLARE_EC_CLASS(Name, ParentName)                                         \
  class Name : public ParentName {                                                     \
   public:                                                                             \
    Name() : ParentName(StaticClass()) {}                                              \
    Name(const std::string& msg, int32_t code) : ParentName(StaticClass(), msg, code) {} \
    static const ExceptionClass& StaticClass();                                        \
    const ExceptionClass& ClassType() const override { return StaticClass(); }         \
                                                                                       \
   protected:                                                                          \
    explicit Name(const ExceptionClass& cls) : ParentName(cls) {}                      \
    Name(const ExceptionClass& cls, const std::string& msg, int32_t code)              \
        : ParentName(cls, msg, code) {}                                                \
  }

QW_DECLARE_EC_CLASS(ECPermissionError, ECException);
QW_DECLARE_EC_CLASS(ECRecordInsertNotAllowed, ECPermissionError);
QW_DECLARE_EC_CLASS(ECRecordEditNotAllowed, ECPermissionError);
QW_DECLARE_EC_CLASS(ECRecordDeleteNotAllowed, ECPermissionError);
QW_DECLARE_EC_CLASS(ECIncompleteCode, ECException);
QW_DECLARE_EC_CLASS(ECThisConstructorIsDisabled, ECIncompleteCode);
QW_DECLARE_EC_CLASS(ECInternalError, ECException);
QW_DECLARE_EC_CLASS(ECRuntimeError, ECException);
QW_DECLARE_EC_CLASS(ECFormNotPermitted, ECRuntimeError);

// Defines StaticClass of a member declared with QW_DECLARE_EC_CLASS (for
// families declared outside this library).
#define QW_DEFINE_EC_CLASS(Name, ParentName)                      \
  const ::qw::ExceptionClass& Name::StaticClass() {               \
    static const ::qw::ExceptionClass cls{#Name, &ParentName::StaticClass()}; \
    return cls;                                                   \
  }

using MsgParams = std::vector<std::string>;

// Base of the message providers. The operations that only a descendant can
// answer report themselves as not implemented (ReportNotImplemented) and
// answer an empty text if that returns.
class TCMessageProvider {
 public:
  virtual ~TCMessageProvider() = default;
  virtual const char* ClassName() const { return "TCMessageProvider"; }

  virtual std::string Message();
  virtual std::string Message(const MsgParams& iMsgParams);
  virtual std::string Message(const ExceptionClass& iClass, const MsgParams& iMsgParams,
                              int iSubID);
  // The message for the class of `iObject`.
  virtual std::string Message(const ECException& iObject, const MsgParams& iMsgParams,
                              int iSubID);
  virtual std::string MessageByID(int iMsgID, const MsgParams& iMsgParams);
  virtual std::string LanguageCode() { return "JP"; }
  virtual std::string LanguageName();
};

// The provider of the family's default messages (the catalogue).
class TCMessageProvider_NVKException : public TCMessageProvider {
 public:
  const char* ClassName() const override { return "TCMessageProvider_NVKException"; }
  using TCMessageProvider::Message;
  std::string Message(const ExceptionClass& iClass, const MsgParams& iMsgParams,
                      int iSubID) override;
};

extern TCMessageProvider* gExceptionProvider;
// Creates gExceptionProvider as a TCMessageProvider_NVKException unless one
// exists already.
void CreateExceptionProvider();
// Frees gExceptionProvider and sets it to none.
void FreeExceptionProvider();

// Shows an exception to a person. Not part of this library: a program that
// wants CExceptionMsg installs one in gMPObject.
class MessagePresenter {
 public:
  virtual ~MessagePresenter() = default;
  // Shows `e` with `text` and the presentation style; returns the answer.
  virtual int Show(const std::exception& e, const std::string& text, int32_t style) = 0;
  // The presenter's own text for `e`.
  virtual std::string TextOf(const std::exception& e) = 0;
};

extern MessagePresenter* gMPObject;

// Hands `e` with `text` to gMPObject and returns its answer. A text that is
// blank (ASCII blanks and ideographic spaces at both ends removed) is replaced
// by the presenter's text for `e`. The style is e.Style for the family, 16 for
// other exceptions. Without a presenter, raises ECIncompleteCode.
int CExceptionMsg(const std::exception& e, const std::string& text);

// Reports that `provider` was asked for an operation it does not implement:
// an ECIncompleteCode naming the provider's class and `signature` goes to
// CExceptionMsg.
void ReportNotImplemented(const TCMessageProvider& provider, const std::string& signature);

// Replaces each "%s" of `format`, in order, by the next of `args`; a "%s"
// without an argument stays.
std::string FormatPercentS(const std::string& format, const std::vector<std::string>& args);

}  // namespace qw
