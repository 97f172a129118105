// Where the status page's scrolling panel puts each drive's and volume's
// block: its text line, its bar line, its forecast line and its chart's plot
// area, in pixels of the panel's content (the top of the first block at 0,
// before scrolling). Everything is in whole lines of the panel's font, so the
// page keeps its proportions at any DPI. Portable: the Win32 panel draws at
// these places and the harness checks the pixels there.
#pragma once

#include <vector>

#include "applet/status_model.h"

namespace qw {

struct StatusPanelBlock {
  int top = 0;           // the text line: label and free space
  int barTop = 0;        // the bar, with the threshold text to its right
  int forecastTop = -1;  // the forecast line; -1: none
  // The chart's plot area (the free line, the threshold, the forecast);
  // plotHeight 0: no chart (no history). The byte labels lie left of it,
  // the day labels on the line under it.
  int plotLeft = 0;
  int plotTop = 0;
  int plotWidth = 0;
  int plotHeight = 0;
  int bottom = 0;  // where the next block begins
};

struct StatusPanelLayout {
  std::vector<StatusPanelBlock> blocks;  // one per row of view.drives
  int barWidth = 0;                      // the bars' width (from the left edge)
  int textsTop = 0;  // the history notice and the webhook targets' lines, wrapped, follow here
};

// `width`: the panel's client width; `lineHeight`: one line of its font.
StatusPanelLayout LayOutStatusPanel(const StatusPageView& view, int width, int lineHeight);

}  // namespace qw
