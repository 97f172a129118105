// Without a system register of file types, a built-in table of the common
// extensions answers.
#include "platform/ascii_text.h"
#include "platform/content_type.h"

#include <algorithm>
#include <iterator>
#include <string_view>

namespace qw {
namespace {

struct ExtensionType {
  std::string_view extension;  // lower case, with the dot; sorted
  std::string_view type;
};

// Sorted by extension for binary search.
constexpr ExtensionType kTypes[] = {
    {".7z", "application/x-7z-compressed"},
    {".aac", "audio/aac"},
    {".avi", "video/x-msvideo"},
    {".bat", "application/x-msdownload"},
    {".bmp", "image/bmp"},
    {".bz2", "application/x-bzip2"},
    {".cab", "application/vnd.ms-cab-compressed"},
    {".css", "text/css"},
    {".csv", "text/csv"},
    {".dll", "application/x-msdownload"},
    {".doc", "application/msword"},
    {".docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
    {".eml", "message/rfc822"},
    {".exe", "application/x-msdownload"},
    {".gif", "image/gif"},
    {".gz", "application/x-gzip"},
    {".htm", "text/html"},
    {".html", "text/html"},
    {".ico", "image/x-icon"},
    {".ini", "text/plain"},
    {".jpe", "image/jpeg"},
    {".jpeg", "image/jpeg"},
    {".jpg", "image/jpeg"},
    {".js", "application/javascript"},
    {".json", "application/json"},
    {".log", "text/plain"},
    {".lzh", "application/x-lzh"},
    {".mid", "audio/mid"},
    {".midi", "audio/mid"},
    {".mov", "video/quicktime"},
    {".mp3", "audio/mpeg"},
    {".mp4", "video/mp4"},
    {".mpeg", "video/mpeg"},
    {".mpg", "video/mpeg"},
    {".msi", "application/x-msi"},
    {".ogg", "audio/ogg"},
    {".pdf", "application/pdf"},
    {".png", "image/png"},
    {".ppt", "application/vnd.ms-powerpoint"},
    {".pptx", "application/vnd.openxmlformats-officedocument.presentationml.presentation"},
    {".ps", "application/postscript"},
    {".rtf", "application/rtf"},
    {".svg", "image/svg+xml"},
    {".tar", "application/x-tar"},
    {".tgz", "application/x-compressed"},
    {".tif", "image/tiff"},
    {".tiff", "image/tiff"},
    {".txt", "text/plain"},
    {".wav", "audio/wav"},
    {".wma", "audio/x-ms-wma"},
    {".wmv", "video/x-ms-wmv"},
    {".xls", "application/vnd.ms-excel"},
    {".xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
    {".xml", "text/xml"},
    {".zip", "application/x-zip-compressed"},
};

}  // namespace

std::string RegisteredContentType(const std::string& extension) {
  const std::string key = AsciiLowerCase(extension);
  auto it = std::lower_bound(std::begin(kTypes), std::end(kTypes), key,
                             [](const ExtensionType& e, const std::string& k) { return e.extension < k; });
  if (it == std::end(kTypes) || it->extension != key) return {};
  return std::string(it->type);
}

}  // namespace qw
