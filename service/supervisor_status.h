// The one-line status a host gives its supervisor after each check (systemd's
// STATUS=, shown by `systemctl status`): when the check ran, how it came out,
// how many drives are below their threshold and what the alert mail did.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "common/check_state.h"

namespace qw {

// At most this many bytes of an error text go into the line.
inline constexpr size_t kSupervisorErrorBytes = 200;

// The line for `state`, UTF-8, without line ends. `succeeded`: the check's
// settings loaded and it ran. The error text of a failed check passes
// through `mask` (the product's secret masking), keeps its first line only
// and is cut at kSupervisorErrorBytes; nothing else quotes a text from
// outside (no server reply, no report, no address).
std::string SupervisorStatusLine(const CheckState& state, bool succeeded,
                                 const std::function<std::string(const std::string&)>& mask);

}  // namespace qw
