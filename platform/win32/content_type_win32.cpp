// The registry's file types: the value "Content Type" of the key named after
// the extension in the classes root.
#include "platform/content_type.h"

#include <windows.h>

namespace qw {
namespace {

// The "Content Type" string of `root`\`subkey`; empty when missing or empty.
std::string ReadContentType(HKEY root, const std::string& subkey) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, subkey.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return {};
  std::string result;
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExA(key, "Content Type", nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
      (type == REG_SZ || type == REG_EXPAND_SZ) && size > 0) {
    std::string buffer(size, '\0');
    if (RegQueryValueExA(key, "Content Type", nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &size) ==
        ERROR_SUCCESS) {
      if (size < buffer.size()) buffer.resize(size);
      // The stored string may or may not carry its terminating zero.
      std::size_t end = buffer.find('\0');
      if (end != std::string::npos) buffer.resize(end);
      result = buffer;
    }
  }
  RegCloseKey(key);
  return result;
}

}  // namespace

std::string RegisteredContentType(const std::string& extension) {
  if (extension.empty()) return {};
  // HKEY_CLASSES_ROOT is the user's classes over the machine's. Windows merges
  // the two views itself; reading the user's first gives the same answer
  // where the merge is missing (Wine).
  std::string type = ReadContentType(HKEY_CURRENT_USER, "Software\\Classes\\" + extension);
  if (type.empty()) type = ReadContentType(HKEY_CLASSES_ROOT, extension);
  return type;
}

}  // namespace qw
