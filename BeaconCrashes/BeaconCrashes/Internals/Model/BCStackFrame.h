#pragma once
// One frame of a thread's or an exception's stack.
#include <optional>
#include <string>

#include "BCSerializableObject.h"

class BCStackFrame : public BCSerializableObject {
public:
    std::optional<std::string> address;
    std::optional<std::string> code;
    // The frame's "className" (className() names the model class).
    std::optional<std::string> frameClassName;
    std::optional<std::string> methodName;
    std::optional<int64_t> lineNumber;
    std::optional<std::string> fileName;

    std::string className() const override { return "BCStackFrame"; }
    // "address", "code", "className", "methodName", "lineNumber", "fileName",
    // each only when present.
    nlohmann::ordered_json serializeToDictionary() const override;
    bool isEqual(const platform::Object &other) const override;
    void encodeWithCoder(platform::KeyedArchiver &coder) const override;
    void initWithCoder(platform::KeyedUnarchiver &coder);
};
