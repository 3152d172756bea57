#include "bbcrash_error_object.h"

namespace {
constexpr int64_t kOperatingSystemError = 1;
}

void bbcrash_populate_error(std::shared_ptr<const platform::Error> *error, int64_t code, const std::string &description,
                            std::shared_ptr<const platform::Error> underlying) {
    if (error == nullptr) {
        return;
    }
    platform::Dictionary userInfo;
    userInfo[platform::kLocalizedDescriptionKey] = description;
    if (underlying) {
        userInfo[platform::kUnderlyingErrorKey] = underlying;
    }
    *error = platform::Error::make(BBCrashReporterErrorDomain, code, std::move(userInfo));
}

void bbcrash_populate_mach_error(std::shared_ptr<const platform::Error> *error, platform::mach::kern_return_t kr,
                                 const std::string &description) {
    bbcrash_populate_error(error, kOperatingSystemError, description,
                           platform::Error::make(platform::kMachErrorDomain, kr));
}

void bbcrash_populate_posix_error(std::shared_ptr<const platform::Error> *error, int errnum,
                                  const std::string &description) {
    bbcrash_populate_error(error, kOperatingSystemError, description,
                           platform::Error::make(platform::kPOSIXErrorDomain, errnum));
}
