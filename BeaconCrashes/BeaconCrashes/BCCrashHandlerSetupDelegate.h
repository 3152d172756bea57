#pragma once
// What a wrapper SDK may be asked around the installation of the crash
// handlers. Every member is optional: an empty one means the delegate does
// not respond to it.
#include <functional>

class BCCrashHandlerSetupDelegate {
public:
    virtual ~BCCrashHandlerSetupDelegate() = default;

    // Just before the engine is configured.
    std::function<void()> willSetUpCrashHandlers;
    // Just after.
    std::function<void()> didSetUpCrashHandlers;
    // Whether the engine registers its uncaught-exception handler (YES when
    // the delegate does not answer).
    std::function<bool()> shouldEnableUncaughtExceptionHandler;
};
