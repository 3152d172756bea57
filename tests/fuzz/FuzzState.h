#pragma once
// A thread state for the fuzz targets: every register valid, the stack and
// frame pointers inside a small stack of known words, so that what the code
// under test reads from "the stack" is real memory.
#include "bbcrash_async_thread_state.h"

inline bbcrash_async_thread_state fuzzThreadState(uint64_t ip) {
    static uint64_t stack[1024];
    for (size_t i = 0; i < 1024; i++) stack[i] = 0x1000 + i * 8;
    platform::mach::x86_mcontext64_t mctx{};
    bbcrash_async_thread_state state;
    bbcrash_async_thread_state_mcontext_init(&state, &mctx);
    for (bbcrash_regnum_t r = 0; r < BBCRASH_X86_64_REG_COUNT; r++) {
        bbcrash_async_thread_state_set_reg(&state, r, 0x100 * (r + 1));
    }
    bbcrash_async_thread_state_set_reg(&state, BBCRASH_REG_IP, ip);
    bbcrash_async_thread_state_set_reg(&state, BBCRASH_REG_SP, reinterpret_cast<uintptr_t>(&stack[256]));
    bbcrash_async_thread_state_set_reg(&state, BBCRASH_REG_FP, reinterpret_cast<uintptr_t>(&stack[512]));
    return state;
}
