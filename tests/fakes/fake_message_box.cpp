#include "tests/fakes/fake_message_box.h"

namespace qw::test {

MessageBoxResult FakeMessageBoxes::Show(const std::string& text, const std::string& caption,
                                        MessageBoxButtons buttons, MessageBoxIcon icon,
                                        int defaultButton) {
  MessageBoxResult answer = MessageBoxButtonAt(buttons, defaultButton);
  if (!answers.empty()) {
    answer = answers.front();
    answers.pop_front();
  }
  shown.push_back({text, caption, buttons, icon, defaultButton, answer});
  if (onShow) onShow(shown.back());
  return answer;
}

}  // namespace qw::test
