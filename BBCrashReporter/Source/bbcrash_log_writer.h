#pragma once
// The crash report writer. bbcrash_log_writer_init gathers, while the
// process is healthy, everything that needs the system's higher layers
// (names, versions, paths, the machine); bbcrash_log_writer_write then runs
// on the crash path and writes the report file: the 7-byte magic "bbcrash",
// the version byte 1 and one bbcrash.CrashReport message (bbcrash.proto),
// encoded here by hand. No message is built in memory: each one is sized by
// running its code without a file, then run again to write it.
//
// Crash-path code (bbcrash_log_writer_write, bbcrash_writer_pack and what
// they call): no allocation, no locks another thread may hold, no logging.
// init, set_exception, set_custom_data and free allocate and are not.
//
// Sizes are known before anything is written, so a report never goes past
// its file's limit: threads, images, exception frames and custom data that
// would not fit are left out whole, keeping room for the crashed thread and
// the required signal section.
#include "bbcrash_async_file.h"
#include "bbcrash_async_image_list.h"
#include "bbcrash_async_thread_state.h"
#include "platform/mach/thread_suspend.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

// Longest frame list written for a thread or an exception.
constexpr uint32_t BBCRASH_WRITER_MAX_FRAMES = 512;
// Threads listed (and suspended) at crash time.
constexpr uint32_t BBCRASH_WRITER_MAX_THREADS = platform::mach::kMaxSuspendedThreads;

// Protobuf field types, numbered as protobuf-c numbers them.
enum bbcrash_writer_type : int {
    BBCRASH_PROTOBUF_TYPE_INT32 = 0,
    BBCRASH_PROTOBUF_TYPE_SINT32 = 1,
    BBCRASH_PROTOBUF_TYPE_SFIXED32 = 2,
    BBCRASH_PROTOBUF_TYPE_INT64 = 3,
    BBCRASH_PROTOBUF_TYPE_SINT64 = 4,
    BBCRASH_PROTOBUF_TYPE_SFIXED64 = 5,
    BBCRASH_PROTOBUF_TYPE_UINT32 = 6,
    BBCRASH_PROTOBUF_TYPE_FIXED32 = 7,
    BBCRASH_PROTOBUF_TYPE_UINT64 = 8,
    BBCRASH_PROTOBUF_TYPE_FIXED64 = 9,
    BBCRASH_PROTOBUF_TYPE_FLOAT = 10,
    BBCRASH_PROTOBUF_TYPE_DOUBLE = 11,
    BBCRASH_PROTOBUF_TYPE_BOOL = 12,
    BBCRASH_PROTOBUF_TYPE_ENUM = 13,
    BBCRASH_PROTOBUF_TYPE_STRING = 14,
    BBCRASH_PROTOBUF_TYPE_BYTES = 15,
    BBCRASH_PROTOBUF_TYPE_MESSAGE = 16,
};

// The value of a bytes field.
struct bbcrash_writer_bytes {
    size_t len;
    const void *data;
};

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

// One collected frame: its program counter and, when found, its symbol.
struct bbcrash_log_writer_frame {
    uint64_t pc;
    bool has_symbol;
    uint64_t symbol_start;
    char symbol_name[256];
};

// The frames (and, for the crashed thread, the registers) of one stack,
// collected once and then sized and written from here, so both passes agree
// and the stack is walked and its symbols looked up only once.
struct bbcrash_log_writer_stack {
    uint32_t frame_count;
    bbcrash_log_writer_frame frames[BBCRASH_WRITER_MAX_FRAMES];
    uint32_t register_count;
    const char *register_names[64];
    uint64_t register_values[64];
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

    // Crash-time scratch: the task's threads, which of them were
    // suspended, and the stack being written.
    platform::mach::thread_t threads[BBCRASH_WRITER_MAX_THREADS];
    bool suspended[BBCRASH_WRITER_MAX_THREADS];
    bbcrash_log_writer_stack stack;
};

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

// Fills the writer. 0, or 5 when the current process cannot be described
// (the writer then holds only the application's values). `marketing_version`
// may be null.
bbcrash_error_t bbcrash_log_writer_init(bbcrash_log_writer *writer, const char *app_identifier,
                                        const char *app_version, const char *app_marketing_version,
                                        uint32_t symbolication_strategy, bool user_requested);

// Records an uncaught exception: name, reason ("" when null) and its return
// addresses. Only the first call records; later ones return false.
bool bbcrash_log_writer_set_exception(bbcrash_log_writer *writer, const char *name, const char *reason,
                                      const uint64_t *callstack, size_t callstack_count);

// Publishes a copy of the bytes (null: none) as the custom data.
void bbcrash_log_writer_set_custom_data(bbcrash_log_writer *writer, const void *bytes, size_t length);

// Writes the whole report into `file`. `current_state` is the calling
// thread's state, or null (the calling thread is then not written). Returns
// 0, or 2 when the file refused or failed a write.
bbcrash_error_t bbcrash_log_writer_write(bbcrash_log_writer *writer, platform::mach::thread_t crashed_thread,
                                         bbcrash_async_image_list *image_list, bbcrash_async_file *file,
                                         const bbcrash_log_signal_info *signal_info,
                                         const bbcrash_async_thread_state *current_state);

bbcrash_error_t bbcrash_log_writer_close(bbcrash_log_writer *writer);

// Frees every copy the writer holds.
void bbcrash_log_writer_free(bbcrash_log_writer *writer);

// Encodes one field into `file` (or nowhere, when null) and returns its size
// in bytes. For BBCRASH_PROTOBUF_TYPE_MESSAGE the value is the body's
// uint32_t length and only the key and the length are written. `value`
// points at the field's value: a NUL-terminated text for strings, a
// bbcrash_writer_bytes for bytes. A type above 16 stops the process.
size_t bbcrash_writer_pack(bbcrash_async_file *file, uint32_t field_id, int type, const void *value);
