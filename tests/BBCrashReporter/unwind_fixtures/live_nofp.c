// Frameless half of the live compact-unwind fixture (built without frame
// pointers): one function with a small frame (size in the encoding), one
// with a large frame (size read from its own code).
typedef void (*capture_cb)(void *ctx);

long live_leaf(capture_cb cb, void *ctx, long depth);
long live_frameless_indirect(capture_cb cb, void *ctx, long depth);

__attribute__((noinline)) long live_frameless_immediate(capture_cb cb, void *ctx, long depth) {
    __asm__ volatile("movq $0x2b2b, %%rbx\n\tmovq $0x2c2c, %%r12\n\tmovq $0x2f2f, %%r15" ::: "rbx", "r12", "r15");
    return live_frameless_indirect(cb, ctx, depth - 1) * 3;
}

__attribute__((noinline)) long live_frameless_indirect(capture_cb cb, void *ctx, long depth) {
    volatile char buffer[3000];
    buffer[depth & 1023] = (char)depth;
    __asm__ volatile("movq $0x3b3b, %%rbx\n\tmovq $0x3d3d, %%r13" ::: "rbx", "r13");
    return live_leaf(cb, ctx, depth - 1) + buffer[(depth + 7) & 1023];
}
