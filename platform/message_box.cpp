#include "platform/message_box.h"

namespace qw {

MessageBoxResult MessageBoxButtonAt(MessageBoxButtons buttons, int position) {
  switch (buttons) {
    case MessageBoxButtons::Ok:
      return MessageBoxResult::Ok;
    case MessageBoxButtons::OkCancel:
      return position == 2 ? MessageBoxResult::Cancel : MessageBoxResult::Ok;
    case MessageBoxButtons::YesNo:
      return position == 2 ? MessageBoxResult::No : MessageBoxResult::Yes;
    case MessageBoxButtons::YesNoCancel:
      if (position == 2) return MessageBoxResult::No;
      if (position == 3) return MessageBoxResult::Cancel;
      return MessageBoxResult::Yes;
  }
  return MessageBoxResult::Ok;
}

}  // namespace qw
