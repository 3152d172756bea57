#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "platform/mach/thread_list.h"
#include "platform/mach/thread_suspend.h"
#include "thread_test_asm.h"
#include "thread_test_child.h"

using namespace platform::mach;
using threadtest::runInChild;

// A thread body that puts sentinels derived from `base` into the callee-saved
// registers (rbx base+1, rbp base+6, r12-r15 base+0xc..0xf), records its
// stack pointer, says it is ready and spins until told to stop, counting.
struct SpinContext {
    uint64_t base;   // 0
    uint32_t ready;  // 8
    uint32_t stop;   // 12
    uint64_t rsp;    // 16
    uint64_t spins;  // 24
    uint32_t tid;    // 32
};
static_assert(offsetof(SpinContext, spins) == 24 && offsetof(SpinContext, tid) == 32);

extern "C" void thread_test_spin_with_sentinels(SpinContext *context);
extern "C" char thread_test_spin_loop[];
extern "C" char thread_test_spin_loop_end[];
asm(R"(
    .text
    .globl  thread_test_spin_with_sentinels, thread_test_spin_loop, thread_test_spin_loop_end
    .type   thread_test_spin_with_sentinels, @function
thread_test_spin_with_sentinels:
)" THREAD_TEST_PUSH_CALLEE_SAVED R"(
    movq    0(%rdi), %rax
    leaq    1(%rax), %rbx
    leaq    6(%rax), %rbp
    leaq    0xc(%rax), %r12
    leaq    0xd(%rax), %r13
    leaq    0xe(%rax), %r14
    leaq    0xf(%rax), %r15
    movq    %rsp, 16(%rdi)
    movl    $1, 8(%rdi)
thread_test_spin_loop:
    pause
    incq    24(%rdi)
    cmpl    $0, 12(%rdi)
    je      thread_test_spin_loop
thread_test_spin_loop_end:
)" THREAD_TEST_POP_CALLEE_SAVED_AND_RETURN R"(
    .size   thread_test_spin_with_sentinels, .-thread_test_spin_with_sentinels
)");

namespace {

using Clock = std::chrono::steady_clock;

template <typename T>
T load(const T &value) {
    return std::atomic_ref<const T>(value).load();
}
template <typename T>
void store(T &value, T v) {
    std::atomic_ref<T>(value).store(v);
}

// Waits for a condition, giving the processor away between looks.
template <typename Predicate>
bool waitFor(Predicate predicate, std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
    const auto deadline = Clock::now() + limit;
    while (!predicate()) {
        if (Clock::now() > deadline) return false;
        sched_yield();
    }
    return true;
}

// The scheduler state letter of a thread of this process ('R', 'S', ...).
char schedulerState(thread_t tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const size_t close = line.rfind(')');
    return close == std::string::npos || close + 2 >= line.size() ? '?' : line[close + 2];
}

std::string hex(uint64_t value) {
    char text[32];
    snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

class Spinners {
public:
    explicit Spinners(int count) : contexts_(static_cast<size_t>(count)) {
        for (int i = 0; i < count; ++i) {
            SpinContext &c = contexts_[static_cast<size_t>(i)];
            c.base = 0x5e17000000000000ull + (static_cast<uint64_t>(i) << 16);
            threads_.emplace_back([&c] {
                store(c.tid, static_cast<uint32_t>(syscall(SYS_gettid)));
                thread_test_spin_with_sentinels(&c);
            });
        }
    }
    bool allReady() {
        return waitFor([this] {
            for (auto &c : contexts_)
                if (load(c.ready) == 0) return false;
            return true;
        });
    }
    void stopAndJoin() {
        for (auto &c : contexts_) store(c.stop, 1u);
        for (auto &t : threads_) t.join();
        threads_.clear();
    }
    ~Spinners() {
        if (!threads_.empty()) stopAndJoin();
    }
    std::vector<SpinContext> &contexts() { return contexts_; }

private:
    std::vector<SpinContext> contexts_;
    std::vector<std::thread> threads_;
};

// Checks a suspended spinner's saved registers against its sentinels.
std::string checkSpinnerState(const SpinContext &c) {
    x86_thread_state_t thread;
    mach_msg_type_number_t count = x86_THREAD_STATE_COUNT;
    THREAD_CHILD_CHECK(
        thread_get_state(c.tid, x86_THREAD_STATE, reinterpret_cast<thread_state_t>(&thread), &count) == KERN_SUCCESS,
        std::to_string(c.tid));
    THREAD_CHILD_CHECK(count == 44 && thread.tsh.flavor == x86_THREAD_STATE64 && thread.tsh.count == 42,
                       std::to_string(count));
    const x86_thread_state64_t &s = thread.uts.ts64;
    THREAD_CHILD_CHECK(s.rbx == c.base + 1 && s.rbp == c.base + 6 && s.r12 == c.base + 0xc && s.r13 == c.base + 0xd &&
                           s.r14 == c.base + 0xe && s.r15 == c.base + 0xf,
                       hex(s.rbx) + " " + hex(s.rbp) + " " + hex(s.r15));
    THREAD_CHILD_CHECK(s.rdi == reinterpret_cast<uintptr_t>(&c), hex(s.rdi));
    THREAD_CHILD_CHECK(s.rsp == c.rsp, hex(s.rsp) + " vs " + hex(c.rsp));
    THREAD_CHILD_CHECK(s.rip >= reinterpret_cast<uintptr_t>(thread_test_spin_loop) &&
                           s.rip <= reinterpret_cast<uintptr_t>(thread_test_spin_loop_end),
                       hex(s.rip));
    THREAD_CHILD_CHECK(s.cs == 0x33, hex(s.cs));

    x86_thread_state64_t flat;
    count = x86_THREAD_STATE64_COUNT;
    THREAD_CHILD_CHECK(
        thread_get_state(c.tid, x86_THREAD_STATE64, reinterpret_cast<thread_state_t>(&flat), &count) == KERN_SUCCESS &&
            count == 42 && std::memcmp(&flat, &s, sizeof flat) == 0,
        "64-bit flavor");

    x86_exception_state_t exception;
    count = x86_EXCEPTION_STATE_COUNT;
    THREAD_CHILD_CHECK(thread_get_state(c.tid, x86_EXCEPTION_STATE, reinterpret_cast<thread_state_t>(&exception),
                                        &count) == KERN_SUCCESS &&
                           count == 6 && exception.esh.flavor == x86_EXCEPTION_STATE64 && exception.esh.count == 4,
                       std::to_string(count));
    x86_exception_state64_t exception64;
    count = x86_EXCEPTION_STATE64_COUNT;
    THREAD_CHILD_CHECK(thread_get_state(c.tid, x86_EXCEPTION_STATE64, reinterpret_cast<thread_state_t>(&exception64),
                                        &count) == KERN_SUCCESS &&
                           count == 4,
                       std::to_string(count));
    return "";
}

}  // namespace

TEST(ThreadSuspend, SuspendedThreadsShowTheirRegistersAndRunOnWhenResumed) {
    const std::string result = runInChild([]() -> std::string {
        Spinners spinners(4);
        THREAD_CHILD_CHECK(spinners.allReady(), "spinners did not start");

        thread_t threads[64];
        mach_msg_type_number_t count = 0;
        THREAD_CHILD_CHECK(task_threads(mach_task_self(), threads, 64, &count) == KERN_SUCCESS, "");
        THREAD_CHILD_CHECK(count == 5, std::to_string(count));  // the four and this one
        for (thread_t t : {threads[0], threads[1], threads[2], threads[3], threads[4]}) {
            if (t == mach_thread_self()) continue;
            THREAD_CHILD_CHECK(thread_suspend(t) == KERN_SUCCESS, std::to_string(t));
        }
        for (SpinContext &c : spinners.contexts()) {
            // Parked in the kernel, not spinning.
            THREAD_CHILD_CHECK(waitFor([&] { return schedulerState(c.tid) == 'S'; }),
                               std::string(1, schedulerState(c.tid)));
            const std::string check = checkSpinnerState(c);
            if (!check.empty()) return check;
        }

        // Suspensions nest: the second resume lets the thread go, a third fails.
        SpinContext &first = spinners.contexts()[0];
        THREAD_CHILD_CHECK(thread_suspend(first.tid) == KERN_SUCCESS, "nested");
        THREAD_CHILD_CHECK(thread_resume(first.tid) == KERN_SUCCESS, "");
        THREAD_CHILD_CHECK(checkSpinnerState(first).empty(), "still suspended after one of two resumes");

        for (SpinContext &c : spinners.contexts()) {
            const uint64_t spins = load(c.spins);
            THREAD_CHILD_CHECK(thread_resume(c.tid) == KERN_SUCCESS, std::to_string(c.tid));
            THREAD_CHILD_CHECK(waitFor([&] { return load(c.spins) != spins; }), "did not run on");
            THREAD_CHILD_CHECK(thread_resume(c.tid) == KERN_FAILURE, "resumed twice");
            x86_thread_state64_t state;
            mach_msg_type_number_t n = x86_THREAD_STATE64_COUNT;
            THREAD_CHILD_CHECK(thread_get_state(c.tid, x86_THREAD_STATE64, reinterpret_cast<thread_state_t>(&state),
                                                &n) == KERN_FAILURE,
                               "state of a running thread");
        }
        spinners.stopAndJoin();
        return "";
    });
    EXPECT_EQ(result, "");
}

// On a busy machine a spinner may not run within a suspension's bound: the
// request is then withdrawn, and asking again must find it as it was.
TEST(ThreadSuspend, RepeatedSuspensionsStayConsistent) {
    const std::string result = runInChild(
        []() -> std::string {
            Spinners spinners(3);
            THREAD_CHILD_CHECK(spinners.allReady(), "spinners did not start");
            for (int round = 0; round < 300; ++round) {
                for (SpinContext &c : spinners.contexts()) {
                    kern_return_t suspended = KERN_OPERATION_TIMED_OUT;
                    for (int tries = 0; tries < 20 && suspended == KERN_OPERATION_TIMED_OUT; ++tries)
                        suspended = thread_suspend(c.tid);
                    THREAD_CHILD_CHECK(suspended == KERN_SUCCESS, "round " + std::to_string(round));
                }
                for (SpinContext &c : spinners.contexts()) {
                    const std::string check = checkSpinnerState(c);
                    if (!check.empty()) return "round " + std::to_string(round) + ": " + check;
                }
                for (SpinContext &c : spinners.contexts()) {
                    THREAD_CHILD_CHECK(thread_resume(c.tid) == KERN_SUCCESS, "round " + std::to_string(round));
                }
            }
            spinners.stopAndJoin();
            return "";
        },
        120000);
    EXPECT_EQ(result, "");
}

TEST(ThreadSuspend, ThreadWaitingInTheKernelIsSuspendedAndItsWaitGoesOn) {
    const std::string result = runInChild([]() -> std::string {
        std::mutex mutex;
        std::condition_variable changed;
        bool waiting = false, go = false, sawGo = false;
        std::atomic<uint32_t> tid{0};
        std::thread waiter([&] {
            tid = static_cast<uint32_t>(syscall(SYS_gettid));
            std::unique_lock lock(mutex);
            waiting = true;
            changed.notify_all();
            changed.wait(lock, [&] { return go; });
            sawGo = go;
        });
        {
            std::unique_lock lock(mutex);
            changed.wait(lock, [&] { return waiting; });
        }
        // Released the mutex inside wait: the thread sleeps in the kernel.
        THREAD_CHILD_CHECK(waitFor([&] { return schedulerState(tid) == 'S'; }), "not waiting");

        pthread_attr_t attributes;
        void *stackLow = nullptr;
        size_t stackSize = 0;
        pthread_getattr_np(waiter.native_handle(), &attributes);
        pthread_attr_getstack(&attributes, &stackLow, &stackSize);
        pthread_attr_destroy(&attributes);

        THREAD_CHILD_CHECK(thread_suspend(tid) == KERN_SUCCESS, "");
        x86_thread_state64_t state;
        mach_msg_type_number_t count = x86_THREAD_STATE64_COUNT;
        THREAD_CHILD_CHECK(
            thread_get_state(tid, x86_THREAD_STATE64, reinterpret_cast<thread_state_t>(&state), &count) == KERN_SUCCESS,
            "");
        const auto low = reinterpret_cast<uintptr_t>(stackLow);
        THREAD_CHILD_CHECK(state.rsp > low && state.rsp < low + stackSize, hex(state.rsp));
        // Stopped at its system call: the kernel points rip at the syscall
        // instruction to restart it, or just past it.
        const auto *rip = reinterpret_cast<const uint8_t *>(state.rip);
        THREAD_CHILD_CHECK((rip[0] == 0x0f && rip[1] == 0x05) || (rip[-2] == 0x0f && rip[-1] == 0x05), hex(state.rip));
        THREAD_CHILD_CHECK(thread_resume(tid) == KERN_SUCCESS, "");
        {
            std::lock_guard lock(mutex);
            go = true;
        }
        changed.notify_all();
        waiter.join();
        THREAD_CHILD_CHECK(sawGo, "woke without being told");
        return "";
    });
    EXPECT_EQ(result, "");
}

TEST(ThreadSuspend, ThreadThatNeverAnswersTimesOutAndHasNoState) {
    const std::string result = runInChild([]() -> std::string {
        std::atomic<uint32_t> tid{0};
        std::atomic<int> phase{0};  // 1 blocked, 2 unblock now, 3 unblocked and running
        std::thread deaf([&] {
            sigset_t set;
            sigemptyset(&set);
            sigaddset(&set, thread_rendezvous_signal());
            pthread_sigmask(SIG_BLOCK, &set, nullptr);
            tid = static_cast<uint32_t>(syscall(SYS_gettid));
            phase = 1;
            while (phase.load() != 2) {}
            pthread_sigmask(SIG_UNBLOCK, &set, nullptr);  // the late request arrives here
            phase = 3;
            while (phase.load() != 4) {}
        });
        Spinners spinners(1);
        THREAD_CHILD_CHECK(spinners.allReady() && waitFor([&] { return phase.load() == 1; }), "threads did not start");
        SpinContext &spinner = spinners.contexts()[0];

        // A suspension pass over both: one answers, one times out, as soon
        // as it is seen to block the signal.
        auto start = Clock::now();
        THREAD_CHILD_CHECK(thread_suspend(tid) == KERN_OPERATION_TIMED_OUT, "");
        auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        THREAD_CHILD_CHECK(waited >= kThreadSuspendBlockedTimeoutMs - 5 && waited < kThreadSuspendTimeoutMs,
                           std::to_string(waited) + " ms");
        THREAD_CHILD_CHECK(thread_suspend(spinner.tid) == KERN_SUCCESS, "");
        THREAD_CHILD_CHECK(checkSpinnerState(spinner).empty(), "");

        x86_thread_state_t state;
        mach_msg_type_number_t count = x86_THREAD_STATE_COUNT;
        THREAD_CHILD_CHECK(
            thread_get_state(tid, x86_THREAD_STATE, reinterpret_cast<thread_state_t>(&state), &count) == KERN_FAILURE,
            "state of a thread that never answered");
        THREAD_CHILD_CHECK(thread_resume(tid) == KERN_FAILURE, "resume of a thread that never answered");
        THREAD_CHILD_CHECK(thread_resume(spinner.tid) == KERN_SUCCESS, "");

        // The signal still pending reaches it once unblocked; with nobody
        // asking any more, it runs on instead of parking.
        phase = 2;
        THREAD_CHILD_CHECK(waitFor([&] { return phase.load() == 3; }), "the late signal parked the thread");
        THREAD_CHILD_CHECK(thread_suspend(tid) == KERN_SUCCESS, "now it answers");
        THREAD_CHILD_CHECK(thread_resume(tid) == KERN_SUCCESS, "");
        phase = 4;
        deaf.join();
        spinners.stopAndJoin();

        // One that does not block it but cannot run (it waits in vfork for
        // its child, which waits for the pipe) gets the whole bound.
        int pipeFds[2];
        THREAD_CHILD_CHECK(pipe(pipeFds) == 0, "pipe");
        std::atomic<uint32_t> forker{0};
        std::thread parent([&] {
            forker = static_cast<uint32_t>(syscall(SYS_gettid));
            const pid_t child = vfork();
            if (child == 0) {
                char byte;
                _exit(read(pipeFds[0], &byte, 1) == 1 ? 0 : 1);
            }
            waitpid(child, nullptr, 0);
        });
        THREAD_CHILD_CHECK(waitFor([&] { return forker.load() != 0 && schedulerState(forker.load()) == 'D'; }),
                           "not waiting in vfork");
        start = Clock::now();
        const kern_return_t suspended = thread_suspend(forker);
        waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        const bool released = write(pipeFds[1], "x", 1) == 1;
        parent.join();
        close(pipeFds[0]);
        close(pipeFds[1]);
        THREAD_CHILD_CHECK(released && suspended == KERN_OPERATION_TIMED_OUT, std::to_string(suspended));
        THREAD_CHILD_CHECK(waited >= kThreadSuspendTimeoutMs - 10, std::to_string(waited) + " ms");
        return "";
    });
    EXPECT_EQ(result, "");
}

TEST(ThreadSuspend, TwoThreadsSuspendingEachOtherBothGetAnAnswer) {
    const std::string result = runInChild([]() -> std::string {
        std::atomic<uint32_t> tids[2] = {0, 0};
        std::atomic<int> started{0};
        std::atomic<int> finished{0};
        kern_return_t results[2] = {-1, -1};
        auto body = [&](int me) {
            tids[me] = static_cast<uint32_t>(syscall(SYS_gettid));
            started.fetch_add(1);
            while (started.load() < 2) {}
            results[me] = thread_suspend(tids[1 - me]);
            if (results[me] == KERN_SUCCESS) thread_resume(tids[1 - me]);
            // Stay until the other is done with us.
            finished.fetch_add(1);
            while (finished.load() < 2) {}
        };
        for (int round = 0; round < 3; ++round) {
            tids[0] = tids[1] = 0;
            started = 0;
            finished = 0;
            std::thread a(body, 0), b(body, 1);
            a.join();
            b.join();
            for (kern_return_t r : results) {
                THREAD_CHILD_CHECK(r == KERN_SUCCESS || r == KERN_OPERATION_TIMED_OUT, std::to_string(r));
            }
        }
        return "";
    });
    EXPECT_EQ(result, "");
}

TEST(ThreadSuspend, RefusesWhatCannotBeSuspended) {
    const std::string result = runInChild([]() -> std::string {
        const thread_t self = mach_thread_self();
        THREAD_CHILD_CHECK(thread_suspend(self) == KERN_INVALID_ARGUMENT, "self");
        THREAD_CHILD_CHECK(thread_suspend(MACH_PORT_NULL) == KERN_INVALID_ARGUMENT, "null");
        // The parent's id is no thread of this process.
        THREAD_CHILD_CHECK(thread_suspend(static_cast<thread_t>(getppid())) == KERN_INVALID_ARGUMENT, "foreign");
        THREAD_CHILD_CHECK(thread_resume(self) == KERN_FAILURE, "resume of a running thread");

        Spinners spinners(1);
        THREAD_CHILD_CHECK(spinners.allReady(), "");
        const thread_t tid = spinners.contexts()[0].tid;
        THREAD_CHILD_CHECK(thread_suspend(tid) == KERN_SUCCESS, "");
        natural_t buffer[64];
        mach_msg_type_number_t count = x86_THREAD_STATE_COUNT - 1;
        THREAD_CHILD_CHECK(thread_get_state(tid, x86_THREAD_STATE, buffer, &count) == KERN_INVALID_ARGUMENT, "short");
        count = 64;
        THREAD_CHILD_CHECK(thread_get_state(tid, x86_THREAD_STATE32, buffer, &count) == KERN_INVALID_ARGUMENT, "32");
        THREAD_CHILD_CHECK(thread_get_state(tid, x86_FLOAT_STATE32, buffer, &count) == KERN_INVALID_ARGUMENT, "fp");
        THREAD_CHILD_CHECK(thread_get_state(tid, x86_THREAD_STATE, nullptr, &count) == KERN_INVALID_ARGUMENT, "null");
        THREAD_CHILD_CHECK(thread_get_state(self, x86_THREAD_STATE, buffer, &count) == KERN_INVALID_ARGUMENT, "self");
        THREAD_CHILD_CHECK(thread_resume(tid) == KERN_SUCCESS, "");
        return "";
    });
    EXPECT_EQ(result, "");
}

TEST(ThreadSuspend, PutsItsHandlerBackWhenItWasReset) {
    const std::string result = runInChild([]() -> std::string {
        Spinners spinners(1);
        THREAD_CHILD_CHECK(spinners.allReady(), "");
        const thread_t tid = spinners.contexts()[0].tid;
        THREAD_CHILD_CHECK(thread_suspend(tid) == KERN_SUCCESS && thread_resume(tid) == KERN_SUCCESS, "");
        // Left at its default action the signal would end the process.
        signal(thread_rendezvous_signal(), SIG_DFL);
        THREAD_CHILD_CHECK(thread_suspend(tid) == KERN_SUCCESS, "");
        THREAD_CHILD_CHECK(checkSpinnerState(spinners.contexts()[0]).empty(), "");
        THREAD_CHILD_CHECK(thread_resume(tid) == KERN_SUCCESS, "");
        return "";
    });
    EXPECT_EQ(result, "");
}

namespace {

constexpr size_t kAltStackSize = 65536;
constexpr uint8_t kPaint = 0xcd;
alignas(16) uint8_t gAltStack[kAltStackSize];
thread_t gListed[256];
std::atomic<int> gSuspendedInHandler{0};

size_t paintedBytesFromBottom(const uint8_t *low, size_t size) {
    size_t n = 0;
    while (n < size && low[n] == kPaint) ++n;
    return n;
}

// What the crash path does with the other threads, run on the alternate
// stack of a signal handler.
void suspendEverythingHandler(int, siginfo_t *, void *) {
    mach_msg_type_number_t count = 0;
    if (task_threads(mach_task_self(), gListed, 256, &count) != KERN_SUCCESS) return;
    const thread_t self = mach_thread_self();
    int suspended = 0;
    for (mach_msg_type_number_t i = 0; i < count; ++i) {
        if (gListed[i] == self || thread_suspend(gListed[i]) != KERN_SUCCESS) continue;
        x86_thread_state_t state;
        x86_exception_state_t exception;
        mach_msg_type_number_t n = x86_THREAD_STATE_COUNT;
        mach_msg_type_number_t e = x86_EXCEPTION_STATE_COUNT;
        if (thread_get_state(gListed[i], x86_THREAD_STATE, reinterpret_cast<thread_state_t>(&state), &n) ==
                KERN_SUCCESS &&
            thread_get_state(gListed[i], x86_EXCEPTION_STATE, reinterpret_cast<thread_state_t>(&exception), &e) ==
                KERN_SUCCESS) {
            ++suspended;
        }
    }
    for (mach_msg_type_number_t i = 0; i < count; ++i) {
        if (gListed[i] != self) thread_resume(gListed[i]);
    }
    gSuspendedInHandler = suspended;
}

}  // namespace

TEST(ThreadSuspend, StackUseFitsTheCrashPath) {
    const std::string result = runInChild([]() -> std::string {
        Spinners spinners(4);
        THREAD_CHILD_CHECK(spinners.allReady(), "");

        // The suspending side, on a painted 64 KiB alternate stack.
        std::memset(gAltStack, kPaint, sizeof gAltStack);
        stack_t stack{};
        stack.ss_sp = gAltStack;
        stack.ss_size = sizeof gAltStack;
        sigaltstack(&stack, nullptr);
        struct sigaction action {};
        action.sa_sigaction = suspendEverythingHandler;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigaction(SIGUSR1, &action, nullptr);

        // The parked side: paint below each spinner's stack pointer (its
        // loop touches no memory there).
        constexpr size_t kBelow = 32768;
        for (SpinContext &c : spinners.contexts())
            std::memset(reinterpret_cast<uint8_t *>(c.rsp - kBelow), kPaint, kBelow - 64);

        // What delivering a signal alone takes (the kernel's frame with the
        // saved registers and extended state), for comparison.
        struct sigaction empty {};
        empty.sa_handler = [](int) {};
        empty.sa_flags = SA_ONSTACK;
        sigaction(SIGUSR2, &empty, nullptr);
        raise(SIGUSR2);
        const size_t signalFrame = kAltStackSize - paintedBytesFromBottom(gAltStack, kAltStackSize);
        std::memset(gAltStack, kPaint, sizeof gAltStack);

        raise(SIGUSR1);
        THREAD_CHILD_CHECK(gSuspendedInHandler.load() == 4, std::to_string(gSuspendedInHandler.load()));
        const size_t controller = kAltStackSize - paintedBytesFromBottom(gAltStack, kAltStackSize);
        size_t parked = 0;
        for (SpinContext &c : spinners.contexts()) {
            const auto *low = reinterpret_cast<const uint8_t *>(c.rsp - kBelow);
            parked = std::max(parked, kBelow - paintedBytesFromBottom(low, kBelow));
        }
        spinners.stopAndJoin();
        fprintf(stderr,
                "[ measured ] stack use, signal delivery included: suspending side %zu bytes of the 64 KiB "
                "alternate stack, parked thread %zu bytes below its stack pointer; signal delivery alone %zu bytes\n",
                controller, parked, signalFrame);
        THREAD_CHILD_CHECK(controller < 16384, std::to_string(controller));
        THREAD_CHILD_CHECK(parked < 16384, std::to_string(parked));
        return "";
    });
    EXPECT_EQ(result, "");
}
