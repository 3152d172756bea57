#include "bbcrash_async_compact_unwind.h"

using namespace platform::mach;

namespace {

constexpr uint32_t kModeMask = 0x0F000000;

// x86 and x86_64 (the same fields; registers and unit differ).
constexpr uint32_t kX86ModeFrame = 0x01000000;
constexpr uint32_t kX86ModeStackImmd = 0x02000000;
constexpr uint32_t kX86ModeStackInd = 0x03000000;
constexpr uint32_t kX86ModeDwarf = 0x04000000;
constexpr uint32_t kX86FrameRegisters = 0x00007FFF;
constexpr uint32_t kX86FrameOffset = 0x00FF0000;
constexpr uint32_t kX86FramelessStackSize = 0x00FF0000;
constexpr uint32_t kX86FramelessStackAdjust = 0x0000E000;
constexpr uint32_t kX86FramelessRegCount = 0x00001C00;
constexpr uint32_t kX86FramelessPermutation = 0x000003FF;
constexpr uint32_t kDwarfSectionOffset = 0x00FFFFFF;

// arm64.
constexpr uint32_t kArm64ModeFrameless = 0x02000000;
constexpr uint32_t kArm64ModeDwarf = 0x03000000;
constexpr uint32_t kArm64ModeFrame = 0x04000000;
constexpr uint32_t kArm64FramelessStackSize = 0x00FFF000;
constexpr bbcrash_regnum_t kArm64LinkRegister = 32;

constexpr uint32_t kSecondLevelRegular = 2;
constexpr uint32_t kSecondLevelCompressed = 3;

constexpr uint32_t fieldOf(uint32_t value, uint32_t mask) { return (value & mask) >> __builtin_ctz(mask); }

// Largest i in [0, count) whose key is <= pc, the way the section's lookup
// defines it: a pc beyond the last key resolves to that key's entry.
template <typename KeyAt>
bbcrash_error_t searchEntries(uint32_t count, uint32_t pc, KeyAt keyAt, uint32_t *result) {
    int64_t low = 0;
    int64_t high = int64_t(count) - 1;
    while (low <= high) {
        const int64_t mid = (low + high) / 2;
        const uint32_t key = keyAt(uint32_t(mid));
        if (key < pc) {
            if (mid == high || keyAt(uint32_t(mid + 1)) > pc) {
                *result = uint32_t(mid);
                return BBCRASH_ESUCCESS;
            }
            low = mid + 1;
        } else if (key > pc) {
            if (mid == 0) {
                return BBCRASH_ENOTFOUND;
            }
            high = mid - 1;
        } else {
            *result = uint32_t(mid);
            return BBCRASH_ESUCCESS;
        }
    }
    return BBCRASH_ENOTFOUND;
}

// A pointer to `length` bytes at `offset` into the section, or null.
const uint8_t *sectionBytes(bbcrash_async_unwind_info_reader *reader, uint64_t offset, uint64_t length) {
    if (offset > uint64_t(INT64_MAX)) {
        return nullptr;
    }
    return static_cast<const uint8_t *>(
        bbcrash_async_mobject_remap(reader->mobj, reader->mobj->task_address, int64_t(offset), length));
}

}  // namespace

bbcrash_error_t bbcrash_async_unwind_info_reader_init(bbcrash_async_unwind_info_reader *reader,
                                                      bbcrash_async_mobject *mobj, int32_t cputype) {
    if (cputype != CPU_TYPE_X86 && cputype != CPU_TYPE_X86_64 && cputype != CPU_TYPE_ARM64) {
        return BBCRASH_ENOTSUP;
    }
    reader->mobj = mobj;
    reader->cputype = cputype;
    reader->byteorder = bbcrash_async_byteorder_native();
    const uint8_t *p = sectionBytes(reader, 0, sizeof(reader->header));
    if (p == nullptr) {
        return BBCRASH_EINVAL;
    }
    uint32_t words[7];
    for (int i = 0; i < 7; i++) {
        words[i] = bbcrash_async_load32(reader->byteorder, p + 4 * i);
    }
    reader->header = {words[0], words[1], words[2], words[3], words[4], words[5], words[6]};
    if (reader->header.version != 1) {
        return BBCRASH_ENOTSUP;
    }
    return BBCRASH_ESUCCESS;
}

namespace {

// A second-level page: its header (`headerSize` bytes: kind, entry-array
// offset and entry count, then what the kind adds) and its entries of
// `entrySize` bytes, all inside the section.
struct Page {
    const uint8_t *header;
    const uint8_t *entries;
    uint16_t count;
};

bbcrash_error_t mapPage(bbcrash_async_unwind_info_reader *reader, uint32_t pageOffset, uint64_t headerSize,
                        uint64_t entrySize, Page *page) {
    page->header = sectionBytes(reader, pageOffset, headerSize);
    if (page->header == nullptr) {
        return BBCRASH_EINVAL;
    }
    const uint16_t entriesOffset = bbcrash_async_load16(reader->byteorder, page->header + 4);
    page->count = bbcrash_async_load16(reader->byteorder, page->header + 6);
    page->entries = sectionBytes(reader, uint64_t(pageOffset) + entriesOffset, uint64_t(page->count) * entrySize);
    return page->entries == nullptr ? BBCRASH_EINVAL : BBCRASH_ESUCCESS;
}

}  // namespace

bbcrash_error_t bbcrash_async_unwind_info_reader_find_pc(bbcrash_async_unwind_info_reader *reader, uint32_t pc,
                                                         uint32_t *function_base, uint32_t *encoding) {
    const auto &hdr = reader->header;
    const uint8_t *common = sectionBytes(reader, hdr.common_encodings_offset, uint64_t(hdr.common_encodings_count) * 4);
    if (common == nullptr && hdr.common_encodings_count != 0) {
        return BBCRASH_EINVAL;
    }

    // First level: index_count entries of 12 bytes, the last a terminator.
    const uint8_t *index = sectionBytes(reader, hdr.index_offset, uint64_t(hdr.index_count) * 12);
    if (index == nullptr) {
        return BBCRASH_EINVAL;
    }
    if (hdr.index_count < 2) {
        return BBCRASH_ENOTFOUND;
    }
    uint32_t first = 0;
    bbcrash_error_t err = searchEntries(
        hdr.index_count - 1, pc,
        [&](uint32_t i) { return bbcrash_async_load32(reader->byteorder, index + 12 * uint64_t(i)); }, &first);
    if (err != BBCRASH_ESUCCESS) {
        return err;
    }
    const uint32_t firstFunction = bbcrash_async_load32(reader->byteorder, index + 12 * uint64_t(first));
    const uint32_t pageOffset = bbcrash_async_load32(reader->byteorder, index + 12 * uint64_t(first) + 4);

    const uint8_t *kindBytes = sectionBytes(reader, pageOffset, 4);
    if (kindBytes == nullptr) {
        return BBCRASH_EINVAL;
    }
    const uint32_t kind = bbcrash_async_load32(reader->byteorder, kindBytes);
    Page page;
    uint32_t found = 0;

    if (kind == kSecondLevelCompressed) {
        // Entries: function offset from the first-level entry's in the low
        // 24 bits, encoding index in the high 8.
        if ((err = mapPage(reader, pageOffset, 12, 4, &page)) != BBCRASH_ESUCCESS) {
            return err;
        }
        const uint16_t encodingsOffset = bbcrash_async_load16(reader->byteorder, page.header + 8);
        const uint16_t encodingsCount = bbcrash_async_load16(reader->byteorder, page.header + 10);
        const uint8_t *encodings =
            sectionBytes(reader, uint64_t(pageOffset) + encodingsOffset, uint64_t(encodingsCount) * 4);
        if (encodings == nullptr && encodingsCount != 0) {
            return BBCRASH_EINVAL;
        }
        auto functionAt = [&](uint32_t i) {
            return (bbcrash_async_load32(reader->byteorder, page.entries + 4 * uint64_t(i)) & 0x00FFFFFF) +
                   firstFunction;
        };
        if ((err = searchEntries(page.count, pc, functionAt, &found)) != BBCRASH_ESUCCESS) {
            return err;
        }
        const uint32_t encodingIndex =
            bbcrash_async_load32(reader->byteorder, page.entries + 4 * uint64_t(found)) >> 24;
        if (encodingIndex < hdr.common_encodings_count) {
            *encoding = bbcrash_async_load32(reader->byteorder, common + 4 * uint64_t(encodingIndex));
        } else {
            const uint32_t local = encodingIndex - hdr.common_encodings_count;
            if (local >= encodingsCount) {
                return BBCRASH_EINVAL;
            }
            *encoding = bbcrash_async_load32(reader->byteorder, encodings + 4 * uint64_t(local));
        }
        *function_base = functionAt(found);
        return BBCRASH_ESUCCESS;
    }

    if (kind == kSecondLevelRegular) {
        // Entries: function offset from the image's header, encoding.
        if ((err = mapPage(reader, pageOffset, 8, 8, &page)) != BBCRASH_ESUCCESS) {
            return err;
        }
        auto functionAt = [&](uint32_t i) {
            return bbcrash_async_load32(reader->byteorder, page.entries + 8 * uint64_t(i));
        };
        if ((err = searchEntries(page.count, pc, functionAt, &found)) != BBCRASH_ESUCCESS) {
            return err;
        }
        *function_base = functionAt(found);
        *encoding = bbcrash_async_load32(reader->byteorder, page.entries + 8 * uint64_t(found) + 4);
        return BBCRASH_ESUCCESS;
    }
    return BBCRASH_EINVAL;
}

void bbcrash_async_unwind_info_reader_free(bbcrash_async_unwind_info_reader *) {}

bbcrash_error_t bbcrash_async_unwind_permutation_decode(uint32_t permutation, uint32_t count, uint32_t *registers) {
    if (count > 6) {
        return BBCRASH_EINVAL;
    }
    uint32_t digits[6] = {0, 0, 0, 0, 0, 0};
    const uint32_t p = permutation;
    switch (count) {
    case 6:
    case 5:
        digits[0] = p / 120;
        digits[1] = p % 120 / 24;
        digits[2] = p % 120 % 24 / 6;
        digits[3] = p % 120 % 24 % 6 / 2;
        digits[4] = p % 2;
        digits[5] = 0;
        break;
    case 4:
        digits[0] = p / 60;
        digits[1] = p % 60 / 12;
        digits[2] = p % 60 % 12 / 3;
        digits[3] = p % 60 % 12 % 3;
        break;
    case 3:
        digits[0] = p / 20;
        digits[1] = p % 20 / 4;
        digits[2] = p % 4;
        break;
    case 2:
        digits[0] = p / 5;
        digits[1] = p % 5;
        break;
    case 1: digits[0] = p; break;
    default: return BBCRASH_ESUCCESS;
    }

    // Each digit picks among the registers not taken yet, in increasing
    // order. A digit past the last free register names nothing: the encoding
    // is corrupt, and leaving the slot unset would restore garbage.
    bool used[7] = {};
    for (uint32_t i = 0; i < count; i++) {
        uint32_t free = 0;
        uint32_t chosen = 0;
        for (uint32_t r = 1; r <= 6; r++) {
            if (used[r]) {
                continue;
            }
            if (free == digits[i]) {
                chosen = r;
                break;
            }
            free++;
        }
        if (chosen == 0) {
            return BBCRASH_EINVAL;
        }
        used[chosen] = true;
        registers[i] = chosen;
    }
    return BBCRASH_ESUCCESS;
}

bbcrash_error_t bbcrash_async_unwind_map_register(int32_t cputype, uint32_t compact, bbcrash_regnum_t *regnum) {
    static const bbcrash_regnum_t x86_64[7] = {BBCRASH_REG_INVALID, BBCRASH_X86_64_RBX, BBCRASH_X86_64_R12,
                                               BBCRASH_X86_64_R13,  BBCRASH_X86_64_R14, BBCRASH_X86_64_R15,
                                               BBCRASH_X86_64_RBP};
    static const bbcrash_regnum_t x86[7] = {BBCRASH_REG_INVALID, BBCRASH_X86_EBX, BBCRASH_X86_ECX, BBCRASH_X86_EDX,
                                            BBCRASH_X86_EDI,     BBCRASH_X86_ESI, BBCRASH_X86_EBP};
    if (cputype != CPU_TYPE_X86 && cputype != CPU_TYPE_X86_64) {
        return BBCRASH_ENOTSUP;
    }
    if (compact > 6) {
        return BBCRASH_EINVAL;
    }
    *regnum = cputype == CPU_TYPE_X86_64 ? x86_64[compact] : x86[compact];
    return BBCRASH_ESUCCESS;
}

namespace {

bbcrash_error_t initX86(bbcrash_async_unwind_entry *entry, int32_t cputype, uint32_t encoding) {
    const int64_t unit = cputype == CPU_TYPE_X86_64 ? 8 : 4;
    switch (encoding & kModeMask) {
    case 0: entry->type = UNWIND_ENTRY_NONE; return BBCRASH_ESUCCESS;
    case kX86ModeFrame: {
        entry->type = UNWIND_ENTRY_FRAME_PTR;
        entry->stack_offset = -int64_t(fieldOf(encoding, kX86FrameOffset)) * unit;
        uint32_t regs = encoding & kX86FrameRegisters;
        for (uint32_t i = 0; regs != 0 && i < 5; i++, regs >>= 3) {
            bbcrash_error_t err = bbcrash_async_unwind_map_register(cputype, regs & 0x7, &entry->register_list[i]);
            if (err != BBCRASH_ESUCCESS) {
                return err;
            }
            entry->register_count = i + 1;
        }
        return BBCRASH_ESUCCESS;
    }
    case kX86ModeStackImmd:
    case kX86ModeStackInd: {
        const bool immediate = (encoding & kModeMask) == kX86ModeStackImmd;
        entry->type = immediate ? UNWIND_ENTRY_FRAMELESS_IMMD : UNWIND_ENTRY_FRAMELESS_INDIRECT;
        const int64_t size = fieldOf(encoding, kX86FramelessStackSize);
        entry->stack_offset = immediate ? size * unit : size;
        entry->stack_adjust = immediate ? 0 : uint32_t(fieldOf(encoding, kX86FramelessStackAdjust) * unit);
        const uint32_t count = fieldOf(encoding, kX86FramelessRegCount);
        uint32_t compact[6];
        bbcrash_error_t err =
            bbcrash_async_unwind_permutation_decode(fieldOf(encoding, kX86FramelessPermutation), count, compact);
        if (err != BBCRASH_ESUCCESS) {
            return err;
        }
        for (uint32_t i = 0; i < count; i++) {
            if ((err = bbcrash_async_unwind_map_register(cputype, compact[i], &entry->register_list[i])) !=
                BBCRASH_ESUCCESS) {
                return err;
            }
        }
        entry->register_count = count;
        return BBCRASH_ESUCCESS;
    }
    case kX86ModeDwarf:
        entry->type = UNWIND_ENTRY_DWARF;
        entry->stack_offset = encoding & kDwarfSectionOffset;
        return BBCRASH_ESUCCESS;
    default: return BBCRASH_ENOTSUP;
    }
}

bbcrash_error_t initArm64(bbcrash_async_unwind_entry *entry, uint32_t encoding) {
    const uint32_t mode = encoding & kModeMask;
    switch (mode) {
    case 0: entry->type = UNWIND_ENTRY_NONE; return BBCRASH_ESUCCESS;
    case kArm64ModeDwarf:
        entry->type = UNWIND_ENTRY_DWARF;
        entry->stack_offset = encoding & kDwarfSectionOffset;
        return BBCRASH_ESUCCESS;
    case kArm64ModeFrameless:
    case kArm64ModeFrame: break;
    default: return BBCRASH_ENOTSUP;
    }
    // Saved pairs, lowest address first: x28/x27 down to x20/x19
    // (x0-x28 are registers 3-31).
    static const struct {
        uint32_t bit;
        bbcrash_regnum_t first;
        bbcrash_regnum_t second;
    } pairs[] = {{0x10, 31, 30}, {0x08, 29, 28}, {0x04, 27, 26}, {0x02, 25, 24}, {0x01, 23, 22}};
    uint32_t count = 0;
    for (const auto &pair : pairs) {
        if (encoding & pair.bit) {
            entry->register_list[count++] = pair.first;
            entry->register_list[count++] = pair.second;
        }
    }
    entry->register_count = count;
    if (mode == kArm64ModeFrameless) {
        entry->type = UNWIND_ENTRY_FRAMELESS_IMMD;
        entry->stack_offset = int64_t(fieldOf(encoding, kArm64FramelessStackSize)) * 16;
        entry->return_address_register = kArm64LinkRegister;
    } else {
        entry->type = UNWIND_ENTRY_FRAME_PTR;
        entry->stack_offset = -int64_t(count) * 8;
    }
    return BBCRASH_ESUCCESS;
}

}  // namespace

bbcrash_error_t bbcrash_async_unwind_entry_init(bbcrash_async_unwind_entry *entry, int32_t cputype, uint32_t encoding) {
    entry->type = UNWIND_ENTRY_NONE;
    entry->cputype = cputype;
    entry->stack_offset = 0;
    entry->stack_adjust = 0;
    entry->return_address_register = BBCRASH_REG_INVALID;
    entry->register_count = 0;
    for (auto &reg : entry->register_list) {
        reg = BBCRASH_REG_INVALID;
    }
    switch (cputype) {
    case CPU_TYPE_X86:
    case CPU_TYPE_X86_64: return initX86(entry, cputype, encoding);
    case CPU_TYPE_ARM64: return initArm64(entry, encoding);
    default: return BBCRASH_ENOTSUP;
    }
}

bbcrash_async_unwind_entry_type_t bbcrash_async_unwind_entry_type(const bbcrash_async_unwind_entry *entry) {
    return entry->type;
}

void bbcrash_async_unwind_entry_free(bbcrash_async_unwind_entry *) {}

namespace {

// a + b in the state's word width; false when it wraps.
bool addAddress(size_t greg, uint64_t a, int64_t b, uint64_t *out) {
    uint64_t sum;
    if (b >= 0 ? __builtin_add_overflow(a, uint64_t(b), &sum)
               : __builtin_sub_overflow(a, uint64_t(0) - uint64_t(b), &sum)) {
        return false;
    }
    if (greg == 4 && sum > UINT32_MAX) {
        return false;
    }
    *out = sum;
    return true;
}

bbcrash_error_t readWord(task_t task, size_t greg, uint64_t address, uint64_t *value) {
    if (greg == 4) {
        uint32_t v32;
        bbcrash_error_t err = bbcrash_async_task_read(task, address, 0, &v32, 4);
        *value = v32;
        return err;
    }
    return bbcrash_async_task_read(task, address, 0, value, 8);
}

// Whether the entry's registers belong to the state's set: its CPU must be
// the state's and every listed register a register of that set.
bool entryFitsState(const bbcrash_async_unwind_entry *entry, const bbcrash_async_thread_state *state) {
    const size_t greg = bbcrash_async_thread_state_get_greg_size(state);
    const bool is64 = bbcrash_async_thread_state_get_reg_count(state) == BBCRASH_X86_64_REG_COUNT;
    if (entry->cputype == CPU_TYPE_X86_64) {
        if (!is64 || greg != 8) {
            return false;
        }
    } else if (entry->cputype == CPU_TYPE_X86) {
        if (is64 || greg != 4) {
            return false;
        }
    } else {
        return false;  // no register set of this state holds arm64 registers
    }
    if (entry->register_count > BBCRASH_ASYNC_UNWIND_MAX_SAVED_REGS) {
        return false;
    }
    for (uint32_t i = 0; i < entry->register_count; i++) {
        const bbcrash_regnum_t reg = entry->register_list[i];
        if (reg != BBCRASH_REG_INVALID && !bbcrash_async_thread_state_valid_regnum(state, reg)) {
            return false;
        }
    }
    return entry->return_address_register == BBCRASH_REG_INVALID ||
           bbcrash_async_thread_state_valid_regnum(state, entry->return_address_register);
}

}  // namespace

bbcrash_error_t bbcrash_async_unwind_entry_apply(task_t task, uint64_t function_address,
                                                 const bbcrash_async_thread_state *state,
                                                 const bbcrash_async_unwind_entry *entry,
                                                 bbcrash_async_thread_state *new_state) {
    if (entry->type == UNWIND_ENTRY_DWARF || entry->type == UNWIND_ENTRY_NONE) {
        return BBCRASH_ENOTSUP;
    }
    if (!entryFitsState(entry, state)) {
        return BBCRASH_EINVAL;
    }
    const size_t greg = bbcrash_async_thread_state_get_greg_size(state);
    bbcrash_async_thread_state_copy(new_state, state);
    bbcrash_async_thread_state_clear_volatile_regs(new_state);
    new_state->interrupted = false;

    uint64_t base = 0;
    bbcrash_error_t err;
    switch (entry->type) {
    case UNWIND_ENTRY_FRAME_PTR: {
        if (!bbcrash_async_thread_state_has_reg(state, BBCRASH_REG_FP)) {
            return BBCRASH_ENOTFOUND;
        }
        const uint64_t fp = bbcrash_async_thread_state_get_reg(state, BBCRASH_REG_FP);
        uint64_t newSp = 0;
        uint64_t returnSlot = 0;
        if (!addAddress(greg, fp, entry->stack_offset, &base) || !addAddress(greg, fp, int64_t(2 * greg), &newSp) ||
            !addAddress(greg, fp, int64_t(greg), &returnSlot)) {
            return BBCRASH_EINVAL;
        }
        uint64_t newFp = 0;
        uint64_t newIp = 0;
        if ((err = readWord(task, greg, fp, &newFp)) != BBCRASH_ESUCCESS ||
            (err = readWord(task, greg, returnSlot, &newIp)) != BBCRASH_ESUCCESS) {
            return err;
        }
        bbcrash_async_thread_state_set_reg(new_state, BBCRASH_REG_FP, newFp);
        bbcrash_async_thread_state_set_reg(new_state, BBCRASH_REG_SP, newSp);
        bbcrash_async_thread_state_set_reg(new_state, BBCRASH_REG_IP, newIp);
        break;
    }
    case UNWIND_ENTRY_FRAMELESS_IMMD:
    case UNWIND_ENTRY_FRAMELESS_INDIRECT: {
        if (!bbcrash_async_thread_state_has_reg(state, BBCRASH_REG_SP)) {
            return BBCRASH_ENOTFOUND;
        }
        const uint64_t sp = bbcrash_async_thread_state_get_reg(state, BBCRASH_REG_SP);
        uint64_t stackSize = uint64_t(entry->stack_offset);
        if (entry->type == UNWIND_ENTRY_FRAMELESS_INDIRECT) {
            uint64_t immediateAddress = 0;
            uint32_t immediate = 0;
            if (!addAddress(8, function_address, entry->stack_offset, &immediateAddress)) {
                return BBCRASH_EINVAL;
            }
            if ((err = bbcrash_async_task_read(task, immediateAddress, 0, &immediate, 4)) != BBCRASH_ESUCCESS) {
                return err;
            }
            stackSize = uint64_t(immediate) + entry->stack_adjust;
        }
        uint64_t newSp = 0;
        if (stackSize > uint64_t(INT64_MAX) || !addAddress(greg, sp, int64_t(stackSize), &newSp)) {
            return BBCRASH_EINVAL;
        }
        const int64_t savedBytes = int64_t(entry->register_count) * int64_t(greg);
        uint64_t newIp = 0;
        if (entry->return_address_register != BBCRASH_REG_INVALID) {
            if (!bbcrash_async_thread_state_has_reg(state, entry->return_address_register)) {
                return BBCRASH_ENOTFOUND;
            }
            newIp = bbcrash_async_thread_state_get_reg(state, entry->return_address_register);
            if (!addAddress(greg, newSp, -savedBytes, &base)) {
                return BBCRASH_EINVAL;
            }
        } else {
            uint64_t returnSlot = 0;
            if (!addAddress(greg, newSp, -int64_t(greg), &returnSlot) ||
                !addAddress(greg, returnSlot, -savedBytes, &base)) {
                return BBCRASH_EINVAL;
            }
            if ((err = readWord(task, greg, returnSlot, &newIp)) != BBCRASH_ESUCCESS) {
                return err;
            }
        }
        bbcrash_async_thread_state_set_reg(new_state, BBCRASH_REG_SP, newSp);
        bbcrash_async_thread_state_set_reg(new_state, BBCRASH_REG_IP, newIp);
        break;
    }
    default: return BBCRASH_ENOTSUP;
    }

    for (uint32_t i = 0; i < entry->register_count; i++) {
        const bbcrash_regnum_t reg = entry->register_list[i];
        if (reg == BBCRASH_REG_INVALID) {
            continue;
        }
        uint64_t slot = 0;
        uint64_t value = 0;
        if (!addAddress(greg, base, int64_t(i) * int64_t(greg), &slot)) {
            return BBCRASH_EINVAL;
        }
        if ((err = readWord(task, greg, slot, &value)) != BBCRASH_ESUCCESS) {
            return err;
        }
        bbcrash_async_thread_state_set_reg(new_state, reg, value);
    }
    return BBCRASH_ESUCCESS;
}
