// The Mach-O reader, symbol lookup and Objective-C walk on real images built
// by clang-14 and ld64.lld-14, checked against llvm-objdump and llvm-nm.
#include "MachOOracle.h"
#include "MachOTestImage.h"
#include "bbcrash_async_symbol.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <string>

#if PLOTWICK_MACHO_FIXTURES

using namespace testsupport;
using platform::mach::mach_task_self;
using platform::mach::mach_vm_address_t;

namespace {

std::string fixture(const std::string &name) { return std::string(PLOTWICK_FIXTURE_DIR) + "/" + name; }

// "-[PWRoot(PWExtra) extraValue]" names the method as the walk does:
// "-[PWRoot extraValue]".
std::string withoutCategory(const std::string &name) {
    size_t open = name.find('(');
    size_t close = name.find(')');
    if (open == std::string::npos || close == std::string::npos) return name;
    return name.substr(0, open) + name.substr(close + 1);
}

class MachOFixtureTests : public ::testing::TestWithParam<const char *> {
protected:
    void SetUp() override {
        path_ = fixture(GetParam());
        loaded_ = std::make_unique<MachOTestImage>(path_);
        ASSERT_TRUE(loaded_->loaded()) << loaded_->error();
        oracle_ = MachOOracle::read(path_);
        ASSERT_FALSE(oracle_.segments.empty()) << "llvm-objdump gave no segments for " << path_;
        ASSERT_EQ(bbcrash_async_macho_init(&image_, mach_task_self(), path_.c_str(), loaded_->headerAddress()),
                  BBCRASH_ESUCCESS);
    }
    void TearDown() override {
        if (image_.name != nullptr) bbcrash_async_macho_free(&image_);
    }
    uint64_t slid(uint64_t address) const { return address + static_cast<uint64_t>(loaded_->slide()); }

    std::string path_;
    std::unique_ptr<MachOTestImage> loaded_;
    MachOOracle oracle_;
    bbcrash_async_macho image_{};
};

TEST_P(MachOFixtureTests, HeaderSegmentsSectionsAndUuidMatchObjdump) {
    EXPECT_TRUE(image_.m64);
    EXPECT_EQ(image_.byteorder, bbcrash_async_byteorder_native());
    EXPECT_EQ(image_.header_size, 32u);
    EXPECT_EQ(image_.vmaddr_slide, loaded_->slide());
    EXPECT_STREQ(image_.name, path_.c_str());

    for (const auto &segment : oracle_.segments) {
        SCOPED_TRACE(segment.name);
        ASSERT_NE(bbcrash_async_macho_find_segment_cmd(&image_, segment.name.c_str()), nullptr);
        if (segment.name == "__PAGEZERO") continue;
        bbcrash_async_macho_mapped_segment mapped;
        ASSERT_EQ(bbcrash_async_macho_map_segment(&image_, segment.name.c_str(), &mapped), BBCRASH_ESUCCESS);
        EXPECT_EQ(mapped.mobj.task_address, slid(segment.vmaddr));
        EXPECT_LE(mapped.mobj.length, segment.vmsize);
        EXPECT_GT(mapped.mobj.length, 0u);
        bbcrash_async_macho_mapped_segment_free(&mapped);
        if (segment.name == "__TEXT") {
            EXPECT_EQ(image_.text_vmaddr, segment.vmaddr);
            EXPECT_EQ(image_.text_size, segment.vmsize);
            EXPECT_TRUE(bbcrash_async_macho_contains_address(&image_, slid(segment.vmaddr)));
            EXPECT_TRUE(bbcrash_async_macho_contains_address(&image_, slid(segment.vmaddr + segment.vmsize - 1)));
            EXPECT_FALSE(bbcrash_async_macho_contains_address(&image_, slid(segment.vmaddr + segment.vmsize)));
            EXPECT_FALSE(bbcrash_async_macho_contains_address(&image_, slid(segment.vmaddr) - 1));
        }
    }
    EXPECT_EQ(bbcrash_async_macho_find_segment_cmd(&image_, "__NOSUCH"), nullptr);

    ASSERT_FALSE(oracle_.sections.empty());
    for (const auto &section : oracle_.sections) {
        SCOPED_TRACE(section.segment + "," + section.name);
        bbcrash_async_mobject mobj;
        bbcrash_error_t err =
            bbcrash_async_macho_map_section(&image_, section.segment.c_str(), section.name.c_str(), &mobj);
        if (section.size == 0) {
            if (err == BBCRASH_ESUCCESS) bbcrash_async_mobject_free(&mobj);
            continue;
        }
        ASSERT_EQ(err, BBCRASH_ESUCCESS);
        EXPECT_EQ(mobj.task_address, slid(section.addr));
        EXPECT_EQ(mobj.length, section.size);
        // The mapping holds the image's bytes.
        EXPECT_EQ(std::memcmp(reinterpret_cast<const void *>(mobj.address),
                              reinterpret_cast<const void *>(slid(section.addr)), section.size),
                  0);
        bbcrash_async_mobject_free(&mobj);
    }
    bbcrash_async_mobject none;
    EXPECT_EQ(bbcrash_async_macho_map_section(&image_, "__TEXT", "__nosuch", &none), BBCRASH_ENOTFOUND);

    auto *uuid = static_cast<const platform::dyld::uuid_command *>(
        bbcrash_async_macho_find_command(&image_, platform::dyld::LC_UUID));
    ASSERT_NE(uuid, nullptr);
    ASSERT_FALSE(oracle_.uuid.empty());
    EXPECT_EQ(uuidText(uuid->uuid), oracle_.uuid);
}

TEST_P(MachOFixtureTests, NearestSymbolOfEveryFunctionMatchesNm) {
    std::map<uint64_t, int> counts;
    for (const auto &symbol : oracle_.symbols) counts[symbol.address]++;
    int checked = 0;
    for (size_t i = 0; i < oracle_.symbols.size(); ++i) {
        const auto &symbol = oracle_.symbols[i];
        if ((symbol.type != 'T' && symbol.type != 't') || counts[symbol.address] != 1) continue;
        SCOPED_TRACE(symbol.name);
        // At the start, and at the last byte before the next symbol.
        uint64_t next = i + 1 < oracle_.symbols.size() ? oracle_.symbols[i + 1].address : symbol.address + 1;
        for (uint64_t at : {symbol.address, next > symbol.address ? next - 1 : symbol.address}) {
            FoundSymbol found;
            ASSERT_EQ(bbcrash_async_macho_find_symbol_by_pc(&image_, slid(at), recordSymbol, &found), BBCRASH_ESUCCESS);
            EXPECT_EQ(found.name, symbol.name);
            EXPECT_EQ(found.address, slid(symbol.address));
        }
        ++checked;
    }
    EXPECT_GE(checked, 4);
    // Below every symbol there is none.
    FoundSymbol found;
    ASSERT_GT(oracle_.symbols.front().address, 0u);
    EXPECT_EQ(
        bbcrash_async_macho_find_symbol_by_pc(&image_, slid(oracle_.symbols.front().address) - 1, recordSymbol, &found),
        BBCRASH_ENOTFOUND);
    EXPECT_FALSE(found.called);
}

TEST_P(MachOFixtureTests, SymbolTableStrategyNamesFunctions) {
    bbcrash_async_objc_cache cache;
    bbcrash_async_objc_cache_init(&cache);
    for (const auto &symbol : oracle_.symbols) {
        if (symbol.name == "_pw_second") {
            FoundSymbol found;
            ASSERT_EQ(bbcrash_async_find_symbol(&image_, BBCrashReporterSymbolicationStrategySymbolTable, &cache,
                                                slid(symbol.address) + 2, recordSymbol, &found),
                      BBCRASH_ESUCCESS);
            EXPECT_EQ(found.name, "_pw_second");
        }
    }
    FoundSymbol found;
    EXPECT_EQ(bbcrash_async_find_symbol(&image_, 0, &cache, slid(oracle_.symbols.back().address), recordSymbol, &found),
              BBCRASH_ENOTFOUND);
    EXPECT_FALSE(found.called);
    bbcrash_async_objc_cache_free(&cache);
}

INSTANTIATE_TEST_SUITE_P(Images, MachOFixtureTests,
                         ::testing::Values("libfixture-x86_64.dylib", "libfixture-arm64.dylib", "fixture-x86_64",
                                           "fixture-arm64"));

class ObjCFixtureTests : public MachOFixtureTests {};

struct Method {
    std::string name;
    mach_vm_address_t imp;
    bool operator<(const Method &o) const { return imp < o.imp || (imp == o.imp && name < o.name); }
    bool operator==(const Method &o) const { return imp == o.imp && name == o.name; }
};

void collectMethod(bool isClassMethod, bbcrash_async_macho_string *className, bbcrash_async_macho_string *selector,
                   mach_vm_address_t imp, void *ctx) {
    const char *cls = nullptr;
    const char *sel = nullptr;
    platform::mach::mach_vm_size_t clsLength = 0, selLength = 0;
    ASSERT_EQ(bbcrash_async_macho_string_get_length(className, &clsLength), BBCRASH_ESUCCESS);
    ASSERT_EQ(bbcrash_async_macho_string_get_pointer(className, &cls), BBCRASH_ESUCCESS);
    ASSERT_EQ(bbcrash_async_macho_string_get_length(selector, &selLength), BBCRASH_ESUCCESS);
    ASSERT_EQ(bbcrash_async_macho_string_get_pointer(selector, &sel), BBCRASH_ESUCCESS);
    std::string name = std::string(isClassMethod ? "+[" : "-[") + std::string(cls, clsLength) + " " +
                       std::string(sel, selLength) + "]";
    static_cast<std::set<Method> *>(ctx)->insert({name, imp});
}

TEST_P(ObjCFixtureTests, RealizedClassesAndCategoryGiveObjdumpsMethods) {
    std::map<std::string, uint64_t> addressOf;
    for (const auto &symbol : oracle_.symbols) addressOf[symbol.name] = symbol.address;
    std::set<Method> expected;
    for (const auto &imp : oracle_.methodImps) {
        ASSERT_TRUE(addressOf.count(imp)) << imp;
        expected.insert({withoutCategory(imp), slid(addressOf[imp])});
    }
    ASSERT_EQ(expected.size(), 7u);

    // Unrealized classes contribute nothing, and the walk goes on. (Mappings
    // are copies taken when the cache is set up, so each state of the image
    // gets a cache of its own.)
    bbcrash_async_objc_cache before;
    bbcrash_async_objc_cache_init(&before);
    std::set<Method> unrealized;
    EXPECT_EQ(bbcrash_async_objc_parse(&image_, &before, collectMethod, &unrealized), BBCRASH_ESUCCESS);
    EXPECT_TRUE(unrealized.empty());
    bbcrash_async_objc_cache_free(&before);

    loaded_->realizeObjCClasses();
    bbcrash_async_objc_cache cache;
    bbcrash_async_objc_cache_init(&cache);
    std::set<Method> methods;
    EXPECT_EQ(bbcrash_async_objc_parse(&image_, &cache, collectMethod, &methods), BBCRASH_ESUCCESS);
    EXPECT_EQ(methods, expected);
    // A second walk goes through the class-data table.
    std::set<Method> again;
    EXPECT_EQ(bbcrash_async_objc_parse(&image_, &cache, collectMethod, &again), BBCRASH_ESUCCESS);
    EXPECT_EQ(again, expected);
    EXPECT_EQ(cache.class_rw_data_cache_size, BBCRASH_ASYNC_OBJC_CACHE_SLOTS);

    for (const auto &method : expected) {
        SCOPED_TRACE(method.name);
        FoundSymbol objc;
        ASSERT_EQ(bbcrash_async_find_symbol(&image_, BBCrashReporterSymbolicationStrategyObjC, &cache, method.imp + 1,
                                            recordSymbol, &objc),
                  BBCRASH_ESUCCESS);
        EXPECT_EQ(objc.name, method.name);
        EXPECT_EQ(objc.address, method.imp);
        // Symbol table and ObjC at the same address: the ObjC name wins.
        FoundSymbol both;
        ASSERT_EQ(bbcrash_async_find_symbol(&image_, BBCrashReporterSymbolicationStrategyAll, &cache, method.imp,
                                            recordSymbol, &both),
                  BBCRASH_ESUCCESS);
        EXPECT_EQ(both.name, method.name);
    }
    bbcrash_async_objc_cache_free(&cache);
}

TEST_P(ObjCFixtureTests, UnrealizedClassIsSkippedTakenSlotsStayAndEmptyEntriesAreRefused) {
    std::map<std::string, uint64_t> addressOf;
    for (const auto &symbol : oracle_.symbols) addressOf[symbol.name] = symbol.address;
    loaded_->realizeObjCClasses();
    auto *child = reinterpret_cast<uint64_t *>(slid(addressOf.at("_OBJC_CLASS_$_PWChild")));
    auto *root = reinterpret_cast<uint64_t *>(slid(addressOf.at("_OBJC_CLASS_$_PWRoot")));
    // PWChild's read-write record loses its realized bit.
    *reinterpret_cast<uint32_t *>(child[4]) &= ~0x80000000u;

    // A table whose slot for PWRoot's data already holds another key.
    std::vector<uintptr_t> table(2 * BBCRASH_ASYNC_OBJC_CACHE_SLOTS, 0);
    const uintptr_t rootData = root[4];
    const size_t slot = (rootData >> 2) % BBCRASH_ASYNC_OBJC_CACHE_SLOTS;
    table[slot] = rootData + 4096;  // same slot, other key
    table[BBCRASH_ASYNC_OBJC_CACHE_SLOTS + slot] = 0x10;

    bbcrash_async_objc_cache cache;
    bbcrash_async_objc_cache_init(&cache);
    cache.class_rw_data_cache_size = BBCRASH_ASYNC_OBJC_CACHE_SLOTS;
    cache.class_rw_data_cache_keys = table.data();
    cache.class_rw_data_cache_values = table.data() + BBCRASH_ASYNC_OBJC_CACHE_SLOTS;
    std::set<Method> methods;
    ASSERT_EQ(bbcrash_async_objc_parse(&image_, &cache, collectMethod, &methods), BBCRASH_ESUCCESS);
    std::set<std::string> names;
    for (const auto &m : methods) names.insert(m.name);
    EXPECT_EQ(names, (std::set<std::string>{"-[PWRoot value]", "-[PWRoot valueWith:]", "+[PWRoot make]",
                                            "-[PWRoot extraValue]", "+[PWRoot extraMake]"}));
    EXPECT_EQ(table[slot], rootData + 4096);
    EXPECT_EQ(table[BBCRASH_ASYNC_OBJC_CACHE_SLOTS + slot], 0x10u);
    cache.class_rw_data_cache_size = 0;  // the table is not the cache's to release
    bbcrash_async_objc_cache_free(&cache);

    // A method list whose entry size is 0 is malformed, not 2^32 empty steps.
    auto *list = reinterpret_cast<uint32_t *>(slid(addressOf.at("__OBJC_$_INSTANCE_METHODS_PWRoot")));
    list[0] = 0;
    bbcrash_async_objc_cache_init(&cache);
    std::set<Method> none;
    EXPECT_EQ(bbcrash_async_objc_parse(&image_, &cache, collectMethod, &none), BBCRASH_EINVALID_DATA);
    FoundSymbol found;
    EXPECT_EQ(bbcrash_async_find_symbol(&image_, BBCrashReporterSymbolicationStrategyObjC, &cache,
                                        slid(addressOf.at("-[PWRoot value]")), recordSymbol, &found),
              BBCRASH_ENOTFOUND);
    // The symbol table still answers when both are asked.
    EXPECT_EQ(bbcrash_async_find_symbol(&image_, BBCrashReporterSymbolicationStrategyAll, &cache,
                                        slid(addressOf.at("-[PWRoot value]")), recordSymbol, &found),
              BBCRASH_ESUCCESS);
    EXPECT_EQ(found.name, "-[PWRoot value]");
    bbcrash_async_objc_cache_free(&cache);
}

TEST_P(ObjCFixtureTests, ImageWithoutCategoryListGivesNoObjCNames) {
    loaded_->realizeObjCClasses();
    // Rename the section in the mapped load commands, as if the image had
    // no categories; the record maps its commands afresh.
    auto *commands = reinterpret_cast<char *>(loaded_->headerAddress());
    const std::string name = "__objc_catlist";
    char *found = std::search(commands, commands + 4096, name.begin(), name.end());
    ASSERT_NE(found, commands + 4096);
    found[name.size() - 1] = 'X';
    bbcrash_async_macho_free(&image_);
    ASSERT_EQ(bbcrash_async_macho_init(&image_, mach_task_self(), path_.c_str(), loaded_->headerAddress()),
              BBCRASH_ESUCCESS);

    bbcrash_async_objc_cache cache;
    bbcrash_async_objc_cache_init(&cache);
    std::set<Method> methods;
    EXPECT_EQ(bbcrash_async_objc_parse(&image_, &cache, collectMethod, &methods), BBCRASH_ENOTFOUND);
    EXPECT_TRUE(methods.empty());
    bbcrash_async_objc_cache_free(&cache);
}

INSTANTIATE_TEST_SUITE_P(Images, ObjCFixtureTests,
                         ::testing::Values("libfixture-x86_64.dylib", "libfixture-arm64.dylib"));

}  // namespace

#endif
