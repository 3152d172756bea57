#pragma once
// Captures the calling thread's registers as a thread state and hands it to
// a callback, on the caller's own stack. Async-signal-safe.
#include "bbcrash_async_thread_state.h"

using bbcrash_capture_callback_t = bbcrash_error_t (*)(bbcrash_async_thread_state *state, void *context);

extern "C" {

// The state describes the caller of this function: the instruction pointer is
// the return address, the stack and frame pointers and the preserved
// registers are the caller's. Returns the callback's result.
bbcrash_error_t bbcrash_capture_current_thread(bbcrash_capture_callback_t callback, void *context);

// Second half of the capture (called by the assembly entry): turns the
// machine context into a thread state and calls the callback.
bbcrash_error_t bbcrash_capture_deliver(const platform::mach::x86_mcontext64_t *mctx,
                                        bbcrash_capture_callback_t callback, void *context);
}
