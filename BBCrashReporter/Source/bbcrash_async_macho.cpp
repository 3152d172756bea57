#include "bbcrash_async_macho.h"

#include "platform/mach/vm_hold.h"
#include "platform/mach/vm_read.h"

#include <cstring>
#include <new>

using namespace platform::mach;
using namespace platform::dyld;

namespace {

const uint8_t *at(const void *p, size_t offset) { return static_cast<const uint8_t *>(p) + offset; }

uint32_t segmentCommandType(const bbcrash_async_macho *image) { return image->m64 ? LC_SEGMENT_64 : LC_SEGMENT; }
size_t segmentCommandSize(const bbcrash_async_macho *image) {
    return image->m64 ? sizeof(segment_command_64) : sizeof(segment_command);
}

// vmaddr, vmsize, fileoff, filesize and nsects of a verified segment command.
struct SegmentFields {
    uint64_t vmaddr, vmsize, fileoff, filesize;
    uint32_t nsects;
};

SegmentFields readSegment(const bbcrash_async_macho *image, const void *cmd) {
    const bbcrash_async_byteorder *order = image->byteorder;
    if (image->m64) {
        return {bbcrash_async_load64(order, at(cmd, 24)), bbcrash_async_load64(order, at(cmd, 32)),
                bbcrash_async_load64(order, at(cmd, 40)), bbcrash_async_load64(order, at(cmd, 48)),
                bbcrash_async_load32(order, at(cmd, 64))};
    }
    return {bbcrash_async_load32(order, at(cmd, 24)), bbcrash_async_load32(order, at(cmd, 28)),
            bbcrash_async_load32(order, at(cmd, 32)), bbcrash_async_load32(order, at(cmd, 36)),
            bbcrash_async_load32(order, at(cmd, 48))};
}

bool examineSymbolTable(bbcrash_async_macho *image);
void rememberReadableRanges(bbcrash_async_macho *image);
void addReadableRange(bbcrash_async_macho *image, mach_vm_address_t start, mach_vm_size_t length);
bbcrash_error_t findSection(bbcrash_async_macho *image, const char *segname, const char *sectname,
                            mach_vm_address_t *address, mach_vm_size_t *size);

void releaseInitState(bbcrash_async_macho *image) {
    delete[] image->name;
    image->name = nullptr;
}

}  // namespace

bbcrash_error_t bbcrash_async_macho_init(bbcrash_async_macho *image, task_t task, const char *path,
                                         mach_vm_address_t header) {
    return bbcrash_async_macho_init_with_base(image, task, path, header, header);
}

bbcrash_error_t bbcrash_async_macho_init_with_base(bbcrash_async_macho *image, task_t task, const char *path,
                                                   mach_vm_address_t header, mach_vm_address_t image_base) {
    bbcrash_async_memset(image, 0, sizeof(*image));
    image->task = task;
    image->header_addr = header;
    image->image_base = image_base;
    size_t pathLength = path != nullptr ? std::strlen(path) : 0;
    image->name = new (std::nothrow) char[pathLength + 1];
    if (image->name == nullptr) {
        return BBCRASH_ENOMEM;
    }
    if (pathLength != 0) {
        std::memcpy(image->name, path, pathLength);
    }
    image->name[pathLength] = '\0';

    if (bbcrash_async_task_read(task, header, 0, &image->header, sizeof(image->header)) != BBCRASH_ESUCCESS) {
        releaseInitState(image);
        return BBCRASH_EINTERNAL;
    }
    switch (image->header.magic) {
    case MH_MAGIC:
        image->m64 = false;
        image->byteorder = bbcrash_async_byteorder_native();
        image->header_size = sizeof(mach_header);
        break;
    case MH_MAGIC_64:
        image->m64 = true;
        image->byteorder = bbcrash_async_byteorder_native();
        image->header_size = sizeof(mach_header_64);
        break;
    case MH_CIGAM:
        image->m64 = false;
        image->byteorder = bbcrash_async_byteorder_swapped();
        image->header_size = sizeof(mach_header);
        break;
    case MH_CIGAM_64:
        image->m64 = true;
        image->byteorder = bbcrash_async_byteorder_swapped();
        image->header_size = sizeof(mach_header_64);
        break;
    default: releaseInitState(image); return BBCRASH_EINVAL;
    }
    image->ncmds = image->byteorder->swap32(image->header.ncmds);
    uint32_t sizeofcmds = image->byteorder->swap32(image->header.sizeofcmds);

    bbcrash_error_t err =
        bbcrash_async_mobject_init(&image->load_cmds, task, header + image->header_size, sizeofcmds, true);
    if (err != BBCRASH_ESUCCESS) {
        releaseInitState(image);
        return err;
    }

    // The "__TEXT" segment gives the slide and the extent of the image.
    const uint32_t segType = segmentCommandType(image);
    const size_t segSize = segmentCommandSize(image);
    for (void *cmd = bbcrash_async_macho_next_command(image, nullptr); cmd != nullptr;
         cmd = bbcrash_async_macho_next_command(image, cmd)) {
        if (bbcrash_async_load32(image->byteorder, cmd) != segType) {
            continue;
        }
        if (!bbcrash_async_mobject_verify_local_pointer(&image->load_cmds, reinterpret_cast<uintptr_t>(cmd), 0,
                                                        segSize) ||
            bbcrash_async_load32(image->byteorder, at(cmd, 4)) < segSize) {
            break;
        }
        if (bbcrash_async_strncmp(reinterpret_cast<const char *>(at(cmd, 8)), "__TEXT", 16) != 0) {
            continue;
        }
        SegmentFields fields = readSegment(image, cmd);
        image->text_vmaddr = fields.vmaddr;
        image->text_size = fields.vmsize;
        image->vmaddr_slide = static_cast<int64_t>(image_base - fields.vmaddr);
        if (!image->m64) {
            // Word-sized arithmetic for 32-bit images.
            image->vmaddr_slide = static_cast<int64_t>(
                static_cast<int32_t>(static_cast<uint32_t>(image_base) - static_cast<uint32_t>(fields.vmaddr)));
        }
        rememberReadableRanges(image);
        image->symtab_sorted = examineSymbolTable(image);
        return BBCRASH_ESUCCESS;
    }
    bbcrash_async_mobject_free(&image->load_cmds);
    releaseInitState(image);
    return BBCRASH_EINVAL;
}

void bbcrash_async_macho_free(bbcrash_async_macho *image) {
    bbcrash_async_mobject_free(&image->load_cmds);
    releaseInitState(image);
}

bool bbcrash_async_macho_contains_address(bbcrash_async_macho *image, mach_vm_address_t address) {
    // A single unsigned comparison: cannot wrap at the top of the space.
    return address >= image->image_base && address - image->image_base < image->text_size;
}

void *bbcrash_async_macho_next_command(bbcrash_async_macho *image, void *previous) {
    bbcrash_async_mobject *cmds = &image->load_cmds;
    uintptr_t next = 0;
    if (previous == nullptr) {
        if (image->byteorder->swap32(image->header.sizeofcmds) < sizeof(load_command)) {
            return nullptr;
        }
        next = cmds->address;
    } else {
        uint32_t cmdsize = bbcrash_async_load32(image->byteorder, at(previous, 4));
        uintptr_t start = reinterpret_cast<uintptr_t>(previous);
        if (cmdsize < sizeof(load_command) || start + cmdsize < start) {
            return nullptr;
        }
        next = start + cmdsize;
        if (next >= cmds->address + cmds->length) {
            return nullptr;
        }
    }
    if (!bbcrash_async_mobject_verify_local_pointer(cmds, next, 0, sizeof(load_command))) {
        return nullptr;
    }
    uint32_t size = bbcrash_async_load32(image->byteorder, at(reinterpret_cast<void *>(next), 4));
    if (size < sizeof(load_command) || !bbcrash_async_mobject_verify_local_pointer(cmds, next, 0, size)) {
        return nullptr;
    }
    return reinterpret_cast<void *>(next);
}

void *bbcrash_async_macho_find_command(bbcrash_async_macho *image, uint32_t type) {
    for (void *cmd = bbcrash_async_macho_next_command(image, nullptr); cmd != nullptr;
         cmd = bbcrash_async_macho_next_command(image, cmd)) {
        if (bbcrash_async_load32(image->byteorder, cmd) == type) {
            return cmd;
        }
    }
    return nullptr;
}

void *bbcrash_async_macho_find_segment_cmd(bbcrash_async_macho *image, const char *segname) {
    const uint32_t segType = segmentCommandType(image);
    const size_t segSize = segmentCommandSize(image);
    for (void *cmd = bbcrash_async_macho_next_command(image, nullptr); cmd != nullptr;
         cmd = bbcrash_async_macho_next_command(image, cmd)) {
        if (bbcrash_async_load32(image->byteorder, cmd) != segType ||
            bbcrash_async_load32(image->byteorder, at(cmd, 4)) < segSize) {
            continue;
        }
        if (bbcrash_async_strncmp(reinterpret_cast<const char *>(at(cmd, 8)), segname, 16) == 0) {
            return cmd;
        }
    }
    return nullptr;
}

bbcrash_error_t bbcrash_async_macho_map_segment(bbcrash_async_macho *image, const char *segname,
                                                bbcrash_async_macho_mapped_segment *segment) {
    void *cmd = bbcrash_async_macho_find_segment_cmd(image, segname);
    if (cmd == nullptr) {
        return BBCRASH_ENOTFOUND;
    }
    SegmentFields fields = readSegment(image, cmd);
    bbcrash_error_t err = bbcrash_async_mobject_init(
        &segment->mobj, image->task, fields.vmaddr + static_cast<uint64_t>(image->vmaddr_slide), fields.vmsize, false);
    if (err != BBCRASH_ESUCCESS) {
        return err;
    }
    segment->fileoff = fields.fileoff;
    segment->filesize = fields.filesize;
    return BBCRASH_ESUCCESS;
}

void bbcrash_async_macho_mapped_segment_free(bbcrash_async_macho_mapped_segment *segment) {
    bbcrash_async_mobject_free(&segment->mobj);
}

namespace {

// Where a section lies in the task: its addr + slide and its size.
bbcrash_error_t findSection(bbcrash_async_macho *image, const char *segname, const char *sectname,
                            mach_vm_address_t *address, mach_vm_size_t *size) {
    void *cmd = bbcrash_async_macho_find_segment_cmd(image, segname);
    if (cmd == nullptr) {
        return BBCRASH_ENOTFOUND;
    }
    SegmentFields fields = readSegment(image, cmd);
    if (fields.nsects == 0) {
        return BBCRASH_ENOTFOUND;
    }
    const size_t headerSize = image->m64 ? sizeof(section_64) : sizeof(section);
    const uint8_t *sect = at(cmd, segmentCommandSize(image));
    for (uint32_t i = 0; i < fields.nsects; ++i, sect += headerSize) {
        if (!bbcrash_async_mobject_verify_local_pointer(&image->load_cmds, reinterpret_cast<uintptr_t>(sect), 0,
                                                        headerSize)) {
            return BBCRASH_EINVAL;
        }
        if (bbcrash_async_strncmp(reinterpret_cast<const char *>(sect), sectname, 16) != 0) {
            continue;
        }
        const bbcrash_async_byteorder *order = image->byteorder;
        const uint64_t addr =
            image->m64 ? bbcrash_async_load64(order, sect + 32) : bbcrash_async_load32(order, sect + 32);
        *size = image->m64 ? bbcrash_async_load64(order, sect + 40) : bbcrash_async_load32(order, sect + 36);
        *address = addr + static_cast<uint64_t>(image->vmaddr_slide);
        return BBCRASH_ESUCCESS;
    }
    return BBCRASH_ENOTFOUND;
}

// Under a hold, a range inside one found readable when the record was built
// is known readable without asking the kernel again.
void noteKnownReadable(const bbcrash_async_macho *image, mach_vm_address_t address, mach_vm_size_t length) {
    for (uint32_t i = 0; i < image->readable_range_count; ++i) {
        const auto &range = image->readable_ranges[i];
        if (address >= range.start && length <= range.length && address - range.start <= range.length - length) {
            task_memory_note_readable(address, length);
            return;
        }
    }
}

void addReadableRange(bbcrash_async_macho *image, mach_vm_address_t start, mach_vm_size_t length) {
    if (length != 0 && image->readable_range_count < 2 && vm_readable_length(image->task, start, length) == length) {
        image->readable_ranges[image->readable_range_count++] = {start, length};
    }
}

// The compact unwind table; examineSymbolTable adds the symbol tables. (For
// the images the dynamic-loader layer presents, both live in its own
// allocation, which it releases only after the image has left the lists; an
// image's own sections, such as __eh_frame, the loader unmaps before that.)
void rememberReadableRanges(bbcrash_async_macho *image) {
    mach_vm_address_t address = 0;
    mach_vm_size_t size = 0;
    if (findSection(image, "__TEXT", "__unwind_info", &address, &size) == BBCRASH_ESUCCESS) {
        addReadableRange(image, address, size);
    }
}

}  // namespace

bbcrash_error_t bbcrash_async_macho_map_section(bbcrash_async_macho *image, const char *segname, const char *sectname,
                                                bbcrash_async_mobject *mobj) {
    mach_vm_address_t address = 0;
    mach_vm_size_t size = 0;
    const bbcrash_error_t err = findSection(image, segname, sectname, &address, &size);
    if (err != BBCRASH_ESUCCESS) {
        return err;
    }
    noteKnownReadable(image, address, size);
    return bbcrash_async_mobject_init(mobj, image->task, address, size, true);
}

bbcrash_error_t bbcrash_async_macho_symtab_reader_init(bbcrash_async_macho_symtab_reader *reader,
                                                       bbcrash_async_macho *image) {
    bbcrash_async_memset(reader, 0, sizeof(*reader));
    void *symtabCmd = bbcrash_async_macho_find_command(image, LC_SYMTAB);
    if (symtabCmd == nullptr) {
        return BBCRASH_ENOTFOUND;
    }
    if (bbcrash_async_load32(image->byteorder, at(symtabCmd, 4)) < sizeof(symtab_command)) {
        return BBCRASH_EINVAL;
    }
    void *dysymtabCmd = bbcrash_async_macho_find_command(image, LC_DYSYMTAB);
    if (dysymtabCmd != nullptr &&
        bbcrash_async_load32(image->byteorder, at(dysymtabCmd, 4)) < sizeof(dysymtab_command)) {
        return BBCRASH_EINVAL;
    }
    void *linkeditCmd = bbcrash_async_macho_find_segment_cmd(image, "__LINKEDIT");
    if (linkeditCmd == nullptr) {
        return BBCRASH_EINTERNAL;
    }
    const SegmentFields segment = readSegment(image, linkeditCmd);
    const uint64_t fileoff = segment.fileoff;
    const uint32_t symoff = bbcrash_async_load32(image->byteorder, at(symtabCmd, 8));
    const uint32_t nsyms = bbcrash_async_load32(image->byteorder, at(symtabCmd, 12));
    const uint32_t stroff = bbcrash_async_load32(image->byteorder, at(symtabCmd, 16));
    const uint32_t strsize = bbcrash_async_load32(image->byteorder, at(symtabCmd, 20));
    const uint64_t entrySize = image->m64 ? sizeof(nlist_64) : sizeof(nlist);

    // Offsets before the segment's file offset would wrap: refuse them.
    if (symoff < fileoff || stroff < fileoff) {
        return BBCRASH_EINTERNAL;
    }
    // Only the tables' own extent is mapped, never more of the segment than
    // they need: a segment's vmsize is whatever the header says, and a huge
    // one over a large readable mapping would cost a copy of all of it.
    const uint64_t symEnd = uint64_t(symoff) + entrySize * nsyms;  // 64-bit: cannot wrap
    const uint64_t strEnd = uint64_t(stroff) + strsize;
    const uint64_t low = (symoff < stroff ? symoff : stroff) - fileoff;
    const uint64_t high = (symEnd > strEnd ? symEnd : strEnd) - fileoff;
    uint64_t start = 0;
    if (high > segment.vmsize ||
        __builtin_add_overflow(segment.vmaddr + static_cast<uint64_t>(image->vmaddr_slide), low, &start)) {
        return BBCRASH_EINTERNAL;
    }
    if (high > low) {
        noteKnownReadable(image, start, high - low);
        if (bbcrash_async_mobject_init(&reader->linkedit.mobj, image->task, start, high - low, true) !=
            BBCRASH_ESUCCESS) {
            return BBCRASH_EINTERNAL;
        }
    }
    reader->linkedit.fileoff = fileoff;
    reader->linkedit.filesize = segment.filesize;
    bbcrash_async_mobject *linkedit = &reader->linkedit.mobj;
    void *symtab =
        bbcrash_async_mobject_remap(linkedit, start, static_cast<int64_t>(symoff - fileoff - low), entrySize * nsyms);
    void *strtab = bbcrash_async_mobject_remap(linkedit, start, static_cast<int64_t>(stroff - fileoff - low), strsize);
    if ((symtab == nullptr && nsyms != 0) || (strtab == nullptr && strsize != 0)) {
        bbcrash_async_macho_mapped_segment_free(&reader->linkedit);
        return BBCRASH_EINTERNAL;
    }
    reader->image = image;
    reader->symtab = symtab;
    reader->nsyms = nsyms;
    reader->string_table = static_cast<char *>(strtab);
    reader->string_table_size = strsize;

    if (dysymtabCmd != nullptr) {
        const uint64_t ilocal = bbcrash_async_load32(image->byteorder, at(dysymtabCmd, 8));
        const uint64_t nlocal = bbcrash_async_load32(image->byteorder, at(dysymtabCmd, 12));
        const uint64_t iextdef = bbcrash_async_load32(image->byteorder, at(dysymtabCmd, 16));
        const uint64_t nextdef = bbcrash_async_load32(image->byteorder, at(dysymtabCmd, 20));
        // 64-bit sums: two 32-bit counts cannot wrap here.
        if (iextdef + nextdef > nsyms || ilocal + nlocal > nsyms) {
            bbcrash_async_macho_mapped_segment_free(&reader->linkedit);
            bbcrash_async_memset(reader, 0, sizeof(*reader));
            return BBCRASH_EINVAL;
        }
        reader->symtab_global = static_cast<uint8_t *>(symtab) + entrySize * iextdef;
        reader->nsyms_global = static_cast<uint32_t>(nextdef);
        reader->symtab_local = static_cast<uint8_t *>(symtab) + entrySize * ilocal;
        reader->nsyms_local = static_cast<uint32_t>(nlocal);
    }
    return BBCRASH_ESUCCESS;
}

bbcrash_async_macho_symtab_entry_t bbcrash_async_macho_symtab_reader_read(bbcrash_async_macho_symtab_reader *reader,
                                                                          void *symtab, uint32_t index) {
    const bbcrash_async_macho *image = reader->image;
    bbcrash_async_macho_symtab_entry_t entry{};
    if (image->m64) {
        const uint8_t *p = static_cast<const uint8_t *>(symtab) + sizeof(nlist_64) * index;
        entry.n_strx = bbcrash_async_load32(image->byteorder, p);
        entry.n_type = p[4];
        entry.n_sect = p[5];
        entry.n_desc = bbcrash_async_load16(image->byteorder, p + 6);
        entry.n_value = bbcrash_async_load64(image->byteorder, p + 8);
    } else {
        const uint8_t *p = static_cast<const uint8_t *>(symtab) + sizeof(nlist) * index;
        entry.n_strx = bbcrash_async_load32(image->byteorder, p);
        entry.n_type = p[4];
        entry.n_sect = p[5];
        entry.n_desc = bbcrash_async_load16(image->byteorder, p + 6);
        entry.n_value = bbcrash_async_load32(image->byteorder, p + 8);
    }
    entry.normalized_value = entry.n_value;
    if (entry.n_desc & N_ARM_THUMB_DEF) {
        entry.normalized_value |= 1;
    }
    return entry;
}

void bbcrash_async_macho_symtab_reader_free(bbcrash_async_macho_symtab_reader *reader) {
    if (reader->image != nullptr) {
        bbcrash_async_macho_mapped_segment_free(&reader->linkedit);
    }
    bbcrash_async_memset(reader, 0, sizeof(*reader));
}

namespace {

// Whether the whole table (there is no LC_DYSYMTAB) is in non-decreasing
// order of value; and the tables' extent, readable now. Checked once, when
// the record is built.
bool examineSymbolTable(bbcrash_async_macho *image) {
    bbcrash_async_macho_symtab_reader reader;
    if (bbcrash_async_macho_symtab_reader_init(&reader, image) != BBCRASH_ESUCCESS) {
        return false;
    }
    addReadableRange(image, reader.linkedit.mobj.task_address, reader.linkedit.mobj.length);
    bool sorted = reader.symtab_global == nullptr && reader.symtab_local == nullptr;
    uint64_t previous = 0;
    for (uint32_t i = 0; sorted && i < reader.nsyms; ++i) {
        const uint64_t value = bbcrash_async_macho_symtab_reader_read(&reader, reader.symtab, i).n_value;
        sorted = value >= previous;
        previous = value;
    }
    bbcrash_async_macho_symtab_reader_free(&reader);
    return sorted;
}

// The same candidate as scanSymbols finds, in a table sorted by value: the
// last candidate at or below the target has the greatest value, and the
// earliest candidate of that value wins.
void bisectSymbols(bbcrash_async_macho_symtab_reader *reader, uint64_t target, bool *found,
                   bbcrash_async_macho_symtab_entry_t *best) {
    uint32_t low = 0, high = reader->nsyms;  // first index whose value is above the target
    while (low < high) {
        const uint32_t mid = low + (high - low) / 2;
        if (bbcrash_async_macho_symtab_reader_read(reader, reader->symtab, mid).n_value <= target) {
            low = mid + 1;
        } else {
            high = mid;
        }
    }
    for (uint32_t i = low; i-- > 0;) {
        const bbcrash_async_macho_symtab_entry_t entry =
            bbcrash_async_macho_symtab_reader_read(reader, reader->symtab, i);
        if (*found && entry.n_value < best->n_value) {
            break;
        }
        if ((entry.n_type & 0xEE) == 0x0E) {
            *best = entry;
            *found = true;
        }
    }
}

// Keeps the best candidate over a table; on equal values the earlier stays.
void scanSymbols(bbcrash_async_macho_symtab_reader *reader, void *table, uint32_t count, uint64_t target, bool *found,
                 bbcrash_async_macho_symtab_entry_t *best) {
    for (uint32_t i = 0; i < count; ++i) {
        bbcrash_async_macho_symtab_entry_t entry = bbcrash_async_macho_symtab_reader_read(reader, table, i);
        if ((entry.n_type & 0xEE) != 0x0E || entry.n_value > target) {
            continue;
        }
        if (!*found || entry.n_value > best->n_value) {
            *best = entry;
            *found = true;
        }
    }
}

}  // namespace

bbcrash_error_t bbcrash_async_macho_find_symbol_by_pc(bbcrash_async_macho *image, mach_vm_address_t pc,
                                                      bbcrash_async_macho_found_symbol_cb callback, void *ctx) {
    bbcrash_async_macho_symtab_reader reader;
    bbcrash_error_t err = bbcrash_async_macho_symtab_reader_init(&reader, image);
    if (err != BBCRASH_ESUCCESS) {
        return err;
    }
    const uint64_t target = pc - static_cast<uint64_t>(image->vmaddr_slide);
    bool found = false;
    bbcrash_async_macho_symtab_entry_t best{};
    if (reader.symtab_global != nullptr || reader.symtab_local != nullptr) {
        scanSymbols(&reader, reader.symtab_global, reader.nsyms_global, target, &found, &best);
        scanSymbols(&reader, reader.symtab_local, reader.nsyms_local, target, &found, &best);
    } else if (image->symtab_sorted) {
        bisectSymbols(&reader, target, &found, &best);
    } else {
        scanSymbols(&reader, reader.symtab, reader.nsyms, target, &found, &best);
    }
    if (!found) {
        bbcrash_async_macho_symtab_reader_free(&reader);
        return BBCRASH_ENOTFOUND;
    }
    const uintptr_t name = reinterpret_cast<uintptr_t>(reader.string_table) + best.n_strx;
    bbcrash_async_mobject *linkedit = &reader.linkedit.mobj;
    if (name < reinterpret_cast<uintptr_t>(reader.string_table)) {
        bbcrash_async_macho_symtab_reader_free(&reader);
        return BBCRASH_EINVAL;
    }
    // Every byte up to the NUL lies in the mapping: the scan stops at its end.
    const uintptr_t mappingEnd = linkedit->address + linkedit->length;
    const char *text = reinterpret_cast<const char *>(name);
    size_t length = 0;
    while (name + length < mappingEnd && name >= linkedit->address && text[length] != '\0') {
        ++length;
    }
    if (name < linkedit->address || name + length >= mappingEnd) {
        bbcrash_async_macho_symtab_reader_free(&reader);
        return BBCRASH_EINVAL;
    }
    callback(best.normalized_value + static_cast<uint64_t>(image->vmaddr_slide), reinterpret_cast<const char *>(name),
             ctx);
    bbcrash_async_macho_symtab_reader_free(&reader);
    return BBCRASH_ESUCCESS;
}

bbcrash_error_t bbcrash_async_macho_string_init(bbcrash_async_macho_string *string, bbcrash_async_macho *image,
                                                mach_vm_address_t address) {
    bbcrash_async_memset(string, 0, sizeof(*string));
    string->image = image;
    string->address = address;
    return BBCRASH_ESUCCESS;
}

namespace {

// Maps pages from the string's address until its NUL is inside the mapping,
// up to a fixed number of pages.
bbcrash_error_t mapString(bbcrash_async_macho_string *string) {
    if (string->mapped) {
        return BBCRASH_ESUCCESS;
    }
    const mach_vm_size_t page = 4096;
    for (mach_vm_size_t pages = 1; pages <= BBCRASH_ASYNC_MACHO_STRING_MAX_PAGES; ++pages) {
        bbcrash_error_t err =
            bbcrash_async_mobject_init(&string->mobj, string->image->task, string->address, pages * page, false);
        if (err != BBCRASH_ESUCCESS) {
            return err;
        }
        const char *p = reinterpret_cast<const char *>(string->mobj.address);
        const mach_vm_size_t available = string->mobj.length;
        for (mach_vm_size_t i = 0; i < available; ++i) {
            if (p[i] == '\0') {
                string->length = i;
                string->mapped = true;
                return BBCRASH_ESUCCESS;
            }
        }
        bbcrash_async_mobject_free(&string->mobj);
        if (available < pages * page) {
            // More pages would not reach further: the next one is unreadable.
            return BBCRASH_EINVAL;
        }
    }
    return BBCRASH_EINVAL;
}

}  // namespace

bbcrash_error_t bbcrash_async_macho_string_get_length(bbcrash_async_macho_string *string, mach_vm_size_t *length) {
    bbcrash_error_t err = mapString(string);
    if (err != BBCRASH_ESUCCESS) {
        return err;
    }
    *length = string->length;
    return BBCRASH_ESUCCESS;
}

bbcrash_error_t bbcrash_async_macho_string_get_pointer(bbcrash_async_macho_string *string, const char **pointer) {
    bbcrash_error_t err = mapString(string);
    if (err != BBCRASH_ESUCCESS) {
        return err;
    }
    void *p = bbcrash_async_mobject_remap(&string->mobj, string->address, 0, string->length);
    if (p == nullptr) {
        return BBCRASH_EACCESS;
    }
    *pointer = static_cast<const char *>(p);
    return BBCRASH_ESUCCESS;
}

void bbcrash_async_macho_string_free(bbcrash_async_macho_string *string) {
    if (string->mapped) {
        bbcrash_async_mobject_free(&string->mobj);
    }
    string->mapped = false;
}
