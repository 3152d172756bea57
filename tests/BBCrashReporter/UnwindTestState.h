#pragma once
// A 64-bit thread state for the readers' unit tests: every register valid
// and 0 but the ones given.
#include <initializer_list>
#include <utility>

#include "bbcrash_async_thread_state.h"

namespace unwindtest {

inline bbcrash_async_thread_state state64With(std::initializer_list<std::pair<bbcrash_regnum_t, uint64_t>> regs) {
    platform::mach::x86_mcontext64_t mctx{};
    bbcrash_async_thread_state state;
    bbcrash_async_thread_state_mcontext_init(&state, &mctx);
    for (const auto &r : regs) {
        bbcrash_async_thread_state_set_reg(&state, r.first, r.second);
    }
    return state;
}

}  // namespace unwindtest
