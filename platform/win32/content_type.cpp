// The registry's file types: HKEY_CLASSES_ROOT\<extension>, value "Content Type".
#include "platform/content_type.h"

#include <windows.h>

namespace qw {

std::string RegisteredContentType(const std::string& extension) {
  if (extension.empty()) return {};
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, extension.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
    return {};
  std::string result;
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExA(key, "Content Type", nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
      (type == REG_SZ || type == REG_EXPAND_SZ) && size > 0) {
    std::string buffer(size, '\0');
    if (RegQueryValueExA(key, "Content Type", nullptr, &type,
                         reinterpret_cast<BYTE*>(buffer.data()), &size) == ERROR_SUCCESS) {
      buffer.resize(size <= buffer.size() ? size : buffer.size());
      // The stored string may or may not carry its terminating zero.
      std::size_t end = buffer.find('\0');
      if (end != std::string::npos) buffer.resize(end);
      result = buffer;
    }
  }
  RegCloseKey(key);
  return result;
}

}  // namespace qw
