#pragma once
// Helpers the crash service's models share: arrays of model objects in JSON,
// in archives and in comparisons, the decoders of the archivable classes and
// the class names older versions archived them under.
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "BCModelUtil.h"
#include "platform/foundation/KeyedUnarchiver.h"
#include "platform/foundation/Value.h"

class BCCrashesModelUtil {
public:
    template <typename T>
    using ObjectArray = std::optional<std::vector<std::shared_ptr<T>>>;

    // Each element's own dictionary, in order; an empty array stays an
    // empty JSON array.
    template <typename T>
    static nlohmann::ordered_json jsonArray(const std::vector<std::shared_ptr<T>> &items) {
        nlohmann::ordered_json array = nlohmann::ordered_json::array();
        for (const auto &item : items) {
            if (item) array.push_back(item->serializeToDictionary());
        }
        return array;
    }

    // The array as an archive value (nil when absent).
    template <typename T>
    static platform::Value arrayValue(const ObjectArray<T> &items) {
        if (!items) return {};
        platform::Array array;
        for (const auto &item : *items) {
            if (item) array.emplace_back(item);
        }
        return array;
    }

    // Both absent, or the same length with each pair of elements equal.
    template <typename T>
    static bool arraysMatch(const ObjectArray<T> &a, const ObjectArray<T> &b) {
        if (!a || !b) return !a && !b;
        if (a->size() != b->size()) return false;
        for (size_t i = 0; i < a->size(); ++i) {
            if (!BCModelUtil::objectsMatch((*a)[i], (*b)[i])) return false;
        }
        return true;
    }

    // An archived integer read as an unsigned value (the archive keeps the
    // bits of values above the signed range).
    static std::optional<uint64_t> decodeUnsigned(platform::KeyedUnarchiver &coder, const std::string &key) {
        auto value = BCModelUtil::decodeInteger(coder, key);
        if (!value) return std::nullopt;
        return static_cast<uint64_t>(*value);
    }
    static platform::Value unsignedValue(const std::optional<uint64_t> &value) {
        return value ? platform::Value(static_cast<int64_t>(*value)) : platform::Value();
    }

    // Registers the decoders of the crash service's archivable models (once
    // per process; later calls do nothing).
    static void registerArchivableClasses();

    // The older archive class names and the classes they decode as.
    static const std::map<std::string, std::string> &migrationClasses();
};
