#pragma once
// Loads a 64-bit Mach-O file into this process the way the loader would for
// reading (segments at their addresses plus one slide, rebased), and can
// realize its Objective-C classes as the runtime does, so that the engine's
// reader sees what it would see in a running process.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace testsupport {

class MachOTestImage {
public:
    // Empty image (loaded() false) when the file cannot be read or mapped;
    // error() says why.
    explicit MachOTestImage(const std::string &path);
    ~MachOTestImage();
    MachOTestImage(const MachOTestImage &) = delete;
    MachOTestImage &operator=(const MachOTestImage &) = delete;

    bool loaded() const { return base_ != nullptr; }
    const std::string &error() const { return error_; }
    uint64_t headerAddress() const { return header_; }
    int64_t slide() const { return slide_; }

    // Gives every class of __objc_classlist, and its metaclass, a read-write
    // record (flags with the realized bit, the read-only record's address)
    // and points its data word at it.
    void realizeObjCClasses();

    // Section bounds in memory (address 0 when absent).
    struct Range {
        uint64_t address = 0;
        uint64_t size = 0;
    };
    Range section(const std::string &segment, const std::string &section) const;

private:
    void applyRebases(const std::vector<uint8_t> &file, uint32_t offset, uint32_t size);

    std::string error_;
    uint8_t *base_ = nullptr;
    size_t span_ = 0;
    uint64_t header_ = 0;
    int64_t slide_ = 0;
    struct Segment {
        std::string name;
        uint64_t vmaddr, vmsize;
    };
    std::vector<Segment> segments_;
    std::vector<uint64_t> segmentIndex_;  // every segment's vmaddr, in load-command order
    struct Section {
        std::string segment, name;
        uint64_t addr, size;
    };
    std::vector<Section> sections_;
    std::vector<std::unique_ptr<uint64_t[]>> realized_;
};

}  // namespace testsupport
