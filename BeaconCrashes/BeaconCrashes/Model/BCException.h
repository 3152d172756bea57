#pragma once
// The model exception: a type, a message, the frames of its stack and the
// exceptions it wraps. Handled errors, crash logs and wrapper SDKs share it.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "BCModel.h"
#include "BCSerializableObject.h"
#include "BCStackFrame.h"

class BCException : public BCSerializableObject, public BCModel {
public:
    std::optional<std::string> type;
    std::optional<std::string> message;
    std::optional<std::string> stackTrace;
    std::optional<std::vector<std::shared_ptr<BCStackFrame>>> frames;
    std::optional<std::vector<std::shared_ptr<BCException>>> innerExceptions;
    std::optional<std::string> wrapperSdkName;

    std::string className() const override { return "BCException"; }
    // "type", "message", "stackTrace", "wrapperSdkName", "frames",
    // "innerExceptions", each only when present.
    nlohmann::ordered_json serializeToDictionary() const override;
    // A type (the empty one counts) and at least one frame.
    bool isValid() const override;
    bool isEqual(const platform::Object &other) const override;
    void encodeWithCoder(platform::KeyedArchiver &coder) const override;
    void initWithCoder(platform::KeyedUnarchiver &coder);
};
