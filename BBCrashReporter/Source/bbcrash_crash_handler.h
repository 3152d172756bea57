#pragma once
// What the crash path works with: the process-wide crash handler context,
// filled while the engine is enabled and only read at crash time, the
// process-wide image list, and bbcrash_write_report, which writes the report
// file from inside the crashing process.
//
// Crash-path code (bbcrash_write_report): no allocation, no locks, no
// logging.
#include "bbcrash_log_writer.h"

#include <climits>

// Largest report path the context holds, NUL included.
constexpr size_t BBCRASH_REPORT_PATH_MAX = PATH_MAX;

// Limit of a report file in bytes.
constexpr size_t BBCRASH_REPORT_SIZE_LIMIT = 262144;

struct bbcrash_crash_handler_ctx {
    bbcrash_log_writer writer;
    char path[BBCRASH_REPORT_PATH_MAX];
};

// The process's image list, created on first use with the dynamic loader's
// add and remove callbacks (not on the crash path), never freed.
bbcrash_async_image_list *bbcrash_shared_image_list();

// Opens the context's path (created or truncated, 0644), writes the report
// of `crashed_thread` with the shared image list and closes it. 0; 6 when
// the file cannot be opened, or a write, the flush or the close fails.
bbcrash_error_t bbcrash_write_report(bbcrash_crash_handler_ctx *ctx, platform::mach::thread_t crashed_thread,
                                     const bbcrash_async_thread_state *thread_state,
                                     const bbcrash_log_signal_info *signal_info);
