#pragma once
// Custom properties the application sets for the install: strings, numbers,
// booleans and dates by key. Safe to use from any thread.
#include <mutex>
#include <string>

#include "platform/foundation/Date.h"
#include "platform/foundation/Coding.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/KeyedUnarchiver.h"
#include "platform/foundation/Value.h"

class BCCustomProperties : public platform::Coding {
public:
    std::string className() const override { return "BCCustomProperties"; }

    void setString(const std::string &value, const std::string &key);
    void setNumber(double value, const std::string &key);
    void setNumber(int64_t value, const std::string &key);
    void setBool(bool value, const std::string &key);
    void setDate(const platform::Date &value, const std::string &key);
    void clearPropertyForKey(const std::string &key);

    // The properties set so far, as a copy.
    platform::Dictionary propertiesImmutableCopy() const;

    // The properties under "properties".
    void encodeWithCoder(platform::KeyedArchiver &coder) const override;
    void initWithCoder(platform::KeyedUnarchiver &coder);

private:
    void set(const std::string &key, platform::Value value);

    mutable std::mutex mutex_;
    platform::Dictionary properties_;
};
