// Crash path: faultHandler runs on the faulting thread's alternate stack.
// It allocates nothing; the parked table is a fixed array of atomics; the
// only lock it takes is the space lock, with a bound, inside the message
// calls. Set-up (updateExceptionDelivery) runs outside the crash path.
#include "platform/mach/exception_delivery.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <mutex>
#include <sys/mman.h>
#include <ucontext.h>

#include "platform/mach/exception_raise.h"
#include "platform/mach/exception_tables.h"
#include "platform/mach/signal_translation.h"
#include "platform/mach/thread_suspend.h"
#include "platform/mach/thread_syscall.h"
#include "platform/mach/thread_ucontext.h"

namespace platform::mach {
namespace {

// The signals delivered as exceptions, and the type each stands for.
struct Takeover {
    int signo;
    exception_type_t type;
    bool owned;
    struct sigaction previous;  // the disposition in force when the layer took over
};
Takeover gTakeovers[] = {
    {SIGSEGV, EXC_BAD_ACCESS, false, {}},     {SIGBUS, EXC_BAD_ACCESS, false, {}},
    {SIGILL, EXC_BAD_INSTRUCTION, false, {}}, {SIGFPE, EXC_ARITHMETIC, false, {}},
    {SIGTRAP, EXC_BREAKPOINT, false, {}},
};

std::mutex gTakeoverMutex;

// A thread waiting for its exception's reply: its context lives on its own
// (alternate) stack for as long as it is registered here.
struct ParkedFault {
    x86_thread_state64_t state;
    x86_exception_state64_t exception;
};

constexpr unsigned kMaxParked = 64;
struct ParkedSlot {
    std::atomic<uint32_t> thread;
    std::atomic<ParkedFault *> fault;
};
ParkedSlot gParked[kMaxParked];

ParkedSlot *park(thread_t thread, ParkedFault *fault) {
    for (ParkedSlot &slot : gParked) {
        uint32_t expected = 0;
        if (slot.thread.compare_exchange_strong(expected, thread)) {
            slot.fault.store(fault, std::memory_order_release);
            return &slot;
        }
    }
    return nullptr;  // full: delivered all the same, but its state cannot be read
}

void unpark(ParkedSlot *slot) {
    if (slot == nullptr) return;
    slot->fault.store(nullptr, std::memory_order_release);
    slot->thread.store(0, std::memory_order_release);
}

ParkedFault *parkedFault(thread_t thread) {
    for (ParkedSlot &slot : gParked) {
        if (slot.thread.load(std::memory_order_acquire) == thread) return slot.fault.load(std::memory_order_acquire);
    }
    return nullptr;
}

Takeover *takeoverOf(int signo) {
    for (Takeover &t : gTakeovers) {
        if (t.signo == signo) return &t;
    }
    return nullptr;
}

// The exception a fault stands for: its first code and the address. Bad
// access says whether the address was mapped at all (KERN_INVALID_ADDRESS)
// or the access was refused (KERN_PROTECTION_FAILURE).
void exceptionCodes(int signo, const siginfo_t *info, mach_exception_data_type_t codes[2]) {
    const DarwinSignal darwin = darwinSignalFromHost(signo, info->si_code);
    switch (signo) {
    case SIGSEGV:
    case SIGBUS:
        codes[0] =
            (signo == SIGSEGV && darwin.code == kDarwinSEGV_MAPERR) ? KERN_INVALID_ADDRESS : KERN_PROTECTION_FAILURE;
        break;
    case SIGILL: codes[0] = EXC_I386_INVOP; break;
    case SIGFPE:
        codes[0] = (info->si_code == FPE_INTDIV || info->si_code == FPE_INTOVF) ? EXC_I386_DIV : EXC_I386_EXTERR;
        break;
    default: codes[0] = info->si_code == TRAP_TRACE ? EXC_I386_SGL : EXC_I386_BPT; break;
    }
    codes[1] = static_cast<mach_exception_data_type_t>(reinterpret_cast<uintptr_t>(info->si_addr));
}

// Takes a state a handler returned, for the flavours that carry registers.
void applyReturnedState(ParkedFault &fault, thread_state_flavor_t flavor, const natural_t *state,
                        mach_msg_type_number_t count) {
    if (flavor == x86_THREAD_STATE64 && count >= x86_THREAD_STATE64_COUNT) {
        std::memcpy(&fault.state, state, sizeof fault.state);
    } else if (flavor == x86_THREAD_STATE && count >= x86_THREAD_STATE_COUNT) {
        x86_thread_state_t record;
        std::memcpy(&record, state, sizeof record);
        if (record.tsh.flavor == x86_THREAD_STATE64) fault.state = record.uts.ts64;
    }
}

// The registers a resumed thread runs on with: the parked context, which a
// state reply or thread_set_state may have changed.
void writeBack(const x86_thread_state64_t &s, ucontext_t *context) {
    greg_t *g = context->uc_mcontext.gregs;
    g[REG_RAX] = static_cast<greg_t>(s.rax);
    g[REG_RBX] = static_cast<greg_t>(s.rbx);
    g[REG_RCX] = static_cast<greg_t>(s.rcx);
    g[REG_RDX] = static_cast<greg_t>(s.rdx);
    g[REG_RDI] = static_cast<greg_t>(s.rdi);
    g[REG_RSI] = static_cast<greg_t>(s.rsi);
    g[REG_RBP] = static_cast<greg_t>(s.rbp);
    g[REG_RSP] = static_cast<greg_t>(s.rsp);
    g[REG_R8] = static_cast<greg_t>(s.r8);
    g[REG_R9] = static_cast<greg_t>(s.r9);
    g[REG_R10] = static_cast<greg_t>(s.r10);
    g[REG_R11] = static_cast<greg_t>(s.r11);
    g[REG_R12] = static_cast<greg_t>(s.r12);
    g[REG_R13] = static_cast<greg_t>(s.r13);
    g[REG_R14] = static_cast<greg_t>(s.r14);
    g[REG_R15] = static_cast<greg_t>(s.r15);
    g[REG_RIP] = static_cast<greg_t>(s.rip);
    g[REG_EFL] = static_cast<greg_t>(s.rflags);
}

// Offers the exception to one handler; the kernel result of its reply.
kern_return_t offer(mach_port_t port, exception_behavior_t behavior, thread_state_flavor_t flavor, thread_t thread,
                    exception_type_t type, const mach_exception_data_type_t codes[2], ParkedFault &fault) {
    const bool codes64 = (behavior & MACH_EXCEPTION_CODES) != 0;
    const exception_data_type_t narrow[2] = {static_cast<exception_data_type_t>(codes[0]),
                                             static_cast<exception_data_type_t>(codes[1])};
    const exception_behavior_t base = behavior & ~MACH_EXCEPTION_CODES;
    if (base == EXCEPTION_DEFAULT) {
        return codes64 ? mach_exception_raise(port, thread, mach_task_self(), type, codes, 2)
                       : exception_raise(port, thread, mach_task_self(), type, narrow, 2);
    }
    natural_t oldState[THREAD_STATE_MAX];
    natural_t newState[THREAD_STATE_MAX];
    mach_msg_type_number_t newCount = THREAD_STATE_MAX;
    mach_msg_type_number_t oldCount = THREAD_STATE_MAX;
    const kern_return_t read = thread_state_copy_flavor(fault.state, fault.exception, flavor, oldState, &oldCount);
    if (read != KERN_SUCCESS) return read;
    kern_return_t kr;
    if (base == EXCEPTION_STATE) {
        kr = codes64
                 ? mach_exception_raise_state(port, type, codes, 2, &flavor, oldState, oldCount, newState, &newCount)
                 : exception_raise_state(port, type, narrow, 2, &flavor, oldState, oldCount, newState, &newCount);
    } else {
        kr = codes64 ? mach_exception_raise_state_identity(port, thread, mach_task_self(), type, codes, 2, &flavor,
                                                           oldState, oldCount, newState, &newCount)
                     : exception_raise_state_identity(port, thread, mach_task_self(), type, narrow, 2, &flavor,
                                                      oldState, oldCount, newState, &newCount);
    }
    if (kr == KERN_SUCCESS) applyReturnedState(fault, flavor, newState, newCount);
    return kr;
}

// Sends the fault to the thread's port, then the task's. True when one of
// them answered success.
bool deliverAsException(int signo, const siginfo_t *info, ucontext_t *context) {
    const Takeover *takeover = takeoverOf(signo);
    if (takeover == nullptr) return false;
    const auto thread = static_cast<thread_t>(detail::rawGettid());
    mach_exception_data_type_t codes[2];
    exceptionCodes(signo, info, codes);

    ParkedFault fault;
    thread_state_from_ucontext(context, &fault.state, &fault.exception);
    ParkedSlot *slot = park(thread, &fault);
    bool handled = false;
    for (const bool threadLevel : {true, false}) {
        mach_port_t port = MACH_PORT_NULL;
        exception_behavior_t behavior = 0;
        thread_state_flavor_t flavor = 0;
        if (!detail::exceptionHandlerFor(threadLevel, thread, takeover->type, &port, &behavior, &flavor)) continue;
        const kern_return_t kr = offer(port, behavior, flavor, thread, takeover->type, codes, fault);
        mach_port_deallocate(mach_task_self(), port);
        if (kr == KERN_SUCCESS) {
            handled = true;
            break;
        }
    }
    unpark(slot);
    if (handled) writeBack(fault.state, context);
    return handled;
}

void faultHandler(int signo, siginfo_t *info, void *context);

// No handler took the fault: what the process did before the layer took
// the signal over.
void runPrevious(int signo, siginfo_t *info, void *context) {
    struct sigaction previous;
    std::memset(&previous, 0, sizeof previous);  // none known: the default action
    if (const Takeover *takeover = takeoverOf(signo)) previous = takeover->previous;
    if ((previous.sa_flags & SA_SIGINFO) && previous.sa_sigaction != nullptr) {
        previous.sa_sigaction(signo, info, context);
        return;
    }
    if (previous.sa_handler == SIG_IGN && info != nullptr && info->si_code <= 0) return;  // sent, ignored before
    if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN && previous.sa_handler != nullptr) {
        previous.sa_handler(signo);
        return;
    }
    // The default action (a fault once ignored would only repeat): the
    // process dies of the signal.
    detail::endWithSignal(signo, info, context, faultHandler);
}

void faultHandler(int signo, siginfo_t *info, void *context) {
    detail::endIfSteppingPastFault();
    const int savedErrno = errno;
    // Only faults the kernel raised are exceptions; a signal a process sent
    // goes straight on.
    if (info == nullptr || info->si_code <= 0 || !deliverAsException(signo, info, static_cast<ucontext_t *>(context))) {
        runPrevious(signo, info, context);
    }
    errno = savedErrno;
}

// The faulting thread needs an alternate stack to report a stack overflow;
// the thread that sets exception ports up gets one when it has none.
void ensureAlternateStack() {
    stack_t current;
    if (sigaltstack(nullptr, &current) != 0 || !(current.ss_flags & SS_DISABLE)) return;
    constexpr size_t kStackSize = 65536;
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void *mapping =
        mmap(nullptr, kStackSize + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (mapping == MAP_FAILED) return;
    mprotect(mapping, page, PROT_NONE);  // guard page below the stack
    stack_t stack;
    stack.ss_sp = static_cast<char *>(mapping) + page;
    stack.ss_size = kStackSize;
    stack.ss_flags = 0;
    if (sigaltstack(&stack, nullptr) != 0) munmap(mapping, kStackSize + page);
}

}  // namespace

bool exception_parked_state(thread_t thread, x86_thread_state64_t *state, x86_exception_state64_t *exception) {
    const ParkedFault *fault = thread != MACH_PORT_NULL ? parkedFault(thread) : nullptr;
    if (fault == nullptr) return false;
    if (state) *state = fault->state;
    if (exception) *exception = fault->exception;
    return true;
}

bool exception_parked_set_state(thread_t thread, const x86_thread_state64_t *state) {
    ParkedFault *fault = thread != MACH_PORT_NULL ? parkedFault(thread) : nullptr;
    if (fault == nullptr || state == nullptr) return false;
    fault->state = *state;
    return true;
}

namespace detail {

void updateExceptionDelivery(exception_mask_t covered) {
    std::lock_guard<std::mutex> guard(gTakeoverMutex);
    for (Takeover &t : gTakeovers) {
        const bool wanted = (covered & (1u << t.type)) != 0;
        if (wanted && !t.owned) {
            ensureAlternateStack();
            struct sigaction action;
            std::memset(&action, 0, sizeof action);
            action.sa_sigaction = faultHandler;
            action.sa_flags = SA_SIGINFO | SA_ONSTACK;
            // Nothing else runs on the thread while it waits for its reply,
            // except a suspension, which the crash writer needs.
            sigfillset(&action.sa_mask);
            sigdelset(&action.sa_mask, thread_rendezvous_signal());
            if (sigaction(t.signo, &action, &t.previous) == 0) t.owned = true;
        } else if (!wanted && t.owned) {
            struct sigaction current;
            if (sigaction(t.signo, nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) &&
                current.sa_sigaction == faultHandler) {
                sigaction(t.signo, &t.previous, nullptr);
            }
            t.owned = false;
        }
    }
}

}  // namespace detail
}  // namespace platform::mach
