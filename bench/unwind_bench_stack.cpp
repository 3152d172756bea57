// The recursion of the stack-walk benchmark, compiled twice: once with frame
// pointers (BENCH_STACK_NAME = bench_recurse_fp) and once -O2 without them
// (bench_recurse_nofp), so that only call-frame information unwinds it.
#include "unwind_bench_stack.h"

extern "C" __attribute__((noinline)) long BENCH_STACK_NAME(bench_probe probe, void *ctx, long depth) {
    __asm__ volatile("" ::: "rbx", "r12");
    if (depth == 0) {
        return bench_through_libraries(probe, ctx);
    }
    long result = BENCH_STACK_NAME(probe, ctx, depth - 1);
    __asm__ volatile("" : "+r"(result));  // keeps the recursion a recursion
    return result + depth;
}
