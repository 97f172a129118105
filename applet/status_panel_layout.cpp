#include "applet/status_panel_layout.h"

#include <algorithm>

namespace qw {

StatusPanelLayout LayOutStatusPanel(const StatusPageView& view, int width, int lineHeight) {
  StatusPanelLayout layout;
  const int line = std::max(lineHeight, 1);
  // The bar takes a little over half the width; the threshold text (about
  // 22 characters) the rest.
  layout.barWidth = std::max(line, width * 11 / 20);
  int y = 0;
  for (const StatusDriveRow& row : view.drives) {
    StatusPanelBlock block;
    block.top = y;
    block.barTop = y + line;
    y += 2 * line;
    if (!row.forecastText.empty()) {
      block.forecastTop = y;
      y += line;
    }
    if (!row.history.empty()) {
      // Half a line above the plot for the top byte label, four lines of
      // width for the byte labels, a line under it for the days.
      block.plotTop = y + line / 2;
      block.plotLeft = 4 * line;
      block.plotWidth = std::max(line, width - block.plotLeft - line);
      block.plotHeight = 6 * line;
      y = block.plotTop + block.plotHeight + line + 2;
    }
    y += line / 2;
    block.bottom = y;
    layout.blocks.push_back(block);
  }
  layout.textsTop = y;
  return layout;
}

}  // namespace qw
