// Keeps a log's string properties within the limits the service accepts.
#include "BCLogger.h"
#include "BCUtility.h"
#include "platform/foundation/Text.h"

namespace {
constexpr const char *kLogTag = "Beacon";
}

platform::Dictionary BCUtility::validateProperties(const platform::Dictionary &properties, const std::string &logName,
                                                   const std::string &type) {
    platform::Dictionary result;
    for (const auto &entry : properties) {
        // Named references rather than a structured binding: the logging
        // macros capture them in lambdas.
        const std::string &key = entry.first;
        const platform::Value &value = entry.second;
        if (result.size() >= static_cast<size_t>(kBCMaxPropertiesPerLog)) {
            BCLogWarning(kLogTag, "%@ '%@' : properties cannot contain more than %d items. Skipping other properties.",
                         type, logName, kBCMaxPropertiesPerLog);
            break;
        }
        const std::string *text = value.string();
        if (!text) continue;
        if (key.empty()) {
            BCLogWarning(kLogTag, "%@ '%@' : a property key cannot be null or empty. Property will be skipped.", type,
                         logName);
            continue;
        }
        std::string validKey = key;
        if (platform::text::utf16Length(key) > kBCMaxPropertyKeyLength) {
            BCLogWarning(
                kLogTag,
                "%@ '%@' : property %@ : property key length cannot be longer than %d characters. Property key "
                "will be truncated.",
                type, logName, key, static_cast<int>(kBCMaxPropertyKeyLength));
            validKey = platform::text::utf16Prefix(key, kBCMaxPropertyKeyLength);
        }
        std::string validValue = *text;
        if (platform::text::utf16Length(validValue) > kBCMaxPropertyValueLength) {
            BCLogWarning(kLogTag,
                         "%@ '%@' : property '%@' : property value cannot be longer than %d characters. Property value "
                         "will be truncated.",
                         type, logName, validKey, static_cast<int>(kBCMaxPropertyValueLength));
            // Never cut inside a surrogate pair.
            validValue = platform::text::utf16Prefix(validValue, kBCMaxPropertyValueLength);
        }
        result[validKey] = platform::Value(validValue);
    }
    return result;
}
