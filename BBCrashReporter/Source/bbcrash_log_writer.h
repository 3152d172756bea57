#pragma once
// The crash report writer. bbcrash_log_writer_write runs on the crash path
// and writes the report file: the 7-byte magic "bbcrash", the version byte 1
// and one bbcrash.CrashReport message (bbcrash.proto), encoded field by field
// (bbcrash_writer_pack.h) from what bbcrash_log_writer_init gathered while
// the process was healthy (bbcrash_log_writer_setup.h) and from the stacks
// walked at crash time (bbcrash_log_writer_stack.h).
//
// Crash-path code (bbcrash_log_writer_write and what it calls): no
// allocation, no locks another thread may hold, no logging.
//
// Sizes are known before anything is written, so a report never goes past
// its file's limit: threads, images, exception frames and custom data that
// would not fit are left out whole, keeping room for the crashed thread and
// the required signal section.
#include "bbcrash_async_file.h"
#include "bbcrash_async_image_list.h"
#include "bbcrash_async_thread_state.h"
#include "bbcrash_log_writer_setup.h"
#include "platform/mach/mach_types.h"

#include <cstddef>
#include <cstdint>

// The BSD part of what the report says about the signal, in the macOS
// numbering, and for Mach exceptions the Mach part.
struct bbcrash_log_bsd_signal_info {
    int signo;
    int code;
    uint64_t address;
};

struct bbcrash_log_mach_signal_info {
    uint64_t type;
    const int64_t *code;
    size_t code_count;
};

struct bbcrash_log_signal_info {
    bbcrash_log_bsd_signal_info bsd_info;
    const bbcrash_log_mach_signal_info *mach_info;  // null: not a Mach exception
};

// Writes the whole report into `file`: stops every other thread, walks each
// stack once (the crashed thread's first), writes the sections and lets the
// threads go. `current_state` is the calling thread's state, or null (the
// calling thread is then not written). Returns 0, or 2 when the file refused
// or failed a write.
bbcrash_error_t bbcrash_log_writer_write(bbcrash_log_writer *writer, platform::mach::thread_t crashed_thread,
                                         bbcrash_async_image_list *image_list, bbcrash_async_file *file,
                                         const bbcrash_log_signal_info *signal_info,
                                         const bbcrash_async_thread_state *current_state);

bbcrash_error_t bbcrash_log_writer_close(bbcrash_log_writer *writer);
