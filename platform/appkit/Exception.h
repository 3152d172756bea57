#pragma once
// The exception object that an uncaught-exception handler receives: a name, a
// reason that may be absent, and the return addresses of the stack it was
// raised on. Subclasses that know the stack answer callStackReturnAddresses.
//
// The uncaught-exception handler slot is one process-wide function pointer,
// read and written atomically, so that it can be read on the way to a crash.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform::appkit {

class Exception {
public:
    Exception(std::string name, std::optional<std::string> reason)
        : name_(std::move(name)), reason_(std::move(reason)) {}
    virtual ~Exception() = default;

    const std::string &name() const { return name_; }
    const std::optional<std::string> &reason() const { return reason_; }
    // The return addresses of the raising stack, innermost first; none by
    // default.
    virtual std::vector<uint64_t> callStackReturnAddresses() const { return {}; }

private:
    std::string name_;
    std::optional<std::string> reason_;
};

using UncaughtExceptionHandler = void (*)(const Exception &exception);

void NSSetUncaughtExceptionHandler(UncaughtExceptionHandler handler);
UncaughtExceptionHandler NSGetUncaughtExceptionHandler();

}  // namespace platform::appkit
