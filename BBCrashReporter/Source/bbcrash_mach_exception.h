#pragma once
// Passing a Mach exception on to the ports that handled it before, and the
// signal an exception stands for. Async-signal-safe: they run in the Mach
// exception callback on the server thread.
#include <csignal>

#include "BBCrashMachExceptionPortSet.h"
#include "platform/mach/exception_types.h"

// Offers the exception to the first entry of `port_set`, in stored order,
// whose port is neither null nor dead and whose mask holds the type (types 1
// to 13 only). Returns that handler's kernel result, or KERN_FAILURE when no
// entry matches or its behaviour is unknown.
platform::mach::kern_return_t forward_mach_exception(platform::mach::task_t task, platform::mach::thread_t thread,
                                                     platform::mach::exception_type_t exception_type,
                                                     const platform::mach::mach_exception_data_type_t *codes,
                                                     platform::mach::mach_msg_type_number_t code_count,
                                                     const bbcrash_mach_exception_port_set *port_set);

// Processor type argument of the mapping: any processor.
constexpr int BBCRASH_MACH_CPU_TYPE_ANY = -1;

// The signal number and code (in the report's macOS numbering) and the
// address of an exception; false when the count is below 2 or the type is
// not 1 to 6. The address is the second code.
bool map_mach_exception_to_signal(platform::mach::exception_type_t exception_type,
                                  const platform::mach::mach_exception_data_type_t *codes,
                                  platform::mach::mach_msg_type_number_t code_count, int cpu_type, int *signo,
                                  int *si_code, uintptr_t *address);
