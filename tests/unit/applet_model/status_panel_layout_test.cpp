// The status panel's blocks: each drive's lines and chart in order, none
// overlapping another, every plot inside the panel with room for its labels.
#include "applet/status_panel_layout.h"

#include <gtest/gtest.h>

namespace qw {
namespace {

StatusDriveRow Row(bool history, bool forecast) {
  StatusDriveRow row;
  row.label = "C:";
  if (history) row.history = {{1000, 1, 2}, {2000, 1, 2}};
  if (forecast) row.forecastText = "予測";
  return row;
}

TEST(StatusPanelLayoutTest, BlocksFollowEachOtherAndPlotsStayInside) {
  struct Case {
    const char* name;
    std::vector<StatusDriveRow> rows;
    int width, line;
  };
  const Case cases[] = {
      {"none", {}, 360, 16},
      {"one without history", {Row(false, false)}, 360, 16},
      {"charts and a forecast", {Row(true, true), Row(true, false), Row(false, false), Row(true, true)}, 360, 16},
      {"large font, narrow", {Row(true, true), Row(true, false)}, 200, 24},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StatusPageView view;
    view.drives = c.rows;
    const StatusPanelLayout layout = LayOutStatusPanel(view, c.width, c.line);
    ASSERT_EQ(layout.blocks.size(), c.rows.size());
    EXPECT_GT(layout.barWidth, c.width / 2);
    EXPECT_LT(layout.barWidth, c.width);
    int previous = 0;
    for (size_t i = 0; i < c.rows.size(); ++i) {
      SCOPED_TRACE(i);
      const StatusPanelBlock& b = layout.blocks[i];
      EXPECT_EQ(b.top, previous);
      EXPECT_GE(b.barTop, b.top + c.line);
      int used = b.barTop + c.line;
      if (c.rows[i].forecastText.empty()) {
        EXPECT_EQ(b.forecastTop, -1);
      } else {
        EXPECT_GE(b.forecastTop, used);
        used = b.forecastTop + c.line;
      }
      if (c.rows[i].history.empty()) {
        EXPECT_EQ(b.plotHeight, 0);
      } else {
        // Half a line above for the top label, the byte labels to the left,
        // the day labels under it: all inside the block and the width.
        EXPECT_GE(b.plotTop - used, c.line / 2);
        EXPECT_GE(b.plotLeft, 4 * c.line);
        EXPECT_LE(b.plotLeft + b.plotWidth, c.width);
        EXPECT_GE(b.plotHeight, 5 * c.line);
        used = b.plotTop + b.plotHeight + c.line;
      }
      EXPECT_GE(b.bottom, used);
      previous = b.bottom;
    }
    EXPECT_EQ(layout.textsTop, previous);
  }
}

}  // namespace
}  // namespace qw
