#include "platform/foundation/Error.h"

#include <cstring>

#include "platform/foundation/Format.h"

namespace platform {

std::shared_ptr<const Error> Error::posix(int errnum, const std::string &path) {
    Dictionary info{{kLocalizedDescriptionKey, Value(std::string(std::strerror(errnum)))}};
    if (!path.empty()) info[kFilePathErrorKey] = Value(path);
    return make(kPOSIXErrorDomain, errnum, std::move(info));
}

std::string Error::localizedDescription() const {
    if (auto s = userInfo_.count(kLocalizedDescriptionKey) ? userInfo_.at(kLocalizedDescriptionKey).string() : nullptr)
        return *s;
    return format("The operation couldn\u2019t be completed. (%@ error %ld.)", domain_, code_);
}

std::string Error::description() const {
    return format("Error Domain=%@ Code=%ld \"%@\"", domain_, code_, localizedDescription());
}

bool Error::isEqual(const Object &other) const {
    auto o = dynamic_cast<const Error *>(&other);
    return o && o->domain_ == domain_ && o->code_ == code_ && o->userInfo_ == userInfo_;
}

}  // namespace platform
