#include "BBCrashReportBinaryImageInfo.h"

BBCrashReportBinaryImageInfo::BBCrashReportBinaryImageInfo(std::shared_ptr<const BBCrashReportProcessorInfo> codeType,
                                                           uint64_t imageBaseAddress, uint64_t imageSize,
                                                           std::optional<std::string> imageName,
                                                           const std::optional<std::vector<uint8_t>> &uuid)
    : codeType_(std::move(codeType)), imageBaseAddress_(imageBaseAddress), imageSize_(imageSize),
      imageName_(std::move(imageName)) {
    if (uuid) {
        static const char kHex[] = "0123456789abcdef";
        std::string text;
        text.reserve(uuid->size() * 2);
        for (uint8_t byte : *uuid) {
            text += kHex[byte >> 4];
            text += kHex[byte & 0xf];
        }
        imageUUID_ = std::move(text);
    }
}
