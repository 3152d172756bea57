#include "DwarfLiveFrames.h"

#include <cstdlib>

extern "C" {

void *dwarf_live_outer_return;

namespace {
dwarf_live_probe g_probe;
void *g_ctx;
int g_pending;
int g_fault;
int *volatile g_null;
}  // namespace

__attribute__((noinline)) int dwarf_live_compare(const void *a, const void *b) {
    const int x = *static_cast<const int *>(a);
    const int y = *static_cast<const int *>(b);
    if (g_pending) {
        g_pending = 0;
        if (g_fault) {
            *g_null = x + y;  // the fault, in the middle of the function
        } else {
            g_probe(g_ctx);
        }
    }
    return (x > y) - (x < y);
}

__attribute__((noinline)) long dwarf_live_sort(int *values, size_t count) {
    qsort(values, count, sizeof(int), dwarf_live_compare);
    return values[0] * 3 + values[count - 1];
}

__attribute__((noinline)) long dwarf_live_sort_outer(dwarf_live_probe probe, void *ctx, int fault) {
    int values[48];
    for (int i = 0; i < 48; i++) {
        values[i] = (i * 7919) % 97;
    }
    dwarf_live_outer_return = __builtin_return_address(0);
    g_probe = probe;
    g_ctx = ctx;
    g_fault = fault;
    g_pending = 1;
    const long result = dwarf_live_sort(values, 48);
    return result + values[5];
}

__attribute__((noinline, noreturn, used)) void dwarf_live_never_returns(dwarf_live_probe probe, void *ctx) {
    for (;;) {
        probe(ctx);
    }
}
}

// The caller of a function that never returns, ending with that call, and
// the function right after it. Written in assembly (with the call-frame
// directives a compiler would emit) so that no padding separates them.
__asm__(
    "    .text\n"
    "    .globl dwarf_live_noreturn_caller\n"
    "    .type dwarf_live_noreturn_caller, @function\n"
    "    .p2align 4\n"
    "dwarf_live_noreturn_caller:\n"
    "    .cfi_startproc\n"
    "    pushq %r12\n"
    "    .cfi_def_cfa_offset 16\n"
    "    .cfi_offset %r12, -16\n"
    "    pushq %rbx\n"
    "    .cfi_def_cfa_offset 24\n"
    "    .cfi_offset %rbx, -24\n"
    "    pushq %rax\n"
    "    .cfi_def_cfa_offset 32\n"
    "    movq $0x4b4b, %rbx\n"
    "    movq $0x4c4c, %r12\n"
    "    call dwarf_live_never_returns@PLT\n"
    "    .cfi_endproc\n"
    "    .size dwarf_live_noreturn_caller, .-dwarf_live_noreturn_caller\n"
    "    .globl dwarf_live_after_noreturn_caller\n"
    "    .type dwarf_live_after_noreturn_caller, @function\n"
    "dwarf_live_after_noreturn_caller:\n"
    "    .cfi_startproc\n"
    "    leaq (,%rdi,8), %rax\n"
    "    subq %rdi, %rax\n"
    "    addq $1, %rax\n"
    "    ret\n"
    "    .cfi_endproc\n"
    "    .size dwarf_live_after_noreturn_caller, .-dwarf_live_after_noreturn_caller\n"
    "    .globl dwarf_live_fault_after_adjust\n"
    "    .type dwarf_live_fault_after_adjust, @function\n"
    "    .p2align 4\n"
    "dwarf_live_fault_after_adjust:\n"
    "    .cfi_startproc\n"
    "    xorl %eax, %eax\n"
    "    pushq %rbx\n"
    "    .cfi_def_cfa_offset 16\n"
    "    .cfi_offset %rbx, -16\n"
    "    subq $0x28, %rsp\n"
    "    .cfi_def_cfa_offset 56\n"
    "    .globl dwarf_live_adjust_fault\n"
    "dwarf_live_adjust_fault:\n"
    "    movq %rdi, (%rax)\n"
    "    addq $0x28, %rsp\n"
    "    .cfi_def_cfa_offset 16\n"
    "    popq %rbx\n"
    "    .cfi_def_cfa_offset 8\n"
    "    movq %rdi, %rax\n"
    "    ret\n"
    "    .cfi_endproc\n"
    "    .size dwarf_live_fault_after_adjust, .-dwarf_live_fault_after_adjust\n");
