#pragma once
// Loads a 64-bit Mach-O file into this process at one slide, segment by
// segment, optionally with its __TEXT executable so that its code can run.
// Only for self-contained images (no imports, no rebases): the stack-walk
// fixtures are built that way.
#include <cstdint>
#include <string>
#include <vector>

namespace unwindtest {

class CompactUnwindTestImage {
public:
    CompactUnwindTestImage(const std::string &path, bool executable);
    ~CompactUnwindTestImage();
    CompactUnwindTestImage(const CompactUnwindTestImage &) = delete;
    CompactUnwindTestImage &operator=(const CompactUnwindTestImage &) = delete;

    bool loaded() const { return base_ != nullptr; }
    const std::string &error() const { return error_; }
    uint64_t header() const { return reinterpret_cast<uintptr_t>(base_); }
    int64_t slide() const { return slide_; }
    int32_t cputype() const { return cputype_; }

    struct Range {
        uint64_t address = 0;  // in memory; 0 when absent
        uint64_t size = 0;
    };
    Range section(const std::string &segment, const std::string &name) const;

private:
    std::string error_;
    uint8_t *base_ = nullptr;
    size_t span_ = 0;
    int64_t slide_ = 0;
    int32_t cputype_ = 0;
    struct Section {
        std::string segment, name;
        uint64_t addr, size;
    };
    std::vector<Section> sections_;
};

}  // namespace unwindtest
