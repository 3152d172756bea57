#pragma once
// A model object that has a JSON form (for the ingestion services) and a
// keyed-archive form (for the stores), under the same key words.
#include <nlohmann/json.hpp>

#include "platform/foundation/Coding.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/KeyedUnarchiver.h"

class BCSerializableObject : public platform::Coding {
public:
    // The JSON object of the model, keys in their fixed order; absent values
    // give no key. Some models answer a null JSON value ("nil") when they
    // have nothing to write.
    virtual nlohmann::ordered_json serializeToDictionary() const = 0;
    // Each class also offers `void initWithCoder(platform::KeyedUnarchiver &)`,
    // which fills a new, empty object from the archived fields (its base's
    // first); a field of the wrong type fails the whole decode.
};
