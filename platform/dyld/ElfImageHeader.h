#pragma once
// A Mach-O-shaped header for one loaded ELF image, built once when the image
// is added and kept, read-only, for as long as the image is listed.
//
// Layout of the one page-aligned allocation: mach_header_64, the load
// commands (__TEXT with a __eh_frame section when the image has one and an
// __unwind_info section built from it (ElfUnwindInfo), __DATA when it has
// writable segments, __LINKEDIT, LC_UUID when it has a GNU build id,
// LC_SYMTAB), then the __LINKEDIT data (nlist_64 entries, string table) and
// the compact unwind table.
// An early header (complete = false) is the same without the two costly
// parts: its LC_SYMTAB is empty and it has no __unwind_info, so unwinding
// falls back to the .eh_frame and frame pointers until the complete header
// replaces it.
// Segment and symbol addresses are link-time addresses: add the slide (the
// ELF load bias) for addresses in memory. __LINKEDIT's vmaddr is chosen so
// that vmaddr + slide is where its data lies in the allocation.
#include "platform/dyld/loader.h"

#include <cstddef>
#include <cstdint>
#include <link.h>
#include <string>

namespace platform::dyld {

class ElfImageHeader {
public:
    // Builds the header of the object that dl_iterate_phdr described.
    // `symbolFile` is the file to read the symbols from (empty: read them
    // from the image in memory, as for the vDSO). `executable` selects
    // MH_EXECUTE over MH_DYLIB. `complete` false builds the early header.
    ElfImageHeader(const dl_phdr_info &info, const std::string &symbolFile, bool executable, bool complete = true);
    ~ElfImageHeader();
    ElfImageHeader(const ElfImageHeader &) = delete;
    ElfImageHeader &operator=(const ElfImageHeader &) = delete;

    // False when the image had no loadable segment (nothing was built).
    bool valid() const { return header_ != nullptr; }
    const mach_header *header() const { return reinterpret_cast<const mach_header *>(header_); }
    // First byte of the image in memory and the load bias.
    uintptr_t base() const { return base_; }
    intptr_t slide() const { return slide_; }
    bool complete() const { return complete_; }

private:
    uint8_t *header_ = nullptr;
    size_t allocationSize_ = 0;
    uintptr_t base_ = 0;
    intptr_t slide_ = 0;
    bool complete_ = false;
};

}  // namespace platform::dyld
