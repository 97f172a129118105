// Standard message boxes. Text and caption are Shift-JIS; Windows shows them
// through MessageBoxW after converting from code page 932, so they read right
// on a Windows of any display language. The box has no owner window and is
// task-modal: the calling thread's windows are disabled while it is up.
#pragma once

#include <memory>
#include <string>

namespace qw {

enum class MessageBoxButtons { Ok, OkCancel, YesNo, YesNoCancel };

// None shows no icon; Information (MB_ICONINFORMATION), Exclamation
// (MB_ICONEXCLAMATION), Error (MB_ICONERROR), Question (MB_ICONQUESTION).
enum class MessageBoxIcon { None, Information, Exclamation, Error, Question };

// The button pressed, with the values of IDOK, IDCANCEL, IDYES and IDNO.
enum class MessageBoxResult { Ok = 1, Cancel = 2, Yes = 6, No = 7 };

class MessageBoxes {
 public:
  virtual ~MessageBoxes() = default;

  // Shows the box and waits for the answer. `defaultButton` is the
  // one-based position of the default button (1 = the first: OK or Yes).
  virtual MessageBoxResult Show(const std::string& text, const std::string& caption,
                                MessageBoxButtons buttons, MessageBoxIcon icon,
                                int defaultButton = 1) = 0;
};

// Windows: real message boxes. POSIX: the box is written to stderr in UTF-8
// and answered without waiting: by the environment variable
// QUOTAWARDEN_MSGBOX_ANSWER ("ok", "cancel", "yes" or "no") when it names one
// of the box's buttons, otherwise by the default button.
std::unique_ptr<MessageBoxes> NewSystemMessageBoxes();

// The answer of the button at one-based `position` of `buttons` (positions
// out of range give the first button).
MessageBoxResult MessageBoxButtonAt(MessageBoxButtons buttons, int position);

}  // namespace qw
