#pragma once
// The register state of one thread, in the x86 layouts the crash report
// carries, with one register numbering shared by the report writer, the frame
// readers and the DWARF register map. A plain value of fixed size: copy it
// freely. Async-signal-safe throughout.
#include "bbcrash_error.h"
#include "platform/mach/mach_types.h"
#include "platform/mach/thread_state.h"

#include <cstddef>
#include <cstdint>

// Register numbers. 0, 1 and 2 are the instruction, frame and stack pointer
// in every set; the rest depend on the set.
using bbcrash_regnum_t = uint32_t;

constexpr bbcrash_regnum_t BBCRASH_REG_IP = 0;
constexpr bbcrash_regnum_t BBCRASH_REG_FP = 1;
constexpr bbcrash_regnum_t BBCRASH_REG_SP = 2;
constexpr bbcrash_regnum_t BBCRASH_REG_INVALID = 0x7fffffff;

// The 64-bit set.
enum : bbcrash_regnum_t {
    BBCRASH_X86_64_RIP = BBCRASH_REG_IP,
    BBCRASH_X86_64_RBP = BBCRASH_REG_FP,
    BBCRASH_X86_64_RSP = BBCRASH_REG_SP,
    BBCRASH_X86_64_RAX,
    BBCRASH_X86_64_RBX,
    BBCRASH_X86_64_RCX,
    BBCRASH_X86_64_RDX,
    BBCRASH_X86_64_RDI,
    BBCRASH_X86_64_RSI,
    BBCRASH_X86_64_R8,
    BBCRASH_X86_64_R9,
    BBCRASH_X86_64_R10,
    BBCRASH_X86_64_R11,
    BBCRASH_X86_64_R12,
    BBCRASH_X86_64_R13,
    BBCRASH_X86_64_R14,
    BBCRASH_X86_64_R15,
    BBCRASH_X86_64_RFLAGS,
    BBCRASH_X86_64_CS,
    BBCRASH_X86_64_FS,
    BBCRASH_X86_64_GS,
    BBCRASH_X86_64_REG_COUNT,
};

// The 32-bit set. Number 10 is the trap number of the exception block.
enum : bbcrash_regnum_t {
    BBCRASH_X86_EIP = BBCRASH_REG_IP,
    BBCRASH_X86_EBP = BBCRASH_REG_FP,
    BBCRASH_X86_ESP = BBCRASH_REG_SP,
    BBCRASH_X86_EAX,
    BBCRASH_X86_EDX,
    BBCRASH_X86_ECX,
    BBCRASH_X86_EBX,
    BBCRASH_X86_ESI,
    BBCRASH_X86_EDI,
    BBCRASH_X86_EFLAGS,
    BBCRASH_X86_TRAPNO,
    BBCRASH_X86_CS,
    BBCRASH_X86_DS,
    BBCRASH_X86_ES,
    BBCRASH_X86_FS,
    BBCRASH_X86_GS,
    BBCRASH_X86_REG_COUNT,
};

enum bbcrash_async_thread_stack_direction_t : uint32_t {
    BBCRASH_ASYNC_THREAD_STACK_DIRECTION_UP = 1,
    BBCRASH_ASYNC_THREAD_STACK_DIRECTION_DOWN = 2,
};

struct bbcrash_async_thread_state {
    bbcrash_async_thread_stack_direction_t stack_direction;  // always down on x86
    size_t greg_size;                                        // 8 for the 64-bit set, 4 for the 32-bit set
    uint64_t valid_regs;                                     // bit n: register n holds a value
    struct {
        platform::mach::x86_thread_state_t thread;  // flavor x86_THREAD_STATE32 selects the 32-bit set
        platform::mach::x86_exception_state_t exception;
    } x86_state;
    // The instruction pointer is where a signal interrupted this frame (its
    // state was restored from a signal context by unwinding a signal
    // trampoline), not a return address: unwind data is looked up at it
    // rather than at it - 1. Set by the reader that produced the frame.
    bool interrupted;
};

// Fills the state from a suspended thread of this task: 0, or 6 when either
// state cannot be read.
bbcrash_error_t bbcrash_async_thread_state_mach_thread_init(bbcrash_async_thread_state *state,
                                                            platform::mach::thread_t thread);

// Fills the state from a 64-bit machine context (a signal's, or one that
// platform_mach_thread_capture_state64 filled); every register is valid.
void bbcrash_async_thread_state_mcontext_init(bbcrash_async_thread_state *state,
                                              const platform::mach::x86_mcontext64_t *mctx);

void bbcrash_async_thread_state_copy(bbcrash_async_thread_state *dest, const bbcrash_async_thread_state *source);

// True when `regnum` names a register of the state's set. The accessors
// below treat any other number as absent rather than stopping the process:
// get gives 0, set stores nothing and leaves every validity bit as it was,
// the name is null. Readers check numbers that come from unwind data with
// this before they use them.
bool bbcrash_async_thread_state_valid_regnum(const bbcrash_async_thread_state *state, bbcrash_regnum_t regnum);

// The value zero-extended to 64 bits, whether or not its validity bit is set.
uint64_t bbcrash_async_thread_state_get_reg(const bbcrash_async_thread_state *state, bbcrash_regnum_t regnum);
// Stores the value (truncated to the register's width) and marks it valid;
// a number outside the set is refused (nothing stored, has_reg stays false).
void bbcrash_async_thread_state_set_reg(bbcrash_async_thread_state *state, bbcrash_regnum_t regnum, uint64_t value);
bool bbcrash_async_thread_state_has_reg(const bbcrash_async_thread_state *state, bbcrash_regnum_t regnum);
void bbcrash_async_thread_state_clear_reg(bbcrash_async_thread_state *state, bbcrash_regnum_t regnum);
void bbcrash_async_thread_state_clear_all_regs(bbcrash_async_thread_state *state);
// Clears every valid register of the set that calls do not preserve.
void bbcrash_async_thread_state_clear_volatile_regs(bbcrash_async_thread_state *state);

const char *bbcrash_async_thread_state_get_reg_name(const bbcrash_async_thread_state *state, bbcrash_regnum_t regnum);
size_t bbcrash_async_thread_state_get_reg_count(const bbcrash_async_thread_state *state);
size_t bbcrash_async_thread_state_get_greg_size(const bbcrash_async_thread_state *state);
bbcrash_async_thread_stack_direction_t bbcrash_async_thread_state_get_stack_direction(
    const bbcrash_async_thread_state *state);

// True and the register for a DWARF register number of the state's set.
bool bbcrash_async_thread_state_map_dwarf_to_reg(const bbcrash_async_thread_state *state, uint64_t dwarf_reg,
                                                 bbcrash_regnum_t *regnum);
