#include "CompactUnwindOracle.h"

#include <algorithm>
#include <regex>
#include <sstream>

#include "support/TestSupport.h"

namespace unwindtest {

CompactUnwindOracle CompactUnwindOracle::read(const std::string &objdump, const std::string &nm,
                                              const std::string &path) {
    CompactUnwindOracle oracle;
    const std::string unwind = testsupport::runCommand(objdump + " --macho --unwind-info '" + path + "'");
    static const std::regex entry(R"(^\s+\[\d+\]: function offset=0x([0-9a-f]+), encoding(\[\d+\])?=0x([0-9a-f]+))");
    std::istringstream in(unwind);
    std::string line;
    bool second = false;
    std::smatch m;
    while (std::getline(in, line)) {
        if (line.find("Second level indices:") != std::string::npos) {
            second = true;
        } else if (second && line.find("Second level index[") != std::string::npos) {
            oracle.secondLevelPages++;
        } else if (second && std::regex_search(line, m, entry)) {
            oracle.entries.push_back(
                {uint32_t(std::stoul(m[1], nullptr, 16)), uint32_t(std::stoul(m[3], nullptr, 16))});
        }
    }

    const std::string symbols = testsupport::runCommand(nm + " -n --defined-only '" + path + "'");
    static const std::regex symbol(R"(^([0-9a-f]+) [tT] (\S+)$)");
    std::istringstream syms(symbols);
    while (std::getline(syms, line)) {
        if (std::regex_match(line, m, symbol)) {
            oracle.functions.push_back({m[2], std::stoull(m[1], nullptr, 16), 0});
        }
    }
    // Each function ends where the next begins; the last at the end of __text.
    const std::string headers = testsupport::runCommand(objdump + " --macho --section-headers '" + path + "'");
    static const std::regex text(R"(__text\s+([0-9a-f]+)\s+([0-9a-f]+))");
    uint64_t textEnd = 0;
    if (std::regex_search(headers, m, text)) {
        textEnd = std::stoull(m[2], nullptr, 16) + std::stoull(m[1], nullptr, 16);
    }
    for (size_t i = 0; i < oracle.functions.size(); i++) {
        oracle.functions[i].end = i + 1 < oracle.functions.size() ? oracle.functions[i + 1].start : textEnd;
    }
    return oracle;
}

const UnwindOracleEntry *CompactUnwindOracle::entryFor(uint64_t offset) const {
    const UnwindOracleEntry *found = nullptr;
    for (const auto &e : entries) {
        if (e.functionOffset <= offset && (found == nullptr || e.functionOffset >= found->functionOffset)) {
            found = &e;
        }
    }
    return found;
}

std::vector<std::pair<std::string, OraclePrologue>> readPrologues(const std::string &objdump, const std::string &path) {
    std::vector<std::pair<std::string, OraclePrologue>> result;
    const std::string text =
        testsupport::runCommand(objdump + " -d --no-show-raw-insn --x86-asm-syntax=att '" + path + "'");
    static const std::regex function(R"(^[0-9a-f]+ <_?([^>]+)>:$)");
    static const std::regex insn(R"(^\s+[0-9a-f]+:\s+(\w+)\s*(.*)$)");
    std::istringstream in(text);
    std::string line;
    std::smatch m;
    bool inPrologue = false;
    size_t index = 0;
    while (std::getline(in, line)) {
        if (std::regex_match(line, m, function)) {
            result.emplace_back(m[1], OraclePrologue{});
            inPrologue = true;
            index = 0;
            continue;
        }
        if (!inPrologue || result.empty() || !std::regex_match(line, m, insn)) {
            continue;
        }
        OraclePrologue &p = result.back().second;
        const std::string op = m[1];
        std::string args = m[2];
        args = args.substr(0, args.find('#'));
        args.erase(std::remove(args.begin(), args.end(), ' '), args.end());
        args.erase(std::remove(args.begin(), args.end(), '\t'), args.end());
        if (index == 0 && op == "pushq" && args == "%rbp") {
            p.framePointer = true;
        } else if (index == 1 && p.framePointer && op == "movq" && args == "%rsp,%rbp") {
        } else if (op == "pushq" && args.size() > 1 && args[0] == '%') {
            p.pushes.push_back(args.substr(1));
        } else if (op == "subq" && args.rfind("$", 0) == 0 && args.find(",%rsp") != std::string::npos) {
            p.stackAllocation = std::stoull(args.substr(1, args.find(',') - 1), nullptr, 0);
            inPrologue = false;
        } else {
            inPrologue = false;
        }
        index++;
    }
    return result;
}

}  // namespace unwindtest
