#include "bbcrash_async_thread_state.h"

#include "platform/mach/thread_suspend.h"

using namespace platform::mach;

namespace {

bool is32(const bbcrash_async_thread_state *state) { return state->x86_state.thread.tsh.flavor == x86_THREAD_STATE32; }

const char *const kNames64[BBCRASH_X86_64_REG_COUNT] = {
    "rip", "rbp", "rsp", "rax", "rbx", "rcx", "rdx",    "rdi", "rsi", "r8", "r9",
    "r10", "r11", "r12", "r13", "r14", "r15", "rflags", "cs",  "fs",  "gs",
};

const char *const kNames32[BBCRASH_X86_REG_COUNT] = {
    "eip", "ebp", "esp", "eax", "edx", "ecx", "ebx", "esi", "edi", "eflags", "trapno", "cs", "ds", "es", "fs", "gs",
};

// Register number -> field of the 64-bit block.
uint64_t *reg64(bbcrash_async_thread_state *state, bbcrash_regnum_t regnum) {
    x86_thread_state64_t &ts = state->x86_state.thread.uts.ts64;
    switch (regnum) {
    case BBCRASH_X86_64_RIP: return &ts.rip;
    case BBCRASH_X86_64_RBP: return &ts.rbp;
    case BBCRASH_X86_64_RSP: return &ts.rsp;
    case BBCRASH_X86_64_RAX: return &ts.rax;
    case BBCRASH_X86_64_RBX: return &ts.rbx;
    case BBCRASH_X86_64_RCX: return &ts.rcx;
    case BBCRASH_X86_64_RDX: return &ts.rdx;
    case BBCRASH_X86_64_RDI: return &ts.rdi;
    case BBCRASH_X86_64_RSI: return &ts.rsi;
    case BBCRASH_X86_64_R8: return &ts.r8;
    case BBCRASH_X86_64_R9: return &ts.r9;
    case BBCRASH_X86_64_R10: return &ts.r10;
    case BBCRASH_X86_64_R11: return &ts.r11;
    case BBCRASH_X86_64_R12: return &ts.r12;
    case BBCRASH_X86_64_R13: return &ts.r13;
    case BBCRASH_X86_64_R14: return &ts.r14;
    case BBCRASH_X86_64_R15: return &ts.r15;
    case BBCRASH_X86_64_RFLAGS: return &ts.rflags;
    case BBCRASH_X86_64_CS: return &ts.cs;
    case BBCRASH_X86_64_FS: return &ts.fs;
    case BBCRASH_X86_64_GS: return &ts.gs;
    default: return nullptr;
    }
}

// Register number -> field of the 32-bit block (the trap number is apart).
uint32_t *reg32(bbcrash_async_thread_state *state, bbcrash_regnum_t regnum) {
    x86_thread_state32_t &ts = state->x86_state.thread.uts.ts32;
    switch (regnum) {
    case BBCRASH_X86_EIP: return &ts.eip;
    case BBCRASH_X86_EBP: return &ts.ebp;
    case BBCRASH_X86_ESP: return &ts.esp;
    case BBCRASH_X86_EAX: return &ts.eax;
    case BBCRASH_X86_EDX: return &ts.edx;
    case BBCRASH_X86_ECX: return &ts.ecx;
    case BBCRASH_X86_EBX: return &ts.ebx;
    case BBCRASH_X86_ESI: return &ts.esi;
    case BBCRASH_X86_EDI: return &ts.edi;
    case BBCRASH_X86_EFLAGS: return &ts.eflags;
    case BBCRASH_X86_CS: return &ts.cs;
    case BBCRASH_X86_DS: return &ts.ds;
    case BBCRASH_X86_ES: return &ts.es;
    case BBCRASH_X86_FS: return &ts.fs;
    case BBCRASH_X86_GS: return &ts.gs;
    default: return nullptr;
    }
}

constexpr uint64_t bit(bbcrash_regnum_t regnum) { return uint64_t(1) << regnum; }

constexpr uint64_t kPreserved64 = bit(BBCRASH_X86_64_RBX) | bit(BBCRASH_X86_64_RSP) | bit(BBCRASH_X86_64_RBP) |
                                  bit(BBCRASH_X86_64_R12) | bit(BBCRASH_X86_64_R13) | bit(BBCRASH_X86_64_R14) |
                                  bit(BBCRASH_X86_64_R15);
constexpr uint64_t kPreserved32 =
    bit(BBCRASH_X86_EBX) | bit(BBCRASH_X86_EBP) | bit(BBCRASH_X86_ESI) | bit(BBCRASH_X86_EDI) | bit(BBCRASH_X86_ESP);

constexpr uint64_t setMask(size_t count) { return count >= 64 ? ~uint64_t(0) : (uint64_t(1) << count) - 1; }

// DWARF register number -> register, for each set. The instruction pointer
// has no entry: DWARF's return-address column is handled by the unwinder.
struct DwarfEntry {
    uint64_t dwarf;
    bbcrash_regnum_t reg;
};

const DwarfEntry kDwarf64[] = {
    {0, BBCRASH_X86_64_RAX},     {1, BBCRASH_X86_64_RDX},  {2, BBCRASH_X86_64_RCX},  {3, BBCRASH_X86_64_RBX},
    {4, BBCRASH_X86_64_RSI},     {5, BBCRASH_X86_64_RDI},  {6, BBCRASH_X86_64_RBP},  {7, BBCRASH_X86_64_RSP},
    {8, BBCRASH_X86_64_R8},      {9, BBCRASH_X86_64_R9},   {10, BBCRASH_X86_64_R10}, {11, BBCRASH_X86_64_R11},
    {12, BBCRASH_X86_64_R12},    {13, BBCRASH_X86_64_R13}, {14, BBCRASH_X86_64_R14}, {15, BBCRASH_X86_64_R15},
    {49, BBCRASH_X86_64_RFLAGS}, {51, BBCRASH_X86_64_CS},  {54, BBCRASH_X86_64_FS},  {55, BBCRASH_X86_64_GS},
};

const DwarfEntry kDwarf32[] = {
    {0, BBCRASH_X86_EAX}, {1, BBCRASH_X86_ECX}, {2, BBCRASH_X86_EDX}, {3, BBCRASH_X86_EBX}, {4, BBCRASH_X86_EBP},
    {5, BBCRASH_X86_ESP}, {6, BBCRASH_X86_ESI}, {7, BBCRASH_X86_EDI}, {8, BBCRASH_X86_EIP},
};

}  // namespace

bbcrash_error_t bbcrash_async_thread_state_mach_thread_init(bbcrash_async_thread_state *state, thread_t thread) {
    mach_msg_type_number_t count = x86_THREAD_STATE_COUNT;
    if (thread_get_state(thread, x86_THREAD_STATE, reinterpret_cast<thread_state_t>(&state->x86_state.thread),
                         &count) != KERN_SUCCESS) {
        return BBCRASH_EINTERNAL;
    }
    count = x86_EXCEPTION_STATE_COUNT;
    if (thread_get_state(thread, x86_EXCEPTION_STATE, reinterpret_cast<thread_state_t>(&state->x86_state.exception),
                         &count) != KERN_SUCCESS) {
        return BBCRASH_EINTERNAL;
    }
    state->stack_direction = BBCRASH_ASYNC_THREAD_STACK_DIRECTION_DOWN;
    state->greg_size = state->x86_state.thread.tsh.flavor == x86_THREAD_STATE64 ? 8 : 4;
    state->valid_regs = setMask(bbcrash_async_thread_state_get_reg_count(state));
    state->interrupted = false;
    return BBCRASH_ESUCCESS;
}

void bbcrash_async_thread_state_mcontext_init(bbcrash_async_thread_state *state, const x86_mcontext64_t *mctx) {
    *state = bbcrash_async_thread_state{};
    state->x86_state.thread.tsh.flavor = x86_THREAD_STATE64;
    state->x86_state.thread.tsh.count = static_cast<int32_t>(x86_THREAD_STATE64_COUNT);
    state->x86_state.exception.esh.flavor = x86_EXCEPTION_STATE64;
    state->x86_state.exception.esh.count = static_cast<int32_t>(x86_EXCEPTION_STATE64_COUNT);
    state->stack_direction = BBCRASH_ASYNC_THREAD_STACK_DIRECTION_DOWN;
    state->greg_size = 8;
    state->x86_state.thread.uts.ts64 = mctx->ss;
    state->x86_state.exception.ues.es64 = mctx->es;
    state->valid_regs = setMask(BBCRASH_X86_64_REG_COUNT);
}

void bbcrash_async_thread_state_copy(bbcrash_async_thread_state *dest, const bbcrash_async_thread_state *source) {
    *dest = *source;
}

bool bbcrash_async_thread_state_valid_regnum(const bbcrash_async_thread_state *state, bbcrash_regnum_t regnum) {
    return regnum < bbcrash_async_thread_state_get_reg_count(state);
}

uint64_t bbcrash_async_thread_state_get_reg(const bbcrash_async_thread_state *state, bbcrash_regnum_t regnum) {
    auto *mutableState = const_cast<bbcrash_async_thread_state *>(state);
    if (is32(state)) {
        if (regnum == BBCRASH_X86_TRAPNO) {
            return state->x86_state.exception.ues.es32.trapno;
        }
        const uint32_t *field = reg32(mutableState, regnum);
        return field != nullptr ? *field : 0;
    }
    const uint64_t *field = reg64(mutableState, regnum);
    return field != nullptr ? *field : 0;
}

void bbcrash_async_thread_state_set_reg(bbcrash_async_thread_state *state, bbcrash_regnum_t regnum, uint64_t value) {
    if (is32(state)) {
        if (regnum == BBCRASH_X86_TRAPNO) {
            state->x86_state.exception.ues.es32.trapno = static_cast<uint16_t>(value);
        } else {
            uint32_t *field = reg32(state, regnum);
            if (field == nullptr) {
                return;
            }
            *field = static_cast<uint32_t>(value);
        }
    } else {
        uint64_t *field = reg64(state, regnum);
        if (field == nullptr) {
            return;
        }
        *field = value;
    }
    state->valid_regs |= bit(regnum);
}

bool bbcrash_async_thread_state_has_reg(const bbcrash_async_thread_state *state, bbcrash_regnum_t regnum) {
    return regnum < 64 && (state->valid_regs & bit(regnum)) != 0;
}

void bbcrash_async_thread_state_clear_reg(bbcrash_async_thread_state *state, bbcrash_regnum_t regnum) {
    if (regnum < 64) {
        state->valid_regs &= ~bit(regnum);
    }
}

void bbcrash_async_thread_state_clear_all_regs(bbcrash_async_thread_state *state) { state->valid_regs = 0; }

void bbcrash_async_thread_state_clear_volatile_regs(bbcrash_async_thread_state *state) {
    const uint64_t preserved = is32(state) ? kPreserved32 : kPreserved64;
    const uint64_t set = setMask(bbcrash_async_thread_state_get_reg_count(state));
    state->valid_regs &= ~(set & ~preserved);
}

const char *bbcrash_async_thread_state_get_reg_name(const bbcrash_async_thread_state *state, bbcrash_regnum_t regnum) {
    if (!bbcrash_async_thread_state_valid_regnum(state, regnum)) {
        return nullptr;
    }
    return is32(state) ? kNames32[regnum] : kNames64[regnum];
}

size_t bbcrash_async_thread_state_get_reg_count(const bbcrash_async_thread_state *state) {
    return is32(state) ? size_t(BBCRASH_X86_REG_COUNT) : size_t(BBCRASH_X86_64_REG_COUNT);
}

size_t bbcrash_async_thread_state_get_greg_size(const bbcrash_async_thread_state *state) { return state->greg_size; }

bbcrash_async_thread_stack_direction_t bbcrash_async_thread_state_get_stack_direction(
    const bbcrash_async_thread_state *state) {
    return state->stack_direction;
}

bool bbcrash_async_thread_state_map_dwarf_to_reg(const bbcrash_async_thread_state *state, uint64_t dwarf_reg,
                                                 bbcrash_regnum_t *regnum) {
    const DwarfEntry *table = is32(state) ? kDwarf32 : kDwarf64;
    const size_t count = is32(state) ? sizeof(kDwarf32) / sizeof(kDwarf32[0]) : sizeof(kDwarf64) / sizeof(kDwarf64[0]);
    for (size_t i = 0; i < count; i++) {
        if (table[i].dwarf == dwarf_reg) {
            *regnum = table[i].reg;
            return true;
        }
    }
    return false;
}
