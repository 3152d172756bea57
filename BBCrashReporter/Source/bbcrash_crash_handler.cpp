// bbcrash_write_report is crash-path code: no allocation, no locks, no
// logging; open, write and close only.
#include "bbcrash_crash_handler.h"

#include "platform/dyld/dyld.h"
#include "platform/foundation/Format.h"
#include "platform/syslog/SystemLog.h"

#include <fcntl.h>
#include <mutex>

namespace {

bbcrash_async_image_list *sharedImageList = nullptr;

void imageAdded(const platform::dyld::mach_header *header, intptr_t) {
    const char *path = platform::dyld::dyld_image_path(header);
    if (path == nullptr) {
        platform::SystemLog::write(platform::format("[BBCrashReporter] %s: dladdr(%p, ...) failed",
                                                    "image_add_callback", static_cast<const void *>(header)));
        return;
    }
    bbcrash_nasync_image_list_append(sharedImageList, reinterpret_cast<uintptr_t>(header), path);
}

void imageRemoved(const platform::dyld::mach_header *header, intptr_t) {
    bbcrash_nasync_image_list_remove(sharedImageList, reinterpret_cast<uintptr_t>(header));
}

}  // namespace

bbcrash_async_image_list *bbcrash_shared_image_list() {
    static std::once_flag once;
    std::call_once(once, [] {
        sharedImageList = new bbcrash_async_image_list{};
        bbcrash_nasync_image_list_init(sharedImageList, platform::mach::mach_task_self());
        platform::dyld::_dyld_register_func_for_add_image(imageAdded);
        platform::dyld::_dyld_register_func_for_remove_image(imageRemoved);
    });
    return sharedImageList;
}

bbcrash_error_t bbcrash_write_report(bbcrash_crash_handler_ctx *ctx, platform::mach::thread_t crashed_thread,
                                     const bbcrash_async_thread_state *thread_state,
                                     const bbcrash_log_signal_info *signal_info) {
    int fd = open(ctx->path, O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
        return BBCRASH_EINTERNAL;
    }
    bbcrash_async_file file;
    bbcrash_async_file_init(&file, fd, BBCRASH_REPORT_SIZE_LIMIT);
    bbcrash_error_t result = bbcrash_log_writer_write(&ctx->writer, crashed_thread, sharedImageList, &file,
                                                      signal_info, thread_state);
    bbcrash_log_writer_close(&ctx->writer);
    bool flushed = bbcrash_async_file_flush(&file);
    bool closed = bbcrash_async_file_close(&file);
    if (!flushed || !closed) {
        return BBCRASH_EINTERNAL;
    }
    return result;
}
