#include "platform/mach/thread_suspend.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>

#include "platform/mach/exception_delivery.h"
#include "platform/mach/thread_syscall.h"
#include "platform/mach/thread_ucontext.h"

namespace platform::mach {
namespace {

// A request moves through these phases in its slot's word, always by
// compare-and-swap, so that the suspending side and the target's handler
// agree on who owns the slot at every step:
//   free -> claimed (suspender prepares) -> requested (signal sent)
//   requested -> answering (handler saves its state) -> parked
//   requested -> free (suspender gave up before the handler came)
//   answering -> abandoned (suspender gave up meanwhile; the handler frees it)
//   parked -> free (the last resume)
enum Phase : uint32_t {
    kFree = 0,
    kClaimed = 1,
    kRequested = 2,
    kAnswering = 3,
    kParked = 4,
    kAbandoned = 5,
};

constexpr uint64_t slotWord(thread_t thread, Phase phase) { return (uint64_t{thread} << 32) | phase; }

// What a parked thread keeps on its own stack while it waits.
struct ParkedThread {
    x86_thread_state64_t state;
    x86_exception_state64_t exception;
    std::atomic<uint32_t> release;
};

struct Slot {
    std::atomic<uint64_t> word;      // thread and phase, 0 when free
    std::atomic<uint32_t> answered;  // bumped by the handler once parked; the suspender waits on it
    std::atomic<uint32_t> suspendCount;
    std::atomic<ParkedThread *> parked;
};

static_assert(std::atomic<uint64_t>::is_always_lock_free && std::atomic<uint32_t>::is_always_lock_free);
static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));

Slot gSlots[kMaxSuspendedThreads];

const uint32_t *futexWord(const std::atomic<uint32_t> &value) { return reinterpret_cast<const uint32_t *>(&value); }

// The slot whose word is exactly `word`; the search starts where the thread
// was most likely placed.
Slot *findSlot(uint64_t word) {
    const auto start = static_cast<unsigned>(word >> 32) % kMaxSuspendedThreads;
    for (unsigned i = 0; i < kMaxSuspendedThreads; ++i) {
        Slot &slot = gSlots[(start + i) % kMaxSuspendedThreads];
        if (slot.word.load(std::memory_order_acquire) == word) return &slot;
    }
    return nullptr;
}

Slot *claimSlot(thread_t thread) {
    const unsigned start = thread % kMaxSuspendedThreads;
    for (unsigned i = 0; i < kMaxSuspendedThreads; ++i) {
        Slot &slot = gSlots[(start + i) % kMaxSuspendedThreads];
        uint64_t expected = 0;
        if (slot.word.compare_exchange_strong(expected, slotWord(thread, kClaimed), std::memory_order_acq_rel)) {
            return &slot;
        }
    }
    return nullptr;
}

void rendezvousHandler(int, siginfo_t *, void *context) {
    const auto self = static_cast<thread_t>(detail::rawGettid());
    Slot *slot = findSlot(slotWord(self, kRequested));
    if (slot == nullptr) return;  // nobody asks (any more): run on

    ParkedThread parked;
    thread_state_from_ucontext(static_cast<const ucontext_t *>(context), &parked.state, &parked.exception);
    parked.release.store(0, std::memory_order_relaxed);

    uint64_t expected = slotWord(self, kRequested);
    if (!slot->word.compare_exchange_strong(expected, slotWord(self, kAnswering), std::memory_order_acq_rel)) {
        return;
    }
    slot->parked.store(&parked, std::memory_order_relaxed);
    expected = slotWord(self, kAnswering);
    if (!slot->word.compare_exchange_strong(expected, slotWord(self, kParked), std::memory_order_acq_rel)) {
        // The suspender gave up while we were answering; the slot is ours.
        slot->parked.store(nullptr, std::memory_order_relaxed);
        slot->word.store(0, std::memory_order_release);
        return;
    }
    slot->answered.fetch_add(1, std::memory_order_release);
    detail::rawFutexWake(futexWord(slot->answered), INT_MAX);

    // Parked: every signal is blocked by the handler's mask, so nothing of
    // the thread's own code runs until thread_resume sets `release`.
    while (parked.release.load(std::memory_order_acquire) == 0) {
        detail::rawFutexWait(futexWord(parked.release), 0, nullptr);
    }
}

// Installs the handler unless it is in place. Checked on every suspension so
// that a handler replaced or reset since (the signal's default action would
// end the process) is put back before the signal is sent.
bool ensureHandler(int signal) {
    struct sigaction current;
    if (sigaction(signal, nullptr, &current) != 0) return false;
    if ((current.sa_flags & SA_SIGINFO) && current.sa_sigaction == rendezvousHandler) return true;

    // SA_RESTART so that the target's interrupted system calls carry on as
    // if nothing happened. The full mask keeps the parked thread from running
    // any other handler. No SA_ONSTACK: the handler needs little stack, and an
    // alternate stack may be shared by several threads (the crash handler's
    // is), where a second thread's frame would overwrite the crashing one's.
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_sigaction = rendezvousHandler;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigfillset(&action.sa_mask);
    return sigaction(signal, &action, nullptr) == 0;
}

// Blocks the rendezvous signal in the calling thread while it suspends
// another, so that two threads suspending each other at the same time both
// time out instead of parking each other for good.
class RendezvousSignalBlock {
public:
    explicit RendezvousSignalBlock(int signal) {
        const uint64_t set = uint64_t{1} << (signal - 1);
        detail::rawSyscall(SYS_rt_sigprocmask, SIG_BLOCK, reinterpret_cast<long>(&set), reinterpret_cast<long>(&saved_),
                           sizeof saved_);
    }
    ~RendezvousSignalBlock() {
        detail::rawSyscall(SYS_rt_sigprocmask, SIG_SETMASK, reinterpret_cast<long>(&saved_), 0, sizeof saved_);
    }
    RendezvousSignalBlock(const RendezvousSignalBlock &) = delete;
    RendezvousSignalBlock &operator=(const RendezvousSignalBlock &) = delete;

private:
    uint64_t saved_ = 0;
};

// Whether `thread` has `signal` blocked, from the SigBlk line of its status
// file (raw reads, a small buffer: crash-path safe). False when that cannot
// be read.
bool signalBlockedBy(thread_t thread, int signal) {
    char path[48] = "/proc/self/task/";
    size_t length = std::strlen(path);
    char digits[12];
    int count = 0;
    for (uint32_t rest = thread; rest != 0 || count == 0; rest /= 10)
        digits[count++] = static_cast<char>('0' + rest % 10);
    while (count > 0) path[length++] = digits[--count];
    std::memcpy(path + length, "/status", sizeof "/status");
    const long fd = detail::rawSyscall(SYS_openat, AT_FDCWD, reinterpret_cast<long>(path), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;

    // Scans for "\nSigBlk:" and reads the hexadecimal mask after it; the
    // pattern may span two reads.
    static constexpr char kKey[] = "\nSigBlk:";
    size_t matched = 0;
    bool inMask = false, done = false;
    uint64_t mask = 0;
    char buffer[256];
    while (!done) {
        const long got = detail::rawSyscall(SYS_read, fd, reinterpret_cast<long>(buffer), sizeof buffer);
        if (got <= 0) break;
        for (long i = 0; i < got && !done; ++i) {
            const char c = buffer[i];
            if (inMask) {
                if (c == ' ' || c == '\t') continue;
                const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
                if (digit < 0) {
                    done = true;
                } else {
                    mask = (mask << 4) | static_cast<uint64_t>(digit);
                }
            } else if (c == kKey[matched]) {
                inMask = ++matched == sizeof kKey - 1;
            } else {
                matched = c == kKey[0] ? 1 : 0;
            }
        }
    }
    detail::rawSyscall(SYS_close, fd);
    return done && signal >= 1 && signal <= 64 && (mask >> (signal - 1)) & 1;
}

// Withdraws a request that was not answered in time. True when the thread
// parked after all (the request stands), false when it is withdrawn.
bool withdrawRequest(Slot *slot, thread_t thread) {
    uint64_t expected = slotWord(thread, kRequested);
    if (slot->word.compare_exchange_strong(expected, 0, std::memory_order_acq_rel)) return false;
    if (expected == slotWord(thread, kAnswering) &&
        slot->word.compare_exchange_strong(expected, slotWord(thread, kAbandoned), std::memory_order_acq_rel)) {
        return false;
    }
    return expected == slotWord(thread, kParked);
}

// Adds one suspension to a thread that is parked already.
bool addSuspension(thread_t thread) {
    Slot *slot = findSlot(slotWord(thread, kParked));
    if (slot == nullptr) return false;
    uint32_t count = slot->suspendCount.load(std::memory_order_acquire);
    while (count > 0) {
        if (slot->suspendCount.compare_exchange_weak(count, count + 1, std::memory_order_acq_rel)) return true;
    }
    return false;
}

}  // namespace

int thread_rendezvous_signal() { return SIGRTMIN + kThreadRendezvousSignalOffset; }

bool thread_rendezvous_install() { return ensureHandler(thread_rendezvous_signal()); }

kern_return_t thread_suspend(thread_t thread) {
    if (thread == MACH_PORT_NULL || thread > static_cast<thread_t>(INT_MAX) ||
        thread == static_cast<thread_t>(detail::rawGettid())) {
        return KERN_INVALID_ARGUMENT;
    }
    const int signal = thread_rendezvous_signal();
    if (!ensureHandler(signal)) return KERN_FAILURE;
    if (addSuspension(thread)) return KERN_SUCCESS;

    RendezvousSignalBlock block(signal);
    Slot *slot = claimSlot(thread);
    if (slot == nullptr) return KERN_RESOURCE_SHORTAGE;
    slot->parked.store(nullptr, std::memory_order_relaxed);
    slot->suspendCount.store(0, std::memory_order_relaxed);
    uint32_t answered = slot->answered.load(std::memory_order_acquire);
    slot->word.store(slotWord(thread, kRequested), std::memory_order_release);

    const long sent = detail::rawTgkill(detail::rawGetpid(), static_cast<int>(thread), signal);
    bool parked = false;
    if (sent == 0) {
        // A thread answers in microseconds unless it blocks the signal or
        // cannot run. One that still blocks it once the first, short wait is
        // over cannot answer until it unblocks it, which a thread that
        // inherited the mask never does: it is given up then instead of
        // costing every such thread the whole bound.
        const struct timespec deadline = detail::rawDeadlineAfterMs(kThreadSuspendTimeoutMs);
        const struct timespec blockedDeadline = detail::rawDeadlineAfterMs(kThreadSuspendBlockedTimeoutMs);
        const struct timespec *waitUntil = &blockedDeadline;
        for (;;) {
            if (slot->word.load(std::memory_order_acquire) == slotWord(thread, kParked)) {
                parked = true;
                break;
            }
            if (detail::rawFutexWait(futexWord(slot->answered), answered, waitUntil) == -ETIMEDOUT) {
                if (waitUntil == &deadline || signalBlockedBy(thread, signal)) break;
                waitUntil = &deadline;
                continue;
            }
            answered = slot->answered.load(std::memory_order_acquire);
        }
    }
    if (!parked) parked = withdrawRequest(slot, thread);
    if (parked) {
        slot->suspendCount.store(1, std::memory_order_release);
        return KERN_SUCCESS;
    }
    if (sent == -ESRCH || sent == -EINVAL) return KERN_INVALID_ARGUMENT;
    return sent == 0 ? KERN_OPERATION_TIMED_OUT : KERN_FAILURE;
}

kern_return_t thread_resume(thread_t thread) {
    if (thread == MACH_PORT_NULL) return KERN_INVALID_ARGUMENT;
    Slot *slot = findSlot(slotWord(thread, kParked));
    if (slot == nullptr) return KERN_FAILURE;
    uint32_t count = slot->suspendCount.load(std::memory_order_acquire);
    do {
        if (count == 0) return KERN_FAILURE;
    } while (!slot->suspendCount.compare_exchange_weak(count, count - 1, std::memory_order_acq_rel));
    if (count > 1) return KERN_SUCCESS;

    // Free the slot first, then let the thread go: it may be suspended again
    // at once, and the new request then waits for it in a slot of its own.
    ParkedThread *parked = slot->parked.load(std::memory_order_acquire);
    slot->parked.store(nullptr, std::memory_order_relaxed);
    slot->word.store(0, std::memory_order_release);
    if (parked != nullptr) {
        parked->release.store(1, std::memory_order_release);
        detail::rawFutexWake(futexWord(parked->release), 1);
    }
    return KERN_SUCCESS;
}

kern_return_t thread_state_copy_flavor(const x86_thread_state64_t &registers, const x86_exception_state64_t &exception,
                                       thread_state_flavor_t flavor, thread_state_t state,
                                       mach_msg_type_number_t *count) {
    mach_msg_type_number_t needed;
    switch (flavor) {
    case x86_THREAD_STATE: needed = x86_THREAD_STATE_COUNT; break;
    case x86_THREAD_STATE64: needed = x86_THREAD_STATE64_COUNT; break;
    case x86_EXCEPTION_STATE: needed = x86_EXCEPTION_STATE_COUNT; break;
    case x86_EXCEPTION_STATE64: needed = x86_EXCEPTION_STATE64_COUNT; break;
    default: return KERN_INVALID_ARGUMENT;
    }
    if (state == nullptr || count == nullptr || *count < needed) return KERN_INVALID_ARGUMENT;
    switch (flavor) {
    case x86_THREAD_STATE: {
        x86_thread_state_t record;
        std::memset(&record, 0, sizeof record);
        record.tsh.flavor = x86_THREAD_STATE64;
        record.tsh.count = static_cast<int32_t>(x86_THREAD_STATE64_COUNT);
        record.uts.ts64 = registers;
        std::memcpy(state, &record, sizeof record);
        break;
    }
    case x86_THREAD_STATE64: std::memcpy(state, &registers, sizeof registers); break;
    case x86_EXCEPTION_STATE: {
        x86_exception_state_t record;
        std::memset(&record, 0, sizeof record);
        record.esh.flavor = x86_EXCEPTION_STATE64;
        record.esh.count = static_cast<int32_t>(x86_EXCEPTION_STATE64_COUNT);
        record.ues.es64 = exception;
        std::memcpy(state, &record, sizeof record);
        break;
    }
    default: std::memcpy(state, &exception, sizeof exception); break;
    }
    *count = needed;
    return KERN_SUCCESS;
}

kern_return_t thread_get_state(thread_t thread, thread_state_flavor_t flavor, thread_state_t state,
                               mach_msg_type_number_t *count) {
    if (state == nullptr || count == nullptr || thread == MACH_PORT_NULL ||
        thread == static_cast<thread_t>(detail::rawGettid())) {
        return KERN_INVALID_ARGUMENT;
    }
    // A thread parked in exception delivery answers with its fault context,
    // even while it is suspended as well.
    x86_thread_state64_t registers{};
    x86_exception_state64_t exception{};
    if (!exception_parked_state(thread, &registers, &exception)) {
        mach_msg_type_number_t probe = *count;
        // Flavor and size are checked before looking for the thread.
        const kern_return_t checked = thread_state_copy_flavor(registers, exception, flavor, state, &probe);
        if (checked != KERN_SUCCESS) return checked;
        Slot *slot = findSlot(slotWord(thread, kParked));
        const ParkedThread *parked = slot ? slot->parked.load(std::memory_order_acquire) : nullptr;
        if (parked == nullptr) return KERN_FAILURE;
        registers = parked->state;
        exception = parked->exception;
    }
    return thread_state_copy_flavor(registers, exception, flavor, state, count);
}

kern_return_t thread_set_state(thread_t thread, thread_state_flavor_t flavor, thread_state_t state,
                               mach_msg_type_number_t count) {
    if (state == nullptr || thread == MACH_PORT_NULL) return KERN_INVALID_ARGUMENT;
    x86_thread_state64_t registers;
    if (flavor == x86_THREAD_STATE64 && count >= x86_THREAD_STATE64_COUNT) {
        std::memcpy(&registers, state, sizeof registers);
    } else if (flavor == x86_THREAD_STATE && count >= x86_THREAD_STATE_COUNT) {
        x86_thread_state_t record;
        std::memcpy(&record, state, sizeof record);
        if (record.tsh.flavor != x86_THREAD_STATE64) return KERN_INVALID_ARGUMENT;
        registers = record.uts.ts64;
    } else {
        return KERN_INVALID_ARGUMENT;
    }
    return exception_parked_set_state(thread, &registers) ? KERN_SUCCESS : KERN_FAILURE;
}

}  // namespace platform::mach
