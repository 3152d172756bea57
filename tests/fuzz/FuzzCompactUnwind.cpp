// The compact unwind reader on an arbitrary "__unwind_info" section: the
// two-level lookup, decoding the encoding found, and applying it to a state
// over a small stack. Input: a CPU selector byte, a 32-bit address to look
// up, then the section.
#include "FuzzState.h"
#include "GuardedInput.h"
#include "bbcrash_async_compact_unwind.h"
#include "platform/mach/vm_hold.h"

#include <cstring>
#include <initializer_list>

using namespace platform::mach;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 5 || size > (1u << 20)) return 0;
    GuardedInput input(data, size);
    if (!input.valid() || !task_memory_hold_begin()) return 0;
    static const int32_t kCpus[] = {CPU_TYPE_X86_64, CPU_TYPE_X86, CPU_TYPE_ARM64, 0x12};
    const int32_t cputype = kCpus[input.data()[0] % 4];
    uint32_t pc = 0;
    std::memcpy(&pc, input.data() + 1, 4);
    bbcrash_async_mobject section;
    if (size > 5 && bbcrash_async_mobject_init(&section, mach_task_self(), input.address() + 5, size - 5, true) ==
                        BBCRASH_ESUCCESS) {
        bbcrash_async_unwind_info_reader reader;
        if (bbcrash_async_unwind_info_reader_init(&reader, &section, cputype) == BBCRASH_ESUCCESS) {
            for (uint32_t address : {pc, pc + 1, 0u, UINT32_MAX}) {
                uint32_t start = 0, encoding = 0;
                if (bbcrash_async_unwind_info_reader_find_pc(&reader, address, &start, &encoding) != BBCRASH_ESUCCESS) {
                    continue;
                }
                bbcrash_async_unwind_entry entry;
                if (bbcrash_async_unwind_entry_init(&entry, cputype, encoding) == BBCRASH_ESUCCESS) {
                    const bbcrash_async_thread_state state = fuzzThreadState(0x401000 + address);
                    bbcrash_async_thread_state next;
                    bbcrash_async_unwind_entry_apply(mach_task_self(), input.address() + start, &state, &entry, &next);
                    bbcrash_async_unwind_entry_free(&entry);
                }
            }
            bbcrash_async_unwind_info_reader_free(&reader);
        }
        bbcrash_async_mobject_free(&section);
    }
    task_memory_hold_end();
    return 0;
}
