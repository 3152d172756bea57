#include "BCLogger.h"

#include <atomic>
#include <memory>
#include <mutex>

#include "platform/syslog/SystemLog.h"

namespace {

// The level and the flag are atomics and the handler a snapshot taken under a
// small mutex, so a line logged on one thread while another replaces the
// handler never sees a half-written value.
std::atomic<unsigned> currentLevel{BCLogLevelAssert};
std::atomic<bool> userDefinedLevel{false};

// Never destroyed: detached worker threads may still log while the process
// exits and static destructors run.
std::mutex &handlerMutex() {
    static auto *m = new std::mutex;
    return *m;
}

std::shared_ptr<const BCLogHandler> &handlerSlot() {
    static auto *slot =
        new std::shared_ptr<const BCLogHandler>(std::make_shared<const BCLogHandler>(BCLogger::defaultHandler()));
    return *slot;
}

std::shared_ptr<const BCLogHandler> handlerSnapshot() {
    std::lock_guard<std::mutex> lock(handlerMutex());
    return handlerSlot();
}

const char *levelName(unsigned level) {
    switch (level) {
    case BCLogLevelVerbose: return "VERBOSE";
    case BCLogLevelDebug: return "DEBUG";
    case BCLogLevelInfo: return "INFO";
    case BCLogLevelWarning: return "WARNING";
    case BCLogLevelError: return "ERROR";
    case BCLogLevelAssert: return "ASSERT";
    default: return nullptr;
    }
}

}  // namespace

void BCLogger::logMessage(const BCLogMessageProvider &messageProvider, BCLogLevel logLevel, const std::string &tag,
                          const char *file, const char *function, uint32_t line) {
    auto handler = handlerSnapshot();
    if (handler && *handler) (*handler)(messageProvider, logLevel, tag, file, function, line);
}

BCLogLevel BCLogger::currentLogLevel() { return static_cast<BCLogLevel>(currentLevel.load()); }

void BCLogger::setCurrentLogLevel(BCLogLevel logLevel) {
    userDefinedLevel = true;
    currentLevel = logLevel;
}

BCLogHandler BCLogger::logHandler() {
    auto handler = handlerSnapshot();
    return handler ? *handler : BCLogHandler();
}

void BCLogger::setLogHandler(BCLogHandler handler) {
    userDefinedLevel = true;
    std::lock_guard<std::mutex> lock(handlerMutex());
    handlerSlot() = handler ? std::make_shared<const BCLogHandler>(std::move(handler)) : nullptr;
}

bool BCLogger::isUserDefinedLogLevel() { return userDefinedLevel; }

void BCLogger::setIsUserDefinedLogLevel(bool isUserDefinedLogLevel) { userDefinedLevel = isUserDefinedLogLevel; }

BCLogHandler BCLogger::defaultHandler() {
    return [](const BCLogMessageProvider &messageProvider, BCLogLevel logLevel, const std::string &tag, const char *,
              const char *function, uint32_t line) {
        if (!messageProvider || currentLevel.load() > logLevel) return;
        if (logLevel == BCLogLevelNone) return;
        const char *name = levelName(logLevel);
        std::string functionName = function ? function : "";
        platform::SystemLog::write(
            platform::format("[%@] %@: %@/%d %@", tag, name, functionName, line, messageProvider()));
    };
}
