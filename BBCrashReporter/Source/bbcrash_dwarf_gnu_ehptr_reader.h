#pragma once
// Decoding of the GNU eh_frame pointer encodings (DW_EH_PE_*), generic over
// the target's machine word. Async-signal-safe.
#include "bbcrash_async_mobject.h"

namespace bbcrash::BN::async {

// Pointer encodings: a format in the low four bits, an application in bits
// 4-6, and the indirect flag.
enum DW_EH_PE_t : uint8_t {
    DW_EH_PE_absptr = 0x00,
    DW_EH_PE_uleb128 = 0x01,
    DW_EH_PE_udata2 = 0x02,
    DW_EH_PE_udata4 = 0x03,
    DW_EH_PE_udata8 = 0x04,
    DW_EH_PE_sleb128 = 0x09,
    DW_EH_PE_sdata2 = 0x0A,
    DW_EH_PE_sdata4 = 0x0B,
    DW_EH_PE_sdata8 = 0x0C,

    DW_EH_PE_pcrel = 0x10,
    DW_EH_PE_textrel = 0x20,
    DW_EH_PE_datarel = 0x30,
    DW_EH_PE_funcrel = 0x40,
    DW_EH_PE_aligned = 0x50,

    DW_EH_PE_indirect = 0x80,
    DW_EH_PE_omit = 0xFF,
};

template <typename machine_ptr>
class gnu_ehptr_reader {
public:
    explicit gnu_ehptr_reader(const bbcrash_async_byteorder *byteorder) : byteorder_(byteorder) {}

    // Bases for the relative applications; none is set unless given.
    void set_frame_section_base(uint64_t local_base, machine_ptr vm_address) {
        frame_section_ = {true, local_base, vm_address};
    }
    void set_text_base(machine_ptr base) { text_base_ = {true, base}; }
    void set_data_base(machine_ptr base) { data_base_ = {true, base}; }
    void set_func_base(machine_ptr base) { func_base_ = {true, base}; }

    // Decodes the pointer at location + offset. *size counts every byte
    // consumed (alignment padding included). 0; 8 for the omit encoding; 4
    // for an application without its base, or an unknown format or
    // application; 5 when the bytes lie outside the object or an address
    // wraps; a failed task read's code for an indirect pointer.
    bbcrash_error_t read(bbcrash_async_mobject *mobj, platform::mach::mach_vm_address_t location, int64_t offset,
                         uint8_t encoding, machine_ptr *result, size_t *size) const;

private:
    struct Base {
        bool valid = false;
        machine_ptr value = 0;
    };
    struct FrameSection {
        bool valid = false;
        uint64_t local_base = 0;
        machine_ptr vm_address = 0;
    };

    const bbcrash_async_byteorder *byteorder_;
    FrameSection frame_section_;
    Base text_base_;
    Base data_base_;
    Base func_base_;
};

extern template class gnu_ehptr_reader<uint32_t>;
extern template class gnu_ehptr_reader<uint64_t>;

}  // namespace bbcrash::BN::async
