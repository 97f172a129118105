#include <cstdio>
#include <cstdlib>

#include "platform/ascii_text.h"
#include "platform/message_box.h"
#include "platform/text_codec.h"

namespace qw {
namespace {

const char* ResultName(MessageBoxResult result) {
  switch (result) {
    case MessageBoxResult::Ok: return "OK";
    case MessageBoxResult::Cancel: return "Cancel";
    case MessageBoxResult::Yes: return "Yes";
    case MessageBoxResult::No: return "No";
  }
  return "?";
}

bool HasButton(MessageBoxButtons buttons, MessageBoxResult result) {
  for (int position = 1; position <= 3; ++position) {
    if (MessageBoxButtonAt(buttons, position) == result) return true;
  }
  return false;
}

// Without a desktop the box is a note on stderr, answered by the environment
// (QUOTAWARDEN_MSGBOX_ANSWER) or by its default button.
class ConsoleMessageBoxes : public MessageBoxes {
 public:
  MessageBoxResult Show(const std::string& text, const std::string& caption,
                        MessageBoxButtons buttons, MessageBoxIcon icon,
                        int defaultButton) override {
    (void)icon;
    MessageBoxResult answer = MessageBoxButtonAt(buttons, defaultButton);
    if (const char* env = std::getenv("QUOTAWARDEN_MSGBOX_ANSWER")) {
      static const struct {
        const char* name;
        MessageBoxResult result;
      } kNames[] = {{"ok", MessageBoxResult::Ok},
                    {"cancel", MessageBoxResult::Cancel},
                    {"yes", MessageBoxResult::Yes},
                    {"no", MessageBoxResult::No}};
      for (const auto& entry : kNames) {
        if (EqualsCaseless(env, entry.name) && HasButton(buttons, entry.result)) {
          answer = entry.result;
        }
      }
    }
    // Line breaks may be CR LF or a bare CR.
    std::string body;
    bool afterCr = false;
    for (const char c : SjisToUtf8(text)) {
      if (c == '\n' && afterCr) {
        afterCr = false;
        continue;
      }
      afterCr = c == '\r';
      body += afterCr ? '\n' : c;
    }
    std::fprintf(stderr, "[%s] %s\n  -> %s\n", SjisToUtf8(caption).c_str(), body.c_str(),
                 ResultName(answer));
    return answer;
  }
};

}  // namespace

std::unique_ptr<MessageBoxes> NewSystemMessageBoxes() {
  return std::make_unique<ConsoleMessageBoxes>();
}

}  // namespace qw
