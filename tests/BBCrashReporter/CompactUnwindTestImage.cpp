#include "CompactUnwindTestImage.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "platform/dyld/loader.h"

using namespace platform::dyld;

namespace unwindtest {

CompactUnwindTestImage::CompactUnwindTestImage(const std::string &path, bool executable) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (file.size() < sizeof(mach_header_64)) {
        error_ = "cannot read " + path;
        return;
    }
    mach_header_64 header;
    std::memcpy(&header, file.data(), sizeof(header));
    if (header.magic != MH_MAGIC_64) {
        error_ = "not a 64-bit Mach-O file";
        return;
    }
    cputype_ = header.cputype;

    struct Segment {
        uint64_t vmaddr, vmsize, fileoff, filesize;
        bool text;
    };
    std::vector<Segment> segments;
    size_t offset = sizeof(mach_header_64);
    for (uint32_t i = 0; i < header.ncmds && offset + sizeof(load_command) <= file.size(); i++) {
        load_command lc;
        std::memcpy(&lc, file.data() + offset, sizeof(lc));
        if (lc.cmd == LC_SEGMENT_64 && offset + sizeof(segment_command_64) <= file.size()) {
            segment_command_64 seg;
            std::memcpy(&seg, file.data() + offset, sizeof(seg));
            segments.push_back(
                {seg.vmaddr, seg.vmsize, seg.fileoff, seg.filesize, std::strncmp(seg.segname, "__TEXT", 16) == 0});
            for (uint32_t s = 0; s < seg.nsects; s++) {
                section_64 sect;
                std::memcpy(&sect, file.data() + offset + sizeof(seg) + s * sizeof(sect), sizeof(sect));
                sections_.push_back({std::string(sect.segname, strnlen(sect.segname, 16)),
                                     std::string(sect.sectname, strnlen(sect.sectname, 16)), sect.addr, sect.size});
            }
        }
        offset += lc.cmdsize;
    }
    if (segments.empty()) {
        error_ = "no segments";
        return;
    }
    uint64_t low = UINT64_MAX, high = 0;
    for (const auto &s : segments) {
        low = std::min(low, s.vmaddr);
        high = std::max(high, s.vmaddr + s.vmsize);
    }
    span_ = high - low;
    void *memory = mmap(nullptr, span_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        error_ = "mmap failed";
        return;
    }
    base_ = static_cast<uint8_t *>(memory);
    slide_ = int64_t(reinterpret_cast<uintptr_t>(base_) - low);
    for (const auto &s : segments) {
        if (s.fileoff + s.filesize <= file.size()) {
            std::memcpy(base_ + (s.vmaddr - low), file.data() + s.fileoff, s.filesize);
        }
    }
    if (executable) {
        const uint64_t page = uint64_t(sysconf(_SC_PAGESIZE));
        for (const auto &s : segments) {
            if (s.text) {
                const uint64_t start = (s.vmaddr - low) & ~(page - 1);
                mprotect(base_ + start, (s.vmsize + page - 1) & ~(page - 1), PROT_READ | PROT_EXEC);
            }
        }
    }
}

CompactUnwindTestImage::~CompactUnwindTestImage() {
    if (base_ != nullptr) {
        munmap(base_, span_);
    }
}

CompactUnwindTestImage::Range CompactUnwindTestImage::section(const std::string &segment,
                                                              const std::string &name) const {
    for (const auto &s : sections_) {
        if (s.segment == segment && s.name == name) {
            return {uint64_t(int64_t(s.addr) + slide_), s.size};
        }
    }
    return {};
}

}  // namespace unwindtest
