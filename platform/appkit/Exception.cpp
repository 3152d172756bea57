#include "platform/appkit/Exception.h"

#include <atomic>

namespace platform::appkit {

namespace {
std::atomic<UncaughtExceptionHandler> uncaughtHandler{nullptr};
}

void NSSetUncaughtExceptionHandler(UncaughtExceptionHandler handler) { uncaughtHandler.store(handler); }

UncaughtExceptionHandler NSGetUncaughtExceptionHandler() { return uncaughtHandler.load(); }

}  // namespace platform::appkit
