#pragma once
// What every telemetry record offers the channels and the stores.
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "platform/foundation/Date.h"
#include "platform/foundation/Object.h"

class BCDevice;

class BCLog {
public:
    virtual ~BCLog() = default;

    virtual std::optional<std::string> type() const = 0;
    virtual void setType(std::optional<std::string> type) = 0;
    virtual std::optional<platform::Date> timestamp() const = 0;
    virtual void setTimestamp(std::optional<platform::Date> timestamp) = 0;
    virtual std::optional<std::string> sid() const = 0;
    virtual void setSid(std::optional<std::string> sid) = 0;
    virtual std::optional<std::string> distributionGroupId() const = 0;
    virtual void setDistributionGroupId(std::optional<std::string> distributionGroupId) = 0;
    virtual std::optional<std::string> userId() const = 0;
    virtual void setUserId(std::optional<std::string> userId) = 0;
    virtual std::shared_ptr<BCDevice> device() const = 0;
    virtual void setDevice(std::shared_ptr<BCDevice> device) = 0;
    // An opaque object a caller may attach; it never leaves the process.
    virtual std::shared_ptr<platform::Object> tag() const = 0;
    virtual void setTag(std::shared_ptr<platform::Object> tag) = 0;

    virtual bool isValid() const = 0;

    // The common-schema targets the log also goes to (absent until one is
    // added). A returned set is a copy: later additions never change it.
    virtual std::optional<std::set<std::string>> transmissionTargetTokens() const = 0;
    virtual void setTransmissionTargetTokens(std::optional<std::set<std::string>> tokens) = 0;
    virtual void addTransmissionTargetToken(const std::string &token) = 0;
};
