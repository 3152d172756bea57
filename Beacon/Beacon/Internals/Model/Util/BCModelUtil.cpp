#include "BCModelUtil.h"

#include <mutex>

#include "BCAbstractLog.h"
#include "BCCommonSchemaLog.h"
#include "BCCustomProperties.h"
#include "BCCustomPropertiesLog.h"
#include "BCDevice.h"
#include "BCDeviceHistoryInfo.h"
#include "BCLogWithProperties.h"
#include "BCSessionHistoryInfo.h"
#include "BCStartServiceLog.h"
#include "BCUserIdHistoryInfo.h"
#include "BCWrapperSdk.h"

#include "BCLogger.h"
#include "BCSerializableObject.h"
#include "BCUtility.h"
#include "platform/foundation/Base64.h"

namespace {
constexpr const char *kLogTag = "Beacon";
}

nlohmann::ordered_json BCModelUtil::jsonFromValue(const platform::Value &value) {
    using Type = platform::Value::Type;
    switch (value.type()) {
    case Type::Null: return nullptr;
    case Type::Bool: return *value.boolValue();
    case Type::Integer: return *value.int64Value();
    case Type::Real: return *value.doubleValue();
    case Type::String: return *value.string();
    case Type::Data: return platform::base64::encode(*value.data());
    case Type::Date: return BCUtility::dateToISO8601(*value.date());
    case Type::UUID: return value.uuid()->UUIDString();
    case Type::Array: {
        nlohmann::ordered_json array = nlohmann::ordered_json::array();
        for (const auto &item : *value.array()) array.push_back(jsonFromValue(item));
        return array;
    }
    case Type::Dictionary: {
        nlohmann::ordered_json object = nlohmann::ordered_json::object();
        for (const auto &[key, item] : *value.dictionary()) {
            nlohmann::ordered_json json = jsonFromValue(item);
            if (!json.is_null()) object[key] = std::move(json);
        }
        return object;
    }
    case Type::Object:
        if (auto serializable = value.objectAs<BCSerializableObject>()) return serializable->serializeToDictionary();
        return nullptr;
    }
    return nullptr;
}

bool BCModelUtil::invalid(const std::string &className, const std::string &key) {
    BCLogVerbose(kLogTag, "%@: \"%@\" is not valid.", className, key);
    return false;
}

std::optional<int64_t> BCModelUtil::decodeInteger(platform::KeyedUnarchiver &coder, const std::string &key) {
    auto number = coder.decodeNumberForKey(key);
    if (!number) return std::nullopt;
    if (number->isReal()) {
        double d = *number->doubleValue();
        if (!(d >= -9223372036854775808.0 && d < 9223372036854775808.0) ||
            d != static_cast<double>(static_cast<int64_t>(d))) {
            coder.failWithReason("The value of \"" + key + "\" is not an integer.");
            return std::nullopt;
        }
    }
    return number->int64Value();
}

std::optional<std::vector<std::string>> BCModelUtil::decodeStringArray(platform::KeyedUnarchiver &coder,
                                                                       const std::string &key) {
    auto array = coder.decodeArrayForKey(key);
    if (!array) return std::nullopt;
    std::vector<std::string> strings;
    for (const auto &item : *array) {
        if (!item.string()) {
            coder.failWithReason("The value of \"" + key + "\" is not an array of strings.");
            return std::nullopt;
        }
        strings.push_back(*item.string());
    }
    return strings;
}

platform::Value BCModelUtil::stringArrayValue(const std::optional<std::vector<std::string>> &strings) {
    if (!strings) return {};
    platform::Array array;
    for (const auto &s : *strings) array.emplace_back(s);
    return array;
}

namespace {

template <typename T>
void registerDecoder(const std::string &className) {
    platform::KeyedUnarchiver::registerClass(className, [](platform::KeyedUnarchiver &coder) -> platform::ObjectPtr {
        auto object = std::make_shared<T>();
        object->initWithCoder(coder);
        if (coder.error()) return nullptr;
        return object;
    });
}

// Registered as the library loads, so that any archive read later finds
// the classes; registerArchivableClasses() makes sure of it explicitly.
[[maybe_unused]] const bool kRegistered = (BCModelUtil::registerArchivableClasses(), true);

}  // namespace

void BCModelUtil::registerArchivableClasses() {
    static std::once_flag once;
    std::call_once(once, [] {
        registerDecoder<BCWrapperSdk>("BCWrapperSdk");
        registerDecoder<BCDevice>("BCDevice");
        registerDecoder<BCCustomProperties>("BCCustomProperties");
        registerDecoder<BCAbstractLog>("BCAbstractLog");
        registerDecoder<BCLogWithProperties>("BCLogWithProperties");
        registerDecoder<BCStartServiceLog>("BCStartServiceLog");
        registerDecoder<BCCustomPropertiesLog>("BCCustomPropertiesLog");
        registerDecoder<BCCommonSchemaLog>("BCCommonSchemaLog");
        registerDecoder<BCCSExtensions>("BCCSExtensions");
        registerDecoder<BCMetadataExtension>("BCMetadataExtension");
        registerDecoder<BCProtocolExtension>("BCProtocolExtension");
        registerDecoder<BCUserExtension>("BCUserExtension");
        registerDecoder<BCDeviceExtension>("BCDeviceExtension");
        registerDecoder<BCOSExtension>("BCOSExtension");
        registerDecoder<BCAppExtension>("BCAppExtension");
        registerDecoder<BCNetExtension>("BCNetExtension");
        registerDecoder<BCSDKExtension>("BCSDKExtension");
        registerDecoder<BCLocExtension>("BCLocExtension");
        registerDecoder<BCHistoryInfo>("BCHistoryInfo");
        registerDecoder<BCSessionHistoryInfo>("BCSessionHistoryInfo");
        registerDecoder<BCUserIdHistoryInfo>("BCUserIdHistoryInfo");
        registerDecoder<BCDeviceHistoryInfo>("BCDeviceHistoryInfo");
    });
}
