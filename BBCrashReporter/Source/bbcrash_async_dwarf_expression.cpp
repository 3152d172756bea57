#include "bbcrash_async_dwarf_expression.h"

#include "bbcrash_dwarf_instruction_stream.h"

using namespace platform::mach;

namespace bbcrash::BN::async {

namespace {

template <typename machine_ptr>
class ValueStack {
public:
    bool push(machine_ptr value) {
        if (depth_ == BBCRASH_DWARF_EXPRESSION_STACK_SIZE) {
            return false;
        }
        values_[depth_++] = value;
        return true;
    }
    bool pop(machine_ptr *value) {
        if (depth_ == 0) {
            return false;
        }
        *value = values_[--depth_];
        return true;
    }
    // The entry `index` places below the top (0 = the top).
    bool peek(size_t index, machine_ptr *value) const {
        if (index >= depth_) {
            return false;
        }
        *value = values_[depth_ - 1 - index];
        return true;
    }
    machine_ptr *top() { return depth_ == 0 ? nullptr : &values_[depth_ - 1]; }
    size_t depth() const { return depth_; }

private:
    machine_ptr values_[BBCRASH_DWARF_EXPRESSION_STACK_SIZE];
    size_t depth_ = 0;
};

template <typename machine_ptr>
bbcrash_error_t readTarget(task_t task, const bbcrash_async_byteorder *byteorder, machine_ptr address, size_t size,
                           machine_ptr *value) {
    union {
        uint8_t u8;
        uint16_t u16;
        uint32_t u32;
        uint64_t u64;
    } raw;
    bbcrash_error_t err = bbcrash_async_task_read(task, address, 0, &raw, size);
    if (err != BBCRASH_ESUCCESS) {
        return err;
    }
    switch (size) {
    case 1: *value = raw.u8; break;
    case 2: *value = byteorder->swap16(raw.u16); break;
    case 4: *value = static_cast<machine_ptr>(byteorder->swap32(raw.u32)); break;
    default: *value = static_cast<machine_ptr>(byteorder->swap64(raw.u64)); break;
    }
    return BBCRASH_ESUCCESS;
}

}  // namespace

template <typename machine_ptr, typename machine_ptr_s>
bbcrash_error_t bbcrash_async_dwarf_expression_eval(bbcrash_async_mobject *mobj, task_t task,
                                                    const bbcrash_async_thread_state *thread_state,
                                                    const bbcrash_async_byteorder *byteorder, mach_vm_address_t address,
                                                    int64_t offset, uint64_t length, const machine_ptr *initial_values,
                                                    size_t initial_count, machine_ptr *result) {
    constexpr unsigned kBits = sizeof(machine_ptr) * 8;
    dwarf_instruction_stream stream;
    bbcrash_error_t err = stream.init(mobj, byteorder, address, offset, length);
    if (err != BBCRASH_ESUCCESS) {
        return err;
    }
    ValueStack<machine_ptr> stack;
    for (size_t i = 0; i < initial_count; i++) {
        if (!stack.push(initial_values[i])) {
            return BBCRASH_EINTERNAL;
        }
    }

#define DW_PUSH(value)                \
    do {                              \
        if (!stack.push(value)) {     \
            return BBCRASH_EINTERNAL; \
        }                             \
    } while (0)
#define DW_POP(out)                \
    do {                           \
        if (!stack.pop(&(out))) {  \
            return BBCRASH_EINVAL; \
        }                          \
    } while (0)
#define DW_OPERAND(read)           \
    do {                           \
        if (!(read)) {             \
            return BBCRASH_EINVAL; \
        }                          \
    } while (0)

    size_t executed = 0;
    while (!stream.at_end()) {
        if (++executed > BBCRASH_DWARF_EXPRESSION_MAX_OPS) {
            return BBCRASH_EINVAL;
        }
        uint8_t opcode = 0;
        DW_OPERAND(stream.read_u8(&opcode));

        if (opcode >= 0x30 && opcode <= 0x4F) {  // lit0-lit31
            DW_PUSH(machine_ptr(opcode - 0x30));
            continue;
        }
        if ((opcode >= 0x70 && opcode <= 0x8F) || opcode == 0x92) {  // breg0-31, bregx
            uint64_t dwarfReg = opcode - 0x70;
            if (opcode == 0x92) {
                DW_OPERAND(stream.read_uleb128(&dwarfReg));
            }
            int64_t addend = 0;
            DW_OPERAND(stream.read_sleb128(&addend));
            bbcrash_regnum_t reg = 0;
            if (!bbcrash_async_thread_state_map_dwarf_to_reg(thread_state, dwarfReg, &reg)) {
                return BBCRASH_ENOTSUP;
            }
            if (!bbcrash_async_thread_state_has_reg(thread_state, reg)) {
                return BBCRASH_ENOTFOUND;
            }
            DW_PUSH(machine_ptr(bbcrash_async_thread_state_get_reg(thread_state, reg) + uint64_t(addend)));
            continue;
        }

        machine_ptr a = 0;
        machine_ptr b = 0;
        switch (opcode) {
        case 0x06: {  // deref
            DW_POP(a);
            machine_ptr value = 0;
            if ((err = readTarget(task, byteorder, a, sizeof(machine_ptr), &value)) != BBCRASH_ESUCCESS) {
                return err;
            }
            DW_PUSH(value);
            break;
        }
        case 0x08: {  // const1u
            uint8_t v = 0;
            DW_OPERAND(stream.read_u8(&v));
            DW_PUSH(machine_ptr(v));
            break;
        }
        case 0x09: {  // const1s
            uint8_t v = 0;
            DW_OPERAND(stream.read_u8(&v));
            DW_PUSH(machine_ptr(machine_ptr_s(int8_t(v))));
            break;
        }
        case 0x0A: {  // const2u
            uint16_t v = 0;
            DW_OPERAND(stream.read_u16(&v));
            DW_PUSH(machine_ptr(v));
            break;
        }
        case 0x0B: {  // const2s
            uint16_t v = 0;
            DW_OPERAND(stream.read_u16(&v));
            DW_PUSH(machine_ptr(machine_ptr_s(int16_t(v))));
            break;
        }
        case 0x0C: {  // const4u
            uint32_t v = 0;
            DW_OPERAND(stream.read_u32(&v));
            DW_PUSH(machine_ptr(v));
            break;
        }
        case 0x0D: {  // const4s
            uint32_t v = 0;
            DW_OPERAND(stream.read_u32(&v));
            DW_PUSH(machine_ptr(machine_ptr_s(int32_t(v))));
            break;
        }
        case 0x0E:    // const8u
        case 0x0F: {  // const8s
            uint64_t v = 0;
            DW_OPERAND(stream.read_u64(&v));
            DW_PUSH(machine_ptr(v));
            break;
        }
        case 0x10: {  // constu
            uint64_t v = 0;
            DW_OPERAND(stream.read_uleb128(&v));
            DW_PUSH(machine_ptr(v));
            break;
        }
        case 0x11: {  // consts
            int64_t v = 0;
            DW_OPERAND(stream.read_sleb128(&v));
            DW_PUSH(machine_ptr(v));
            break;
        }
        case 0x12:  // dup
            if (!stack.peek(0, &a)) {
                return BBCRASH_EINVAL;
            }
            DW_PUSH(a);
            break;
        case 0x13:  // drop
            DW_POP(a);
            break;
        case 0x14:  // over
            if (!stack.peek(1, &a)) {
                return BBCRASH_EINVAL;
            }
            DW_PUSH(a);
            break;
        case 0x15: {  // pick
            uint8_t index = 0;
            DW_OPERAND(stream.read_u8(&index));
            if (!stack.peek(index, &a)) {
                return BBCRASH_EINVAL;
            }
            DW_PUSH(a);
            break;
        }
        case 0x16:  // swap
            DW_POP(a);
            DW_POP(b);
            DW_PUSH(a);
            DW_PUSH(b);
            break;
        case 0x17: {  // rot: the top becomes third, the second the top, the third the second
            machine_ptr c = 0;
            DW_POP(a);
            DW_POP(b);
            DW_POP(c);
            DW_PUSH(a);
            DW_PUSH(c);
            DW_PUSH(b);
            break;
        }
        case 0x18: {  // xderef: address on top, address space below it
            machine_ptr value = 0;
            DW_POP(a);
            DW_POP(b);
            if ((err = readTarget(task, byteorder, a, sizeof(machine_ptr), &value)) != BBCRASH_ESUCCESS) {
                return err;
            }
            DW_PUSH(value);
            break;
        }
        case 0x19:  // abs
            DW_POP(a);
            DW_PUSH(machine_ptr_s(a) < 0 ? machine_ptr(0) - a : a);
            break;
        case 0x1F:  // neg
            DW_POP(a);
            DW_PUSH(machine_ptr(0) - a);
            break;
        case 0x20:  // not
            DW_POP(a);
            DW_PUSH(machine_ptr(~a));
            break;
        case 0x1A:
        case 0x1B:
        case 0x1C:
        case 0x1D:
        case 0x1E:
        case 0x21:
        case 0x22:
        case 0x24:
        case 0x25:
        case 0x26:
        case 0x27: {
            DW_POP(b);  // top
            DW_POP(a);  // second
            machine_ptr value = 0;
            const unsigned shift = unsigned(b) & (kBits - 1);
            switch (opcode) {
            case 0x1A: value = a & b; break;
            case 0x1B:  // div, signed; the most negative word by -1 gives itself
                if (b == 0) {
                    return BBCRASH_EINVAL;
                }
                if (machine_ptr_s(b) == -1) {
                    value = machine_ptr(0) - a;
                } else {
                    value = machine_ptr(machine_ptr_s(a) / machine_ptr_s(b));
                }
                break;
            case 0x1C: value = a - b; break;
            case 0x1D:  // mod, unsigned
                if (b == 0) {
                    return BBCRASH_EINVAL;
                }
                value = a % b;
                break;
            case 0x1E: value = a * b; break;
            case 0x21: value = a | b; break;
            case 0x22: value = a + b; break;
            case 0x24: value = machine_ptr(a << shift); break;
            case 0x25: value = machine_ptr(a >> shift); break;
            case 0x26: value = machine_ptr(machine_ptr_s(a) >> shift); break;
            default: value = a ^ b; break;
            }
            DW_PUSH(value);
            break;
        }
        case 0x23: {  // plus_uconst
            uint64_t v = 0;
            DW_OPERAND(stream.read_uleb128(&v));
            machine_ptr *top = stack.top();
            if (top == nullptr) {
                return BBCRASH_EINVAL;
            }
            *top = machine_ptr(*top + machine_ptr(v));
            break;
        }
        case 0x28:    // bra
        case 0x2F: {  // skip
            uint16_t raw = 0;
            DW_OPERAND(stream.read_u16(&raw));
            bool jump = true;
            if (opcode == 0x28) {
                DW_POP(a);
                jump = a != 0;
            }
            if (jump && !stream.jump(int16_t(raw))) {
                return BBCRASH_EINVAL;
            }
            break;
        }
        case 0x29:
        case 0x2A:
        case 0x2B:
        case 0x2C:
        case 0x2D:
        case 0x2E: {
            DW_POP(b);
            DW_POP(a);
            const machine_ptr_s sa = machine_ptr_s(a);
            const machine_ptr_s sb = machine_ptr_s(b);
            bool value = false;
            switch (opcode) {
            case 0x29: value = sa == sb; break;
            case 0x2A: value = sa >= sb; break;
            case 0x2B: value = sa > sb; break;
            case 0x2C: value = sa <= sb; break;
            case 0x2D: value = sa < sb; break;
            default: value = sa != sb; break;
            }
            DW_PUSH(machine_ptr(value ? 1 : 0));
            break;
        }
        case 0x94:    // deref_size
        case 0x95: {  // xderef_size
            uint8_t size = 0;
            DW_OPERAND(stream.read_u8(&size));
            if (size != 1 && size != 2 && size != 4 && !(size == 8 && sizeof(machine_ptr) == 8)) {
                return BBCRASH_EINVAL;
            }
            DW_POP(a);
            if (opcode == 0x95) {
                DW_POP(b);
            }
            machine_ptr value = 0;
            if ((err = readTarget(task, byteorder, a, size, &value)) != BBCRASH_ESUCCESS) {
                return err;
            }
            DW_PUSH(value);
            break;
        }
        case 0x96:  // nop
            break;
        default: return BBCRASH_ENOTSUP;
        }
    }
#undef DW_PUSH
#undef DW_POP
#undef DW_OPERAND

    if (!stack.pop(result)) {
        return BBCRASH_EINVAL;
    }
    return BBCRASH_ESUCCESS;
}

template bbcrash_error_t bbcrash_async_dwarf_expression_eval<uint32_t, int32_t>(bbcrash_async_mobject *, task_t,
                                                                                const bbcrash_async_thread_state *,
                                                                                const bbcrash_async_byteorder *,
                                                                                mach_vm_address_t, int64_t, uint64_t,
                                                                                const uint32_t *, size_t, uint32_t *);
template bbcrash_error_t bbcrash_async_dwarf_expression_eval<uint64_t, int64_t>(bbcrash_async_mobject *, task_t,
                                                                                const bbcrash_async_thread_state *,
                                                                                const bbcrash_async_byteorder *,
                                                                                mach_vm_address_t, int64_t, uint64_t,
                                                                                const uint64_t *, size_t, uint64_t *);

}  // namespace bbcrash::BN::async
