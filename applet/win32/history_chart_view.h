// The 状態 page's scrolling panel: for each drive and volume its line, its
// bar and the chart of its last 30 days (free space, threshold, forecast);
// then the webhook targets' lines. A window class of its own, placed by the
// page's template; it draws the view the page's model holds.
#pragma once

#include <windows.h>

#include "applet/status_model.h"

namespace qw {

inline constexpr wchar_t kStatusPanelClass[] = L"QuotawardenStatusPanel";

// The chart's colours: the free space, the threshold line, the forecast's
// dashes.
inline constexpr COLORREF kChartFreeColour = RGB(0x1f, 0x5f, 0xbf);
inline constexpr COLORREF kChartThresholdColour = RGB(0xd0, 0x20, 0x20);
inline constexpr COLORREF kChartForecastColour = RGB(0xe0, 0x7a, 0x00);

// One line of a panel drawn with `font` in pixels: what the blocks are laid
// out in (LayOutStatusPanel's lineHeight).
inline int StatusPanelLineHeight(HDC dc, HFONT font) {
  HGDIOBJ old = SelectObject(dc, font != nullptr ? font : GetStockObject(DEFAULT_GUI_FONT));
  TEXTMETRICW metrics{};
  GetTextMetricsW(dc, &metrics);
  SelectObject(dc, old);
  return metrics.tmHeight + metrics.tmExternalLeading + MulDiv(4, GetDeviceCaps(dc, LOGPIXELSY), 96);
}

// Registers the class in the applet's module (once; again is harmless);
// false when it could not (GetLastError says why).
bool RegisterStatusPanelClass();
// Takes the class back (the module may be unloaded after the dialog).
void UnregisterStatusPanelClass();
// The view to draw (it must outlive the panel or be replaced; null: empty),
// then the panel lays itself out, sets its scroll range and repaints.
void ShowStatusPanel(HWND panel, const StatusPageView* view);

}  // namespace qw
