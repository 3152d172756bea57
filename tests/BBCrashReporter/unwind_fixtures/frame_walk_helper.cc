// Walks its own stack with the frame-pointer reader alone and prints the
// frames, then stops at frame_walk_checkpoint, where the test's gdb prints
// its own backtrace of the same stack.
#include <cstdio>

#include "bbcrash_frame_fp_reader.h"
#include "platform/mach/thread_capture.h"

using namespace platform::mach;

extern "C" __attribute__((noinline)) void frame_walk_checkpoint() { __asm__ volatile(""); }

namespace {

__attribute__((noinline)) int walkAndStop(int depth) {
    x86_mcontext64_t mctx{};
    platform_mach_thread_capture_state64(&mctx.ss);
    bbcrash_async_thread_state state;
    bbcrash_async_thread_state_mcontext_init(&state, &mctx);
    bbcrash_async_frame_cursor cursor;
    bbcrash_async_frame_cursor_init(&cursor, mach_task_self(), &state, nullptr);
    const bbcrash_async_frame_reader readers[] = {bbcrash_async_frame_read_frame_ptr};
    bbcrash_frame_error_t err;
    while ((err = bbcrash_async_frame_cursor_next_with_readers(&cursor, readers, 1)) == BBCRASH_FRAME_ESUCCESS &&
           cursor.depth < 64) {
        std::printf("walk %#llx\n",
                    (unsigned long long)bbcrash_async_thread_state_get_reg(&cursor.frame, BBCRASH_REG_IP));
    }
    std::printf("end %d\n", int(err));
    std::fflush(stdout);
    frame_walk_checkpoint();
    return depth;
}

__attribute__((noinline)) int third(int x) { return walkAndStop(x + 1) + 1; }
__attribute__((noinline)) int second(int x) { return third(x * 2) + 2; }
__attribute__((noinline)) int first(int x) { return second(x + 3) + 3; }

}  // namespace

int main(int argc, char **) { return first(argc) == 0 ? 1 : 0; }
