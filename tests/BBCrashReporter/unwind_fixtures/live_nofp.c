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

// A call that never returns, as its caller's last instruction: the return
// address is the first byte of the function after it. Written in assembly
// (with the call-frame directives the compiler would emit, from which the
// assembler derives the compact encodings) so that no alignment padding
// separates the two functions.
__attribute__((noinline, noreturn)) void live_never_returns(capture_cb cb, void *ctx) {
    for (;;) {
        cb(ctx);
    }
}

__asm__(
    "    .text\n"
    "    .globl _live_noreturn_caller\n"
    "    .p2align 4\n"
    "_live_noreturn_caller:\n"
    "    .cfi_startproc\n"
    "    pushq %r12\n"
    "    .cfi_def_cfa_offset 16\n"
    "    pushq %rbx\n"
    "    .cfi_def_cfa_offset 24\n"
    "    pushq %rax\n"
    "    .cfi_def_cfa_offset 32\n"
    "    .cfi_offset %rbx, -24\n"
    "    .cfi_offset %r12, -16\n"
    "    movq $0x4b4b, %rbx\n"
    "    movq $0x4c4c, %r12\n"
    "    callq _live_never_returns\n"
    "    .cfi_endproc\n"
    "    .globl _live_after_noreturn_caller\n"
    "_live_after_noreturn_caller:\n"
    "    .cfi_startproc\n"
    "    leaq (,%rdi,8), %rax\n"
    "    subq %rdi, %rax\n"
    "    addq $1, %rax\n"
    "    retq\n"
    "    .cfi_endproc\n");
