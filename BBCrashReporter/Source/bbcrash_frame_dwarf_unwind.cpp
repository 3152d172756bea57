#include "bbcrash_frame_dwarf_unwind.h"

#include "bbcrash_async_dwarf.h"
#include "bbcrash_dwarf_cfa_state.h"
#include "platform/mach/vm_hold.h"

using namespace platform::mach;

namespace bbcrash::BN::async {

namespace {

// FDE lookups already done in the current hold of task memory, by exact pc:
// while every other thread is stopped no section changes, so the scan's
// answer for the same section and pc stays the same, and a report whose
// threads wait in the same functions scans each section once per pc.
// Direct-mapped, in static memory (the crash path allocates nothing); only
// the thread holding the task reads or writes it, and an entry of an
// earlier hold is never used.
struct FdeCacheEntry {
    uint64_t generation;  // 0: empty
    mach_vm_address_t section;
    mach_vm_size_t section_length;
    bool debug_frame;
    bool m64;
    uint64_t pc;
    bbcrash_error_t result;
    bbcrash_async_dwarf_fde_info fde;
};
constexpr size_t kFdeCacheSize = 64;
FdeCacheEntry g_fdeCache[kFdeCacheSize];

FdeCacheEntry *fdeCacheSlot(uint64_t pc) { return &g_fdeCache[((pc >> 2) ^ (pc >> 11)) % kFdeCacheSize]; }

// find_fde from the section's start, answered from the cache when it can be.
bbcrash_error_t findFde(bbcrash_async_dwarf_frame_reader *reader, uint64_t pc, bbcrash_async_dwarf_fde_info *fde) {
    const uint64_t generation = task_memory_hold_generation();
    if (generation == 0) {
        return bbcrash_async_dwarf_frame_reader_find_fde(reader, 0, pc, fde);
    }
    const mach_vm_address_t section = bbcrash_async_mobject_base_address(reader->mobj);
    const mach_vm_size_t length = bbcrash_async_mobject_length(reader->mobj);
    FdeCacheEntry *slot = fdeCacheSlot(pc);
    if (slot->generation == generation && slot->pc == pc && slot->section == section &&
        slot->section_length == length && slot->debug_frame == reader->debug_frame && slot->m64 == reader->m64) {
        *fde = slot->fde;
        return slot->result;
    }
    const bbcrash_error_t result = bbcrash_async_dwarf_frame_reader_find_fde(reader, 0, pc, fde);
    slot->generation = generation;
    slot->section = section;
    slot->section_length = length;
    slot->debug_frame = reader->debug_frame;
    slot->m64 = reader->m64;
    slot->pc = pc;
    slot->result = result;
    slot->fde = *fde;
    return result;
}

template <typename machine_ptr, typename machine_ptr_s>
bbcrash_frame_error_t unwindWithSection(task_t task, bbcrash_async_macho *image, bbcrash_async_mobject *section,
                                        bool debug_frame, uint64_t pc, const bbcrash_async_thread_state *current,
                                        bbcrash_async_thread_state *next) {
    bbcrash_async_dwarf_frame_reader reader;
    bbcrash_async_dwarf_frame_reader_init(&reader, section, image->byteorder, image->m64, debug_frame);
    gnu_ehptr_reader<machine_ptr> ptrReader(image->byteorder);
    dwarf_cfa_state<machine_ptr, machine_ptr_s> cfaState;

    bbcrash_async_dwarf_fde_info fde;
    if (findFde(&reader, pc, &fde) != BBCRASH_ESUCCESS) {
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
    return bbcrash_async_frame_read_in_image(
        image_list, current, previous,
        [&](bbcrash_async_macho *image, uint64_t pc) { return unwindWithImage(task, image, pc, current, next); });
}

}  // namespace bbcrash::BN::async
