#pragma once
// Mach exception vocabulary: exception types and their mask bits, the
// behaviours an exception port can ask for, and the code types of the two
// exception interfaces (32-bit codes and 64-bit codes).
#include <cstdint>

#include "platform/mach/mach_types.h"

namespace platform::mach {

using exception_type_t = int;
using exception_data_type_t = int32_t;       // a code of the classic interface
using mach_exception_data_type_t = int64_t;  // a code of the 64-bit interface
using exception_data_t = exception_data_type_t *;
using mach_exception_data_t = mach_exception_data_type_t *;
using exception_mask_t = unsigned int;
using exception_mask_array_t = exception_mask_t *;
using exception_behavior_t = int;
using exception_behavior_array_t = exception_behavior_t *;
using exception_flavor_array_t = thread_state_flavor_t *;
using exception_port_t = mach_port_t;
using exception_handler_t = mach_port_t;
using exception_handler_array_t = exception_handler_t *;

constexpr exception_type_t EXC_BAD_ACCESS = 1;
constexpr exception_type_t EXC_BAD_INSTRUCTION = 2;
constexpr exception_type_t EXC_ARITHMETIC = 3;
constexpr exception_type_t EXC_EMULATION = 4;
constexpr exception_type_t EXC_SOFTWARE = 5;
constexpr exception_type_t EXC_BREAKPOINT = 6;
constexpr exception_type_t EXC_SYSCALL = 7;
constexpr exception_type_t EXC_MACH_SYSCALL = 8;
constexpr exception_type_t EXC_RPC_ALERT = 9;
constexpr exception_type_t EXC_CRASH = 10;
constexpr exception_type_t EXC_RESOURCE = 11;
constexpr exception_type_t EXC_GUARD = 12;
constexpr exception_type_t EXC_CORPSE_NOTIFY = 13;

// Types run from 1 to 13; tables indexed by type have this many slots.
constexpr exception_type_t FIRST_EXCEPTION = 1;
constexpr unsigned EXC_TYPES_COUNT = 14;

constexpr exception_mask_t EXC_MASK_BAD_ACCESS = 1u << EXC_BAD_ACCESS;
constexpr exception_mask_t EXC_MASK_BAD_INSTRUCTION = 1u << EXC_BAD_INSTRUCTION;
constexpr exception_mask_t EXC_MASK_ARITHMETIC = 1u << EXC_ARITHMETIC;
constexpr exception_mask_t EXC_MASK_EMULATION = 1u << EXC_EMULATION;
constexpr exception_mask_t EXC_MASK_SOFTWARE = 1u << EXC_SOFTWARE;
constexpr exception_mask_t EXC_MASK_BREAKPOINT = 1u << EXC_BREAKPOINT;
constexpr exception_mask_t EXC_MASK_SYSCALL = 1u << EXC_SYSCALL;
constexpr exception_mask_t EXC_MASK_MACH_SYSCALL = 1u << EXC_MACH_SYSCALL;
constexpr exception_mask_t EXC_MASK_RPC_ALERT = 1u << EXC_RPC_ALERT;
constexpr exception_mask_t EXC_MASK_CRASH = 1u << EXC_CRASH;
constexpr exception_mask_t EXC_MASK_RESOURCE = 1u << EXC_RESOURCE;
constexpr exception_mask_t EXC_MASK_GUARD = 1u << EXC_GUARD;
constexpr exception_mask_t EXC_MASK_CORPSE_NOTIFY = 1u << EXC_CORPSE_NOTIFY;
// Every type a port can be registered for.
constexpr exception_mask_t EXC_MASK_VALID = ((1u << EXC_TYPES_COUNT) - 1) & ~1u;

// Behaviours: what the exception message carries.
constexpr exception_behavior_t EXCEPTION_DEFAULT = 1;         // thread and task ports
constexpr exception_behavior_t EXCEPTION_STATE = 2;           // the thread's state, returned changed
constexpr exception_behavior_t EXCEPTION_STATE_IDENTITY = 3;  // both
// Or'ed into a behaviour: codes travel as 64-bit values.
constexpr exception_behavior_t MACH_EXCEPTION_CODES = static_cast<exception_behavior_t>(0x80000000u);

// The most codes an exception message carries.
constexpr unsigned EXCEPTION_CODE_MAX = 2;

// The machine's own thread state flavour (x86_THREAD_STATE).
constexpr thread_state_flavor_t MACHINE_THREAD_STATE = 7;
// The largest thread state a message carries, in words.
constexpr unsigned THREAD_STATE_MAX = 614;

// First codes of the x86 exceptions the kernel delivers.
constexpr mach_exception_data_type_t EXC_I386_INVOP = 1;   // bad instruction
constexpr mach_exception_data_type_t EXC_I386_DIV = 1;     // integer divide
constexpr mach_exception_data_type_t EXC_I386_EXTERR = 5;  // floating point
constexpr mach_exception_data_type_t EXC_I386_SGL = 1;     // single step
constexpr mach_exception_data_type_t EXC_I386_BPT = 2;     // int3

// First codes of software exceptions that stand for signals.
constexpr mach_exception_data_type_t EXC_UNIX_BAD_SYSCALL = 0x10000;
constexpr mach_exception_data_type_t EXC_UNIX_BAD_PIPE = 0x10001;
constexpr mach_exception_data_type_t EXC_UNIX_ABORT = 0x10002;
constexpr mach_exception_data_type_t EXC_SOFT_SIGNAL = 0x10003;

}  // namespace platform::mach
