#include "bbcrash_dwarf_cfa_state.h"

#include "bbcrash_async_dwarf_expression.h"
#include "bbcrash_dwarf_instruction_stream.h"

using namespace platform::mach;

namespace bbcrash::BN::async {

template <typename machine_ptr, typename machine_ptr_s>
dwarf_cfa_state<machine_ptr, machine_ptr_s>::dwarf_cfa_state() : free_list_(0), level_(0) {
    for (uint8_t i = 0; i < MAX_REGISTER_RULES; i++) {
        entries_[i] = entry_t{0, 0, REG_RULE_OFFSET, uint8_t(i + 1 < MAX_REGISTER_RULES ? i + 1 : EMPTY)};
    }
    for (auto &level : levels_) {
        level.cfa = rule_t{CFA_UNDEFINED, 0, 0, 0, 0, 0};
        level.count = 0;
        for (auto &bucket : level.buckets) {
            bucket = EMPTY;
        }
    }
}

template <typename machine_ptr, typename machine_ptr_s>
uint8_t dwarf_cfa_state<machine_ptr, machine_ptr_s>::allocate() {
    const uint8_t index = free_list_;
    if (index != EMPTY) {
        free_list_ = entries_[index].next;
        entries_[index].next = EMPTY;
    }
    return index;
}

template <typename machine_ptr, typename machine_ptr_s>
void dwarf_cfa_state<machine_ptr, machine_ptr_s>::release(uint8_t index) {
    entries_[index].next = free_list_;
    free_list_ = index;
}

template <typename machine_ptr, typename machine_ptr_s>
void dwarf_cfa_state<machine_ptr, machine_ptr_s>::release_level(level_t *level) {
    for (auto &bucket : level->buckets) {
        uint8_t index = bucket;
        while (index != EMPTY) {
            const uint8_t next = entries_[index].next;
            release(index);
            index = next;
        }
        bucket = EMPTY;
    }
    level->count = 0;
}

template <typename machine_ptr, typename machine_ptr_s>
bool dwarf_cfa_state<machine_ptr, machine_ptr_s>::set_register(uint32_t regnum, bbcrash_dwarf_cfa_reg_rule_t rule,
                                                               machine_ptr value) {
    level_t &level = levels_[level_];
    uint8_t *link = &level.buckets[regnum % BUCKET_COUNT];
    while (*link != EMPTY) {
        entry_t &entry = entries_[*link];
        if (entry.regnum == regnum) {
            entry.rule = rule;
            entry.value = value;
            return true;
        }
        link = &entry.next;
    }
    const uint8_t index = allocate();
    if (index == EMPTY) {
        return false;
    }
    entries_[index] = entry_t{value, regnum, rule, EMPTY};
    *link = index;
    level.count++;
    return true;
}

template <typename machine_ptr, typename machine_ptr_s>
bool dwarf_cfa_state<machine_ptr, machine_ptr_s>::get_register_rule(uint32_t regnum, bbcrash_dwarf_cfa_reg_rule_t *rule,
                                                                    machine_ptr *value) const {
    uint8_t index = levels_[level_].buckets[regnum % BUCKET_COUNT];
    while (index != EMPTY) {
        const entry_t &entry = entries_[index];
        if (entry.regnum == regnum) {
            *rule = entry.rule;
            *value = entry.value;
            return true;
        }
        index = entry.next;
    }
    return false;
}

template <typename machine_ptr, typename machine_ptr_s>
void dwarf_cfa_state<machine_ptr, machine_ptr_s>::remove_register(uint32_t regnum) {
    level_t &level = levels_[level_];
    uint8_t *link = &level.buckets[regnum % BUCKET_COUNT];
    while (*link != EMPTY) {
        const uint8_t index = *link;
        if (entries_[index].regnum == regnum) {
            *link = entries_[index].next;
            release(index);
            level.count--;
            return;
        }
        link = &entries_[index].next;
    }
}

template <typename machine_ptr, typename machine_ptr_s>
void dwarf_cfa_state<machine_ptr, machine_ptr_s>::set_cfa_register(uint32_t regnum, machine_ptr offset) {
    levels_[level_].cfa = rule_t{CFA_REGISTER, regnum, offset, 0, 0, 0};
}

template <typename machine_ptr, typename machine_ptr_s>
void dwarf_cfa_state<machine_ptr, machine_ptr_s>::set_cfa_register_signed(uint32_t regnum, machine_ptr_s offset) {
    levels_[level_].cfa = rule_t{CFA_REGISTER_SIGNED, regnum, 0, offset, 0, 0};
}

template <typename machine_ptr, typename machine_ptr_s>
void dwarf_cfa_state<machine_ptr, machine_ptr_s>::set_cfa_expression(mach_vm_address_t address, uint64_t length) {
    levels_[level_].cfa = rule_t{CFA_EXPRESSION, 0, 0, 0, address, length};
}

template <typename machine_ptr, typename machine_ptr_s>
bool dwarf_cfa_state<machine_ptr, machine_ptr_s>::push_state() {
    if (level_ + 1 >= MAX_STATE_LEVELS) {
        return false;
    }
    const level_t &current = levels_[level_];
    level_t &copy = levels_[level_ + 1];
    copy.cfa = current.cfa;
    copy.count = 0;
    for (uint8_t b = 0; b < BUCKET_COUNT; b++) {
        uint8_t *link = &copy.buckets[b];
        *link = EMPTY;
        for (uint8_t index = current.buckets[b]; index != EMPTY; index = entries_[index].next) {
            const uint8_t fresh = allocate();
            if (fresh == EMPTY) {
                release_level(&copy);
                return false;
            }
            entries_[fresh] = entry_t{entries_[index].value, entries_[index].regnum, entries_[index].rule, EMPTY};
            *link = fresh;
            link = &entries_[fresh].next;
            copy.count++;
        }
    }
    level_++;
    return true;
}

template <typename machine_ptr, typename machine_ptr_s>
bool dwarf_cfa_state<machine_ptr, machine_ptr_s>::pop_state() {
    if (level_ == 0) {
        return false;
    }
    release_level(&levels_[level_]);
    level_--;
    return true;
}

template <typename machine_ptr, typename machine_ptr_s>
bool dwarf_cfa_state_iterator<machine_ptr, machine_ptr_s>::next(uint32_t *regnum, bbcrash_dwarf_cfa_reg_rule_t *rule,
                                                                machine_ptr *value) {
    using state_t = dwarf_cfa_state<machine_ptr, machine_ptr_s>;
    while (bucket_ < state_t::BUCKET_COUNT) {
        if (entry_ != state_t::EMPTY) {
            const auto &entry = state_->entries_[entry_];
            *regnum = entry.regnum;
            *rule = entry.rule;
            *value = entry.value;
            entry_ = entry.next;
            return true;
        }
        bucket_++;
        if (bucket_ < state_t::BUCKET_COUNT) {
            entry_ = state_->levels_[state_->level_].buckets[bucket_];
        }
    }
    return false;
}

// --- CFA programs -----------------------------------------------------------

namespace {

enum : uint8_t {
    DW_CFA_nop = 0x00,
    DW_CFA_set_loc = 0x01,
    DW_CFA_advance_loc1 = 0x02,
    DW_CFA_advance_loc2 = 0x03,
    DW_CFA_advance_loc4 = 0x04,
    DW_CFA_offset_extended = 0x05,
    DW_CFA_restore_extended = 0x06,
    DW_CFA_undefined = 0x07,
    DW_CFA_same_value = 0x08,
    DW_CFA_register = 0x09,
    DW_CFA_remember_state = 0x0A,
    DW_CFA_restore_state = 0x0B,
    DW_CFA_def_cfa = 0x0C,
    DW_CFA_def_cfa_register = 0x0D,
    DW_CFA_def_cfa_offset = 0x0E,
    DW_CFA_def_cfa_expression = 0x0F,
    DW_CFA_expression = 0x10,
    DW_CFA_offset_extended_sf = 0x11,
    DW_CFA_def_cfa_sf = 0x12,
    DW_CFA_def_cfa_offset_sf = 0x13,
    DW_CFA_val_offset = 0x14,
    DW_CFA_val_offset_sf = 0x15,
    DW_CFA_val_expression = 0x16,
    DW_CFA_GNU_args_size = 0x2E,

    DW_CFA_advance_loc = 0x40,
    DW_CFA_offset = 0x80,
    DW_CFA_restore = 0xC0,
};

}  // namespace

template <typename machine_ptr, typename machine_ptr_s>
bbcrash_error_t dwarf_cfa_state<machine_ptr, machine_ptr_s>::eval_program(
    bbcrash_async_mobject *mobj, machine_ptr pc, machine_ptr pc_start, const bbcrash_async_dwarf_cie_info *cie,
    const gnu_ehptr_reader<machine_ptr> *ptr_reader, const bbcrash_async_byteorder *byteorder,
    mach_vm_address_t address, int64_t offset, int64_t length) {
    // The rules in force before this program runs: DW_CFA_restore returns
    // to them.
    dwarf_cfa_state initial;
    {
        dwarf_cfa_state_iterator<machine_ptr, machine_ptr_s> it(this);
        uint32_t regnum;
        bbcrash_dwarf_cfa_reg_rule_t rule;
        machine_ptr value;
        while (it.next(&regnum, &rule, &value)) {
            if (!initial.set_register(regnum, rule, value)) {
                return BBCRASH_ENOMEM;
            }
        }
    }

    uint8_t pointerEncoding = DW_EH_PE_absptr;
    if (ptr_reader != nullptr && cie->has_eh_augmentation && cie->eh_augmentation.has_pointer_encoding) {
        pointerEncoding = cie->eh_augmentation.pointer_encoding;
    }
    gnu_ehptr_reader<machine_ptr> absoluteReader(byteorder);
    const gnu_ehptr_reader<machine_ptr> *setLocReader = ptr_reader != nullptr ? ptr_reader : &absoluteReader;

    if (length < 0) {
        return BBCRASH_EINVAL;
    }
    dwarf_instruction_stream stream;
    bbcrash_error_t err = stream.init(mobj, byteorder, address, offset, uint64_t(length));
    if (err != BBCRASH_ESUCCESS) {
        return err;
    }

    machine_ptr location = pc_start;
    if (pc != 0 && location > pc) {
        return BBCRASH_ESUCCESS;
    }
    const machine_ptr codeAlignment = machine_ptr(cie->code_alignment_factor);
    const machine_ptr dataAlignment = machine_ptr(cie->data_alignment_factor);

    // Operand readers: a short operand is malformed data; a register number
    // wider than 32 bits is not supported.
#define CFA_OPERAND(read)          \
    do {                           \
        if (!(read)) {             \
            return BBCRASH_EINVAL; \
        }                          \
    } while (0)
#define CFA_REGNUM_OPERAND(out)                  \
    do {                                         \
        uint64_t raw_ = 0;                       \
        CFA_OPERAND(stream.read_uleb128(&raw_)); \
        if (raw_ > UINT32_MAX) {                 \
            return BBCRASH_ENOTSUP;              \
        }                                        \
        (out) = uint32_t(raw_);                  \
    } while (0)
#define CFA_SET(reg, rule, value)                    \
    do {                                             \
        if (!set_register((reg), (rule), (value))) { \
            return BBCRASH_ENOMEM;                   \
        }                                            \
    } while (0)

    auto restore = [&](uint32_t regnum) -> bool {
        bbcrash_dwarf_cfa_reg_rule_t rule;
        machine_ptr value;
        if (initial.get_register_rule(regnum, &rule, &value)) {
            return set_register(regnum, rule, value);
        }
        remove_register(regnum);
        return true;
    };
    auto cfaIsRegister = [&]() {
        const dwarf_cfa_rule_type_t type = levels_[level_].cfa.type;
        return type == CFA_REGISTER || type == CFA_REGISTER_SIGNED;
    };

    while (!stream.at_end()) {
        uint8_t opcode = 0;
        CFA_OPERAND(stream.read_u8(&opcode));
        const uint8_t low = opcode & 0x3F;
        uint32_t regnum = 0;
        uint64_t uoperand = 0;
        int64_t soperand = 0;

        switch (opcode & 0xC0) {
        case DW_CFA_advance_loc: location = machine_ptr(location + machine_ptr(low) * codeAlignment); break;
        case DW_CFA_offset:
            CFA_OPERAND(stream.read_uleb128(&uoperand));
            CFA_SET(low, REG_RULE_OFFSET, machine_ptr(machine_ptr(uoperand) * dataAlignment));
            break;
        case DW_CFA_restore:
            if (!restore(low)) {
                return BBCRASH_ENOMEM;
            }
            break;
        default:
            switch (opcode) {
            case DW_CFA_nop: break;
            case DW_CFA_set_loc: {
                if (cie->segment_size != 0) {
                    return BBCRASH_ENOTSUP;
                }
                machine_ptr target = 0;
                size_t size = 0;
                if ((err = setLocReader->read(mobj, stream.position(), 0, pointerEncoding, &target, &size)) !=
                    BBCRASH_ESUCCESS) {
                    return err;
                }
                CFA_OPERAND(stream.skip(size));
                location = target;
                break;
            }
            case DW_CFA_advance_loc1: {
                uint8_t delta = 0;
                CFA_OPERAND(stream.read_u8(&delta));
                location = machine_ptr(location + machine_ptr(delta) * codeAlignment);
                break;
            }
            case DW_CFA_advance_loc2: {
                uint16_t delta = 0;
                CFA_OPERAND(stream.read_u16(&delta));
                location = machine_ptr(location + machine_ptr(delta) * codeAlignment);
                break;
            }
            case DW_CFA_advance_loc4: {
                uint32_t delta = 0;
                CFA_OPERAND(stream.read_u32(&delta));
                location = machine_ptr(location + machine_ptr(delta) * codeAlignment);
                break;
            }
            case DW_CFA_offset_extended:
                CFA_REGNUM_OPERAND(regnum);
                CFA_OPERAND(stream.read_uleb128(&uoperand));
                CFA_SET(regnum, REG_RULE_OFFSET, machine_ptr(machine_ptr(uoperand) * dataAlignment));
                break;
            case DW_CFA_restore_extended:
                CFA_REGNUM_OPERAND(regnum);
                if (!restore(regnum)) {
                    return BBCRASH_ENOMEM;
                }
                break;
            case DW_CFA_undefined:
                CFA_REGNUM_OPERAND(regnum);
                remove_register(regnum);
                break;
            case DW_CFA_same_value:
                CFA_REGNUM_OPERAND(regnum);
                CFA_SET(regnum, REG_RULE_SAME_VALUE, 0);
                break;
            case DW_CFA_register: {
                uint32_t other = 0;
                CFA_REGNUM_OPERAND(regnum);
                CFA_REGNUM_OPERAND(other);
                CFA_SET(regnum, REG_RULE_REGISTER, machine_ptr(other));
                break;
            }
            case DW_CFA_remember_state:
                if (!push_state()) {
                    return BBCRASH_ENOMEM;
                }
                break;
            case DW_CFA_restore_state:
                if (!pop_state()) {
                    return BBCRASH_EINVAL;
                }
                break;
            case DW_CFA_def_cfa:
                CFA_REGNUM_OPERAND(regnum);
                CFA_OPERAND(stream.read_uleb128(&uoperand));
                set_cfa_register(regnum, machine_ptr(uoperand));
                break;
            case DW_CFA_def_cfa_register: {
                if (!cfaIsRegister()) {
                    return BBCRASH_EINVAL;
                }
                CFA_REGNUM_OPERAND(regnum);
                levels_[level_].cfa.regnum = regnum;
                break;
            }
            case DW_CFA_def_cfa_offset:
                if (!cfaIsRegister()) {
                    return BBCRASH_EINVAL;
                }
                CFA_OPERAND(stream.read_uleb128(&uoperand));
                set_cfa_register(levels_[level_].cfa.regnum, machine_ptr(uoperand));
                break;
            case DW_CFA_def_cfa_expression: {
                CFA_OPERAND(stream.read_uleb128(&uoperand));
                const mach_vm_address_t start = stream.position();
                CFA_OPERAND(stream.skip(uoperand));
                set_cfa_expression(start, uoperand);
                break;
            }
            case DW_CFA_expression:
            case DW_CFA_val_expression: {
                CFA_REGNUM_OPERAND(regnum);
                const mach_vm_address_t block = stream.position();
                CFA_OPERAND(stream.read_uleb128(&uoperand));
                CFA_OPERAND(stream.skip(uoperand));
                CFA_SET(regnum, opcode == DW_CFA_expression ? REG_RULE_EXPRESSION : REG_RULE_VAL_EXPRESSION,
                        machine_ptr(block));
                break;
            }
            case DW_CFA_offset_extended_sf:
                CFA_REGNUM_OPERAND(regnum);
                CFA_OPERAND(stream.read_sleb128(&soperand));
                CFA_SET(regnum, REG_RULE_OFFSET, machine_ptr(machine_ptr(soperand) * dataAlignment));
                break;
            case DW_CFA_def_cfa_sf:
                CFA_REGNUM_OPERAND(regnum);
                CFA_OPERAND(stream.read_sleb128(&soperand));
                set_cfa_register_signed(regnum, machine_ptr_s(machine_ptr(soperand) * dataAlignment));
                break;
            case DW_CFA_def_cfa_offset_sf:
                if (!cfaIsRegister()) {
                    return BBCRASH_EINVAL;
                }
                CFA_OPERAND(stream.read_sleb128(&soperand));
                set_cfa_register_signed(levels_[level_].cfa.regnum,
                                        machine_ptr_s(machine_ptr(soperand) * dataAlignment));
                break;
            case DW_CFA_val_offset:
                CFA_REGNUM_OPERAND(regnum);
                CFA_OPERAND(stream.read_uleb128(&uoperand));
                CFA_SET(regnum, REG_RULE_VAL_OFFSET, machine_ptr(machine_ptr(uoperand) * dataAlignment));
                break;
            case DW_CFA_val_offset_sf:
                CFA_REGNUM_OPERAND(regnum);
                CFA_OPERAND(stream.read_sleb128(&soperand));
                CFA_SET(regnum, REG_RULE_VAL_OFFSET, machine_ptr(machine_ptr(soperand) * dataAlignment));
                break;
            case DW_CFA_GNU_args_size:
                // The bytes of outgoing stack arguments: landing pads need
                // it, unwinding a frame does not.
                CFA_OPERAND(stream.read_uleb128(&uoperand));
                break;
            default: return BBCRASH_ENOTSUP;
            }
        }
        if (pc != 0 && location > pc) {
            return BBCRASH_ESUCCESS;
        }
    }
#undef CFA_OPERAND
#undef CFA_REGNUM_OPERAND
#undef CFA_SET
    return BBCRASH_ESUCCESS;
}

// --- Applying a row ---------------------------------------------------------

namespace {

bbcrash_error_t readWord(task_t task, const bbcrash_async_byteorder *byteorder, size_t greg, uint64_t address,
                         uint64_t *value) {
    if (greg == 4) {
        uint32_t v = 0;
        bbcrash_error_t err = bbcrash_async_task_read_uint32(task, byteorder, address, 0, &v);
        *value = v;
        return err;
    }
    return bbcrash_async_task_read_uint64(task, byteorder, address, 0, value);
}

// Evaluates the expression bytes at [address, address + length) in the
// thread state's word width, with `initial` pushed first when given.
bbcrash_error_t evaluate(task_t task, const bbcrash_async_thread_state *thread_state,
                         const bbcrash_async_byteorder *byteorder, mach_vm_address_t address, uint64_t length,
                         const uint64_t *initial, uint64_t *result) {
    bbcrash_async_mobject mobj;
    bbcrash_error_t err = bbcrash_async_mobject_init(&mobj, task, address, length, true);
    if (err != BBCRASH_ESUCCESS) {
        return err;
    }
    if (bbcrash_async_thread_state_get_greg_size(thread_state) == 4) {
        const uint32_t initial32 = initial != nullptr ? uint32_t(*initial) : 0;
        uint32_t value = 0;
        err = bbcrash_async_dwarf_expression_eval<uint32_t, int32_t>(
            &mobj, task, thread_state, byteorder, address, 0, length, &initial32, initial != nullptr ? 1 : 0, &value);
        *result = value;
    } else {
        err = bbcrash_async_dwarf_expression_eval<uint64_t, int64_t>(
            &mobj, task, thread_state, byteorder, address, 0, length, initial, initial != nullptr ? 1 : 0, result);
    }
    bbcrash_async_mobject_free(&mobj);
    return err;
}

}  // namespace

template <typename machine_ptr, typename machine_ptr_s>
bbcrash_error_t dwarf_cfa_state<machine_ptr, machine_ptr_s>::apply_state(task_t task,
                                                                         const bbcrash_async_dwarf_cie_info *cie,
                                                                         const bbcrash_async_thread_state *thread_state,
                                                                         const bbcrash_async_byteorder *byteorder,
                                                                         bbcrash_async_thread_state *new_thread_state) {
    const size_t greg = bbcrash_async_thread_state_get_greg_size(thread_state);
    bbcrash_async_thread_state_copy(new_thread_state, thread_state);
    bbcrash_async_thread_state_clear_volatile_regs(new_thread_state);
    // A signal trampoline's rules restore the interrupted frame, whose pc
    // is the interrupted instruction.
    new_thread_state->interrupted = cie->has_eh_augmentation && cie->eh_augmentation.signal_frame;

    // The canonical frame address.
    const rule_t &cfaRule = levels_[level_].cfa;
    machine_ptr cfa = 0;
    bbcrash_error_t err;
    switch (cfaRule.type) {
    case CFA_REGISTER:
    case CFA_REGISTER_SIGNED: {
        bbcrash_regnum_t reg = 0;
        if (!bbcrash_async_thread_state_map_dwarf_to_reg(thread_state, cfaRule.regnum, &reg)) {
            return BBCRASH_ENOTSUP;
        }
        if (!bbcrash_async_thread_state_has_reg(thread_state, reg)) {
            return BBCRASH_ENOTFOUND;
        }
        const machine_ptr base = machine_ptr(bbcrash_async_thread_state_get_reg(thread_state, reg));
        cfa = cfaRule.type == CFA_REGISTER ? machine_ptr(base + cfaRule.offset)
                                           : machine_ptr(base + machine_ptr(cfaRule.signed_offset));
        break;
    }
    case CFA_EXPRESSION: {
        uint64_t value = 0;
        if ((err = evaluate(task, thread_state, byteorder, cfaRule.expression_address, cfaRule.expression_length,
                            nullptr, &value)) != BBCRASH_ESUCCESS) {
            return err;
        }
        cfa = machine_ptr(value);
        break;
    }
    default: return BBCRASH_EINVAL;
    }
    bbcrash_async_thread_state_set_reg(new_thread_state, BBCRASH_REG_SP, cfa);

    dwarf_cfa_state_iterator<machine_ptr, machine_ptr_s> it(this);
    uint32_t dwarfReg;
    bbcrash_dwarf_cfa_reg_rule_t rule;
    machine_ptr value;
    while (it.next(&dwarfReg, &rule, &value)) {
        bbcrash_regnum_t reg = 0;
        const bool isReturnAddress = dwarfReg == cie->return_address_register;
        const bool mapped = bbcrash_async_thread_state_map_dwarf_to_reg(thread_state, dwarfReg, &reg);
        if (!mapped) {
            if (!isReturnAddress) {
                return BBCRASH_EINVAL;
            }
            reg = BBCRASH_REG_IP;
        }

        uint64_t result = 0;
        switch (rule) {
        case REG_RULE_OFFSET:
            if ((err = readWord(task, byteorder, greg, machine_ptr(cfa + value), &result)) != BBCRASH_ESUCCESS) {
                return err;
            }
            break;
        case REG_RULE_VAL_OFFSET: result = machine_ptr(cfa + value); break;
        case REG_RULE_REGISTER: {
            bbcrash_regnum_t other = 0;
            if (!bbcrash_async_thread_state_map_dwarf_to_reg(thread_state, value, &other)) {
                return BBCRASH_EINVAL;
            }
            if (!bbcrash_async_thread_state_has_reg(thread_state, other)) {
                return BBCRASH_ENOTFOUND;
            }
            result = bbcrash_async_thread_state_get_reg(thread_state, other);
            break;
        }
        case REG_RULE_EXPRESSION:
        case REG_RULE_VAL_EXPRESSION: {
            uint64_t length = 0;
            size_t size = 0;
            if ((err = bbcrash_async_task_read_uleb128(task, value, 0, &length, &size)) != BBCRASH_ESUCCESS) {
                return err;
            }
            const uint64_t initial = cfa;
            if ((err = evaluate(task, thread_state, byteorder, uint64_t(value) + size, length, &initial, &result)) !=
                BBCRASH_ESUCCESS) {
                return err;
            }
            if (rule == REG_RULE_EXPRESSION &&
                (err = readWord(task, byteorder, greg, result, &result)) != BBCRASH_ESUCCESS) {
                return err;
            }
            break;
        }
        case REG_RULE_SAME_VALUE:
            if (!bbcrash_async_thread_state_has_reg(thread_state, reg)) {
                return BBCRASH_ENOTFOUND;
            }
            result = bbcrash_async_thread_state_get_reg(thread_state, reg);
            break;
        default: return BBCRASH_EINVAL;
        }
        if (greg == 4) {
            result = uint32_t(result);
        }
        bbcrash_async_thread_state_set_reg(new_thread_state, reg, result);
        if (mapped && isReturnAddress) {
            bbcrash_async_thread_state_set_reg(new_thread_state, BBCRASH_REG_IP, result);
        }
    }

    if (bbcrash_async_thread_state_has_reg(new_thread_state, BBCRASH_REG_IP)) {
        return BBCRASH_ESUCCESS;
    }
    // No rule for the return address: it is still in its register.
    bbcrash_regnum_t raReg = 0;
    if (!bbcrash_async_thread_state_map_dwarf_to_reg(thread_state, cie->return_address_register, &raReg) ||
        !bbcrash_async_thread_state_has_reg(thread_state, raReg)) {
        return BBCRASH_EINVAL;
    }
    bbcrash_async_thread_state_set_reg(new_thread_state, BBCRASH_REG_IP,
                                       bbcrash_async_thread_state_get_reg(thread_state, raReg));
    return BBCRASH_ESUCCESS;
}

template class dwarf_cfa_state<uint32_t, int32_t>;
template class dwarf_cfa_state<uint64_t, int64_t>;
template class dwarf_cfa_state_iterator<uint32_t, int32_t>;
template class dwarf_cfa_state_iterator<uint64_t, int64_t>;

}  // namespace bbcrash::BN::async
