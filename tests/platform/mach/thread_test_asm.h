#pragma once
// Pieces of the test threads' assembly: saving and restoring every
// callee-saved register around code that loads sentinels into them. Pasted
// into asm() blocks as string literals.

// Pushes rbx, rbp and r12-r15 (48 bytes).
#define THREAD_TEST_PUSH_CALLEE_SAVED \
    "    pushq   %rbx\n"              \
    "    pushq   %rbp\n"              \
    "    pushq   %r12\n"              \
    "    pushq   %r13\n"              \
    "    pushq   %r14\n"              \
    "    pushq   %r15\n"

// Pops what THREAD_TEST_PUSH_CALLEE_SAVED pushed and returns.
#define THREAD_TEST_POP_CALLEE_SAVED_AND_RETURN \
    "    popq    %r15\n"                        \
    "    popq    %r14\n"                        \
    "    popq    %r13\n"                        \
    "    popq    %r12\n"                        \
    "    popq    %rbp\n"                        \
    "    popq    %rbx\n"                        \
    "    ret\n"
