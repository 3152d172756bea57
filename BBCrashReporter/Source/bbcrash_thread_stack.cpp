#include "bbcrash_thread_stack.h"

#include "BBCrashSignalHandler.h"
#include "platform/mach/signal_translation.h"
#include "platform/mach/thread_suspend.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <dlfcn.h>
#include <initializer_list>
#include <pthread.h>

// A sanitizer's pthread_create interceptor, where its runtime has one. A
// runtime linked into the executable (clang's) defines pthread_create weakly
// in the executable itself, where RTLD_NEXT would skip it.
extern "C" int __interceptor_pthread_create(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *)
    __attribute__((weak));

namespace {

using PthreadCreate = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);

std::atomic<PthreadCreate> nextCreate{nullptr};
std::atomic<bool> enabled{false};

// Each thread's stack of ours (its ss_sp), freed by the key's destructor.
pthread_once_t keyOnce = PTHREAD_ONCE_INIT;
pthread_key_t stackKey;
std::atomic<bool> keyMade{false};

// The pthread_create after the program's: a sanitizer's interceptor, which
// hands on to the C library's, or the C library's.
PthreadCreate nextPthreadCreate() {
    PthreadCreate next = nextCreate.load();
    if (next == nullptr) {
        next = __interceptor_pthread_create != nullptr
                   ? __interceptor_pthread_create
                   : reinterpret_cast<PthreadCreate>(dlsym(RTLD_NEXT, "pthread_create"));
        nextCreate.store(next);
    }
    return next;
}

stack_t stackAt(void *top) {
    stack_t stack{};
    stack.ss_sp = top;
    stack.ss_size = BBCrashSignalHandler::kAlternateStackSize;
    return stack;
}

// The thread is ending. A stack that is still the thread's alternate stack is
// switched off first; one the thread replaced with its own is simply freed.
void releaseStack(void *top) {
    stack_t current{};
    if (sigaltstack(nullptr, &current) == 0 && current.ss_sp == top && !(current.ss_flags & SS_DISABLE)) {
        if (current.ss_flags & SS_ONSTACK) {
            return;  // a handler runs on it (cannot happen in a destructor): keep it mapped
        }
        stack_t off{};
        off.ss_flags = SS_DISABLE;
        sigaltstack(&off, nullptr);
    }
    BBCrashSignalHandler::unmapAlternateStack(stackAt(top));
}

void makeKey() {
    if (pthread_key_create(&stackKey, releaseStack) == 0) {
        keyMade.store(true);
    }
}

struct StartRoutine {
    void *(*routine)(void *);
    void *argument;
    bool enabled;  // whether the engine was enabled when the thread was made
};

// The fault signals, and with `more` the other signals a report needs.
void unblockFaultSignals(std::initializer_list<int> more = {}) {
    sigset_t set;
    sigemptyset(&set);
    for (int signo : platform::mach::kHostFaultSignals) {
        sigaddset(&set, signo);
    }
    for (int signo : more) {
        sigaddset(&set, signo);
    }
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

void *startWithAlternateStack(void *context) {
    const StartRoutine start = *static_cast<StartRoutine *>(context);
    free(context);
    if (start.enabled) {
        bbcrash_thread_unblock_crash_signals();
        bbcrash_thread_stack_install();
    } else {
        unblockFaultSignals();
    }
    return start.routine(start.argument);
}

// At load, before the program's own constructors and main: the loading
// thread drops an inherited block of the fault signals, so that every thread
// started from it later (the platform layer's queues among them) inherits
// the unblocked mask.
__attribute__((constructor(101))) void unblockFaultSignalsAtLoad() { unblockFaultSignals(); }

}  // namespace

void bbcrash_thread_unblock_crash_signals() {
    unblockFaultSignals({SIGTRAP, platform::mach::thread_rendezvous_signal()});
}

bool bbcrash_thread_stack_enable() {
    // Its handler first: the signal is unblocked from now on, and a stray one
    // must find the handler, not the default action that ends the process.
    platform::mach::thread_rendezvous_install();
    bbcrash_thread_unblock_crash_signals();
    nextPthreadCreate();
    pthread_once(&keyOnce, makeKey);
    if (!keyMade.load()) {
        return false;
    }
    enabled.store(true);
    return true;
}

bool bbcrash_thread_stack_install() {
    stack_t current{};
    if (sigaltstack(nullptr, &current) != 0) {
        return false;
    }
    if (!(current.ss_flags & SS_DISABLE)) {
        return true;  // the thread's own (or a sanitizer's): keep it
    }
    if (!keyMade.load()) {
        return false;  // it could never be freed
    }
    stack_t stack{};
    if (!BBCrashSignalHandler::mapAlternateStack(&stack)) {
        return false;
    }
    if (pthread_setspecific(stackKey, stack.ss_sp) != 0) {
        BBCrashSignalHandler::unmapAlternateStack(stack);
        return false;
    }
    if (sigaltstack(&stack, nullptr) != 0) {
        pthread_setspecific(stackKey, nullptr);
        BBCrashSignalHandler::unmapAlternateStack(stack);
        return false;
    }
    return true;
}

// The program's pthread_create (see the header): the new thread starts in
// startWithAlternateStack.
extern "C" int pthread_create(pthread_t *thread, const pthread_attr_t *attributes, void *(*routine)(void *),
                              void *argument) noexcept {
    const PthreadCreate next = nextPthreadCreate();
    if (next == nullptr) {
        return EAGAIN;
    }
    auto *start = static_cast<StartRoutine *>(malloc(sizeof(StartRoutine)));
    if (start == nullptr) {
        return next(thread, attributes, routine, argument);
    }
    *start = {routine, argument, enabled.load()};
    const int result = next(thread, attributes, startWithAlternateStack, start);
    if (result != 0) {
        free(start);
    }
    return result;
}
