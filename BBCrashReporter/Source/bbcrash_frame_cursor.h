#pragma once
// The stack walk over one thread: a cursor that starts at the thread's state
// and asks a list of frame readers, in order, for each caller's state.
// Async-signal-safe: frames are fixed-size values on the caller's stack and
// task memory is read only through checked reads and memory objects.
#include "bbcrash_async_image_list.h"
#include "bbcrash_async_thread_state.h"

enum bbcrash_frame_error_t : int {
    BBCRASH_FRAME_ESUCCESS = 0,   // a frame was produced
    BBCRASH_FRAME_ENOFRAME = 2,   // no further frame
    BBCRASH_FRAME_EBADFRAME = 3,  // the current frame cannot be unwound
    BBCRASH_FRAME_ENOTSUP = 4,    // no data for this address, or the register is unavailable
    BBCRASH_FRAME_EINVAL = 5,     // invalid input
};

// Computes the caller of `current` into `next` (the whole frame on success).
// `previous` is the frame the walk came from before `current`, or null at
// the first step.
using bbcrash_async_frame_reader = bbcrash_frame_error_t (*)(platform::mach::task_t task,
                                                             bbcrash_async_image_list *image_list,
                                                             const bbcrash_async_thread_state *current,
                                                             const bbcrash_async_thread_state *previous,
                                                             bbcrash_async_thread_state *next);

struct bbcrash_async_frame_cursor {
    platform::mach::task_t task;
    bbcrash_async_image_list *image_list;
    uint32_t depth;                         // frames delivered so far
    bbcrash_async_thread_state prev_frame;  // meaningful from depth 2 on
    bbcrash_async_thread_state frame;       // the current frame
};

// Lowest instruction pointer a walk accepts; anything at or below the first
// page ends it.
constexpr uint64_t BBCRASH_FRAME_MIN_IP = 0x1001;

bbcrash_error_t bbcrash_async_frame_cursor_init(bbcrash_async_frame_cursor *cursor, platform::mach::task_t task,
                                                const bbcrash_async_thread_state *thread_state,
                                                bbcrash_async_image_list *image_list);

// One step: the first call delivers the initial state itself; each later one
// asks the readers in order and moves to the first frame one of them makes.
// 0; 5 without readers; 2 when the new frame has no usable instruction
// pointer; otherwise the last reader's code. A failed step changes nothing.
bbcrash_frame_error_t bbcrash_async_frame_cursor_next_with_readers(bbcrash_async_frame_cursor *cursor,
                                                                   const bbcrash_async_frame_reader *readers,
                                                                   size_t reader_count);
// The same with compact unwind, DWARF call frames and frame pointers.
bbcrash_frame_error_t bbcrash_async_frame_cursor_next(bbcrash_async_frame_cursor *cursor);

// 0 and the current frame's value, or 4 when the frame has no valid value.
bbcrash_frame_error_t bbcrash_async_frame_cursor_get_reg(const bbcrash_async_frame_cursor *cursor,
                                                         bbcrash_regnum_t regnum, uint64_t *value);
const char *bbcrash_async_frame_cursor_get_regname(const bbcrash_async_frame_cursor *cursor, bbcrash_regnum_t regnum);
size_t bbcrash_async_frame_cursor_get_regcount(const bbcrash_async_frame_cursor *cursor);

void bbcrash_async_frame_cursor_free(bbcrash_async_frame_cursor *cursor);

// Whether the walk should look up `ip` - 1 rather than `ip` in unwind data:
// every frame but the first holds a return address, which points past its
// call and, after a call that never returns, into the next function. A frame
// restored from a signal context holds the interrupted instruction itself.
bool bbcrash_async_frame_is_return_address(const bbcrash_async_thread_state *current,
                                           const bbcrash_async_thread_state *previous);

// The common start of the readers that use an image's unwind data: 3
// without an instruction pointer, 4 at a pointer of 0, without an image list
// or when no image contains the address to look up (the pointer, or the
// pointer - 1 for a return address). Otherwise returns
// `read(image, lookup address)`, with the image list marked as being read
// for the duration.
template <typename ReadImage>
bbcrash_frame_error_t bbcrash_async_frame_read_in_image(bbcrash_async_image_list *image_list,
                                                        const bbcrash_async_thread_state *current,
                                                        const bbcrash_async_thread_state *previous, ReadImage read) {
    if (!bbcrash_async_thread_state_has_reg(current, BBCRASH_REG_IP)) {
        return BBCRASH_FRAME_EBADFRAME;
    }
    uint64_t pc = bbcrash_async_thread_state_get_reg(current, BBCRASH_REG_IP);
    if (pc == 0) {
        return BBCRASH_FRAME_ENOTSUP;
    }
    if (bbcrash_async_frame_is_return_address(current, previous)) {
        pc -= 1;
    }
    if (image_list == nullptr) {
        return BBCRASH_FRAME_ENOTSUP;
    }
    bbcrash_async_image_list_set_reading(image_list, true);
    bbcrash_frame_error_t result = BBCRASH_FRAME_ENOTSUP;
    bbcrash_async_macho *image = bbcrash_async_image_containing_address(image_list, pc);
    if (image != nullptr) {
        result = read(image, pc);
    }
    bbcrash_async_image_list_set_reading(image_list, false);
    return result;
}
