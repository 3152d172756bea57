#pragma once
// The one logger of the telemetry core and the crash reporting service. A
// line is passed as a block that builds its text, so a line below the current
// level costs no formatting; a replaceable handler decides what to do with it.
#include <cstdint>
#include <functional>
#include <string>

#include "platform/foundation/Format.h"

enum BCLogLevel : unsigned {
    BCLogLevelVerbose = 2,
    BCLogLevelDebug = 3,
    BCLogLevelInfo = 4,
    BCLogLevelWarning = 5,
    BCLogLevelError = 6,
    BCLogLevelAssert = 7,
    BCLogLevelNone = 99,
};

// Builds a line's text. It is valid only while the handler call that received
// it runs: the logging macros capture their arguments by reference.
using BCLogMessageProvider = std::function<std::string()>;
using BCLogHandler = std::function<void(const BCLogMessageProvider &messageProvider, BCLogLevel logLevel,
                                        const std::string &tag, const char *file, const char *function, uint32_t line)>;

class BCLogger {
public:
    // Hands the line to the current handler, if any; filtering by level is
    // the handler's business.
    static void logMessage(const BCLogMessageProvider &messageProvider, BCLogLevel logLevel, const std::string &tag,
                           const char *file, const char *function, uint32_t line);

    static BCLogLevel currentLogLevel();
    // Also marks the level as chosen by somebody.
    static void setCurrentLogLevel(BCLogLevel logLevel);

    static BCLogHandler logHandler();
    // An empty handler silences all output. Also marks the level as chosen.
    static void setLogHandler(BCLogHandler handler);

    static bool isUserDefinedLogLevel();
    static void setIsUserDefinedLogLevel(bool isUserDefinedLogLevel);

    // The handler installed when the logger is first used: prints lines at or
    // above the current level to the system log.
    static BCLogHandler defaultHandler();
};

#define BCLOG_AT_LEVEL(level, tag, ...)                                                                        \
    BCLogger::logMessage([&]() -> std::string { return platform::format(__VA_ARGS__); }, level, tag, __FILE__, \
                         __func__, static_cast<uint32_t>(__LINE__))

#define BCLogVerbose(tag, ...) BCLOG_AT_LEVEL(BCLogLevelVerbose, tag, __VA_ARGS__)
#define BCLogDebug(tag, ...) BCLOG_AT_LEVEL(BCLogLevelDebug, tag, __VA_ARGS__)
#define BCLogInfo(tag, ...) BCLOG_AT_LEVEL(BCLogLevelInfo, tag, __VA_ARGS__)
#define BCLogWarning(tag, ...) BCLOG_AT_LEVEL(BCLogLevelWarning, tag, __VA_ARGS__)
#define BCLogError(tag, ...) BCLOG_AT_LEVEL(BCLogLevelError, tag, __VA_ARGS__)
#define BCLogAssert(tag, ...) BCLOG_AT_LEVEL(BCLogLevelAssert, tag, __VA_ARGS__)
