// Types shared by the mail module's message and its SMTP client.
#pragma once

#include <cstdint>
#include <functional>

namespace qw {

// How a body is meant to be transfer-encoded. Stored values 0 to 3, in this
// order.
enum TEncodingType : int {
  etBase64 = 0,
  etQuotedPrintable = 1,
  etNoEncoding = 2,
  et7Bit = 3,
};

// Progress notification: `Sender` is the object that reports (the message
// while it parses a text, the SMTP client while it sends one), `Total` the
// whole amount of work in bytes and `Current` how far it has come.
using TProgressEvent =
    std::function<void(void* Sender, int32_t Total, int32_t Current)>;

}  // namespace qw
