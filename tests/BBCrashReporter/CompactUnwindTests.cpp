// Compact unwind on hand-built sections and stacks: the two-level lookup,
// decoding for x86, x86_64 and arm64, permutations, and applying entries.
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <vector>

#include "DwarfTestBytes.h"
#include "UnwindTestState.h"
#include "bbcrash_async_compact_unwind.h"

using namespace platform::mach;
using dwarftest::Bytes;
using unwindtest::state64With;

namespace {

std::vector<uint32_t> decode(uint32_t permutation, uint32_t count, bbcrash_error_t expected = BBCRASH_ESUCCESS) {
    uint32_t regs[6] = {};
    EXPECT_EQ(bbcrash_async_unwind_permutation_decode(permutation, count, regs), expected);
    return std::vector<uint32_t>(regs, regs + (expected == BBCRASH_ESUCCESS ? count : 0));
}

bbcrash_async_unwind_entry entryFor(int32_t cpu, uint32_t encoding, bbcrash_error_t expected = BBCRASH_ESUCCESS) {
    bbcrash_async_unwind_entry entry;
    EXPECT_EQ(bbcrash_async_unwind_entry_init(&entry, cpu, encoding), expected) << std::hex << encoding;
    return entry;
}

std::vector<bbcrash_regnum_t> regsOf(const bbcrash_async_unwind_entry &e) {
    return std::vector<bbcrash_regnum_t>(e.register_list, e.register_list + e.register_count);
}

constexpr bbcrash_regnum_t X = BBCRASH_REG_INVALID;

}  // namespace

TEST(CompactUnwindTests, PermutationDecoding) {
    EXPECT_EQ(decode(0, 3), (std::vector<uint32_t>{1, 2, 3}));
    EXPECT_EQ(decode(5, 2), (std::vector<uint32_t>{2, 1}));
    EXPECT_EQ(decode(5, 1), (std::vector<uint32_t>{6}));
    EXPECT_EQ(decode(0, 6), (std::vector<uint32_t>{1, 2, 3, 4, 5, 6}));
    // Digits (5, 4, 3, 2, 1): the registers in reverse order.
    EXPECT_EQ(decode(5 * 120 + 4 * 24 + 3 * 6 + 2 * 2 + 1, 6), (std::vector<uint32_t>{6, 5, 4, 3, 2, 1}));
    EXPECT_EQ(decode(3 * 60 + 2 * 12 + 1 * 3 + 0, 4), (std::vector<uint32_t>{4, 3, 2, 1}));
    EXPECT_TRUE(decode(123, 0).empty());
    decode(0, 7, BBCRASH_EINVAL);
    // Digits that name no free register would leave a slot unset: refused.
    decode(6, 1, BBCRASH_EINVAL);
    decode(1023, 6, BBCRASH_EINVAL);
    decode(30, 2, BBCRASH_EINVAL);  // first digit 6: there are only six registers
}

TEST(CompactUnwindTests, X86_64Encodings) {
    auto frame = entryFor(CPU_TYPE_X86_64, 0x0102000A);
    EXPECT_EQ(frame.type, UNWIND_ENTRY_FRAME_PTR);
    EXPECT_EQ(frame.stack_offset, -16);
    EXPECT_EQ(regsOf(frame), (std::vector<bbcrash_regnum_t>{BBCRASH_X86_64_R12, BBCRASH_X86_64_RBX}));
    // A zero group inside the field is an empty slot that keeps its word.
    auto gap = entryFor(CPU_TYPE_X86_64, 0x01030041);
    EXPECT_EQ(regsOf(gap), (std::vector<bbcrash_regnum_t>{BBCRASH_X86_64_RBX, X, BBCRASH_X86_64_RBX}));

    auto immediate = entryFor(CPU_TYPE_X86_64, 0x02040c00);
    EXPECT_EQ(immediate.type, UNWIND_ENTRY_FRAMELESS_IMMD);
    EXPECT_EQ(immediate.stack_offset, 32);
    EXPECT_EQ(immediate.return_address_register, X);
    EXPECT_EQ(regsOf(immediate),
              (std::vector<bbcrash_regnum_t>{BBCRASH_X86_64_RBX, BBCRASH_X86_64_R12, BBCRASH_X86_64_R13}));

    auto indirect = entryFor(CPU_TYPE_X86_64, 0x03088c05);
    EXPECT_EQ(indirect.type, UNWIND_ENTRY_FRAMELESS_INDIRECT);
    EXPECT_EQ(indirect.stack_offset, 8);
    EXPECT_EQ(indirect.stack_adjust, 32u);
    EXPECT_EQ(indirect.register_count, 3u);

    auto dwarf = entryFor(CPU_TYPE_X86_64, 0x04abcdef);
    EXPECT_EQ(dwarf.type, UNWIND_ENTRY_DWARF);
    EXPECT_EQ(dwarf.stack_offset, 0xabcdef);
    EXPECT_EQ(entryFor(CPU_TYPE_X86_64, 0).type, UNWIND_ENTRY_NONE);
    for (uint32_t mode = 5; mode < 16; mode++) {
        entryFor(CPU_TYPE_X86_64, mode << 24, BBCRASH_ENOTSUP);
    }
    entryFor(CPU_TYPE_X86_64, 0x02001c00, BBCRASH_EINVAL);  // 7 registers
    entryFor(CPU_TYPE_X86_64, 0x01000007, BBCRASH_EINVAL);  // compact register 7
    entryFor(0x12, 0x01000000, BBCRASH_ENOTSUP);

    // x86: 4-byte units and its own register table.
    auto x86 = entryFor(CPU_TYPE_X86, 0x02030400 | 5);  // count 1, permutation 5: compact 6
    EXPECT_EQ(x86.stack_offset, 12);
    EXPECT_EQ(regsOf(x86), (std::vector<bbcrash_regnum_t>{BBCRASH_X86_EBP}));
    auto x86frame = entryFor(CPU_TYPE_X86, 0x01020013);  // groups 3 (edx), 2 (ecx)
    EXPECT_EQ(x86frame.stack_offset, -8);
    EXPECT_EQ(regsOf(x86frame), (std::vector<bbcrash_regnum_t>{BBCRASH_X86_EDX, BBCRASH_X86_ECX}));

    bbcrash_regnum_t reg = 0;
    EXPECT_EQ(bbcrash_async_unwind_map_register(CPU_TYPE_X86_64, 0, &reg), BBCRASH_ESUCCESS);
    EXPECT_EQ(reg, X);
    EXPECT_EQ(bbcrash_async_unwind_map_register(CPU_TYPE_X86, 4, &reg), BBCRASH_ESUCCESS);
    EXPECT_EQ(reg, BBCRASH_X86_EDI);
    EXPECT_EQ(bbcrash_async_unwind_map_register(CPU_TYPE_X86_64, 7, &reg), BBCRASH_EINVAL);
    EXPECT_EQ(bbcrash_async_unwind_map_register(CPU_TYPE_ARM64, 1, &reg), BBCRASH_ENOTSUP);
}

TEST(CompactUnwindTests, Arm64Encodings) {
    auto frameless = entryFor(CPU_TYPE_ARM64, 0x02001001);
    EXPECT_EQ(frameless.type, UNWIND_ENTRY_FRAMELESS_IMMD);
    EXPECT_EQ(frameless.stack_offset, 16);
    EXPECT_EQ(frameless.return_address_register, 32u);
    EXPECT_EQ(regsOf(frameless), (std::vector<bbcrash_regnum_t>{23, 22}));
    auto frame = entryFor(CPU_TYPE_ARM64, 0x04000f13);  // pairs 0x10, 0x02, 0x01; d-pairs ignored
    EXPECT_EQ(frame.type, UNWIND_ENTRY_FRAME_PTR);
    EXPECT_EQ(frame.stack_offset, -48);
    EXPECT_EQ(regsOf(frame), (std::vector<bbcrash_regnum_t>{31, 30, 25, 24, 23, 22}));
    EXPECT_EQ(entryFor(CPU_TYPE_ARM64, 0x03000123).stack_offset, 0x123);
    entryFor(CPU_TYPE_ARM64, 0x01000000, BBCRASH_ENOTSUP);
    entryFor(CPU_TYPE_ARM64, 0x05000000, BBCRASH_ENOTSUP);
}

// --- Lookup ----------------------------------------------------------------

namespace {

// Header, 2 common encodings, a first level of three entries (the last the
// terminator), a compressed page with one own encoding, a regular page.
struct Section {
    Bytes b;
    size_t indexAt = 0, compressedAt = 0, regularAt = 0;

    explicit Section(uint32_t compressedKind = 3, uint16_t pageEncodingCount = 1) {
        b.u32(1).u32(28).u32(2).u32(36).u32(0).u32(36).u32(3);
        b.u32(0x01000000).u32(0x02010000);  // common encodings
        indexAt = b.size();
        b.u32(0x1000).u32(0).u32(0);
        b.u32(0x3000).u32(0).u32(0);
        b.u32(0x5000).u32(0).u32(0);
        compressedAt = b.size();
        // kind, entries at 12, 3 entries, encodings at 24, pageEncodingCount
        b.u32(compressedKind).u16(12).u16(3).u16(24).u16(pageEncodingCount);
        b.u32(0x000 | (0u << 24)).u32(0x100 | (2u << 24)).u32(0x200 | (1u << 24));
        b.u32(0x03000000);  // the page's own encoding
        regularAt = b.size();
        b.u32(2).u16(8).u16(2);
        b.u32(0x3000).u32(0x04000010).u32(0x3400).u32(0x04000020);
        b.patch32(indexAt + 4, uint32_t(compressedAt));
        b.patch32(indexAt + 16, uint32_t(regularAt));
    }
};

bbcrash_error_t lookup(Bytes &b, uint32_t pc, uint32_t *fn, uint32_t *enc) {
    bbcrash_async_unwind_info_reader reader;
    const bbcrash_error_t err = bbcrash_async_unwind_info_reader_init(&reader, b.map(), CPU_TYPE_X86_64);
    if (err != BBCRASH_ESUCCESS) {
        return err;
    }
    return bbcrash_async_unwind_info_reader_find_pc(&reader, pc, fn, enc);
}

}  // namespace

TEST(CompactUnwindTests, TwoLevelLookup) {
    Section s;
    const struct {
        uint32_t pc, fn, encoding;
    } cases[] = {
        {0x1000, 0x1000, 0x01000000},  // equal to the first-level offset
        {0x10ff, 0x1000, 0x01000000},
        {0x1100, 0x1100, 0x03000000},  // index == common count: the page's first own encoding
        {0x2fff, 0x1200, 0x02010000},
        {0x3000, 0x3000, 0x04000010},  // regular page
        {0x33ff, 0x3000, 0x04000010},
        {0x3400, 0x3400, 0x04000020},
        {0x9000, 0x3400, 0x04000020},  // beyond the last searched entry: that entry
    };
    for (const auto &c : cases) {
        uint32_t fn = 0, enc = 0;
        ASSERT_EQ(lookup(s.b, c.pc, &fn, &enc), BBCRASH_ESUCCESS) << std::hex << c.pc;
        EXPECT_EQ(fn, c.fn) << std::hex << c.pc;
        EXPECT_EQ(enc, c.encoding) << std::hex << c.pc;
    }
    uint32_t fn = 0, enc = 0;
    EXPECT_EQ(lookup(s.b, 0x0fff, &fn, &enc), BBCRASH_ENOTFOUND);
}

TEST(CompactUnwindTests, MalformedSections) {
    uint32_t fn = 0, enc = 0;
    {
        Section s(3, 0);  // the page's own encoding index is past its count
        EXPECT_EQ(lookup(s.b, 0x1100, &fn, &enc), BBCRASH_EINVAL);
        EXPECT_EQ(lookup(s.b, 0x1000, &fn, &enc), BBCRASH_ESUCCESS);
    }
    {
        Section s(1);  // unknown page kind
        EXPECT_EQ(lookup(s.b, 0x1000, &fn, &enc), BBCRASH_EINVAL);
    }
    {
        Section s;
        s.b.patch32(0, 2);  // version
        EXPECT_EQ(lookup(s.b, 0x1000, &fn, &enc), BBCRASH_ENOTSUP);
    }
    {
        Section s;
        s.b.patch32(24, 0x10000);  // index count past the section
        EXPECT_EQ(lookup(s.b, 0x1000, &fn, &enc), BBCRASH_EINVAL);
    }
    {
        Section s;
        s.b.patch32(24, 1);  // only the terminator
        EXPECT_EQ(lookup(s.b, 0x1000, &fn, &enc), BBCRASH_ENOTFOUND);
    }
    {
        Section s;
        s.b.patch32(s.compressedAt + 4, 12 | (0u << 16));  // a page with no entries
        EXPECT_EQ(lookup(s.b, 0x1000, &fn, &enc), BBCRASH_ENOTFOUND);
    }
    {
        Section s;
        s.b.patch32(s.indexAt + 4, 0xfffff);  // page outside the section
        EXPECT_EQ(lookup(s.b, 0x1000, &fn, &enc), BBCRASH_EINVAL);
    }
    Bytes tiny;
    tiny.u32(1).u32(0);
    bbcrash_async_unwind_info_reader reader;
    EXPECT_EQ(bbcrash_async_unwind_info_reader_init(&reader, tiny.map(), CPU_TYPE_X86_64), BBCRASH_EINVAL);
    Section s;
    for (int32_t cpu : {0, 12, 18, 0x01000012}) {
        EXPECT_EQ(bbcrash_async_unwind_info_reader_init(&reader, s.b.map(), cpu), BBCRASH_ENOTSUP) << cpu;
    }
}

// --- Applying entries --------------------------------------------------------

TEST(CompactUnwindTests, ApplyFrameBased) {
    // [rbp-16] r12, [rbp-8] rbx, [rbp] caller's rbp, [rbp+8] return address.
    alignas(16) uint64_t stack[6] = {0x1212, 0xb0b0, 0x7ffe0000, 0x401234, 0, 0};
    const uint64_t rbp = reinterpret_cast<uintptr_t>(&stack[2]);
    const auto state = state64With({{BBCRASH_REG_FP, rbp}, {BBCRASH_X86_64_RAX, 1}});
    const auto entry = entryFor(CPU_TYPE_X86_64, 0x0102000A);
    bbcrash_async_thread_state next;
    ASSERT_EQ(bbcrash_async_unwind_entry_apply(mach_task_self(), 0, &state, &entry, &next), BBCRASH_ESUCCESS);
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&next, BBCRASH_REG_IP), 0x401234u);
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&next, BBCRASH_REG_FP), 0x7ffe0000u);
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&next, BBCRASH_REG_SP), rbp + 16);
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&next, BBCRASH_X86_64_R12), 0x1212u);
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&next, BBCRASH_X86_64_RBX), 0xb0b0u);
    EXPECT_FALSE(bbcrash_async_thread_state_has_reg(&next, BBCRASH_X86_64_RAX));

    auto noFp = state;
    bbcrash_async_thread_state_clear_reg(&noFp, BBCRASH_REG_FP);
    EXPECT_EQ(bbcrash_async_unwind_entry_apply(mach_task_self(), 0, &noFp, &entry, &next), BBCRASH_ENOTFOUND);
    const auto high = state64With({{BBCRASH_REG_FP, UINT64_MAX - 8}});
    EXPECT_EQ(bbcrash_async_unwind_entry_apply(mach_task_self(), 0, &high, &entry, &next), BBCRASH_EINVAL);
    const auto unreadable = state64With({{BBCRASH_REG_FP, 0x100}});
    EXPECT_EQ(bbcrash_async_unwind_entry_apply(mach_task_self(), 0, &unreadable, &entry, &next), BBCRASH_ENOTFOUND);
}

TEST(CompactUnwindTests, ApplyFrameless) {
    // Immediate, no saved registers: the return address is just below the new sp.
    alignas(16) uint64_t stack[8] = {0, 0, 0, 0x401111, 0, 0, 0, 0};
    const uint64_t sp = reinterpret_cast<uintptr_t>(&stack[0]);
    const auto state = state64With({{BBCRASH_REG_SP, sp}, {BBCRASH_X86_64_RBX, 0x55}});
    bbcrash_async_thread_state next;
    const auto plain = entryFor(CPU_TYPE_X86_64, 0x02040000);  // 32 bytes, nothing saved
    ASSERT_EQ(bbcrash_async_unwind_entry_apply(mach_task_self(), 0, &state, &plain, &next), BBCRASH_ESUCCESS);
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&next, BBCRASH_REG_IP), 0x401111u);
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&next, BBCRASH_REG_SP), sp + 32);
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&next, BBCRASH_X86_64_RBX), 0x55u);  // preserved, untouched

    // Immediate with rbx, r12 saved right below the return address.
    stack[1] = 0x1b1b;  // rbx (lower address: listed first)
    stack[2] = 0x1212;
    const auto saved = entryFor(CPU_TYPE_X86_64, 0x02040800);
    ASSERT_EQ(bbcrash_async_unwind_entry_apply(mach_task_self(), 0, &state, &saved, &next), BBCRASH_ESUCCESS);
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&next, BBCRASH_X86_64_RBX), 0x1b1bu);
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&next, BBCRASH_X86_64_R12), 0x1212u);

    // Indirect: the stack size is a 32-bit immediate in the function's code.
    alignas(16) uint8_t code[16] = {0x48, 0x81, 0xec, 0x08, 0x00, 0x00, 0x00};  // subq $8, %rsp
    stack[1] = 0x1b1b;
    const auto indirect = entryFor(CPU_TYPE_X86_64, 0x03034400);  // imm at +3, adjust 16, rbx
    ASSERT_EQ(
        bbcrash_async_unwind_entry_apply(mach_task_self(), reinterpret_cast<uintptr_t>(code), &state, &indirect, &next),
        BBCRASH_ESUCCESS);
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&next, BBCRASH_REG_SP), sp + 24);
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&next, BBCRASH_REG_IP), stack[2]);
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&next, BBCRASH_X86_64_RBX), stack[1]);
    EXPECT_EQ(bbcrash_async_unwind_entry_apply(mach_task_self(), 0x10, &state, &indirect, &next), BBCRASH_ENOTFOUND);

    // A return address kept in a register (arm64's link register; no arm64
    // state exists, so the same rule on an x86_64 register): the saved
    // registers end right at the new sp, and nothing is read for the ip.
    bbcrash_async_unwind_entry inRegister = entryFor(CPU_TYPE_X86_64, 0x02020400);  // 16 bytes, rbx
    inRegister.return_address_register = BBCRASH_X86_64_R12;
    stack[1] = 0x1b1b;
    auto withLr = state64With({{BBCRASH_REG_SP, sp}, {BBCRASH_X86_64_R12, 0x404040}});
    ASSERT_EQ(bbcrash_async_unwind_entry_apply(mach_task_self(), 0, &withLr, &inRegister, &next), BBCRASH_ESUCCESS);
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&next, BBCRASH_REG_IP), 0x404040u);
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&next, BBCRASH_REG_SP), sp + 16);
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&next, BBCRASH_X86_64_RBX), 0x1b1bu);
    bbcrash_async_thread_state_clear_reg(&withLr, BBCRASH_X86_64_R12);
    EXPECT_EQ(bbcrash_async_unwind_entry_apply(mach_task_self(), 0, &withLr, &inRegister, &next), BBCRASH_ENOTFOUND);

    // Overflow checks.
    const auto top = state64With({{BBCRASH_REG_SP, UINT64_MAX - 16}});
    EXPECT_EQ(bbcrash_async_unwind_entry_apply(mach_task_self(), 0, &top, &plain, &next), BBCRASH_EINVAL);
    const auto bottom = state64With({{BBCRASH_REG_SP, 0}});
    const auto zeroSize = entryFor(CPU_TYPE_X86_64, 0x02000400);  // size 0, one register
    EXPECT_EQ(bbcrash_async_unwind_entry_apply(mach_task_self(), 0, &bottom, &zeroSize, &next), BBCRASH_EINVAL);
    EXPECT_EQ(bbcrash_async_unwind_entry_apply(mach_task_self(), UINT64_MAX - 1, &state, &indirect, &next),
              BBCRASH_EINVAL);
    auto noSp = state;
    bbcrash_async_thread_state_clear_reg(&noSp, BBCRASH_REG_SP);
    EXPECT_EQ(bbcrash_async_unwind_entry_apply(mach_task_self(), 0, &noSp, &plain, &next), BBCRASH_ENOTFOUND);
}

TEST(CompactUnwindTests, ApplyRefusesEntriesThatDoNotFitTheState) {
    alignas(16) uint64_t stack[8] = {};
    const auto state = state64With(
        {{BBCRASH_REG_SP, reinterpret_cast<uintptr_t>(stack)}, {BBCRASH_REG_FP, reinterpret_cast<uintptr_t>(stack)}});
    bbcrash_async_thread_state next;
    // arm64 entries name registers (x19-x28, the link register) the x86 set lacks.
    for (uint32_t encoding : {0x02001001u, 0x04000001u, 0x04000000u}) {
        const auto arm = entryFor(CPU_TYPE_ARM64, encoding);
        EXPECT_EQ(bbcrash_async_unwind_entry_apply(mach_task_self(), 0, &state, &arm, &next), BBCRASH_EINVAL);
    }
    const auto x86 = entryFor(CPU_TYPE_X86, 0x02010000);
    EXPECT_EQ(bbcrash_async_unwind_entry_apply(mach_task_self(), 0, &state, &x86, &next), BBCRASH_EINVAL);
    // A corrupted entry with a register number outside the set.
    auto corrupt = entryFor(CPU_TYPE_X86_64, 0x02020400);
    corrupt.register_list[0] = 40;
    EXPECT_EQ(bbcrash_async_unwind_entry_apply(mach_task_self(), 0, &state, &corrupt, &next), BBCRASH_EINVAL);
    const auto dwarf = entryFor(CPU_TYPE_X86_64, 0x04000000);
    EXPECT_EQ(bbcrash_async_unwind_entry_apply(mach_task_self(), 0, &state, &dwarf, &next), BBCRASH_ENOTSUP);
    const auto none = entryFor(CPU_TYPE_X86_64, 0);
    EXPECT_EQ(bbcrash_async_unwind_entry_apply(mach_task_self(), 0, &state, &none, &next), BBCRASH_ENOTSUP);
}

TEST(CompactUnwindTests, ApplyThirtyTwoBit) {
    void *page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
    ASSERT_NE(page, MAP_FAILED);
    auto *words = static_cast<uint32_t *>(page);
    const uint32_t ebp = uint32_t(reinterpret_cast<uintptr_t>(&words[2]));
    words[0] = 0x5151;     // esi at ebp-8 (compact 5)
    words[1] = 0xd1d1;     // edi at ebp-4 (compact 4)
    words[2] = 0x7000;     // caller's ebp
    words[3] = 0x8048999;  // return address
    bbcrash_async_thread_state state{};
    state.greg_size = 4;
    state.stack_direction = BBCRASH_ASYNC_THREAD_STACK_DIRECTION_DOWN;
    state.x86_state.thread.tsh.flavor = x86_THREAD_STATE32;
    bbcrash_async_thread_state_set_reg(&state, BBCRASH_REG_FP, ebp);
    const auto entry = entryFor(CPU_TYPE_X86, 0x01020025);  // offset 2, groups 5 (esi), 4 (edi)
    bbcrash_async_thread_state next;
    ASSERT_EQ(bbcrash_async_unwind_entry_apply(mach_task_self(), 0, &state, &entry, &next), BBCRASH_ESUCCESS);
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&next, BBCRASH_REG_IP), 0x8048999u);
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&next, BBCRASH_REG_FP), 0x7000u);
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&next, BBCRASH_REG_SP), ebp + 8u);
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&next, BBCRASH_X86_ESI), 0x5151u);
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&next, BBCRASH_X86_EDI), 0xd1d1u);
    munmap(page, 4096);
}
