#include "DwarfOracle.h"

#include <cstdio>
#include <cstring>
#include <regex>
#include <sstream>

#include "support/TestSupport.h"

namespace dwarftest {

namespace {

std::string canonicalValue(const std::string &value) {
    if (value.rfind("DW_OP", 0) == 0) {
        return "<expr>";
    }
    if (value.rfind("[DW_OP", 0) == 0) {
        return "[<expr>]";
    }
    return value;
}

// Splits "A=x, B=[y, z], C=w" at the commas outside brackets.
std::vector<std::string> splitRules(const std::string &text) {
    std::vector<std::string> out;
    int depth = 0;
    std::string current;
    for (size_t i = 0; i < text.size(); i++) {
        const char c = text[i];
        if (c == '[') depth++;
        if (c == ']') depth--;
        if (c == ',' && depth == 0) {
            out.push_back(current);
            current.clear();
            if (i + 1 < text.size() && text[i + 1] == ' ') i++;
            continue;
        }
        current += c;
    }
    if (!current.empty()) out.push_back(current);
    return out;
}

}  // namespace

std::string dwarfRegisterName(uint64_t regnum) {
    static const char *const names[] = {"RAX", "RDX", "RCX", "RBX", "RSI", "RDI", "RBP", "RSP", "R8",
                                        "R9",  "R10", "R11", "R12", "R13", "R14", "R15", "RIP"};
    if (regnum < sizeof(names) / sizeof(names[0])) {
        return names[regnum];
    }
    return "reg" + std::to_string(regnum);
}

namespace {

// LLVM 14 prints the rows after DW_CFA_restore_state with the CFA left as it
// was, not as it was remembered (its remember_state saves only the register
// rules). The CFA column is therefore taken from a small simulation of the
// listed CFA instructions instead; the register columns come from LLVM.
struct CfaSimulation {
    std::string reg;
    int64_t offset = 0;
    bool expression = false;
    bool known = true;  // false once an instruction it does not follow appears

    std::string text() const {
        if (expression) return "<expr>";
        if (offset == 0) return reg;
        return reg + (offset > 0 ? "+" : "-") + std::to_string(offset > 0 ? offset : -offset);
    }
};

// Applies one listed instruction to the simulation; returns the location
// delta of an advance (0 otherwise).
uint64_t simulate(const std::string &line, CfaSimulation &cfa, std::vector<CfaSimulation> &stack, uint64_t codeAlign) {
    auto after = [&](const char *prefix) { return line.substr(std::strlen(prefix)); };
    if (line.rfind("  DW_CFA_advance_loc", 0) == 0) {
        const size_t colon = line.find(": ");
        return std::stoull(line.substr(colon + 2)) * codeAlign;
    }
    if (line.rfind("  DW_CFA_def_cfa: ", 0) == 0) {
        std::istringstream in(after("  DW_CFA_def_cfa: "));
        std::string reg, off;
        in >> reg >> off;
        cfa.reg = reg;
        cfa.offset = std::stoll(off);
        cfa.expression = false;
    } else if (line.rfind("  DW_CFA_def_cfa_offset: ", 0) == 0) {
        cfa.offset = std::stoll(after("  DW_CFA_def_cfa_offset: "));
    } else if (line.rfind("  DW_CFA_def_cfa_register: ", 0) == 0) {
        cfa.reg = after("  DW_CFA_def_cfa_register: ");
    } else if (line.rfind("  DW_CFA_def_cfa_expression:", 0) == 0) {
        cfa.expression = true;
    } else if (line.rfind("  DW_CFA_remember_state:", 0) == 0) {
        stack.push_back(cfa);
    } else if (line.rfind("  DW_CFA_restore_state:", 0) == 0) {
        if (!stack.empty()) {
            cfa = stack.back();
            stack.pop_back();
        }
    } else if (line.rfind("  DW_CFA_def_cfa", 0) == 0 || line.rfind("  DW_CFA_set_loc", 0) == 0) {
        cfa.known = false;
    }
    return 0;
}

}  // namespace

std::vector<OracleFde> readEhFrameOracle(const std::string &dwarfdump, const std::string &path) {
    int status = 0;
    const std::string text = testsupport::runCommand(dwarfdump + " --eh-frame '" + path + "' 2>/dev/null", &status);
    std::vector<OracleFde> fdes;
    if (status != 0) {
        return fdes;
    }
    static const std::regex fdeLine(
        R"(^([0-9a-f]{8,16}) [0-9a-f]{8,16} [0-9a-f]{8,16} FDE cie=([0-9a-f]+) pc=([0-9a-f]+)\.\.\.([0-9a-f]+))");
    static const std::regex cieLine(R"(^([0-9a-f]{8,16}) [0-9a-f]{8,16} [0-9a-f]{8,16} CIE)");
    static const std::regex rowLine(R"(^  0x([0-9a-f]+): CFA=(.*)$)");
    std::istringstream in(text);
    std::string line;
    OracleFde *current = nullptr;
    std::smatch m;

    struct CieState {
        CfaSimulation cfa;
        uint64_t codeAlign = 1;
    };
    std::map<uint64_t, CieState> cies;
    CieState *cie = nullptr;
    // Per FDE: the simulated CFA at each location, in order.
    CfaSimulation cfa;
    std::vector<CfaSimulation> remembered;
    std::vector<std::pair<uint64_t, CfaSimulation>> timeline;
    uint64_t location = 0;
    uint64_t codeAlign = 1;
    bool inInstructions = false;

    auto finishFde = [&]() {
        if (current == nullptr) return;
        timeline.emplace_back(location, cfa);
        for (auto &row : current->rows) {
            const CfaSimulation *at = nullptr;
            for (const auto &t : timeline) {
                if (t.first <= row.address) at = &t.second;
            }
            if (at != nullptr && at->known) row.cfa = at->text();
        }
    };

    while (std::getline(in, line)) {
        const bool header = line.size() > 8 && line[0] != ' ';
        if (header && line.find(" FDE ") != std::string::npos && std::regex_search(line, m, fdeLine)) {
            finishFde();
            fdes.emplace_back();
            current = &fdes.back();
            cie = nullptr;
            current->offset = std::stoull(m[1], nullptr, 16);
            current->pcStart = std::stoull(m[3], nullptr, 16);
            current->pcEnd = std::stoull(m[4], nullptr, 16);
            const auto found = cies.find(std::stoull(m[2], nullptr, 16));
            cfa = found != cies.end() ? found->second.cfa : CfaSimulation{"", 0, false, false};
            codeAlign = found != cies.end() ? found->second.codeAlign : 1;
            remembered.clear();
            timeline.clear();
            location = current->pcStart;
            inInstructions = true;
        } else if (header && std::regex_search(line, m, cieLine)) {
            finishFde();
            current = nullptr;
            cie = &cies[std::stoull(m[1], nullptr, 16)];
            inInstructions = true;
        } else if (cie != nullptr && line.rfind("  Code alignment factor: ", 0) == 0) {
            cie->codeAlign = std::stoull(line.substr(25));
        } else if (line.rfind("  DW_CFA_", 0) == 0 && inInstructions) {
            if (cie != nullptr) {
                std::vector<CfaSimulation> unused;
                simulate(line, cie->cfa, unused, cie->codeAlign);
            } else if (current != nullptr) {
                if (line.find("DW_CFA_GNU_args_size") != std::string::npos) current->hasArgsSize = true;
                const CfaSimulation before = cfa;
                const uint64_t delta = simulate(line, cfa, remembered, codeAlign);
                if (delta != 0) {
                    timeline.emplace_back(location, before);
                    location += delta;
                }
            }
        } else if (current != nullptr && line.rfind("  0x", 0) == 0 && std::regex_match(line, m, rowLine)) {
            OracleRow row;
            row.address = std::stoull(m[1], nullptr, 16);
            const std::string rest = m[2];
            const size_t colon = rest.find(": ");
            row.cfa = canonicalValue(rest.substr(0, colon));
            if (colon != std::string::npos) {
                for (const std::string &rule : splitRules(rest.substr(colon + 2))) {
                    const size_t eq = rule.find('=');
                    if (eq == std::string::npos) continue;
                    const std::string value = rule.substr(eq + 1);
                    if (value == "undefined") continue;
                    row.regs[rule.substr(0, eq)] = canonicalValue(value);
                }
            }
            current->rows.push_back(row);
        }
    }
    finishFde();
    return fdes;
}

}  // namespace dwarftest
