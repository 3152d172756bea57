// The DWARF expression evaluator on arbitrary bytes, in both word widths,
// over a state whose registers point into a small stack. Input: a flags byte
// (bit 0: 32-bit words, bit 1: push an initial value), then the expression.
#include "FuzzState.h"
#include "GuardedInput.h"
#include "bbcrash_async_dwarf_expression.h"
#include "platform/mach/vm_hold.h"

using namespace platform::mach;
using namespace bbcrash::BN::async;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1 || size > (1u << 16)) return 0;
    GuardedInput input(data, size);
    if (!input.valid() || !task_memory_hold_begin()) return 0;
    const uint8_t flags = input.data()[0];
    const bbcrash_async_thread_state state = fuzzThreadState(0x401000);
    bbcrash_async_mobject expression;
    if (size > 1 && bbcrash_async_mobject_init(&expression, mach_task_self(), input.address() + 1, size - 1, true) ==
                        BBCRASH_ESUCCESS) {
        const uint64_t sp = bbcrash_async_thread_state_get_reg(&state, BBCRASH_REG_SP);
        const size_t initialCount = (flags & 2) ? 1 : 0;
        if (flags & 1) {
            const uint32_t initial = uint32_t(sp);
            uint32_t result = 0;
            bbcrash_async_dwarf_expression_eval<uint32_t, int32_t>(
                &expression, mach_task_self(), &state, bbcrash_async_byteorder_native(), input.address() + 1, 0,
                size - 1, &initial, initialCount, &result);
        } else {
            const uint64_t initial = sp;
            uint64_t result = 0;
            bbcrash_async_dwarf_expression_eval<uint64_t, int64_t>(
                &expression, mach_task_self(), &state, bbcrash_async_byteorder_native(), input.address() + 1, 0,
                size - 1, &initial, initialCount, &result);
        }
        bbcrash_async_mobject_free(&expression);
    }
    task_memory_hold_end();
    return 0;
}
