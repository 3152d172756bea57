#pragma once
// The machine a report was written on.
#include "BBCrashReportProcessorInfo.h"

#include <memory>
#include <optional>
#include <string>

class BBCrashReportMachineInfo {
public:
    BBCrashReportMachineInfo(std::optional<std::string> modelName,
                             std::shared_ptr<const BBCrashReportProcessorInfo> processorInfo, uint32_t processorCount,
                             uint32_t logicalProcessorCount);

    const std::optional<std::string> &modelName() const { return modelName_; }
    const std::shared_ptr<const BBCrashReportProcessorInfo> &processorInfo() const { return processorInfo_; }
    uint32_t processorCount() const { return processorCount_; }
    uint32_t logicalProcessorCount() const { return logicalProcessorCount_; }

private:
    std::optional<std::string> modelName_;
    std::shared_ptr<const BBCrashReportProcessorInfo> processorInfo_;
    uint32_t processorCount_;
    uint32_t logicalProcessorCount_;
};
