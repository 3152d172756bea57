// The reader on hand-built images: 32-bit and byte-swapped layouts checked
// with llvm-objdump/llvm-nm, symbol candidate rules, malformed tables, and
// the memory object, LEB128 and lazy string limits.
#include "MachOBuilder.h"
#include "MachOOracle.h"
#include "bbcrash_async_macho.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sys/mman.h>
#include <tuple>
#include <unistd.h>

using namespace testsupport;
using platform::mach::mach_task_self;
using platform::mach::mach_vm_address_t;

namespace {

constexpr uint64_t kTextVmaddr = 0x1000;

// An image copied into fresh pages; the header is at the start. A 32-bit
// image goes below 2 GiB, where a 32-bit process would have it.
struct InMemory {
    uint8_t *base = nullptr;
    size_t size = 0;
    explicit InMemory(const std::vector<uint8_t> &bytes) : size(bytes.size()) {
        const uint32_t magic = bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
        const bool narrow = magic == 0xfeedface || magic == 0xcefaedfe;
        base = static_cast<uint8_t *>(
            mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | (narrow ? MAP_32BIT : 0), -1, 0));
        std::memcpy(base, bytes.data(), size);
    }
    ~InMemory() { munmap(base, size); }
    uintptr_t address() const { return reinterpret_cast<uintptr_t>(base); }
    uint64_t slid(uint64_t vmaddr) const { return vmaddr - kTextVmaddr + address(); }
};

const uint8_t kUuid[16] = {0x10, 0x32, 0x54, 0x76, 0x98, 0xba, 0xdc, 0xfe,
                           0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};

MachOBuilder standardImage(bool is64, bool swapped, int32_t cputype) {
    MachOBuilder b(is64, swapped, cputype, 0);
    b.setText(kTextVmaddr, 0x1000, 0x200, 0x100);
    const uint64_t t = kTextVmaddr + 0x200;
    b.addSymbol({"_alpha", 0x0F, 1, 0, t});
    b.addSymbol({"_beta", 0x0E, 1, 0, t + 0x40});
    b.addSymbol({"_beta_alias", 0x0F, 1, 0, t + 0x40});
    b.addSymbol({"_debug", 0x24, 1, 0, t + 0x80});
    b.addSymbol({"_gamma", 0x0E, 1, 0x0008, t + 0xa0});
    b.setUuid(kUuid);
    return b;
}

class BuiltImageTests : public ::testing::TestWithParam<std::tuple<bool, bool, int32_t>> {};

TEST_P(BuiltImageTests, LayoutMatchesObjdumpAndSymbolRulesHold) {
    const auto [is64, swapped, cputype] = GetParam();
    std::vector<uint8_t> bytes = standardImage(is64, swapped, cputype).build();

    TemporaryDirectory dir;
    const std::string path = (dir.path() / "built.macho").string();
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    MachOOracle oracle = MachOOracle::read(path);
    ASSERT_EQ(oracle.segments.size(), 2u) << "llvm-objdump could not read the built image";
    EXPECT_EQ(oracle.segments[0].name, "__TEXT");
    EXPECT_EQ(oracle.segments[0].vmaddr, kTextVmaddr);
    EXPECT_EQ(oracle.uuid, uuidText(kUuid));
    ASSERT_EQ(oracle.sections.size(), 1u);
    EXPECT_EQ(oracle.sections[0].name, "__text");

    InMemory image(bytes);
    bbcrash_async_macho macho;
    ASSERT_EQ(bbcrash_async_macho_init(&macho, mach_task_self(), "built", image.address()), BBCRASH_ESUCCESS);
    EXPECT_EQ(macho.m64, is64);
    EXPECT_EQ(macho.header_size, is64 ? 32u : 28u);
    EXPECT_EQ(macho.byteorder, swapped ? bbcrash_async_byteorder_swapped() : bbcrash_async_byteorder_native());
    EXPECT_EQ(macho.text_vmaddr, kTextVmaddr);
    EXPECT_EQ(macho.text_size, 0x1000u);

    // Segments and sections where objdump puts them.
    for (const auto &segment : oracle.segments) {
        bbcrash_async_macho_mapped_segment mapped;
        ASSERT_EQ(bbcrash_async_macho_map_segment(&macho, segment.name.c_str(), &mapped), BBCRASH_ESUCCESS);
        EXPECT_EQ(mapped.mobj.task_address, image.slid(segment.vmaddr));
        bbcrash_async_macho_mapped_segment_free(&mapped);
    }
    bbcrash_async_mobject text;
    ASSERT_EQ(bbcrash_async_macho_map_section(&macho, "__TEXT", "__text", &text), BBCRASH_ESUCCESS);
    EXPECT_EQ(text.task_address, image.slid(oracle.sections[0].addr));
    EXPECT_EQ(text.length, oracle.sections[0].size);
    bbcrash_async_mobject_free(&text);

    // Every symbol llvm-nm lists is found at its own address...
    for (const auto &symbol : oracle.symbols) {
        if (symbol.name == "_beta_alias") continue;  // shares _beta's address
        FoundSymbol found;
        ASSERT_EQ(bbcrash_async_macho_find_symbol_by_pc(&macho, image.slid(symbol.address), recordSymbol, &found),
                  BBCRASH_ESUCCESS);
        EXPECT_EQ(found.name, symbol.name);
    }
    const uint64_t t = kTextVmaddr + 0x200;
    FoundSymbol found;
    // ...equal values keep the one scanned first; a debugging entry (0x24) is
    // never a candidate; a Thumb definition reports bit 0 set.
    ASSERT_EQ(bbcrash_async_macho_find_symbol_by_pc(&macho, image.slid(t + 0x50), recordSymbol, &found),
              BBCRASH_ESUCCESS);
    EXPECT_EQ(found.name, "_beta");
    ASSERT_EQ(bbcrash_async_macho_find_symbol_by_pc(&macho, image.slid(t + 0x90), recordSymbol, &found),
              BBCRASH_ESUCCESS);
    EXPECT_EQ(found.name, "_beta");
    ASSERT_EQ(bbcrash_async_macho_find_symbol_by_pc(&macho, image.slid(t + 0xa4), recordSymbol, &found),
              BBCRASH_ESUCCESS);
    EXPECT_EQ(found.name, "_gamma");
    EXPECT_EQ(found.address, image.slid(t + 0xa0) | 1);
    FoundSymbol none;
    EXPECT_EQ(bbcrash_async_macho_find_symbol_by_pc(&macho, image.slid(t - 1), recordSymbol, &none), BBCRASH_ENOTFOUND);
    EXPECT_FALSE(none.called);
    bbcrash_async_macho_free(&macho);
}

INSTANTIATE_TEST_SUITE_P(Layouts, BuiltImageTests,
                         ::testing::Values(std::make_tuple(false, false, 7),         // i386
                                           std::make_tuple(true, true, 0x01000012),  // ppc64, big-endian
                                           std::make_tuple(false, true, 18)));       // ppc, big-endian

TEST(BuiltImageReaderTests, DysymtabScansGlobalsBeforeLocals) {
    MachOBuilder b(true, false, 0x01000007, 3);
    const uint64_t t = kTextVmaddr + 0x200;
    b.addSymbol({"_local_first", 0x0E, 1, 0, t});
    b.addSymbol({"_local_other", 0x0E, 1, 0, t + 0x20});
    b.addSymbol({"_global_same", 0x0F, 1, 0, t});
    b.setDysymtab(0, 2, 2, 1);
    InMemory image(b.build());
    bbcrash_async_macho macho;
    ASSERT_EQ(bbcrash_async_macho_init(&macho, mach_task_self(), "dysym", image.address()), BBCRASH_ESUCCESS);
    FoundSymbol found;
    ASSERT_EQ(bbcrash_async_macho_find_symbol_by_pc(&macho, image.slid(t + 4), recordSymbol, &found), BBCRASH_ESUCCESS);
    EXPECT_EQ(found.name, "_global_same");
    ASSERT_EQ(bbcrash_async_macho_find_symbol_by_pc(&macho, image.slid(t + 0x24), recordSymbol, &found),
              BBCRASH_ESUCCESS);
    EXPECT_EQ(found.name, "_local_other");
    bbcrash_async_macho_free(&macho);
}

TEST(BuiltImageReaderTests, MalformedTablesAreRefused) {
    const uint64_t t = kTextVmaddr + 0x200;
    {
        // 0xFFFFFFFF + 2 wraps to 1 in 32 bits: still beyond the table.
        MachOBuilder b(true, false, 0x01000007, 3);
        b.addSymbol({"_a", 0x0F, 1, 0, t});
        b.addSymbol({"_b", 0x0F, 1, 0, t + 4});
        b.setDysymtab(0, 0, 0xFFFFFFFFu, 2);
        InMemory image(b.build());
        bbcrash_async_macho macho;
        ASSERT_EQ(bbcrash_async_macho_init(&macho, mach_task_self(), "wrap", image.address()), BBCRASH_ESUCCESS);
        bbcrash_async_macho_symtab_reader reader;
        EXPECT_EQ(bbcrash_async_macho_symtab_reader_init(&reader, &macho), BBCRASH_EINVAL);
        FoundSymbol found;
        EXPECT_EQ(bbcrash_async_macho_find_symbol_by_pc(&macho, image.slid(t), recordSymbol, &found), BBCRASH_EINVAL);
        bbcrash_async_macho_free(&macho);
    }
    {
        // A symbol table before __LINKEDIT's file offset.
        MachOBuilder b(true, false, 0x01000007, 3);
        b.addSymbol({"_a", 0x0F, 1, 0, t});
        b.overrideSymoff(0x10);
        InMemory image(b.build());
        bbcrash_async_macho macho;
        ASSERT_EQ(bbcrash_async_macho_init(&macho, mach_task_self(), "before", image.address()), BBCRASH_ESUCCESS);
        FoundSymbol found;
        EXPECT_EQ(bbcrash_async_macho_find_symbol_by_pc(&macho, image.slid(t), recordSymbol, &found),
                  BBCRASH_EINTERNAL);
        bbcrash_async_macho_free(&macho);
    }
    {
        // Unknown magic; unreadable header.
        std::vector<uint8_t> bytes = standardImage(true, false, 0x01000007).build();
        bytes[0] ^= 0xFF;
        InMemory image(bytes);
        bbcrash_async_macho macho;
        EXPECT_EQ(bbcrash_async_macho_init(&macho, mach_task_self(), "magic", image.address()), BBCRASH_EINVAL);
        EXPECT_EQ(bbcrash_async_macho_init(&macho, mach_task_self(), "none", 8), BBCRASH_EINTERNAL);
    }
}

// A __LINKEDIT whose vmsize is huge, over a large readable mapping: the
// lookup maps the symbol and string tables, not the whole readable run.
TEST(BuiltImageReaderTests, HugeLinkeditMapsOnlyTheTables) {
    MachOBuilder b = standardImage(true, false, 0x01000007);
    b.overrideLinkeditVmsize(uint64_t(1) << 62);
    const std::vector<uint8_t> bytes = b.build();
    constexpr size_t kMapping = 64 << 20;
    auto *memory = static_cast<uint8_t *>(
        mmap(nullptr, kMapping, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0));
    ASSERT_NE(memory, MAP_FAILED);
    std::memcpy(memory, bytes.data(), bytes.size());
    const uintptr_t base = reinterpret_cast<uintptr_t>(memory);
    bbcrash_async_macho macho;
    ASSERT_EQ(bbcrash_async_macho_init(&macho, mach_task_self(), "huge", base), BBCRASH_ESUCCESS);
    bbcrash_async_macho_symtab_reader reader;
    ASSERT_EQ(bbcrash_async_macho_symtab_reader_init(&reader, &macho), BBCRASH_ESUCCESS);
    EXPECT_LE(reader.linkedit.mobj.length, bytes.size());
    bbcrash_async_macho_symtab_reader_free(&reader);
    FoundSymbol found;
    ASSERT_EQ(bbcrash_async_macho_find_symbol_by_pc(&macho, base + 0x200 + 0x44, recordSymbol, &found),
              BBCRASH_ESUCCESS);
    EXPECT_EQ(found.name, "_beta");
    bbcrash_async_macho_free(&macho);
    munmap(memory, kMapping);
}

// A table in value order is bisected, any other is scanned: both give the
// nearest candidate, the earliest of equal values. The record also knows
// where its tables lie, readable, for lookups under a hold.
TEST(BuiltImageReaderTests, SortedTablesAreBisectedAndOthersScanned) {
    const uint64_t t = kTextVmaddr + 0x200;
    MachOBuilder unsorted(true, false, 0x01000007, 3);
    unsorted.addSymbol({"_late", 0x0F, 1, 0, t + 0x80});
    unsorted.addSymbol({"_early", 0x0F, 1, 0, t});
    unsorted.addSymbol({"_middle", 0x0E, 1, 0, t + 0x40});
    unsorted.addSymbol({"_middle_alias", 0x0F, 1, 0, t + 0x40});
    for (bool sorted : {true, false}) {
        InMemory image(sorted ? standardImage(true, false, 0x01000007).build() : unsorted.build());
        bbcrash_async_macho macho;
        ASSERT_EQ(bbcrash_async_macho_init(&macho, mach_task_self(), "order", image.address()), BBCRASH_ESUCCESS);
        EXPECT_EQ(macho.symtab_sorted, sorted);
        EXPECT_EQ(macho.readable_range_count, 1u);  // the tables (no __unwind_info here)
        FoundSymbol found;
        ASSERT_EQ(bbcrash_async_macho_find_symbol_by_pc(&macho, image.slid(t + 0x50), recordSymbol, &found),
                  BBCRASH_ESUCCESS);
        EXPECT_EQ(found.name, sorted ? "_beta" : "_middle");
        found = FoundSymbol{};
        ASSERT_EQ(bbcrash_async_macho_find_symbol_by_pc(&macho, image.slid(t + 0x90), recordSymbol, &found),
                  BBCRASH_ESUCCESS);
        EXPECT_EQ(found.name, sorted ? "_beta" : "_late");  // the debugging entry at +0x80 is no candidate
        found = FoundSymbol{};
        EXPECT_EQ(bbcrash_async_macho_find_symbol_by_pc(&macho, image.slid(t - 1), recordSymbol, &found),
                  BBCRASH_ENOTFOUND);
        bbcrash_async_macho_free(&macho);
    }
}

TEST(BuiltImageReaderTests, ContainsAddressCannotWrap) {
    bbcrash_async_macho macho{};
    macho.image_base = UINT64_MAX - 0xff;
    macho.text_size = 0x1000;
    EXPECT_TRUE(bbcrash_async_macho_contains_address(&macho, UINT64_MAX));
    EXPECT_FALSE(bbcrash_async_macho_contains_address(&macho, 5));
    EXPECT_FALSE(bbcrash_async_macho_contains_address(&macho, UINT64_MAX - 0x100));
}

// ---- memory objects, LEB128, lazy strings ----

struct Pages {
    uint8_t *base;
    size_t page;
    size_t count;
    Pages(size_t n, uint8_t fill) : page(static_cast<size_t>(sysconf(_SC_PAGESIZE))), count(n) {
        base =
            static_cast<uint8_t *>(mmap(nullptr, n * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        std::memset(base, fill, n * page);
    }
    ~Pages() { munmap(base, count * page); }
    uintptr_t at(size_t offset) const { return reinterpret_cast<uintptr_t>(base + offset); }
};

TEST(AsyncMemoryObjectTests, PartialMappingStopsAtTheFirstBadPage) {
    Pages pages(3, 0x11);
    munmap(pages.base + pages.page, pages.page);  // second page gone
    bbcrash_async_mobject mobj;
    ASSERT_EQ(bbcrash_async_mobject_init(&mobj, mach_task_self(), pages.at(16), 2 * pages.page, false),
              BBCRASH_ESUCCESS);
    EXPECT_EQ(mobj.length, pages.page - 16);
    EXPECT_EQ(mobj.task_address, pages.at(16));
    EXPECT_NE(bbcrash_async_mobject_remap(&mobj, pages.at(16), 0, pages.page - 16), nullptr);
    // One byte past the end: none.
    EXPECT_EQ(bbcrash_async_mobject_remap(&mobj, pages.at(16), 1, pages.page - 16), nullptr);
    EXPECT_EQ(bbcrash_async_mobject_remap(&mobj, pages.at(15), 0, 1), nullptr);
    EXPECT_EQ(bbcrash_async_mobject_remap(&mobj, pages.at(16), INT64_MIN, 1), nullptr);
    uint32_t value = 0;
    EXPECT_EQ(bbcrash_async_mobject_read_uint32(&mobj, bbcrash_async_byteorder_native(), pages.at(16), 0, &value),
              BBCRASH_ESUCCESS);
    EXPECT_EQ(value, 0x11111111u);
    EXPECT_EQ(
        bbcrash_async_mobject_read_uint32(&mobj, bbcrash_async_byteorder_native(), pages.at(pages.page - 2), 0, &value),
        BBCRASH_EINVAL);
    bbcrash_async_mobject_free(&mobj);

    // Whole range required: refused. Nothing readable: refused. Wrapping: 5.
    EXPECT_EQ(bbcrash_async_mobject_init(&mobj, mach_task_self(), pages.at(16), 2 * pages.page, true), BBCRASH_ENOMEM);
    EXPECT_EQ(bbcrash_async_mobject_init(&mobj, mach_task_self(), pages.at(pages.page), 16, false), BBCRASH_ENOMEM);
    EXPECT_EQ(bbcrash_async_mobject_init(&mobj, mach_task_self(), UINT64_MAX - 8, 64, false), BBCRASH_EINVAL);
}

TEST(AsyncMemoryObjectTests, Leb128Limits) {
    Pages pages(1, 0);
    uint8_t *p = pages.base;
    // Ten bytes, the last without a continuation bit: accepted.
    for (int i = 0; i < 9; ++i) p[i] = 0xFF;
    p[9] = 0x01;
    // Eleven bytes: the tenth has a continuation bit.
    for (int i = 16; i < 26; ++i) p[i] = 0x80;
    p[26] = 0x00;
    // -2 as SLEB128; 624485 as ULEB128.
    p[32] = 0x7E;
    p[40] = 0xE5;
    p[41] = 0x8E;
    p[42] = 0x26;
    p[pages.page - 1] = 0x80;  // runs off the end

    bbcrash_async_mobject mobj;
    ASSERT_EQ(bbcrash_async_mobject_init(&mobj, mach_task_self(), pages.at(0), pages.page, true), BBCRASH_ESUCCESS);
    uint64_t value = 0;
    int64_t signedValue = 0;
    size_t size = 0;
    EXPECT_EQ(bbcrash_async_mobject_read_uleb128(&mobj, pages.at(0), 0, &value, &size), BBCRASH_ESUCCESS);
    EXPECT_EQ(value, UINT64_MAX);
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(bbcrash_async_mobject_read_uleb128(&mobj, pages.at(16), 0, &value, &size), BBCRASH_ENOTSUP);
    EXPECT_EQ(bbcrash_async_mobject_read_sleb128(&mobj, pages.at(32), 0, &signedValue, &size), BBCRASH_ESUCCESS);
    EXPECT_EQ(signedValue, -2);
    EXPECT_EQ(size, 1u);
    EXPECT_EQ(bbcrash_async_mobject_read_uleb128(&mobj, pages.at(40), 0, &value, &size), BBCRASH_ESUCCESS);
    EXPECT_EQ(value, 624485u);
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(bbcrash_async_mobject_read_uleb128(&mobj, pages.at(pages.page - 1), 0, &value, &size), BBCRASH_EINVAL);
    bbcrash_async_mobject_free(&mobj);

    EXPECT_EQ(bbcrash_async_task_read_uleb128(mach_task_self(), pages.at(40), 0, &value, &size), BBCRASH_ESUCCESS);
    EXPECT_EQ(value, 624485u);
    EXPECT_EQ(bbcrash_async_task_read_uleb128(mach_task_self(), 8, -16, &value, &size), BBCRASH_EINVAL);
}

TEST(AsyncMemoryObjectTests, LazyStringsGrowAPageAtATimeUpToTheirCap) {
    bbcrash_async_macho macho{};
    macho.task = mach_task_self();
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));

    // A string that crosses into its second page.
    Pages two(3, 'x');
    two.base[page + 100] = '\0';
    bbcrash_async_macho_string string;
    bbcrash_async_macho_string_init(&string, &macho, two.at(page - 50));
    platform::mach::mach_vm_size_t length = 0;
    ASSERT_EQ(bbcrash_async_macho_string_get_length(&string, &length), BBCRASH_ESUCCESS);
    EXPECT_EQ(length, 150u);
    const char *text = nullptr;
    ASSERT_EQ(bbcrash_async_macho_string_get_pointer(&string, &text), BBCRASH_ESUCCESS);
    EXPECT_EQ(std::string(text, length), std::string(150, 'x'));
    bbcrash_async_macho_string_free(&string);

    // No NUL before unreadable memory: 5.
    Pages cut(2, 'y');
    munmap(cut.base + page, page);
    bbcrash_async_macho_string_init(&string, &macho, cut.at(10));
    EXPECT_EQ(bbcrash_async_macho_string_get_length(&string, &length), BBCRASH_EINVAL);
    bbcrash_async_macho_string_free(&string);

    // A NUL-free region longer than the cap: 5, not an endless remapping.
    Pages wide(BBCRASH_ASYNC_MACHO_STRING_MAX_PAGES + 4, 'z');
    bbcrash_async_macho_string_init(&string, &macho, wide.at(0));
    EXPECT_EQ(bbcrash_async_macho_string_get_length(&string, &length), BBCRASH_EINVAL);
    bbcrash_async_macho_string_free(&string);
}

}  // namespace
