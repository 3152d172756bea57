#pragma once
// The exception interface as messages: what the kernel (or a handler passing
// an exception on) sends to an exception port, and the replies. Each call
// sends a request to `port` with a send-once right to a reply port of its
// own, waits for the reply and returns its result. A send that fails gives
// mach_msg's result; a reply that does not come within
// kExceptionReplyTimeoutMs gives MACH_RCV_TIMED_OUT; a reply right destroyed
// unanswered gives KERN_FAILURE; a malformed reply MIG_REPLY_MISMATCH; more
// codes than EXCEPTION_CODE_MAX or a state larger than THREAD_STATE_MAX
// words MIG_ARRAY_TOO_LARGE. Async-signal-safe.
#include "platform/mach/exception_types.h"
#include "platform/mach/mach_msg.h"

namespace platform::mach {

// Message ids of the requests; a reply's id is the request's plus 100.
constexpr mach_msg_id_t kExceptionRaiseId = 2401;
constexpr mach_msg_id_t kExceptionRaiseStateId = 2402;
constexpr mach_msg_id_t kExceptionRaiseStateIdentityId = 2403;
constexpr mach_msg_id_t kMachExceptionRaiseId = 2405;
constexpr mach_msg_id_t kMachExceptionRaiseStateId = 2406;
constexpr mach_msg_id_t kMachExceptionRaiseStateIdentityId = 2407;

constexpr kern_return_t MIG_REPLY_MISMATCH = -301;
constexpr kern_return_t MIG_BAD_ARGUMENTS = -304;
constexpr kern_return_t MIG_ARRAY_TOO_LARGE = -307;

// How long a raise waits for its reply.
constexpr int kExceptionReplyTimeoutMs = 30000;

// 64-bit codes (behaviours with MACH_EXCEPTION_CODES).
kern_return_t mach_exception_raise(mach_port_t port, thread_t thread, task_t task, exception_type_t exception,
                                   const mach_exception_data_type_t *code, mach_msg_type_number_t codeCnt);
kern_return_t mach_exception_raise_state(mach_port_t port, exception_type_t exception,
                                         const mach_exception_data_type_t *code, mach_msg_type_number_t codeCnt,
                                         thread_state_flavor_t *flavor, const natural_t *oldState,
                                         mach_msg_type_number_t oldStateCnt, natural_t *newState,
                                         mach_msg_type_number_t *newStateCnt);
kern_return_t mach_exception_raise_state_identity(mach_port_t port, thread_t thread, task_t task,
                                                  exception_type_t exception, const mach_exception_data_type_t *code,
                                                  mach_msg_type_number_t codeCnt, thread_state_flavor_t *flavor,
                                                  const natural_t *oldState, mach_msg_type_number_t oldStateCnt,
                                                  natural_t *newState, mach_msg_type_number_t *newStateCnt);

// 32-bit codes (the classic interface).
kern_return_t exception_raise(mach_port_t port, thread_t thread, task_t task, exception_type_t exception,
                              const exception_data_type_t *code, mach_msg_type_number_t codeCnt);
kern_return_t exception_raise_state(mach_port_t port, exception_type_t exception, const exception_data_type_t *code,
                                    mach_msg_type_number_t codeCnt, thread_state_flavor_t *flavor,
                                    const natural_t *oldState, mach_msg_type_number_t oldStateCnt, natural_t *newState,
                                    mach_msg_type_number_t *newStateCnt);
kern_return_t exception_raise_state_identity(mach_port_t port, thread_t thread, task_t task, exception_type_t exception,
                                             const exception_data_type_t *code, mach_msg_type_number_t codeCnt,
                                             thread_state_flavor_t *flavor, const natural_t *oldState,
                                             mach_msg_type_number_t oldStateCnt, natural_t *newState,
                                             mach_msg_type_number_t *newStateCnt);

}  // namespace platform::mach
