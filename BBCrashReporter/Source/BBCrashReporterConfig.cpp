#include "BBCrashReporterConfig.h"

BBCrashReporterConfig::BBCrashReporterConfig()
    : BBCrashReporterConfig(BBCrashReporterSignalHandlerTypeBSD, BBCrashReporterSymbolicationStrategyNone, true) {}

BBCrashReporterConfig::BBCrashReporterConfig(uint32_t signalHandlerType, uint32_t symbolicationStrategy,
                                             bool shouldRegisterUncaughtExceptionHandler)
    : signalHandlerType_(signalHandlerType), symbolicationStrategy_(symbolicationStrategy),
      shouldRegisterUncaughtExceptionHandler_(shouldRegisterUncaughtExceptionHandler) {}

std::shared_ptr<BBCrashReporterConfig> BBCrashReporterConfig::defaultConfiguration() {
    return std::make_shared<BBCrashReporterConfig>();
}
