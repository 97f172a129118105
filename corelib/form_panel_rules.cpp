#include "corelib/form_panel_rules.h"

#include <algorithm>

namespace qw {

int FormPanelInset(const PanelFrame& frame) {
  int inset = frame.BorderWidth;
  if (frame.SingleBorder) inset += 1;
  if (frame.BevelInner != BevelKind::kNone) inset += frame.BevelWidth;
  if (frame.BevelOuter != BevelKind::kNone) inset += frame.BevelWidth;
  return inset;
}

FormBounds HostedFormBounds(const PanelFrame& frame, int panelWidth, int panelHeight) {
  int inset = FormPanelInset(frame);
  return FormBounds{inset, inset, std::max(0, panelWidth - 2 * inset),
                    std::max(0, panelHeight - 2 * inset)};
}

std::optional<size_t> FindLastForm(const std::vector<std::string>& texts, const std::string& wanted) {
  if (wanted.empty()) return std::nullopt;
  std::optional<size_t> found;
  for (size_t i = 0; i < texts.size(); ++i) {
    if (texts[i] == wanted) found = i;
  }
  return found;
}

}  // namespace qw
