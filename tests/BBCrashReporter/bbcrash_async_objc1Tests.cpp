// The ObjC1 (fragile runtime, 32-bit) module walk on an image built in low
// memory with absolute pointers, checked against llvm-objdump.
#include "MachOOracle.h"
#include "bbcrash_async_objc.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <sys/mman.h>

using platform::mach::mach_task_self;
using platform::mach::mach_vm_address_t;

namespace {

constexpr size_t kSize = 0x8000;

// The image: __TEXT (header), then __OBJC with one __module_info section
// and the modules' symtab, classes, method lists and names.
class ObjC1Image {
public:
    ObjC1Image() {
        base_ = static_cast<uint8_t *>(
            mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0));
        b_ = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(base_));
        uint32_t header[7] = {0xfeedface, 7, 3, 0x8, 2, 56 + 56 + 5 * 68, 0};
        put(0, header, sizeof(header));
        segment(28, "__TEXT", b_, 0x1000, 0, 0);
        segment(28 + 56, "__OBJC", b_ + 0x1000, 0x7000, 0x1000, 5);
        // The walk uses __module_info; the others let llvm-objdump follow
        // the pointers.
        const uint32_t s = 28 + 56 + 56;
        section(s, "__module_info", "__OBJC", b_ + 0x1000, 32, 0x1000);
        section(s + 68, "__symbols", "__OBJC", b_ + 0x1100, 0x100, 0x1100);
        section(s + 2 * 68, "__class", "__OBJC", b_ + 0x1200, 0x200, 0x1200);
        section(s + 3 * 68, "__inst_meth", "__OBJC", b_ + 0x1400, 0x400, 0x1400);
        section(s + 4 * 68, "__meth_var_names", "__OBJC", b_ + 0x1800, 0x200, 0x1800);

        // Two modules; the second has no symtab.
        word(0x1000, 7);
        word(0x1004, 16);
        word(0x1008, str(0x1900, ""));
        word(0x100c, b_ + 0x1100);
        word(0x1010, 7);
        word(0x1014, 16);
        word(0x1018, b_ + 0x1900);
        word(0x101c, 0);
        // Symtab: no selector refs, two classes, no categories.
        word(0x1100, 0);
        word(0x1104, 0);
        half(0x1108, 2);
        half(0x110a, 0);
        word(0x110c, b_ + 0x1200);
        word(0x1110, b_ + 0x1300);
        // Alpha: one method list each for the class and its metaclass.
        klass(0x1200, b_ + 0x1280, str(0x1800, "Alpha"), 0x4000 | 1, b_ + 0x1400);
        klass(0x1280, 0, b_ + 0x1800, 0x4000 | 2, b_ + 0x1480);
        // Beta: an array of lists ending at 0xffffffff; its isa has bit 0 set.
        klass(0x1300, (b_ + 0x1380) | 1, str(0x1810, "Beta"), 1, b_ + 0x1500);
        klass(0x1380, 0, b_ + 0x1810, 2, b_ + 0x1600);
        word(0x1500, b_ + 0x1540);
        word(0x1504, b_ + 0x1580);
        word(0x1508, 0xffffffff);
        word(0x1600, 0);
        list(0x1400, {{"first", 0x1111}, {"second", 0x2222}}, 0x1820);
        list(0x1480, {{"classMethod", 0x3333}}, 0x1840);
        list(0x1540, {{"third", 0x4444}}, 0x1860);
        list(0x1580, {{"fourth", 0x5555}}, 0x1880);
        // An empty list for the unterminated-array case.
        list(0x1700, {}, 0x18a0);
    }
    ~ObjC1Image() { munmap(base_, kSize); }

    uintptr_t header() const { return reinterpret_cast<uintptr_t>(base_); }
    // Points Beta's method lists at an array with no terminator.
    void unterminate() {
        word(0x1300 + 28, b_ + 0x2000);
        for (uint32_t at = 0x2000; at < kSize; at += 4) word(at, b_ + 0x1700);
    }
    std::string writeTo(const std::string &dir) const {
        std::string path = dir + "/objc1.macho";
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(base_), kSize);
        return path;
    }

private:
    void put(uint32_t at, const void *data, size_t n) { std::memcpy(base_ + at, data, n); }
    void word(uint32_t at, uint32_t v) { put(at, &v, 4); }
    void half(uint32_t at, uint16_t v) { put(at, &v, 2); }
    uint32_t str(uint32_t at, const char *s) {
        put(at, s, std::strlen(s) + 1);
        return b_ + at;
    }
    void name16(uint32_t at, const char *s) {
        char field[16] = {};
        std::memcpy(field, s, std::strlen(s));
        put(at, field, 16);
    }
    void segment(uint32_t at, const char *name, uint32_t vmaddr, uint32_t vmsize, uint32_t fileoff, uint32_t nsects) {
        word(at, 0x1);
        word(at + 4, 56 + nsects * 68);
        name16(at + 8, name);
        uint32_t f[8] = {vmaddr, vmsize, fileoff, vmsize, 7, 7, nsects, 0};
        put(at + 24, f, sizeof(f));
    }
    void section(uint32_t at, const char *sect, const char *seg, uint32_t addr, uint32_t size, uint32_t offset) {
        name16(at, sect);
        name16(at + 16, seg);
        uint32_t f[9] = {addr, size, offset, 2, 0, 0, 0, 0, 0};
        put(at + 32, f, sizeof(f));
    }
    void klass(uint32_t at, uint32_t isa, uint32_t name, uint32_t info, uint32_t methodLists) {
        uint32_t f[10] = {isa, 0, name, 0, info, 4, 0, methodLists, 0, 0};
        put(at, f, sizeof(f));
    }
    struct M {
        const char *name;
        uint32_t imp;
    };
    void list(uint32_t at, std::initializer_list<M> methods, uint32_t strings) {
        word(at, 0);
        word(at + 4, static_cast<uint32_t>(methods.size()));
        uint32_t i = 0;
        for (const M &m : methods) {
            uint32_t sel = str(strings, m.name);
            strings += 16;
            word(at + 8 + i * 12, sel);
            word(at + 12 + i * 12, b_ + 0x1900);
            word(at + 16 + i * 12, m.imp);
            ++i;
        }
    }

    uint8_t *base_;
    uint32_t b_;
};

void collect(bool isClassMethod, bbcrash_async_macho_string *cls, bbcrash_async_macho_string *sel,
             mach_vm_address_t imp, void *ctx) {
    const char *c = nullptr;
    const char *s = nullptr;
    platform::mach::mach_vm_size_t cl = 0, sl = 0;
    if (bbcrash_async_macho_string_get_length(cls, &cl) != BBCRASH_ESUCCESS ||
        bbcrash_async_macho_string_get_pointer(cls, &c) != BBCRASH_ESUCCESS ||
        bbcrash_async_macho_string_get_length(sel, &sl) != BBCRASH_ESUCCESS ||
        bbcrash_async_macho_string_get_pointer(sel, &s) != BBCRASH_ESUCCESS) {
        return;
    }
    char line[128];
    std::snprintf(line, sizeof(line), "%c[%.*s %.*s] %llx", isClassMethod ? '+' : '-', static_cast<int>(cl), c,
                  static_cast<int>(sl), s, static_cast<unsigned long long>(imp));
    static_cast<std::set<std::string> *>(ctx)->insert(line);
}

TEST(ObjC1WalkTests, ModulesClassesMetaclassesAndListArrays) {
    ObjC1Image built;
    testsupport::TemporaryDirectory dir;
    const std::string objdump = testsupport::runCommand(std::string(PLOTWICK_OBJDUMP) + " --macho --objc-meta-data '" +
                                                        built.writeTo(dir.path().string()) + "'");
    // The oracle reads the same modules, classes and lists (of an array of
    // lists it prints the first only).
    for (const char *expected : {"Alpha", "Beta", "first", "second", "classMethod", "third"}) {
        EXPECT_NE(objdump.find(expected), std::string::npos) << expected << "\n" << objdump;
    }

    bbcrash_async_macho image;
    ASSERT_EQ(bbcrash_async_macho_init(&image, mach_task_self(), "objc1", built.header()), BBCRASH_ESUCCESS);
    EXPECT_FALSE(image.m64);
    bbcrash_async_objc_cache cache;
    bbcrash_async_objc_cache_init(&cache);
    std::set<std::string> methods;
    ASSERT_EQ(bbcrash_async_objc_parse(&image, &cache, collect, &methods), BBCRASH_ESUCCESS);
    EXPECT_EQ(methods,
              (std::set<std::string>{"-[Alpha first] 1111", "-[Alpha second] 2222", "+[Alpha classMethod] 3333",
                                     "-[Beta third] 4444", "-[Beta fourth] 5555"}));

    // A list-pointer array with no terminator is refused, not walked on.
    built.unterminate();
    std::set<std::string> none;
    EXPECT_EQ(bbcrash_async_objc_parse(&image, &cache, collect, &none), BBCRASH_EINVALID_DATA);
    bbcrash_async_objc_cache_free(&cache);
    bbcrash_async_macho_free(&image);
}

}  // namespace
