#include "BCStartServiceLog.h"

#include "BCModelUtil.h"

BCStartServiceLog::BCStartServiceLog() { setType("startService"); }

nlohmann::ordered_json BCStartServiceLog::serializeToDictionary() const {
    nlohmann::ordered_json dict = BCAbstractLog::serializeToDictionary();
    if (services_) dict["services"] = *services_;
    return dict;
}

bool BCStartServiceLog::isValid() const {
    if (!BCAbstractLog::isValid()) return false;
    if (!services_) return BCModelUtil::invalid(className(), "services");
    return true;
}

bool BCStartServiceLog::isEqual(const platform::Object &other) const {
    auto log = dynamic_cast<const BCStartServiceLog *>(&other);
    return log && BCAbstractLog::isEqual(other) && services_ == log->services_;
}

void BCStartServiceLog::encodeWithCoder(platform::KeyedArchiver &coder) const {
    BCAbstractLog::encodeWithCoder(coder);
    coder.encodeStrings(services_, "services");
}

void BCStartServiceLog::initWithCoder(platform::KeyedUnarchiver &coder) {
    BCAbstractLog::initWithCoder(coder);
    services_ = BCModelUtil::decodeStringArray(coder, "services");
}
