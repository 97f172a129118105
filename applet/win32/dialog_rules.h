// The decisions of the applet's dialogs that do not need a window: the key
// filters of the text boxes and the threshold dialog's OK. Portable (no
// Windows header), so the unit tests hold them to their rules natively.
#pragma once

#include <string>

#include "applet/settings_model.h"
#include "common/address_check.h"
#include "common/errors.h"

namespace qw {

inline constexpr char16_t kBackspace = 8;
inline constexpr char16_t kEnter = 13;

// Key filter of the SMTP server box: backspace, "-", ".", digits, ASCII
// letters and, for IPv6 addresses, ":", "[" and "]" pass; everything else
// (control characters, Japanese characters, the space, the comma) is
// discarded.
inline bool SmtpKeyPasses(char16_t c) {
  return c == kBackspace || (c < 0x80 && IsServerNameChar(static_cast<char>(c)));
}

// Key filter of the sender box and of the address dialog's box: backspace
// and the address characters pass.
inline bool AddressKeyPasses(char16_t c) {
  return c == kBackspace || (c < 0x80 && IsAddressChar(static_cast<char>(c)));
}

// The threshold dialog's OK: what the number box and the unit make of it.
struct LimitDecision {
  bool accepted = false;      // SetLimit(letter, limitText) and close
  std::string limitText;      // digits then "MB" or "%"
  std::string message;        // when refused: the text of the message box
  bool errorIcon = false;     // refused with the error icon (else exclamation)
};

inline constexpr const char* kMsgLimitEmpty = "空き領域しきい値を入力してください。";
inline constexpr const char* kMsgPercentRange = "0 ～ 99 % の範囲を指定してください。";

inline const char* LimitUnitText(LimitUnit unit) { return unit == LimitUnit::Percent ? "%" : "MB"; }

// An empty box is refused with either unit (the file would otherwise receive
// "MB" or "%" alone); a text that is not all digits (pasted into the box) is
// not a whole number; a percentage above 99 is refused. The number is kept
// as typed, leading zeros included.
inline LimitDecision DecideLimit(const std::string& number, LimitUnit unit) {
  LimitDecision d;
  if (number.empty()) {
    d.message = kMsgLimitEmpty;
    return d;
  }
  for (char c : number) {
    if (c < '0' || c > '9') {
      d.message = NotAnInteger(number).what();
      d.errorIcon = true;
      return d;
    }
  }
  if (unit == LimitUnit::Percent) {
    // Digits only: the value is at least 0; beyond nine digits it is
    // certainly above 99.
    bool above = number.find_first_not_of('0') != std::string::npos &&
                 (number.size() - number.find_first_not_of('0') > 2);
    if (above) {
      d.message = kMsgPercentRange;
      return d;
    }
  }
  d.accepted = true;
  d.limitText = number + LimitUnitText(unit);
  return d;
}

// What a key typed into the address dialog's box does: Enter runs OK first
// and is then discarded like every character that is not backspace or an
// address character.
struct AddressKeyDecision {
  bool runOk = false;
  bool pass = false;
};

inline AddressKeyDecision DecideAddressKey(char16_t c) {
  return AddressKeyDecision{c == kEnter, AddressKeyPasses(c)};
}

// The address dialog's caption for a title ("To に追加" or "Cc に追加").
inline std::string MailAddressCaption(const std::string& title) {
  return title + " - メールアドレスを入力してください。";
}

inline const char* MailAddressTitle(MailTarget target) {
  return target == MailTarget::To ? "To に追加" : "Cc に追加";
}

// The threshold dialog's drive label.
inline std::string LimitDriveLabel(const std::string& letter) {
  return "対象ドライブ: " + letter + " ドライブ";
}

}  // namespace qw
