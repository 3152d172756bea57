#pragma once
// Small helpers the model classes share: writing optional fields into JSON,
// comparing optional fields, and the validity message.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/foundation/KeyedUnarchiver.h"
#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"

class BCModelUtil {
public:
    // Adds the value under the key when it is present.
    static void addString(nlohmann::ordered_json &json, const char *key, const std::optional<std::string> &value) {
        if (value) json[key] = *value;
    }
    template <typename N>
    static void addNumber(nlohmann::ordered_json &json, const char *key, const std::optional<N> &value) {
        if (value) json[key] = *value;
    }

    // A property-list value as JSON: dates as ISO 8601 text, UUIDs as their
    // text, data as base64, model objects as their own dictionaries; nil and
    // objects without a JSON form give a null JSON value.
    static nlohmann::ordered_json jsonFromValue(const platform::Value &value);

    // Two object references match when both are absent or both are present
    // and equal.
    template <typename T, typename U>
    static bool objectsMatch(const std::shared_ptr<T> &a, const std::shared_ptr<U> &b) {
        if (!a || !b) return !a && !b;
        return a->isEqual(*b);
    }

    // An optional number as an archive value (nil when absent).
    template <typename N>
    static platform::Value numberValue(const std::optional<N> &value) {
        return value ? platform::Value(*value) : platform::Value();
    }
    // An archived number object read as an integer. A value that is not a
    // number, or a real number that is not integral, fails the decode.
    static std::optional<int64_t> decodeInteger(platform::KeyedUnarchiver &coder, const std::string &key);
    // An archived array whose members must all be strings.
    static std::optional<std::vector<std::string>> decodeStringArray(platform::KeyedUnarchiver &coder,
                                                                     const std::string &key);
    // An array of strings as an archive value.
    static platform::Value stringArrayValue(const std::optional<std::vector<std::string>> &strings);

    // Registers the decoders of every archivable model class with the
    // unarchiver (once per process; later calls do nothing).
    static void registerArchivableClasses();

    // Logs "<class>: "<key>" is not valid." at the verbose level with the
    // SDK's tag and answers false, so a validity rule reads
    // `if (!x) return BCModelUtil::invalid(className(), "x");`.
    static bool invalid(const std::string &className, const std::string &key);
};
