#include "BCCustomProperties.h"

void BCCustomProperties::setString(const std::string &value, const std::string &key) { set(key, value); }
void BCCustomProperties::setNumber(double value, const std::string &key) { set(key, value); }
void BCCustomProperties::setNumber(int64_t value, const std::string &key) { set(key, value); }
void BCCustomProperties::setBool(bool value, const std::string &key) { set(key, value); }
void BCCustomProperties::setDate(const platform::Date &value, const std::string &key) { set(key, value); }

void BCCustomProperties::clearPropertyForKey(const std::string &key) {
    std::lock_guard<std::mutex> lock(mutex_);
    properties_.erase(key);
}

platform::Dictionary BCCustomProperties::propertiesImmutableCopy() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return properties_;
}

void BCCustomProperties::set(const std::string &key, platform::Value value) {
    std::lock_guard<std::mutex> lock(mutex_);
    properties_[key] = std::move(value);
}

void BCCustomProperties::encodeWithCoder(platform::KeyedArchiver &coder) const {
    coder.encodeObject(propertiesImmutableCopy(), "properties");
}

void BCCustomProperties::initWithCoder(platform::KeyedUnarchiver &coder) {
    auto properties = coder.decodeDictionaryForKey("properties");
    std::lock_guard<std::mutex> lock(mutex_);
    properties_ = properties ? std::move(*properties) : platform::Dictionary();
}
