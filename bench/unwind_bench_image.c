// A recursion for the compact-unwind benchmark, built as an x86_64 Mach-O
// image with frame pointers (frame-based compact encodings).
typedef void (*bench_cb)(void *ctx);

__attribute__((noinline)) long bench_macho_recurse(bench_cb cb, void *ctx, long depth) {
    __asm__ volatile("" ::: "rbx", "r12");
    if (depth == 0) {
        cb(ctx);
        return 1;
    }
    long result = bench_macho_recurse(cb, ctx, depth - 1);
    __asm__ volatile("" : "+r"(result));  // keeps the recursion a recursion
    return result + depth;
}
