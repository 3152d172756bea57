#pragma once
// An error: a domain, a code and a dictionary of further information. Errors
// are passed around, never thrown.
#include <cstdint>
#include <memory>
#include <string>

#include "platform/foundation/Value.h"

namespace platform {

// Keys of an error's user info.
inline constexpr const char *kLocalizedDescriptionKey = "NSLocalizedDescription";
inline constexpr const char *kLocalizedFailureReasonKey = "NSLocalizedFailureReason";
inline constexpr const char *kUnderlyingErrorKey = "NSUnderlyingError";
inline constexpr const char *kFilePathErrorKey = "NSFilePath";
inline constexpr const char *kPOSIXErrorDomain = "NSPOSIXErrorDomain";
inline constexpr const char *kMachErrorDomain = "NSMachErrorDomain";
inline constexpr const char *kCocoaErrorDomain = "NSCocoaErrorDomain";

class Error : public Object {
public:
    Error(std::string domain, int64_t code, Dictionary userInfo = {})
        : domain_(std::move(domain)), code_(code), userInfo_(std::move(userInfo)) {}

    static std::shared_ptr<const Error> make(std::string domain, int64_t code, Dictionary userInfo = {}) {
        return std::make_shared<const Error>(std::move(domain), code, std::move(userInfo));
    }
    // An error in the POSIX domain for an errno value, described by strerror.
    static std::shared_ptr<const Error> posix(int errnum, const std::string &path = "");

    const std::string &domain() const { return domain_; }
    int64_t code() const { return code_; }
    const Dictionary &userInfo() const { return userInfo_; }

    // The user info's localized description, or a generic sentence naming
    // the domain and code.
    std::string localizedDescription() const;

    std::string className() const override { return "NSError"; }
    std::string description() const override;
    bool isEqual(const Object &other) const override;

private:
    std::string domain_;
    int64_t code_;
    Dictionary userInfo_;
};

using ErrorPtr = std::shared_ptr<const Error>;

}  // namespace platform
