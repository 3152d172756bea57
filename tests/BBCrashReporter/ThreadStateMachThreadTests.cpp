// The state of another, suspended thread of this process, and a walk from
// it. Suspension installs a process-wide signal handler, so this runs in a
// child process.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "LoadedImages.h"
#include "bbcrash_frame_cursor.h"
#include "platform/mach/thread_list.h"
#include "platform/mach/thread_suspend.h"
#include "support/Sanitizers.h"

using namespace platform::mach;

namespace {

constexpr uint64_t kRbx = 0x7b7b00000000b0b0ULL;
constexpr uint64_t kR12 = 0x7c7c00000000c0c0ULL;

std::atomic<thread_t> g_tid{0};
volatile uint8_t g_release = 0;
uint64_t g_loopStart, g_loopEnd;

// Spins with known values in rbx and r12 until released.
__attribute__((noinline)) void spinWithSentinels() {
    __asm__ volatile(
        "leaq 1f(%%rip), %%rax\n\t"
        "movq %%rax, %[start]\n\t"
        "leaq 2f(%%rip), %%rax\n\t"
        "movq %%rax, %[end]\n\t"
        "movabsq $0x7b7b00000000b0b0, %%rbx\n\t"
        "movabsq $0x7c7c00000000c0c0, %%r12\n\t"
        "1:\n\t"
        "pause\n\t"
        "cmpb $0, (%[flag])\n\t"
        "je 1b\n\t"
        "2:\n\t"
        : [start] "=m"(g_loopStart), [end] "=m"(g_loopEnd)
        : [flag] "r"(&g_release)
        : "rax", "rbx", "r12", "memory", "cc");
}

__attribute__((noinline)) void threadBody() {
    g_tid = mach_thread_self();
    spinWithSentinels();
    __asm__ volatile("");
}

#define CHILD_CHECK(condition)                                                   \
    do {                                                                         \
        if (!(condition)) {                                                      \
            std::fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #condition); \
            return 1;                                                            \
        }                                                                        \
    } while (0)

int child() {
    std::thread thread(threadBody);
    while (g_tid == 0 || g_loopEnd == 0) {
        std::this_thread::yield();
    }
    bbcrash_async_thread_state state;
    // Not suspended: there is no state to read.
    CHILD_CHECK(bbcrash_async_thread_state_mach_thread_init(&state, g_tid) == BBCRASH_EINTERNAL);

    CHILD_CHECK(thread_suspend(g_tid) == KERN_SUCCESS);
    const bbcrash_error_t err = bbcrash_async_thread_state_mach_thread_init(&state, g_tid);
    CHILD_CHECK(err == BBCRASH_ESUCCESS);
    CHILD_CHECK(state.greg_size == 8);
    CHILD_CHECK(bbcrash_async_thread_state_get_stack_direction(&state) == BBCRASH_ASYNC_THREAD_STACK_DIRECTION_DOWN);
    CHILD_CHECK(bbcrash_async_thread_state_get_reg(&state, BBCRASH_X86_64_RBX) == kRbx);
    CHILD_CHECK(bbcrash_async_thread_state_get_reg(&state, BBCRASH_X86_64_R12) == kR12);
    const uint64_t ip = bbcrash_async_thread_state_get_reg(&state, BBCRASH_REG_IP);
    CHILD_CHECK(ip >= g_loopStart && ip <= g_loopEnd);
    for (bbcrash_regnum_t r = 0; r < 21; r++) {
        CHILD_CHECK(bbcrash_async_thread_state_has_reg(&state, r));
    }

    // The walk from there reaches the thread's body.
    bbcrash_async_image_list images;
    bbcrash_nasync_image_list_init(&images, mach_task_self());
    unwindtest::appendLoadedImages(&images);
    bbcrash_async_frame_cursor cursor;
    bbcrash_async_frame_cursor_init(&cursor, mach_task_self(), &state, &images);
    int frames = 0;
    bool reachedBody = false;
    // The bytes of threadBody in which the return address from the spin lies
    // (the instrumented body is longer).
    constexpr uintptr_t kBodySize = PLOTWICK_UNDER_SANITIZERS ? 256 : 64;
    while (frames < 32 && bbcrash_async_frame_cursor_next(&cursor) == BBCRASH_FRAME_ESUCCESS) {
        frames++;
        const uint64_t frameIp = bbcrash_async_thread_state_get_reg(&cursor.frame, BBCRASH_REG_IP);
        reachedBody |= frameIp > reinterpret_cast<uintptr_t>(&threadBody) &&
                       frameIp < reinterpret_cast<uintptr_t>(&threadBody) + kBodySize;
    }
    bbcrash_async_frame_cursor_free(&cursor);
    CHILD_CHECK(reachedBody);

    CHILD_CHECK(thread_resume(g_tid) == KERN_SUCCESS);
    g_release = 1;
    thread.join();
    return 0;
}

}  // namespace

TEST(ThreadStateMachThreadTests, SuspendedThreadStateAndWalk) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        alarm(20);
        _exit(child());
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status)) << "child status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
