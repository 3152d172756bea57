#include "platform/appkit/NSExceptionBox.h"

#include <cstdlib>
#include <exception>

namespace platform::appkit {

namespace {

std::terminate_handler previousTerminateHandler = nullptr;

[[noreturn]] void terminateWithUncaughtHandler() {
    if (auto current = std::current_exception()) {
        try {
            std::rethrow_exception(current);
        } catch (const NSExceptionBox &box) {
            UncaughtExceptionHandler handler = NSGetUncaughtExceptionHandler();
            if (handler && box.exception) handler(*box.exception);
            std::abort();
        } catch (...) {}
    }
    if (previousTerminateHandler) previousTerminateHandler();
    std::abort();
}

[[maybe_unused]] const bool kInstalled =
    (previousTerminateHandler = std::set_terminate(terminateWithUncaughtHandler), true);

}  // namespace

void nsRaise(std::shared_ptr<const Exception> exception) {
    if (!exception) {
        exception = std::make_shared<Exception>("NSInvalidArgumentException", "*** -raise: nil exception");
    }
    throw NSExceptionBox(std::move(exception));
}

}  // namespace platform::appkit
