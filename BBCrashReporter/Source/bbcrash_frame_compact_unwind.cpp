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
    } else if (bbcrash_async_unwind_entry_type(&entry) == BBCRASH_ASYNC_UNWIND_ENTRY_NONE) {
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
    if (!bbcrash_async_thread_state_has_reg(current, BBCRASH_REG_IP)) {
        return BBCRASH_FRAME_EBADFRAME;
    }
    uint64_t pc = bbcrash_async_thread_state_get_reg(current, BBCRASH_REG_IP);
    if (pc == 0) {
        return BBCRASH_FRAME_ENOTSUP;
    }
    if (bbcrash_async_frame_is_return_address(previous)) {
        pc -= 1;
    }
    if (image_list == nullptr) {
        return BBCRASH_FRAME_ENOTSUP;
    }
    bbcrash_async_image_list_set_reading(image_list, true);
    bbcrash_frame_error_t result = BBCRASH_FRAME_ENOTSUP;
    bbcrash_async_macho *image = bbcrash_async_image_containing_address(image_list, pc);
    if (image != nullptr) {
        result = readWithImage(task, image, pc, current, next);
    }
    bbcrash_async_image_list_set_reading(image_list, false);
    return result;
}
