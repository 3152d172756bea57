#include "platform/dyld/ElfUnwindInfo.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <unordered_map>

namespace platform::dyld {

namespace {

constexpr uint32_t kDwarfRa = 16;  // x86_64 return-address column
constexpr uint32_t kDwarfRbp = 6, kDwarfRsp = 7;
constexpr size_t kEntriesPerPage = 1024;
// What the unwinder's rule table holds at most: rules over all levels, and
// levels of remember_state.
constexpr size_t kMaxRules = 100;
constexpr size_t kMaxLevels = 6;

// A bounded cursor over the section's bytes; every read fails past the end.
struct Cursor {
    const uint8_t *p;
    const uint8_t *end;

    template <typename T>
    bool read(T *value) {
        if (size_t(end - p) < sizeof(T)) return false;
        std::memcpy(value, p, sizeof(T));
        p += sizeof(T);
        return true;
    }
    bool leb(bool isSigned, uint64_t *value) {
        uint64_t result = 0;
        unsigned shift = 0;
        uint8_t byte = 0;
        size_t count = 0;
        do {
            if (p == end || count == 10) return false;
            byte = *p++;
            ++count;
            if (shift < 64) result |= uint64_t(byte & 0x7f) << shift;
            shift += 7;
        } while (byte & 0x80);
        if (isSigned && shift < 64 && (byte & 0x40)) result |= ~uint64_t(0) << shift;
        *value = result;
        return true;
    }
    bool uleb(uint64_t *value) { return leb(false, value); }
    bool sleb(int64_t *value) {
        uint64_t raw = 0;
        if (!leb(true, &raw)) return false;
        *value = int64_t(raw);
        return true;
    }
    bool skip(uint64_t n) {
        if (uint64_t(end - p) < n) return false;
        p += n;
        return true;
    }
};

// A pointer in one of the encodings the unwinder reads without bases:
// absolute or pc-relative, never indirect.
bool readPointer(Cursor &c, uint8_t encoding, uint64_t *out) {
    const uint64_t field = reinterpret_cast<uintptr_t>(c.p);
    uint64_t value = 0;
    switch (encoding & 0x0f) {
    case 0x00:
    case 0x04:
    case 0x0c:
        if (!c.read(&value)) return false;
        break;
    case 0x01:
        if (!c.uleb(&value)) return false;
        break;
    case 0x09: {
        int64_t v;
        if (!c.sleb(&v)) return false;
        value = uint64_t(v);
        break;
    }
    case 0x02: {
        uint16_t v;
        if (!c.read(&v)) return false;
        value = v;
        break;
    }
    case 0x03: {
        uint32_t v;
        if (!c.read(&v)) return false;
        value = v;
        break;
    }
    case 0x0a: {
        int16_t v;
        if (!c.read(&v)) return false;
        value = uint64_t(int64_t(v));
        break;
    }
    case 0x0b: {
        int32_t v;
        if (!c.read(&v)) return false;
        value = uint64_t(int64_t(v));
        break;
    }
    default: return false;
    }
    switch (encoding & 0xf0) {
    case 0x00: break;
    case 0x10: value += field; break;
    default: return false;
    }
    *out = value;
    return true;
}

struct Cie {
    uint64_t codeAlign = 0;
    int64_t dataAlign = 0;
    uint64_t raRegister = 0;
    uint8_t pointerEncoding = 0;  // absolute unless 'R' says otherwise
    bool augmented = false;       // 'z'
    bool signalFrame = false;     // 'S'
    const uint8_t *instructions = nullptr;
    const uint8_t *instructionsEnd = nullptr;
};

// Parses the CIE whose content (after the length) is [content, end); false
// for anything the unwinder would refuse.
bool parseCie(const uint8_t *content, const uint8_t *end, Cie *cie) {
    Cursor c{content, end};
    uint32_t id = 0;
    uint8_t version = 0;
    if (!c.read(&id) || id != 0 || !c.read(&version) || (version != 1 && version != 3)) return false;
    const uint8_t *augmentation = c.p;
    while (c.p < c.end && *c.p != 0) c.p++;
    if (c.p == c.end) return false;
    const size_t augmentationLength = size_t(c.p - augmentation);
    c.p++;
    if (augmentationLength > 0 && augmentation[0] != 'z') return false;
    cie->augmented = augmentationLength > 0;
    if (!c.uleb(&cie->codeAlign) || !c.sleb(&cie->dataAlign) || !c.uleb(&cie->raRegister)) return false;
    if (cie->augmented) {
        uint64_t dataLength = 0;
        if (!c.uleb(&dataLength) || uint64_t(c.end - c.p) < dataLength) return false;
        Cursor data{c.p, c.p + dataLength};
        for (size_t i = 1; i < augmentationLength; i++) {
            const char ch = char(augmentation[i]);
            if (ch == 'L') {
                uint8_t encoding;
                if (!data.read(&encoding)) return false;
            } else if (ch == 'P') {
                uint8_t encoding;
                uint64_t personality;
                // Indirect personality pointers are read from the image by the
                // unwinder; here only their size matters.
                if (!data.read(&encoding) || !readPointer(data, encoding & 0x7f, &personality)) return false;
            } else if (ch == 'R') {
                if (!data.read(&cie->pointerEncoding)) return false;
            } else if (ch == 'S') {
                cie->signalFrame = true;
            } else {
                break;
            }
        }
        c.p += dataLength;
    }
    cie->instructions = c.p;
    cie->instructionsEnd = end;
    return true;
}

// A factored offset, wrapping as the unwinder's word arithmetic does.
int64_t scaled(uint64_t factored, int64_t alignment) { return int64_t(factored * uint64_t(alignment)); }

struct Rule {
    bool offset;  // saved at CFA + value; anything else is some other rule
    int64_t value;
};

struct RowState {
    bool cfaIsRegister = false;
    uint64_t cfaRegister = 0;
    int64_t cfaOffset = 0;
    std::map<uint64_t, Rule> rules;
};

// The permutation number of a frameless encoding for these compact register
// numbers (1-6) in order, the inverse of the unwinder's decoding.
uint32_t encodePermutation(const uint32_t *registers, size_t count) {
    uint32_t digits[6] = {};
    bool used[7] = {};
    for (size_t i = 0; i < count; i++) {
        uint32_t digit = 0;
        for (uint32_t r = 1; r < registers[i]; r++) {
            if (!used[r]) digit++;
        }
        digits[i] = digit;
        used[registers[i]] = true;
    }
    switch (count) {
    case 6:
    case 5: return digits[0] * 120 + digits[1] * 24 + digits[2] * 6 + digits[3] * 2 + digits[4];
    case 4: return digits[0] * 60 + digits[1] * 12 + digits[2] * 3 + digits[3];
    case 3: return digits[0] * 20 + digits[1] * 4 + digits[2];
    case 2: return digits[0] * 5 + digits[1];
    case 1: return digits[0];
    default: return 0;
    }
}

// The compact register number of a DWARF register that compact encodings can
// save (rbx, r12-r15, rbp), or 0.
uint32_t compactRegister(uint64_t dwarf) {
    switch (dwarf) {
    case 3: return 1;
    case 12: return 2;
    case 13: return 3;
    case 14: return 4;
    case 15: return 5;
    case kDwarfRbp: return 6;
    default: return 0;
    }
}

// The compact encoding whose unwinding gives exactly what this row's rules
// give, or the DWARF mode.
uint32_t encodeRow(const RowState &row, const Cie &cie, uint32_t dwarfEncoding) {
    if (cie.raRegister != kDwarfRa || cie.signalFrame || !row.cfaIsRegister) return dwarfEncoding;
    const auto ra = row.rules.find(kDwarfRa);
    if (ra == row.rules.end() || !ra->second.offset || ra->second.value != -8) return dwarfEncoding;
    for (const auto &[reg, rule] : row.rules) {
        // (Offsets beyond any frame's reach stay with DWARF, and keep the
        // arithmetic below far from overflowing.)
        if (!rule.offset || (reg != kDwarfRa && compactRegister(reg) == 0) || rule.value < -(1 << 20) ||
            rule.value > (1 << 20)) {
            return dwarfEncoding;
        }
    }

    if (row.cfaRegister == kDwarfRbp && row.cfaOffset == 16) {
        // RBP frame: rbp saved at CFA-16, the others within five slots below.
        const auto rbp = row.rules.find(kDwarfRbp);
        if (rbp == row.rules.end() || rbp->second.value != -16) return dwarfEncoding;
        int64_t lowest = 0;
        for (const auto &[reg, rule] : row.rules) {
            if (reg == kDwarfRa || reg == kDwarfRbp) continue;
            const int64_t fromFp = rule.value + 16;
            if (fromFp >= 0 || fromFp % 8 != 0) return dwarfEncoding;
            lowest = std::min(lowest, fromFp);
        }
        const int64_t offsetField = -lowest / 8;
        if (offsetField > 255) return dwarfEncoding;
        uint32_t slots = 0;
        uint32_t taken = 0;
        for (const auto &[reg, rule] : row.rules) {
            if (reg == kDwarfRa || reg == kDwarfRbp) continue;
            const int64_t slot = (rule.value + 16 - lowest) / 8;
            if (slot >= 5 || (taken & (1u << slot))) return dwarfEncoding;
            taken |= 1u << slot;
            slots |= compactRegister(reg) << (3 * slot);
        }
        return ElfUnwindInfo::kModeFrame | uint32_t(offsetField) << 16 | slots;
    }
    if (row.cfaRegister == kDwarfRsp && row.cfaOffset >= 8 && row.cfaOffset % 8 == 0 && row.cfaOffset / 8 <= 255) {
        // Frameless: the saved registers fill the slots right below the
        // return address.
        const size_t count = row.rules.size() - 1;
        if (count > 6 || row.cfaOffset < int64_t(8 + 8 * count)) return dwarfEncoding;
        uint32_t list[6] = {};
        for (const auto &[reg, rule] : row.rules) {
            if (reg == kDwarfRa) continue;
            const int64_t slot = (rule.value + int64_t(8 + 8 * count)) / 8;  // 0 is the lowest address
            if (rule.value % 8 != 0 || slot < 0 || slot >= int64_t(count) || list[slot] != 0) return dwarfEncoding;
            list[slot] = compactRegister(reg);
        }
        return ElfUnwindInfo::kModeFramelessImmediate | uint32_t(row.cfaOffset / 8) << 16 | uint32_t(count) << 10 |
               encodePermutation(list, count);
    }
    return dwarfEncoding;
}

struct Entry {
    uint64_t address;  // in memory
    uint32_t encoding;
};

// Runs one CFA program over `row`. With `rows` null it is a CIE's initial
// program, which may only set rules. Otherwise every change of location ends
// a row, recorded as [location, encoding); a failure leaves the rest of the
// function to the DWARF mode. False when the program cannot be read at all.
class Program {
public:
    Program(const Cie &cie, uint32_t dwarfEncoding) : cie_(cie), dwarf_(dwarfEncoding) {}

    bool runInitial(RowState *row) { return run(cie_.instructions, cie_.instructionsEnd, row, nullptr, 0, 0); }

    void runFde(const uint8_t *begin, const uint8_t *end, RowState *row, uint64_t pcStart, uint64_t pcEnd,
                std::vector<Entry> *rows) {
        initial_ = *row;
        rules_ = row->rules.size();
        if (!run(begin, end, row, rows, pcStart, pcEnd)) {
            failed_ = true;
        }
        if (location_ < pcEnd) {
            rows->push_back({location_, failed_ ? dwarf_ : encodeRow(*row, cie_, dwarf_)});
        }
    }

private:
    bool run(const uint8_t *begin, const uint8_t *end, RowState *row, std::vector<Entry> *rows, uint64_t pcStart,
             uint64_t pcEnd) {
        Cursor c{begin, end};
        location_ = pcStart;
        auto advance = [&](uint64_t to) {
            if (rows == nullptr || to < location_) return false;
            if (to != location_ && location_ < pcEnd) {
                rows->push_back({location_, encodeRow(*row, cie_, dwarf_)});
            }
            location_ = to;
            return true;
        };
        auto setRule = [&](uint64_t reg, Rule rule) {
            if (reg > 0xffffffffULL) return false;
            if (row->rules.find(reg) == row->rules.end() && ++rules_ > kMaxRules) return false;
            row->rules[reg] = rule;
            return true;
        };
        auto removeRule = [&](uint64_t reg) {
            if (row->rules.erase(reg) != 0) rules_--;
        };
        auto restore = [&](uint64_t reg) {
            if (rows == nullptr) return false;
            const auto it = initial_.rules.find(reg);
            if (it == initial_.rules.end()) {
                removeRule(reg);
                return true;
            }
            return setRule(reg, it->second);
        };
        const int64_t dataAlign = cie_.dataAlign;
        while (c.p < c.end) {
            if (location_ >= pcEnd && rows != nullptr) return true;
            uint8_t op = 0;
            uint64_t reg = 0, u = 0;
            int64_t s = 0;
            c.read(&op);
            switch (op & 0xc0) {
            case 0x40:
                if (!advance(location_ + (op & 0x3f) * cie_.codeAlign)) return false;
                continue;
            case 0x80:
                if (!c.uleb(&u) || !setRule(op & 0x3f, {true, scaled(u, dataAlign)})) return false;
                continue;
            case 0xc0:
                if (!restore(op & 0x3f)) return false;
                continue;
            default: break;
            }
            switch (op) {
            case 0x00: break;
            case 0x01: {
                uint64_t target = 0;
                if (!readPointer(c, cie_.pointerEncoding, &target) || !advance(target)) return false;
                break;
            }
            case 0x02: {
                uint8_t d;
                if (!c.read(&d) || !advance(location_ + d * cie_.codeAlign)) return false;
                break;
            }
            case 0x03: {
                uint16_t d;
                if (!c.read(&d) || !advance(location_ + d * cie_.codeAlign)) return false;
                break;
            }
            case 0x04: {
                uint32_t d;
                if (!c.read(&d) || !advance(location_ + d * cie_.codeAlign)) return false;
                break;
            }
            case 0x05:
                if (!c.uleb(&reg) || !c.uleb(&u) || !setRule(reg, {true, scaled(u, dataAlign)})) return false;
                break;
            case 0x06:
                if (!c.uleb(&reg) || reg > 0xffffffffULL || !restore(reg)) return false;
                break;
            case 0x07:
                if (!c.uleb(&reg) || reg > 0xffffffffULL) return false;
                removeRule(reg);
                break;
            case 0x08:
                if (!c.uleb(&reg) || !setRule(reg, {false, 0})) return false;
                break;
            case 0x09:
                if (!c.uleb(&reg) || !c.uleb(&u) || u > 0xffffffffULL || !setRule(reg, {false, 0})) return false;
                break;
            case 0x0a:
                if (rows == nullptr || stack_.size() + 1 >= kMaxLevels || (rules_ += row->rules.size()) > kMaxRules) {
                    return false;
                }
                stack_.push_back(*row);
                break;
            case 0x0b:
                if (stack_.empty()) return false;
                rules_ -= row->rules.size();
                *row = stack_.back();
                stack_.pop_back();
                break;
            case 0x0c:
                if (!c.uleb(&reg) || !c.uleb(&u) || reg > 0xffffffffULL) return false;
                *row = RowState{true, reg, int64_t(u), std::move(row->rules)};
                break;
            case 0x0d:
                if (!row->cfaIsRegister || !c.uleb(&reg) || reg > 0xffffffffULL) return false;
                row->cfaRegister = reg;
                break;
            case 0x0e:
                if (!row->cfaIsRegister || !c.uleb(&u)) return false;
                row->cfaOffset = int64_t(u);
                break;
            case 0x0f:
                if (!c.uleb(&u) || !c.skip(u)) return false;
                row->cfaIsRegister = false;
                break;
            case 0x10:
            case 0x16:
                if (!c.uleb(&reg) || !c.uleb(&u) || !c.skip(u) || !setRule(reg, {false, 0})) return false;
                break;
            case 0x11:
                if (!c.uleb(&reg) || !c.sleb(&s) || !setRule(reg, {true, scaled(uint64_t(s), dataAlign)})) return false;
                break;
            case 0x12:
                if (!c.uleb(&reg) || !c.sleb(&s) || reg > 0xffffffffULL) return false;
                row->cfaIsRegister = true;
                row->cfaRegister = reg;
                row->cfaOffset = scaled(uint64_t(s), dataAlign);
                break;
            case 0x13:
                if (!row->cfaIsRegister || !c.sleb(&s)) return false;
                row->cfaOffset = scaled(uint64_t(s), dataAlign);
                break;
            case 0x14:
                if (!c.uleb(&reg) || !c.uleb(&u) || !setRule(reg, {false, 0})) return false;
                break;
            case 0x15:
                if (!c.uleb(&reg) || !c.sleb(&s) || !setRule(reg, {false, 0})) return false;
                break;
            case 0x2e:
                if (!c.uleb(&u)) return false;
                break;
            default: return false;
            }
        }
        return true;
    }

    const Cie &cie_;
    uint32_t dwarf_;
    RowState initial_;
    std::vector<RowState> stack_;
    size_t rules_ = 0;
    uint64_t location_ = 0;
    bool failed_ = false;
};

struct Fde {
    uint64_t start, end;
    std::vector<Entry> rows;
};

void putU32(std::vector<uint8_t> &out, size_t at, uint32_t value) { std::memcpy(out.data() + at, &value, 4); }

}  // namespace

std::vector<uint8_t> ElfUnwindInfo::build(const uint8_t *ehFrame, size_t size, uintptr_t imageBase, uint64_t textSize) {
    std::unordered_map<const uint8_t *, std::optional<Cie>> cies;
    std::vector<Fde> fdes;
    const uint8_t *end = ehFrame + size;
    for (const uint8_t *p = ehFrame; end - p >= 4;) {
        uint32_t length = 0;
        std::memcpy(&length, p, 4);
        if (length == 0) break;
        // 64-bit lengths and entries that leave the section: leave the whole
        // image to the DWARF reader.
        if (length == 0xffffffffU || uint64_t(end - p - 4) < length || length < 4) return {};
        const uint8_t *content = p + 4;
        const uint8_t *next = content + length;
        uint32_t id = 0;
        std::memcpy(&id, content, 4);
        if (id != 0) {
            if (id > uint64_t(content - ehFrame)) return {};
            const uint8_t *ciePointer = content - id;
            auto &cie = cies[ciePointer];
            if (!cie) {
                uint32_t cieLength = 0;
                if (end - ciePointer < 8) return {};
                std::memcpy(&cieLength, ciePointer, 4);
                if (cieLength == 0xffffffffU || uint64_t(end - ciePointer - 4) < cieLength) return {};
                Cie parsed;
                if (!parseCie(ciePointer + 4, ciePointer + 4 + cieLength, &parsed)) return {};
                cie = parsed;
            }
            Cursor c{content + 4, next};
            uint64_t pcStart = 0, range = 0;
            if (!readPointer(c, cie->pointerEncoding, &pcStart) ||
                !readPointer(c, cie->pointerEncoding & 0x0f, &range)) {
                return {};
            }
            if (cie->augmented) {
                uint64_t dataLength = 0;
                if (!c.uleb(&dataLength) || !c.skip(dataLength)) return {};
            }
            const uint64_t pcEnd = pcStart + range;
            if (range != 0 && pcEnd > pcStart && pcStart >= imageBase && pcEnd - imageBase <= textSize) {
                const uint32_t dwarf = kModeDwarf | (uint64_t(p - ehFrame) < (1u << 24) ? uint32_t(p - ehFrame) : 0);
                Fde fde{pcStart, pcEnd, {}};
                RowState row;
                Program program(*cie, dwarf);
                if (program.runInitial(&row)) {
                    program.runFde(c.p, next, &row, pcStart, pcEnd, &fde.rows);
                } else {
                    fde.rows.push_back({pcStart, dwarf});
                }
                fdes.push_back(std::move(fde));
            }
        }
        p = next;
    }
    if (fdes.empty()) return {};

    // Entries in address order. Where FDEs overlap, the unwinder takes the
    // first in the section: those addresses stay with the DWARF mode.
    std::stable_sort(fdes.begin(), fdes.end(), [](const Fde &a, const Fde &b) { return a.start < b.start; });
    std::vector<Entry> entries;
    for (size_t i = 0; i < fdes.size();) {
        size_t j = i + 1;
        uint64_t groupEnd = fdes[i].end;
        while (j < fdes.size() && fdes[j].start < groupEnd) {
            groupEnd = std::max(groupEnd, fdes[j].end);
            j++;
        }
        if (j == i + 1) {
            entries.insert(entries.end(), fdes[i].rows.begin(), fdes[i].rows.end());
        } else {
            entries.push_back({fdes[i].start, kModeDwarf});
        }
        // What follows the group up to the next FDE (or the end of the text)
        // is no function's.
        entries.push_back({groupEnd, kModeDwarf});
        i = j;
    }
    // One entry per change of encoding; at one address the later entry (a
    // function starting where the gap before it would) wins.
    std::vector<Entry> table;
    for (const auto &e : entries) {
        if (!table.empty() && table.back().address == e.address) {
            table.back().encoding = e.encoding;
        } else if (table.empty() || table.back().encoding != e.encoding) {
            table.push_back(e);
        }
    }

    const size_t pages = (table.size() + kEntriesPerPage - 1) / kEntriesPerPage;
    const size_t indexOffset = 28;
    size_t pageOffset = indexOffset + (pages + 1) * 12;
    std::vector<uint8_t> out(pageOffset + pages * 8 + table.size() * 8, 0);
    putU32(out, 0, 1);            // version
    putU32(out, 4, indexOffset);  // no common encodings
    putU32(out, 8, 0);
    putU32(out, 12, indexOffset);  // no personalities
    putU32(out, 16, 0);
    putU32(out, 20, indexOffset);
    putU32(out, 24, uint32_t(pages + 1));
    for (size_t page = 0; page < pages; page++) {
        const size_t first = page * kEntriesPerPage;
        const size_t count = std::min(kEntriesPerPage, table.size() - first);
        putU32(out, indexOffset + page * 12, uint32_t(table[first].address - imageBase));
        putU32(out, indexOffset + page * 12 + 4, uint32_t(pageOffset));
        putU32(out, pageOffset, 2);  // regular page
        const uint16_t entriesOffset = 8, entryCount = uint16_t(count);
        std::memcpy(out.data() + pageOffset + 4, &entriesOffset, 2);
        std::memcpy(out.data() + pageOffset + 6, &entryCount, 2);
        for (size_t k = 0; k < count; k++) {
            putU32(out, pageOffset + 8 + k * 8, uint32_t(table[first + k].address - imageBase));
            putU32(out, pageOffset + 12 + k * 8, table[first + k].encoding);
        }
        pageOffset += 8 + count * 8;
    }
    putU32(out, indexOffset + pages * 12, uint32_t(table.back().address - imageBase));  // the terminator
    return out;
}

}  // namespace platform::dyld
