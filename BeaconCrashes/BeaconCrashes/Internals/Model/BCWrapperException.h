#pragma once
// An exception a wrapper SDK saved while its process was failing: its model
// exception, the wrapper runtime's own bytes and the process id.
#include <cstdint>
#include <memory>
#include <optional>

#include "BCException.h"
#include "BCSerializableObject.h"
#include "platform/foundation/Value.h"

class BCWrapperException : public BCSerializableObject {
public:
    std::shared_ptr<BCException> modelException;
    std::optional<platform::Data> exceptionData;
    std::optional<uint64_t> processId;

    std::string className() const override { return "BCWrapperException"; }
    // "modelException", "processId", "exceptionData" (base64), each when
    // present.
    nlohmann::ordered_json serializeToDictionary() const override;
    bool isEqual(const platform::Object &other) const override;
    void encodeWithCoder(platform::KeyedArchiver &coder) const override;
    void initWithCoder(platform::KeyedUnarchiver &coder);
};
