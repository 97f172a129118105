// Helpers shared by the Win32 pieces whose messages go through the thread
// loop (timers, posted tasks, socket notifications).
#pragma once

#include <windows.h>

#include <cstdint>
#include <exception>

namespace qw {

// A window procedure must not let a C++ exception cross the system's
// frames: it hands it over here, and the thread loop rethrows it on the same
// thread once DispatchMessage has returned.
void KeepDispatchError(std::exception_ptr error);

// Tests make long periods out of short chunks with this (default
// 0x7FFFFFFF, the largest period SetTimer takes).
void SetTimerChunkLimitForTesting(int64_t milliseconds);

// The module that holds this code (for window classes).
HINSTANCE ThisModule();

}  // namespace qw
