// Fifty random stacks of -O2 code without frame pointers, mixing C++ shapes
// (stack arguments under cleanups, std::sort, std::function, try blocks,
// large and rbp-addressed frames), libc (qsort_r), libstdc++ (an ostream
// writing into a custom streambuf), signal handlers on the thread's stack
// and on the alternate stack, and faults: the cursor's walk with its default
// readers, and with the DWARF reader alone, must give every instruction and
// stack pointer libunwind gives, down to _start. The second half of the
// stacks is walked while the (single-threaded) child holds its memory still,
// as the report writer does, so that the unwind entries remembered for one
// pc serve the later walks: they must unwind exactly as fresh lookups. Run in
// a child process (the shapes install signal handlers), with a time limit.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <random>
#include <string>

#include "LiveWalks.h"
#include "LoadedImages.h"
#include "RandomStackFrames.h"
#include "platform/mach/vm_hold.h"
#include "support/Sanitizers.h"

using namespace livewalk;

namespace {

constexpr int kStacks = 50;

struct StackResult {
    bool ran = false;
    bool libunwindUsable = false;
    int ours = 0, libunwind = 0;  // frames walked
    int diverged = -1;            // first frame that differs, -1 for none
    char detail[16384] = {};
};

// Each stack is walked twice by the cursor: with its default readers, and
// with the DWARF reader alone.
struct Shared {
    StackResult results[kStacks][2];
    bool held = false;  // the second half was walked under a hold
};

Walk g_ours[2], g_libunwind;

void probe(void *) {
    g_ours[0] = Walk{};
    g_ours[1] = Walk{};
    g_libunwind = Walk{};
    g_defaultReaders = true;
    walkOurs(&g_ours[0]);
    g_defaultReaders = false;
    walkOurs(&g_ours[1]);
    walkLibunwind(&g_libunwind);
    __asm__ volatile("");  // no tail call: every walk sees this frame
}

// Frame 0 of each walk is its own walker and frame 1 the probe, at two call
// sites: from the probe's stack pointer on they must agree.
void compare(const Walk &ours, StackResult *result) {
    result->ours = ours.count;
    result->libunwind = g_libunwind.count;
    result->libunwindUsable = g_libunwind.count > 0;
    const int frames = g_libunwind.count;
    for (int k = 1; k < frames; k++) {
        if (k >= ours.count || (k > 1 && ours.frames[k].ip != g_libunwind.frames[k].ip) || !ours.frames[k].hasSp ||
            ours.frames[k].sp != g_libunwind.frames[k].sp) {
            result->diverged = k;
            break;
        }
    }
    if (result->diverged >= 0) {
        const std::string text = describe("ours", ours) + describe("libunwind", g_libunwind);
        std::snprintf(result->detail, sizeof(result->detail), "%s", text.c_str());
    }
}

void runStacks(Shared *shared) {
    static uint8_t alternate[64 * 1024];
    random_stack_install(alternate, sizeof(alternate));
    bool held = false;
    for (int n = 0; n < kStacks; n++) {
        if (n == kStacks / 2) {
            held = platform::mach::task_memory_hold_begin();
            shared->held = held;
        }
        std::mt19937 random(uint32_t(1000 + n));
        uint8_t shapes[24];
        const int count = 4 + int(random() % 20);
        for (int i = 0; i < count; i++) {
            shapes[i] = uint8_t(random() % RANDOM_STACK_SHAPE_COUNT);
        }
        const random_stack_plan plan{shapes, count, int(random() % 3 == 0), probe, nullptr};
        random_stack_run(&plan);
        for (int readers = 0; readers < 2; readers++) {
            compare(g_ours[readers], &shared->results[n][readers]);
            shared->results[n][readers].ran = true;
        }
    }
    if (held) {
        platform::mach::task_memory_hold_end();
    }
}

}  // namespace

TEST(RandomStackWalkTests, FiftyRandomStacksMatchLibunwindDownToStart) {
    SKIP_UNDER_SANITIZERS(
        "the stacks end in deliberate stores to null, which UndefinedBehaviorSanitizer stops "
        "first, and pass through intercepted qsort_r");
    auto *shared =
        static_cast<Shared *>(mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(shared, MAP_FAILED);
    new (shared) Shared{};
    unwindtest::loadedImageList();  // built before the fork, outside any handler
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(60);
        runStacks(shared);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    if (!shared->results[0][0].libunwindUsable) {
        munmap(shared, sizeof(Shared));
        GTEST_SKIP() << "libunwind.so.8 is not installed";
    }
    int frames = 0;
    for (int n = 0; n < kStacks; n++) {
        for (int readers = 0; readers < 2; readers++) {
            const StackResult &r = shared->results[n][readers];
            const char *label = readers == 0 ? " (default readers)" : " (DWARF reader)";
            ASSERT_TRUE(r.ran) << "stack " << n << label;
            frames += r.libunwind;
            EXPECT_EQ(r.diverged, -1) << "stack " << n << label << " differs at frame " << r.diverged << "\n"
                                      << r.detail;
            EXPECT_GE(r.ours, r.libunwind - 1) << "stack " << n << label;
        }
    }
    EXPECT_TRUE(shared->held);
    std::printf("%d stacks walked twice, %d frames compared\n", kStacks, frames);
    munmap(shared, sizeof(Shared));
}
