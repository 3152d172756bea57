#pragma once
// The compact unwind frame reader: the first reader of the stack walk.
#include "bbcrash_frame_cursor.h"

// Unwinds the current frame with the compact encoding of the function that
// contains its instruction pointer (for every frame but the first, the
// instruction before the return address). 0; 3 without an instruction
// pointer; 4 when no image or encoding covers it; 5 for a bad section; 2
// when the encoding says there is no frame, defers to DWARF, or cannot be
// applied.
bbcrash_frame_error_t bbcrash_async_frame_read_compact_unwind(platform::mach::task_t task,
                                                              bbcrash_async_image_list *image_list,
                                                              const bbcrash_async_thread_state *current,
                                                              const bbcrash_async_thread_state *previous,
                                                              bbcrash_async_thread_state *next);
