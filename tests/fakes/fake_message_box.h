// Message boxes for tests: every box is recorded, answers come from a queue
// (then from the box's default button).
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "platform/message_box.h"

namespace qw::test {

struct ShownMessageBox {
  std::string text;
  std::string caption;
  MessageBoxButtons buttons;
  MessageBoxIcon icon;
  int defaultButton;
  MessageBoxResult answer;
};

class FakeMessageBoxes : public MessageBoxes {
 public:
  MessageBoxResult Show(const std::string& text, const std::string& caption,
                        MessageBoxButtons buttons, MessageBoxIcon icon,
                        int defaultButton = 1) override;

  // Answers for the next boxes, in order.
  std::deque<MessageBoxResult> answers;
  std::vector<ShownMessageBox> shown;
  // Runs when a box is shown (after it is recorded).
  std::function<void(const ShownMessageBox&)> onShow;
};

}  // namespace qw::test
