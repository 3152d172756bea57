#pragma once
// Which sources the crash-time symbol lookup consults (bits, combinable).
#include <cstdint>

enum BBCrashReporterSymbolicationStrategy : uint32_t {
    BBCrashReporterSymbolicationStrategyNone = 0,
    BBCrashReporterSymbolicationStrategySymbolTable = 1 << 0,
    BBCrashReporterSymbolicationStrategyObjC = 1 << 1,
    BBCrashReporterSymbolicationStrategyAll =
        BBCrashReporterSymbolicationStrategySymbolTable | BBCrashReporterSymbolicationStrategyObjC,
};
