// Every FDE of this machine's libc and libstdc++, read live through the
// images the dynamic-loader layer presents, against llvm-dwarfdump: the
// FDE's range, and the unwinder's rule table at each row boundary of its
// unwind table.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

#include "DwarfOracle.h"
#include "LoadedImages.h"
#include "bbcrash_async_dwarf.h"
#include "bbcrash_async_image_list.h"
#include "bbcrash_dwarf_cfa_state.h"

using namespace bbcrash::BN::async;
using namespace platform::mach;

#ifdef PLOTWICK_DWARFDUMP

namespace {

using State64 = dwarf_cfa_state<uint64_t, int64_t>;

struct LoadedObject {
    std::string path;
    uint64_t bias = 0;
};

// The file and load bias of the object that holds `address`.
LoadedObject objectContaining(const void *address) {
    Dl_info info{};
    LoadedObject result;
    if (dladdr(address, &info) == 0) {
        return result;
    }
    struct Search {
        const void *base;
        LoadedObject *out;
    } search{info.dli_fbase, &result};
    dl_iterate_phdr(
        [](dl_phdr_info *phdr, size_t, void *data) {
            auto *s = static_cast<Search *>(data);
            for (int i = 0; i < phdr->dlpi_phnum; i++) {
                if (phdr->dlpi_phdr[i].p_type == PT_LOAD &&
                    phdr->dlpi_addr + phdr->dlpi_phdr[i].p_vaddr == (reinterpret_cast<uintptr_t>(s->base) & ~0xfffUL)) {
                    s->out->path = phdr->dlpi_name;
                    s->out->bias = phdr->dlpi_addr;
                    return 1;
                }
            }
            return 0;
        },
        &search);
    return result;
}

std::string signedOffset(int64_t v) {
    if (v == 0) return "";
    return v > 0 ? "+" + std::to_string(v) : "-" + std::to_string(-v);
}

// The current row of `state` in the oracle's canonical text.
dwarftest::OracleRow describe(const State64 &state, uint64_t address) {
    dwarftest::OracleRow row;
    row.address = address;
    const auto cfa = state.get_cfa_rule();
    switch (cfa.type) {
    case CFA_REGISTER: row.cfa = dwarftest::dwarfRegisterName(cfa.regnum) + signedOffset(int64_t(cfa.offset)); break;
    case CFA_REGISTER_SIGNED:
        row.cfa = dwarftest::dwarfRegisterName(cfa.regnum) + signedOffset(cfa.signed_offset);
        break;
    case CFA_EXPRESSION: row.cfa = "<expr>"; break;
    default: row.cfa = "undefined";
    }
    dwarf_cfa_state_iterator<uint64_t, int64_t> it(&state);
    uint32_t reg;
    bbcrash_dwarf_cfa_reg_rule_t rule;
    uint64_t value;
    while (it.next(&reg, &rule, &value)) {
        std::string text;
        switch (rule) {
        case REG_RULE_OFFSET: text = "[CFA" + signedOffset(int64_t(value)) + "]"; break;
        case REG_RULE_VAL_OFFSET: text = "CFA" + signedOffset(int64_t(value)); break;
        case REG_RULE_REGISTER: text = dwarftest::dwarfRegisterName(value); break;
        case REG_RULE_EXPRESSION: text = "[<expr>]"; break;
        case REG_RULE_VAL_EXPRESSION: text = "<expr>"; break;
        case REG_RULE_SAME_VALUE: text = "same"; break;
        }
        row.regs[dwarftest::dwarfRegisterName(reg)] = text;
    }
    return row;
}

std::string rowText(const dwarftest::OracleRow &row) {
    std::ostringstream out;
    out << "CFA=" << row.cfa;
    for (const auto &r : row.regs) out << " " << r.first << "=" << r.second;
    return out.str();
}

void checkLibrary(const void *symbolInLibrary, const char *label) {
    const LoadedObject object = objectContaining(symbolInLibrary);
    ASSERT_FALSE(object.path.empty()) << label;
    const auto oracle = dwarftest::readEhFrameOracle(PLOTWICK_DWARFDUMP, object.path);
    ASSERT_GT(oracle.size(), 100u) << "llvm-dwarfdump gave no FDEs for " << object.path;

    // The image as the crash path sees it.
    bbcrash_async_image_list list;
    bbcrash_nasync_image_list_init(&list, mach_task_self());
    unwindtest::appendLoadedImages(&list);
    bbcrash_async_image_list_set_reading(&list, true);
    bbcrash_async_macho *image =
        bbcrash_async_image_containing_address(&list, reinterpret_cast<uintptr_t>(symbolInLibrary));
    ASSERT_NE(image, nullptr) << label;
    bbcrash_async_mobject section;
    ASSERT_EQ(bbcrash_async_macho_map_section(image, "__TEXT", "__eh_frame", &section), BBCRASH_ESUCCESS);
    const uint64_t sectionStart = bbcrash_async_mobject_base_address(&section);
    const auto *byteorder = image->byteorder;

    size_t rows = 0, argsSizeRows = 0, mismatches = 0;
    for (size_t n = 0; n < oracle.size(); n++) {
        const auto &expected = oracle[n];
        bbcrash_async_dwarf_fde_info fde;
        ASSERT_EQ(bbcrash_async_dwarf_fde_info_init<uint64_t>(&fde, &section, byteorder, sectionStart + expected.offset,
                                                              false),
                  BBCRASH_ESUCCESS)
            << label << " FDE at " << std::hex << expected.offset;
        ASSERT_EQ(fde.pc_start, expected.pcStart + object.bias) << std::hex << expected.offset;
        ASSERT_EQ(fde.pc_end, expected.pcEnd + object.bias) << std::hex << expected.offset;

        gnu_ehptr_reader<uint64_t> ptrReader(byteorder);
        bbcrash_async_dwarf_cie_info cie;
        ASSERT_EQ(
            bbcrash_async_dwarf_cie_info_init(&cie, &section, byteorder, &ptrReader, sectionStart + fde.cie_offset),
            BBCRASH_ESUCCESS);
        for (const auto &row : expected.rows) {
            rows++;
            const uint64_t pc = row.address + object.bias;
            State64 state;
            bbcrash_error_t err =
                state.eval_program(&section, pc, fde.pc_start, &cie, &ptrReader, byteorder, sectionStart,
                                   int64_t(cie.initial_instructions_offset), int64_t(cie.initial_instructions_length));
            if (err == BBCRASH_ESUCCESS) {
                err = state.eval_program(&section, pc, fde.pc_start, &cie, &ptrReader, byteorder, sectionStart,
                                         int64_t(fde.instructions_offset), int64_t(fde.instructions_length));
            }
            argsSizeRows += expected.hasArgsSize ? 1 : 0;
            ASSERT_EQ(err, BBCRASH_ESUCCESS)
                << label << " FDE " << std::hex << expected.offset << " row " << row.address;
            const auto actual = describe(state, row.address);
            if (rowText(actual) != rowText(row) && ++mismatches <= 10) {
                ADD_FAILURE() << label << " FDE " << std::hex << expected.offset << " at 0x" << row.address
                              << "\n  ours:   " << rowText(actual) << "\n  oracle: " << rowText(row);
            }
        }
    }
    EXPECT_EQ(mismatches, 0u) << label;

    // The linear search finds the same FDE for a spread of addresses.
    bbcrash_async_dwarf_frame_reader reader;
    bbcrash_async_dwarf_frame_reader_init(&reader, &section, byteorder, true, false);
    const size_t step = oracle.size() / 40 + 1;
    for (size_t n = 0; n < oracle.size(); n += step) {
        const auto &expected = oracle[n];
        if (expected.pcEnd == expected.pcStart) continue;
        bbcrash_async_dwarf_fde_info found;
        const uint64_t pc = object.bias + expected.pcStart + (expected.pcEnd - expected.pcStart) / 2;
        ASSERT_EQ(bbcrash_async_dwarf_frame_reader_find_fde(&reader, 0, pc, &found), BBCRASH_ESUCCESS);
        EXPECT_EQ(found.fde_offset, expected.offset + 4) << std::hex << pc;
    }

    bbcrash_async_mobject_free(&section);
    bbcrash_async_image_list_set_reading(&list, false);
    bbcrash_nasync_image_list_free(&list);
    std::printf("%s: %zu FDEs, %zu rows compared, %zu of them in FDEs with DW_CFA_GNU_args_size\n", label,
                oracle.size(), rows, argsSizeRows);
}

}  // namespace

// getpid: a libc function that no sanitizer intercepts, so its address lies
// in libc itself whatever runtime the build links.
TEST(DwarfEhFrameOracleTests, LibcMatchesDwarfdump) { checkLibrary(reinterpret_cast<const void *>(&getpid), "libc"); }

TEST(DwarfEhFrameOracleTests, LibstdcxxMatchesDwarfdump) {
    checkLibrary(reinterpret_cast<const void *>(&std::terminate), "libstdc++");
}

#endif
