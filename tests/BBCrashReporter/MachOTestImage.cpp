#include "MachOTestImage.h"

#include "platform/dyld/loader.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <sys/mman.h>

namespace testsupport {

using namespace platform::dyld;

namespace {

constexpr uint32_t kLcDyldInfo = 0x22;
constexpr uint32_t kLcDyldInfoOnly = 0x80000022;

uint64_t readUleb(const uint8_t *&p, const uint8_t *end) {
    uint64_t value = 0;
    unsigned shift = 0;
    while (p < end) {
        uint8_t b = *p++;
        if (shift < 64) value |= static_cast<uint64_t>(b & 0x7f) << shift;
        shift += 7;
        if (!(b & 0x80)) break;
    }
    return value;
}

std::string fixedName(const char *field) { return std::string(field, strnlen(field, 16)); }

}  // namespace

MachOTestImage::MachOTestImage(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (file.size() < sizeof(mach_header_64)) {
        error_ = "cannot read " + path;
        return;
    }
    mach_header_64 mh;
    std::memcpy(&mh, file.data(), sizeof(mh));
    if (mh.magic != MH_MAGIC_64 || sizeof(mh) + mh.sizeofcmds > file.size()) {
        error_ = "not a 64-bit Mach-O file: " + path;
        return;
    }
    uint64_t low = UINT64_MAX, high = 0, textVmaddr = 0;
    uint32_t rebaseOff = 0, rebaseSize = 0;
    struct FileSegment {
        uint64_t vmaddr, vmsize, fileoff, filesize;
    };
    std::vector<FileSegment> loads;
    size_t offset = sizeof(mh);
    for (uint32_t i = 0; i < mh.ncmds; ++i) {
        load_command lc;
        std::memcpy(&lc, file.data() + offset, sizeof(lc));
        if (lc.cmd == LC_SEGMENT_64) {
            segment_command_64 seg;
            std::memcpy(&seg, file.data() + offset, sizeof(seg));
            std::string name = fixedName(seg.segname);
            segmentIndex_.push_back(seg.vmaddr);
            if (name != "__PAGEZERO") {
                low = std::min(low, seg.vmaddr);
                high = std::max(high, seg.vmaddr + seg.vmsize);
                loads.push_back({seg.vmaddr, seg.vmsize, seg.fileoff, seg.filesize});
                segments_.push_back({name, seg.vmaddr, seg.vmsize});
                if (name == "__TEXT") textVmaddr = seg.vmaddr;
                for (uint32_t s = 0; s < seg.nsects; ++s) {
                    section_64 sect;
                    std::memcpy(&sect, file.data() + offset + sizeof(seg) + s * sizeof(sect), sizeof(sect));
                    sections_.push_back({fixedName(sect.segname), fixedName(sect.sectname), sect.addr, sect.size});
                }
            }
        } else if (lc.cmd == kLcDyldInfo || lc.cmd == kLcDyldInfoOnly) {
            std::memcpy(&rebaseOff, file.data() + offset + 8, 4);
            std::memcpy(&rebaseSize, file.data() + offset + 12, 4);
        }
        offset += lc.cmdsize;
    }
    if (loads.empty()) {
        error_ = "no segments in " + path;
        return;
    }
    span_ = high - low;
    void *memory = mmap(nullptr, span_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        error_ = "cannot map " + path;
        return;
    }
    base_ = static_cast<uint8_t *>(memory);
    slide_ = static_cast<int64_t>(reinterpret_cast<uintptr_t>(base_) - low);
    for (const auto &seg : loads) {
        if (seg.filesize != 0 && seg.fileoff + seg.filesize <= file.size()) {
            std::memcpy(base_ + (seg.vmaddr - low), file.data() + seg.fileoff, std::min(seg.filesize, seg.vmsize));
        }
    }
    header_ = textVmaddr + static_cast<uint64_t>(slide_);
    if (rebaseSize != 0 && rebaseOff + static_cast<uint64_t>(rebaseSize) <= file.size()) {
        applyRebases(file, rebaseOff, rebaseSize);
    }
}

MachOTestImage::~MachOTestImage() {
    if (base_ != nullptr) {
        munmap(base_, span_);
    }
}

// The classic rebase opcodes: every pointer they name gets the slide added.
void MachOTestImage::applyRebases(const std::vector<uint8_t> &file, uint32_t offset, uint32_t size) {
    const uint8_t *p = file.data() + offset;
    const uint8_t *end = p + size;
    uint64_t address = 0;
    auto rebase = [&](uint64_t at) {
        uint64_t *slot = reinterpret_cast<uint64_t *>(at + static_cast<uint64_t>(slide_));
        *slot += static_cast<uint64_t>(slide_);
    };
    while (p < end) {
        uint8_t byte = *p++;
        uint8_t opcode = byte & 0xf0, imm = byte & 0x0f;
        switch (opcode) {
        case 0x00: return;  // done
        case 0x10: break;   // set type
        case 0x20:          // set segment and offset
            address = (imm < segmentIndex_.size() ? segmentIndex_[imm] : 0) + readUleb(p, end);
            break;
        case 0x30: address += readUleb(p, end); break;
        case 0x40: address += imm * 8ULL; break;
        case 0x50:
            for (int i = 0; i < imm; ++i) {
                rebase(address);
                address += 8;
            }
            break;
        case 0x60: {
            uint64_t n = readUleb(p, end);
            for (uint64_t i = 0; i < n; ++i) {
                rebase(address);
                address += 8;
            }
            break;
        }
        case 0x70:
            rebase(address);
            address += 8 + readUleb(p, end);
            break;
        case 0x80: {
            uint64_t n = readUleb(p, end), skip = readUleb(p, end);
            for (uint64_t i = 0; i < n; ++i) {
                rebase(address);
                address += 8 + skip;
            }
            break;
        }
        default: return;
        }
    }
}

MachOTestImage::Range MachOTestImage::section(const std::string &segment, const std::string &name) const {
    for (const auto &s : sections_) {
        if (s.segment == segment && s.name == name) {
            return {s.addr + static_cast<uint64_t>(slide_), s.size};
        }
    }
    return {};
}

void MachOTestImage::realizeObjCClasses() {
    Range list{};
    for (const char *segment : {"__DATA_CONST", "__DATA"}) {
        list = section(segment, "__objc_classlist");
        if (list.address != 0) break;
    }
    auto realize = [this](uint64_t cls) {
        uint64_t *words = reinterpret_cast<uint64_t *>(cls);
        auto rw = std::make_unique<uint64_t[]>(4);
        rw[0] = 0x80000000ULL;  // flags: realized; version 0
        rw[1] = words[4];       // the read-only record
        words[4] = reinterpret_cast<uintptr_t>(rw.get());
        realized_.push_back(std::move(rw));
    };
    for (uint64_t i = 0; i < list.size / 8; ++i) {
        uint64_t cls = reinterpret_cast<uint64_t *>(list.address)[i];
        uint64_t meta = reinterpret_cast<uint64_t *>(cls)[0];
        realize(cls);
        // A root metaclass may be shared; realize each record once.
        bool seen = false;
        for (uint64_t j = 0; j < i; ++j) {
            uint64_t other = reinterpret_cast<uint64_t *>(list.address)[j];
            if (reinterpret_cast<uint64_t *>(other)[0] == meta) seen = true;
        }
        if (!seen) realize(meta);
    }
}

}  // namespace testsupport
