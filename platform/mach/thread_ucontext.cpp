#include "platform/mach/thread_ucontext.h"

#include <cstring>

namespace platform::mach {

void thread_state_from_ucontext(const ucontext_t *context, x86_thread_state64_t *state,
                                x86_exception_state64_t *exception) {
    const greg_t *g = context->uc_mcontext.gregs;
    auto reg = [g](int index) { return static_cast<uint64_t>(g[index]); };

    if (state) {
        std::memset(state, 0, sizeof *state);
        state->rax = reg(REG_RAX);
        state->rbx = reg(REG_RBX);
        state->rcx = reg(REG_RCX);
        state->rdx = reg(REG_RDX);
        state->rdi = reg(REG_RDI);
        state->rsi = reg(REG_RSI);
        state->rbp = reg(REG_RBP);
        state->rsp = reg(REG_RSP);
        state->r8 = reg(REG_R8);
        state->r9 = reg(REG_R9);
        state->r10 = reg(REG_R10);
        state->r11 = reg(REG_R11);
        state->r12 = reg(REG_R12);
        state->r13 = reg(REG_R13);
        state->r14 = reg(REG_R14);
        state->r15 = reg(REG_R15);
        state->rip = reg(REG_RIP);
        state->rflags = reg(REG_EFL);
        // cs in bits 0-15, gs in 16-31, fs in 32-47 (the top 16 bits hold ss
        // on newer kernels, which the 64-bit state does not carry).
        const uint64_t segments = reg(REG_CSGSFS);
        state->cs = segments & 0xffff;
        state->gs = (segments >> 16) & 0xffff;
        state->fs = (segments >> 32) & 0xffff;
    }
    if (exception) {
        std::memset(exception, 0, sizeof *exception);
        exception->trapno = static_cast<uint16_t>(reg(REG_TRAPNO));
        exception->cpu = 0;
        exception->err = static_cast<uint32_t>(reg(REG_ERR));
        exception->faultvaddr = reg(REG_CR2);
    }
}

}  // namespace platform::mach
