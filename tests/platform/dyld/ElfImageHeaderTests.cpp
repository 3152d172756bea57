// The loaded-image list on this very process: the synthesized Mach-O
// headers checked against readelf and /proc/self/maps, and the callbacks
// around dlopen/dlclose.
#include "platform/dyld/dyld.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <dlfcn.h>
#include <fstream>
#include <link.h>
#include <sstream>
#include <string>
#include <vector>

using namespace platform::dyld;

namespace {

struct Seg {
    std::string name;
    uint64_t vmaddr, vmsize, fileoff;
    std::vector<section_64> sections;
};

struct Parsed {
    const mach_header_64 *header = nullptr;
    std::vector<Seg> segments;
    const uuid_command *uuid = nullptr;
    const symtab_command *symtab = nullptr;
};

Parsed parse(const mach_header *mh) {
    Parsed p;
    p.header = reinterpret_cast<const mach_header_64 *>(mh);
    const uint8_t *cmd = reinterpret_cast<const uint8_t *>(mh) + sizeof(mach_header_64);
    for (uint32_t i = 0; i < p.header->ncmds; ++i) {
        const auto *lc = reinterpret_cast<const load_command *>(cmd);
        if (lc->cmd == LC_SEGMENT_64) {
            const auto *seg = reinterpret_cast<const segment_command_64 *>(cmd);
            Seg s{std::string(seg->segname, strnlen(seg->segname, 16)), seg->vmaddr, seg->vmsize, seg->fileoff, {}};
            const auto *sect = reinterpret_cast<const section_64 *>(seg + 1);
            for (uint32_t k = 0; k < seg->nsects; ++k) s.sections.push_back(sect[k]);
            p.segments.push_back(s);
        } else if (lc->cmd == LC_UUID) {
            p.uuid = reinterpret_cast<const uuid_command *>(cmd);
        } else if (lc->cmd == LC_SYMTAB) {
            p.symtab = reinterpret_cast<const symtab_command *>(cmd);
        }
        cmd += lc->cmdsize;
    }
    return p;
}

int indexOfPath(const std::string &path) {
    for (uint32_t i = 0; i < _dyld_image_count(); ++i) {
        if (path == _dyld_get_image_name(i)) return static_cast<int>(i);
    }
    return -1;
}

std::string libcPath() {
    Dl_info info{};
    dladdr(reinterpret_cast<void *>(&getpid), &info);
    char resolved[PATH_MAX];
    return info.dli_fname != nullptr && realpath(info.dli_fname, resolved) ? info.dli_fname : "";
}

std::string executablePath() {
    char resolved[PATH_MAX];
    return realpath("/proc/self/exe", resolved) ? resolved : "";
}

// Mappings of a file in /proc/self/maps: start, end, permissions.
struct Mapping {
    uint64_t start, end;
    std::string perms;
};

std::vector<Mapping> mappingsOf(const std::string &path) {
    std::vector<Mapping> out;
    std::ifstream maps("/proc/self/maps");
    std::string line;
    char resolved[PATH_MAX];
    std::string wanted = realpath(path.c_str(), resolved) ? resolved : path;
    while (std::getline(maps, line)) {
        auto slash = line.find('/');
        if (slash == std::string::npos) continue;
        std::string file = line.substr(slash);
        if (file != wanted && !(realpath(file.c_str(), resolved) && wanted == resolved)) continue;
        Mapping m;
        std::istringstream in(line);
        std::string range;
        in >> range >> m.perms;
        m.start = std::stoull(range.substr(0, range.find('-')), nullptr, 16);
        m.end = std::stoull(range.substr(range.find('-') + 1), nullptr, 16);
        out.push_back(m);
    }
    return out;
}

std::string buildIdOf(const std::string &path) {
    std::string out = testsupport::runCommand("readelf -n '" + path + "' | sed -n 's/.*Build ID: *//p'");
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
}

std::string hex(const uint8_t *bytes, size_t n) {
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof(b), "%02x", bytes[i]);
        s += b;
    }
    return s;
}

// .eh_frame's address and size from the section headers.
bool ehFrameOf(const std::string &path, uint64_t *addr, uint64_t *size) {
    std::istringstream in(testsupport::runCommand("readelf -SW '" + path + "'"));
    std::string line;
    while (std::getline(in, line)) {
        auto at = line.find(" .eh_frame ");
        if (at == std::string::npos) continue;
        std::istringstream fields(line.substr(at));
        std::string name, type, a, off, sz;
        fields >> name >> type >> a >> off >> sz;
        *addr = std::stoull(a, nullptr, 16);
        *size = std::stoull(sz, nullptr, 16);
        return true;
    }
    return false;
}

void checkImage(const std::string &path) {
    SCOPED_TRACE(path);
    int index = indexOfPath(path);
    ASSERT_GE(index, 0);
    const mach_header *mh = _dyld_get_image_header(static_cast<uint32_t>(index));
    const intptr_t slide = _dyld_get_image_vmaddr_slide(static_cast<uint32_t>(index));
    Parsed p = parse(mh);
    EXPECT_EQ(p.header->magic, MH_MAGIC_64);
    EXPECT_EQ(p.header->cputype, platform::mach::CPU_TYPE_X86_64);
    EXPECT_EQ(p.header->cpusubtype, platform::mach::CPU_SUBTYPE_X86_64_ALL);
    EXPECT_STREQ(dyld_image_path(mh), path.c_str());

    // The UUID is the start of the GNU build id.
    std::string buildId = buildIdOf(path);
    ASSERT_GE(buildId.size(), 32u);
    ASSERT_NE(p.uuid, nullptr);
    EXPECT_EQ(hex(p.uuid->uuid, 16), buildId.substr(0, 32));

    // __TEXT starts at the file's first mapping and holds its code; every
    // mapping of the file lies in __TEXT or __DATA.
    ASSERT_GE(p.segments.size(), 3u);
    EXPECT_EQ(p.segments[0].name, "__TEXT");
    std::vector<Mapping> maps = mappingsOf(path);
    ASSERT_FALSE(maps.empty());
    const uint64_t textStart = p.segments[0].vmaddr + static_cast<uint64_t>(slide);
    const uint64_t textEnd = textStart + p.segments[0].vmsize;
    EXPECT_EQ(textStart, maps.front().start);
    EXPECT_EQ(dyld_image_base(mh), textStart);
    bool sawCode = false;
    for (const auto &m : maps) {
        bool inText = m.start >= textStart && m.end <= textEnd;
        bool inData = false;
        for (const auto &s : p.segments) {
            if (s.name == "__DATA") {
                uint64_t a = s.vmaddr + static_cast<uint64_t>(slide);
                inData = m.start >= a && m.end <= a + s.vmsize;
            }
        }
        EXPECT_TRUE(inText || inData) << std::hex << m.start << "-" << m.end << " " << m.perms;
        if (m.perms[2] == 'x') {
            EXPECT_TRUE(inText);
            sawCode = true;
        }
    }
    EXPECT_TRUE(sawCode);
    EXPECT_EQ(p.segments.back().name, "__LINKEDIT");

    // __TEXT,__eh_frame is the image's own .eh_frame, in place.
    uint64_t ehAddr = 0, ehSize = 0;
    ASSERT_TRUE(ehFrameOf(path, &ehAddr, &ehSize));
    ASSERT_EQ(p.segments[0].sections.size(), 2u);
    const section_64 &eh = p.segments[0].sections[0];
    EXPECT_STREQ(eh.sectname, "__eh_frame");
    EXPECT_EQ(eh.addr, ehAddr);
    EXPECT_EQ(eh.size, ehSize);
    // Beside it, the compact unwind table built from it (version 1).
    const section_64 &unwind = p.segments[0].sections[1];
    EXPECT_STREQ(unwind.sectname, "__unwind_info");
    ASSERT_GE(unwind.size, 28u);
    uint32_t version = 0;
    std::memcpy(&version, reinterpret_cast<const void *>(unwind.addr + static_cast<uint64_t>(slide)), 4);
    EXPECT_EQ(version, 1u);

    // Every symbol is defined in a section, lies in __TEXT and is named with
    // a leading "_"; the table lies where __LINKEDIT says.
    ASSERT_NE(p.symtab, nullptr);
    EXPECT_GT(p.symtab->nsyms, 10u);
    const Seg &linkedit = p.segments.back();
    const uint64_t linkeditStart = linkedit.vmaddr + static_cast<uint64_t>(slide);
    const auto *symbols = reinterpret_cast<const nlist_64 *>(linkeditStart + p.symtab->symoff - linkedit.fileoff);
    const char *strings = reinterpret_cast<const char *>(linkeditStart + p.symtab->stroff - linkedit.fileoff);
    for (uint32_t i = 0; i < p.symtab->nsyms; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(symbols[i].n_type & N_TYPE, N_SECT);
        ASSERT_LT(symbols[i].n_strx, p.symtab->strsize);
        EXPECT_EQ(strings[symbols[i].n_strx], '_');
        EXPECT_GE(symbols[i].n_value, p.segments[0].vmaddr);
        EXPECT_LT(symbols[i].n_value, p.segments[0].vmaddr + p.segments[0].vmsize);
    }
}

TEST(ElfImageHeaderTests, ExecutableLibcAndVdsoAreListedWithTheLoadersCount) {
    int objects = 0;
    dl_iterate_phdr(
        [](dl_phdr_info *, size_t, void *n) {
            ++*static_cast<int *>(n);
            return 0;
        },
        &objects);
    EXPECT_EQ(static_cast<int>(_dyld_image_count()), objects);
    EXPECT_EQ(indexOfPath(executablePath()), 0);
    EXPECT_GE(indexOfPath(libcPath()), 0);
    EXPECT_GE(indexOfPath("linux-vdso.so.1"), 0);
    EXPECT_EQ(_dyld_get_image_header(_dyld_image_count()), nullptr);
    EXPECT_EQ(_dyld_get_image_name(_dyld_image_count()), nullptr);
    EXPECT_EQ(parse(_dyld_get_image_header(0)).header->filetype, MH_EXECUTE);
}

TEST(ElfImageHeaderTests, LibcHeaderMatchesReadelfAndMaps) { checkImage(libcPath()); }

TEST(ElfImageHeaderTests, TestBinaryHeaderMatchesReadelfAndMaps) { checkImage(executablePath()); }

TEST(ElfImageHeaderTests, VdsoHasSegmentsAndFunctionSymbolsFromMemory) {
    int index = indexOfPath("linux-vdso.so.1");
    ASSERT_GE(index, 0);
    Parsed p = parse(_dyld_get_image_header(static_cast<uint32_t>(index)));
    ASSERT_NE(p.symtab, nullptr);
    EXPECT_GT(p.symtab->nsyms, 0u);
    EXPECT_EQ(p.segments[0].name, "__TEXT");
}

std::vector<std::string> added;
std::vector<std::string> removed;

std::string pathOf(const mach_header *mh) {
    const char *path = dyld_image_path(mh);
    return path != nullptr ? path : "(unknown)";
}
void onAdd(const mach_header *mh, intptr_t) { added.push_back(pathOf(mh)); }
void onRemove(const mach_header *mh, intptr_t) { removed.push_back(pathOf(mh)); }

TEST(ElfImageHeaderTests, CallbacksSeeExistingImagesAndDlopenDlclose) {
    added.clear();
    removed.clear();
    _dyld_register_func_for_add_image(onAdd);
    _dyld_register_func_for_remove_image(onRemove);
    EXPECT_EQ(added.size(), _dyld_image_count());
    const size_t before = added.size();

    void *handle = platform::dyld::dlopen("libz.so.1", RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        GTEST_SKIP() << "libz.so.1 is not installed";
    }
    bool fresh = added.size() == before + 1;
    if (fresh) {
        EXPECT_NE(added.back().find("libz.so.1"), std::string::npos);
        EXPECT_EQ(_dyld_image_count(), before + 1);
    }
    EXPECT_EQ(platform::dyld::dlclose(handle), 0);
    if (fresh) {
        ASSERT_EQ(removed.size(), 1u);
        EXPECT_EQ(removed.back(), added.back());
        EXPECT_EQ(_dyld_image_count(), before);
    }
}

}  // namespace
