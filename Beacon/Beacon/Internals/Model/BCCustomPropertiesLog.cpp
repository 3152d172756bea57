#include "BCCustomPropertiesLog.h"

#include "BCModelUtil.h"

BCCustomPropertiesLog::BCCustomPropertiesLog() { setType("customProperties"); }

nlohmann::ordered_json BCCustomPropertiesLog::serializeToDictionary() const {
    nlohmann::ordered_json dict = BCAbstractLog::serializeToDictionary();
    if (properties_) dict["properties"] = BCModelUtil::jsonFromValue(*properties_);
    return dict;
}

bool BCCustomPropertiesLog::isValid() const {
    if (!BCAbstractLog::isValid()) return false;
    if (!properties_ || properties_->empty()) return BCModelUtil::invalid(className(), "properties");
    return true;
}

bool BCCustomPropertiesLog::isEqual(const platform::Object &other) const {
    auto log = dynamic_cast<const BCCustomPropertiesLog *>(&other);
    return log && BCAbstractLog::isEqual(other) && properties_ == log->properties_;
}

void BCCustomPropertiesLog::encodeWithCoder(platform::KeyedArchiver &coder) const {
    BCAbstractLog::encodeWithCoder(coder);
    coder.encodeObject(properties_ ? platform::Value(*properties_) : platform::Value(), "properties");
}

void BCCustomPropertiesLog::initWithCoder(platform::KeyedUnarchiver &coder) {
    BCAbstractLog::initWithCoder(coder);
    properties_ = coder.decodeDictionaryForKey("properties");
}
