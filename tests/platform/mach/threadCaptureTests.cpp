#include <cstdint>
#include <cstring>

#include <gtest/gtest.h>

#include "platform/mach/thread_capture.h"
#include "thread_test_asm.h"

using namespace platform::mach;

// Loads a distinct value into every general register it may (0x1000 + the
// register's index in the state), keeps rsp in rax and the return address
// of the capture call in rsi, then captures.
extern "C" void thread_test_capture_with_sentinels(x86_thread_state64_t *state);
asm(R"(
    .text
    .globl  thread_test_capture_with_sentinels
    .type   thread_test_capture_with_sentinels, @function
thread_test_capture_with_sentinels:
)" THREAD_TEST_PUSH_CALLEE_SAVED R"(
    subq    $8, %rsp
    movq    $0x1001, %rbx
    movq    $0x1002, %rcx
    movq    $0x1003, %rdx
    movq    $0x1006, %rbp
    movq    $0x1008, %r8
    movq    $0x1009, %r9
    movq    $0x100a, %r10
    movq    $0x100b, %r11
    movq    $0x100c, %r12
    movq    $0x100d, %r13
    movq    $0x100e, %r14
    movq    $0x100f, %r15
    movq    %rsp, %rax
    leaq    1f(%rip), %rsi
    call    platform_mach_thread_capture_state64
1:
    addq    $8, %rsp
)" THREAD_TEST_POP_CALLEE_SAVED_AND_RETURN R"(
    .size   thread_test_capture_with_sentinels, .-thread_test_capture_with_sentinels
)");

namespace {

__attribute__((noinline)) uintptr_t returnAddressOfCall() {
    return reinterpret_cast<uintptr_t>(__builtin_return_address(0));
}

struct CaptureSite {
    x86_thread_state64_t state;
    uintptr_t nextReturnAddress;
    uintptr_t rsp;
    uintptr_t frame;
};

__attribute__((noinline)) void captureInFunction(CaptureSite *site) {
    platform_mach_thread_capture_state64(&site->state);
    site->nextReturnAddress = returnAddressOfCall();
    uintptr_t rsp;
    asm volatile("movq %%rsp, %0" : "=r"(rsp));
    site->rsp = rsp;
    site->frame = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
}

}  // namespace

TEST(ThreadCapture, EveryRegisterLandsInItsOwnField) {
    x86_thread_state64_t state;
    std::memset(&state, 0xa5, sizeof state);
    thread_test_capture_with_sentinels(&state);

    EXPECT_EQ(state.rbx, 0x1001u);
    EXPECT_EQ(state.rcx, 0x1002u);
    EXPECT_EQ(state.rdx, 0x1003u);
    EXPECT_EQ(state.rdi, reinterpret_cast<uintptr_t>(&state));
    EXPECT_EQ(state.rbp, 0x1006u);
    EXPECT_EQ(state.r8, 0x1008u);
    EXPECT_EQ(state.r9, 0x1009u);
    EXPECT_EQ(state.r10, 0x100au);
    EXPECT_EQ(state.r11, 0x100bu);
    EXPECT_EQ(state.r12, 0x100cu);
    EXPECT_EQ(state.r13, 0x100du);
    EXPECT_EQ(state.r14, 0x100eu);
    EXPECT_EQ(state.r15, 0x100fu);
    // rax held the stack pointer at the call, rsi the call's return address.
    EXPECT_EQ(state.rsp, state.rax);
    EXPECT_EQ(state.rip, state.rsi);
    EXPECT_EQ(state.cs, 0x33u);           // the 64-bit user code segment
    EXPECT_NE(state.rflags & 0x2, 0u);    // the bit that always reads 1
    EXPECT_NE(state.rflags & 0x200, 0u);  // interrupts enabled in user mode
    EXPECT_EQ(state.fs >> 16, 0u);
    EXPECT_EQ(state.gs >> 16, 0u);
}

TEST(ThreadCapture, DescribesTheCallingFunction) {
    CaptureSite site;
    captureInFunction(&site);

    const auto function = reinterpret_cast<uintptr_t>(&captureInFunction);
    EXPECT_GT(site.state.rip, function);
    EXPECT_LT(site.state.rip, site.nextReturnAddress);
    // rip follows the call instruction that went to the capture function.
    const auto *call = reinterpret_cast<const uint8_t *>(site.state.rip - 5);
    ASSERT_EQ(call[0], 0xe8);
    int32_t displacement;
    std::memcpy(&displacement, call + 1, sizeof displacement);
    EXPECT_EQ(site.state.rip + static_cast<int64_t>(displacement),
              reinterpret_cast<uintptr_t>(&platform_mach_thread_capture_state64));

    EXPECT_EQ(site.state.rsp, site.rsp);
    EXPECT_EQ(site.state.rbp, site.frame);
    // The frame rbp points at links back to this test's frame.
    const auto *frame = reinterpret_cast<const uintptr_t *>(site.state.rbp);
    EXPECT_EQ(frame[0], reinterpret_cast<uintptr_t>(__builtin_frame_address(0)));
}
