// Crash-path code: no allocation, no locks, no logging.
#include "bbcrash_async_file.h"

#include "bbcrash_async.h"

#include <cerrno>
#include <unistd.h>

namespace {

// Writes all bytes, retrying interrupted calls; false on any other error.
bool writeAll(bbcrash_async_file *file, const uint8_t *data, size_t length) {
    while (length > 0) {
        ssize_t written = ::write(file->fd, data, length);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            file->failed = true;
            file->error = errno;
            return false;
        }
        if (written == 0) {
            file->failed = true;
            file->error = EIO;
            return false;
        }
        data += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

}  // namespace

void bbcrash_async_file_init(bbcrash_async_file *file, int fd, size_t limit_bytes) {
    file->fd = fd;
    file->limit_bytes = limit_bytes;
    file->total_bytes = 0;
    file->buflen = 0;
    file->failed = false;
    file->error = 0;
}

bool bbcrash_async_file_fits(const bbcrash_async_file *file, size_t length) {
    if (file->failed) {
        return false;
    }
    return file->limit_bytes == 0 ||
           (file->total_bytes <= file->limit_bytes && length <= file->limit_bytes - file->total_bytes);
}

bool bbcrash_async_file_write(bbcrash_async_file *file, const void *data, size_t length) {
    if (!bbcrash_async_file_fits(file, length)) {
        file->failed = true;
        return false;
    }
    file->total_bytes += length;
    const auto *bytes = static_cast<const uint8_t *>(data);
    if (file->buflen + length > BBCRASH_ASYNC_FILE_BUFFER_SIZE) {
        if (!writeAll(file, file->buffer, file->buflen)) {
            return false;
        }
        file->buflen = 0;
    }
    if (length > BBCRASH_ASYNC_FILE_BUFFER_SIZE) {
        return writeAll(file, bytes, length);
    }
    bbcrash_async_memcpy(file->buffer + file->buflen, bytes, length);
    file->buflen += length;
    return true;
}

bool bbcrash_async_file_flush(bbcrash_async_file *file) {
    if (file->buflen > 0) {
        if (!writeAll(file, file->buffer, file->buflen)) {
            return false;
        }
        file->buflen = 0;
    }
    return !file->failed;
}

bool bbcrash_async_file_close(bbcrash_async_file *file) {
    bool flushed = bbcrash_async_file_flush(file);
    bool closed = ::close(file->fd) == 0;
    if (!closed && !file->failed) {
        file->failed = true;
        file->error = errno;
    }
    file->fd = -1;
    return flushed && closed;
}
