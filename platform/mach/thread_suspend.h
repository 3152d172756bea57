#pragma once
// Suspension of other threads of this task and the register state of a
// suspended thread.
//
// Linux has no way to stop one thread of a process from another, so a
// suspension is a rendezvous: thread_suspend sends the target the reserved
// real-time signal (thread_rendezvous_signal()) with tgkill; its handler
// saves the interrupted context, reports in and waits on a futex, with every
// signal blocked, until thread_resume lets it go. The interrupted context is
// what thread_get_state returns.
//
// Every wait of the suspending side is bounded: a target that does not report
// in within kThreadSuspendTimeoutMs (stuck in the kernel, exited meanwhile),
// or within kThreadSuspendBlockedTimeoutMs while it blocks the signal, is not
// suspended and has no state; the caller reports it without one. A signal that arrives after its request was given up
// finds no request and returns at once, so a late answer never parks a thread.
//
// The parked thread itself waits without a bound: that wait is the
// suspension, and it ends with thread_resume (or with the process).
//
// All of this is crash-path safe: no allocation, no locks (the bookkeeping is
// a fixed table of atomics), raw system calls, small stack frames. The handler
// is installed by thread_rendezvous_install or on first use, and put back by a
// later suspension if something replaced it (the signal's default action
// would end the process); a signal that finds no request returns at once. While it
// waits for an answer the suspending thread blocks the signal itself, so two
// threads suspending each other at once time out instead of parking each
// other for good. A thread's suspensions nest (one resume per suspend). A
// thread should be suspended and resumed by one controlling thread at a time;
// two controllers racing to suspend the same thread may see one time out.
#include "platform/mach/mach_types.h"
#include "platform/mach/thread_state.h"

namespace platform::mach {

// How long thread_suspend waits for the target to report in.
constexpr int kThreadSuspendTimeoutMs = 250;

// How long it waits for a target that has the signal blocked: long enough
// for one that blocks it for a moment (while it starts a thread, say) to
// unblock it; one that still blocks it then is given up.
constexpr int kThreadSuspendBlockedTimeoutMs = 20;

// How many threads can be suspended at the same time.
constexpr unsigned kMaxSuspendedThreads = 1024;

// Offset of the rendezvous signal from SIGRTMIN; the signal is reserved for
// this layer and must not be used by anything else in the process.
constexpr int kThreadRendezvousSignalOffset = 7;

// The rendezvous signal: SIGRTMIN + kThreadRendezvousSignalOffset.
int thread_rendezvous_signal();

// Installs the rendezvous signal's handler unless it is in place, so that a
// signal that arrives before any suspension does no harm. False when it
// cannot be installed.
bool thread_rendezvous_install();

// Suspends `thread`, which must be another thread of this task.
// KERN_SUCCESS: the thread is parked and its state can be read (a thread that
// is already suspended gets one more suspension). KERN_OPERATION_TIMED_OUT:
// the thread did not answer in time and runs on, without state.
// KERN_INVALID_ARGUMENT: the calling thread itself, or no such thread.
// KERN_RESOURCE_SHORTAGE: kMaxSuspendedThreads are suspended already.
// KERN_FAILURE: the handler could not be installed or the signal not sent.
kern_return_t thread_suspend(thread_t thread);

// Undoes one suspension; the last one lets the thread run on from where it
// was stopped. KERN_FAILURE when the thread is not suspended.
kern_return_t thread_resume(thread_t thread);

// Copies the saved state of a suspended thread. Flavors: x86_THREAD_STATE
// (header with x86_THREAD_STATE64 and the 64-bit block), x86_THREAD_STATE64,
// x86_EXCEPTION_STATE (header with x86_EXCEPTION_STATE64) and
// x86_EXCEPTION_STATE64. `*count` holds the buffer's size in words on entry
// and the flavor's count on return.
// KERN_INVALID_ARGUMENT: another flavor, a buffer too small, a null pointer,
// or the calling thread. KERN_FAILURE: the thread is not suspended (or did
// not answer its suspension), so there is no state.
// A thread parked in exception delivery (exception_delivery.h) answers with
// its fault context, suspended or not.
kern_return_t thread_get_state(thread_t thread, thread_state_flavor_t flavor, thread_state_t state,
                               mach_msg_type_number_t *count);

// Copies one flavor of a register state into `state`, as thread_get_state
// gives it (same flavors, same rule on `*count`). KERN_INVALID_ARGUMENT for
// another flavor or a buffer too small. Async-signal-safe.
kern_return_t thread_state_copy_flavor(const x86_thread_state64_t &registers, const x86_exception_state64_t &exception,
                                       thread_state_flavor_t flavor, thread_state_t state,
                                       mach_msg_type_number_t *count);

// Replaces the registers a thread parked in exception delivery resumes with
// when its handler answers success (x86_THREAD_STATE or x86_THREAD_STATE64).
// KERN_FAILURE when the thread is not parked there; KERN_INVALID_ARGUMENT
// for another flavor or a count too small.
kern_return_t thread_set_state(thread_t thread, thread_state_flavor_t flavor, thread_state_t state,
                               mach_msg_type_number_t count);

}  // namespace platform::mach
