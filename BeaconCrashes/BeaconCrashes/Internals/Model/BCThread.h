#pragma once
// One thread of a crashed process: its id, name, frames and the exception
// it was handling.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "BCException.h"
#include "BCModel.h"
#include "BCSerializableObject.h"
#include "BCStackFrame.h"

class BCThread : public BCSerializableObject, public BCModel {
public:
    std::optional<int64_t> threadId;
    std::optional<std::string> name;
    // A new thread has an empty list; a decoded one has whatever list was
    // archived (none when none was).
    std::optional<std::vector<std::shared_ptr<BCStackFrame>>> frames{std::in_place};
    std::shared_ptr<BCException> exception;

    std::string className() const override { return "BCThread"; }
    // "id", "name", "frames", "exception", each only when present.
    nlohmann::ordered_json serializeToDictionary() const override;
    // An id and at least one frame.
    bool isValid() const override;
    bool isEqual(const platform::Object &other) const override;
    void encodeWithCoder(platform::KeyedArchiver &coder) const override;
    void initWithCoder(platform::KeyedUnarchiver &coder);
};
