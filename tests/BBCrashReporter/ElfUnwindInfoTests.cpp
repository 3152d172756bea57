// The compact unwind tables the dynamic-loader layer builds for ELF images,
// checked against the call-frame rows they came from: for every compact
// entry of libc and libstdc++, at both ends of its range, the compact reader
// and the DWARF reader must compute the same caller from the same registers
// and stack.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <unistd.h>
#include <vector>

#include "LoadedImages.h"
#include "UnwindTestState.h"
#include "bbcrash_frame_compact_unwind.h"
#include "bbcrash_frame_dwarf_unwind.h"
#include "platform/dyld/ElfUnwindInfo.h"
#include "platform/mach/vm_hold.h"

using namespace platform::mach;

namespace {

struct TableEntry {
    uint32_t offset;  // from the image base
    uint32_t encoding;
};

uint32_t u32At(const uint8_t *p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

uint16_t u16At(const uint8_t *p) {
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}

// Every entry of a table of regular pages, with the terminator's offset last.
std::vector<TableEntry> readTable(const uint8_t *table, size_t size) {
    std::vector<TableEntry> entries;
    EXPECT_GE(size, 28u);
    EXPECT_EQ(u32At(table), 1u);
    const uint32_t indexOffset = u32At(table + 20), indexCount = u32At(table + 24);
    EXPECT_LE(indexOffset + uint64_t(indexCount) * 12, size);
    for (uint32_t i = 0; i + 1 < indexCount; i++) {
        const uint32_t page = u32At(table + indexOffset + i * 12 + 4);
        EXPECT_EQ(u32At(table + page), 2u);  // regular
        const uint16_t entriesOffset = u16At(table + page + 4), count = u16At(table + page + 6);
        EXPECT_LE(page + entriesOffset + uint64_t(count) * 8, size);
        for (uint16_t k = 0; k < count; k++) {
            const uint8_t *e = table + page + entriesOffset + k * 8;
            entries.push_back({u32At(e), u32At(e + 4)});
        }
    }
    entries.push_back({u32At(table + indexOffset + (indexCount - 1) * 12), 0});
    return entries;
}

// A stack of distinct words, with rsp and rbp inside it, and every other
// register given a distinct value.
struct FakeStack {
    alignas(16) uint64_t words[4096];
    FakeStack() {
        for (size_t i = 0; i < 4096; i++) words[i] = 0x5a5a000000000000ULL | i;
    }
    bbcrash_async_thread_state state(uint64_t pc) const {
        std::initializer_list<std::pair<bbcrash_regnum_t, uint64_t>> regs = {
            {BBCRASH_REG_IP, pc},
            {BBCRASH_REG_SP, reinterpret_cast<uintptr_t>(&words[1024])},
            {BBCRASH_REG_FP, reinterpret_cast<uintptr_t>(&words[2048])},
            {BBCRASH_X86_64_RBX, 0xb0b0},
            {BBCRASH_X86_64_R12, 0x1212},
            {BBCRASH_X86_64_R13, 0x1313},
            {BBCRASH_X86_64_R14, 0x1414},
            {BBCRASH_X86_64_R15, 0x1515},
            {BBCRASH_X86_64_RAX, 0xa0a0}};
        return unwindtest::state64With(regs);
    }
};

struct Checked {
    size_t compactEntries = 0, dwarfEntries = 0, compared = 0, mismatches = 0;
};

void checkImage(const void *symbol, const char *label) {
    bbcrash_async_image_list *list = unwindtest::loadedImageList();
    bbcrash_async_image_list_set_reading(list, true);
    bbcrash_async_macho *image = bbcrash_async_image_containing_address(list, reinterpret_cast<uintptr_t>(symbol));
    ASSERT_NE(image, nullptr) << label;
    bbcrash_async_mobject section;
    ASSERT_EQ(bbcrash_async_macho_map_section(image, "__TEXT", "__unwind_info", &section), BBCRASH_ESUCCESS) << label;
    const std::vector<TableEntry> entries =
        readTable(reinterpret_cast<const uint8_t *>(section.address), size_t(section.length));
    const uint64_t base = image->image_base;
    bbcrash_async_mobject_free(&section);
    bbcrash_async_image_list_set_reading(list, false);

    static FakeStack stack;
    Checked checked;
    ASSERT_TRUE(task_memory_hold_begin());  // the DWARF reader scans the section in place
    for (size_t i = 0; i + 1 < entries.size(); i++) {
        const uint32_t mode = entries[i].encoding & 0x0F000000;
        // (The last entry, the gap after the last function, may end where it
        // starts: at the terminator.)
        ASSERT_TRUE(entries[i].offset < entries[i + 1].offset || i + 2 == entries.size())
            << label << " entries out of order at " << i;
        if (mode == platform::dyld::ElfUnwindInfo::kModeDwarf) {
            checked.dwarfEntries++;
            continue;
        }
        checked.compactEntries++;
        for (uint64_t pc : {base + entries[i].offset, base + entries[i + 1].offset - 1}) {
            const bbcrash_async_thread_state state = stack.state(pc);
            bbcrash_async_thread_state compact, dwarf;
            const auto compactResult =
                bbcrash_async_frame_read_compact_unwind(mach_task_self(), list, &state, nullptr, &compact);
            const auto dwarfResult = bbcrash::BN::async::bbcrash_async_frame_read_dwarf_unwind(mach_task_self(), list,
                                                                                               &state, nullptr, &dwarf);
            checked.compared++;
            bool same = compactResult == BBCRASH_FRAME_ESUCCESS && dwarfResult == BBCRASH_FRAME_ESUCCESS &&
                        compact.valid_regs == dwarf.valid_regs && compact.interrupted == dwarf.interrupted;
            for (bbcrash_regnum_t r = 0; same && r < BBCRASH_X86_64_REG_COUNT; r++) {
                same = !bbcrash_async_thread_state_has_reg(&compact, r) ||
                       bbcrash_async_thread_state_get_reg(&compact, r) == bbcrash_async_thread_state_get_reg(&dwarf, r);
            }
            if (!same && ++checked.mismatches <= 10) {
                ADD_FAILURE() << label << ": pc +" << std::hex << (pc - base) << " encoding " << entries[i].encoding
                              << " compact " << std::dec << compactResult << " dwarf " << dwarfResult << std::hex
                              << " ip " << bbcrash_async_thread_state_get_reg(&compact, BBCRASH_REG_IP) << "/"
                              << bbcrash_async_thread_state_get_reg(&dwarf, BBCRASH_REG_IP) << " sp "
                              << bbcrash_async_thread_state_get_reg(&compact, BBCRASH_REG_SP) << "/"
                              << bbcrash_async_thread_state_get_reg(&dwarf, BBCRASH_REG_SP);
            }
        }
    }
    task_memory_hold_end();
    EXPECT_EQ(checked.mismatches, 0u) << label;
    EXPECT_GT(checked.compactEntries, checked.dwarfEntries) << label;
    std::printf("%s: %zu compact entries, %zu DWARF-mode entries, %zu addresses compared\n", label,
                checked.compactEntries, checked.dwarfEntries, checked.compared);
}

}  // namespace

// getpid: a libc function that no sanitizer intercepts, so its address lies
// in libc itself whatever runtime the build links.
TEST(ElfUnwindInfoTests, LibcTableAgreesWithItsCallFrameRows) {
    checkImage(reinterpret_cast<const void *>(&getpid), "libc");
}

TEST(ElfUnwindInfoTests, LibstdcxxTableAgreesWithItsCallFrameRows) {
    checkImage(reinterpret_cast<const void *>(&std::terminate), "libstdc++");
}
