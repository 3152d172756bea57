#pragma once
// The log of an error that the application caught itself and reported
// without a crash.
#include <memory>
#include <optional>
#include <string>

#include "BCException.h"
#include "BCLogWithProperties.h"

class BCHandledErrorLog : public BCLogWithProperties {
public:
    // A log of type "handledError".
    BCHandledErrorLog();

    std::optional<std::string> errorId;
    std::shared_ptr<BCException> exception;

    std::string className() const override { return "BCHandledErrorLog"; }
    // The base's keys, then "id" and "exception" when present.
    nlohmann::ordered_json serializeToDictionary() const override;
    // The base's rules, then errorId, then exception.
    bool isValid() const override;
    bool isEqual(const platform::Object &other) const override;
    void encodeWithCoder(platform::KeyedArchiver &coder) const override;
    void initWithCoder(platform::KeyedUnarchiver &coder);
};
