#pragma once
// Compact unwind: lookup of a function's encoding in an image's
// "__TEXT,__unwind_info" section (version 1: first-level index, regular and
// compressed second-level pages, common and page-local encodings), decoding
// for x86, x86_64 and arm64, and computing the caller's registers from it.
// Async-signal-safe: the section is read through a memory object, the stack
// through checked task reads.
#include "bbcrash_async_mobject.h"
#include "bbcrash_async_thread_state.h"
#include "platform/mach/machine.h"

struct bbcrash_async_unwind_info_reader {
    bbcrash_async_mobject *mobj;  // the section; not owned
    int32_t cputype;
    struct {
        uint32_t version;
        uint32_t common_encodings_offset;
        uint32_t common_encodings_count;
        uint32_t personality_offset;
        uint32_t personality_count;
        uint32_t index_offset;
        uint32_t index_count;
    } header;
    const bbcrash_async_byteorder *byteorder;
};

enum bbcrash_async_unwind_entry_type_t : uint32_t {
    UNWIND_ENTRY_FRAME_PTR = 1,           // registers saved below a frame pointer
    UNWIND_ENTRY_FRAMELESS_IMMD = 2,      // stack size in the encoding
    UNWIND_ENTRY_FRAMELESS_INDIRECT = 3,  // stack size in the function's code
    UNWIND_ENTRY_DWARF = 4,               // see the FDE in eh_frame
    UNWIND_ENTRY_NONE = 5,                // no unwind information
};

// Most registers a compact encoding can list.
constexpr size_t BBCRASH_ASYNC_UNWIND_MAX_SAVED_REGS = 10;

struct bbcrash_async_unwind_entry {
    bbcrash_async_unwind_entry_type_t type;
    int32_t cputype;
    // Frame: offset of the saved registers from the frame pointer (<= 0).
    // Immediate: stack size. Indirect: offset within the function of the
    // 32-bit stack size immediate. DWARF: offset of the FDE in eh_frame.
    int64_t stack_offset;
    uint32_t stack_adjust;                     // indirect only: added to the immediate
    bbcrash_regnum_t return_address_register;  // BBCRASH_REG_INVALID: on the stack
    uint32_t register_count;
    bbcrash_regnum_t register_list[BBCRASH_ASYNC_UNWIND_MAX_SAVED_REGS];  // increasing addresses;
                                                                          // BBCRASH_REG_INVALID = empty slot
};

// The reader knows the CPU types CPU_TYPE_X86, CPU_TYPE_X86_64 and
// CPU_TYPE_ARM64 (platform/mach/machine.h).
// 0; 4 for another CPU type or version; 5 when the header does not fit.
bbcrash_error_t bbcrash_async_unwind_info_reader_init(bbcrash_async_unwind_info_reader *reader,
                                                      bbcrash_async_mobject *mobj, int32_t cputype);
// The encoding of the function that contains `pc` (relative to the image's
// start) and that function's start (relative too). 0; 5 for malformed
// tables; 8 when no entry covers pc.
bbcrash_error_t bbcrash_async_unwind_info_reader_find_pc(bbcrash_async_unwind_info_reader *reader, uint32_t pc,
                                                         uint32_t *function_base, uint32_t *encoding);
void bbcrash_async_unwind_info_reader_free(bbcrash_async_unwind_info_reader *reader);

// 0; 4 for an unknown mode or CPU type; 5 for bad register data (a
// register number outside the compact table, a permutation that selects no
// register, more registers than an encoding may save).
bbcrash_error_t bbcrash_async_unwind_entry_init(bbcrash_async_unwind_entry *entry, int32_t cputype, uint32_t encoding);
bbcrash_async_unwind_entry_type_t bbcrash_async_unwind_entry_type(const bbcrash_async_unwind_entry *entry);

// The caller's state. 0; 4 for DWARF and empty entries; 8 when a register
// the entry needs is not valid; 5 when an address overflows, or the entry
// does not fit the state (another CPU, registers outside its set); a failed
// read's own code.
bbcrash_error_t bbcrash_async_unwind_entry_apply(platform::mach::task_t task, uint64_t function_address,
                                                 const bbcrash_async_thread_state *state,
                                                 const bbcrash_async_unwind_entry *entry,
                                                 bbcrash_async_thread_state *new_state);
void bbcrash_async_unwind_entry_free(bbcrash_async_unwind_entry *entry);

// Decodes a frameless permutation of `count` registers (0-6) into compact
// register numbers 1-6. 0; 5 for a count above 6 or a digit that selects no
// register.
bbcrash_error_t bbcrash_async_unwind_permutation_decode(uint32_t permutation, uint32_t count, uint32_t *registers);

// A compact register number (0-6) of x86 or x86_64 as a register number;
// 0 gives BBCRASH_REG_INVALID (an empty slot). 5 for another number, 4 for
// another CPU type.
bbcrash_error_t bbcrash_async_unwind_map_register(int32_t cputype, uint32_t compact, bbcrash_regnum_t *regnum);
