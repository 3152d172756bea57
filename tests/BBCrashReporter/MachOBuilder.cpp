#include "MachOBuilder.h"

#include <cstring>

namespace testsupport {

namespace {

void put(std::vector<uint8_t> &out, size_t at, const void *data, size_t n) {
    if (out.size() < at + n) out.resize(at + n);
    std::memcpy(out.data() + at, data, n);
}

void putName(std::vector<uint8_t> &out, size_t at, const char *name) {
    char field[16] = {};
    std::memcpy(field, name, strnlen(name, sizeof(field)));
    put(out, at, field, 16);
}

}  // namespace

MachOBuilder::MachOBuilder(bool is64, bool swapped, int32_t cputype, int32_t cpusubtype)
    : is64_(is64), swapped_(swapped), cputype_(cputype), cpusubtype_(cpusubtype) {}

void MachOBuilder::setText(uint64_t vmaddr, uint64_t vmsize, uint64_t textOffset, uint64_t textSize) {
    textVmaddr_ = vmaddr;
    textVmsize_ = vmsize;
    textOffset_ = textOffset;
    textSize_ = textSize;
}

void MachOBuilder::setDysymtab(uint32_t ilocal, uint32_t nlocal, uint32_t iextdef, uint32_t nextdef) {
    hasDysymtab_ = true;
    dysym_[0] = ilocal;
    dysym_[1] = nlocal;
    dysym_[2] = iextdef;
    dysym_[3] = nextdef;
}

void MachOBuilder::setUuid(const uint8_t (&uuid)[16]) {
    hasUuid_ = true;
    std::memcpy(uuid_, uuid, 16);
}

std::vector<uint8_t> MachOBuilder::build() const {
    std::vector<uint8_t> out(textVmsize_, 0);
    const size_t headerSize = is64_ ? 32 : 28;
    const size_t segSize = is64_ ? 72 : 56;
    const size_t sectSize = is64_ ? 80 : 68;
    const size_t nlistSize = is64_ ? 16 : 12;

    // __LINKEDIT right after __TEXT: symbols, then strings.
    const uint64_t linkeditOff = textVmsize_;
    std::vector<uint8_t> strings(1, 0);
    std::vector<uint8_t> entries;
    for (const auto &s : symbols_) {
        uint32_t strx = u32(static_cast<uint32_t>(strings.size()));
        strings.insert(strings.end(), s.name.begin(), s.name.end());
        strings.push_back(0);
        size_t at = entries.size();
        entries.resize(at + nlistSize);
        std::memcpy(&entries[at], &strx, 4);
        entries[at + 4] = s.type;
        entries[at + 5] = s.sect;
        uint16_t desc = u16(s.desc);
        std::memcpy(&entries[at + 6], &desc, 2);
        if (is64_) {
            uint64_t v = u64(s.value);
            std::memcpy(&entries[at + 8], &v, 8);
        } else {
            uint32_t v = u32(static_cast<uint32_t>(s.value));
            std::memcpy(&entries[at + 8], &v, 4);
        }
    }
    const uint64_t symoff = linkeditOff;
    const uint64_t stroff = symoff + entries.size();
    const uint64_t linkeditSize = ((entries.size() + strings.size()) + 0xfff) & ~0xfffULL;
    put(out, symoff, entries.data(), entries.size());
    put(out, stroff, strings.data(), strings.size());
    out.resize(linkeditOff + linkeditSize);

    size_t cursor = headerSize;
    uint32_t ncmds = 0;
    auto segment = [&](const char *name, uint64_t vmaddr, uint64_t vmsize, uint64_t fileoff, uint32_t nsects) {
        uint32_t cmd = u32(is64_ ? 0x19 : 0x1), cmdsize = u32(static_cast<uint32_t>(segSize + nsects * sectSize));
        put(out, cursor, &cmd, 4);
        put(out, cursor + 4, &cmdsize, 4);
        putName(out, cursor + 8, name);
        if (is64_) {
            uint64_t f[4] = {u64(vmaddr), u64(vmsize), u64(fileoff), u64(vmsize)};
            put(out, cursor + 24, f, 32);
            uint32_t g[4] = {u32(5), u32(5), u32(nsects), 0};
            put(out, cursor + 56, g, 16);
        } else {
            uint32_t f[8] = {u32(static_cast<uint32_t>(vmaddr)),
                             u32(static_cast<uint32_t>(vmsize)),
                             u32(static_cast<uint32_t>(fileoff)),
                             u32(static_cast<uint32_t>(vmsize)),
                             u32(5),
                             u32(5),
                             u32(nsects),
                             0};
            put(out, cursor + 24, f, 32);
        }
        cursor += segSize;
        ++ncmds;
    };
    segment("__TEXT", textVmaddr_, textVmsize_, 0, 1);
    putName(out, cursor, "__text");
    putName(out, cursor + 16, "__TEXT");
    if (is64_) {
        uint64_t f[2] = {u64(textVmaddr_ + textOffset_), u64(textSize_)};
        put(out, cursor + 32, f, 16);
        uint32_t off = u32(static_cast<uint32_t>(textOffset_));
        put(out, cursor + 48, &off, 4);
    } else {
        uint32_t f[3] = {u32(static_cast<uint32_t>(textVmaddr_ + textOffset_)), u32(static_cast<uint32_t>(textSize_)),
                         u32(static_cast<uint32_t>(textOffset_))};
        put(out, cursor + 32, f, 12);
    }
    cursor += sectSize;
    segment("__LINKEDIT", textVmaddr_ + textVmsize_, linkeditVmsize_ != 0 ? linkeditVmsize_ : linkeditSize, linkeditOff,
            0);

    uint32_t symtab[6] = {u32(0x2),
                          u32(24),
                          u32(hasSymoffOverride_ ? symoffOverride_ : static_cast<uint32_t>(symoff)),
                          u32(static_cast<uint32_t>(symbols_.size())),
                          u32(static_cast<uint32_t>(stroff)),
                          u32(static_cast<uint32_t>(strings.size()))};
    put(out, cursor, symtab, sizeof(symtab));
    cursor += sizeof(symtab);
    ++ncmds;
    if (hasDysymtab_) {
        uint32_t dysymtab[20] = {u32(0xb), u32(80), u32(dysym_[0]), u32(dysym_[1]), u32(dysym_[2]), u32(dysym_[3])};
        dysymtab[6] = u32(dysym_[2] + dysym_[3]);  // undefined symbols start after the externals
        put(out, cursor, dysymtab, sizeof(dysymtab));
        cursor += sizeof(dysymtab);
        ++ncmds;
    }
    if (hasUuid_) {
        uint32_t head[2] = {u32(0x1b), u32(24)};
        put(out, cursor, head, 8);
        put(out, cursor + 8, uuid_, 16);
        cursor += 24;
        ++ncmds;
    }
    const uint32_t magic = is64_ ? 0xfeedfacf : 0xfeedface;
    uint32_t header[8] = {u32(magic),
                          u32(static_cast<uint32_t>(cputype_)),
                          u32(static_cast<uint32_t>(cpusubtype_)),
                          u32(0x8),
                          u32(ncmds),
                          u32(static_cast<uint32_t>(cursor - headerSize)),
                          0,
                          0};
    put(out, 0, header, headerSize);
    return out;
}

}  // namespace testsupport
