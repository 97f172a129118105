#include "corelib/win32/ui_font.h"

#include <cwchar>

#include "corelib/win32/win_text.h"

namespace qw {

namespace {

int CALLBACK FoundFace(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM found) {
  *reinterpret_cast<bool*>(found) = true;
  return 0;
}

bool HasFace(HDC dc, const std::wstring& face) {
  LOGFONTW lf{};
  lf.lfCharSet = DEFAULT_CHARSET;
  wcsncpy(lf.lfFaceName, face.c_str(), LF_FACESIZE - 1);
  bool found = false;
  EnumFontFamiliesExW(dc, &lf, FoundFace, reinterpret_cast<LPARAM>(&found), 0);
  return found;
}

}  // namespace

std::string DialogFontFace() {
  static const char* const kFaces[] = {"ＭＳ Ｐゴシック", "MS PGothic", "Yu Gothic UI",
                                       "Meiryo UI", "MS UI Gothic", "ＭＳ ゴシック"};
  HDC dc = GetDC(nullptr);
  std::string chosen;
  for (const char* face : kFaces) {
    if (HasFace(dc, Wide(face))) {
      chosen = face;
      break;
    }
  }
  ReleaseDC(nullptr, dc);
  // Empty: the font mapper picks the system's font for the Shift-JIS set.
  return chosen;
}

HFONT CreateDialogFont(int points, bool bold) {
  static const std::wstring face = Wide(DialogFontFace());
  HDC dc = GetDC(nullptr);
  int height = -MulDiv(points, GetDeviceCaps(dc, LOGPIXELSY), 72);
  ReleaseDC(nullptr, dc);
  return CreateFontW(height, 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE,
                     SHIFTJIS_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                     DEFAULT_PITCH | FF_DONTCARE, face.c_str());
}

namespace {
BOOL CALLBACK SetChildFont(HWND child, LPARAM font) {
  SendMessageW(child, WM_SETFONT, static_cast<WPARAM>(font), TRUE);
  return TRUE;
}
}  // namespace

void ApplyFont(HWND window, HFONT font) {
  SendMessageW(window, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  EnumChildWindows(window, SetChildFont, reinterpret_cast<LPARAM>(font));
}

}  // namespace qw
