#include "applet/win32/history_chart_view.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "applet/history_chart.h"
#include "applet/status_panel_layout.h"
#include "applet/win32/dialog_util.h"
#include "corelib/win32/win_text.h"

namespace qw {
namespace {

struct PanelState {
  const StatusPageView* view = nullptr;
  HFONT font = nullptr;
  int scroll = 0;         // pixels of content above the client area
  int contentHeight = 0;  // of the whole content
};

PanelState* StateOf(HWND panel) { return reinterpret_cast<PanelState*>(GetWindowLongPtrW(panel, GWLP_USERDATA)); }

int Round(double v) { return static_cast<int>(std::lround(v)); }

void Text(HDC dc, const std::string& text, RECT rect, UINT format) {
  const std::wstring wide = Wide(text);
  DrawTextW(dc, wide.c_str(), static_cast<int>(wide.size()), &rect, format | DT_NOPREFIX);
}

// Wrapped text from `top` across `width`; returns the height it took.
int WrappedText(HDC dc, const std::string& text, int top, int width) {
  const std::wstring wide = Wide(text);
  RECT rect{0, top, width, top};
  DrawTextW(dc, wide.c_str(), static_cast<int>(wide.size()), &rect, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
  rect.right = width;
  DrawTextW(dc, wide.c_str(), static_cast<int>(wide.size()), &rect, DT_WORDBREAK | DT_NOPREFIX);
  return rect.bottom - top;
}

void Line(HDC dc, int x1, int y1, int x2, int y2) {
  MoveToEx(dc, x1, y1, nullptr);
  LineTo(dc, x2, y2);
}

// A dashed segment: `on` pixels drawn, `off` left, along the line.
void DashedLine(HDC dc, double x1, double y1, double x2, double y2, double on, double off) {
  const double length = std::hypot(x2 - x1, y2 - y1);
  if (length < 0.5) return;
  const double dx = (x2 - x1) / length, dy = (y2 - y1) / length;
  for (double at = 0; at < length; at += on + off) {
    const double end = std::min(at + on, length);
    Line(dc, Round(x1 + dx * at), Round(y1 + dy * at), Round(x1 + dx * end), Round(y1 + dy * end));
  }
}

void DrawBar(HDC dc, const StatusDriveRow& row, const RECT& bar) {
  HBRUSH usedBrush = CreateSolidBrush(row.below ? RGB(0xd0, 0x20, 0x20) : RGB(0x3a, 0x6e, 0xc8));
  HBRUSH freeBrush = CreateSolidBrush(RGB(0xff, 0xff, 0xff));
  HBRUSH markBrush = CreateSolidBrush(RGB(0x00, 0x00, 0x00));
  const int width = bar.right - bar.left;
  RECT used = bar;
  used.right = bar.left + Round(width * row.usedFraction);
  RECT free = bar;
  free.left = used.right;
  FillRect(dc, &free, freeBrush);
  FillRect(dc, &used, usedBrush);
  FrameRect(dc, &bar, markBrush);
  // The threshold mark: where the used part may reach before the free space
  // falls under the threshold; a little taller than the bar.
  int x = bar.left + Round(width * row.thresholdFraction);
  x = std::clamp(x, static_cast<int>(bar.left), static_cast<int>(bar.right) - ScalePixels(2));
  RECT mark{x, bar.top - ScalePixels(2), x + ScalePixels(2), bar.bottom + ScalePixels(2)};
  FillRect(dc, &mark, markBrush);
  DeleteObject(usedBrush);
  DeleteObject(freeBrush);
  DeleteObject(markBrush);
}

void DrawChart(HDC dc, const StatusPanelBlock& block, const HistoryChart& chart, int line, int width) {
  const int ox = block.plotLeft, oy = block.plotTop, w = block.plotWidth, h = block.plotHeight;
  // A model point in the plot, kept on the plot's own pixels.
  const auto px = [&](double x) { return ox + std::clamp(Round(x), 0, w - 1); };
  const auto py = [&](double y) { return oy + std::clamp(Round(y), 0, h - 1); };
  RECT plot{ox, oy, ox + w, oy + h};
  FillRect(dc, &plot, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
  HPEN grid = CreatePen(PS_SOLID, 1, RGB(0xdd, 0xdd, 0xdd));
  HPEN tick = CreatePen(PS_SOLID, 1, RGB(0x80, 0x80, 0x80));
  HGDIOBJ oldPen = SelectObject(dc, grid);
  for (const ChartTick& t : chart.bytesTicks) {
    const int y = py(t.at);
    Line(dc, ox, y, ox + w, y);
    Text(dc, t.label, RECT{0, y - line / 2, ox - ScalePixels(4), y + line / 2},
         DT_RIGHT | DT_VCENTER | DT_SINGLELINE);
  }
  for (const ChartTick& t : chart.timeTicks) {
    const int x = px(t.at);
    if (!t.label.empty()) {
      SelectObject(dc, grid);
      Line(dc, x, oy, x, oy + h);
      const int half = 2 * line;
      const int left = std::clamp(x - half, 0, std::max(0, width - 2 * half));
      Text(dc, t.label, RECT{left, oy + h + 2, left + 2 * half, oy + h + 2 + line}, DT_CENTER | DT_TOP | DT_SINGLELINE);
    }
    SelectObject(dc, tick);
    Line(dc, x, oy + h, x, oy + h + ScalePixels(3));
  }
  HBRUSH frame = CreateSolidBrush(RGB(0x80, 0x80, 0x80));
  FrameRect(dc, &plot, frame);
  DeleteObject(frame);
  if (chart.nowX) {
    HPEN now = CreatePen(PS_DOT, 1, RGB(0x60, 0x60, 0x60));
    SelectObject(dc, now);
    Line(dc, px(*chart.nowX), oy, px(*chart.nowX), oy + h);
    SelectObject(dc, oldPen);
    DeleteObject(now);
  }
  if (chart.thresholdY) {
    HPEN threshold = CreatePen(PS_SOLID, ScalePixels(1), kChartThresholdColour);
    SelectObject(dc, threshold);
    Line(dc, ox, py(*chart.thresholdY), ox + w, py(*chart.thresholdY));
    SelectObject(dc, oldPen);
    DeleteObject(threshold);
  }
  HPEN free = CreatePen(PS_SOLID, ScalePixels(2), kChartFreeColour);
  SelectObject(dc, free);
  if (chart.freeLine.size() == 1) {
    const int x = px(chart.freeLine[0].x), y = py(chart.freeLine[0].y);
    Line(dc, x - 2, y, x + 2, y);
  } else if (!chart.freeLine.empty()) {
    std::vector<POINT> points;
    for (const ChartPoint& p : chart.freeLine) points.push_back(POINT{px(p.x), py(p.y)});
    Polyline(dc, points.data(), static_cast<int>(points.size()));
  }
  SelectObject(dc, oldPen);
  DeleteObject(free);
  if (chart.forecastDash.size() == 2) {
    HPEN dash = CreatePen(PS_SOLID, ScalePixels(2), kChartForecastColour);
    SelectObject(dc, dash);
    DashedLine(dc, px(chart.forecastDash[0].x), py(chart.forecastDash[0].y), px(chart.forecastDash[1].x),
               py(chart.forecastDash[1].y), ScalePixels(6), ScalePixels(4));
    SelectObject(dc, oldPen);
    DeleteObject(dash);
  }
  SelectObject(dc, oldPen);
  DeleteObject(grid);
  DeleteObject(tick);
}

// Draws the content at its own coordinates (0 at the top of the first
// block): the blocks that reach into [visibleTop, visibleBottom) and the
// lines after them; returns the whole content's height.
int DrawContent(HDC dc, const PanelState& state, int width, int visibleTop, int visibleBottom) {
  if (state.view == nullptr) return 0;
  const StatusPageView& view = *state.view;
  HGDIOBJ oldFont = SelectObject(dc, state.font != nullptr ? state.font : GetStockObject(DEFAULT_GUI_FONT));
  SetBkMode(dc, TRANSPARENT);
  const COLORREF text = GetSysColor(COLOR_BTNTEXT);
  SetTextColor(dc, text);
  const int line = StatusPanelLineHeight(dc, state.font);
  const StatusPanelLayout layout = LayOutStatusPanel(view, width, line);
  const int gap = ScalePixels(8);
  for (size_t i = 0; i < view.drives.size(); ++i) {
    const StatusDriveRow& row = view.drives[i];
    const StatusPanelBlock& block = layout.blocks[i];
    if (block.bottom <= visibleTop || block.top >= visibleBottom) continue;
    // A long mount path gives way on the left part of its line; the free
    // space stays whole.
    Text(dc, row.label + "  " + row.freeText, RECT{0, block.top, width, block.top + line},
         DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_PATH_ELLIPSIS);
    if (row.measured) {
      RECT bar{ScalePixels(2), block.barTop + ScalePixels(3), layout.barWidth, block.barTop + line - ScalePixels(3)};
      DrawBar(dc, row, bar);
    }
    Text(dc, row.thresholdText, RECT{layout.barWidth + gap, block.barTop, width, block.barTop + line},
         DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_END_ELLIPSIS);
    if (block.forecastTop >= 0) {
      SetTextColor(dc, RGB(0xa0, 0x50, 0x00));
      Text(dc, row.forecastText, RECT{0, block.forecastTop, width, block.forecastTop + line},
           DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_END_ELLIPSIS);
      SetTextColor(dc, text);
    }
    if (block.plotHeight > 0) {
      DrawChart(dc,
                block,
                BuildHistoryChart(row.history, row.thresholdBytes, row.forecast, view.checkedUtcSeconds,
                                  view.offsetMinutes, block.plotWidth, block.plotHeight),
                line, width);
    }
  }
  int y = layout.textsTop;
  if (!view.historyNotice.empty()) y += WrappedText(dc, view.historyNotice, y, width) + line / 2;
  if (!view.channelLines.empty()) {
    y += WrappedText(dc, "通知先", y, width);
    for (const std::string& channel : view.channelLines) y += WrappedText(dc, channel, y, width);
  }
  SelectObject(dc, oldFont);
  return y;
}

int ClientWidth(HWND panel) {
  RECT client{};
  GetClientRect(panel, &client);
  return client.right;
}

// Measures the content and sets the scroll range to it.
void UpdateScroll(HWND panel, PanelState& state) {
  HDC window = GetDC(panel);
  HDC dc = CreateCompatibleDC(window);
  HBITMAP bitmap = CreateCompatibleBitmap(window, 1, 1);
  HGDIOBJ old = SelectObject(dc, bitmap);
  // Nothing visible: the blocks are only laid out, the lines measured.
  state.contentHeight = DrawContent(dc, state, ClientWidth(panel), 0, 0);
  SelectObject(dc, old);
  DeleteObject(bitmap);
  DeleteDC(dc);
  ReleaseDC(panel, window);
  RECT client{};
  GetClientRect(panel, &client);
  state.scroll = std::clamp(state.scroll, 0, std::max(0, state.contentHeight - static_cast<int>(client.bottom)));
  SCROLLINFO info{};
  info.cbSize = sizeof info;
  // The bar stays (disabled when all fits): the width never changes under
  // the charts.
  info.fMask = SIF_RANGE | SIF_PAGE | SIF_POS | SIF_DISABLENOSCROLL;
  info.nMin = 0;
  info.nMax = std::max(0, state.contentHeight - 1);
  info.nPage = static_cast<UINT>(client.bottom);
  info.nPos = state.scroll;
  SetScrollInfo(panel, SB_VERT, &info, TRUE);
}

void ScrollTo(HWND panel, PanelState& state, int position) {
  RECT client{};
  GetClientRect(panel, &client);
  position = std::clamp(position, 0, std::max(0, state.contentHeight - static_cast<int>(client.bottom)));
  if (position == state.scroll) return;
  state.scroll = position;
  SetScrollPos(panel, SB_VERT, position, TRUE);
  InvalidateRect(panel, nullptr, FALSE);
}

void Paint(HWND panel, PanelState& state) {
  PAINTSTRUCT paint{};
  HDC window = BeginPaint(panel, &paint);
  RECT client{};
  GetClientRect(panel, &client);
  // Drawn off screen first: no flicker while scrolling.
  HDC dc = CreateCompatibleDC(window);
  HBITMAP bitmap = CreateCompatibleBitmap(window, std::max(1L, client.right), std::max(1L, client.bottom));
  HGDIOBJ old = SelectObject(dc, bitmap);
  FillRect(dc, &client, GetSysColorBrush(COLOR_BTNFACE));
  SetViewportOrgEx(dc, 0, -state.scroll, nullptr);
  DrawContent(dc, state, client.right, state.scroll, state.scroll + client.bottom);
  SetViewportOrgEx(dc, 0, 0, nullptr);
  BitBlt(window, 0, 0, client.right, client.bottom, dc, 0, 0, SRCCOPY);
  SelectObject(dc, old);
  DeleteObject(bitmap);
  DeleteDC(dc);
  EndPaint(panel, &paint);
}

LRESULT PanelProcImpl(HWND panel, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) SetWindowLongPtrW(panel, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(new PanelState));
  PanelState* state = StateOf(panel);
  if (state == nullptr) return DefWindowProcW(panel, message, wParam, lParam);
  switch (message) {
    case WM_NCDESTROY:
      SetWindowLongPtrW(panel, GWLP_USERDATA, 0);
      delete state;
      return DefWindowProcW(panel, message, wParam, lParam);
    case WM_SETFONT:
      state->font = reinterpret_cast<HFONT>(wParam);
      UpdateScroll(panel, *state);
      if (LOWORD(lParam)) InvalidateRect(panel, nullptr, FALSE);
      return 0;
    case WM_GETFONT:
      return reinterpret_cast<LRESULT>(state->font);
    case WM_SIZE:
      UpdateScroll(panel, *state);
      InvalidateRect(panel, nullptr, FALSE);
      return 0;
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT:
      Paint(panel, *state);
      return 0;
    case WM_VSCROLL: {
      RECT client{};
      GetClientRect(panel, &client);
      const int line = ScalePixels(16);
      int position = state->scroll;
      switch (LOWORD(wParam)) {
        case SB_LINEUP: position -= line; break;
        case SB_LINEDOWN: position += line; break;
        case SB_PAGEUP: position -= client.bottom; break;
        case SB_PAGEDOWN: position += client.bottom; break;
        case SB_TOP: position = 0; break;
        case SB_BOTTOM: position = state->contentHeight; break;
        case SB_THUMBTRACK:
        case SB_THUMBPOSITION: {
          SCROLLINFO info{};
          info.cbSize = sizeof info;
          info.fMask = SIF_TRACKPOS;
          GetScrollInfo(panel, SB_VERT, &info);
          position = info.nTrackPos;
          break;
        }
        default: break;
      }
      ScrollTo(panel, *state, position);
      return 0;
    }
    case WM_MOUSEWHEEL: {
      const int notches = GET_WHEEL_DELTA_WPARAM(wParam) / WHEEL_DELTA;
      ScrollTo(panel, *state, state->scroll - notches * 3 * ScalePixels(16));
      return 0;
    }
    default:
      return DefWindowProcW(panel, message, wParam, lParam);
  }
}

LRESULT CALLBACK PanelProc(HWND panel, UINT message, WPARAM wParam, LPARAM lParam) {
  return Guarded<LRESULT>(0, [&] { return PanelProcImpl(panel, message, wParam, lParam); });
}

}  // namespace

bool RegisterStatusPanelClass() {
  WNDCLASSEXW cls{};
  cls.cbSize = sizeof cls;
  if (GetClassInfoExW(AppletInstance(), kStatusPanelClass, &cls)) return true;
  cls.style = CS_HREDRAW | CS_VREDRAW;
  cls.lpfnWndProc = &PanelProc;
  cls.hInstance = AppletInstance();
  cls.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // the arrow
  cls.lpszClassName = kStatusPanelClass;
  return RegisterClassExW(&cls) != 0;
}

void UnregisterStatusPanelClass() { UnregisterClassW(kStatusPanelClass, AppletInstance()); }

void ShowStatusPanel(HWND panel, const StatusPageView* view) {
  PanelState* state = StateOf(panel);
  if (state == nullptr) return;
  state->view = view;
  UpdateScroll(panel, *state);
  InvalidateRect(panel, nullptr, FALSE);
}

}  // namespace qw
