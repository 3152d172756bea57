#include "BCCrashesUtil.h"

#include "BCUtility.h"
#include "platform/dispatch/Once.h"

namespace {

constexpr const char *kCrashesDirectory = "crashes";
constexpr const char *kLogBufferDirectory = "crasheslogbuffer";
constexpr const char *kWrapperExceptionsDirectory = "crasheswrapperexceptions";

// Never destroyed: worker threads may still use them while the process exits.
platform::dispatch::Once &crashesOnce() {
    static auto *once = new platform::dispatch::Once;
    return *once;
}
platform::dispatch::Once &logBufferOnce() {
    static auto *once = new platform::dispatch::Once;
    return *once;
}
platform::dispatch::Once &wrapperExceptionsOnce() {
    static auto *once = new platform::dispatch::Once;
    return *once;
}

std::string directory(platform::dispatch::Once &once, const char *name) {
    once.call([name] { BCUtility::createDirectoryForPathComponent(std::string(name)); });
    return name;
}

}  // namespace

std::string BCCrashesUtil::crashesDir() { return directory(crashesOnce(), kCrashesDirectory); }

std::string BCCrashesUtil::logBufferDir() { return directory(logBufferOnce(), kLogBufferDirectory); }

std::string BCCrashesUtil::wrapperExceptionsDir() {
    return directory(wrapperExceptionsOnce(), kWrapperExceptionsDirectory);
}

void BCCrashesUtil::resetDirectory() {
    crashesOnce().reset();
    logBufferOnce().reset();
    wrapperExceptionsOnce().reset();
}
