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

// Tests post a thread message (no window) to the calling thread, and take
// it out of the queue again (true when it was still there).
void PostThreadMessageForTesting(uint32_t message);
bool TakeThreadMessageForTesting(uint32_t message);

// The module that holds this code (for window classes, dialog templates and
// resources).
HINSTANCE ThisModule();

// Registers a window class of this module; `formLook` gives it the arrow
// cursor and the button-face background of a form. True when the class
// exists afterwards (also when it was registered before).
bool RegisterWindowClass(const wchar_t* name, WNDPROC proc, bool formLook);

}  // namespace qw
