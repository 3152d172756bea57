// The signal handler, each case in a forked child: the kernel is the oracle
// for what a signal does once the chain has answered.
#include "BBCrashSignalHandler.h"
#include "ForkedChild.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <pthread.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

using bbcrashtest::runForked;

namespace {

std::atomic<int> plainCalls{0};
std::string order;
siginfo_t *seenInfo = nullptr;
void *seenContext = nullptr;
int seenValue = 0;
volatile uintptr_t nullAddress = 0;

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
    auto result = runForked([] {
        install(SIGUSR1, plainHandler);
        auto handler = BBCrashSignalHandler::sharedHandler();
        CHILD_CHECK(handler != nullptr);
        CHILD_CHECK(handler->registerHandlerWithSignal(SIGUSR1));
        CHILD_CHECK(handler->registerHandlerWithSignal(SIGUSR1));
        struct sigaction current {};
        sigaction(SIGUSR1, nullptr, &current);
        CHILD_CHECK((current.sa_flags & (SA_SIGINFO | SA_ONSTACK)) == (SA_SIGINFO | SA_ONSTACK));
        raise(SIGUSR1);
        CHILD_CHECK(plainCalls.load() == 1);
        return 0;
    });
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exitCode, 0);
}

TEST(BBCrashSignalHandlerTests, NewestCallbackRunsFirstThenThePreviousAction) {
    auto result = runForked([] {
        install(SIGUSR1, SIG_IGN);
        auto handler = BBCrashSignalHandler::sharedHandler();
        CHILD_CHECK(handler->registerHandlerForSignal(SIGUSR1, recordAndForward, const_cast<char *>("A")));
        CHILD_CHECK(handler->registerHandlerForSignal(SIGUSR1, recordAndForward, const_cast<char *>("B")));
        raise(SIGUSR1);  // the ignored previous action answers "handled": no re-raise
        CHILD_CHECK(order == "BA");
        return 0;
    });
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exitCode, 0);
}

TEST(BBCrashSignalHandlerTests, APreviousSigInfoActionSeesTheSignalUnchanged) {
    auto result = runForked([] {
        struct sigaction previous {};
        previous.sa_sigaction = sigInfoHandler;
        previous.sa_flags = SA_SIGINFO;
        sigemptyset(&previous.sa_mask);
        sigaction(SIGUSR2, &previous, nullptr);
        CHILD_CHECK(BBCrashSignalHandler::sharedHandler()->registerHandlerForSignal(SIGUSR2, recordContext, nullptr));
        union sigval value {};
        value.sival_int = 42;
        sigqueue(getpid(), SIGUSR2, value);
        CHILD_CHECK(seenValue == 42);
        CHILD_CHECK(chainContext != nullptr && seenContext == chainContext);
        CHILD_CHECK(seenInfo == chainInfo);
        return 0;
    });
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exitCode, 0);
}

TEST(BBCrashSignalHandlerTests, UnhandledSignalsEndTheProcessWithoutLooping) {
    // Every callback answers "not handled" and the previous action is the
    // default: the signal comes back with the default action.
    auto plain = runForked([] {
        BBCrashSignalHandler::sharedHandler()->registerHandlerForSignal(SIGUSR1, notHandled, nullptr);
        raise(SIGUSR1);
        return 1;
    });
    EXPECT_FALSE(plain.timedOut);
    EXPECT_EQ(plain.signal, SIGUSR1);

    // After resetHandlers the chain is empty and nothing set the default
    // action back; registering again must not take the handler itself for
    // the previous action either.
    auto reset = runForked([] {
        auto handler = BBCrashSignalHandler::sharedHandler();
        handler->registerHandlerWithSignal(SIGUSR1);
        BBCrashSignalHandler::resetHandlers();
        handler->registerHandlerWithSignal(SIGUSR1);
        raise(SIGUSR1);
        return 1;
    });
    EXPECT_FALSE(reset.timedOut);
    EXPECT_EQ(reset.signal, SIGUSR1);
}

TEST(BBCrashSignalHandlerTests, AnIgnoredPreviousActionHandlesSentSignalsButNotFaults) {
    auto sent = runForked([] {
        install(SIGSEGV, SIG_IGN);
        BBCrashSignalHandler::sharedHandler()->registerHandlerForSignal(SIGSEGV, forwardOnly, nullptr);
        raise(SIGSEGV);
        return 0;
    });
    EXPECT_TRUE(sent.exited) << "signal " << sent.signal;
    EXPECT_EQ(sent.exitCode, 0);

    auto fault = runForked([] {
        install(SIGSEGV, SIG_IGN);
        BBCrashSignalHandler::sharedHandler()->registerHandlerForSignal(SIGSEGV, forwardOnly, nullptr);
        *reinterpret_cast<volatile int *>(nullAddress) = 1;
        return 0;
    });
    EXPECT_FALSE(fault.timedOut) << "the fault repeated forever";
    EXPECT_EQ(fault.signal, SIGSEGV);
}

TEST(BBCrashSignalHandlerTests, AlternateStacksAreOnlyGivenToThreadsWithoutOne) {
    auto result = runForked([] {
        auto handler = BBCrashSignalHandler::sharedHandler();
        // A thread with a stack of its own keeps it.
        static char own[65536];
        stack_t mine{own, 0, sizeof(own)};
        CHILD_CHECK(sigaltstack(&mine, nullptr) == 0);
        CHILD_CHECK(handler->registerHandlerWithSignal(SIGUSR1));
        stack_t now{};
        sigaltstack(nullptr, &now);
        CHILD_CHECK(now.ss_sp == own);

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
        CHILD_CHECK(!(first.ss_flags & SS_DISABLE) && !(second.ss_flags & SS_DISABLE));
        CHILD_CHECK(first.ss_size == BBCrashSignalHandler::kAlternateStackSize);
        CHILD_CHECK(first.ss_sp != second.ss_sp);
        return 0;
    });
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exitCode, 0);
}

TEST(BBCrashSignalHandlerTests, TheAlternateStackHasAGuardPageBelowIt) {
    auto result = runForked([] {
        BBCrashSignalHandler::sharedHandler()->registerHandlerWithSignal(SIGUSR1);
        stack_t now{};
        sigaltstack(nullptr, &now);
        auto *guard = static_cast<volatile char *>(now.ss_sp) - 1;
        *guard = 1;  // must fault
        return 1;
    });
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.signal, SIGSEGV);
}

}  // namespace
