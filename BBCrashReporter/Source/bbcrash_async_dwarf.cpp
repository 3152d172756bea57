#include "bbcrash_async_dwarf.h"

#include "bbcrash_dwarf_instruction_stream.h"

using namespace platform::mach;

namespace bbcrash::BN::async {

namespace {

// The length field of a CIE or FDE: 32-bit, or 0xffffffff and a 64-bit
// length after it (64-bit DWARF).
struct EntryHeader {
    uint64_t length;
    uint64_t header_size;  // 4 or 12
    bool dwarf64;
};

bbcrash_error_t readEntryHeader(bbcrash_async_mobject *mobj, const bbcrash_async_byteorder *byteorder,
                                mach_vm_address_t address, EntryHeader *header) {
    uint32_t length32 = 0;
    if (bbcrash_async_mobject_read_uint32(mobj, byteorder, address, 0, &length32) != BBCRASH_ESUCCESS) {
        return BBCRASH_EINVAL;
    }
    if (length32 == 0xffffffff) {
        uint64_t length64 = 0;
        if (bbcrash_async_mobject_read_uint64(mobj, byteorder, address, 4, &length64) != BBCRASH_ESUCCESS) {
            return BBCRASH_EINVAL;
        }
        *header = {length64, 12, true};
    } else {
        *header = {length32, 4, false};
    }
    return BBCRASH_ESUCCESS;
}

bool add(uint64_t a, uint64_t b, uint64_t *out) { return !__builtin_add_overflow(a, b, out); }

}  // namespace

bbcrash_error_t bbcrash_async_dwarf_read_offset(bbcrash_async_mobject *mobj, const bbcrash_async_byteorder *byteorder,
                                                mach_vm_address_t address, int64_t offset, size_t size,
                                                uint64_t *result) {
    bbcrash_error_t err;
    switch (size) {
    case 1: {
        uint8_t v = 0;
        err = bbcrash_async_mobject_read_uint8(mobj, byteorder, address, offset, &v);
        *result = v;
        return err;
    }
    case 2: {
        uint16_t v = 0;
        err = bbcrash_async_mobject_read_uint16(mobj, byteorder, address, offset, &v);
        *result = v;
        return err;
    }
    case 4: {
        uint32_t v = 0;
        err = bbcrash_async_mobject_read_uint32(mobj, byteorder, address, offset, &v);
        *result = v;
        return err;
    }
    case 8: return bbcrash_async_mobject_read_uint64(mobj, byteorder, address, offset, result);
    default: return BBCRASH_EINVAL;
    }
}

template <typename machine_ptr>
bbcrash_error_t bbcrash_async_dwarf_cie_info_init(bbcrash_async_dwarf_cie_info *info, bbcrash_async_mobject *mobj,
                                                  const bbcrash_async_byteorder *byteorder,
                                                  const gnu_ehptr_reader<machine_ptr> *ptr_reader,
                                                  mach_vm_address_t address) {
    *info = bbcrash_async_dwarf_cie_info{};
    const mach_vm_address_t sectionStart = bbcrash_async_mobject_base_address(mobj);
    EntryHeader header;
    bbcrash_error_t err = readEntryHeader(mobj, byteorder, address, &header);
    if (err != BBCRASH_ESUCCESS) {
        return err;
    }
    uint64_t content = 0;
    uint64_t end = 0;
    if (!add(address, header.header_size, &content) || !add(content, header.length, &end) || content < sectionStart) {
        return BBCRASH_EINVAL;
    }
    info->cie_offset = content - sectionStart;
    info->cie_length = header.length;

    const size_t idSize = header.dwarf64 ? 8 : 4;
    if ((err = bbcrash_async_dwarf_read_offset(mobj, byteorder, content, 0, idSize, &info->cie_id)) !=
        BBCRASH_ESUCCESS) {
        return err;
    }
    const uint64_t allOnes = header.dwarf64 ? UINT64_MAX : UINT32_MAX;
    if (info->cie_id != 0 && info->cie_id != allOnes) {
        return BBCRASH_EINVAL;
    }
    uint64_t pos = content + idSize;

    if ((err = bbcrash_async_mobject_read_uint8(mobj, byteorder, pos, 0, &info->cie_version)) != BBCRASH_ESUCCESS) {
        return err;
    }
    if (info->cie_version != 1 && info->cie_version != 3 && info->cie_version != 4) {
        return BBCRASH_EINVAL;
    }
    pos++;

    // The augmentation string, NUL-terminated within the CIE.
    const uint64_t augmentation = pos;
    uint64_t augmentationLength = 0;
    for (;;) {
        if (pos >= end) {
            return BBCRASH_EINVAL;
        }
        uint8_t c = 0;
        if ((err = bbcrash_async_mobject_read_uint8(mobj, byteorder, pos, 0, &c)) != BBCRASH_ESUCCESS) {
            return err;
        }
        pos++;
        if (c == 0) {
            break;
        }
        augmentationLength++;
    }
    if (augmentationLength > 0) {
        uint8_t first = 0;
        bbcrash_async_mobject_read_uint8(mobj, byteorder, augmentation, 0, &first);
        if (first != 'z') {
            return BBCRASH_ENOTSUP;
        }
        info->has_eh_augmentation = true;
    }

    if (info->cie_version == 4) {
        if ((err = bbcrash_async_mobject_read_uint8(mobj, byteorder, pos, 0, &info->address_size)) !=
                BBCRASH_ESUCCESS ||
            (err = bbcrash_async_mobject_read_uint8(mobj, byteorder, pos, 1, &info->segment_size)) !=
                BBCRASH_ESUCCESS) {
            return err;
        }
        pos += 2;
    }

    size_t size = 0;
    if ((err = bbcrash_async_mobject_read_uleb128(mobj, pos, 0, &info->code_alignment_factor, &size)) !=
        BBCRASH_ESUCCESS) {
        return err;
    }
    pos += size;
    if ((err = bbcrash_async_mobject_read_sleb128(mobj, pos, 0, &info->data_alignment_factor, &size)) !=
        BBCRASH_ESUCCESS) {
        return err;
    }
    pos += size;
    if ((err = bbcrash_async_mobject_read_uleb128(mobj, pos, 0, &info->return_address_register, &size)) !=
        BBCRASH_ESUCCESS) {
        return err;
    }
    pos += size;

    if (info->has_eh_augmentation) {
        uint64_t dataLength = 0;
        if ((err = bbcrash_async_mobject_read_uleb128(mobj, pos, 0, &dataLength, &size)) != BBCRASH_ESUCCESS) {
            return err;
        }
        pos += size;
        uint64_t dataEnd = 0;
        if (!add(pos, dataLength, &dataEnd) || dataEnd > end) {
            return BBCRASH_EINVAL;
        }
        // The characters after 'z' say what the data holds, in order; an
        // unknown one ends the processing (the data is skipped as a whole).
        for (uint64_t i = 1; i < augmentationLength; i++) {
            uint8_t c = 0;
            bbcrash_async_mobject_read_uint8(mobj, byteorder, augmentation, int64_t(i), &c);
            if (c == 'L') {
                if ((err = bbcrash_async_mobject_read_uint8(
                         mobj, byteorder, pos, 0, &info->eh_augmentation.lsda_encoding)) != BBCRASH_ESUCCESS) {
                    return err;
                }
                info->eh_augmentation.has_lsda_encoding = true;
                pos += 1;
            } else if (c == 'P') {
                uint8_t encoding = 0;
                if ((err = bbcrash_async_mobject_read_uint8(mobj, byteorder, pos, 0, &encoding)) != BBCRASH_ESUCCESS) {
                    return err;
                }
                pos += 1;
                machine_ptr personality = 0;
                if ((err = ptr_reader->read(mobj, pos, 0, encoding, &personality, &size)) != BBCRASH_ESUCCESS) {
                    return err;
                }
                pos += size;
                info->eh_augmentation.has_personality_address = true;
                info->eh_augmentation.personality_address = personality;
            } else if (c == 'R') {
                if ((err = bbcrash_async_mobject_read_uint8(
                         mobj, byteorder, pos, 0, &info->eh_augmentation.pointer_encoding)) != BBCRASH_ESUCCESS) {
                    return err;
                }
                info->eh_augmentation.has_pointer_encoding = true;
                pos += 1;
            } else if (c == 'S') {
                info->eh_augmentation.signal_frame = true;
            } else {
                break;
            }
            if (pos > dataEnd) {
                return BBCRASH_EINVAL;
            }
        }
        pos = dataEnd;
    }

    const uint64_t consumed = pos - content;
    if (consumed > header.length) {
        return BBCRASH_EINVAL;
    }
    info->initial_instructions_offset = pos - sectionStart;
    info->initial_instructions_length = header.length - consumed;
    return BBCRASH_ESUCCESS;
}

namespace {

// The CIEs an FDE scan parsed last: the FDEs of a section share a handful of
// CIEs (often two, taking turns), and each is parsed once per scan rather
// than once per FDE.
struct CieMemo {
    bool valid = false;
    mach_vm_address_t address = 0;
    bbcrash_error_t result = BBCRASH_ESUCCESS;
    bbcrash_async_dwarf_cie_info cie{};
};

struct CieCache {
    static constexpr unsigned kSize = 4;
    CieMemo memos[kSize];
    unsigned next = 0;

    // The memo of the CIE at `address`, or null.
    const CieMemo *find(mach_vm_address_t address) const {
        for (const auto &memo : memos) {
            if (memo.valid && memo.address == address) {
                return &memo;
            }
        }
        return nullptr;
    }
    // A memo to fill, taking turns.
    CieMemo *slot() {
        CieMemo *memo = &memos[next];
        next = (next + 1) % kSize;
        return memo;
    }
};

template <typename machine_ptr>
bbcrash_error_t parseFde(bbcrash_async_dwarf_fde_info *info, bbcrash_async_mobject *mobj,
                         const bbcrash_async_byteorder *byteorder, mach_vm_address_t address, bool debug_frame,
                         CieCache *cache);

}  // namespace

template <typename machine_ptr>
bbcrash_error_t bbcrash_async_dwarf_fde_info_init(bbcrash_async_dwarf_fde_info *info, bbcrash_async_mobject *mobj,
                                                  const bbcrash_async_byteorder *byteorder, mach_vm_address_t address,
                                                  bool debug_frame) {
    CieCache cache;
    return parseFde<machine_ptr>(info, mobj, byteorder, address, debug_frame, &cache);
}

namespace {

template <typename machine_ptr>
bbcrash_error_t parseFde(bbcrash_async_dwarf_fde_info *info, bbcrash_async_mobject *mobj,
                         const bbcrash_async_byteorder *byteorder, mach_vm_address_t address, bool debug_frame,
                         CieCache *cache) {
    *info = bbcrash_async_dwarf_fde_info{};
    const mach_vm_address_t sectionStart = bbcrash_async_mobject_base_address(mobj);
    EntryHeader header;
    if (readEntryHeader(mobj, byteorder, address, &header) != BBCRASH_ESUCCESS) {
        return BBCRASH_EINVAL;
    }
    uint64_t content = 0;
    if (!add(address, header.header_size, &content) || content < sectionStart) {
        return BBCRASH_EINVAL;
    }
    info->fde_offset = content - sectionStart;
    info->fde_length = header.length;

    const size_t pointerSize = header.dwarf64 ? 8 : 4;
    uint64_t ciePointer = 0;
    if (bbcrash_async_dwarf_read_offset(mobj, byteorder, content, 0, pointerSize, &ciePointer) != BBCRASH_ESUCCESS) {
        return BBCRASH_EINVAL;
    }
    uint64_t cieAddress = 0;
    if (debug_frame) {
        if (int64_t(ciePointer) < 0 || !add(sectionStart, ciePointer, &cieAddress)) {
            return BBCRASH_EINVAL;
        }
    } else {
        if (ciePointer > content) {
            return BBCRASH_EINVAL;
        }
        cieAddress = content - ciePointer;
    }
    if (cieAddress < sectionStart) {
        return BBCRASH_EINVAL;
    }
    info->cie_offset = cieAddress - sectionStart;

    gnu_ehptr_reader<machine_ptr> ptrReader(byteorder);
    const CieMemo *memo = cache->find(cieAddress);
    if (memo == nullptr) {
        CieMemo *fresh = cache->slot();
        fresh->result = bbcrash_async_dwarf_cie_info_init(&fresh->cie, mobj, byteorder, &ptrReader, cieAddress);
        fresh->address = cieAddress;
        fresh->valid = true;
        memo = fresh;
    }
    bbcrash_error_t err = memo->result;
    if (err != BBCRASH_ESUCCESS) {
        return err;
    }
    const bbcrash_async_dwarf_cie_info &cie = memo->cie;

    uint8_t encoding = DW_EH_PE_absptr;
    if (cie.has_eh_augmentation && cie.eh_augmentation.has_pointer_encoding) {
        encoding = cie.eh_augmentation.pointer_encoding;
    }
    uint64_t pos = content + pointerSize;
    machine_ptr pcStart = 0;
    machine_ptr pcRange = 0;
    size_t size = 0;
    if ((err = ptrReader.read(mobj, pos, 0, encoding, &pcStart, &size)) != BBCRASH_ESUCCESS) {
        return err;
    }
    pos += size;
    if ((err = ptrReader.read(mobj, pos, 0, encoding & 0x0F, &pcRange, &size)) != BBCRASH_ESUCCESS) {
        return err;
    }
    pos += size;
    machine_ptr pcEnd = 0;
    if (__builtin_add_overflow(pcStart, pcRange, &pcEnd)) {
        return BBCRASH_EINVAL;
    }
    info->pc_start = pcStart;
    info->pc_end = pcEnd;

    if (cie.has_eh_augmentation) {
        uint64_t dataLength = 0;
        if ((err = bbcrash_async_mobject_read_uleb128(mobj, pos, 0, &dataLength, &size)) != BBCRASH_ESUCCESS) {
            return err;
        }
        if (!add(pos + size, dataLength, &pos)) {
            return BBCRASH_EINVAL;
        }
    }
    info->instructions_offset = pos - sectionStart;
    const uint64_t used = info->instructions_offset - info->fde_offset;
    if (used > info->fde_length) {
        return BBCRASH_EINVAL;
    }
    info->instructions_length = info->fde_length - used;
    return BBCRASH_ESUCCESS;
}

}  // namespace

void bbcrash_async_dwarf_frame_reader_init(bbcrash_async_dwarf_frame_reader *reader, bbcrash_async_mobject *mobj,
                                           const bbcrash_async_byteorder *byteorder, bool m64, bool debug_frame) {
    reader->mobj = mobj;
    reader->byteorder = byteorder;
    reader->m64 = m64;
    reader->debug_frame = debug_frame;
}

namespace {

// The range of an FDE of the most common kind, read straight from the
// section's bytes: eh_frame, native byte order, 64-bit words, a 32-bit
// length, and a CIE (parsed already, in the cache) with 'z' and pointers that
// are pc-relative signed 32-bit. For such an FDE this gives what parseFde
// gives; anything else, or anything parseFde would refuse, answers false and
// is left to parseFde.
bool quickFdeRange(const bbcrash_async_dwarf_frame_reader *reader, mach_vm_address_t entry, uint64_t length,
                   uint64_t id, const CieCache &cache, uint64_t *pcStart, uint64_t *pcEnd) {
    constexpr uint8_t kPcRelSdata4 = DW_EH_PE_pcrel | DW_EH_PE_sdata4;
    bbcrash_async_mobject *mobj = reader->mobj;
    const mach_vm_address_t content = entry + 4;
    if (reader->debug_frame || !reader->m64 || reader->byteorder != bbcrash_async_byteorder_native() || id > content) {
        return false;
    }
    const CieMemo *memo = cache.find(content - id);
    if (memo == nullptr || memo->result != BBCRASH_ESUCCESS || !memo->cie.has_eh_augmentation ||
        !memo->cie.eh_augmentation.has_pointer_encoding || memo->cie.eh_augmentation.pointer_encoding != kPcRelSdata4) {
        return false;
    }
    // The two pointers, then at most a 10-byte ULEB128 augmentation length.
    const mach_vm_address_t fields = content + 4;
    const mach_vm_address_t sectionEnd = mobj->task_address + mobj->length;
    if (fields < content || fields > sectionEnd || sectionEnd - fields < 9) {
        return false;
    }
    const uint8_t *p = reinterpret_cast<const uint8_t *>(mobj->address + (fields - mobj->task_address));
    int32_t start32, range32;
    __builtin_memcpy(&start32, p, 4);
    __builtin_memcpy(&range32, p + 4, 4);
    const uint64_t start = fields + uint64_t(int64_t(start32));
    if (__builtin_add_overflow(start, uint64_t(int64_t(range32)), pcEnd)) {
        return false;
    }
    uint64_t dataLength = 0;
    size_t size = 0;
    if (!dwarf_decode_leb128(p + 8, p + (sectionEnd - fields), false, &dataLength, &size)) {
        return false;
    }
    uint64_t end = 0;
    if (__builtin_add_overflow(fields + 8 + size, dataLength, &end) || end - content > length) {
        return false;
    }
    *pcStart = start;
    return true;
}

}  // namespace

bbcrash_error_t bbcrash_async_dwarf_frame_reader_find_fde(bbcrash_async_dwarf_frame_reader *reader, uint64_t offset,
                                                          uint64_t pc, bbcrash_async_dwarf_fde_info *fde) {
    bbcrash_async_mobject *mobj = reader->mobj;
    const mach_vm_address_t sectionStart = bbcrash_async_mobject_base_address(mobj);
    uint64_t sectionEnd = 0;
    uint64_t entry = 0;
    if (!add(sectionStart, bbcrash_async_mobject_length(mobj), &sectionEnd) || !add(sectionStart, offset, &entry) ||
        entry >= sectionEnd) {
        return BBCRASH_EINVAL;
    }
    // Every entry moves the scan forward by at least its 4-byte header, so
    // the loop ends within the section.
    CieCache cache;
    // The section's bytes, for the entries whose 32-bit length and id can be
    // read straight (native byte order); the others go through the object.
    const bool native = reader->byteorder == bbcrash_async_byteorder_native();
    const uint8_t *local = reinterpret_cast<const uint8_t *>(mobj->address) - (sectionStart - mobj->task_address);
    while (entry < sectionEnd) {
        EntryHeader header;
        uint64_t id = 0;
        uint32_t words[2] = {0, 0};  // length and id
        bool straight = native && sectionEnd - entry >= 8;
        if (straight) {
            __builtin_memcpy(words, local + (entry - sectionStart), 8);
            straight = words[0] != 0xffffffff;
        }
        if (straight) {
            header = {words[0], 4, false};
            id = words[1];
        } else {
            if (readEntryHeader(mobj, reader->byteorder, entry, &header) != BBCRASH_ESUCCESS) {
                return BBCRASH_EINVAL;
            }
            if (header.length != 0 &&
                bbcrash_async_dwarf_read_offset(mobj, reader->byteorder, entry + header.header_size, 0,
                                                header.dwarf64 ? 8 : 4, &id) != BBCRASH_ESUCCESS) {
                return BBCRASH_EINVAL;
            }
        }
        if (header.length == 0) {
            return BBCRASH_ENOTFOUND;
        }
        uint64_t next = 0;
        if (!add(entry, header.header_size, &next) || !add(next, header.length, &next)) {
            return BBCRASH_EINVAL;
        }
        const bool isCie = reader->debug_frame ? id == (header.dwarf64 ? UINT64_MAX : UINT32_MAX) : id == 0;
        uint64_t pcStart = 0, pcEnd = 0;
        if (!isCie && !header.dwarf64 && quickFdeRange(reader, entry, header.length, id, cache, &pcStart, &pcEnd)) {
            if (pcStart <= pc && pc < pcEnd) {
                return parseFde<uint64_t>(fde, mobj, reader->byteorder, entry, false, &cache);
            }
        } else if (!isCie) {
            bbcrash_error_t err =
                reader->m64 ? parseFde<uint64_t>(fde, mobj, reader->byteorder, entry, reader->debug_frame, &cache)
                            : parseFde<uint32_t>(fde, mobj, reader->byteorder, entry, reader->debug_frame, &cache);
            if (err != BBCRASH_ESUCCESS) {
                return err;
            }
            if (fde->pc_start <= pc && pc < fde->pc_end) {
                return BBCRASH_ESUCCESS;
            }
        }
        entry = next;
    }
    return BBCRASH_ENOTFOUND;
}

template bbcrash_error_t bbcrash_async_dwarf_cie_info_init<uint32_t>(bbcrash_async_dwarf_cie_info *,
                                                                     bbcrash_async_mobject *,
                                                                     const bbcrash_async_byteorder *,
                                                                     const gnu_ehptr_reader<uint32_t> *,
                                                                     mach_vm_address_t);
template bbcrash_error_t bbcrash_async_dwarf_cie_info_init<uint64_t>(bbcrash_async_dwarf_cie_info *,
                                                                     bbcrash_async_mobject *,
                                                                     const bbcrash_async_byteorder *,
                                                                     const gnu_ehptr_reader<uint64_t> *,
                                                                     mach_vm_address_t);
template bbcrash_error_t bbcrash_async_dwarf_fde_info_init<uint32_t>(bbcrash_async_dwarf_fde_info *,
                                                                     bbcrash_async_mobject *,
                                                                     const bbcrash_async_byteorder *, mach_vm_address_t,
                                                                     bool);
template bbcrash_error_t bbcrash_async_dwarf_fde_info_init<uint64_t>(bbcrash_async_dwarf_fde_info *,
                                                                     bbcrash_async_mobject *,
                                                                     const bbcrash_async_byteorder *, mach_vm_address_t,
                                                                     bool);

}  // namespace bbcrash::BN::async
