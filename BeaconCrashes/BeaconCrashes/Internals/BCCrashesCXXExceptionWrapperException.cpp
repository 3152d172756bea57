#include "BCCrashesCXXExceptionWrapperException.h"

#include <cxxabi.h>

#include <cstdlib>
#include <string>

namespace {

std::string demangled(const char *typeName) {
    if (!typeName) return "";
    int status = 0;
    char *name = abi::__cxa_demangle(typeName, nullptr, nullptr, &status);
    if (!name) return typeName;
    std::string text = status == 0 ? name : typeName;
    free(name);
    return text;
}

}  // namespace

BCCrashesCXXExceptionWrapperException::BCCrashesCXXExceptionWrapperException(const BCCrashesCXXExceptionInfo *info)
    : platform::appkit::Exception(demangled(info ? info->typeName : nullptr),
                                  std::string(info && info->messageText ? info->messageText : "")),
      info_(info) {}

std::vector<uint64_t> BCCrashesCXXExceptionWrapperException::callStackReturnAddresses() const {
    if (!info_ || !info_->frameAddresses) return {};
    return std::vector<uint64_t>(info_->frameAddresses, info_->frameAddresses + info_->frameCount);
}

void bc_cxx_exception_handler(const BCCrashesCXXExceptionInfo *info) {
    platform::appkit::UncaughtExceptionHandler handler = platform::appkit::NSGetUncaughtExceptionHandler();
    BCCrashesCXXExceptionWrapperException wrapper(info);
    if (handler) handler(wrapper);
    std::abort();
}
