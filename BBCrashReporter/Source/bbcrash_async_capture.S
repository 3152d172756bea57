// bbcrash_capture_current_thread(callback, context): captures the caller's
// registers into a machine context on this frame, rewrites the instruction,
// frame and stack pointers to the caller's, and calls
// bbcrash_capture_deliver(context block, callback, context).
#if defined(__x86_64__)
    .text
    .globl bbcrash_capture_current_thread
    .type bbcrash_capture_current_thread, @function
bbcrash_capture_current_thread:
    .cfi_startproc
#ifdef __CET__
    endbr64
#endif
    pushq %rbp
    .cfi_def_cfa_offset 16
    .cfi_offset %rbp, -16
    movq %rsp, %rbp
    .cfi_def_cfa_register %rbp
    // 184 bytes of machine context at 0(%rsp), callback and context above.
    subq $208, %rsp
    movq %rdi, 200(%rsp)
    movq %rsi, 192(%rsp)
    // Exception block: zero.
    movq $0, 0(%rsp)
    movq $0, 8(%rsp)
    // Register block at 16(%rsp); rbx and r12-r15 are still the caller's.
    leaq 16(%rsp), %rdi
    call platform_mach_thread_capture_state64
    movq 0(%rbp), %rax
    movq %rax, 16+48(%rsp)      // rbp: the caller's
    leaq 16(%rbp), %rax
    movq %rax, 16+56(%rsp)      // rsp: the caller's, once this call returns
    movq 8(%rbp), %rax
    movq %rax, 16+128(%rsp)     // rip: the return address
    movq %rsp, %rdi
    movq 200(%rsp), %rsi
    movq 192(%rsp), %rdx
    call bbcrash_capture_deliver
    leave
    .cfi_def_cfa %rsp, 8
    ret
    .cfi_endproc
    .size bbcrash_capture_current_thread, .-bbcrash_capture_current_thread
#endif
    .section .note.GNU-stack,"",@progbits
