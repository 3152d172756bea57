#include "bbcrash_frame_cursor.h"

#include "bbcrash_frame_compact_unwind.h"
#include "bbcrash_frame_dwarf_unwind.h"
#include "bbcrash_frame_fp_reader.h"

using namespace platform::mach;

// A task port here is this process and carries no reference count, so the
// cursor takes and returns no references.
bbcrash_error_t bbcrash_async_frame_cursor_init(bbcrash_async_frame_cursor *cursor, task_t task,
                                                const bbcrash_async_thread_state *thread_state,
                                                bbcrash_async_image_list *image_list) {
    cursor->task = task;
    cursor->image_list = image_list;
    cursor->depth = 0;
    cursor->prev_frame = bbcrash_async_thread_state{};
    bbcrash_async_thread_state_copy(&cursor->frame, thread_state);
    return BBCRASH_ESUCCESS;
}

bbcrash_frame_error_t bbcrash_async_frame_cursor_next_with_readers(bbcrash_async_frame_cursor *cursor,
                                                                   const bbcrash_async_frame_reader *readers,
                                                                   size_t reader_count) {
    if (cursor->depth == 0) {
        cursor->depth = 1;
        return BBCRASH_FRAME_ESUCCESS;
    }
    const bbcrash_async_thread_state *previous = cursor->depth == 1 ? nullptr : &cursor->prev_frame;
    if (reader_count == 0 || readers == nullptr) {
        return BBCRASH_FRAME_EINVAL;
    }

    bbcrash_async_thread_state next;
    bbcrash_frame_error_t result = BBCRASH_FRAME_EINVAL;
    for (size_t i = 0; i < reader_count; i++) {
        result = readers[i](cursor->task, cursor->image_list, &cursor->frame, previous, &next);
        if (result == BBCRASH_FRAME_ESUCCESS) {
            break;
        }
    }
    if (result != BBCRASH_FRAME_ESUCCESS) {
        return result;
    }
    if (!bbcrash_async_thread_state_has_reg(&next, BBCRASH_REG_IP) ||
        bbcrash_async_thread_state_get_reg(&next, BBCRASH_REG_IP) < BBCRASH_FRAME_MIN_IP) {
        return BBCRASH_FRAME_ENOFRAME;
    }
    bbcrash_async_thread_state_copy(&cursor->prev_frame, &cursor->frame);
    bbcrash_async_thread_state_copy(&cursor->frame, &next);
    cursor->depth++;
    return BBCRASH_FRAME_ESUCCESS;
}

bbcrash_frame_error_t bbcrash_async_frame_cursor_next(bbcrash_async_frame_cursor *cursor) {
    static const bbcrash_async_frame_reader readers[] = {
        bbcrash_async_frame_read_compact_unwind,
        bbcrash::BN::async::bbcrash_async_frame_read_dwarf_unwind,
        bbcrash_async_frame_read_frame_ptr,
    };
    return bbcrash_async_frame_cursor_next_with_readers(cursor, readers, sizeof(readers) / sizeof(readers[0]));
}

bbcrash_frame_error_t bbcrash_async_frame_cursor_get_reg(const bbcrash_async_frame_cursor *cursor,
                                                         bbcrash_regnum_t regnum, uint64_t *value) {
    if (!bbcrash_async_thread_state_has_reg(&cursor->frame, regnum)) {
        return BBCRASH_FRAME_ENOTSUP;
    }
    *value = bbcrash_async_thread_state_get_reg(&cursor->frame, regnum);
    return BBCRASH_FRAME_ESUCCESS;
}

const char *bbcrash_async_frame_cursor_get_regname(const bbcrash_async_frame_cursor *cursor, bbcrash_regnum_t regnum) {
    return bbcrash_async_thread_state_get_reg_name(&cursor->frame, regnum);
}

size_t bbcrash_async_frame_cursor_get_regcount(const bbcrash_async_frame_cursor *cursor) {
    return bbcrash_async_thread_state_get_reg_count(&cursor->frame);
}

void bbcrash_async_frame_cursor_free(bbcrash_async_frame_cursor *cursor) { cursor->task = MACH_PORT_NULL; }

bool bbcrash_async_frame_is_return_address(const bbcrash_async_thread_state *current,
                                           const bbcrash_async_thread_state *previous) {
    return previous != nullptr && !current->interrupted;
}
