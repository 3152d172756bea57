#pragma once
// A log in the common schema (version 3.0) sent to the Event Collector. Its
// JSON is the base's dictionary followed by "ver", "name", "popSample",
// "iKey", "flags", "cV", "ext" and "data", each only when present.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "BCAbstractLog.h"
#include "BCCSExtensions.h"
#include "platform/foundation/Value.h"

class BCCommonSchemaLog : public BCAbstractLog {
public:
    std::optional<std::string> ver;
    std::optional<std::string> name;
    std::optional<double> popSample;
    std::optional<std::string> iKey;  // instrumentation key, "o:<target key>"
    std::optional<int64_t> flags;
    std::optional<std::string> cV;
    std::shared_ptr<BCCSExtensions> ext;
    std::optional<platform::Dictionary> data;

    std::string className() const override { return "BCCommonSchemaLog"; }
    nlohmann::ordered_json serializeToDictionary() const override;
    // ver, timestamp and iKey must be present, and the extensions valid
    // when there are any.
    bool isValid() const override;
    bool isEqual(const platform::Object &other) const override;
    void encodeWithCoder(platform::KeyedArchiver &coder) const override;
    void initWithCoder(platform::KeyedUnarchiver &coder);
};
