#include <iconv.h>

#include <cerrno>

#include "platform/text_codec.h"

namespace qw {
namespace {

// Converts with iconv; an invalid or incomplete sequence becomes `replacement`
// and the conversion goes on after its first byte.
std::string Convert(const char* from, const char* to, const char* data, size_t size,
                    const std::string& replacement, size_t unit) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(data, size);
  std::string out;
  out.reserve(size * 2 + 8);
  char buffer[4096];
  char* in = const_cast<char*>(data);
  size_t left = size;
  while (left > 0) {
    char* o = buffer;
    size_t room = sizeof buffer;
    size_t rc = iconv(cd, &in, &left, &o, &room);
    out.append(buffer, static_cast<size_t>(o - buffer));
    if (rc == static_cast<size_t>(-1)) {
      if (errno == E2BIG) continue;
      out += replacement;
      size_t skip = unit < left ? unit : left;
      in += skip;
      left -= skip;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  iconv_close(cd);
  return out;
}

}  // namespace

std::string SjisToUtf8(const std::string& sjis) {
  return Convert("CP932", "UTF-8", sjis.data(), sjis.size(), "\xEF\xBF\xBD", 1);
}

bool SjisToUtf8Exact(const std::string& sjis, std::string* utf8) {
  iconv_t cd = iconv_open("UTF-8", "CP932");
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::string out;
  char buffer[4096];
  char* in = const_cast<char*>(sjis.data());
  size_t left = sjis.size();
  bool ok = true;
  while (left > 0) {
    char* o = buffer;
    size_t room = sizeof buffer;
    const size_t rc = iconv(cd, &in, &left, &o, &room);
    out.append(buffer, static_cast<size_t>(o - buffer));
    if (rc == static_cast<size_t>(-1) && errno != E2BIG) {
      ok = false;  // EILSEQ or EINVAL: no character of the code page
      break;
    }
  }
  iconv_close(cd);
  if (ok) *utf8 = std::move(out);
  return ok;
}

std::string Utf8ToSjis(const std::string& utf8) {
  return Convert("UTF-8", "CP932", utf8.data(), utf8.size(), "?", 1);
}

std::u16string SjisToUtf16(const std::string& sjis) {
  std::string bytes = Convert("CP932", "UTF-16LE", sjis.data(), sjis.size(), std::string("\xFD\xFF", 2), 1);
  std::u16string out(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                   (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
  }
  return out;
}

std::string Utf16ToSjis(const std::u16string& utf16) {
  std::string bytes;
  bytes.reserve(utf16.size() * 2);
  for (char16_t c : utf16) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>(c >> 8);
  }
  return Convert("UTF-16LE", "CP932", bytes.data(), bytes.size(), "?", 2);
}

}  // namespace qw
