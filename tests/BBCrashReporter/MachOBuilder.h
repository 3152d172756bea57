#pragma once
// Builds small Mach-O bundles (32- or 64-bit, either byte order) in memory,
// laid out so that the file bytes are also the loaded image: a __TEXT
// segment holding the header and a __text section, a __LINKEDIT segment with
// the symbol and string tables, LC_SYMTAB, LC_DYSYMTAB when asked, LC_UUID.
#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

class MachOBuilder {
public:
    struct Symbol {
        std::string name;
        uint8_t type;
        uint8_t sect;
        uint16_t desc;
        uint64_t value;
    };

    MachOBuilder(bool is64, bool swapped, int32_t cputype, int32_t cpusubtype);

    // __TEXT vmaddr and size, and where the __text section lies in it.
    void setText(uint64_t vmaddr, uint64_t vmsize, uint64_t textOffset, uint64_t textSize);
    void addSymbol(const Symbol &symbol) { symbols_.push_back(symbol); }
    // Local symbols, then external ones, as a linker orders them.
    void setDysymtab(uint32_t ilocal, uint32_t nlocal, uint32_t iextdef, uint32_t nextdef);
    void setUuid(const uint8_t (&uuid)[16]);
    // Overrides symoff as written (for malformed-table tests).
    void overrideSymoff(uint32_t symoff) {
        symoffOverride_ = symoff;
        hasSymoffOverride_ = true;
    }
    // Overrides __LINKEDIT's vmsize as written.
    void overrideLinkeditVmsize(uint64_t vmsize) { linkeditVmsize_ = vmsize; }

    // The whole image; the __TEXT segment starts at offset 0.
    std::vector<uint8_t> build() const;

private:
    uint32_t u32(uint32_t v) const { return swapped_ ? __builtin_bswap32(v) : v; }
    uint64_t u64(uint64_t v) const { return swapped_ ? __builtin_bswap64(v) : v; }
    uint16_t u16(uint16_t v) const { return swapped_ ? __builtin_bswap16(v) : v; }

    bool is64_, swapped_;
    int32_t cputype_, cpusubtype_;
    uint64_t textVmaddr_ = 0x1000, textVmsize_ = 0x1000, textOffset_ = 0x200, textSize_ = 0x100;
    std::vector<Symbol> symbols_;
    bool hasDysymtab_ = false;
    uint32_t dysym_[4] = {};
    bool hasUuid_ = false;
    uint8_t uuid_[16] = {};
    bool hasSymoffOverride_ = false;
    uint32_t symoffOverride_ = 0;
    uint64_t linkeditVmsize_ = 0;  // 0: the tables' size
};

}  // namespace testsupport
