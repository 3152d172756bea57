#pragma once
// An uncaught C++ exception as an exception object: the demangled type as
// its name, the message (or "") as its reason, the frames of the throw as
// its call stack. The engine's uncaught-exception handler records it.
#include "BCCrashesUncaughtCXXExceptionHandlerManager.h"
#include "platform/appkit/Exception.h"

class BCCrashesCXXExceptionWrapperException : public platform::appkit::Exception {
public:
    // Keeps the description's pointer: valid while the terminate handler runs.
    explicit BCCrashesCXXExceptionWrapperException(const BCCrashesCXXExceptionInfo *info);

    const BCCrashesCXXExceptionInfo *info() const { return info_; }
    std::vector<uint64_t> callStackReturnAddresses() const override;

private:
    const BCCrashesCXXExceptionInfo *info_;
};

// The handler the crash service registers: hands the wrapped exception to
// the process's uncaught-exception handler, then aborts.
[[noreturn]] void bc_cxx_exception_handler(const BCCrashesCXXExceptionInfo *info);
