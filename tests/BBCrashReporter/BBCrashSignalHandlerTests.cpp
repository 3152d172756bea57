// The signal handler, each case in a forked child: the kernel is the oracle
// for what a signal does once the chain has answered.
#include "BBCrashSignalHandler.h"
#include "support/Sanitizers.h"
#include "ChildDeath.h"
#include "bbcrash_thread_stack.h"
#include "platform/mach/thread_suspend.h"
#include "thread_test_child.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <pthread.h>
#include <sstream>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

using bbcrashtest::diedOf;
using threadtest::runInChild;

namespace {

std::atomic<int> plainCalls{0};
std::string order;
siginfo_t *seenInfo = nullptr;
void *seenContext = nullptr;
int seenValue = 0;
volatile uintptr_t nullAddress = 16;  // in the unmapped first page, but not null

#if PLOTWICK_UNDER_SANITIZERS
// The address sanitizer gives every thread an alternate stack of its own.
constexpr bool kThreadsHaveStacksAlready = true;
#else
constexpr bool kThreadsHaveStacksAlready = false;
#endif

void plainHandler(int) { plainCalls++; }

void sigInfoHandler(int, siginfo_t *info, void *uap) {
    seenInfo = info;
    seenContext = uap;
    seenValue = info->si_value.sival_int;
}

bool notHandled(int, siginfo_t *, ucontext_t *, void *, bbcrash_signal_handler_callback *) { return false; }

bool forwardOnly(int signo, siginfo_t *info, ucontext_t *uap, void *, bbcrash_signal_handler_callback *next) {
    return next != nullptr && bbcrash_signal_handler_forward(next, signo, info, uap);
}

void *chainContext = nullptr;
siginfo_t *chainInfo = nullptr;

bool recordContext(int signo, siginfo_t *info, ucontext_t *uap, void *, bbcrash_signal_handler_callback *next) {
    chainContext = uap;
    chainInfo = info;
    return next != nullptr && bbcrash_signal_handler_forward(next, signo, info, uap);
}

bool recordAndForward(int signo, siginfo_t *info, ucontext_t *uap, void *context,
                      bbcrash_signal_handler_callback *next) {
    order += static_cast<const char *>(context);
    return next != nullptr && bbcrash_signal_handler_forward(next, signo, info, uap);
}

void install(int signo, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(signo, &action, nullptr);
}

TEST(BBCrashSignalHandlerTests, RegisteringTwiceInstallsOnceAndRunsThePreviousHandlerOnce) {
    auto result = runInChild([]() -> std::string {
        install(SIGUSR1, plainHandler);
        auto handler = BBCrashSignalHandler::sharedHandler();
        THREAD_CHILD_CHECK(handler != nullptr, "");
        THREAD_CHILD_CHECK(handler->registerHandlerWithSignal(SIGUSR1), "");
        THREAD_CHILD_CHECK(handler->registerHandlerWithSignal(SIGUSR1), "");
        struct sigaction current {};
        sigaction(SIGUSR1, nullptr, &current);
        THREAD_CHILD_CHECK((current.sa_flags & (SA_SIGINFO | SA_ONSTACK)) == (SA_SIGINFO | SA_ONSTACK), "");
        raise(SIGUSR1);
        THREAD_CHILD_CHECK(plainCalls.load() == 1, "");
        return "";
    });
    EXPECT_EQ(result, "");
}

TEST(BBCrashSignalHandlerTests, NewestCallbackRunsFirstThenThePreviousAction) {
    auto result = runInChild([]() -> std::string {
        install(SIGUSR1, SIG_IGN);
        auto handler = BBCrashSignalHandler::sharedHandler();
        THREAD_CHILD_CHECK(handler->registerHandlerForSignal(SIGUSR1, recordAndForward, const_cast<char *>("A")), "");
        THREAD_CHILD_CHECK(handler->registerHandlerForSignal(SIGUSR1, recordAndForward, const_cast<char *>("B")), "");
        raise(SIGUSR1);  // the ignored previous action answers "handled": no re-raise
        THREAD_CHILD_CHECK(order == "BA", "");
        return "";
    });
    EXPECT_EQ(result, "");
}

TEST(BBCrashSignalHandlerTests, APreviousSigInfoActionSeesTheSignalUnchanged) {
    auto result = runInChild([]() -> std::string {
        struct sigaction previous {};
        previous.sa_sigaction = sigInfoHandler;
        previous.sa_flags = SA_SIGINFO;
        sigemptyset(&previous.sa_mask);
        sigaction(SIGUSR2, &previous, nullptr);
        THREAD_CHILD_CHECK(
            BBCrashSignalHandler::sharedHandler()->registerHandlerForSignal(SIGUSR2, recordContext, nullptr), "");
        union sigval value {};
        value.sival_int = 42;
        sigqueue(getpid(), SIGUSR2, value);
        THREAD_CHILD_CHECK(seenValue == 42, "");
        THREAD_CHILD_CHECK(chainContext != nullptr && seenContext == chainContext, "");
        THREAD_CHILD_CHECK(seenInfo == chainInfo, "");
        return "";
    });
    EXPECT_EQ(result, "");
}

TEST(BBCrashSignalHandlerTests, UnhandledSignalsEndTheProcessWithoutLooping) {
    // Every callback answers "not handled" and the previous action is the
    // default: the signal comes back with the default action.
    auto plain = runInChild([]() -> std::string {
        BBCrashSignalHandler::sharedHandler()->registerHandlerForSignal(SIGUSR1, notHandled, nullptr);
        raise(SIGUSR1);
        return "survived";
    });
    EXPECT_TRUE(diedOf(plain, SIGUSR1)) << plain;

    // After resetHandlers the chain is empty and nothing set the default
    // action back; registering again must not take the handler itself for
    // the previous action either.
    auto reset = runInChild([]() -> std::string {
        auto handler = BBCrashSignalHandler::sharedHandler();
        handler->registerHandlerWithSignal(SIGUSR1);
        BBCrashSignalHandler::resetHandlers();
        handler->registerHandlerWithSignal(SIGUSR1);
        raise(SIGUSR1);
        return "survived";
    });
    EXPECT_TRUE(diedOf(reset, SIGUSR1)) << reset;
}

TEST(BBCrashSignalHandlerTests, AnIgnoredPreviousActionHandlesSentSignalsButNotFaults) {
    auto sent = runInChild([]() -> std::string {
        install(SIGSEGV, SIG_IGN);
        BBCrashSignalHandler::sharedHandler()->registerHandlerForSignal(SIGSEGV, forwardOnly, nullptr);
        raise(SIGSEGV);
        return "";
    });
    EXPECT_EQ(sent, "");

    auto fault = runInChild([]() -> std::string {
        install(SIGSEGV, SIG_IGN);
        BBCrashSignalHandler::sharedHandler()->registerHandlerForSignal(SIGSEGV, forwardOnly, nullptr);
        *reinterpret_cast<volatile int *>(nullAddress) = 1;
        return "";
    });
    EXPECT_TRUE(diedOf(fault, SIGSEGV)) << fault;
}

TEST(BBCrashSignalHandlerTests, AlternateStacksAreOnlyGivenToThreadsWithoutOne) {
    if (kThreadsHaveStacksAlready) GTEST_SKIP() << "the sanitizer gives every thread a stack";
    auto result = runInChild([]() -> std::string {
        auto handler = BBCrashSignalHandler::sharedHandler();
        // A thread with a stack of its own keeps it.
        static char own[65536];
        stack_t mine{own, 0, sizeof(own)};
        THREAD_CHILD_CHECK(sigaltstack(&mine, nullptr) == 0, "");
        THREAD_CHILD_CHECK(handler->registerHandlerWithSignal(SIGUSR1), "");
        stack_t now{};
        sigaltstack(nullptr, &now);
        THREAD_CHILD_CHECK(now.ss_sp == own, "");

        // Threads without one get one each, never the same.
        static stack_t first{}, second{};
        auto body = [](void *out) -> void * {
            BBCrashSignalHandler::sharedHandler()->registerHandlerWithSignal(SIGUSR1);
            sigaltstack(nullptr, static_cast<stack_t *>(out));
            return nullptr;
        };
        pthread_t a, b;
        pthread_create(&a, nullptr, body, &first);
        pthread_join(a, nullptr);
        pthread_create(&b, nullptr, body, &second);
        pthread_join(b, nullptr);
        THREAD_CHILD_CHECK(!(first.ss_flags & SS_DISABLE) && !(second.ss_flags & SS_DISABLE), "");
        THREAD_CHILD_CHECK(first.ss_size == BBCrashSignalHandler::kAlternateStackSize, "");
        THREAD_CHILD_CHECK(first.ss_sp != second.ss_sp, "");
        return "";
    });
    EXPECT_EQ(result, "");
}

TEST(BBCrashSignalHandlerTests, TheAlternateStackHasAGuardPageBelowIt) {
    if (kThreadsHaveStacksAlready) GTEST_SKIP() << "the sanitizer gives every thread a stack";
    auto result = runInChild([]() -> std::string {
        BBCrashSignalHandler::sharedHandler()->registerHandlerWithSignal(SIGUSR1);
        stack_t now{};
        sigaltstack(nullptr, &now);
        auto *guard = static_cast<volatile char *>(now.ss_sp) - 1;
        *guard = 1;  // must fault
        return "survived";
    });
    EXPECT_TRUE(diedOf(result, SIGSEGV)) << result;
}

// The permissions /proc/self/maps gives the page holding `address` ("" when
// nothing is mapped there).
std::string mappingAt(const void *address) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    const auto at = reinterpret_cast<uintptr_t>(address);
    while (std::getline(maps, line)) {
        std::istringstream fields(line);
        std::string range, perms;
        fields >> range >> perms;
        const auto dash = range.find('-');
        if (at >= std::stoull(range.substr(0, dash), nullptr, 16) &&
            at < std::stoull(range.substr(dash + 1), nullptr, 16)) {
            return perms.substr(0, 3);
        }
    }
    return "";
}

struct SeenStack {
    stack_t given{};    // the stack the thread started with
    std::string guard;  // the mapping below it, while the thread ran
    stack_t own{};      // "own": the stack it set itself
    std::atomic<bool> ready{false};
};

// The mask a thread started by a thread that blocks `blocked` starts with.
sigset_t maskOfAThreadStartedWith(const sigset_t &blocked) {
    static sigset_t seen;
    sigset_t saved;
    pthread_sigmask(SIG_SETMASK, &blocked, &saved);
    pthread_t thread;
    pthread_create(
        &thread, nullptr,
        [](void *) -> void * {
            pthread_sigmask(SIG_BLOCK, nullptr, &seen);
            return nullptr;
        },
        nullptr);
    pthread_join(thread, nullptr);
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    return seen;
}

std::string blockedAmong(const sigset_t &mask, std::initializer_list<int> signals) {
    std::string names;
    for (int signo : signals) {
        if (sigismember(&mask, signo)) names += std::string(strsignal(signo)) + "; ";
    }
    return names;
}

TEST(BBCrashSignalHandlerTests, ThreadsStartedAfterEnablingGetAGuardedStackFreedHoweverTheyEnd) {
    auto masks = runInChild([]() -> std::string {
        // Started by a thread that blocks every signal: a new thread unblocks
        // the fault signals, enabled or not, and after enabling the trap and
        // suspension signals too; what else was blocked stays so.
        const int rendezvous = platform::mach::thread_rendezvous_signal();
        sigset_t all;
        sigfillset(&all);
        sigset_t seen = maskOfAThreadStartedWith(all);
        THREAD_CHILD_CHECK(blockedAmong(seen, {SIGSEGV, SIGBUS, SIGILL, SIGFPE}).empty(),
                           "before enabling: " + blockedAmong(seen, {SIGSEGV, SIGBUS, SIGILL, SIGFPE}));
        THREAD_CHILD_CHECK(sigismember(&seen, SIGUSR1) && sigismember(&seen, SIGTRAP), "");
        install(rendezvous, SIG_DFL);  // as if nothing was ever suspended in this process
        THREAD_CHILD_CHECK(bbcrash_thread_stack_enable(), "");
        seen = maskOfAThreadStartedWith(all);
        THREAD_CHILD_CHECK(
            blockedAmong(seen, {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, rendezvous}).empty(),
            "after enabling: " + blockedAmong(seen, {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, rendezvous}));
        THREAD_CHILD_CHECK(sigismember(&seen, SIGUSR1) && sigismember(&seen, SIGTERM), "");
        // A stray suspension signal, with no suspension asked for, finds its
        // handler and does nothing.
        THREAD_CHILD_CHECK(raise(rendezvous) == 0, "");
        return "";
    });
    EXPECT_EQ(masks, "");

    if (kThreadsHaveStacksAlready) GTEST_SKIP() << "the sanitizer gives every thread a stack";
    auto result = runInChild([]() -> std::string {
        // A thread started before enabling runs on untouched, without one.
        static SeenStack before;
        static std::atomic<bool> release{false};
        pthread_t early;
        pthread_create(
            &early, nullptr,
            [](void *) -> void * {
                while (!release.load()) {}
                sigaltstack(nullptr, &before.given);
                return nullptr;
            },
            nullptr);
        THREAD_CHILD_CHECK(bbcrash_thread_stack_enable(), "");
        release = true;
        THREAD_CHILD_CHECK(pthread_join(early, nullptr) == 0, "");
        THREAD_CHILD_CHECK(before.given.ss_flags & SS_DISABLE, "");

        enum class End { Return, Exit, Cancel, OwnStack };
        for (End end : {End::Return, End::Exit, End::Cancel, End::OwnStack}) {
            static SeenStack seen;
            static End how;
            static char own[65536];
            seen.given = {};
            seen.ready = false;
            how = end;
            pthread_t thread;
            THREAD_CHILD_CHECK(pthread_create(
                                   &thread, nullptr,
                                   [](void *) -> void * {
                                       sigaltstack(nullptr, &seen.given);
                                       seen.guard = mappingAt(static_cast<char *>(seen.given.ss_sp) - 1);
                                       if (how == End::OwnStack) {
                                           stack_t mine{own, 0, sizeof(own)};
                                           sigaltstack(&mine, nullptr);
                                           sigaltstack(nullptr, &seen.own);
                                       }
                                       seen.ready = true;
                                       if (how == End::Exit) pthread_exit(nullptr);
                                       if (how == End::Cancel) {
                                           for (;;) pause();
                                       }
                                       return nullptr;
                                   },
                                   nullptr) == 0,
                               "");
            while (!seen.ready.load()) {}
            if (end == End::Cancel) pthread_cancel(thread);
            THREAD_CHILD_CHECK(pthread_join(thread, nullptr) == 0, "");
            const std::string which = std::to_string(static_cast<int>(end));
            THREAD_CHILD_CHECK(!(seen.given.ss_flags & SS_DISABLE), which);
            THREAD_CHILD_CHECK(seen.given.ss_size == BBCrashSignalHandler::kAlternateStackSize, which);
            THREAD_CHILD_CHECK(seen.guard == "---", which + ": guard " + seen.guard);
            if (end == End::OwnStack) THREAD_CHILD_CHECK(seen.own.ss_sp == own, which);
            // Gone with the thread, guard page and all.
            THREAD_CHILD_CHECK(mappingAt(seen.given.ss_sp).empty(), which);
            THREAD_CHILD_CHECK(mappingAt(static_cast<char *>(seen.given.ss_sp) - 1).empty(), which);
        }
        return "";
    });
    EXPECT_EQ(result, "");
}

}  // namespace
