// The cursor's step logic with stand-in readers, and the frame-pointer
// reader over hand-built frame chains.
#include <gtest/gtest.h>

#include <cstring>
#include <sys/mman.h>

#include "bbcrash_frame_cursor.h"
#include "bbcrash_frame_fp_reader.h"

using namespace platform::mach;

namespace {

bbcrash_async_thread_state makeState(uint64_t ip, uint64_t fp, uint64_t sp) {
    x86_mcontext64_t mctx{};
    mctx.ss.rip = ip;
    mctx.ss.rbp = fp;
    mctx.ss.rsp = sp;
    bbcrash_async_thread_state state;
    bbcrash_async_thread_state_mcontext_init(&state, &mctx);
    return state;
}

// Stand-in readers: each records its call and answers as configured.
struct FakeReaders {
    static int calls;
    static uint64_t nextIp;
    static bool setIp;
    static bbcrash_frame_error_t secondResult;
    static const bbcrash_async_thread_state *lastPrevious;

    static bbcrash_frame_error_t failing(task_t, bbcrash_async_image_list *, const bbcrash_async_thread_state *,
                                         const bbcrash_async_thread_state *, bbcrash_async_thread_state *) {
        calls++;
        return BBCRASH_FRAME_ENOTSUP;
    }
    static bbcrash_frame_error_t producing(task_t, bbcrash_async_image_list *,
                                           const bbcrash_async_thread_state *current,
                                           const bbcrash_async_thread_state *previous,
                                           bbcrash_async_thread_state *next) {
        calls++;
        lastPrevious = previous;
        if (secondResult != BBCRASH_FRAME_ESUCCESS) {
            return secondResult;
        }
        *next = *current;
        bbcrash_async_thread_state_clear_all_regs(next);
        if (setIp) {
            bbcrash_async_thread_state_set_reg(next, BBCRASH_REG_IP, nextIp);
        }
        return BBCRASH_FRAME_ESUCCESS;
    }
    static void reset() {
        calls = 0;
        nextIp = 0x5000;
        setIp = true;
        secondResult = BBCRASH_FRAME_ESUCCESS;
        lastPrevious = nullptr;
    }
};
int FakeReaders::calls;
uint64_t FakeReaders::nextIp;
bool FakeReaders::setIp;
bbcrash_frame_error_t FakeReaders::secondResult;
const bbcrash_async_thread_state *FakeReaders::lastPrevious;

const bbcrash_async_frame_reader kReaders[] = {FakeReaders::failing, FakeReaders::producing};

}  // namespace

TEST(FrameCursorTests, FirstStepDeliversTheThreadStateWithoutReading) {
    FakeReaders::reset();
    const bbcrash_async_thread_state state = makeState(0x401234, 0x7000, 0x6ff0);
    bbcrash_async_frame_cursor cursor;
    ASSERT_EQ(bbcrash_async_frame_cursor_init(&cursor, mach_task_self(), &state, nullptr), BBCRASH_ESUCCESS);
    EXPECT_EQ(bbcrash_async_frame_cursor_next_with_readers(&cursor, kReaders, 2), BBCRASH_FRAME_ESUCCESS);
    EXPECT_EQ(FakeReaders::calls, 0);
    uint64_t ip = 0;
    EXPECT_EQ(bbcrash_async_frame_cursor_get_reg(&cursor, BBCRASH_REG_IP, &ip), BBCRASH_FRAME_ESUCCESS);
    EXPECT_EQ(ip, 0x401234u);
    EXPECT_STREQ(bbcrash_async_frame_cursor_get_regname(&cursor, BBCRASH_REG_SP), "rsp");
    EXPECT_EQ(bbcrash_async_frame_cursor_get_regcount(&cursor), 21u);

    // Later steps ask the readers in order; the first without a previous frame.
    EXPECT_EQ(bbcrash_async_frame_cursor_next_with_readers(&cursor, kReaders, 2), BBCRASH_FRAME_ESUCCESS);
    EXPECT_EQ(FakeReaders::calls, 2);
    EXPECT_EQ(FakeReaders::lastPrevious, nullptr);
    EXPECT_EQ(cursor.depth, 2u);
    EXPECT_EQ(bbcrash_async_frame_cursor_get_reg(&cursor, BBCRASH_REG_IP, &ip), BBCRASH_FRAME_ESUCCESS);
    EXPECT_EQ(ip, 0x5000u);
    // The new frame has nothing but its instruction pointer.
    uint64_t sp = 0;
    EXPECT_EQ(bbcrash_async_frame_cursor_get_reg(&cursor, BBCRASH_REG_SP, &sp), BBCRASH_FRAME_ENOTSUP);

    FakeReaders::nextIp = 0x6000;
    EXPECT_EQ(bbcrash_async_frame_cursor_next_with_readers(&cursor, kReaders, 2), BBCRASH_FRAME_ESUCCESS);
    EXPECT_EQ(FakeReaders::lastPrevious, &cursor.prev_frame);
    bbcrash_async_frame_cursor_free(&cursor);
}

TEST(FrameCursorTests, InstructionPointersInTheFirstPageEndTheWalk) {
    const bbcrash_async_thread_state state = makeState(0x401234, 0x7000, 0x6ff0);
    const struct {
        uint64_t ip;
        bool set;
        bbcrash_frame_error_t expected;
    } cases[] = {{0x1000, true, BBCRASH_FRAME_ENOFRAME},
                 {0, true, BBCRASH_FRAME_ENOFRAME},
                 {0x1001, true, BBCRASH_FRAME_ESUCCESS},
                 {0x5000, false, BBCRASH_FRAME_ENOFRAME}};
    for (const auto &c : cases) {
        FakeReaders::reset();
        FakeReaders::nextIp = c.ip;
        FakeReaders::setIp = c.set;
        bbcrash_async_frame_cursor cursor;
        bbcrash_async_frame_cursor_init(&cursor, mach_task_self(), &state, nullptr);
        ASSERT_EQ(bbcrash_async_frame_cursor_next_with_readers(&cursor, kReaders, 2), BBCRASH_FRAME_ESUCCESS);
        EXPECT_EQ(bbcrash_async_frame_cursor_next_with_readers(&cursor, kReaders, 2), c.expected) << std::hex << c.ip;
        // A failed step leaves the cursor where it was.
        if (c.expected != BBCRASH_FRAME_ESUCCESS) {
            EXPECT_EQ(cursor.depth, 1u);
            EXPECT_EQ(bbcrash_async_thread_state_get_reg(&cursor.frame, BBCRASH_REG_IP), 0x401234u);
        }
    }
}

TEST(FrameCursorTests, ReaderResultsAndMissingReaders) {
    FakeReaders::reset();
    const bbcrash_async_thread_state state = makeState(0x401234, 0x7000, 0x6ff0);
    bbcrash_async_frame_cursor cursor;
    bbcrash_async_frame_cursor_init(&cursor, mach_task_self(), &state, nullptr);
    EXPECT_EQ(bbcrash_async_frame_cursor_next_with_readers(&cursor, kReaders, 0), BBCRASH_FRAME_ESUCCESS);
    EXPECT_EQ(bbcrash_async_frame_cursor_next_with_readers(&cursor, kReaders, 0), BBCRASH_FRAME_EINVAL);
    // When every reader fails, the last one's code is the result.
    FakeReaders::secondResult = BBCRASH_FRAME_EBADFRAME;
    EXPECT_EQ(bbcrash_async_frame_cursor_next_with_readers(&cursor, kReaders, 2), BBCRASH_FRAME_EBADFRAME);
    EXPECT_EQ(bbcrash_async_frame_cursor_next_with_readers(&cursor, kReaders, 1), BBCRASH_FRAME_ENOTSUP);
    EXPECT_EQ(cursor.depth, 1u);
}

// A chain of frames laid out like a real stack: each frame holds the
// caller's frame pointer and the return address.
TEST(FrameCursorTests, FramePointerReaderFollowsTheChain) {
    alignas(16) uint64_t stack[8] = {};
    uint64_t *frame1 = &stack[0];
    uint64_t *frame2 = &stack[4];
    frame1[0] = reinterpret_cast<uintptr_t>(frame2);
    frame1[1] = 0x401111;
    frame2[0] = 0;
    frame2[1] = 0x402222;

    const bbcrash_async_thread_state state = makeState(0x400000, reinterpret_cast<uintptr_t>(frame1), 0);
    bbcrash_async_thread_state next;
    ASSERT_EQ(bbcrash_async_frame_read_frame_ptr(mach_task_self(), nullptr, &state, nullptr, &next),
              BBCRASH_FRAME_ESUCCESS);
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&next, BBCRASH_REG_IP), 0x401111u);
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&next, BBCRASH_REG_FP), reinterpret_cast<uintptr_t>(frame2));
    // The instruction, frame and stack pointers only: the caller's stack
    // pointer lies above the two saved words.
    EXPECT_EQ(next.valid_regs, 0x7u);
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&next, BBCRASH_REG_SP), reinterpret_cast<uintptr_t>(frame1) + 16);

    // Next step: the chain grows towards higher addresses, as it should.
    bbcrash_async_thread_state third;
    ASSERT_EQ(bbcrash_async_frame_read_frame_ptr(mach_task_self(), nullptr, &next, &state, &third),
              BBCRASH_FRAME_ESUCCESS);
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&third, BBCRASH_REG_IP), 0x402222u);
    // A frame pointer of 0 ends the walk.
    bbcrash_async_thread_state fourth;
    EXPECT_EQ(bbcrash_async_frame_read_frame_ptr(mach_task_self(), nullptr, &third, &next, &fourth),
              BBCRASH_FRAME_ENOFRAME);

    // The same chain through a cursor: the frame after the first gives its
    // stack pointer too.
    const bbcrash_async_frame_reader fpOnly[] = {bbcrash_async_frame_read_frame_ptr};
    bbcrash_async_frame_cursor cursor;
    bbcrash_async_frame_cursor_init(&cursor, mach_task_self(), &state, nullptr);
    ASSERT_EQ(bbcrash_async_frame_cursor_next_with_readers(&cursor, fpOnly, 1), BBCRASH_FRAME_ESUCCESS);
    ASSERT_EQ(bbcrash_async_frame_cursor_next_with_readers(&cursor, fpOnly, 1), BBCRASH_FRAME_ESUCCESS);
    uint64_t value = 0;
    EXPECT_EQ(bbcrash_async_frame_cursor_get_reg(&cursor, BBCRASH_REG_SP, &value), BBCRASH_FRAME_ESUCCESS);
    EXPECT_EQ(value, reinterpret_cast<uintptr_t>(frame1) + 16);
    EXPECT_EQ(bbcrash_async_frame_cursor_get_reg(&cursor, BBCRASH_X86_64_RBX, &value), BBCRASH_FRAME_ENOTSUP);
    EXPECT_EQ(bbcrash_async_frame_cursor_get_reg(&cursor, BBCRASH_REG_IP, &value), BBCRASH_FRAME_ESUCCESS);
    EXPECT_EQ(value, 0x401111u);
    ASSERT_EQ(bbcrash_async_frame_cursor_next_with_readers(&cursor, fpOnly, 1), BBCRASH_FRAME_ESUCCESS);
    EXPECT_EQ(bbcrash_async_frame_cursor_next_with_readers(&cursor, fpOnly, 1), BBCRASH_FRAME_ENOFRAME);
    EXPECT_EQ(cursor.depth, 3u);
    bbcrash_async_frame_cursor_free(&cursor);
}

TEST(FrameCursorTests, FramePointerReaderErrors) {
    alignas(16) uint64_t stack[8] = {};
    const uint64_t low = reinterpret_cast<uintptr_t>(&stack[0]);
    const uint64_t high = reinterpret_cast<uintptr_t>(&stack[4]);
    stack[0] = high;
    stack[1] = 0x401111;
    bbcrash_async_thread_state next;

    // The previous frame pointer above the current one: the chain runs backwards.
    const bbcrash_async_thread_state previous = makeState(0x400000, high, 0);
    const bbcrash_async_thread_state current = makeState(0x400000, low, 0);
    EXPECT_EQ(bbcrash_async_frame_read_frame_ptr(mach_task_self(), nullptr, &current, &previous, &next),
              BBCRASH_FRAME_EBADFRAME);
    // Equal frames pass.
    EXPECT_EQ(bbcrash_async_frame_read_frame_ptr(mach_task_self(), nullptr, &current, &current, &next),
              BBCRASH_FRAME_ESUCCESS);
    // A stack that grows up turns the rule around.
    bbcrash_async_thread_state up = current;
    up.stack_direction = BBCRASH_ASYNC_THREAD_STACK_DIRECTION_UP;
    EXPECT_EQ(bbcrash_async_frame_read_frame_ptr(mach_task_self(), nullptr, &up, &previous, &next),
              BBCRASH_FRAME_ESUCCESS);

    // No frame pointer at all.
    bbcrash_async_thread_state missing = current;
    bbcrash_async_thread_state_clear_reg(&missing, BBCRASH_REG_FP);
    EXPECT_EQ(bbcrash_async_frame_read_frame_ptr(mach_task_self(), nullptr, &missing, nullptr, &next),
              BBCRASH_FRAME_EBADFRAME);
    // FP 0.
    const bbcrash_async_thread_state zero = makeState(0x400000, 0, 0);
    EXPECT_EQ(bbcrash_async_frame_read_frame_ptr(mach_task_self(), nullptr, &zero, nullptr, &next),
              BBCRASH_FRAME_ENOFRAME);
    // Saved words that cannot be read.
    const bbcrash_async_thread_state unmapped = makeState(0x400000, 0x10, 0);
    EXPECT_EQ(bbcrash_async_frame_read_frame_ptr(mach_task_self(), nullptr, &unmapped, nullptr, &next),
              BBCRASH_FRAME_EBADFRAME);
}

TEST(FrameCursorTests, ThirtyTwoBitFramesReadFourByteWords) {
    // Memory below 4 GiB, so that a 32-bit frame pointer can point at it.
    void *page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
    ASSERT_NE(page, MAP_FAILED);
    auto *words = static_cast<uint32_t *>(page);
    const uint32_t base = uint32_t(reinterpret_cast<uintptr_t>(page));
    words[0] = base + 64;  // caller's ebp
    words[1] = 0x8048123;  // return address
    bbcrash_async_thread_state state{};
    state.stack_direction = BBCRASH_ASYNC_THREAD_STACK_DIRECTION_DOWN;
    state.greg_size = 4;
    state.x86_state.thread.tsh.flavor = x86_THREAD_STATE32;
    bbcrash_async_thread_state_set_reg(&state, BBCRASH_REG_FP, base);
    bbcrash_async_thread_state next;
    ASSERT_EQ(bbcrash_async_frame_read_frame_ptr(mach_task_self(), nullptr, &state, nullptr, &next),
              BBCRASH_FRAME_ESUCCESS);
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&next, BBCRASH_REG_IP), 0x8048123u);
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&next, BBCRASH_REG_FP), base + 64u);
    EXPECT_EQ(next.x86_state.thread.uts.ts32.eip, 0x8048123u);
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&next, BBCRASH_REG_SP), base + 8u);
    munmap(page, 4096);
}
