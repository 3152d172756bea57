#include "bbcrash_dwarf_gnu_ehptr_reader.h"

using namespace platform::mach;

namespace bbcrash::BN::async {

template <typename machine_ptr>
bbcrash_error_t gnu_ehptr_reader<machine_ptr>::read(bbcrash_async_mobject *mobj, mach_vm_address_t location,
                                                    int64_t offset, uint8_t encoding, machine_ptr *result,
                                                    size_t *size) const {
    if (encoding == DW_EH_PE_omit) {
        return BBCRASH_ENOTFOUND;
    }
    mach_vm_address_t field = 0;
    if (!bbcrash_async_apply_offset(location, offset, &field)) {
        return BBCRASH_EINVAL;
    }

    machine_ptr base = 0;
    size_t padding = 0;
    switch (encoding & 0x70) {
    case DW_EH_PE_absptr: break;
    case DW_EH_PE_pcrel: base = static_cast<machine_ptr>(field); break;
    case DW_EH_PE_textrel:
        if (!text_base_.valid) {
            return BBCRASH_ENOTSUP;
        }
        base = text_base_.value;
        break;
    case DW_EH_PE_datarel:
        if (!data_base_.valid) {
            return BBCRASH_ENOTSUP;
        }
        base = data_base_.value;
        break;
    case DW_EH_PE_funcrel:
        if (!func_base_.valid) {
            return BBCRASH_ENOTSUP;
        }
        base = func_base_.value;
        break;
    case DW_EH_PE_aligned: {
        if (!frame_section_.valid) {
            return BBCRASH_ENOTSUP;
        }
        const mach_vm_address_t mask = sizeof(machine_ptr) - 1;
        mach_vm_address_t aligned = 0;
        if (__builtin_add_overflow(field, mask, &aligned)) {
            return BBCRASH_EINVAL;
        }
        aligned &= ~mask;
        padding = static_cast<size_t>(aligned - field);
        field = aligned;
        break;
    }
    default: return BBCRASH_ENOTSUP;
    }

    uint64_t raw = 0;
    size_t length = 0;
    bbcrash_error_t err = BBCRASH_ESUCCESS;
    switch (encoding & 0x0F) {
    case DW_EH_PE_absptr:
        if (sizeof(machine_ptr) == 4) {
            uint32_t v = 0;
            err = bbcrash_async_mobject_read_uint32(mobj, byteorder_, field, 0, &v);
            raw = v;
        } else {
            err = bbcrash_async_mobject_read_uint64(mobj, byteorder_, field, 0, &raw);
        }
        length = sizeof(machine_ptr);
        break;
    case DW_EH_PE_uleb128: err = bbcrash_async_mobject_read_uleb128(mobj, field, 0, &raw, &length); break;
    case DW_EH_PE_udata2:
    case DW_EH_PE_sdata2: {
        uint16_t v = 0;
        err = bbcrash_async_mobject_read_uint16(mobj, byteorder_, field, 0, &v);
        raw = (encoding & 0x0F) == DW_EH_PE_sdata2 ? uint64_t(int64_t(int16_t(v))) : v;
        length = 2;
        break;
    }
    case DW_EH_PE_udata4:
    case DW_EH_PE_sdata4: {
        uint32_t v = 0;
        err = bbcrash_async_mobject_read_uint32(mobj, byteorder_, field, 0, &v);
        raw = (encoding & 0x0F) == DW_EH_PE_sdata4 ? uint64_t(int64_t(int32_t(v))) : v;
        length = 4;
        break;
    }
    case DW_EH_PE_udata8:
    case DW_EH_PE_sdata8:
        err = bbcrash_async_mobject_read_uint64(mobj, byteorder_, field, 0, &raw);
        length = 8;
        break;
    case DW_EH_PE_sleb128: {
        int64_t v = 0;
        err = bbcrash_async_mobject_read_sleb128(mobj, field, 0, &v, &length);
        raw = uint64_t(v);
        break;
    }
    default: return BBCRASH_ENOTSUP;
    }
    if (err != BBCRASH_ESUCCESS) {
        return err;
    }

    machine_ptr value = static_cast<machine_ptr>(base + static_cast<machine_ptr>(raw));
    if (encoding & DW_EH_PE_indirect) {
        machine_ptr target = 0;
        err = bbcrash_async_task_read(mobj->task, value, 0, &target, sizeof(target));
        if (err != BBCRASH_ESUCCESS) {
            return err;
        }
        value = sizeof(machine_ptr) == 4 ? static_cast<machine_ptr>(byteorder_->swap32(uint32_t(target)))
                                         : static_cast<machine_ptr>(byteorder_->swap64(uint64_t(target)));
    }
    *result = value;
    *size = padding + length;
    return BBCRASH_ESUCCESS;
}

template class gnu_ehptr_reader<uint32_t>;
template class gnu_ehptr_reader<uint64_t>;

}  // namespace bbcrash::BN::async
