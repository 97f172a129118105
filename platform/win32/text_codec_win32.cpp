#include <windows.h>

#include "platform/text_codec.h"

namespace qw {
namespace {

constexpr UINT kShiftJis = 932;

std::wstring ToWide(UINT codePage, const std::string& text) {
  if (text.empty()) return {};
  int n = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

// A character the code page cannot hold becomes its default character ('?'),
// never a look-alike: "best fit" would turn "josé" into "jose", another
// address that looks right.
std::string FromWide(UINT codePage, const std::wstring& text) {
  if (text.empty()) return {};
  const DWORD flags = codePage == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
  int n = WideCharToMultiByte(codePage, flags, text.data(), static_cast<int>(text.size()), nullptr, 0,
                              nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(codePage, flags, text.data(), static_cast<int>(text.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}

}  // namespace

std::string SjisToUtf8(const std::string& sjis) { return FromWide(CP_UTF8, ToWide(kShiftJis, sjis)); }
std::string Utf8ToSjis(const std::string& utf8) { return FromWide(kShiftJis, ToWide(CP_UTF8, utf8)); }

bool SjisToUtf8Exact(const std::string& sjis, std::string* utf8) {
  if (sjis.empty()) {
    utf8->clear();
    return true;
  }
  // MB_ERR_INVALID_CHARS: a byte that is no character fails the call
  // instead of becoming the default character.
  const int size = static_cast<int>(sjis.size());
  const int n = MultiByteToWideChar(kShiftJis, MB_ERR_INVALID_CHARS, sjis.data(), size, nullptr, 0);
  if (n <= 0) return false;
  std::wstring wide(static_cast<size_t>(n), L'\0');
  if (MultiByteToWideChar(kShiftJis, MB_ERR_INVALID_CHARS, sjis.data(), size, wide.data(), n) != n) return false;
  *utf8 = FromWide(CP_UTF8, wide);
  return true;
}

std::u16string SjisToUtf16(const std::string& sjis) {
  std::wstring wide = ToWide(kShiftJis, sjis);
  return std::u16string(wide.begin(), wide.end());
}

std::string Utf16ToSjis(const std::u16string& utf16) {
  return FromWide(kShiftJis, std::wstring(utf16.begin(), utf16.end()));
}

}  // namespace qw
