#include <csetjmp>
#include <csignal>
#include <cstring>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/mach/thread_ucontext.h"
#include "thread_test_child.h"

using namespace platform::mach;

// Faulting accesses at known instructions: each stores its stack pointer
// through %rsi first, then touches (%rdi) at the exported label.
extern "C" void thread_test_fault_read(void *address, uintptr_t *rsp);
extern "C" void thread_test_fault_write(void *address, uintptr_t *rsp);
extern "C" char thread_test_fault_read_insn[];
extern "C" char thread_test_fault_write_insn[];
// Sends itself a signal with a raw tgkill (pid, tid, signal) and 0x2000 +
// index in rbx and r12-r15 meanwhile; the return label follows the syscall.
extern "C" void thread_test_raise(long pid, long tid, long signal, uintptr_t *rsp);
extern "C" char thread_test_raise_return[];
asm(R"(
    .text
    .globl  thread_test_fault_read, thread_test_fault_read_insn
    .globl  thread_test_fault_write, thread_test_fault_write_insn
    .globl  thread_test_raise, thread_test_raise_return
thread_test_fault_read:
    movq    %rsp, (%rsi)
thread_test_fault_read_insn:
    movq    (%rdi), %rax
    ret
thread_test_fault_write:
    movq    %rsp, (%rsi)
thread_test_fault_write_insn:
    movq    $0, (%rdi)
    ret
thread_test_raise:
    pushq   %rbx
    pushq   %r12
    pushq   %r13
    pushq   %r14
    pushq   %r15
    movq    %rsp, (%rcx)
    movq    $0x2001, %rbx
    movq    $0x200c, %r12
    movq    $0x200d, %r13
    movq    $0x200e, %r14
    movq    $0x200f, %r15
    movq    $234, %rax
    syscall
thread_test_raise_return:
    popq    %r15
    popq    %r14
    popq    %r13
    popq    %r12
    popq    %rbx
    ret
)");

namespace {

sigjmp_buf gJump;
x86_thread_state64_t gState;
x86_exception_state64_t gException;
int gSignal;

void convertingHandler(int signal, siginfo_t *, void *context) {
    gSignal = signal;
    thread_state_from_ucontext(static_cast<const ucontext_t *>(context), &gState, &gException);
    if (signal == SIGSEGV) siglongjmp(gJump, 1);
}

void installHandler(int signal) {
    struct sigaction action {};
    action.sa_sigaction = convertingHandler;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
}

std::string hex(uint64_t value) {
    char text[32];
    snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

}  // namespace

TEST(ThreadUcontext, MapsEveryRegisterAndSplitsTheSegmentWord) {
    ucontext_t context;
    std::memset(&context, 0, sizeof context);
    for (int i = 0; i < NGREG; ++i) context.uc_mcontext.gregs[i] = 0x100 + i;
    // ss in the top 16 bits, then fs, gs, cs.
    context.uc_mcontext.gregs[REG_CSGSFS] = static_cast<greg_t>(0x002b006300550033ull);
    context.uc_mcontext.gregs[REG_TRAPNO] = 0x1000e;
    context.uc_mcontext.gregs[REG_ERR] = 0x6;
    context.uc_mcontext.gregs[REG_CR2] = static_cast<greg_t>(0xffff800012345678ull);

    x86_mcontext64_t mcontext;
    std::memset(&mcontext, 0xa5, sizeof mcontext);
    mcontext64_from_ucontext(&context, &mcontext);
    const x86_thread_state64_t &s = mcontext.ss;
    const uint64_t expected[] = {
        0x100u + REG_RAX,
        0x100u + REG_RBX,
        0x100u + REG_RCX,
        0x100u + REG_RDX,
        0x100u + REG_RDI,
        0x100u + REG_RSI,
        0x100u + REG_RBP,
        0x100u + REG_RSP,
        0x100u + REG_R8,
        0x100u + REG_R9,
        0x100u + REG_R10,
        0x100u + REG_R11,
        0x100u + REG_R12,
        0x100u + REG_R13,
        0x100u + REG_R14,
        0x100u + REG_R15,
        0x100u + REG_RIP,
        0x100u + REG_EFL,
        0x33,
        0x63,
        0x55,
    };
    uint64_t actual[21];
    std::memcpy(actual, &s, sizeof actual);
    for (int i = 0; i < 21; ++i) EXPECT_EQ(actual[i], expected[i]) << "field " << i;
    EXPECT_EQ(mcontext.es.trapno, 0xeu);
    EXPECT_EQ(mcontext.es.cpu, 0u);
    EXPECT_EQ(mcontext.es.err, 6u);
    EXPECT_EQ(mcontext.es.faultvaddr, 0xffff800012345678ull);
}

TEST(ThreadUcontext, RealFaultsGiveTheFaultingInstructionAndAddress) {
    const std::string result = threadtest::runInChild([]() -> std::string {
        installHandler(SIGSEGV);
        void *page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        THREAD_CHILD_CHECK(page != MAP_FAILED, "mmap");
        char *target = static_cast<char *>(page) + 0x128;

        struct Case {
            void (*access)(void *, uintptr_t *);
            const char *instruction;
            uint32_t writeBit;
        } cases[] = {{thread_test_fault_read, thread_test_fault_read_insn, 0},
                     {thread_test_fault_write, thread_test_fault_write_insn, 2}};
        for (const Case &c : cases) {
            volatile uintptr_t rsp = 0;
            if (sigsetjmp(gJump, 1) == 0) {
                c.access(target, const_cast<uintptr_t *>(&rsp));
                return "no fault";
            }
            THREAD_CHILD_CHECK(gSignal == SIGSEGV, std::to_string(gSignal));
            THREAD_CHILD_CHECK(gState.rip == reinterpret_cast<uintptr_t>(c.instruction), hex(gState.rip));
            THREAD_CHILD_CHECK(gState.rsp == rsp, hex(gState.rsp) + " vs " + hex(rsp));
            THREAD_CHILD_CHECK(gState.rdi == reinterpret_cast<uintptr_t>(target), hex(gState.rdi));
            THREAD_CHILD_CHECK(gState.cs == 0x33, hex(gState.cs));
            THREAD_CHILD_CHECK(gException.trapno == 14, std::to_string(gException.trapno));  // page fault
            // user mode (4), read or write (2), page not present (1 clear)
            THREAD_CHILD_CHECK(gException.err == (4u | c.writeBit), hex(gException.err));
            THREAD_CHILD_CHECK(gException.faultvaddr == reinterpret_cast<uintptr_t>(target),
                               hex(gException.faultvaddr));
        }
        return "";
    });
    EXPECT_EQ(result, "");
}

TEST(ThreadUcontext, RaisedSignalGivesTheInterruptedPoint) {
    const std::string result = threadtest::runInChild([]() -> std::string {
        installHandler(SIGUSR1);
        uintptr_t rsp = 0;
        thread_test_raise(getpid(), syscall(SYS_gettid), SIGUSR1, &rsp);
        THREAD_CHILD_CHECK(gSignal == SIGUSR1, std::to_string(gSignal));
        THREAD_CHILD_CHECK(gState.rip == reinterpret_cast<uintptr_t>(thread_test_raise_return), hex(gState.rip));
        THREAD_CHILD_CHECK(gState.rsp == rsp, hex(gState.rsp) + " vs " + hex(rsp));
        THREAD_CHILD_CHECK(gState.rbx == 0x2001 && gState.r12 == 0x200c && gState.r13 == 0x200d &&
                               gState.r14 == 0x200e && gState.r15 == 0x200f,
                           hex(gState.rbx));
        THREAD_CHILD_CHECK(gState.rdx == SIGUSR1, hex(gState.rdx));
        THREAD_CHILD_CHECK(gState.cs == 0x33, hex(gState.cs));
        return "";
    });
    EXPECT_EQ(result, "");
}
