#pragma once
// Turns an uncaught C++ exception into an exception description for the
// registered handlers: a terminate handler, installed with the first
// handler, classifies the current exception and gives the handlers its type,
// message and the frames of its throw (recorded by the program's throw entry
// point on the throwing thread).
#include <cstdint>

struct BCCrashesCXXExceptionInfo {
    // Points at the terminate handler's holder of the current exception.
    const void *exceptionObject;
    // The mangled name of the exception's type.
    const char *typeName;
    // The exception's message; null when it has none.
    const char *messageText;
    uint32_t frameCount;
    // The frames of the throw, innermost first, without the throw entry
    // point's own. Valid only while the handlers run.
    const uint64_t *frameAddresses;
};

using BCCrashesCXXExceptionHandler = void (*)(const BCCrashesCXXExceptionInfo *info);

class BCCrashesUncaughtCXXExceptionHandlerManager {
public:
    // Appends the handler (duplicates allowed); the first one installs the
    // terminate handler.
    static void addCXXExceptionHandler(BCCrashesCXXExceptionHandler handler);
    // Removes the first equal entry. An emptied list puts the previous
    // terminate handler back, unless another one was installed meanwhile,
    // which then stays in force.
    static void removeCXXExceptionHandler(BCCrashesCXXExceptionHandler handler);
    static unsigned long countCXXExceptionHandler();
};
