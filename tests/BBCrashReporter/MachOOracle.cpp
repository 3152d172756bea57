#include "MachOOracle.h"

#include "support/TestSupport.h"

#include <cstdio>
#include <set>
#include <sstream>

namespace testsupport {

namespace {

std::string trim(const std::string &s) {
    size_t a = s.find_first_not_of(" \t");
    size_t b = s.find_last_not_of(" \t\r");
    return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

// "key value" lines of the private headers.
bool field(const std::string &line, const std::string &key, std::string *value) {
    std::string t = trim(line);
    if (t.rfind(key + " ", 0) != 0) return false;
    *value = trim(t.substr(key.size()));
    return true;
}

}  // namespace

std::string uuidText(const uint8_t *b) {
    char text[40];
    std::snprintf(text, sizeof(text), "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0],
                  b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    return text;
}

MachOOracle MachOOracle::read(const std::string &path) {
    MachOOracle oracle;
    std::istringstream headers(runCommand(std::string(PLOTWICK_OBJDUMP) + " --macho --private-headers '" + path + "'"));
    std::string line, value, cmd;
    bool inSection = false;
    while (std::getline(headers, line)) {
        if (field(line, "cmd", &value)) {
            cmd = value;
            inSection = false;
        } else if (field(line, "Section", &value) || trim(line) == "Section") {
            inSection = true;
        } else if (cmd == "LC_SEGMENT_64" || cmd == "LC_SEGMENT") {
            if (!inSection && field(line, "segname", &value)) {
                oracle.segments.push_back({value});
            } else if (!inSection && field(line, "vmaddr", &value)) {
                oracle.segments.back().vmaddr = std::stoull(value, nullptr, 16);
            } else if (!inSection && field(line, "vmsize", &value)) {
                oracle.segments.back().vmsize = std::stoull(value, nullptr, 16);
            } else if (field(line, "sectname", &value)) {
                inSection = true;
                oracle.sections.push_back({"", value});
            } else if (inSection && field(line, "segname", &value)) {
                oracle.sections.back().segment = value;
            } else if (inSection && field(line, "addr", &value)) {
                oracle.sections.back().addr = std::stoull(value, nullptr, 16);
            } else if (inSection && field(line, "size", &value)) {
                oracle.sections.back().size = std::stoull(value, nullptr, 16);
            }
        } else if (cmd == "LC_UUID" && field(line, "uuid", &value)) {
            oracle.uuid = value;
        }
    }

    std::istringstream nm(runCommand(std::string(PLOTWICK_NM) + " -n '" + path + "'"));
    while (std::getline(nm, line)) {
        // "address type name"; undefined symbols have no address.
        size_t first = line.find(' ');
        if (line.empty() || line[0] == ' ' || first == std::string::npos || line.size() < first + 4) continue;
        OracleSymbol symbol;
        symbol.address = std::stoull(line.substr(0, first), nullptr, 16);
        symbol.type = line[first + 1];
        symbol.name = line.substr(first + 3);
        oracle.symbols.push_back(symbol);
    }

    std::istringstream objc(runCommand(std::string(PLOTWICK_OBJDUMP) + " --macho --objc-meta-data '" + path + "'"));
    std::set<std::string> seen;
    while (std::getline(objc, line)) {
        if (field(line, "imp", &value) && seen.insert(value).second) {
            oracle.methodImps.push_back(value);
        }
    }
    return oracle;
}

}  // namespace testsupport
