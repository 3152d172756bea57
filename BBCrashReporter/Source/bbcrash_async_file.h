#pragma once
// Buffered output to a file descriptor for the crash path: a 256-byte buffer
// inside the structure, an optional byte limit, and a sticky failure.
//
// Crash-path code: no allocation, no locks; only write(2) and close(2).
//
// The limit is checked before anything else: a write that would take the
// total past it is refused whole (nothing counted or written). The first
// refused or failed write latches the file: every later write is refused,
// and flush and close report the failure, so a report that lost bytes is
// never taken for a complete one. Writers that can size their output first
// ask bbcrash_async_file_fits and leave out what would not fit.
#include <cstddef>
#include <cstdint>

constexpr size_t BBCRASH_ASYNC_FILE_BUFFER_SIZE = 256;

struct bbcrash_async_file {
    int fd;
    size_t limit_bytes;  // 0: no limit
    size_t total_bytes;  // bytes accepted so far
    size_t buflen;       // bytes waiting in `buffer`
    bool failed;         // a write was refused or failed
    int error;           // errno of the failed write (0 after a refusal)
    uint8_t buffer[BBCRASH_ASYNC_FILE_BUFFER_SIZE];
};

void bbcrash_async_file_init(bbcrash_async_file *file, int fd, size_t limit_bytes);

// True when the bytes were accepted.
bool bbcrash_async_file_write(bbcrash_async_file *file, const void *data, size_t length);

// True when `length` more bytes would be accepted.
bool bbcrash_async_file_fits(const bbcrash_async_file *file, size_t length);

// Writes out the buffer; false when it fails or an earlier write failed.
bool bbcrash_async_file_flush(bbcrash_async_file *file);

// Flushes and closes the descriptor; true when both succeed and nothing
// failed before.
bool bbcrash_async_file_close(bbcrash_async_file *file);
