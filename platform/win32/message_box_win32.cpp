#include <windows.h>

#include "platform/message_box.h"
#include "platform/text_codec.h"

namespace qw {
namespace {

class Win32MessageBoxes : public MessageBoxes {
 public:
  MessageBoxResult Show(const std::string& text, const std::string& caption,
                        MessageBoxButtons buttons, MessageBoxIcon icon,
                        int defaultButton) override {
    UINT flags = MB_TASKMODAL | MB_SETFOREGROUND;
    switch (buttons) {
      case MessageBoxButtons::Ok: flags |= MB_OK; break;
      case MessageBoxButtons::OkCancel: flags |= MB_OKCANCEL; break;
      case MessageBoxButtons::YesNo: flags |= MB_YESNO; break;
      case MessageBoxButtons::YesNoCancel: flags |= MB_YESNOCANCEL; break;
    }
    switch (icon) {
      case MessageBoxIcon::None: break;
      case MessageBoxIcon::Information: flags |= MB_ICONINFORMATION; break;
      case MessageBoxIcon::Exclamation: flags |= MB_ICONEXCLAMATION; break;
      case MessageBoxIcon::Error: flags |= MB_ICONERROR; break;
      case MessageBoxIcon::Question: flags |= MB_ICONQUESTION; break;
    }
    if (defaultButton == 2) flags |= MB_DEFBUTTON2;
    if (defaultButton == 3) flags |= MB_DEFBUTTON3;
    const std::u16string wideText = SjisToUtf16(text);
    const std::u16string wideCaption = SjisToUtf16(caption);
    const int answer = MessageBoxW(nullptr, reinterpret_cast<LPCWSTR>(wideText.c_str()),
                                   reinterpret_cast<LPCWSTR>(wideCaption.c_str()), flags);
    switch (answer) {
      case IDOK: return MessageBoxResult::Ok;
      case IDYES: return MessageBoxResult::Yes;
      case IDNO: return MessageBoxResult::No;
      case IDCANCEL: return MessageBoxResult::Cancel;
      default: break;
    }
    // The box could not be shown (no desktop, out of memory): take the
    // answer that does the least, the last button (Cancel or No), or OK.
    if (buttons == MessageBoxButtons::YesNo) return MessageBoxResult::No;
    if (buttons == MessageBoxButtons::Ok) return MessageBoxResult::Ok;
    return MessageBoxResult::Cancel;
  }
};

}  // namespace

std::unique_ptr<MessageBoxes> NewSystemMessageBoxes() {
  return std::make_unique<Win32MessageBoxes>();
}

}  // namespace qw
