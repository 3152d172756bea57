// Frame-based half of the live compact-unwind fixture (built with frame
// pointers). Each function scribbles over callee-saved registers, so the
// walk has to restore them from the frame to find the caller's values.
typedef void (*capture_cb)(void *ctx);

long live_frameless_immediate(capture_cb cb, void *ctx, long depth);

#define SCRIBBLE()                                                              \
    __asm__ volatile(                                                           \
        "movq $0x0b0b, %%rbx\n\tmovq $0x0c0c, %%r12\n\tmovq $0x0d0d, %%r13\n\t" \
        "movq $0x0e0e, %%r14\n\tmovq $0x0f0f, %%r15" ::                         \
            : "rbx", "r12", "r13", "r14", "r15")

// The entry point: the test calls it with sentinels in rbx and r12-r15.
__attribute__((noinline)) long live_entry(capture_cb cb, void *ctx) {
    SCRIBBLE();
    return live_frameless_immediate(cb, ctx, 3) + 1;
}

// Innermost frame: calls the callback, which walks the stack from here.
__attribute__((noinline)) long live_leaf(capture_cb cb, void *ctx, long depth) {
    __asm__ volatile("movq $0x1b1b, %%rbx\n\tmovq $0x1414, %%r14" ::: "rbx", "r14");
    cb(ctx);
    return depth + 5;
}
