#pragma once
// One loaded image of a report. The UUID is shown as lower-case hex, two
// characters per byte, without separators.
#include "BBCrashReportProcessorInfo.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class BBCrashReportBinaryImageInfo {
public:
    // `uuid` absent: the image has none.
    BBCrashReportBinaryImageInfo(std::shared_ptr<const BBCrashReportProcessorInfo> codeType, uint64_t imageBaseAddress,
                                 uint64_t imageSize, std::optional<std::string> imageName,
                                 const std::optional<std::vector<uint8_t>> &uuid);

    const std::shared_ptr<const BBCrashReportProcessorInfo> &codeType() const { return codeType_; }
    uint64_t imageBaseAddress() const { return imageBaseAddress_; }
    uint64_t imageSize() const { return imageSize_; }
    const std::optional<std::string> &imageName() const { return imageName_; }
    bool hasImageUUID() const { return imageUUID_.has_value(); }
    const std::optional<std::string> &imageUUID() const { return imageUUID_; }

private:
    std::shared_ptr<const BBCrashReportProcessorInfo> codeType_;
    uint64_t imageBaseAddress_;
    uint64_t imageSize_;
    std::optional<std::string> imageName_;
    std::optional<std::string> imageUUID_;
};
