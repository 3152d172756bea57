// Register state: numbering and names of both sets, validity bits, the
// preserved sets, the DWARF maps, and the machine-context conversion.
#include <gtest/gtest.h>

#include <cstring>

#include "bbcrash_async_thread_state.h"

using namespace platform::mach;

namespace {

bbcrash_async_thread_state state64() {
    x86_mcontext64_t mctx{};
    bbcrash_async_thread_state state;
    bbcrash_async_thread_state_mcontext_init(&state, &mctx);
    return state;
}

bbcrash_async_thread_state state32() {
    bbcrash_async_thread_state state{};
    state.stack_direction = BBCRASH_ASYNC_THREAD_STACK_DIRECTION_DOWN;
    state.greg_size = 4;
    state.x86_state.thread.tsh.flavor = x86_THREAD_STATE32;
    state.x86_state.thread.tsh.count = x86_THREAD_STATE32_COUNT;
    state.x86_state.exception.esh.flavor = x86_EXCEPTION_STATE32;
    return state;
}

}  // namespace

TEST(ThreadStateTests, NamesOfBothSetsFollowTheReportNumbering) {
    const bbcrash_async_thread_state s64 = state64();
    ASSERT_EQ(bbcrash_async_thread_state_get_reg_count(&s64), 21u);
    const char *names64[] = {"rip", "rbp", "rsp", "rax", "rbx", "rcx", "rdx",    "rdi", "rsi", "r8", "r9",
                             "r10", "r11", "r12", "r13", "r14", "r15", "rflags", "cs",  "fs",  "gs"};
    for (bbcrash_regnum_t r = 0; r < 21; r++) {
        EXPECT_STREQ(bbcrash_async_thread_state_get_reg_name(&s64, r), names64[r]) << r;
    }
    const bbcrash_async_thread_state s32 = state32();
    ASSERT_EQ(bbcrash_async_thread_state_get_reg_count(&s32), 16u);
    EXPECT_STREQ(bbcrash_async_thread_state_get_reg_name(&s32, 4), "edx");
    EXPECT_STREQ(bbcrash_async_thread_state_get_reg_name(&s32, 6), "ebx");
    EXPECT_STREQ(bbcrash_async_thread_state_get_reg_name(&s32, 10), "trapno");
    EXPECT_STREQ(bbcrash_async_thread_state_get_reg_name(&s32, 15), "gs");
}

TEST(ThreadStateTests, RegistersMapToTheirOwnFields) {
    bbcrash_async_thread_state s = state64();
    bbcrash_async_thread_state_clear_all_regs(&s);
    for (bbcrash_regnum_t r = 0; r < 21; r++) {
        bbcrash_async_thread_state_set_reg(&s, r, 0x1000 + r);
    }
    EXPECT_EQ(s.x86_state.thread.uts.ts64.rip, 0x1000u);
    EXPECT_EQ(s.x86_state.thread.uts.ts64.rbp, 0x1001u);
    EXPECT_EQ(s.x86_state.thread.uts.ts64.r12, 0x100Du);
    EXPECT_EQ(s.x86_state.thread.uts.ts64.gs, 0x1014u);
    EXPECT_EQ(s.valid_regs, (uint64_t(1) << 21) - 1);

    bbcrash_async_thread_state t = state32();
    bbcrash_async_thread_state_set_reg(&t, BBCRASH_X86_TRAPNO, 0x12345);
    EXPECT_TRUE(bbcrash_async_thread_state_has_reg(&t, BBCRASH_X86_TRAPNO));
    EXPECT_EQ(t.x86_state.exception.ues.es32.trapno, 0x2345);
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&t, BBCRASH_X86_TRAPNO), 0x2345u);
    bbcrash_async_thread_state_set_reg(&t, BBCRASH_X86_EDX, 0x1122334455667788ULL);
    EXPECT_EQ(t.x86_state.thread.uts.ts32.edx, 0x55667788u);
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&t, BBCRASH_X86_EDX), 0x55667788u);
}

TEST(ThreadStateTests, NumbersOutsideTheSetAreRefusedNotFatal) {
    bbcrash_async_thread_state s = state64();
    bbcrash_async_thread_state before = s;
    EXPECT_FALSE(bbcrash_async_thread_state_valid_regnum(&s, 21));
    bbcrash_async_thread_state_set_reg(&s, 21, 1);
    bbcrash_async_thread_state_set_reg(&s, 32, 1);  // arm64's link register
    bbcrash_async_thread_state_set_reg(&s, BBCRASH_REG_INVALID, 1);
    EXPECT_EQ(std::memcmp(&s, &before, sizeof(s)), 0);
    EXPECT_FALSE(bbcrash_async_thread_state_has_reg(&s, 21));
    EXPECT_FALSE(bbcrash_async_thread_state_has_reg(&s, 32));
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&s, 40), 0u);
    EXPECT_EQ(bbcrash_async_thread_state_get_reg_name(&s, 21), nullptr);
    EXPECT_FALSE(bbcrash_async_thread_state_has_reg(&s, BBCRASH_REG_INVALID));

    bbcrash_async_thread_state t = state32();
    bbcrash_async_thread_state_set_reg(&t, 16, 1);
    EXPECT_FALSE(bbcrash_async_thread_state_has_reg(&t, 16));
}

TEST(ThreadStateTests, ClearingVolatileRegistersKeepsThePreservedSet) {
    bbcrash_async_thread_state s = state64();
    s.valid_regs = ~uint64_t(0);
    bbcrash_async_thread_state_clear_volatile_regs(&s);
    const uint64_t kept = (1u << 1) | (1u << 2) | (1u << 4) | (1u << 13) | (1u << 14) | (1u << 15) | (1u << 16);
    EXPECT_EQ(s.valid_regs & ((uint64_t(1) << 21) - 1), kept);
    EXPECT_EQ(s.valid_regs >> 21, ~uint64_t(0) >> 21);  // bits past the set stay

    bbcrash_async_thread_state t = state32();
    t.valid_regs = 0xffff;
    bbcrash_async_thread_state_clear_volatile_regs(&t);
    EXPECT_EQ(t.valid_regs, uint64_t((1 << 1) | (1 << 2) | (1 << 6) | (1 << 7) | (1 << 8)));
}

TEST(ThreadStateTests, DwarfMaps) {
    const bbcrash_async_thread_state s = state64();
    bbcrash_regnum_t reg = 0;
    const struct {
        uint64_t dwarf;
        const char *name;
    } cases64[] = {{0, "rax"}, {1, "rdx"}, {2, "rcx"},  {3, "rbx"},     {4, "rsi"}, {5, "rdi"}, {6, "rbp"},
                   {7, "rsp"}, {8, "r8"},  {15, "r15"}, {49, "rflags"}, {51, "cs"}, {54, "fs"}, {55, "gs"}};
    for (const auto &c : cases64) {
        ASSERT_TRUE(bbcrash_async_thread_state_map_dwarf_to_reg(&s, c.dwarf, &reg)) << c.dwarf;
        EXPECT_STREQ(bbcrash_async_thread_state_get_reg_name(&s, reg), c.name);
    }
    EXPECT_FALSE(bbcrash_async_thread_state_map_dwarf_to_reg(&s, 16, &reg));  // the return-address column
    EXPECT_FALSE(bbcrash_async_thread_state_map_dwarf_to_reg(&s, 50, &reg));
    EXPECT_FALSE(bbcrash_async_thread_state_map_dwarf_to_reg(&s, 0x100000000ULL, &reg));

    const bbcrash_async_thread_state t = state32();
    const char *names32[] = {"eax", "ecx", "edx", "ebx", "ebp", "esp", "esi", "edi", "eip"};
    for (uint64_t d = 0; d < 9; d++) {
        ASSERT_TRUE(bbcrash_async_thread_state_map_dwarf_to_reg(&t, d, &reg));
        EXPECT_STREQ(bbcrash_async_thread_state_get_reg_name(&t, reg), names32[d]);
    }
    EXPECT_FALSE(bbcrash_async_thread_state_map_dwarf_to_reg(&t, 9, &reg));
}

TEST(ThreadStateTests, MachineContextBecomesAFullyValidState) {
    x86_mcontext64_t mctx{};
    mctx.es.trapno = 14;
    mctx.es.err = 6;
    mctx.es.faultvaddr = 0xdead;
    mctx.ss.rip = 0x401000;
    mctx.ss.rsp = 0x7ff0;
    mctx.ss.r15 = 15;
    mctx.ss.gs = 0x33;
    bbcrash_async_thread_state s;
    std::memset(&s, 0xAB, sizeof(s));
    bbcrash_async_thread_state_mcontext_init(&s, &mctx);
    EXPECT_EQ(s.x86_state.thread.tsh.flavor, x86_THREAD_STATE64);
    EXPECT_EQ(s.x86_state.thread.tsh.count, 42);
    EXPECT_EQ(s.x86_state.exception.esh.flavor, x86_EXCEPTION_STATE64);
    EXPECT_EQ(s.x86_state.exception.esh.count, 4);
    EXPECT_EQ(s.greg_size, 8u);
    EXPECT_EQ(bbcrash_async_thread_state_get_stack_direction(&s), BBCRASH_ASYNC_THREAD_STACK_DIRECTION_DOWN);
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&s, BBCRASH_REG_IP), 0x401000u);
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&s, BBCRASH_REG_SP), 0x7ff0u);
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&s, BBCRASH_X86_64_R15), 15u);
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&s, BBCRASH_X86_64_GS), 0x33u);
    EXPECT_EQ(s.x86_state.exception.ues.es64.faultvaddr, 0xdeadu);
    EXPECT_EQ(s.x86_state.exception.ues.es64.trapno, 14);
    for (bbcrash_regnum_t r = 0; r < 21; r++) {
        EXPECT_TRUE(bbcrash_async_thread_state_has_reg(&s, r));
    }
    EXPECT_EQ(s.x86_state.thread.uts.ts64.rax, 0u);  // the rest was zeroed
}
