#pragma once
// DWARF call-frame information: CIE and FDE parsing (32- and 64-bit DWARF,
// GNU eh_frame augmentations) and the search for the FDE that covers an
// address, in "__eh_frame" or "__debug_frame". Async-signal-safe: the
// section is read through a memory object.
#include "bbcrash_dwarf_gnu_ehptr_reader.h"

namespace bbcrash::BN::async {

struct bbcrash_async_dwarf_cie_info {
    uint64_t cie_offset;  // content after the length field, from the section start
    uint64_t cie_length;
    uint64_t cie_id;
    uint8_t cie_version;
    uint8_t address_size;  // version 4 only
    uint8_t segment_size;  // version 4 only
    uint64_t code_alignment_factor;
    int64_t data_alignment_factor;
    uint64_t return_address_register;  // a DWARF register number
    bool has_eh_augmentation;          // the augmentation string starts with 'z'
    struct {
        bool has_lsda_encoding;
        uint8_t lsda_encoding;
        bool has_personality_address;
        uint64_t personality_address;
        bool has_pointer_encoding;
        uint8_t pointer_encoding;
        bool signal_frame;
    } eh_augmentation;
    uint64_t initial_instructions_offset;  // from the section start
    uint64_t initial_instructions_length;
};

struct bbcrash_async_dwarf_fde_info {
    uint64_t fde_offset;  // content after the length field, from the section start
    uint64_t fde_length;
    uint64_t cie_offset;  // from the section start
    uint64_t pc_start;
    uint64_t pc_end;  // exclusive
    uint64_t instructions_offset;
    uint64_t instructions_length;
};

struct bbcrash_async_dwarf_frame_reader {
    bbcrash_async_mobject *mobj;  // the section; not owned
    const bbcrash_async_byteorder *byteorder;
    bool m64;          // the image's machine word is 64 bits
    bool debug_frame;  // "__debug_frame": CIE pointers are section offsets, CIE ids all ones
};

// Unsigned value of 1, 2, 4 or 8 bytes at address + offset, through the byte
// order. 5 for another size or bytes outside the object.
bbcrash_error_t bbcrash_async_dwarf_read_offset(bbcrash_async_mobject *mobj, const bbcrash_async_byteorder *byteorder,
                                                platform::mach::mach_vm_address_t address, int64_t offset, size_t size,
                                                uint64_t *result);

// Parses the CIE whose length field is at `address`. 0; 5 for malformed data
// (bad id, version, length); 4 for an augmentation it cannot read; a pointer
// or read error.
template <typename machine_ptr>
bbcrash_error_t bbcrash_async_dwarf_cie_info_init(bbcrash_async_dwarf_cie_info *info, bbcrash_async_mobject *mobj,
                                                  const bbcrash_async_byteorder *byteorder,
                                                  const gnu_ehptr_reader<machine_ptr> *ptr_reader,
                                                  platform::mach::mach_vm_address_t address);

// Parses the FDE whose length field is at `address`, and for its pointer
// encoding its CIE. 0; 5 for malformed data; the CIE's error.
template <typename machine_ptr>
bbcrash_error_t bbcrash_async_dwarf_fde_info_init(bbcrash_async_dwarf_fde_info *info, bbcrash_async_mobject *mobj,
                                                  const bbcrash_async_byteorder *byteorder,
                                                  platform::mach::mach_vm_address_t address, bool debug_frame);

void bbcrash_async_dwarf_frame_reader_init(bbcrash_async_dwarf_frame_reader *reader, bbcrash_async_mobject *mobj,
                                           const bbcrash_async_byteorder *byteorder, bool m64, bool debug_frame);

// Scans the section from `offset` for the FDE whose range holds `pc`.
// 0; 8 when none does (or at a zero terminator); 5 for malformed entries.
bbcrash_error_t bbcrash_async_dwarf_frame_reader_find_fde(bbcrash_async_dwarf_frame_reader *reader, uint64_t offset,
                                                          uint64_t pc, bbcrash_async_dwarf_fde_info *fde);

extern template bbcrash_error_t bbcrash_async_dwarf_cie_info_init<uint32_t>(bbcrash_async_dwarf_cie_info *,
                                                                            bbcrash_async_mobject *,
                                                                            const bbcrash_async_byteorder *,
                                                                            const gnu_ehptr_reader<uint32_t> *,
                                                                            platform::mach::mach_vm_address_t);
extern template bbcrash_error_t bbcrash_async_dwarf_cie_info_init<uint64_t>(bbcrash_async_dwarf_cie_info *,
                                                                            bbcrash_async_mobject *,
                                                                            const bbcrash_async_byteorder *,
                                                                            const gnu_ehptr_reader<uint64_t> *,
                                                                            platform::mach::mach_vm_address_t);
extern template bbcrash_error_t bbcrash_async_dwarf_fde_info_init<uint32_t>(bbcrash_async_dwarf_fde_info *,
                                                                            bbcrash_async_mobject *,
                                                                            const bbcrash_async_byteorder *,
                                                                            platform::mach::mach_vm_address_t, bool);
extern template bbcrash_error_t bbcrash_async_dwarf_fde_info_init<uint64_t>(bbcrash_async_dwarf_fde_info *,
                                                                            bbcrash_async_mobject *,
                                                                            const bbcrash_async_byteorder *,
                                                                            platform::mach::mach_vm_address_t, bool);

}  // namespace bbcrash::BN::async
