#pragma once
// Raw x86_64 system calls for the thread layer, and how a crash handler ends
// the process. The calls go straight to the kernel: no errno, no
// cancellation points, nothing libc might lock, so they can run in a signal
// handler while other threads are stopped. Each returns the kernel's result:
// a value, or -errno. One libc function is used as well: sigaction, to put
// a signal's default action back. It is async-signal-safe and takes no lock,
// and where a sanitizer intercepts it, its interceptor keeps the runtime's
// own record of the action right, which a raw rt_sigaction would bypass.
#include <atomic>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <ucontext.h>

#include <linux/futex.h>
#include <sys/syscall.h>

#include "platform/mach/signal_translation.h"

namespace platform::mach::detail {

inline long rawSyscall(long number, long a1 = 0, long a2 = 0, long a3 = 0, long a4 = 0, long a5 = 0, long a6 = 0) {
    long result;
    register long r10 __asm__("r10") = a4;
    register long r8 __asm__("r8") = a5;
    register long r9 __asm__("r9") = a6;
    __asm__ volatile("syscall"
                     : "=a"(result)
                     : "0"(number), "D"(a1), "S"(a2), "d"(a3), "r"(r10), "r"(r8), "r"(r9)
                     : "rcx", "r11", "memory");
    return result;
}

inline int rawGettid() { return static_cast<int>(rawSyscall(SYS_gettid)); }
inline int rawGetpid() { return static_cast<int>(rawSyscall(SYS_getpid)); }

inline long rawTgkill(int pid, int tid, int signal) { return rawSyscall(SYS_tgkill, pid, tid, signal); }

// Puts the signal's default action back.
inline void restoreDefaultAction(int signal) {
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal, &fallback, nullptr);
}

// Ends the process of `signal`: its default action goes back, the calling
// thread unblocks it and sends it to itself, and the process dies of it at
// once. The first process of a PID namespace outlives that (the kernel drops
// the signals it sends itself with their default action): it then exits with
// the status a shell gives a death by the signal, 128 + signal.
[[noreturn]] inline void rawDieOfSignal(int signal) {
    restoreDefaultAction(signal);
    const uint64_t set = uint64_t{1} << (signal - 1);
    rawSyscall(SYS_rt_sigprocmask, SIG_UNBLOCK, reinterpret_cast<long>(&set), 0, sizeof set);
    rawTgkill(rawGetpid(), rawGettid(), signal);
    for (;;) rawSyscall(SYS_exit_group, 128 + signal);
}

// Whether the kernel raised the signal for the instruction the thread was
// running: a fault signal with a kernel code (a signal that was sent, by
// abort, raise or kill, has si_code <= 0). Returning from its handler runs
// that instruction again. A trap is not one: the thread resumes after int3.
inline bool isSynchronousFault(int signal, const siginfo_t *info) {
    return isHostFaultSignal(signal) && info != nullptr && info->si_code > 0;
}

// The thread that endWithSignal let return to its faulting instruction with
// the trap flag set (0: none), and the signal it faulted with.
inline std::atomic<int> steppingThread{0};
inline std::atomic<int> steppingSignal{0};

// The first call of a handler that endWithSignal names: on the thread that
// was let step past its fault, any signal that reaches the handler (the
// single-step trap once the instruction succeeded, or another fault) ends
// the process with the first signal.
inline void endIfSteppingPastFault() {
    if (steppingThread.load(std::memory_order_relaxed) == rawGettid()) rawDieOfSignal(steppingSignal.load());
}

// Ends the process with the signal `handler` runs for, once nothing handled
// it; the process never runs on. It dies here, as rawDieOfSignal says,
// whatever the faulting instruction would do if it ran again.
//
// Only the first process of a PID namespace, which outlives what it sends
// itself but not a fault the kernel forces, lets a synchronous fault come
// back: the default action goes back, the signal and SIGTRAP are unblocked
// in the context the handler returns to, the trap flag is set there, and
// this returns; the handler must then return at once. When the instruction
// faults again, the kernel forces the signal and the process dies of it
// (with a core dump where the limits allow one). When it succeeds, because
// the cause is gone, the single-step trap after it reaches `handler`, whose
// endIfSteppingPastFault exits with 128 + the signal; where SIGTRAP is not
// `handler`'s, its default action goes back and the trap ends the process.
inline void endWithSignal(int signal, const siginfo_t *info, void *context, void (*handler)(int, siginfo_t *, void *)) {
    if (!isSynchronousFault(signal, info) || context == nullptr || rawGetpid() != 1) rawDieOfSignal(signal);
    restoreDefaultAction(signal);
    struct sigaction trap {};
    if (sigaction(SIGTRAP, nullptr, &trap) != 0 || !(trap.sa_flags & SA_SIGINFO) || trap.sa_sigaction != handler) {
        restoreDefaultAction(SIGTRAP);
    }
    steppingSignal.store(signal);
    steppingThread.store(rawGettid());
    auto *uc = static_cast<ucontext_t *>(context);
    sigdelset(&uc->uc_sigmask, signal);
    sigdelset(&uc->uc_sigmask, SIGTRAP);
    constexpr greg_t kTrapFlag = 0x100;
    uc->uc_mcontext.gregs[REG_EFL] |= kTrapFlag;
}

inline long rawClockMonotonic(struct timespec *now) {
    return rawSyscall(SYS_clock_gettime, CLOCK_MONOTONIC, reinterpret_cast<long>(now));
}

// Waits while *word == expected, until woken or, when a deadline is given,
// until that absolute CLOCK_MONOTONIC time has passed (-ETIMEDOUT).
inline long rawFutexWait(const uint32_t *word, uint32_t expected, const struct timespec *deadline) {
    return rawSyscall(SYS_futex, reinterpret_cast<long>(word), FUTEX_WAIT_BITSET_PRIVATE, static_cast<long>(expected),
                      reinterpret_cast<long>(deadline), 0, static_cast<long>(FUTEX_BITSET_MATCH_ANY));
}

// The CLOCK_MONOTONIC time `milliseconds` from now, as futex waits take it.
inline struct timespec rawDeadlineAfterMs(unsigned milliseconds) {
    struct timespec now {};
    rawClockMonotonic(&now);
    now.tv_sec += milliseconds / 1000;
    now.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (now.tv_nsec >= 1000000000L) {
        now.tv_sec += 1;
        now.tv_nsec -= 1000000000L;
    }
    return now;
}

inline long rawFutexWake(const uint32_t *word, int count) {
    return rawSyscall(SYS_futex, reinterpret_cast<long>(word), FUTEX_WAKE_PRIVATE, count);
}

}  // namespace platform::mach::detail
