#include "platform/dyld/ElfImageHeader.h"

#include "platform/dyld/ElfUnwindInfo.h"

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <elf.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace platform::dyld {

namespace {

struct Symbol {
    uint64_t value;
    std::string name;
    bool global;
};

constexpr uint64_t kPage = 4096;
uint64_t truncPage(uint64_t v) { return v & ~(kPage - 1); }
uint64_t roundPage(uint64_t v) { return (v + kPage - 1) & ~(kPage - 1); }

#if defined(__x86_64__)
constexpr int32_t kCpuType = mach::CPU_TYPE_X86_64;
constexpr int32_t kCpuSubtype = mach::CPU_SUBTYPE_X86_64_ALL;
#elif defined(__aarch64__)
constexpr int32_t kCpuType = mach::CPU_TYPE_ARM64;
constexpr int32_t kCpuSubtype = mach::CPU_SUBTYPE_ARM64_ALL;
#else
#error "unsupported processor"
#endif

// The function symbols of an ELF image held in `data` (a mapped file, or the
// vDSO in memory): .symtab when present, else .dynsym.
std::vector<Symbol> readFunctionSymbols(const uint8_t *data, size_t size) {
    std::vector<Symbol> symbols;
    if (size < sizeof(Elf64_Ehdr) || std::memcmp(data, ELFMAG, SELFMAG) != 0 || data[EI_CLASS] != ELFCLASS64) {
        return symbols;
    }
    Elf64_Ehdr eh;
    std::memcpy(&eh, data, sizeof(eh));
    if (eh.e_shoff == 0 || eh.e_shentsize != sizeof(Elf64_Shdr) || eh.e_shoff > size ||
        (size - eh.e_shoff) / sizeof(Elf64_Shdr) < eh.e_shnum) {
        return symbols;
    }
    std::vector<Elf64_Shdr> sections(eh.e_shnum);
    std::memcpy(sections.data(), data + eh.e_shoff, sizeof(Elf64_Shdr) * eh.e_shnum);
    const Elf64_Shdr *table = nullptr;
    for (const auto &s : sections) {
        if (s.sh_type == SHT_SYMTAB) table = &s;
    }
    if (table == nullptr) {
        for (const auto &s : sections) {
            if (s.sh_type == SHT_DYNSYM) table = &s;
        }
    }
    if (table == nullptr || table->sh_link >= sections.size() || table->sh_entsize != sizeof(Elf64_Sym)) {
        return symbols;
    }
    const Elf64_Shdr &strings = sections[table->sh_link];
    if (table->sh_offset > size || table->sh_size > size - table->sh_offset || strings.sh_offset > size ||
        strings.sh_size > size - strings.sh_offset) {
        return symbols;
    }
    const size_t count = table->sh_size / sizeof(Elf64_Sym);
    const char *strtab = reinterpret_cast<const char *>(data + strings.sh_offset);
    for (size_t i = 0; i < count; ++i) {
        Elf64_Sym sym;
        std::memcpy(&sym, data + table->sh_offset + i * sizeof(Elf64_Sym), sizeof(sym));
        int type = ELF64_ST_TYPE(sym.st_info);
        if ((type != STT_FUNC && type != STT_GNU_IFUNC) || sym.st_shndx == SHN_UNDEF || sym.st_shndx == SHN_ABS ||
            sym.st_value == 0 || sym.st_name >= strings.sh_size) {
            continue;
        }
        const char *name = strtab + sym.st_name;
        size_t length = strnlen(name, strings.sh_size - sym.st_name);
        if (length == 0 || length == strings.sh_size - sym.st_name) {
            continue;
        }
        int bind = ELF64_ST_BIND(sym.st_info);
        symbols.push_back({sym.st_value, std::string(name, length), bind == STB_GLOBAL || bind == STB_WEAK});
    }
    return symbols;
}

std::vector<Symbol> readFileSymbols(const std::string &path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return {};
    }
    struct stat st {};
    std::vector<Symbol> symbols;
    if (fstat(fd, &st) == 0 && st.st_size > 0) {
        void *map = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
        if (map != MAP_FAILED) {
            symbols = readFunctionSymbols(static_cast<const uint8_t *>(map), static_cast<size_t>(st.st_size));
            munmap(map, static_cast<size_t>(st.st_size));
        }
    }
    ::close(fd);
    return symbols;
}

// The integer of type T at `p` (unaligned), widened to 64 bits with its sign.
template <typename T>
uint64_t loadWidened(const uint8_t *p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return static_cast<uint64_t>(static_cast<std::conditional_t<std::is_signed_v<T>, int64_t, uint64_t>>(v));
}

// Reads a pointer of the given DW_EH_PE encoding at `p`; false for an
// encoding this does not know.
bool readEncoded(const uint8_t *p, uint8_t encoding, uintptr_t dataBase, uintptr_t *out) {
    if (encoding == 0xff) {
        return false;
    }
    uint64_t value = 0;
    switch (encoding & 0x0f) {
    case 0x00:
    case 0x04: value = loadWidened<uint64_t>(p); break;
    case 0x02: value = loadWidened<uint16_t>(p); break;
    case 0x03: value = loadWidened<uint32_t>(p); break;
    case 0x0a: value = loadWidened<int16_t>(p); break;
    case 0x0b: value = loadWidened<int32_t>(p); break;
    case 0x0c: value = loadWidened<int64_t>(p); break;
    default: return false;
    }
    switch (encoding & 0x70) {
    case 0x00: break;
    case 0x10: value += reinterpret_cast<uintptr_t>(p); break;
    case 0x30: value += dataBase; break;
    default: return false;
    }
    *out = static_cast<uintptr_t>(value);
    return true;
}

// Length of the .eh_frame at `start`: its records are walked up to the zero
// terminator (included) or up to `limit`, whichever comes first.
size_t ehFrameLength(uintptr_t start, uintptr_t limit) {
    uintptr_t p = start;
    while (p < limit && limit - p >= 4) {
        uint32_t length;
        std::memcpy(&length, reinterpret_cast<const void *>(p), 4);
        if (length == 0) {
            return p + 4 - start;
        }
        uint64_t record = 4ULL + length;
        if (length == 0xffffffffU) {
            if (limit - p < 12) break;
            uint64_t length64;
            std::memcpy(&length64, reinterpret_cast<const void *>(p + 4), 8);
            record = 12 + length64;
            if (record < length64) break;
        }
        if (record > limit - p) break;
        p += record;
    }
    return p - start;
}

void putName(char (&field)[16], const char *name) {
    std::memset(field, 0, sizeof(field));
    std::memcpy(field, name, strnlen(name, sizeof(field)));
}

int32_t protectionOf(uint32_t flags) {
    int32_t prot = 0;
    if (flags & PF_R) prot |= 1;
    if (flags & PF_W) prot |= 2;
    if (flags & PF_X) prot |= 4;
    return prot;
}

}  // namespace

ElfImageHeader::ElfImageHeader(const dl_phdr_info &info, const std::string &symbolFile, bool executable, bool complete)
    : complete_(complete) {
    const ElfW(Phdr) *phdrs = info.dlpi_phdr;
    const uintptr_t bias = info.dlpi_addr;

    // __TEXT: the leading non-writable loads; __DATA: from the first writable
    // load to the end of the last load.
    uint64_t textStart = 0, textEnd = 0, dataStart = 0, dataEnd = 0, textOff = 0, dataOff = 0;
    int32_t textProt = 0, dataProt = 0;
    bool haveLoad = false, inData = false;
    const uint8_t *buildId = nullptr;
    size_t buildIdSize = 0;
    uintptr_t ehFrameHdr = 0;
    for (int i = 0; i < info.dlpi_phnum; ++i) {
        const ElfW(Phdr) &ph = phdrs[i];
        if (ph.p_type == PT_LOAD) {
            uint64_t start = truncPage(ph.p_vaddr);
            uint64_t end = roundPage(ph.p_vaddr + ph.p_memsz);
            if (!haveLoad) {
                textStart = start;
                textEnd = end;
                textOff = truncPage(ph.p_offset);
                haveLoad = true;
            }
            if (!inData && (ph.p_flags & PF_W)) {
                inData = true;
                dataStart = start;
                dataOff = truncPage(ph.p_offset);
            }
            if (inData) {
                dataEnd = std::max(dataEnd, end);
                dataProt |= protectionOf(ph.p_flags);
            } else {
                textEnd = std::max(textEnd, end);
                textProt |= protectionOf(ph.p_flags);
            }
        } else if (ph.p_type == PT_GNU_EH_FRAME) {
            ehFrameHdr = bias + ph.p_vaddr;
        } else if (ph.p_type == PT_NOTE && buildId == nullptr) {
            // Notes: namesz, descsz, type, name and descriptor, 4-aligned.
            const uint8_t *p = reinterpret_cast<const uint8_t *>(bias + ph.p_vaddr);
            const uint8_t *end = p + ph.p_memsz;
            while (end - p >= 12) {
                uint32_t namesz, descsz, type;
                std::memcpy(&namesz, p, 4);
                std::memcpy(&descsz, p + 4, 4);
                std::memcpy(&type, p + 8, 4);
                size_t nameSpan = (static_cast<size_t>(namesz) + 3) & ~size_t(3);
                size_t descSpan = (static_cast<size_t>(descsz) + 3) & ~size_t(3);
                if (static_cast<size_t>(end - p - 12) < nameSpan ||
                    static_cast<size_t>(end - p - 12) - nameSpan < descsz) {
                    break;
                }
                if (type == NT_GNU_BUILD_ID && namesz == 4 && std::memcmp(p + 12, "GNU", 4) == 0) {
                    buildId = p + 12 + nameSpan;
                    buildIdSize = descsz;
                    break;
                }
                if (static_cast<size_t>(end - p - 12) - nameSpan < descSpan) break;
                p += 12 + nameSpan + descSpan;
            }
        }
    }
    if (!haveLoad) {
        return;
    }

    // .eh_frame, found through .eh_frame_hdr and bounded by its load.
    uint64_t ehFrameAddr = 0, ehFrameSize = 0;
    if (ehFrameHdr != 0) {
        const uint8_t *hdr = reinterpret_cast<const uint8_t *>(ehFrameHdr);
        uintptr_t ehFrame = 0;
        if (hdr[0] == 1 && readEncoded(hdr + 4, hdr[1], ehFrameHdr, &ehFrame) && ehFrame != 0) {
            for (int i = 0; i < info.dlpi_phnum; ++i) {
                const ElfW(Phdr) &ph = phdrs[i];
                uintptr_t start = bias + ph.p_vaddr;
                if (ph.p_type == PT_LOAD && ehFrame >= start && ehFrame - start < ph.p_filesz) {
                    ehFrameSize = ehFrameLength(ehFrame, start + ph.p_filesz);
                    ehFrameAddr = ehFrame - bias;
                    break;
                }
            }
        }
    }

    std::vector<Symbol> symbols;
    if (!complete) {
        // The early header: no symbols yet.
    } else if (!symbolFile.empty()) {
        symbols = readFileSymbols(symbolFile);
    } else {
        // An image with no file (the vDSO): its section headers are mapped.
        symbols = readFunctionSymbols(reinterpret_cast<const uint8_t *>(bias + textStart),
                                      static_cast<size_t>(textEnd - textStart));
    }
    std::stable_sort(symbols.begin(), symbols.end(),
                     [](const Symbol &a, const Symbol &b) { return a.value < b.value; });

    const bool hasEhFrame = ehFrameSize != 0;
    // A compact unwind table over the .eh_frame, as a Mach-O linker emits.
    std::vector<uint8_t> unwindInfo;
    if (hasEhFrame && complete) {
        unwindInfo = ElfUnwindInfo::build(reinterpret_cast<const uint8_t *>(bias + ehFrameAddr),
                                          static_cast<size_t>(ehFrameSize), bias + textStart, textEnd - textStart);
    }
    const bool hasUnwindInfo = !unwindInfo.empty();
    const bool hasData = inData;
    const bool hasUuid = buildId != nullptr && buildIdSize != 0;
    const uint32_t textSections = (hasEhFrame ? 1 : 0) + (hasUnwindInfo ? 1 : 0);
    size_t commandsSize = sizeof(segment_command_64) + textSections * sizeof(section_64) +
                          (hasData ? sizeof(segment_command_64) : 0) + sizeof(segment_command_64) +
                          (hasUuid ? sizeof(uuid_command) : 0) + sizeof(symtab_command);
    uint32_t ncmds = 1 + (hasData ? 1 : 0) + 1 + (hasUuid ? 1 : 0) + 1;
    size_t stringsSize = 1;
    for (const auto &s : symbols) {
        stringsSize += s.name.size() + 2;  // leading "_" and the NUL
    }
    const size_t linkeditOffset = (sizeof(mach_header_64) + commandsSize + 15) & ~size_t(15);
    const size_t symbolsSize = symbols.size() * sizeof(nlist_64);
    const size_t linkeditSize = symbolsSize + stringsSize;
    const size_t unwindInfoOffset = (linkeditOffset + linkeditSize + 7) & ~size_t(7);
    allocationSize_ = roundPage(unwindInfoOffset + unwindInfo.size());
    void *memory = mmap(nullptr, allocationSize_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        allocationSize_ = 0;
        return;
    }
    uint8_t *out = static_cast<uint8_t *>(memory);
    base_ = bias + textStart;
    slide_ = static_cast<intptr_t>(bias);

    mach_header_64 mh{};
    mh.magic = MH_MAGIC_64;
    mh.cputype = kCpuType;
    mh.cpusubtype = kCpuSubtype;
    mh.filetype = executable ? MH_EXECUTE : MH_DYLIB;
    mh.ncmds = ncmds;
    mh.sizeofcmds = static_cast<uint32_t>(commandsSize);
    std::memcpy(out, &mh, sizeof(mh));
    uint8_t *cursor = out + sizeof(mh);

    segment_command_64 text{};
    text.cmd = LC_SEGMENT_64;
    text.cmdsize = static_cast<uint32_t>(sizeof(segment_command_64) + textSections * sizeof(section_64));
    putName(text.segname, "__TEXT");
    text.vmaddr = textStart;
    text.vmsize = textEnd - textStart;
    text.fileoff = textOff;
    text.filesize = textEnd - textStart;
    text.maxprot = text.initprot = textProt;
    text.nsects = textSections;
    std::memcpy(cursor, &text, sizeof(text));
    cursor += sizeof(text);
    if (hasEhFrame) {
        section_64 eh{};
        putName(eh.sectname, "__eh_frame");
        putName(eh.segname, "__TEXT");
        eh.addr = ehFrameAddr;
        eh.size = ehFrameSize;
        eh.offset = static_cast<uint32_t>(textOff + (ehFrameAddr - textStart));
        eh.align = 3;
        std::memcpy(cursor, &eh, sizeof(eh));
        cursor += sizeof(eh);
    }
    if (hasUnwindInfo) {
        // Like __LINKEDIT, the table lives in this allocation: addr + slide
        // is where it lies.
        section_64 unwind{};
        putName(unwind.sectname, "__unwind_info");
        putName(unwind.segname, "__TEXT");
        unwind.addr = reinterpret_cast<uintptr_t>(out + unwindInfoOffset) - bias;
        unwind.size = unwindInfo.size();
        unwind.align = 2;
        std::memcpy(cursor, &unwind, sizeof(unwind));
        cursor += sizeof(unwind);
        std::memcpy(out + unwindInfoOffset, unwindInfo.data(), unwindInfo.size());
    }
    if (hasData) {
        segment_command_64 data{};
        data.cmd = LC_SEGMENT_64;
        data.cmdsize = sizeof(segment_command_64);
        putName(data.segname, "__DATA");
        data.vmaddr = dataStart;
        data.vmsize = dataEnd - dataStart;
        data.fileoff = dataOff;
        data.filesize = dataEnd - dataStart;
        data.maxprot = data.initprot = dataProt;
        std::memcpy(cursor, &data, sizeof(data));
        cursor += sizeof(data);
    }
    segment_command_64 linkedit{};
    linkedit.cmd = LC_SEGMENT_64;
    linkedit.cmdsize = sizeof(segment_command_64);
    putName(linkedit.segname, "__LINKEDIT");
    // vmaddr + slide is the data's place in this allocation.
    linkedit.vmaddr = reinterpret_cast<uintptr_t>(out + linkeditOffset) - bias;
    linkedit.vmsize = linkeditSize;
    linkedit.fileoff = linkeditOffset;
    linkedit.filesize = linkeditSize;
    linkedit.maxprot = linkedit.initprot = 1;
    std::memcpy(cursor, &linkedit, sizeof(linkedit));
    cursor += sizeof(linkedit);
    if (hasUuid) {
        uuid_command uuid{};
        uuid.cmd = LC_UUID;
        uuid.cmdsize = sizeof(uuid_command);
        std::memcpy(uuid.uuid, buildId, std::min<size_t>(buildIdSize, 16));
        std::memcpy(cursor, &uuid, sizeof(uuid));
        cursor += sizeof(uuid);
    }
    symtab_command symtab{};
    symtab.cmd = LC_SYMTAB;
    symtab.cmdsize = sizeof(symtab_command);
    symtab.symoff = static_cast<uint32_t>(linkeditOffset);
    symtab.nsyms = static_cast<uint32_t>(symbols.size());
    symtab.stroff = static_cast<uint32_t>(linkeditOffset + symbolsSize);
    symtab.strsize = static_cast<uint32_t>(stringsSize);
    std::memcpy(cursor, &symtab, sizeof(symtab));

    uint8_t *entries = out + linkeditOffset;
    char *strings = reinterpret_cast<char *>(entries + symbolsSize);
    size_t stringOffset = 1;
    strings[0] = '\0';
    for (size_t i = 0; i < symbols.size(); ++i) {
        nlist_64 n{};
        n.n_strx = static_cast<uint32_t>(stringOffset);
        n.n_type = N_SECT | (symbols[i].global ? N_EXT : 0);
        n.n_sect = 1;
        n.n_value = symbols[i].value;
        std::memcpy(entries + i * sizeof(nlist_64), &n, sizeof(n));
        strings[stringOffset++] = '_';
        std::memcpy(strings + stringOffset, symbols[i].name.data(), symbols[i].name.size());
        stringOffset += symbols[i].name.size();
        strings[stringOffset++] = '\0';
    }
    // Nobody writes to it again.
    mprotect(memory, allocationSize_, PROT_READ);
    header_ = out;
}

ElfImageHeader::~ElfImageHeader() {
    if (header_ != nullptr) {
        munmap(header_, allocationSize_);
    }
}

}  // namespace platform::dyld
