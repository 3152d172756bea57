// void platform_mach_thread_capture_state64(x86_thread_state64_t *state)
//
// Stores the caller's registers into the 64-bit thread state at %rdi, laid
// out as rax rbx rcx rdx rdi rsi rbp rsp r8-r15 rip rflags cs fs gs (8 bytes
// each). On entry (%rsp) is the return address, so the caller's stack pointer
// after the call is %rsp + 8. Only %rax is used as scratch, after its value
// has been stored.

    .text
    .globl  platform_mach_thread_capture_state64
    .type   platform_mach_thread_capture_state64, @function
    .p2align 4
platform_mach_thread_capture_state64:
    .cfi_startproc
#ifdef __CET__
    endbr64
#endif
    movq    %rax, 0(%rdi)
    movq    %rbx, 8(%rdi)
    movq    %rcx, 16(%rdi)
    movq    %rdx, 24(%rdi)
    movq    %rdi, 32(%rdi)
    movq    %rsi, 40(%rdi)
    movq    %rbp, 48(%rdi)
    leaq    8(%rsp), %rax
    movq    %rax, 56(%rdi)
    movq    %r8, 64(%rdi)
    movq    %r9, 72(%rdi)
    movq    %r10, 80(%rdi)
    movq    %r11, 88(%rdi)
    movq    %r12, 96(%rdi)
    movq    %r13, 104(%rdi)
    movq    %r14, 112(%rdi)
    movq    %r15, 120(%rdi)
    movq    (%rsp), %rax
    movq    %rax, 128(%rdi)
    pushfq
    .cfi_adjust_cfa_offset 8
    popq    %rax
    .cfi_adjust_cfa_offset -8
    movq    %rax, 136(%rdi)
    xorl    %eax, %eax
    movw    %cs, %ax
    movq    %rax, 144(%rdi)
    movw    %fs, %ax
    movq    %rax, 152(%rdi)
    movw    %gs, %ax
    movq    %rax, 160(%rdi)
    movq    0(%rdi), %rax
    ret
    .cfi_endproc
    .size   platform_mach_thread_capture_state64, .-platform_mach_thread_capture_state64

    .section .note.GNU-stack,"",@progbits
