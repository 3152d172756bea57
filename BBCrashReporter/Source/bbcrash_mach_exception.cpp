// Crash path: runs in the Mach exception callback on the server thread.
// Nothing here allocates; thread states and messages live on the stack, and
// the only lock is the port space's, taken with a bound by the message calls.
#include "bbcrash_mach_exception.h"

#include "platform/mach/exception_raise.h"
#include "platform/mach/mach_port.h"
#include "platform/mach/signal_translation.h"
#include "platform/mach/thread_suspend.h"

using namespace platform::mach;

namespace {

constexpr mach_exception_data_type_t kKernInvalidAddress = KERN_INVALID_ADDRESS;

kern_return_t raiseDefault(mach_port_t port, thread_t thread, task_t task, exception_type_t type,
                           const mach_exception_data_type_t *codes, mach_msg_type_number_t count, bool codes64) {
    if (codes64) return mach_exception_raise(port, thread, task, type, codes, count);
    exception_data_type_t narrow[EXCEPTION_CODE_MAX] = {};
    for (mach_msg_type_number_t i = 0; i < count && i < EXCEPTION_CODE_MAX; ++i) {
        narrow[i] = static_cast<exception_data_type_t>(codes[i]);
    }
    return exception_raise(port, thread, task, type, narrow, count);
}

kern_return_t raiseWithState(mach_port_t port, exception_behavior_t behavior, thread_state_flavor_t flavor,
                             thread_t thread, task_t task, exception_type_t type,
                             const mach_exception_data_type_t *codes, mach_msg_type_number_t count, bool codes64) {
    natural_t oldState[THREAD_STATE_MAX];
    natural_t newState[THREAD_STATE_MAX];
    mach_msg_type_number_t oldCount = THREAD_STATE_MAX;
    mach_msg_type_number_t newCount = THREAD_STATE_MAX;
    const kern_return_t kr = thread_get_state(thread, flavor, oldState, &oldCount);
    if (kr != KERN_SUCCESS) return kr;

    // The state the handler returns is not applied to the thread.
    const bool identity = behavior == EXCEPTION_STATE_IDENTITY;
    if (codes64) {
        return identity ? mach_exception_raise_state_identity(port, thread, task, type, codes, count, &flavor, oldState,
                                                              oldCount, newState, &newCount)
                        : mach_exception_raise_state(port, type, codes, count, &flavor, oldState, oldCount, newState,
                                                     &newCount);
    }
    exception_data_type_t narrow[EXCEPTION_CODE_MAX] = {};
    for (mach_msg_type_number_t i = 0; i < count && i < EXCEPTION_CODE_MAX; ++i) {
        narrow[i] = static_cast<exception_data_type_t>(codes[i]);
    }
    return identity
               ? exception_raise_state_identity(port, thread, task, type, narrow, count, &flavor, oldState, oldCount,
                                                newState, &newCount)
               : exception_raise_state(port, type, narrow, count, &flavor, oldState, oldCount, newState, &newCount);
}

}  // namespace

kern_return_t forward_mach_exception(task_t task, thread_t thread, exception_type_t exception_type,
                                     const mach_exception_data_type_t *codes, mach_msg_type_number_t code_count,
                                     const bbcrash_mach_exception_port_set *port_set) {
    // Only real exception types have a mask bit (a shift by 32 or more, or
    // by a negative amount, is undefined).
    if (exception_type < FIRST_EXCEPTION || exception_type >= static_cast<exception_type_t>(EXC_TYPES_COUNT)) {
        return KERN_FAILURE;
    }
    const exception_mask_t bit = 1u << exception_type;
    const uint32_t count = port_set->count < EXC_TYPES_COUNT ? port_set->count : EXC_TYPES_COUNT;
    for (uint32_t i = 0; i < count; ++i) {
        const mach_port_t port = port_set->ports[i];
        if (!MACH_PORT_VALID(port) || (port_set->masks[i] & bit) == 0) continue;

        const exception_behavior_t behavior = port_set->behaviors[i];
        const bool codes64 = (behavior & MACH_EXCEPTION_CODES) != 0;
        switch (behavior & ~MACH_EXCEPTION_CODES) {
        case EXCEPTION_DEFAULT: return raiseDefault(port, thread, task, exception_type, codes, code_count, codes64);
        case EXCEPTION_STATE:
        case EXCEPTION_STATE_IDENTITY:
            return raiseWithState(port, behavior & ~MACH_EXCEPTION_CODES, port_set->flavors[i], thread, task,
                                  exception_type, codes, code_count, codes64);
        default: return KERN_FAILURE;
        }
    }
    return KERN_FAILURE;
}

bool map_mach_exception_to_signal(exception_type_t exception_type, const mach_exception_data_type_t *codes,
                                  mach_msg_type_number_t code_count, int /*cpu_type*/, int *signo, int *si_code,
                                  uintptr_t *address) {
    if (code_count < 2) return false;
    switch (exception_type) {
    case EXC_BAD_ACCESS:
        if (codes[0] == kKernInvalidAddress) {
            *signo = kDarwinSIGSEGV;
            *si_code = kDarwinSEGV_MAPERR;
        } else {
            *signo = kDarwinSIGBUS;
            *si_code = kDarwinBUS_ADRERR;
        }
        break;
    case EXC_BAD_INSTRUCTION:
        *signo = kDarwinSIGILL;
        *si_code = 0;
        break;
    case EXC_ARITHMETIC:
        *signo = kDarwinSIGFPE;
        *si_code = 0;
        break;
    case EXC_EMULATION:
        *signo = kDarwinSIGEMT;
        *si_code = 0;
        break;
    case EXC_SOFTWARE:
        switch (codes[0]) {
        case EXC_UNIX_BAD_SYSCALL: *signo = kDarwinSIGSYS; break;
        case EXC_UNIX_BAD_PIPE: *signo = kDarwinSIGPIPE; break;
        case EXC_UNIX_ABORT: *signo = kDarwinSIGABRT; break;
        case EXC_SOFT_SIGNAL: *signo = kDarwinSIGKILL; break;
        default: *signo = kDarwinSIGABRT; break;
        }
        *si_code = 0;
        break;
    case EXC_BREAKPOINT:
        *signo = kDarwinSIGTRAP;
        *si_code = kDarwinTRAP_BRKPT;
        break;
    default: return false;
    }
    *address = static_cast<uintptr_t>(codes[1]);
    return true;
}
