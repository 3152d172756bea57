#pragma once
// How the crash reporter captures crashes: which handler (POSIX signals, or
// the Mach exception server plus a SIGABRT handler), which crash-time symbol
// lookups, and whether the uncaught-exception handler is installed.
// Immutable once made.
#include "BBCrashReporterSymbolicationStrategy.h"

#include <cstdint>
#include <memory>

enum BBCrashReporterSignalHandlerType : uint32_t {
    BBCrashReporterSignalHandlerTypeBSD = 0,
    BBCrashReporterSignalHandlerTypeMach = 1,
    // Any other value installs neither.
};

class BBCrashReporterConfig {
public:
    // BSD, no symbolication, uncaught-exception handler installed.
    BBCrashReporterConfig();
    BBCrashReporterConfig(uint32_t signalHandlerType, uint32_t symbolicationStrategy,
                          bool shouldRegisterUncaughtExceptionHandler = true);

    static std::shared_ptr<BBCrashReporterConfig> defaultConfiguration();

    uint32_t signalHandlerType() const { return signalHandlerType_; }
    uint32_t symbolicationStrategy() const { return symbolicationStrategy_; }
    bool shouldRegisterUncaughtExceptionHandler() const { return shouldRegisterUncaughtExceptionHandler_; }

private:
    uint32_t signalHandlerType_;
    uint32_t symbolicationStrategy_;
    bool shouldRegisterUncaughtExceptionHandler_;
};
