#include "corelib/win32/win_text.h"

#include "platform/text_codec.h"

namespace qw {

std::wstring Wide(const std::string& sjis) {
  std::u16string u16 = SjisToUtf16(sjis);
  return std::wstring(u16.begin(), u16.end());
}

std::string Narrow(const std::wstring& wide) {
  return Utf16ToSjis(std::u16string(wide.begin(), wide.end()));
}

void SetText(HWND window, const std::string& sjis) { SetWindowTextW(window, Wide(sjis).c_str()); }

std::string GetText(HWND window) {
  int n = GetWindowTextLengthW(window);
  if (n <= 0) return std::string();
  std::wstring text(static_cast<size_t>(n) + 1, L'\0');
  int got = GetWindowTextW(window, text.data(), n + 1);
  text.resize(static_cast<size_t>(got < 0 ? 0 : got));
  return Narrow(text);
}

void SetItemText(HWND dialog, int id, const std::string& sjis) {
  SetText(GetDlgItem(dialog, id), sjis);
}

std::string GetItemText(HWND dialog, int id) { return GetText(GetDlgItem(dialog, id)); }

int ShowAppletMessage(const std::string& text, UINT type) {
  return MessageBoxW(nullptr, Wide(text).c_str(), Wide("ドライブ番人").c_str(), type);
}

}  // namespace qw
