# A function whose frame compact unwind cannot describe (its CFA is kept in
# r13 while the stack is realigned): the image has no __unwind_info, only
# __eh_frame. Alone in its object and image: ld64.lld-14 copies __eh_frame
# without relocating its pc-relative fields, which stay right only while
# __eh_frame keeps its distance from __text (nothing may come between).
#
# long dwarf_only(void (*cb)(void *), void *ctx)
    .section __TEXT,__text,regular,pure_instructions
    .globl _dwarf_only
    .p2align 4
_dwarf_only:
    .cfi_startproc
    pushq %rbx
    .cfi_def_cfa_offset 16
    .cfi_offset %rbx, -16
    pushq %r13
    .cfi_def_cfa_offset 24
    .cfi_offset %r13, -24
    movq %rsp, %r13
    .cfi_def_cfa_register %r13
    subq $40, %rsp
    andq $-16, %rsp
    movq $0x5b5b, %rbx
    movq %rdi, %rax
    movq %rsi, %rdi
    callq *%rax
    movq %r13, %rsp
    .cfi_def_cfa_register %rsp
    popq %r13
    .cfi_def_cfa_offset 16
    popq %rbx
    .cfi_def_cfa_offset 8
    retq
    .cfi_endproc

    .subsections_via_symbols
