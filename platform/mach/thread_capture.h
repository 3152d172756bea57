#pragma once
// The register state of the calling thread, as its caller sees it.
#include "platform/mach/thread_state.h"

namespace platform::mach {

extern "C" {

// Fills `state` so that it describes the point right after the call: rip is
// the return address, rsp the caller's stack pointer once the call has
// returned, and rbp, rbx, r12-r15 hold the caller's values. The argument and
// scratch registers are recorded as they were at the call (rdi is `state`).
// rflags, cs, fs and gs are the current ones. Async-signal-safe: no memory is
// touched but `state` and the call's own return slot.
void platform_mach_thread_capture_state64(x86_thread_state64_t *state);
}

}  // namespace platform::mach
