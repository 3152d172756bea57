#include "BBCrashReportMachineInfo.h"

BBCrashReportMachineInfo::BBCrashReportMachineInfo(std::optional<std::string> modelName,
                                                   std::shared_ptr<const BBCrashReportProcessorInfo> processorInfo,
                                                   uint32_t processorCount, uint32_t logicalProcessorCount)
    : modelName_(std::move(modelName)), processorInfo_(std::move(processorInfo)), processorCount_(processorCount),
      logicalProcessorCount_(logicalProcessorCount) {}
