// The platform's register of file types.
#pragma once

#include <string>

namespace qw {

// The MIME type registered for a file extension given with its dot (".txt"),
// or empty when none is known. Windows: the value "Content Type" of the key
// named after the extension under HKEY_CLASSES_ROOT. POSIX: a built-in table
// of common extensions, ASCII case ignored.
std::string RegisteredContentType(const std::string& extension);

}  // namespace qw
