#pragma once
// Register states of a thread in the layouts the crash report carries: the
// x86 thread, float and exception states in their 32- and 64-bit forms, the
// flavor-tagged records that thread_get_state fills (a header, then a union of
// both widths), and the arm64 thread state, which is only ever decoded.
// Counts are in 32-bit words, as thread_get_state measures them. The sizes and
// the order of the fields are fixed: reports written elsewhere are read back
// with them.
#include <cstddef>
#include <cstdint>

#include "platform/mach/mach_types.h"

namespace platform::mach {

// A thread state buffer as thread_get_state takes it: words of any flavor.
using thread_state_t = natural_t *;

// Flavors.
constexpr thread_state_flavor_t x86_THREAD_STATE32 = 1;
constexpr thread_state_flavor_t x86_FLOAT_STATE32 = 2;
constexpr thread_state_flavor_t x86_EXCEPTION_STATE32 = 3;
constexpr thread_state_flavor_t x86_THREAD_STATE64 = 4;
constexpr thread_state_flavor_t x86_EXCEPTION_STATE64 = 6;
constexpr thread_state_flavor_t x86_THREAD_STATE = 7;
constexpr thread_state_flavor_t x86_EXCEPTION_STATE = 9;

constexpr thread_state_flavor_t ARM_THREAD_STATE = 1;
constexpr thread_state_flavor_t ARM_THREAD_STATE64 = 6;

// 32-bit general registers.
struct x86_thread_state32_t {
    uint32_t eax;
    uint32_t ebx;
    uint32_t ecx;
    uint32_t edx;
    uint32_t edi;
    uint32_t esi;
    uint32_t ebp;
    uint32_t esp;
    uint32_t ss;
    uint32_t eflags;
    uint32_t eip;
    uint32_t cs;
    uint32_t ds;
    uint32_t es;
    uint32_t fs;
    uint32_t gs;
};

// 64-bit general registers. A machine context holds this block right after
// its 16-byte exception block.
struct x86_thread_state64_t {
    uint64_t rax;
    uint64_t rbx;
    uint64_t rcx;
    uint64_t rdx;
    uint64_t rdi;
    uint64_t rsi;
    uint64_t rbp;
    uint64_t rsp;
    uint64_t r8;
    uint64_t r9;
    uint64_t r10;
    uint64_t r11;
    uint64_t r12;
    uint64_t r13;
    uint64_t r14;
    uint64_t r15;
    uint64_t rip;
    uint64_t rflags;
    uint64_t cs;
    uint64_t fs;
    uint64_t gs;
};

// x87 control and status words as 16-bit fields; the bit meanings are not
// needed here.
struct x86_fp_control_t {
    uint16_t value;
};
struct x86_fp_status_t {
    uint16_t value;
};

// One 80-bit x87 register in a 16-byte slot, and one 128-bit XMM register.
struct x86_mmst_reg_t {
    uint8_t mmst_reg[10];
    uint8_t mmst_rsrv[6];
};
struct x86_xmm_reg_t {
    uint8_t xmm_reg[16];
};

// The 32-bit float state: the FXSAVE image of x87 and SSE registers.
struct x86_float_state32_t {
    int32_t fpu_reserved[2];
    x86_fp_control_t fpu_fcw;
    x86_fp_status_t fpu_fsw;
    uint8_t fpu_ftw;
    uint8_t fpu_rsrv1;
    uint16_t fpu_fop;
    uint32_t fpu_ip;
    uint16_t fpu_cs;
    uint16_t fpu_rsrv2;
    uint32_t fpu_dp;
    uint16_t fpu_ds;
    uint16_t fpu_rsrv3;
    uint32_t fpu_mxcsr;
    uint32_t fpu_mxcsrmask;
    x86_mmst_reg_t fpu_stmm[8];
    x86_xmm_reg_t fpu_xmm[8];
    uint8_t fpu_rsrv4[14 * 16];
    int32_t fpu_reserved1;
};

// What the processor said about the last fault: trap number, the cpu it ran
// on, the error code and the faulting address.
struct x86_exception_state32_t {
    uint16_t trapno;
    uint16_t cpu;
    uint32_t err;
    uint32_t faultvaddr;
};

struct x86_exception_state64_t {
    uint16_t trapno;
    uint16_t cpu;
    uint32_t err;
    uint64_t faultvaddr;
};

// Header of the flavor-tagged records: which width follows and its count.
struct x86_state_hdr_t {
    int32_t flavor;
    int32_t count;
};

struct x86_thread_state_t {
    x86_state_hdr_t tsh;
    union {
        x86_thread_state32_t ts32;
        x86_thread_state64_t ts64;
    } uts;
};

struct x86_exception_state_t {
    x86_state_hdr_t esh;
    union {
        x86_exception_state32_t es32;
        x86_exception_state64_t es64;
    } ues;
};

// The 64-bit machine context as far as the engine reads it: the exception
// block, then the register block (the float state that follows it on the
// system whose layout this is is not carried).
struct x86_mcontext64_t {
    x86_exception_state64_t es;
    x86_thread_state64_t ss;
};

// arm64 general registers: x0-x28, frame pointer x29, link register x30, the
// stack pointer, the program counter and the processor state.
struct arm_thread_state64_t {
    uint64_t x[29];
    uint64_t fp;
    uint64_t lr;
    uint64_t sp;
    uint64_t pc;
    uint32_t cpsr;
    uint32_t pad;
};

template <typename T>
constexpr mach_msg_type_number_t stateCount() {
    return static_cast<mach_msg_type_number_t>(sizeof(T) / sizeof(natural_t));
}

constexpr mach_msg_type_number_t x86_THREAD_STATE32_COUNT = stateCount<x86_thread_state32_t>();
constexpr mach_msg_type_number_t x86_FLOAT_STATE32_COUNT = stateCount<x86_float_state32_t>();
constexpr mach_msg_type_number_t x86_EXCEPTION_STATE32_COUNT = stateCount<x86_exception_state32_t>();
constexpr mach_msg_type_number_t x86_THREAD_STATE64_COUNT = stateCount<x86_thread_state64_t>();
constexpr mach_msg_type_number_t x86_EXCEPTION_STATE64_COUNT = stateCount<x86_exception_state64_t>();
constexpr mach_msg_type_number_t x86_THREAD_STATE_COUNT = stateCount<x86_thread_state_t>();
constexpr mach_msg_type_number_t x86_EXCEPTION_STATE_COUNT = stateCount<x86_exception_state_t>();
constexpr mach_msg_type_number_t ARM_THREAD_STATE64_COUNT = stateCount<arm_thread_state64_t>();

// The layouts are part of the report format; a change here is a format change.
static_assert(sizeof(x86_thread_state32_t) == 64 && x86_THREAD_STATE32_COUNT == 16);
static_assert(sizeof(x86_float_state32_t) == 524 && x86_FLOAT_STATE32_COUNT == 131);
static_assert(sizeof(x86_exception_state32_t) == 12 && x86_EXCEPTION_STATE32_COUNT == 3);
static_assert(sizeof(x86_thread_state64_t) == 168 && x86_THREAD_STATE64_COUNT == 42);
static_assert(sizeof(x86_exception_state64_t) == 16 && x86_EXCEPTION_STATE64_COUNT == 4);
static_assert(sizeof(x86_thread_state_t) == 176 && x86_THREAD_STATE_COUNT == 44);
static_assert(sizeof(x86_exception_state_t) == 24 && x86_EXCEPTION_STATE_COUNT == 6);
static_assert(sizeof(x86_mcontext64_t) == 184 && offsetof(x86_mcontext64_t, ss) == 16);
static_assert(sizeof(arm_thread_state64_t) == 272 && ARM_THREAD_STATE64_COUNT == 68);
static_assert(offsetof(x86_thread_state64_t, rip) == 128 && offsetof(x86_thread_state64_t, gs) == 160);
static_assert(offsetof(x86_thread_state32_t, eip) == 40 && offsetof(x86_thread_state32_t, gs) == 60);
static_assert(offsetof(x86_float_state32_t, fpu_stmm) == 40 && offsetof(x86_float_state32_t, fpu_xmm) == 168);
static_assert(offsetof(x86_thread_state_t, uts) == 8 && offsetof(x86_exception_state_t, ues) == 8);
static_assert(offsetof(arm_thread_state64_t, fp) == 232 && offsetof(arm_thread_state64_t, cpsr) == 264);

}  // namespace platform::mach
