// The JSON reader takes any bytes within its bounds: what it accepts the
// writer writes back, and that text reads back to the same value and is
// written the same way again; every accepted string is UTF-8.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/json.h"

namespace {

void CheckStrings(const qw::JsonValue& value) {
  if (value.IsString() && !qw::IsValidUtf8(value.Text())) std::abort();
  for (const qw::JsonValue& item : value.Items()) CheckStrings(item);
  for (const qw::JsonValue::Member& member : value.Members()) {
    if (!qw::IsValidUtf8(member.first)) std::abort();
    CheckStrings(member.second);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  qw::JsonLimits limits;
  limits.maxDepth = 8;
  qw::Result<qw::JsonValue> parsed = qw::ParseJson(text, limits);
  if (!parsed) {
    if (parsed.status().What() != "JSON") std::abort();
    return 0;
  }
  CheckStrings(*parsed);
  qw::Result<std::string> written = qw::WriteJson(*parsed);
  if (!written) std::abort();
  if (written->size() > text.size() * 6 + 2) std::abort();
  qw::Result<qw::JsonValue> again = qw::ParseJson(*written, qw::JsonLimits{written->size(), 8});
  if (!again) std::abort();
  qw::Result<std::string> rewritten = qw::WriteJson(*again);
  if (!rewritten || *rewritten != *written) std::abort();
  return 0;
}
