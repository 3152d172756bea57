#pragma once
// The report writer's state and its set-up. bbcrash_log_writer_init gathers,
// while the process is healthy, everything that needs the system's higher
// layers (names, versions, paths, the machine) into copies the crash-time
// write only reads; set_exception and set_custom_data add what the
// application gives later. The writer also holds the crash-time scratch
// (threads, stacks), in its own memory so the crash path needs no stack or
// heap for it.
//
// Not crash-path code: init, set_exception, set_custom_data and free
// allocate, and run while the process is healthy. The crash-time write is
// bbcrash_log_writer_write (bbcrash_log_writer.h).
#include "bbcrash_error.h"
#include "bbcrash_log_writer_stack.h"
#include "platform/mach/thread_suspend.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

// Threads listed (and suspended) at crash time.
constexpr uint32_t BBCRASH_WRITER_MAX_THREADS = platform::mach::kMaxSuspendedThreads;

// A text the writer holds: its own NUL-terminated copy and the length that
// is written (the process path's counts its terminator).
struct bbcrash_log_writer_text {
    char *data;  // null when absent
    size_t length;
};

// An immutable block of custom data. A replaced block is freed only when the
// writer is private (a live report's); the process-wide writer keeps it, as
// a crash may be reading it at that moment.
struct bbcrash_log_writer_data {
    size_t length;
    uint8_t bytes[];
};

struct bbcrash_log_writer {
    uint32_t symbolication_strategy;
    bool user_requested;
    uint8_t uuid[16];

    struct {
        bbcrash_log_writer_text version;  // "major.minor[.patch]"
        bbcrash_log_writer_text build;
    } system_info;

    struct {
        bbcrash_log_writer_text model;
        int64_t cpu_type;
        int64_t cpu_subtype;
        uint32_t processor_count;
        uint32_t logical_processor_count;
    } machine_info;

    struct {
        bbcrash_log_writer_text app_identifier;
        bbcrash_log_writer_text app_version;
        bbcrash_log_writer_text app_marketing_version;
    } application_info;

    struct {
        bbcrash_log_writer_text process_name;
        uint32_t process_id;
        bbcrash_log_writer_text process_path;
        uint64_t start_time;
        bbcrash_log_writer_text parent_process_name;
        uint32_t parent_process_id;
        bool native;
    } process_info;

    struct {
        std::atomic<bool> has_exception;  // set last, after the fields below
        char *name;
        char *reason;
        uint64_t *callstack;
        size_t callstack_count;
    } uncaught_exception;

    // The current custom data, or null.
    std::atomic<bbcrash_log_writer_data *> custom_data;
    // True once the writer is reachable from the crash path: replaced custom
    // data is then never freed.
    bool shared;

    // Crash-time scratch: the task's threads, which of them were suspended,
    // the crashed thread's stack (walked first, so that room is kept for it
    // until it is written) and the stack of the thread or exception being
    // written.
    platform::mach::thread_t threads[BBCRASH_WRITER_MAX_THREADS];
    bool suspended[BBCRASH_WRITER_MAX_THREADS];
    bbcrash_log_writer_stack crashed_stack;
    bbcrash_log_writer_stack stack;
};

// Fills the writer. 0, or 5 when the current process cannot be described
// (the writer then holds only the application's values). `marketing_version`
// may be null.
bbcrash_error_t bbcrash_log_writer_init(bbcrash_log_writer *writer, const char *app_identifier, const char *app_version,
                                        const char *app_marketing_version, uint32_t symbolication_strategy,
                                        bool user_requested);

// Records an uncaught exception: name, reason ("" when null) and its return
// addresses. Only the first call records; later ones return false.
bool bbcrash_log_writer_set_exception(bbcrash_log_writer *writer, const char *name, const char *reason,
                                      const uint64_t *callstack, size_t callstack_count);

// Publishes a copy of the bytes (null: none) as the custom data.
void bbcrash_log_writer_set_custom_data(bbcrash_log_writer *writer, const void *bytes, size_t length);

// Frees every copy the writer holds.
void bbcrash_log_writer_free(bbcrash_log_writer *writer);
