#pragma once
// The engine's POSIX signal handlers. One shared handler function is
// installed per signal, running on an alternate signal stack so that a stack
// overflow can still be reported; it runs a chain of callbacks (the newest
// registered first) and, after them, the handlers that were installed before
// the engine's. When the chain answers "not handled" the process dies of the
// signal with its default action, sent to the thread again, whatever the
// faulting instruction would do if it ran again. Only the first process of a
// PID namespace, which outlives what it sends itself, lets a fault come back
// by returning to its instruction: the kernel forces the signal on it then,
// and if the instruction now succeeds, the single-step trap after it ends
// the process with 128 + the signal.
//
// The handler and the chain are crash-path code: no allocation, no locks
// (the lists are walked under their atomic reader counts), no logging.
// Registration allocates and locks, and runs while the process is healthy.
#include "platform/foundation/Error.h"

#include <csignal>
#include <memory>
#include <ucontext.h>

// The rest of the chain after the callback that is running; forwarding to it
// answers what the rest of the chain answers.
struct bbcrash_signal_handler_callback {
    bool (*iterator)(int signo, siginfo_t *info, ucontext_t *uap, void *current);
    void *current;
};

// A chained callback: true when it handled the signal. `next` is null for the
// last entry.
using bbcrash_signal_handler_callback_func = bool (*)(int signo, siginfo_t *info, ucontext_t *uap, void *context,
                                                      bbcrash_signal_handler_callback *next);

// Runs the rest of the chain.
bool bbcrash_signal_handler_forward(bbcrash_signal_handler_callback *next, int signo, siginfo_t *info, ucontext_t *uap);

class BBCrashSignalHandler {
public:
    // Size of the alternate signal stack.
    static constexpr size_t kAlternateStackSize = 65536;

    // Maps an alternate stack of kAlternateStackSize bytes with an
    // inaccessible guard page below it, so that overflowing it faults
    // instead of running into other memory; false when it cannot be mapped.
    static bool mapAlternateStack(stack_t *stack);
    // Unmaps a stack mapAlternateStack made, guard page included.
    static void unmapAlternateStack(const stack_t &stack);

    // The one instance; null when its stack could not be mapped.
    static std::shared_ptr<BBCrashSignalHandler> sharedHandler();

    // Installs the shared handler for `signo` (once per signal) and puts a
    // forwarder to the previous handlers at the end of the chain (once per
    // call). The calling thread gets the alternate stack when it has none.
    // Code 1 with the POSIX error on failure.
    bool registerHandlerWithSignal(int signo, platform::ErrorPtr *error = nullptr);
    // The same, then puts {callback, context} at the front of the chain.
    bool registerHandlerForSignal(int signo, bbcrash_signal_handler_callback_func callback, void *context,
                                  platform::ErrorPtr *error = nullptr);

    // Empties the chain and the list of previous handlers; installed actions
    // stay as they are.
    static void resetHandlers();

private:
    BBCrashSignalHandler() = default;
    bool installAlternateStack(platform::ErrorPtr *error);

    stack_t sigstk_{};          // the first registering thread's; a guard page lies below it
    bool sigstkInUse_ = false;  // installed on a thread already
};
