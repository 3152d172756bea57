#pragma once
// Delivery of hardware faults as Mach exceptions, as the kernel does it.
//
// While an exception port of the task or of any thread covers a type, this
// layer owns the host's handlers of the signals of that type (bad access:
// SIGSEGV and SIGBUS; bad instruction: SIGILL; arithmetic: SIGFPE;
// breakpoint: SIGTRAP), installed on the alternate signal stack. A thread
// that faults saves its context, sends the exception to its own thread's
// port, then to the task's, and waits for the reply, parked inside the
// handler. A success reply lets the faulting instruction run again (with the
// state a state behaviour returned, or thread_set_state gave); anything else
// runs the disposition in force when the layer took the signal over: a
// handler function is called, and the default action or "ignore" is reset to
// the default and the process dies of the signal, sent to the thread again,
// whatever the faulting instruction would do if it ran again (as the first
// process of a PID namespace, the fault comes back; see endWithSignal).
//
// Signals sent by a process (si_code <= 0) are not exceptions: they go to
// the previous disposition directly. Every wait is bounded: a handler that
// never answers (kExceptionReplyTimeoutMs) counts as a failure, and a thread
// that faults while it is itself the receiver of its handler's port does not
// wait for itself.
//
// Crash path: the handler allocates nothing, and takes only the space lock
// with a bound.
#include "platform/mach/exception_types.h"
#include "platform/mach/thread_state.h"

namespace platform::mach {

// The fault context of a thread parked in delivery. False when the thread is
// not waiting for an exception reply.
bool exception_parked_state(thread_t thread, x86_thread_state64_t *state, x86_exception_state64_t *exception);
// Replaces the general registers (and rip, rflags) a parked thread resumes
// with when its handler answers success. False when it is not parked.
bool exception_parked_set_state(thread_t thread, const x86_thread_state64_t *state);

namespace detail {
// The exception tables changed: takes over or gives back the host's signal
// handlers for the types now covered. Not on the crash path.
void updateExceptionDelivery(exception_mask_t covered);
}  // namespace detail

}  // namespace platform::mach
