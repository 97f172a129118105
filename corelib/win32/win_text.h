// Shift-JIS texts at the Windows edge: converted to UTF-16 for the W entry
// points, read back from controls as Shift-JIS.
#pragma once

#include <windows.h>

#include <string>

namespace qw {

std::wstring Wide(const std::string& sjis);
std::string Narrow(const std::wstring& wide);

// Window and control texts.
void SetText(HWND window, const std::string& sjis);
std::string GetText(HWND window);
void SetItemText(HWND dialog, int id, const std::string& sjis);
std::string GetItemText(HWND dialog, int id);

// A standard message box without an owner window, captioned "ドライブ番人".
int ShowAppletMessage(const std::string& text, UINT type);

}  // namespace qw
