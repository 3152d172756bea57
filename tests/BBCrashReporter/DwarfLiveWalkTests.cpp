// Live walks with the DWARF call-frame reader through the images the
// dynamic-loader layer presents: out of -O2 -fomit-frame-pointer code
// through qsort's callback, out of a signal handler from the interrupted
// context and through the signal frame, and past a call that never returns.
// Each frame's instruction and stack pointers are checked against
// _Unwind_Backtrace, and registers against libunwind's unw_step.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#include <unwind.h>

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "DwarfLiveFrames.h"
#include "LiveWalks.h"
#include "LoadedImages.h"
#include "bbcrash_frame_dwarf_unwind.h"
#include "bbcrash_frame_fp_reader.h"
#include "platform/mach/thread_capture.h"
#include "platform/mach/thread_ucontext.h"
#include "support/Sanitizers.h"

using namespace platform::mach;
using namespace livewalk;

namespace {

struct ProbeResults {
    Walk ours, unwind, libunwind;
};

void probe(void *data) {
    auto *results = static_cast<ProbeResults *>(data);
    walkOurs(&results->ours);
    walkUnwind(&results->unwind);
    walkLibunwind(&results->libunwind);
    __asm__ volatile("");  // no tail call: every walk sees this frame
}

// Our frames from `oursFrom` on against the others' from their indexes on:
// the same instruction pointers; our stack pointers equal libunwind's and
// the CFA _Unwind reports (the CFA of the frame below, which is this frame's
// stack pointer). Registers that both know match.
// Where the walks meet: the index of the same frame in each.
struct Start {
    int ours, unwind, libunwind;
};

// Our walk must deliver at least `mustReach` frames from its start (-1: all
// that _Unwind_Backtrace found but its final one).
void compareWalks(const Walk &ours, const Walk &unwind, const Walk *libunwind, const Start &start, int mustReach) {
    const int oursFrom = start.ours, unwindFrom = start.unwind, libunwindFrom = start.libunwind;
    struct Dump {
        const Walk &o, &u;
        const Walk *l;
        ~Dump() {
            if (::testing::Test::HasFailure()) {
                std::printf("%s%s%s", describe("ours", o).c_str(), describe("_Unwind_Backtrace", u).c_str(),
                            l ? describe("libunwind", *l).c_str() : "");
            }
        }
    } dump{ours, unwind, libunwind};
    const int frames = unwind.count - unwindFrom;
    ASSERT_GE(ours.count - oursFrom, mustReach < 0 ? frames - 1 : mustReach)
        << "our walk ended early with " << ours.end;
    for (int k = 0; k < frames && oursFrom + k < ours.count; k++) {
        const Frame &o = ours.frames[oursFrom + k];
        const Frame &u = unwind.frames[unwindFrom + k];
        EXPECT_EQ(o.ip, u.ip) << "frame " << k << " (" << symbolName(u.ip) << ")";
        if (k > 0) {
            ASSERT_TRUE(o.hasSp);
            EXPECT_EQ(o.sp, u.sp) << "frame " << k << " (" << symbolName(u.ip) << ")";
        }
        if (libunwind != nullptr && libunwindFrom + k < libunwind->count) {
            const Frame &l = libunwind->frames[libunwindFrom + k];
            EXPECT_EQ(o.ip, l.ip) << "frame " << k;
            if (k > 0) {
                EXPECT_EQ(o.sp, l.sp) << "frame " << k << " (" << symbolName(l.ip) << ")";
            }
            for (int r = 0; r < 6; r++) {
                if (k > 0 && o.hasReg[r] && l.hasReg[r]) {
                    EXPECT_EQ(o.regs[r], l.regs[r])
                        << "frame " << k << " (" << symbolName(l.ip) << ") register " << kCalleeSavedNames[r];
                }
            }
        }
    }
}

}  // namespace

TEST(DwarfLiveWalkTests, QsortCallbackWalkMatchesUnwindBacktraceAndLibunwind) {
    SKIP_UNDER_SANITIZERS("AddressSanitizer intercepts qsort, so the walk passes through its interceptor");
    static ProbeResults results;
    results = ProbeResults{};
    dwarf_live_sort_outer(probe, &results, 0);
    // Frames 0 and 1 are the walkers and the probe; from 2 on (the
    // comparator, qsort's internals, the sort functions, this test, the
    // test runner, main) all three must agree.
    const Walk *lib = results.libunwind.count > 0 ? &results.libunwind : nullptr;
    ASSERT_GT(results.unwind.count, 10);
    compareWalks(results.ours, results.unwind, lib, {2, 2, 2}, -1);
    bool sawQsort = false, sawOuter = false;
    for (int k = 2; k < results.ours.count; k++) {
        const std::string name = symbolName(results.ours.frames[k].ip);
        sawQsort |= name.find("qsort") != std::string::npos || name.find("msort") != std::string::npos;
        sawOuter |= results.ours.frames[k].ip == reinterpret_cast<uintptr_t>(dwarf_live_outer_return);
    }
    EXPECT_TRUE(sawQsort);
    EXPECT_TRUE(sawOuter);
    if (lib == nullptr) {
        std::printf("libunwind not available: registers not compared\n");
    }
}

// The cursor's default readers (compact unwind, DWARF, frame pointers) on
// ELF code: the compact tables built for ELF images, with DWARF for the rows
// that have no compact encoding.
TEST(DwarfLiveWalkTests, DefaultReadersWalkTheSameStack) {
    static ProbeResults results;
    results = ProbeResults{};
    g_defaultReaders = true;
    dwarf_live_sort_outer(probe, &results, 0);
    g_defaultReaders = false;
    compareWalks(results.ours, results.unwind, nullptr, {2, 2, 0}, -1);
}

namespace {

// Runs `body` on a thread whose stack is a buffer filled with a pattern, and
// returns how many bytes of it were used.
size_t measureStack(void (*body)()) {
    constexpr size_t kSize = 256 * 1024;
    static uint8_t *stack = static_cast<uint8_t *>(aligned_alloc(4096, kSize));
    std::memset(stack, 0xA5, kSize);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstack(&attr, stack, kSize);
    pthread_t thread;
    pthread_create(
        &thread, &attr,
        [](void *arg) -> void * {
            reinterpret_cast<void (*)()>(arg)();
            return nullptr;
        },
        reinterpret_cast<void *>(body));
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
    size_t untouched = 0;
    while (untouched < kSize && stack[untouched] == 0xA5) untouched++;
    return kSize - untouched;
}

size_t g_baseline;

}  // namespace

// One step of each reader fits the 64 KiB alternate signal stack with room
// to spare: the deepest walk here (DWARF through libc, with its rule tables
// and expression stack) is measured against a thread that only captures.
TEST(DwarfLiveWalkTests, WalkStackUseIsSmall) {
    SKIP_UNDER_SANITIZERS("the instrumentation enlarges every frame, so the stack bound does not hold");
    const size_t baseline = measureStack([] {
        x86_mcontext64_t mctx{};
        platform_mach_thread_capture_state64(&mctx.ss);
        g_baseline = mctx.ss.rsp;
    });
    const size_t walking = measureStack([] {
        static ProbeResults results;
        results = ProbeResults{};
        g_defaultReaders = true;
        walkOurs(&results.ours);
        g_defaultReaders = false;
    });
    std::printf("stack: %zu bytes for a thread that captures, %zu for a full walk\n", baseline, walking);
    EXPECT_LT(walking, baseline + 24 * 1024);
}

namespace {

sigjmp_buf g_escape;

void escapeProbe(void *data) {
    probe(data);
    siglongjmp(g_escape, 1);
}

}  // namespace

// The return address of a call that never returns is the first byte of the
// next function; the walk must still find the caller's caller.
TEST(DwarfLiveWalkTests, CallerOfANoReturnCallUnwindsAsItself) {
    static ProbeResults results;
    results = ProbeResults{};
    if (sigsetjmp(g_escape, 0) == 0) {
        dwarf_live_noreturn_caller(escapeProbe, &results);
    }
    // Frames: walker, probe, escapeProbe, never_returns, noreturn_caller, this test...
    ASSERT_GT(results.unwind.count, 6);
    const uint64_t returnAddress = results.unwind.frames[4].ip;
    ASSERT_EQ(returnAddress, reinterpret_cast<uintptr_t>(&dwarf_live_after_noreturn_caller))
        << "the fixture's layout changed: the call is no longer the caller's last instruction";
    const Walk *lib = results.libunwind.count > 0 ? &results.libunwind : nullptr;
    compareWalks(results.ours, results.unwind, lib, {3, 3, 3}, -1);
    // The reported pc stays the return address itself.
    EXPECT_EQ(results.ours.frames[4].ip, returnAddress);
}

// In a child process: a fault inside the comparator, and walks from the
// signal handler.
namespace {

struct SignalResults {
    Walk fromContext;          // ours, from the interrupted context
    ProbeResults fromHandler;  // all three, from inside the handler
    uint64_t faultIp;
    uint64_t childReturn;  // where runSignalChild returns to
};

SignalResults *g_signalResults;

void faultHandler(int, siginfo_t *, void *context) {
    auto *uc = static_cast<ucontext_t *>(context);
    x86_mcontext64_t mctx{};
    mcontext64_from_ucontext(uc, &mctx);
    g_signalResults->faultIp = mctx.ss.rip;
    bbcrash_async_thread_state state;
    bbcrash_async_thread_state_mcontext_init(&state, &mctx);
    walkFrom(state, &g_signalResults->fromContext);
    probe(&g_signalResults->fromHandler);
    _exit(0);
}

// Installs the fault handler that walks; the walks must reach the caller of
// the function that calls this.
void prepareSignalChild(SignalResults *shared, uintptr_t childReturn) {
    shared->childReturn = childReturn;
    g_signalResults = shared;
    struct sigaction action {};
    action.sa_sigaction = faultHandler;
    action.sa_flags = SA_SIGINFO;
    sigaction(SIGSEGV, &action, nullptr);
}

__attribute__((noinline)) void runSignalChild(SignalResults *shared) {
    prepareSignalChild(shared, reinterpret_cast<uintptr_t>(__builtin_return_address(0)));
    dwarf_live_sort_outer(probe, nullptr, 1);
    _exit(3);
}

// The same with the fault on the first instruction after a stack adjustment.
__attribute__((noinline)) void runAdjustChild(SignalResults *shared) {
    prepareSignalChild(shared, reinterpret_cast<uintptr_t>(__builtin_return_address(0)));
    volatile long sink = dwarf_live_fault_after_adjust(7);
    (void)sink;
    _exit(3);
}

// Runs `body` in a forked process and returns what it left behind (null
// when it did not end with status 0).
SignalResults *runInChild(void (*body)(SignalResults *)) {
    auto *shared = static_cast<SignalResults *>(
        mmap(nullptr, sizeof(SignalResults), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    if (shared == MAP_FAILED) {
        return nullptr;
    }
    new (shared) SignalResults{};
    unwindtest::loadedImageList();  // built before the fork, outside the handler
    const pid_t child = fork();
    if (child == 0) {
        alarm(20);
        body(shared);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        munmap(shared, sizeof(SignalResults));
        return nullptr;
    }
    return shared;
}

int indexOf(const Walk &walk, uint64_t ip) {
    for (int k = 0; k < walk.count; k++) {
        if (walk.frames[k].ip == ip) return k;
    }
    return -1;
}

}  // namespace

TEST(DwarfLiveWalkTests, SignalFrameWalksMatchUnwindBacktraceAndLibunwind) {
    SKIP_UNDER_SANITIZERS(
        "the fault is a deliberate store to null, which UndefinedBehaviorSanitizer stops first, "
        "inside the intercepted qsort");
    SignalResults *shared = runInChild(runSignalChild);
    ASSERT_NE(shared, nullptr) << "the child failed";
    const SignalResults &r = *shared;

    // From the interrupted context: frame 0 is the faulting instruction.
    ASSERT_GT(r.fromContext.count, 0);
    EXPECT_EQ(r.fromContext.frames[0].ip, r.faultIp);
    EXPECT_LT(r.faultIp, reinterpret_cast<uintptr_t>(&dwarf_live_sort_outer));  // inside the comparator
    const int u = indexOf(r.fromHandler.unwind, r.faultIp);
    ASSERT_GE(u, 0) << "_Unwind_Backtrace did not pass through the signal frame";
    const Walk *lib = r.fromHandler.libunwind.count > 0 ? &r.fromHandler.libunwind : nullptr;
    const int l = lib ? indexOf(*lib, r.faultIp) : -1;
    const int caller = indexOf(r.fromHandler.unwind, r.childReturn);
    ASSERT_GT(caller, u);
    {
        SCOPED_TRACE("walk from the interrupted context");
        compareWalks(r.fromContext, r.fromHandler.unwind, lib, {0, u, l}, caller - u + 1);
    }
    // From inside the handler, through the signal trampoline.
    {
        SCOPED_TRACE("walk through the signal frame");
        const int o = indexOf(r.fromHandler.ours, r.faultIp);
        ASSERT_GE(o, 0) << "our walk did not pass through the signal frame (ended with " << r.fromHandler.ours.end
                        << ")";
        compareWalks(r.fromHandler.ours, r.fromHandler.unwind, lib, {2, 2, 2}, caller - 2 + 1);
    }
    munmap(shared, sizeof(SignalResults));
}

// The interrupted frame holds the faulting instruction, not a return
// address: looked up at pc - 1, a fault right after a stack adjustment gets
// the row before the adjustment and the walk goes astray.
TEST(DwarfLiveWalkTests, FaultRightAfterAStackAdjustmentUnwinds) {
    SignalResults *shared = runInChild(runAdjustChild);
    ASSERT_NE(shared, nullptr) << "the child failed";
    const SignalResults &r = *shared;
    ASSERT_EQ(r.faultIp, reinterpret_cast<uintptr_t>(dwarf_live_adjust_fault));
    const Walk *lib = r.fromHandler.libunwind.count > 0 ? &r.fromHandler.libunwind : nullptr;
    const int u = indexOf(r.fromHandler.unwind, r.faultIp);
    const int caller = indexOf(r.fromHandler.unwind, r.childReturn);
    ASSERT_GE(u, 0);
    ASSERT_GT(caller, u);
    const int o = indexOf(r.fromHandler.ours, r.faultIp);
    ASSERT_GE(o, 0) << "our walk did not pass through the signal frame (ended with " << r.fromHandler.ours.end << ")";
    EXPECT_EQ(o, u);
    compareWalks(r.fromHandler.ours, r.fromHandler.unwind, lib, {2, 2, 2}, caller - 2 + 1);
    EXPECT_GE(indexOf(r.fromHandler.ours, r.childReturn), 0);
    munmap(shared, sizeof(SignalResults));
}

// A frame-pointer step gives the caller's stack pointer, so the DWARF reader
// can take the next step: the walk goes on exactly as a DWARF-only walk.
TEST(DwarfLiveWalkTests, DwarfStepFollowsAFramePointerStep) {
    // From this test's frame (built with frame pointers): one step by frame
    // pointer to its caller, then DWARF.
    x86_mcontext64_t mctx{};
    platform_mach_thread_capture_state64(&mctx.ss);
    bbcrash_async_thread_state start;
    bbcrash_async_thread_state_mcontext_init(&start, &mctx);
    static Walk mixed;
    mixed = Walk{};
    const bbcrash_async_frame_reader fp[] = {bbcrash_async_frame_read_frame_ptr};
    const bbcrash_async_frame_reader dwarf[] = {bbcrash::BN::async::bbcrash_async_frame_read_dwarf_unwind};
    bbcrash_async_frame_cursor cursor;
    bbcrash_async_frame_cursor_init(&cursor, mach_task_self(), &start, unwindtest::loadedImageList());
    ASSERT_EQ(bbcrash_async_frame_cursor_next_with_readers(&cursor, fp, 1), BBCRASH_FRAME_ESUCCESS);
    record(&mixed, cursor.frame);
    ASSERT_EQ(bbcrash_async_frame_cursor_next_with_readers(&cursor, fp, 1), BBCRASH_FRAME_ESUCCESS);
    record(&mixed, cursor.frame);
    ASSERT_TRUE(mixed.frames[1].hasSp);
    while (mixed.count < kMaxFrames &&
           (mixed.end = bbcrash_async_frame_cursor_next_with_readers(&cursor, dwarf, 1)) == BBCRASH_FRAME_ESUCCESS) {
        record(&mixed, cursor.frame);
    }
    static Walk reference;
    reference = Walk{};
    walkFrom(start, &reference);
    ASSERT_GT(reference.count, 4);
    ASSERT_EQ(mixed.count, reference.count) << "the walk ended with " << mixed.end;
    for (int k = 1; k < reference.count; k++) {
        EXPECT_EQ(mixed.frames[k].ip, reference.frames[k].ip) << k;
        EXPECT_EQ(mixed.frames[k].sp, reference.frames[k].sp) << k;
    }
}
