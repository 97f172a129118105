// The font of the applet's windows: "ＭＳ Ｐゴシック" 9 point with the
// Shift-JIS character set where the system has that face, otherwise the
// system's Japanese user-interface font.
#pragma once

#include <windows.h>

#include <string>

namespace qw {

// The face chosen for this system (Shift-JIS text).
std::string DialogFontFace();

// A new font of `points` at the screen's resolution; the caller deletes it.
HFONT CreateDialogFont(int points = 9, bool bold = false);

// Sends WM_SETFONT with `font` to `window` and to each of its descendants.
void ApplyFont(HWND window, HFONT font);

}  // namespace qw
