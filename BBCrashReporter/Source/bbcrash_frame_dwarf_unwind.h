#pragma once
// The DWARF call-frame reader: the second reader of the stack walk.
#include "bbcrash_frame_cursor.h"

namespace bbcrash::BN::async {

// Unwinds the current frame with the FDE that covers its instruction pointer
// (for every frame but the first, the instruction before the return
// address) in the image's "__TEXT,__eh_frame", else "__DWARF,__debug_frame".
// 0; 3 without an instruction pointer; 4 when no image or FDE covers it or
// its program cannot be run; 2 when the image has no call-frame section or
// the row cannot be applied.
bbcrash_frame_error_t bbcrash_async_frame_read_dwarf_unwind(platform::mach::task_t task,
                                                            bbcrash_async_image_list *image_list,
                                                            const bbcrash_async_thread_state *current,
                                                            const bbcrash_async_thread_state *previous,
                                                            bbcrash_async_thread_state *next);

}  // namespace bbcrash::BN::async
