#pragma once
// What llvm-objdump and llvm-nm say about a Mach-O image's compact unwind
// information, functions and prologues.
#include <cstdint>
#include <string>
#include <vector>

namespace unwindtest {

struct UnwindOracleEntry {
    uint32_t functionOffset;
    uint32_t encoding;
};

struct OracleFunction {
    std::string name;
    uint64_t start = 0, end = 0;  // link-time addresses
};

// A function's prologue as disassembled: the registers pushed (in order),
// whether it sets up a frame pointer, the immediate of `subq $n, %rsp`.
struct OraclePrologue {
    bool framePointer = false;
    std::vector<std::string> pushes;  // after the frame pointer's push, if any
    uint64_t stackAllocation = 0;
};

struct CompactUnwindOracle {
    std::vector<UnwindOracleEntry> entries;  // every second-level entry, in order
    std::vector<OracleFunction> functions;   // text symbols, by address
    size_t secondLevelPages = 0;

    static CompactUnwindOracle read(const std::string &objdump, const std::string &nm, const std::string &path);

    // The entry a lookup of `offset` must find: the last one at or below it.
    const UnwindOracleEntry *entryFor(uint64_t offset) const;
};

// x86_64 prologues of every function, by symbol name without its "_".
std::vector<std::pair<std::string, OraclePrologue>> readPrologues(const std::string &objdump, const std::string &path);

}  // namespace unwindtest
