#pragma once
// Evaluation of DWARF expressions (the stack machine of DW_OP_*) as CFA and
// register rules use them, generic over the target's machine word.
// Async-signal-safe: a fixed stack, operands read from a memory object,
// target memory through checked task reads.
#include "bbcrash_async_mobject.h"
#include "bbcrash_async_thread_state.h"

namespace bbcrash::BN::async {

// Depth of the evaluation stack, in words.
constexpr size_t BBCRASH_DWARF_EXPRESSION_STACK_SIZE = 100;
// Most operations one evaluation executes: branches can jump backwards, and
// an expression that loops must not hang a crash handler.
constexpr size_t BBCRASH_DWARF_EXPRESSION_MAX_OPS = 10000;

// Evaluates the `length` bytes at address + offset (inside `mobj`) with the
// initial values pushed first, the first one deepest. The result is the top
// of the stack. 0; 4 for an unsupported opcode or a register without a
// mapping; 5 for an operand or jump outside the expression, a stack
// underflow, a zero divisor, a bad size, an empty stack at the end, or more
// than BBCRASH_DWARF_EXPRESSION_MAX_OPS operations; 6 on a full stack; 8 for a
// register the thread state has no value for; a failed task read's code.
template <typename machine_ptr, typename machine_ptr_s>
bbcrash_error_t bbcrash_async_dwarf_expression_eval(bbcrash_async_mobject *mobj, platform::mach::task_t task,
                                                    const bbcrash_async_thread_state *thread_state,
                                                    const bbcrash_async_byteorder *byteorder,
                                                    platform::mach::mach_vm_address_t address, int64_t offset,
                                                    uint64_t length, const machine_ptr *initial_values,
                                                    size_t initial_count, machine_ptr *result);

extern template bbcrash_error_t bbcrash_async_dwarf_expression_eval<uint32_t, int32_t>(
    bbcrash_async_mobject *, platform::mach::task_t, const bbcrash_async_thread_state *,
    const bbcrash_async_byteorder *, platform::mach::mach_vm_address_t, int64_t, uint64_t, const uint32_t *, size_t,
    uint32_t *);
extern template bbcrash_error_t bbcrash_async_dwarf_expression_eval<uint64_t, int64_t>(
    bbcrash_async_mobject *, platform::mach::task_t, const bbcrash_async_thread_state *,
    const bbcrash_async_byteorder *, platform::mach::mach_vm_address_t, int64_t, uint64_t, const uint64_t *, size_t,
    uint64_t *);

}  // namespace bbcrash::BN::async
