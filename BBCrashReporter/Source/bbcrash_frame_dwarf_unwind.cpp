#include "bbcrash_frame_dwarf_unwind.h"

#include "bbcrash_async_dwarf.h"
#include "bbcrash_dwarf_cfa_state.h"

using namespace platform::mach;

namespace bbcrash::BN::async {

namespace {

template <typename machine_ptr, typename machine_ptr_s>
bbcrash_frame_error_t unwindWithSection(task_t task, bbcrash_async_macho *image, bbcrash_async_mobject *section,
                                        bool debug_frame, uint64_t pc, const bbcrash_async_thread_state *current,
                                        bbcrash_async_thread_state *next) {
    bbcrash_async_dwarf_frame_reader reader;
    bbcrash_async_dwarf_frame_reader_init(&reader, section, image->byteorder, image->m64, debug_frame);
    gnu_ehptr_reader<machine_ptr> ptrReader(image->byteorder);
    dwarf_cfa_state<machine_ptr, machine_ptr_s> cfaState;

    bbcrash_async_dwarf_fde_info fde;
    if (bbcrash_async_dwarf_frame_reader_find_fde(&reader, 0, pc, &fde) != BBCRASH_ESUCCESS) {
        return BBCRASH_FRAME_ENOTSUP;
    }
    const mach_vm_address_t sectionStart = bbcrash_async_mobject_base_address(section);
    bbcrash_async_dwarf_cie_info cie;
    if (bbcrash_async_dwarf_cie_info_init(&cie, section, image->byteorder, &ptrReader, sectionStart + fde.cie_offset) !=
        BBCRASH_ESUCCESS) {
        return BBCRASH_FRAME_ENOTSUP;
    }
    if (cie.initial_instructions_length > uint64_t(INT64_MAX) || fde.instructions_length > uint64_t(INT64_MAX) ||
        cfaState.eval_program(section, machine_ptr(pc), machine_ptr(fde.pc_start), &cie, &ptrReader, image->byteorder,
                              sectionStart, int64_t(cie.initial_instructions_offset),
                              int64_t(cie.initial_instructions_length)) != BBCRASH_ESUCCESS ||
        cfaState.eval_program(section, machine_ptr(pc), machine_ptr(fde.pc_start), &cie, &ptrReader, image->byteorder,
                              sectionStart, int64_t(fde.instructions_offset),
                              int64_t(fde.instructions_length)) != BBCRASH_ESUCCESS) {
        return BBCRASH_FRAME_ENOTSUP;
    }
    if (cfaState.apply_state(task, &cie, current, image->byteorder, next) != BBCRASH_ESUCCESS) {
        return BBCRASH_FRAME_ENOFRAME;
    }
    return BBCRASH_FRAME_ESUCCESS;
}

bbcrash_frame_error_t unwindWithImage(task_t task, bbcrash_async_macho *image, uint64_t pc,
                                      const bbcrash_async_thread_state *current, bbcrash_async_thread_state *next) {
    bbcrash_async_mobject section;
    bool debugFrame = false;
    if (bbcrash_async_macho_map_section(image, "__TEXT", "__eh_frame", &section) != BBCRASH_ESUCCESS) {
        if (bbcrash_async_macho_map_section(image, "__DWARF", "__debug_frame", &section) != BBCRASH_ESUCCESS) {
            return BBCRASH_FRAME_ENOFRAME;
        }
        debugFrame = true;
    }
    const bbcrash_frame_error_t result =
        image->m64 ? unwindWithSection<uint64_t, int64_t>(task, image, &section, debugFrame, pc, current, next)
                   : unwindWithSection<uint32_t, int32_t>(task, image, &section, debugFrame, pc, current, next);
    bbcrash_async_mobject_free(&section);
    return result;
}

}  // namespace

bbcrash_frame_error_t bbcrash_async_frame_read_dwarf_unwind(task_t task, bbcrash_async_image_list *image_list,
                                                            const bbcrash_async_thread_state *current,
                                                            const bbcrash_async_thread_state *previous,
                                                            bbcrash_async_thread_state *next) {
    return bbcrash_async_frame_read_in_image(image_list, current, previous,
                                             [&](bbcrash_async_macho *image, uint64_t pc) {
                                                 return unwindWithImage(task, image, pc, current, next);
                                             });
}

}  // namespace bbcrash::BN::async
