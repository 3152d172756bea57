// shared_signal_handler, the chain iterator and forward_to_previous_action are
// crash-path code: no allocation, no locks, no logging; the lists are walked
// under their reader counts and their nodes are never freed at exit.
#include "BBCrashSignalHandler.h"

#include "bbcrash_async_list.h"
#include "bbcrash_error_object.h"
#include "platform/mach/thread_syscall.h"

#include <cerrno>
#include <mutex>
#include <sys/mman.h>
#include <unistd.h>

namespace {

struct CallbackEntry {
    bbcrash_signal_handler_callback_func callback;
    void *context;
};

struct PreviousAction {
    int signo;
    struct sigaction action;
};

using CallbackList = async_list<CallbackEntry>;
using PreviousActionList = async_list<PreviousAction>;

// Made before main runs and never destroyed: a handler may walk them while
// the process exits.
CallbackList *const callbacks = new CallbackList();
PreviousActionList *const previousActions = new PreviousActionList();

std::mutex registrationMutex;

bool iterate(int signo, siginfo_t *info, ucontext_t *uap, void *current) {
    callbacks->set_reading(true);
    CallbackList::node *node = callbacks->next(static_cast<CallbackList::node *>(current));
    if (node == nullptr) {
        callbacks->set_reading(false);
        return false;
    }
    bbcrash_signal_handler_callback next{iterate, node};
    bool handled =
        node->value.callback(signo, info, uap, node->value.context, node->next.load() != nullptr ? &next : nullptr);
    callbacks->set_reading(false);
    return handled;
}

bool forward_to_previous_action(int signo, siginfo_t *info, ucontext_t *uap, void *,
                                bbcrash_signal_handler_callback *next) {
    if (next != nullptr && bbcrash_signal_handler_forward(next, signo, info, uap)) {
        return true;
    }
    bool handled = false;
    previousActions->set_reading(true);
    for (PreviousActionList::node *n = previousActions->next(nullptr); n != nullptr; n = previousActions->next(n)) {
        if (n->value.signo != signo) {
            continue;
        }
        const struct sigaction &action = n->value.action;
        if (action.sa_flags & SA_SIGINFO) {
            action.sa_sigaction(signo, info, uap);
            handled = true;
        } else if (action.sa_handler == SIG_IGN) {
            // Ignoring a fault the kernel raised would only re-run the
            // faulting instruction forever.
            handled = info == nullptr || info->si_code <= 0;
        } else if (action.sa_handler == SIG_DFL) {
            handled = false;
        } else {
            action.sa_handler(signo);
            handled = true;
        }
        break;
    }
    previousActions->set_reading(false);
    return handled;
}

void shared_signal_handler(int signo, siginfo_t *info, void *uap) {
    platform::mach::detail::endIfSteppingPastFault();
    int savedErrno = errno;
    if (!iterate(signo, info, static_cast<ucontext_t *>(uap), nullptr)) {
        // Nothing handled it: the process dies of it here (as the first
        // process of a PID namespace, a fault by faulting again).
        platform::mach::detail::endWithSignal(signo, info, uap, shared_signal_handler);
    }
    errno = savedErrno;
}

bool hasPreviousAction(int signo) {
    bool found = false;
    previousActions->set_reading(true);
    for (PreviousActionList::node *n = previousActions->next(nullptr); n != nullptr; n = previousActions->next(n)) {
        if (n->value.signo == signo) {
            found = true;
            break;
        }
    }
    previousActions->set_reading(false);
    return found;
}

template <typename V>
void removeAll(async_list<V> *list) {
    for (auto *n = list->next(nullptr); n != nullptr; n = list->next(nullptr)) {
        list->remove(n);
    }
}

}  // namespace

bool bbcrash_signal_handler_forward(bbcrash_signal_handler_callback *next, int signo, siginfo_t *info,
                                    ucontext_t *uap) {
    return next->iterator(signo, info, uap, next->current);
}

bool BBCrashSignalHandler::mapAlternateStack(stack_t *stack) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t size = page + kAlternateStackSize;
    void *mapping = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (mapping == MAP_FAILED) {
        return false;
    }
    if (mprotect(mapping, page, PROT_NONE) != 0) {
        munmap(mapping, size);
        return false;
    }
    stack->ss_sp = static_cast<char *>(mapping) + page;
    stack->ss_size = kAlternateStackSize;
    stack->ss_flags = 0;
    return true;
}

void BBCrashSignalHandler::unmapAlternateStack(const stack_t &stack) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    munmap(static_cast<char *>(stack.ss_sp) - page, page + stack.ss_size);
}

std::shared_ptr<BBCrashSignalHandler> BBCrashSignalHandler::sharedHandler() {
    // Never destroyed: its stack may be in use by a handler while the
    // process exits.
    static std::shared_ptr<BBCrashSignalHandler> shared = [] {
        auto *handler = new BBCrashSignalHandler();
        if (!BBCrashSignalHandler::mapAlternateStack(&handler->sigstk_)) {
            delete handler;
            return std::shared_ptr<BBCrashSignalHandler>();
        }
        return std::shared_ptr<BBCrashSignalHandler>(handler, [](BBCrashSignalHandler *) {});
    }();
    return shared;
}

bool BBCrashSignalHandler::installAlternateStack(platform::ErrorPtr *error) {
    stack_t current{};
    if (sigaltstack(nullptr, &current) != 0) {
        bbcrash_populate_posix_error(error, errno, "Could not initialize alternative signal stack");
        return false;
    }
    if (!(current.ss_flags & SS_DISABLE)) {
        return true;  // the thread has its own stack: keep it
    }
    // One stack per thread: two threads crashing at once must not share one.
    stack_t stack = sigstk_;
    if (sigstkInUse_ && !BBCrashSignalHandler::mapAlternateStack(&stack)) {
        bbcrash_populate_posix_error(error, ENOMEM, "Could not initialize alternative signal stack");
        return false;
    }
    if (sigaltstack(&stack, nullptr) != 0) {
        bbcrash_populate_posix_error(error, errno, "Could not initialize alternative signal stack");
        return false;
    }
    if (stack.ss_sp == sigstk_.ss_sp) {
        sigstkInUse_ = true;
    }
    return true;
}

bool BBCrashSignalHandler::registerHandlerWithSignal(int signo, platform::ErrorPtr *error) {
    std::lock_guard<std::mutex> lock(registrationMutex);
    if (!installAlternateStack(error)) {
        return false;
    }
    callbacks->append({forward_to_previous_action, nullptr});
    if (hasPreviousAction(signo)) {
        return true;
    }
    struct sigaction action {};
    action.sa_sigaction = shared_signal_handler;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    PreviousAction previous{signo, {}};
    if (sigaction(signo, &action, &previous.action) != 0) {
        bbcrash_populate_posix_error(error, errno, "Failed to register signal handler");
        return false;
    }
    // After resetHandlers the action replaced may be this handler itself;
    // forwarding to it would recurse until the stack ran out.
    if (!((previous.action.sa_flags & SA_SIGINFO) && previous.action.sa_sigaction == shared_signal_handler)) {
        previousActions->append(previous);
    }
    return true;
}

bool BBCrashSignalHandler::registerHandlerForSignal(int signo, bbcrash_signal_handler_callback_func callback,
                                                    void *context, platform::ErrorPtr *error) {
    if (!registerHandlerWithSignal(signo, error)) {
        return false;
    }
    std::lock_guard<std::mutex> lock(registrationMutex);
    callbacks->prepend({callback, context});
    return true;
}

void BBCrashSignalHandler::resetHandlers() {
    std::lock_guard<std::mutex> lock(registrationMutex);
    removeAll(callbacks);
    removeAll(previousActions);
}
