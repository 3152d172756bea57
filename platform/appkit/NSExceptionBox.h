#pragma once
// What raising an exception throws: the C++ exception that carries the
// exception object through the unwinder. It deliberately does not derive
// from std::exception, so that `catch (std::exception &)` never swallows a
// raised exception, as Objective-C exceptions pass such handlers by.
//
// Linking this file also installs, at start-up, a terminate handler that
// does for an uncaught raised exception what the Objective-C runtime does:
// hand it to the uncaught-exception handler, then abort. Other uncaught
// exceptions go to the terminate handler that was in force before.
#include <memory>

#include "platform/appkit/Exception.h"

namespace platform::appkit {

class NSExceptionBox {
public:
    explicit NSExceptionBox(std::shared_ptr<const Exception> exception) : exception(std::move(exception)) {}
    std::shared_ptr<const Exception> exception;
};

// Raises the exception (never null: a null one raises an
// "NSInvalidArgumentException").
[[noreturn]] void nsRaise(std::shared_ptr<const Exception> exception);

}  // namespace platform::appkit
