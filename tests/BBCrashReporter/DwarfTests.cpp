// The DWARF call-frame unwinder on hand-built sections: pointer encodings,
// CIE and FDE parsing, the FDE search, CFA programs, the rule table's levels
// and pool, applying a row, and the expression evaluator.
#include <gtest/gtest.h>

#include <climits>
#include <initializer_list>
#include <sys/mman.h>
#include <vector>

#include "DwarfTestBytes.h"
#include "UnwindTestState.h"
#include "bbcrash_async_dwarf.h"
#include "bbcrash_async_dwarf_expression.h"
#include "bbcrash_dwarf_cfa_state.h"

using namespace bbcrash::BN::async;
using namespace platform::mach;
using dwarftest::Bytes;
using unwindtest::state64With;

namespace {

using State64 = dwarf_cfa_state<uint64_t, int64_t>;
using State32 = dwarf_cfa_state<uint32_t, int32_t>;

const bbcrash_async_byteorder *native() { return bbcrash_async_byteorder_native(); }

// A "zR" CIE with pc-relative signed 32-bit pointers (unless `aug` says
// otherwise); returns the offset of its length field.
size_t writeCie(Bytes &b, std::initializer_list<uint8_t> instructions, const char *aug = "zR", uint8_t encoding = 0x1b,
                uint8_t version = 1, int64_t dataAlign = -8) {
    const size_t start = b.size();
    b.u32(0).u32(0).u8(version).str(aug).uleb(1).sleb(dataAlign).uleb(16);
    if (aug[0] == 'z') {
        b.uleb(1).u8(encoding);
    }
    b.bytes(instructions);
    b.patch32(start, uint32_t(b.size() - start - 4));
    return start;
}

size_t writeFde(Bytes &b, size_t cie, uint64_t pcStart, uint32_t range, std::initializer_list<uint8_t> instructions) {
    const size_t start = b.size();
    b.u32(0);
    b.u32(uint32_t(b.size() - cie));
    b.pcrel32(pcStart).u32(range).uleb(0);
    b.bytes(instructions);
    b.patch32(start, uint32_t(b.size() - start - 4));
    return start;
}

// Runs the CFA program in `b` with `cie` as its CIE.
template <typename S, typename machine_ptr>
bbcrash_error_t runProgram(S &state, Bytes &b, const bbcrash_async_dwarf_cie_info &cie, machine_ptr pc,
                           machine_ptr pcStart) {
    return state.eval_program(b.map(), pc, pcStart, &cie, nullptr, native(), b.base(), 0, int64_t(b.size()));
}

bbcrash_async_dwarf_cie_info plainCie() {
    bbcrash_async_dwarf_cie_info cie{};
    cie.code_alignment_factor = 1;
    cie.data_alignment_factor = -8;
    cie.return_address_register = 16;
    return cie;
}

}  // namespace

// --- Pointer encodings -------------------------------------------------------

TEST(DwarfTests, PointerEncodings) {
    Bytes b;
    b.u32(0x11223344).u16(0xfffe).uleb(300).sleb(-3).u64(0x8877665544332211ULL).u32(0xfffffff0);
    auto *m = b.map();
    gnu_ehptr_reader<uint64_t> r(native());
    uint64_t v = 0;
    size_t size = 0;
    ASSERT_EQ(r.read(m, b.base(), 0, DW_EH_PE_udata4, &v, &size), BBCRASH_ESUCCESS);
    EXPECT_EQ(v, 0x11223344u);
    EXPECT_EQ(size, 4u);
    ASSERT_EQ(r.read(m, b.base(), 4, DW_EH_PE_sdata2, &v, &size), BBCRASH_ESUCCESS);
    EXPECT_EQ(v, uint64_t(-2));
    ASSERT_EQ(r.read(m, b.base(), 4, DW_EH_PE_udata2, &v, &size), BBCRASH_ESUCCESS);
    EXPECT_EQ(v, 0xfffeu);
    ASSERT_EQ(r.read(m, b.base(), 6, DW_EH_PE_uleb128, &v, &size), BBCRASH_ESUCCESS);
    EXPECT_EQ(v, 300u);
    EXPECT_EQ(size, 2u);
    ASSERT_EQ(r.read(m, b.base(), 8, DW_EH_PE_sleb128, &v, &size), BBCRASH_ESUCCESS);
    EXPECT_EQ(v, uint64_t(-3));
    ASSERT_EQ(r.read(m, b.base(), 9, DW_EH_PE_absptr, &v, &size), BBCRASH_ESUCCESS);
    EXPECT_EQ(v, 0x8877665544332211ULL);
    EXPECT_EQ(size, 8u);
    // pc-relative: the field's own address is the base.
    ASSERT_EQ(r.read(m, b.base(), 17, DW_EH_PE_pcrel | DW_EH_PE_sdata4, &v, &size), BBCRASH_ESUCCESS);
    EXPECT_EQ(v, b.base() + 17 - 16);

    // The 32-bit instance keeps the low half of 64-bit formats, and its word is 4 bytes.
    gnu_ehptr_reader<uint32_t> r32(native());
    uint32_t v32 = 0;
    ASSERT_EQ(r32.read(m, b.base(), 9, DW_EH_PE_udata8, &v32, &size), BBCRASH_ESUCCESS);
    EXPECT_EQ(v32, 0x44332211u);
    ASSERT_EQ(r32.read(m, b.base(), 9, DW_EH_PE_absptr, &v32, &size), BBCRASH_ESUCCESS);
    EXPECT_EQ(size, 4u);

    // Refusals.
    EXPECT_EQ(r.read(m, b.base(), 0, DW_EH_PE_omit, &v, &size), BBCRASH_ENOTFOUND);
    EXPECT_EQ(r.read(m, b.base(), 0, DW_EH_PE_textrel | DW_EH_PE_udata4, &v, &size), BBCRASH_ENOTSUP);
    EXPECT_EQ(r.read(m, b.base(), 0, DW_EH_PE_datarel | DW_EH_PE_udata4, &v, &size), BBCRASH_ENOTSUP);
    EXPECT_EQ(r.read(m, b.base(), 0, DW_EH_PE_funcrel | DW_EH_PE_udata4, &v, &size), BBCRASH_ENOTSUP);
    EXPECT_EQ(r.read(m, b.base(), 0, DW_EH_PE_aligned, &v, &size), BBCRASH_ENOTSUP);
    EXPECT_EQ(r.read(m, b.base(), 0, 0x60 | DW_EH_PE_udata4, &v, &size), BBCRASH_ENOTSUP);
    EXPECT_EQ(r.read(m, b.base(), 0, 0x05, &v, &size), BBCRASH_ENOTSUP);
    EXPECT_EQ(r.read(m, b.base(), int64_t(b.size()) - 2, DW_EH_PE_udata4, &v, &size), BBCRASH_EINVAL);

    // With their bases.
    gnu_ehptr_reader<uint64_t> based(native());
    based.set_text_base(0x1000);
    based.set_data_base(0x2000);
    based.set_func_base(0x3000);
    based.set_frame_section_base(b.base(), b.base());
    ASSERT_EQ(based.read(m, b.base(), 0, DW_EH_PE_textrel | DW_EH_PE_udata2, &v, &size), BBCRASH_ESUCCESS);
    EXPECT_EQ(v, 0x1000u + 0x3344);
    ASSERT_EQ(based.read(m, b.base(), 0, DW_EH_PE_datarel | DW_EH_PE_udata2, &v, &size), BBCRASH_ESUCCESS);
    EXPECT_EQ(v, 0x2000u + 0x3344);
    ASSERT_EQ(based.read(m, b.base(), 0, DW_EH_PE_funcrel | DW_EH_PE_udata2, &v, &size), BBCRASH_ESUCCESS);
    EXPECT_EQ(v, 0x3000u + 0x3344);
    // Aligned: the field moves to the next word boundary, the padding counts.
    ASSERT_EQ(based.read(m, b.base(), 1, DW_EH_PE_aligned, &v, &size), BBCRASH_ESUCCESS);
    EXPECT_EQ(size, 15u);
    EXPECT_EQ(v, 0x776655443322117dULL);  // bytes 8-15: the SLEB128 byte, then 7 bytes of the 64-bit value
}

TEST(DwarfTests, IndirectPointersReadTheTargetWord) {
    static uint64_t target = 0xabcdef0123456789ULL;
    Bytes b;
    b.u64(reinterpret_cast<uintptr_t>(&target));
    gnu_ehptr_reader<uint64_t> r(native());
    uint64_t v = 0;
    size_t size = 0;
    ASSERT_EQ(r.read(b.map(), b.base(), 0, DW_EH_PE_indirect | DW_EH_PE_udata8, &v, &size), BBCRASH_ESUCCESS);
    EXPECT_EQ(v, target);
    EXPECT_EQ(size, 8u);
}

// --- CIE, FDE and the search --------------------------------------------------

TEST(DwarfTests, ParsesAnEhFrameCieAndFde) {
    Bytes b;
    const size_t cie = writeCie(b, {0x0c, 0x07, 0x08, 0x90, 0x01});     // def_cfa rsp+8, offset rip cfa-8
    const uint64_t fn = b.base() - 0x10000;                             // within reach of a 32-bit pc-relative field
    const size_t fde = writeFde(b, cie, fn, 0x40, {0x41, 0x0e, 0x10});  // advance 1, def_cfa_offset 16
    b.u32(0);
    auto *m = b.map();

    gnu_ehptr_reader<uint64_t> r(native());
    bbcrash_async_dwarf_cie_info info;
    ASSERT_EQ(bbcrash_async_dwarf_cie_info_init(&info, m, native(), &r, b.base() + cie), BBCRASH_ESUCCESS);
    EXPECT_EQ(info.cie_offset, cie + 4);
    EXPECT_EQ(info.cie_version, 1);
    EXPECT_TRUE(info.has_eh_augmentation);
    EXPECT_TRUE(info.eh_augmentation.has_pointer_encoding);
    EXPECT_EQ(info.eh_augmentation.pointer_encoding, 0x1b);
    EXPECT_EQ(info.code_alignment_factor, 1u);
    EXPECT_EQ(info.data_alignment_factor, -8);
    EXPECT_EQ(info.return_address_register, 16u);
    EXPECT_EQ(info.initial_instructions_length, 5u);

    bbcrash_async_dwarf_fde_info f;
    ASSERT_EQ(bbcrash_async_dwarf_fde_info_init<uint64_t>(&f, m, native(), b.base() + fde, false), BBCRASH_ESUCCESS);
    EXPECT_EQ(f.fde_offset, fde + 4);
    EXPECT_EQ(f.cie_offset, cie);
    EXPECT_EQ(f.pc_start, fn);
    EXPECT_EQ(f.pc_end, fn + 0x40);
    EXPECT_EQ(f.instructions_length, 3u);

    bbcrash_async_dwarf_frame_reader reader;
    bbcrash_async_dwarf_frame_reader_init(&reader, m, native(), true, false);
    bbcrash_async_dwarf_fde_info found;
    ASSERT_EQ(bbcrash_async_dwarf_frame_reader_find_fde(&reader, 0, fn + 0x3f, &found), BBCRASH_ESUCCESS);
    EXPECT_EQ(found.fde_offset, fde + 4);
    EXPECT_EQ(bbcrash_async_dwarf_frame_reader_find_fde(&reader, 0, fn + 0x40, &found), BBCRASH_ENOTFOUND);
    EXPECT_EQ(bbcrash_async_dwarf_frame_reader_find_fde(&reader, 0, fn - 1, &found), BBCRASH_ENOTFOUND);
    EXPECT_EQ(bbcrash_async_dwarf_frame_reader_find_fde(&reader, b.size(), fn, &found), BBCRASH_EINVAL);
}

TEST(DwarfTests, AugmentationsVersionsAndDebugFrame) {
    static uint64_t personality = 0x1234;
    Bytes b;
    // "zPLRS": an absolute 8-byte personality, an LSDA encoding, a signal frame.
    const size_t cie = b.size();
    b.u32(0).u32(0).u8(3).str("zPLRS").uleb(1).sleb(-8).uleb(16);
    b.uleb(1 + 8 + 1 + 1).u8(DW_EH_PE_absptr).u64(reinterpret_cast<uintptr_t>(&personality)).u8(0x1b).u8(0x1b);
    b.bytes({0x0c, 0x07, 0x08});
    b.patch32(cie, uint32_t(b.size() - cie - 4));
    // Version 4 carries address and segment sizes.
    const size_t cie4 = b.size();
    b.u32(0).u32(0).u8(4).str("").u8(8).u8(0).uleb(4).sleb(-4).uleb(16).bytes({0x00});
    b.patch32(cie4, uint32_t(b.size() - cie4 - 4));
    // Unknown version, and an augmentation that does not start with 'z'.
    const size_t bad = b.size();
    b.u32(8).u32(0).u8(2).str("").u8(0).u8(0);
    const size_t eh = b.size();
    b.u32(12).u32(0).u8(1).str("eh").uleb(1).sleb(-8).uleb(16).u8(0).u8(0);
    auto *m = b.map();
    gnu_ehptr_reader<uint64_t> r(native());
    bbcrash_async_dwarf_cie_info info;
    ASSERT_EQ(bbcrash_async_dwarf_cie_info_init(&info, m, native(), &r, b.base() + cie), BBCRASH_ESUCCESS);
    EXPECT_TRUE(info.eh_augmentation.has_personality_address);
    EXPECT_EQ(info.eh_augmentation.personality_address, reinterpret_cast<uintptr_t>(&personality));
    EXPECT_TRUE(info.eh_augmentation.has_lsda_encoding);
    EXPECT_TRUE(info.eh_augmentation.signal_frame);
    EXPECT_EQ(info.initial_instructions_length, 3u);
    ASSERT_EQ(bbcrash_async_dwarf_cie_info_init(&info, m, native(), &r, b.base() + cie4), BBCRASH_ESUCCESS);
    EXPECT_EQ(info.address_size, 8);
    EXPECT_EQ(info.code_alignment_factor, 4u);
    EXPECT_FALSE(info.has_eh_augmentation);
    EXPECT_EQ(bbcrash_async_dwarf_cie_info_init(&info, m, native(), &r, b.base() + bad), BBCRASH_EINVAL);
    EXPECT_EQ(bbcrash_async_dwarf_cie_info_init(&info, m, native(), &r, b.base() + eh), BBCRASH_ENOTSUP);
}

TEST(DwarfTests, DebugFrameAndSixtyFourBitLengths) {
    Bytes b;
    // debug_frame: a 64-bit CIE (id all ones), an FDE pointing at it by section offset.
    const size_t cie = b.size();
    b.u32(0xffffffff).u64(0).u64(~uint64_t(0)).u8(1).str("").uleb(1).sleb(-8).uleb(16).bytes({0x0c, 0x07, 0x08});
    b.patch64(cie + 4, b.size() - cie - 12);
    const size_t fde = b.size();
    b.u32(0xffffffff).u64(0).u64(cie).u64(0x500000).u64(0x100).bytes({0x41});
    b.patch64(fde + 4, b.size() - fde - 12);
    b.u32(0);
    bbcrash_async_dwarf_frame_reader reader;
    bbcrash_async_dwarf_frame_reader_init(&reader, b.map(), native(), true, true);
    bbcrash_async_dwarf_fde_info found;
    ASSERT_EQ(bbcrash_async_dwarf_frame_reader_find_fde(&reader, 0, 0x500080, &found), BBCRASH_ESUCCESS);
    EXPECT_EQ(found.cie_offset, cie);
    EXPECT_EQ(found.pc_start, 0x500000u);
    EXPECT_EQ(found.pc_end, 0x500100u);
    EXPECT_EQ(found.instructions_length, 1u);
    EXPECT_EQ(bbcrash_async_dwarf_frame_reader_find_fde(&reader, 0, 0x500100, &found), BBCRASH_ENOTFOUND);
}

TEST(DwarfTests, ZeroLengthEntryEndsTheSearch) {
    Bytes b;
    const size_t cie = writeCie(b, {});
    b.u32(0);  // terminator before the FDE
    writeFde(b, cie, 0x9000, 0x10, {});
    bbcrash_async_dwarf_frame_reader reader;
    bbcrash_async_dwarf_frame_reader_init(&reader, b.map(), native(), true, false);
    bbcrash_async_dwarf_fde_info found;
    EXPECT_EQ(bbcrash_async_dwarf_frame_reader_find_fde(&reader, 0, 0x9008, &found), BBCRASH_ENOTFOUND);
}

TEST(DwarfTests, MalformedFdes) {
    Bytes b;
    const size_t cie = writeCie(b, {});
    // A CIE pointer that points before the section.
    const size_t before = b.size();
    b.u32(12).u32(0x10000).u32(0).u32(0);
    // A length that ends inside the FDE's own fields.
    const size_t shortFde = b.size();
    b.u32(8).u32(uint32_t(b.size() + 4 - cie)).pcrel32(0x9000).u32(0x10).uleb(0);
    auto *m = b.map();
    bbcrash_async_dwarf_fde_info f;
    EXPECT_EQ(bbcrash_async_dwarf_fde_info_init<uint64_t>(&f, m, native(), b.base() + before, false), BBCRASH_EINVAL);
    EXPECT_EQ(bbcrash_async_dwarf_fde_info_init<uint64_t>(&f, m, native(), b.base() + shortFde, false), BBCRASH_EINVAL);
    uint64_t v = 0;
    EXPECT_EQ(bbcrash_async_dwarf_read_offset(m, native(), b.base(), 0, 3, &v), BBCRASH_EINVAL);
    EXPECT_EQ(bbcrash_async_dwarf_read_offset(m, native(), b.base(), int64_t(b.size()) - 1, 2, &v), BBCRASH_EINVAL);
}

// --- CFA programs and the rule table --------------------------------------------

TEST(DwarfTests, ProgramStopsOnceTheLocationPassesPc) {
    Bytes b;
    b.bytes({0x0c, 0x07, 0x08,  // def_cfa rsp+8
             0x42,              // advance_loc 2
             0x0e, 0x10,        // def_cfa_offset 16
             0x42,              // advance_loc 2
             0x0e, 0x18});      // def_cfa_offset 24
    const auto cie = plainCie();
    for (const auto &c :
         {std::pair<uint64_t, uint64_t>{0x1000, 8}, {0x1001, 8}, {0x1002, 16}, {0x1003, 16}, {0x1004, 24}, {0, 24}}) {
        State64 state;
        ASSERT_EQ(runProgram(state, b, cie, c.first, uint64_t(0x1000)), BBCRASH_ESUCCESS);
        EXPECT_EQ(state.get_cfa_rule().offset, c.second) << std::hex << c.first;
    }
    // A start already past pc runs nothing.
    State64 state;
    ASSERT_EQ(runProgram(state, b, cie, uint64_t(0x0fff), uint64_t(0x1000)), BBCRASH_ESUCCESS);
    EXPECT_EQ(state.get_cfa_rule().type, CFA_UNDEFINED);
}

TEST(DwarfTests, RememberAndRestoreState) {
    Bytes b;
    b.bytes({0x0c, 0x07, 0x10,  // def_cfa rsp+16
             0x83, 0x02,        // offset rbx cfa-16
             0x0a,              // remember_state
             0x0e, 0x08,        // def_cfa_offset 8
             0x41,              // advance 1
             0x0b});            // restore_state
    const auto cie = plainCie();
    State64 inside;
    ASSERT_EQ(runProgram(inside, b, cie, uint64_t(0x1000), uint64_t(0x1000)), BBCRASH_ESUCCESS);
    EXPECT_EQ(inside.get_cfa_rule().offset, 8u);
    bbcrash_dwarf_cfa_reg_rule_t rule;
    uint64_t value = 0;
    ASSERT_TRUE(inside.get_register_rule(3, &rule, &value));
    EXPECT_EQ(rule, REG_RULE_OFFSET);
    EXPECT_EQ(int64_t(value), -16);

    State64 after;
    ASSERT_EQ(runProgram(after, b, cie, uint64_t(0x1001), uint64_t(0x1000)), BBCRASH_ESUCCESS);
    EXPECT_EQ(after.get_cfa_rule().offset, 16u);
    ASSERT_TRUE(after.get_register_rule(3, &rule, &value));
    EXPECT_EQ(after.get_register_count(), 1);
}

TEST(DwarfTests, LevelLimits) {
    const auto cie = plainCie();
    Bytes five;
    five.bytes({0x0c, 0x07, 0x08, 0x0a, 0x0a, 0x0a, 0x0a, 0x0a});
    State64 s5;
    EXPECT_EQ(runProgram(s5, five, cie, uint64_t(0), uint64_t(0)), BBCRASH_ESUCCESS);
    Bytes six;
    six.bytes({0x0c, 0x07, 0x08, 0x0a, 0x0a, 0x0a, 0x0a, 0x0a, 0x0a});
    State64 s6;
    EXPECT_EQ(runProgram(s6, six, cie, uint64_t(0), uint64_t(0)), BBCRASH_ENOMEM);
    Bytes pop;
    pop.bytes({0x0b});
    State64 s0;
    EXPECT_EQ(runProgram(s0, pop, cie, uint64_t(0), uint64_t(0)), BBCRASH_EINVAL);
}

TEST(DwarfTests, PoolIsSharedAndRecycled) {
    State64 state;
    for (uint32_t r = 0; r < 100; r++) {
        ASSERT_TRUE(state.set_register(r, REG_RULE_OFFSET, r));
    }
    EXPECT_FALSE(state.set_register(100, REG_RULE_OFFSET, 0));
    // Replacing an existing rule takes no entry.
    EXPECT_TRUE(state.set_register(42, REG_RULE_SAME_VALUE, 0));
    // A full pool cannot copy a level; the failed copy gives nothing back wrong.
    EXPECT_FALSE(state.push_state());
    state.remove_register(7);
    state.remove_register(7);  // absent: no effect
    EXPECT_EQ(state.get_register_count(), 99);
    EXPECT_TRUE(state.set_register(100, REG_RULE_OFFSET, 0));

    // Iteration: bucket by bucket, each in insertion order.
    State64 small;
    for (uint32_t r : {28u, 0u, 14u, 1u}) {
        small.set_register(r, REG_RULE_OFFSET, r);
    }
    dwarf_cfa_state_iterator<uint64_t, int64_t> it(&small);
    uint32_t reg;
    bbcrash_dwarf_cfa_reg_rule_t rule;
    uint64_t value;
    std::vector<uint32_t> order;
    while (it.next(&reg, &rule, &value)) {
        order.push_back(reg);
    }
    EXPECT_EQ(order, (std::vector<uint32_t>{28, 0, 14, 1}));

    // Pushing copies; popping returns the copies to the pool.
    ASSERT_TRUE(small.push_state());
    small.set_register(2, REG_RULE_OFFSET, 2);
    EXPECT_EQ(small.get_register_count(), 5);
    ASSERT_TRUE(small.pop_state());
    EXPECT_EQ(small.get_register_count(), 4);
    for (uint32_t r = 100; r < 196; r++) {
        ASSERT_TRUE(small.set_register(r, REG_RULE_OFFSET, 0)) << r;
    }
    EXPECT_FALSE(small.set_register(196, REG_RULE_OFFSET, 0));
}

TEST(DwarfTests, RestoreReturnsToTheCieRules) {
    Bytes cieProgram;
    cieProgram.bytes({0x0c, 0x07, 0x08, 0x90, 0x01});  // def_cfa rsp+8, rip at cfa-8
    Bytes fdeProgram;
    fdeProgram.bytes({0x90, 0x03,  // rip at cfa-24
                      0x86, 0x02,  // rbp at cfa-16
                      0xd0,        // restore rip: back to the CIE's rule
                      0xc6});      // restore rbp: the CIE had none
    const auto cie = plainCie();
    State64 state;
    ASSERT_EQ(runProgram(state, cieProgram, cie, uint64_t(0), uint64_t(0)), BBCRASH_ESUCCESS);
    ASSERT_EQ(runProgram(state, fdeProgram, cie, uint64_t(0), uint64_t(0)), BBCRASH_ESUCCESS);
    bbcrash_dwarf_cfa_reg_rule_t rule;
    uint64_t value = 0;
    ASSERT_TRUE(state.get_register_rule(16, &rule, &value));
    EXPECT_EQ(int64_t(value), -8);
    EXPECT_FALSE(state.get_register_rule(6, &rule, &value));
}

TEST(DwarfTests, InstructionRefusals) {
    const auto cie = plainCie();
    const struct {
        std::initializer_list<uint8_t> program;
        bbcrash_error_t expected;
    } cases[] = {
        {{0x2e, 0x10}, BBCRASH_ESUCCESS},                               // GNU_args_size: skipped
        {{0x2e, 0x80}, BBCRASH_EINVAL},                                 // GNU_args_size cut short
        {{0x05, 0x80, 0x80, 0x80, 0x80, 0x10, 0x01}, BBCRASH_ENOTSUP},  // register above 32 bits
        {{0x0c, 0x07}, BBCRASH_EINVAL},                                 // operand cut short
        {{0x0f, 0x05, 0x30}, BBCRASH_EINVAL},                           // expression past the end
        {{0x0d, 0x06}, BBCRASH_EINVAL},                                 // def_cfa_register without a register CFA
        {{0x0e, 0x10}, BBCRASH_EINVAL},                                 // def_cfa_offset likewise
        {{0x13, 0x7e}, BBCRASH_EINVAL},                                 // def_cfa_offset_sf likewise
        {{0x3f}, BBCRASH_ENOTSUP},                                      // unknown opcode
    };
    for (const auto &c : cases) {
        Bytes b;
        b.bytes(c.program);
        State64 state;
        EXPECT_EQ(runProgram(state, b, cie, uint64_t(0), uint64_t(0)), c.expected) << int(*c.program.begin());
    }
    // set_loc needs a segment size of 0.
    auto segmented = cie;
    segmented.segment_size = 4;
    Bytes b;
    b.u8(0x01).u64(0x2000);
    State64 state;
    EXPECT_EQ(runProgram(state, b, segmented, uint64_t(0), uint64_t(0)), BBCRASH_ENOTSUP);
    State64 plain;
    EXPECT_EQ(runProgram(plain, b, cie, uint64_t(0), uint64_t(0)), BBCRASH_ESUCCESS);
}

TEST(DwarfTests, EveryRuleKindIsRecorded) {
    Bytes b;
    b.bytes({0x12, 0x07, 0x02,        // def_cfa_sf rsp, 2 * -8 = -16
             0x14, 0x03, 0x02,        // val_offset rbx, 2 * -8
             0x15, 0x0c, 0x7f,        // val_offset_sf r12, -1 * -8 = +8
             0x09, 0x0d, 0x00,        // register r13 <- rax
             0x08, 0x0e,              // same_value r14
             0x11, 0x0f, 0x7e,        // offset_extended_sf r15, -2 * -8 = +16
             0x10, 0x06, 0x01, 0x30,  // expression rbp: lit0
             0x16, 0x01, 0x01, 0x31,  // val_expression rdx: lit1
             0x07, 0x0f});            // undefined r15
    State64 state;
    ASSERT_EQ(runProgram(state, b, plainCie(), uint64_t(0), uint64_t(0)), BBCRASH_ESUCCESS);
    const auto cfa = state.get_cfa_rule();
    EXPECT_EQ(cfa.type, CFA_REGISTER_SIGNED);
    EXPECT_EQ(cfa.signed_offset, -16);
    bbcrash_dwarf_cfa_reg_rule_t rule;
    uint64_t value = 0;
    ASSERT_TRUE(state.get_register_rule(3, &rule, &value));
    EXPECT_EQ(rule, REG_RULE_VAL_OFFSET);
    EXPECT_EQ(int64_t(value), -16);
    ASSERT_TRUE(state.get_register_rule(12, &rule, &value));
    EXPECT_EQ(int64_t(value), 8);
    ASSERT_TRUE(state.get_register_rule(13, &rule, &value));
    EXPECT_EQ(rule, REG_RULE_REGISTER);
    EXPECT_EQ(value, 0u);
    ASSERT_TRUE(state.get_register_rule(14, &rule, &value));
    EXPECT_EQ(rule, REG_RULE_SAME_VALUE);
    EXPECT_FALSE(state.get_register_rule(15, &rule, &value));
    ASSERT_TRUE(state.get_register_rule(6, &rule, &value));
    EXPECT_EQ(rule, REG_RULE_EXPRESSION);
    EXPECT_EQ(value, b.base() + 19);  // the block's length byte
    ASSERT_TRUE(state.get_register_rule(1, &rule, &value));
    EXPECT_EQ(rule, REG_RULE_VAL_EXPRESSION);
}

// --- Applying a row ------------------------------------------------------------

TEST(DwarfTests, ApplyComputesTheCallersRegisters) {
    alignas(16) uint64_t stack[8] = {0, 0, 0x1111, 0x2222, 0x403000, 0, 0, 0};
    const uint64_t sp = reinterpret_cast<uintptr_t>(&stack[0]);
    Bytes b;
    // CFA = rsp+40; rbx at cfa-24, rbp at cfa-16, rip at cfa-8; r12 = rsi; r13 same; r14 = cfa+0 (val).
    b.bytes({0x0c, 0x07, 0x28, 0x83, 0x03, 0x86, 0x02, 0x90, 0x01, 0x09, 0x0c, 0x04, 0x08, 0x0d, 0x14, 0x0e, 0x00});
    const auto cie = plainCie();
    State64 rows;
    ASSERT_EQ(runProgram(rows, b, cie, uint64_t(0), uint64_t(0)), BBCRASH_ESUCCESS);
    const auto state = state64With({{BBCRASH_X86_64_RSP, sp},
                                    {BBCRASH_X86_64_RSI, 0x5151},
                                    {BBCRASH_X86_64_R13, 0x1313},
                                    {BBCRASH_X86_64_RAX, 0xAAAA}});
    bbcrash_async_thread_state next;
    ASSERT_EQ(rows.apply_state(mach_task_self(), &cie, &state, native(), &next), BBCRASH_ESUCCESS);
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&next, BBCRASH_REG_SP), sp + 40);
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&next, BBCRASH_REG_IP), 0x403000u);
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&next, BBCRASH_X86_64_RBX), 0x1111u);
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&next, BBCRASH_X86_64_RBP), 0x2222u);
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&next, BBCRASH_X86_64_R12), 0x5151u);
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&next, BBCRASH_X86_64_R13), 0x1313u);
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&next, BBCRASH_X86_64_R14), sp + 40);
    EXPECT_FALSE(bbcrash_async_thread_state_has_reg(&next, BBCRASH_X86_64_RAX));  // volatile
    EXPECT_TRUE(bbcrash_async_thread_state_has_reg(&next, BBCRASH_X86_64_R15));   // preserved, untouched
}

TEST(DwarfTests, ApplyWithExpressions) {
    alignas(16) uint64_t stack[4] = {0x403210, 0x7777, 0, 0};
    const uint64_t sp = reinterpret_cast<uintptr_t>(&stack[0]);
    Bytes b;
    // def_cfa_expression: breg7 (rsp) + 8; rip: expression "cfa - 8" (deref'd);
    // rbx: val_expression "cfa + 1".
    b.bytes({0x0f, 0x02, 0x77, 0x08, 0x10, 0x10, 0x02, 0x38, 0x1c, 0x16, 0x03, 0x02, 0x31, 0x22});
    const auto cie = plainCie();
    State64 rows;
    ASSERT_EQ(runProgram(rows, b, cie, uint64_t(0), uint64_t(0)), BBCRASH_ESUCCESS);
    const auto state = state64With({{BBCRASH_X86_64_RSP, sp}});
    bbcrash_async_thread_state next;
    ASSERT_EQ(rows.apply_state(mach_task_self(), &cie, &state, native(), &next), BBCRASH_ESUCCESS);
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&next, BBCRASH_REG_SP), sp + 8);
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&next, BBCRASH_REG_IP), 0x403210u);
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&next, BBCRASH_X86_64_RBX), sp + 9);
}

// The return address need not live in column 16: a CIE may name a real
// register as its return-address column, and a rule may move the return
// address into another register.
TEST(DwarfTests, ReturnAddressRulesOnRealRegisters) {
    alignas(16) uint64_t stack[4] = {0x404040, 0x5050, 0, 0};
    const uint64_t sp = reinterpret_cast<uintptr_t>(&stack[0]);
    const auto state = state64With({{BBCRASH_X86_64_RSP, sp}, {BBCRASH_X86_64_RBX, 0x406060}});
    bbcrash_async_thread_state next;
    {
        // Column 3 (rbx) is the return address, saved at cfa-16: both rbx
        // and the instruction pointer get the saved word.
        auto cie = plainCie();
        cie.return_address_register = 3;
        State64 rows;
        rows.set_cfa_register(7, 16);
        rows.set_register(3, REG_RULE_OFFSET, uint64_t(-16));
        ASSERT_EQ(rows.apply_state(mach_task_self(), &cie, &state, native(), &next), BBCRASH_ESUCCESS);
        EXPECT_EQ(bbcrash_async_thread_state_get_reg(&next, BBCRASH_REG_IP), 0x404040u);
        EXPECT_EQ(bbcrash_async_thread_state_get_reg(&next, BBCRASH_X86_64_RBX), 0x404040u);
        EXPECT_EQ(bbcrash_async_thread_state_get_reg(&next, BBCRASH_REG_SP), sp + 16);
    }
    {
        // Column 3 with no rule: the return address is still in rbx.
        auto cie = plainCie();
        cie.return_address_register = 3;
        State64 rows;
        rows.set_cfa_register(7, 16);
        ASSERT_EQ(rows.apply_state(mach_task_self(), &cie, &state, native(), &next), BBCRASH_ESUCCESS);
        EXPECT_EQ(bbcrash_async_thread_state_get_reg(&next, BBCRASH_REG_IP), 0x406060u);
    }
    {
        // Column 16 rewired by DW_CFA_register 16, 3: the return address
        // is rbx's value in this frame.
        const auto cie = plainCie();
        Bytes b;
        b.bytes({0x0c, 0x07, 0x10, 0x09, 0x10, 0x03});
        State64 rows;
        ASSERT_EQ(runProgram(rows, b, cie, uint64_t(0), uint64_t(0)), BBCRASH_ESUCCESS);
        ASSERT_EQ(rows.apply_state(mach_task_self(), &cie, &state, native(), &next), BBCRASH_ESUCCESS);
        EXPECT_EQ(bbcrash_async_thread_state_get_reg(&next, BBCRASH_REG_IP), 0x406060u);
        EXPECT_EQ(bbcrash_async_thread_state_get_reg(&next, BBCRASH_X86_64_RBX), 0x406060u);
    }
}

TEST(DwarfTests, ApplyRefusals) {
    const auto cie = plainCie();
    bbcrash_async_thread_state next;
    const auto state = state64With({{BBCRASH_X86_64_RSP, 0x7000}});
    {
        State64 rows;  // no CFA rule
        EXPECT_EQ(rows.apply_state(mach_task_self(), &cie, &state, native(), &next), BBCRASH_EINVAL);
    }
    {
        State64 rows;
        rows.set_cfa_register(16, 8);  // the return-address column is no register
        EXPECT_EQ(rows.apply_state(mach_task_self(), &cie, &state, native(), &next), BBCRASH_ENOTSUP);
    }
    {
        State64 rows;
        rows.set_cfa_register(6, 8);  // rbp, not valid in this state
        auto partial = state;
        bbcrash_async_thread_state_clear_reg(&partial, BBCRASH_X86_64_RBP);
        EXPECT_EQ(rows.apply_state(mach_task_self(), &cie, &partial, native(), &next), BBCRASH_ENOTFOUND);
    }
    {
        State64 rows;
        rows.set_cfa_register(7, 8);
        rows.set_register(17, REG_RULE_VAL_OFFSET, 0);  // xmm0: no register here
        EXPECT_EQ(rows.apply_state(mach_task_self(), &cie, &state, native(), &next), BBCRASH_EINVAL);
    }
    {
        State64 rows;
        rows.set_cfa_register(7, 8);  // no rule for the return address, and it has no register
        EXPECT_EQ(rows.apply_state(mach_task_self(), &cie, &state, native(), &next), BBCRASH_EINVAL);
    }
    {
        State64 rows;
        rows.set_cfa_register(7, 0);
        rows.set_register(16, REG_RULE_OFFSET, 0);  // unreadable saved slot
        const auto low = state64With({{BBCRASH_X86_64_RSP, 0x10}});
        EXPECT_EQ(rows.apply_state(mach_task_self(), &cie, &low, native(), &next), BBCRASH_ENOTFOUND);
    }
}

TEST(DwarfTests, ThirtyTwoBitRowsUseFourByteWords) {
    void *page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
    ASSERT_NE(page, MAP_FAILED);
    auto *words = static_cast<uint32_t *>(page);
    words[0] = 0x8048555;  // return address at esp
    const uint32_t esp = uint32_t(reinterpret_cast<uintptr_t>(page));
    bbcrash_async_thread_state state{};
    state.greg_size = 4;
    state.stack_direction = BBCRASH_ASYNC_THREAD_STACK_DIRECTION_DOWN;
    state.x86_state.thread.tsh.flavor = x86_THREAD_STATE32;
    bbcrash_async_thread_state_set_reg(&state, BBCRASH_X86_ESP, esp);
    auto cie = plainCie();
    cie.data_alignment_factor = -4;
    cie.return_address_register = 8;  // eip maps to a real register on x86
    State32 rows;
    rows.set_cfa_register(4 + 1, 4);  // esp + 4
    rows.set_register(8, REG_RULE_OFFSET, uint32_t(-4));
    bbcrash_async_thread_state next;
    ASSERT_EQ(rows.apply_state(mach_task_self(), &cie, &state, native(), &next), BBCRASH_ESUCCESS);
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&next, BBCRASH_REG_IP), 0x8048555u);
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&next, BBCRASH_REG_SP), esp + 4u);
    munmap(page, 4096);
}

// --- Expressions ------------------------------------------------------------

namespace {

template <typename W, typename S>
bbcrash_error_t evalBytes(std::initializer_list<uint8_t> bytes, W *result, std::vector<W> initial = {},
                          const bbcrash_async_thread_state *state = nullptr) {
    Bytes b;
    b.bytes(bytes);
    const auto defaultState = state64With({{BBCRASH_X86_64_RSP, 0x7000}});
    return bbcrash_async_dwarf_expression_eval<W, S>(b.map(), mach_task_self(), state ? state : &defaultState, native(),
                                                     b.base(), 0, b.size(), initial.data(), initial.size(), result);
}

uint64_t eval64(std::initializer_list<uint8_t> bytes, bbcrash_error_t expected = BBCRASH_ESUCCESS) {
    uint64_t result = 0xdeadbeef;
    EXPECT_EQ((evalBytes<uint64_t, int64_t>(bytes, &result)), expected);
    return result;
}

}  // namespace

TEST(DwarfTests, ExpressionArithmetic) {
    EXPECT_EQ(eval64({0x35, 0x33, 0x1c}), 2u);                                // lit5 lit3 minus
    EXPECT_EQ(eval64({0x37, 0x30, 0x28, 0x01, 0x00, 0x31}), 1u);              // lit7 lit0 bra(+1) lit1: no jump
    EXPECT_EQ(eval64({0x37, 0x31, 0x28, 0x01, 0x00, 0x33}), 7u);              // taken: skips lit3
    EXPECT_EQ(eval64({0x30, 0x20, 0x31, 0x25}), uint64_t(INT64_MAX));         // ~0 shr 1
    EXPECT_EQ(eval64({0x30, 0x20, 0x31, 0x26}), ~uint64_t(0));                // ~0 shra 1
    EXPECT_EQ(eval64({0x31, 0x08, 0x41, 0x24}), uint64_t(2));                 // shift count uses the low 6 bits
    EXPECT_EQ(eval64({0x11, 0x79, 0x32, 0x1b}), uint64_t(-3));                // -7 / 2, signed
    EXPECT_EQ(eval64({0x11, 0x79, 0x19}), 7u);                                // abs
    EXPECT_EQ(eval64({0x37, 0x1f}), uint64_t(-7));                            // neg
    EXPECT_EQ(eval64({0x11, 0x7f, 0x32, 0x1d}), uint64_t(-1) % 2);            // mod is unsigned
    EXPECT_EQ(eval64({0x36, 0x37, 0x1e, 0x23, 0x02}), 44u);                   // mul, plus_uconst
    EXPECT_EQ(eval64({0x3c, 0x3a, 0x1a, 0x3c, 0x3a, 0x21, 0x27}), 8u ^ 14u);  // and, or, xor
    EXPECT_EQ(eval64({0x31, 0x32, 0x2d}), 1u);                                // 1 < 2
    EXPECT_EQ(eval64({0x11, 0x7f, 0x31, 0x2b}), 0u);                          // -1 > 1 is false, signed
    EXPECT_EQ(eval64({0x31, 0x31, 0x29}), 1u);
    EXPECT_EQ(eval64({0x31, 0x32, 0x2e}), 1u);
    EXPECT_EQ(eval64({0x32, 0x31, 0x2a}), 1u);
    EXPECT_EQ(eval64({0x32, 0x31, 0x2c}), 0u);
    // The most negative word divided by -1 does not trap.
    EXPECT_EQ(eval64({0x0e, 0, 0, 0, 0, 0, 0, 0, 0x80, 0x11, 0x7f, 0x1b}), uint64_t(INT64_MIN));
    EXPECT_EQ(eval64({0x0b, 0xfe, 0xff}), uint64_t(-2));            // const2s
    EXPECT_EQ(eval64({0x0a, 0xfe, 0xff}), 0xfffeu);                 // const2u
    EXPECT_EQ(eval64({0x09, 0x80}), uint64_t(-128));                // const1s
    EXPECT_EQ(eval64({0x0d, 0, 0, 0, 0x80}), uint64_t(INT32_MIN));  // const4s
    EXPECT_EQ(eval64({0x10, 0xac, 0x02}), 300u);                    // constu
    EXPECT_EQ(eval64({0x2f, 0x01, 0x00, 0x39, 0x33}), 3u);          // skip
    EXPECT_EQ(eval64({0x96, 0x34}), 4u);                            // nop
}

TEST(DwarfTests, ExpressionStackOperations) {
    EXPECT_EQ(eval64({0x31, 0x12, 0x22}), 2u);              // dup
    EXPECT_EQ(eval64({0x31, 0x32, 0x13}), 1u);              // drop
    EXPECT_EQ(eval64({0x31, 0x32, 0x14}), 1u);              // over
    EXPECT_EQ(eval64({0x31, 0x32, 0x33, 0x15, 0x02}), 1u);  // pick 2
    EXPECT_EQ(eval64({0x31, 0x32, 0x16}), 1u);              // swap
    // rot: 1 2 3 -> 3 1 2 (top 2); two drops leave 3.
    EXPECT_EQ(eval64({0x31, 0x32, 0x33, 0x17}), 2u);
    EXPECT_EQ(eval64({0x31, 0x32, 0x33, 0x17, 0x13, 0x13}), 3u);
    eval64({0x31, 0x15, 0x01}, BBCRASH_EINVAL);  // pick below the stack
    eval64({0x13}, BBCRASH_EINVAL);              // underflow
    eval64({}, BBCRASH_EINVAL);                  // nothing left at the end
    eval64({0x31, 0x30, 0x1b}, BBCRASH_EINVAL);  // div by zero
    eval64({0x31, 0x30, 0x1d}, BBCRASH_EINVAL);  // mod by zero

    std::vector<uint8_t> many(101, 0x31);
    Bytes b;
    for (uint8_t op : many) {
        b.u8(op);
    }
    const auto state = state64With({});
    uint64_t result = 0;
    EXPECT_EQ((bbcrash_async_dwarf_expression_eval<uint64_t, int64_t>(b.map(), mach_task_self(), &state, native(),
                                                                      b.base(), 0, b.size(), nullptr, 0, &result)),
              BBCRASH_EINTERNAL);
    std::vector<uint64_t> initial(101, 1);
    EXPECT_EQ((evalBytes<uint64_t, int64_t>({0x31}, &result, initial)), BBCRASH_EINTERNAL);
    initial.resize(2);
    initial[0] = 10;
    initial[1] = 3;
    ASSERT_EQ((evalBytes<uint64_t, int64_t>({0x1c}, &result, initial)), BBCRASH_ESUCCESS);
    EXPECT_EQ(result, 7u);  // the first initial value is the deepest
}

TEST(DwarfTests, ExpressionJumpsAreBounded) {
    eval64({0x2f, 0xfd, 0xff}, BBCRASH_EINVAL);              // skip -3: back to itself, forever
    eval64({0x31, 0x28, 0xfd, 0xff}, BBCRASH_EINVAL);        // bra back with an empty stack: underflow
    eval64({0x31, 0x12, 0x28, 0xfc, 0xff}, BBCRASH_EINVAL);  // dup, bra back: loops until the cap
    eval64({0x2f, 0x10, 0x00}, BBCRASH_EINVAL);              // past the end
    eval64({0x2f, 0xf0, 0xff}, BBCRASH_EINVAL);              // before the start
    eval64({0x31, 0x2f, 0x00}, BBCRASH_EINVAL);              // operand cut short
}

TEST(DwarfTests, ExpressionMemoryAndRegisters) {
    static uint64_t cell = 0x1122334455667788ULL;
    const uint64_t at = reinterpret_cast<uintptr_t>(&cell);
    uint8_t addr[8];
    std::memcpy(addr, &at, 8);
    uint64_t result = 0;
    const auto state = state64With({{BBCRASH_X86_64_RBX, at - 4}});
    ASSERT_EQ((evalBytes<uint64_t, int64_t>({0x73, 0x04, 0x06}, &result, {}, &state)),
              BBCRASH_ESUCCESS);  // breg3+4, deref
    EXPECT_EQ(result, cell);
    ASSERT_EQ((evalBytes<uint64_t, int64_t>({0x92, 0x03, 0x04, 0x94, 0x02}, &result, {}, &state)), BBCRASH_ESUCCESS);
    EXPECT_EQ(result, 0x7788u);  // bregx, deref_size 2
    ASSERT_EQ((evalBytes<uint64_t, int64_t>({0x30, 0x73, 0x04, 0x18}, &result, {}, &state)), BBCRASH_ESUCCESS);
    EXPECT_EQ(result, cell);  // xderef
    ASSERT_EQ((evalBytes<uint64_t, int64_t>({0x30, 0x73, 0x04, 0x95, 0x04}, &result, {}, &state)), BBCRASH_ESUCCESS);
    EXPECT_EQ(result, 0x55667788u);  // xderef_size 4
    EXPECT_EQ((evalBytes<uint64_t, int64_t>({0x73, 0x04, 0x94, 0x03}, &result, {}, &state)), BBCRASH_EINVAL);
    EXPECT_EQ((evalBytes<uint64_t, int64_t>({0x80, 0x00}, &result, {}, &state)), BBCRASH_ENOTSUP);   // breg16: rip
    EXPECT_EQ((evalBytes<uint64_t, int64_t>({0x70, 0x00}, &result, {}, &state)), BBCRASH_ESUCCESS);  // rax is 0, valid
    auto partial = state;
    bbcrash_async_thread_state_clear_reg(&partial, BBCRASH_X86_64_RBX);
    EXPECT_EQ((evalBytes<uint64_t, int64_t>({0x73, 0x00}, &result, {}, &partial)), BBCRASH_ENOTFOUND);
    EXPECT_EQ((evalBytes<uint64_t, int64_t>({0x30, 0x06}, &result, {}, &state)), BBCRASH_ENOTFOUND);  // deref of 0
    for (uint8_t op : {0x00, 0x07, 0x50, 0x90, 0x91, 0x93, 0x97, 0xff}) {
        EXPECT_EQ((evalBytes<uint64_t, int64_t>({0x31, op, 0x00, 0x00}, &result, {}, &state)), BBCRASH_ENOTSUP)
            << int(op);
    }

    // The 32-bit instance: words of 4 bytes, 8-byte constants truncated, no 8-byte deref_size.
    uint32_t r32 = 0;
    ASSERT_EQ((evalBytes<uint32_t, int32_t>({0x0e, 1, 2, 3, 4, 5, 6, 7, 8}, &r32)), BBCRASH_ESUCCESS);
    EXPECT_EQ(r32, 0x04030201u);
    ASSERT_EQ((evalBytes<uint32_t, int32_t>({0x30, 0x20, 0x31, 0x25}, &r32)), BBCRASH_ESUCCESS);
    EXPECT_EQ(r32, uint32_t(INT32_MAX));
    ASSERT_EQ((evalBytes<uint32_t, int32_t>({0x31, 0x08, 0x21, 0x24}, &r32)), BBCRASH_ESUCCESS);
    EXPECT_EQ(r32, 2u);  // shift counts use the low 5 bits
    EXPECT_EQ((evalBytes<uint32_t, int32_t>({0x30, 0x94, 0x08}, &r32)), BBCRASH_EINVAL);
}
