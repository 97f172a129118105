// LoadText of arbitrary bytes, then Rebuild and FullText. Checks that the
// parse ends (no crash, no hang, no out-of-bounds access), that the part tree
// is consistent, that a parse with a progress handler builds the same tree as
// one without, and that the rebuilt text states its own body length (or is
// refused for a header line no folding brings within 998 bytes).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>

#include "mail/encodings.h"
#include "mail/mail_message.h"
#include "platform/system_info.h"
#include "tests/fakes/fixed_system_info.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

void CheckTree(const qw::TMailPart& part, const qw::TMailMessage& msg) {
  Check(part.OwnerMessage() == &msg);
  for (const qw::TMailPart& sub : part.SubParts()) {
    Check(sub.ParentPart() == &part);
    CheckTree(sub, msg);
  }
}

bool SameTree(const qw::TMailPart& a, const qw::TMailPart& b) {
  if (a.HeaderLines != b.HeaderLines || a.BodyStream != b.BodyStream ||
      a.ContentStream != b.ContentStream || a.ParentBoundary != b.ParentBoundary ||
      a.SubParts().Count() != b.SubParts().Count()) {
    return false;
  }
  for (int i = 0; i < a.SubParts().Count(); ++i) {
    if (!SameTree(a.SubParts()[i], b.SubParts()[i])) return false;
  }
  return true;
}

// Parses `text`; false when the parse raised the uudecoding error.
bool Parse(qw::TMailMessage& msg, std::string_view text, bool header) {
  try {
    msg.ParseText(text, header);
    return true;
  } catch (const qw::UUDecodeError&) {
    return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const bool header = size == 0 || (data[0] & 1) == 0;
  qw::FixedSystemInfo system;

  qw::TMailMessage quiet(system);
  quiet.SetRandomSource([] { return 0x1234ABCDu; });
  const bool quietOk = Parse(quiet, text, header);
  Check(quiet.NeedsRebuild());
  CheckTree(quiet, quiet);

  qw::TMailMessage noisy(system);
  noisy.SetRandomSource([] { return 0x1234ABCDu; });
  noisy.SetMessagePump([] {});
  int32_t last = -1;
  noisy.OnProgress = [&](void* sender, int32_t total, int32_t current) {
    Check(sender == &noisy);
    Check(total == static_cast<int32_t>(size));
    Check(current >= last && current <= total);
    last = current;
  };
  const bool noisyOk = Parse(noisy, text, header);
  Check(quietOk == noisyOk);
  Check(SameTree(quiet, noisy));
  if (noisyOk) Check(last == static_cast<int32_t>(size));

  quiet.Rebuild();
  Check(!quiet.NeedsRebuild());
  Check(quiet.HeaderValue("Content-Length") == std::to_string(quiet.BodyStream.size()));
  // FullText refuses a header that cannot be folded into lines of at most
  // 998 bytes, which needs a header line longer than that.
  std::string full;
  try {
    full = quiet.FullText();
  } catch (const std::length_error&) {
    bool longLine = false;
    for (const auto& line : quiet.HeaderLines) longLine = longLine || line.size() > 998;
    Check(longLine);
  }
  if (!full.empty()) {
    Check(full.size() >= quiet.BodyStream.size() + 2);
    Check(full.compare(full.size() - quiet.BodyStream.size(), std::string::npos,
                       quiet.BodyStream) == 0);
  }

  // Recipients read from whatever the header holds keep their lists paired.
  for (qw::TMailRecipients* r : {&quiet.ToRecipients(), &quiet.CcRecipients()}) {
    int n = r->Count();
    Check(n == static_cast<int>(r->Names().size()));
    Check(n == static_cast<int>(r->Addresses().size()));
    for (const auto& a : r->Addresses()) Check(!a.empty());
    (void)r->AddressText();
  }
  (void)quiet.SenderAddress();
  (void)quiet.HeaderAddress("To", 1);

  // The text produced parses again.
  qw::TMailMessage again(system);
  again.SetRandomSource([] { return 0x1234ABCDu; });
  Parse(again, full, true);
  return 0;
}
