#pragma once
// What the crash path works with: the process-wide crash handler context,
// filled while the engine is enabled and only read at crash time, the
// process-wide image list, and bbcrash_write_report, which writes the report
// file from inside the crashing process.
//
// Crash-path code (bbcrash_write_report): no allocation, no locks, no
// logging.
#include "BBCrashHostInfo.h"
#include "BBCrashMachExceptionPortSet.h"
#include "BBCrashSignalHandler.h"
#include "bbcrash_log_writer.h"
#include "platform/mach/exception_types.h"

#include <atomic>
#include <climits>
#include <csignal>
#include <ucontext.h>

// Largest report path the context holds, NUL included.
constexpr size_t BBCRASH_REPORT_PATH_MAX = PATH_MAX;

// Limit of a report file in bytes.
constexpr size_t BBCRASH_REPORT_SIZE_LIMIT = 262144;

// Called after the report is written, with the signal's info, its context
// and the context given with it.
using bbcrash_post_crash_callback = void (*)(siginfo_t *info, ucontext_t *uap, void *context);

struct bbcrash_crash_handler_ctx {
    bbcrash_log_writer writer;
    char path[BBCRASH_REPORT_PATH_MAX];
    std::atomic<bbcrash_post_crash_callback> handle_signal;
    std::atomic<void *> handle_signal_context;
    // Mach mode: the exception ports replaced at enable time (zeroed in BSD
    // mode), offered each exception first.
    bbcrash_mach_exception_port_set port_set;
};

// The process-wide context: made on first use, never freed.
bbcrash_crash_handler_ctx *bbcrash_crash_handler_context();

// The signals the BSD mode monitors, in registration order (host numbers).
constexpr int BBCRASH_MONITORED_SIGNALS[] = {SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGSEGV, SIGTRAP};

// Exception types that Mach mode watches: bad access, bad instruction,
// arithmetic, software and breakpoint; systems from Darwin 13 on add guard.
constexpr platform::mach::exception_mask_t BBCRASH_MACH_EXCEPTION_MASK =
    platform::mach::EXC_MASK_BAD_ACCESS | platform::mach::EXC_MASK_BAD_INSTRUCTION |
    platform::mach::EXC_MASK_ARITHMETIC | platform::mach::EXC_MASK_SOFTWARE | platform::mach::EXC_MASK_BREAKPOINT;
constexpr platform::mach::exception_mask_t BBCRASH_MACH_EXCEPTION_MASK_GUARD =
    BBCRASH_MACH_EXCEPTION_MASK | platform::mach::EXC_MASK_GUARD;

// The mask for a host of that Darwin version (null: unknown host).
platform::mach::exception_mask_t bbcrash_mach_exception_mask(const BBCrashHostInfoVersion *version);

// How long a thread that crashes while another one writes the report waits
// for that crash to end the process.
constexpr int BBCRASH_SECOND_CRASH_WAIT_MS = 15000;

// The signal handler's chain callback (context: a bbcrash_crash_handler_ctx).
// Only the first crashing thread writes a report: a thread that crashes
// while it writes waits for the process to end, and a crash on the writing
// thread itself ends the process with the first signal. After the report
// (and the post-crash callback) the signal is set back to its default action
// and the chain answers "not handled", so the handler ends the process with
// the signal, whatever the faulting instruction would do if it ran again; a
// thread crashing meanwhile with another signal still waits here, so the
// process dies of the signal its report names.
bool signal_handler_callback(int signo, siginfo_t *info, ucontext_t *uap, void *context,
                             bbcrash_signal_handler_callback *next);

// The process's image list, created on first use with the dynamic loader's
// add and remove callbacks (not on the crash path), never freed.
bbcrash_async_image_list *bbcrash_shared_image_list();

// Opens the context's path (created 0600 or truncated; a symbolic link there
// is refused), writes the report
// of `crashed_thread` with the shared image list and closes it. 0; 6 when
// the file cannot be opened, or a write, the flush or the close fails.
bbcrash_error_t bbcrash_write_report(bbcrash_crash_handler_ctx *ctx, platform::mach::thread_t crashed_thread,
                                     const bbcrash_async_thread_state *thread_state,
                                     const bbcrash_log_signal_info *signal_info);

// The Mach exception server's callback (context: a bbcrash_crash_handler_ctx),
// run on the server thread while the faulting thread is parked. The
// exception goes first to the ports replaced at enable time; when one of
// them handles it, that is the answer and no report is written. Otherwise
// the exception is mapped to its signal, the report is written with the
// faulting thread as the crashed one, and the answer is KERN_FAILURE, so the
// exception becomes that signal and the process dies of it. A report already
// written (or being written by another thread) is never overwritten: an
// exception after it waits, bounded, for the first crash to end the process,
// so the process dies of the signal its report names.
platform::mach::kern_return_t mach_exception_callback(platform::mach::task_t task, platform::mach::thread_t thread,
                                                      platform::mach::exception_type_t exception_type,
                                                      platform::mach::mach_exception_data_t codes,
                                                      platform::mach::mach_msg_type_number_t code_count, void *context);
