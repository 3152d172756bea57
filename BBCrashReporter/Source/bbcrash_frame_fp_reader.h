#pragma once
// The frame-pointer reader: follows the chain of saved frame pointers, the
// last resort of the stack walk.
#include "bbcrash_frame_cursor.h"

// Reads the caller's frame pointer and return address from the two words at
// the current frame pointer. 3 without a frame pointer, for a chain that runs
// backwards or words that cannot be read; 2 at a frame pointer of 0. The new
// frame has the instruction, frame and stack pointers valid (the stack
// pointer just above the two words), so another reader can take over.
bbcrash_frame_error_t bbcrash_async_frame_read_frame_ptr(platform::mach::task_t task,
                                                         bbcrash_async_image_list *image_list,
                                                         const bbcrash_async_thread_state *current,
                                                         const bbcrash_async_thread_state *previous,
                                                         bbcrash_async_thread_state *next);
