#pragma once
// A signal's saved context in the 64-bit register layouts of the crash report.
#include <ucontext.h>

#include "platform/mach/thread_state.h"

namespace platform::mach {

// Fills `state` and `exception` from the context a signal handler received.
// The general registers map one to one; cs, gs and fs are the three low
// 16-bit fields of the packed segment word. trapno, err and faultvaddr are
// the kernel's trap number, error code and fault address (for a signal that
// no fault raised they hold the thread's last fault, or zero). cpu is 0: the
// context does not record it. Async-signal-safe.
void thread_state_from_ucontext(const ucontext_t *context, x86_thread_state64_t *state,
                                x86_exception_state64_t *exception);

// The same, into a 64-bit machine context (exception block, then registers).
inline void mcontext64_from_ucontext(const ucontext_t *context, x86_mcontext64_t *mcontext) {
    thread_state_from_ucontext(context, &mcontext->ss, &mcontext->es);
}

}  // namespace platform::mach
