// Compact unwind on real Mach-O images built by the test build: lookups of
// every function's start and midpoint against llvm-objdump's listing, and
// decoded entries against the functions' disassembled prologues.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>

#include "CompactUnwindOracle.h"
#include "CompactUnwindTestImage.h"
#include "bbcrash_async_compact_unwind.h"

#if PLOTWICK_UNWIND_FIXTURES

using namespace platform::mach;
using namespace unwindtest;

namespace {

std::string fixture(const std::string &name) { return std::string(PLOTWICK_UNWIND_FIXTURE_DIR) + "/" + name; }

void checkLookups(const std::string &name, int32_t cpu) {
    const std::string path = fixture(name);
    const auto oracle = CompactUnwindOracle::read(PLOTWICK_UNWIND_OBJDUMP, PLOTWICK_UNWIND_NM, path);
    ASSERT_GE(oracle.secondLevelPages, 2u) << name;
    ASSERT_GT(oracle.functions.size(), 2000u) << name;
    CompactUnwindTestImage image(path, false);
    ASSERT_TRUE(image.loaded()) << image.error();
    ASSERT_EQ(image.cputype(), cpu);
    const auto range = image.section("__TEXT", "__unwind_info");
    ASSERT_NE(range.address, 0u);
    bbcrash_async_mobject mobj;
    ASSERT_EQ(bbcrash_async_mobject_init(&mobj, mach_task_self(), range.address, range.size, true), BBCRASH_ESUCCESS);
    bbcrash_async_unwind_info_reader reader;
    ASSERT_EQ(bbcrash_async_unwind_info_reader_init(&reader, &mobj, cpu), BBCRASH_ESUCCESS);

    // Offsets are relative to the image's start; its __TEXT begins at 0.
    size_t checked = 0;
    std::set<uint32_t> encodings;
    for (const auto &fn : oracle.functions) {
        for (uint64_t address : {fn.start, fn.start + (fn.end - fn.start) / 2, fn.end - 1}) {
            const UnwindOracleEntry *expected = oracle.entryFor(address);
            ASSERT_NE(expected, nullptr) << fn.name;
            uint32_t start = 0, encoding = 0;
            ASSERT_EQ(bbcrash_async_unwind_info_reader_find_pc(&reader, uint32_t(address), &start, &encoding),
                      BBCRASH_ESUCCESS)
                << name << " " << fn.name << " +" << std::hex << address;
            EXPECT_EQ(start, expected->functionOffset) << fn.name << " " << std::hex << address;
            EXPECT_EQ(encoding, expected->encoding) << fn.name << " " << std::hex << address;
            checked++;
        }
        encodings.insert(oracle.entryFor(fn.start)->encoding);
    }
    // Before the first function there is nothing.
    uint32_t start = 0, encoding = 0;
    EXPECT_EQ(
        bbcrash_async_unwind_info_reader_find_pc(&reader, oracle.entries.front().functionOffset - 1, &start, &encoding),
        BBCRASH_ENOTFOUND);
    // Every encoding the image uses decodes.
    for (uint32_t e : encodings) {
        bbcrash_async_unwind_entry entry;
        EXPECT_EQ(bbcrash_async_unwind_entry_init(&entry, cpu, e), BBCRASH_ESUCCESS) << std::hex << e;
    }
    bbcrash_async_mobject_free(&mobj);
    std::printf("%s: %zu lookups over %zu second-level pages, %zu distinct encodings\n", name.c_str(), checked,
                oracle.secondLevelPages, encodings.size());
}

}  // namespace

TEST(CompactUnwindFixtureTests, X86_64LookupsMatchObjdump) { checkLookups("libmany-x86_64.dylib", CPU_TYPE_X86_64); }

TEST(CompactUnwindFixtureTests, Arm64LookupsMatchObjdump) { checkLookups("libmany-arm64.dylib", CPU_TYPE_ARM64); }

// The decoded entry of every x86_64 function says what its prologue does.
TEST(CompactUnwindFixtureTests, X86_64EntriesMatchPrologues) {
    const std::string path = fixture("libmany-x86_64.dylib");
    const auto oracle = CompactUnwindOracle::read(PLOTWICK_UNWIND_OBJDUMP, PLOTWICK_UNWIND_NM, path);
    const auto prologues = readPrologues(PLOTWICK_UNWIND_OBJDUMP, path);
    ASSERT_EQ(prologues.size(), oracle.functions.size());
    CompactUnwindTestImage image(path, false);
    ASSERT_TRUE(image.loaded());

    bbcrash_async_thread_state names{};
    names.x86_state.thread.tsh.flavor = x86_THREAD_STATE64;
    std::map<bbcrash_async_unwind_entry_type_t, size_t> kinds;
    for (size_t i = 0; i < oracle.functions.size(); i++) {
        const auto &fn = oracle.functions[i];
        const auto &prologue = prologues[i].second;
        const UnwindOracleEntry *oracleEntry = oracle.entryFor(fn.start);
        ASSERT_EQ(oracleEntry->functionOffset, fn.start) << fn.name;
        bbcrash_async_unwind_entry entry;
        ASSERT_EQ(bbcrash_async_unwind_entry_init(&entry, CPU_TYPE_X86_64, oracleEntry->encoding), BBCRASH_ESUCCESS);
        kinds[entry.type]++;

        // Callee-saved registers pushed, in increasing address order (the
        // last push is lowest); a pushed rax or rcx only aligns the stack.
        std::vector<std::string> saved;
        size_t allPushes = prologue.pushes.size();
        for (auto it = prologue.pushes.rbegin(); it != prologue.pushes.rend(); ++it) {
            if (*it == "rbx" || *it == "r12" || *it == "r13" || *it == "r14" || *it == "r15" || *it == "rbp") {
                saved.push_back(*it);
            }
        }
        std::vector<std::string> decoded;
        for (uint32_t r = 0; r < entry.register_count; r++) {
            if (entry.register_list[r] != BBCRASH_REG_INVALID) {
                decoded.push_back(bbcrash_async_thread_state_get_reg_name(&names, entry.register_list[r]));
            }
        }
        switch (entry.type) {
        case UNWIND_ENTRY_FRAME_PTR:
            EXPECT_TRUE(prologue.framePointer) << fn.name;
            EXPECT_EQ(decoded, saved) << fn.name;
            EXPECT_EQ(entry.stack_offset, -int64_t(8 * entry.register_count)) << fn.name;
            break;
        case UNWIND_ENTRY_FRAMELESS_IMMD:
            EXPECT_FALSE(prologue.framePointer) << fn.name;
            EXPECT_EQ(decoded, saved) << fn.name;
            EXPECT_EQ(uint64_t(entry.stack_offset), 8 * (allPushes + 1) + prologue.stackAllocation) << fn.name;
            break;
        case UNWIND_ENTRY_FRAMELESS_INDIRECT: {
            EXPECT_FALSE(prologue.framePointer) << fn.name;
            EXPECT_EQ(decoded, saved) << fn.name;
            // The immediate the entry points at is the prologue's allocation.
            uint32_t immediate = 0;
            std::memcpy(&immediate, reinterpret_cast<const void *>(image.header() + fn.start + entry.stack_offset), 4);
            EXPECT_EQ(immediate, prologue.stackAllocation) << fn.name;
            EXPECT_EQ(entry.stack_adjust, 8 * (allPushes + 1)) << fn.name;
            break;
        }
        default: ADD_FAILURE() << fn.name << " has encoding " << std::hex << oracleEntry->encoding;
        }
    }
    EXPECT_GT(kinds[UNWIND_ENTRY_FRAME_PTR], 1000u);
    EXPECT_GT(kinds[UNWIND_ENTRY_FRAMELESS_IMMD], 1000u);
    EXPECT_GT(kinds[UNWIND_ENTRY_FRAMELESS_INDIRECT], 300u);
}

#endif
