#include "BCLogWithProperties.h"

#include "BCModelUtil.h"

nlohmann::ordered_json BCLogWithProperties::serializeToDictionary() const {
    nlohmann::ordered_json dict = BCAbstractLog::serializeToDictionary();
    if (properties_ && !properties_->empty()) dict["properties"] = BCModelUtil::jsonFromValue(*properties_);
    return dict;
}

bool BCLogWithProperties::isEqual(const platform::Object &other) const {
    auto log = dynamic_cast<const BCLogWithProperties *>(&other);
    return log && BCAbstractLog::isEqual(other) && properties_ == log->properties_;
}

void BCLogWithProperties::encodeWithCoder(platform::KeyedArchiver &coder) const {
    BCAbstractLog::encodeWithCoder(coder);
    coder.encodeObject(properties_ ? platform::Value(*properties_) : platform::Value(), "properties");
}

void BCLogWithProperties::initWithCoder(platform::KeyedUnarchiver &coder) {
    BCAbstractLog::initWithCoder(coder);
    if (auto strings = coder.decodeStringDictionaryForKey("properties")) {
        platform::Dictionary properties;
        for (auto &[key, value] : *strings) properties.emplace(key, platform::Value(value));
        properties_ = std::move(properties);
    }
}
