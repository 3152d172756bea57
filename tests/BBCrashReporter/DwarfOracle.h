#pragma once
// What llvm-dwarfdump says about an ELF file's .eh_frame: every FDE with its
// range and the rows of its unwind table, in a canonical text that the
// unwinder's own rule table can be printed in too.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace dwarftest {

struct OracleRow {
    uint64_t address = 0;
    std::string cfa;                          // "RSP+8", "RDI", "<expr>"
    std::map<std::string, std::string> regs;  // "RBX" -> "[CFA-16]"; undefined registers left out
};

struct OracleFde {
    uint64_t offset = 0;  // of the length field, from the section start
    uint64_t pcStart = 0, pcEnd = 0;
    bool hasArgsSize = false;  // uses DW_CFA_GNU_args_size
    std::vector<OracleRow> rows;
};

// Runs `llvm-dwarfdump --eh-frame` on the file; empty when it fails.
std::vector<OracleFde> readEhFrameOracle(const std::string &dwarfdump, const std::string &path);

// LLVM's name of an x86_64 DWARF register ("RAX", "R12", "RIP"), or "reg<n>".
std::string dwarfRegisterName(uint64_t regnum);

}  // namespace dwarftest
