#include "bbcrash_frame_compact_unwind.h"

#include "bbcrash_async_compact_unwind.h"

using namespace platform::mach;

namespace {

bbcrash_frame_error_t readWithImage(task_t task, bbcrash_async_macho *image, uint64_t pc,
                                    const bbcrash_async_thread_state *current, bbcrash_async_thread_state *next) {
    bbcrash_async_mobject section;
    if (bbcrash_async_macho_map_section(image, "__TEXT", "__unwind_info", &section) != BBCRASH_ESUCCESS) {
        return BBCRASH_FRAME_ENOTSUP;
    }
    bbcrash_frame_error_t result = BBCRASH_FRAME_ESUCCESS;
    bbcrash_async_unwind_info_reader reader;
    const int32_t cputype = int32_t(image->byteorder->swap32(uint32_t(image->header.cputype)));
    uint32_t functionOffset = 0;
    uint32_t encoding = 0;
    bbcrash_async_unwind_entry entry;
    uint64_t functionAddress = 0;
    if (bbcrash_async_unwind_info_reader_init(&reader, &section, cputype) != BBCRASH_ESUCCESS) {
        result = BBCRASH_FRAME_EINVAL;
    } else if (pc - image->image_base > UINT32_MAX ||
               bbcrash_async_unwind_info_reader_find_pc(&reader, uint32_t(pc - image->image_base), &functionOffset,
                                                        &encoding) != BBCRASH_ESUCCESS) {
        result = BBCRASH_FRAME_ENOTSUP;
    } else if (bbcrash_async_unwind_entry_init(&entry, cputype, encoding) != BBCRASH_ESUCCESS) {
        result = BBCRASH_FRAME_ENOTSUP;
    } else if (bbcrash_async_unwind_entry_type(&entry) == UNWIND_ENTRY_NONE) {
        result = BBCRASH_FRAME_ENOFRAME;
    } else if (__builtin_add_overflow(image->image_base, uint64_t(functionOffset), &functionAddress)) {
        result = BBCRASH_FRAME_EINVAL;
    } else if (bbcrash_async_unwind_entry_apply(task, functionAddress, current, &entry, next) != BBCRASH_ESUCCESS) {
        result = BBCRASH_FRAME_ENOFRAME;
    }
    bbcrash_async_mobject_free(&section);
    return result;
}

}  // namespace

bbcrash_frame_error_t bbcrash_async_frame_read_compact_unwind(task_t task, bbcrash_async_image_list *image_list,
                                                              const bbcrash_async_thread_state *current,
                                                              const bbcrash_async_thread_state *previous,
                                                              bbcrash_async_thread_state *next) {
    return bbcrash_async_frame_read_in_image(
        image_list, current, previous,
        [&](bbcrash_async_macho *image, uint64_t pc) { return readWithImage(task, image, pc, current, next); });
}
