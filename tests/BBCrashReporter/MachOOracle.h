#pragma once
// What llvm-objdump and llvm-nm say about a Mach-O file, parsed for the
// reader tests.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#ifndef PLOTWICK_OBJDUMP
#define PLOTWICK_OBJDUMP "llvm-objdump-14"
#endif
#ifndef PLOTWICK_NM
#define PLOTWICK_NM "llvm-nm-14"
#endif

namespace testsupport {

struct OracleSection {
    std::string segment, name;
    uint64_t addr = 0, size = 0;
};

struct OracleSegment {
    std::string name;
    uint64_t vmaddr = 0, vmsize = 0;
};

struct OracleSymbol {
    uint64_t address;
    char type;
    std::string name;
};

struct MachOOracle {
    std::vector<OracleSegment> segments;
    std::vector<OracleSection> sections;
    std::string uuid;                     // upper-case text with dashes, empty when none
    std::vector<OracleSymbol> symbols;    // llvm-nm -n, defined only
    std::vector<std::string> methodImps;  // "imp" symbols of --objc-meta-data

    static MachOOracle read(const std::string &path);
};

// "8-4-4-4-12" upper-case text of 16 bytes.
std::string uuidText(const uint8_t *bytes);

// What the reader's symbol lookup reported, to compare with the tools' symbols:
// pass recordSymbol as the lookup's callback and a FoundSymbol as its context.
struct FoundSymbol {
    bool called = false;
    uint64_t address = 0;
    std::string name;
};

inline void recordSymbol(uint64_t address, const char *name, void *ctx) {
    auto *found = static_cast<FoundSymbol *>(ctx);
    found->called = true;
    found->address = address;
    found->name = name;
}

}  // namespace testsupport
