// A settings file of any bytes: the file check, the decoding of its form,
// lookups and an assignment end (no crash, no hang, no out-of-bounds access);
// the text goes back to the same bytes' meaning in its own form; a key just
// assigned reads back as written.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/ini_text.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 16)) return 0;
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  (void)qw::CheckProfileBytes(bytes).Ok();

  qw::ProfileEncoding encoding;
  const std::string text = qw::DecodeProfileBytes(bytes, &encoding);
  qw::ProfileEncoding again;
  Check(qw::DecodeProfileBytes(qw::EncodeProfileText(text, encoding), &again) == text);
  Check(again == encoding);

  for (const char* key : {"INTERVAL", "C", "MAILTO"}) {
    (void)qw::IniLookup(text, "WARNING", key);
    (void)qw::IniLookup(text, "DRIVE", key);
  }
  const std::string assigned = qw::IniAssign(text, "MAIL", "MAILTO", "ops@example.jp");
  const auto value = qw::IniLookup(assigned, "MAIL", "MAILTO");
  Check(value && *value == "ops@example.jp");
  return 0;
}
