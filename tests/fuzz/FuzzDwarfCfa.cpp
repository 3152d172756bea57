// The DWARF call-frame reader on an arbitrary section: the FDE search, CIE
// and FDE parsing, both CFA programs and the application of the row; and the
// compact table the dynamic-loader layer builds from the same bytes.
// Input: a 32-bit signed offset of the address to look up from the
// section's start, a flags byte (bit 0: "__debug_frame", bit 1: 32-bit
// words), then the section.
#include "FuzzState.h"
#include "GuardedInput.h"
#include "bbcrash_async_dwarf.h"
#include "bbcrash_dwarf_cfa_state.h"
#include "platform/dyld/ElfUnwindInfo.h"
#include "platform/mach/vm_hold.h"

#include <cstring>

using namespace platform::mach;
using namespace bbcrash::BN::async;

namespace {

template <typename machine_ptr, typename machine_ptr_s>
void unwind(bbcrash_async_mobject *section, bool debugFrame, uint64_t pc) {
    const bbcrash_async_byteorder *byteorder = bbcrash_async_byteorder_native();
    bbcrash_async_dwarf_frame_reader reader;
    bbcrash_async_dwarf_frame_reader_init(&reader, section, byteorder, sizeof(machine_ptr) == 8, debugFrame);
    bbcrash_async_dwarf_fde_info fde;
    if (bbcrash_async_dwarf_frame_reader_find_fde(&reader, 0, pc, &fde) != BBCRASH_ESUCCESS) return;
    const mach_vm_address_t start = bbcrash_async_mobject_base_address(section);
    gnu_ehptr_reader<machine_ptr> pointers(byteorder);
    bbcrash_async_dwarf_cie_info cie;
    if (bbcrash_async_dwarf_cie_info_init(&cie, section, byteorder, &pointers, start + fde.cie_offset) !=
        BBCRASH_ESUCCESS) {
        return;
    }
    dwarf_cfa_state<machine_ptr, machine_ptr_s> rows;
    if (cie.initial_instructions_length > uint64_t(INT64_MAX) || fde.instructions_length > uint64_t(INT64_MAX) ||
        rows.eval_program(section, machine_ptr(pc), machine_ptr(fde.pc_start), &cie, &pointers, byteorder, start,
                          int64_t(cie.initial_instructions_offset),
                          int64_t(cie.initial_instructions_length)) != BBCRASH_ESUCCESS ||
        rows.eval_program(section, machine_ptr(pc), machine_ptr(fde.pc_start), &cie, &pointers, byteorder, start,
                          int64_t(fde.instructions_offset), int64_t(fde.instructions_length)) != BBCRASH_ESUCCESS) {
        return;
    }
    const bbcrash_async_thread_state state = fuzzThreadState(pc);
    bbcrash_async_thread_state next;
    rows.apply_state(mach_task_self(), &cie, &state, byteorder, &next);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 6 || size > (1u << 20)) return 0;
    GuardedInput input(data, size);
    if (!input.valid() || !task_memory_hold_begin()) return 0;
    int32_t offset = 0;
    std::memcpy(&offset, input.data(), 4);
    const uint8_t flags = input.data()[4];
    const uintptr_t sectionAddress = input.address() + 5;
    bbcrash_async_mobject section;
    if (bbcrash_async_mobject_init(&section, mach_task_self(), sectionAddress, size - 5, true) == BBCRASH_ESUCCESS) {
        const uint64_t pc = sectionAddress + uint64_t(int64_t(offset));
        if (flags & 2) {
            unwind<uint32_t, int32_t>(&section, flags & 1, pc);
        } else {
            unwind<uint64_t, int64_t>(&section, flags & 1, pc);
        }
        bbcrash_async_mobject_free(&section);
    }
    task_memory_hold_end();
    if (!(flags & 1)) {
        platform::dyld::ElfUnwindInfo::build(input.data() + 5, size - 5, sectionAddress - (1u << 20), 1u << 21);
    }
    return 0;
}
