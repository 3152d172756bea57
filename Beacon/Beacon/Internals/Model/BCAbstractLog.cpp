#include "BCAbstractLog.h"

#include <cstdlib>

#include "BCCommonSchemaLog.h"
#include "BCDevice.h"
#include "BCModelUtil.h"
#include "BCUserIdContext.h"
#include "BCUtility.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/Text.h"

std::optional<std::set<std::string>> BCAbstractLog::transmissionTargetTokens() const {
    std::lock_guard<std::recursive_mutex> lock(tokensMutex_);
    return transmissionTargetTokens_;
}

void BCAbstractLog::setTransmissionTargetTokens(std::optional<std::set<std::string>> tokens) {
    std::lock_guard<std::recursive_mutex> lock(tokensMutex_);
    transmissionTargetTokens_ = std::move(tokens);
}

void BCAbstractLog::addTransmissionTargetToken(const std::string &token) {
    std::lock_guard<std::recursive_mutex> lock(tokensMutex_);
    if (!transmissionTargetTokens_) transmissionTargetTokens_.emplace();
    transmissionTargetTokens_->insert(token);
}

nlohmann::ordered_json BCAbstractLog::serializeToDictionary() const {
    nlohmann::ordered_json dict = nlohmann::ordered_json::object();
    BCModelUtil::addString(dict, "type", type_);
    if (timestamp_) dict["timestamp"] = BCUtility::dateToISO8601(*timestamp_);
    BCModelUtil::addString(dict, "sid", sid_);
    BCModelUtil::addString(dict, "distributionGroupId", distributionGroupId_);
    BCModelUtil::addString(dict, "userId", userId_);
    if (device_) dict["device"] = device_->serializeToDictionary();
    return dict;
}

bool BCAbstractLog::isValid() const {
    if (!type_) return BCModelUtil::invalid(className(), "type");
    if (!timestamp_) return BCModelUtil::invalid(className(), "timestamp");
    if (!device_ || !device_->isValid()) return BCModelUtil::invalid(className(), "device");
    return true;
}

bool BCAbstractLog::isEqual(const platform::Object &other) const {
    auto log = dynamic_cast<const BCAbstractLog *>(&other);
    return log && BCModelUtil::objectsMatch(tag_, log->tag_) && type_ == log->type_ && timestamp_ == log->timestamp_ &&
           sid_ == log->sid_ && distributionGroupId_ == log->distributionGroupId_ && userId_ == log->userId_ &&
           BCModelUtil::objectsMatch(device_, log->device_);
}

std::optional<std::string> BCAbstractLog::serializeLogWithPrettyPrinting(bool prettyPrint) const {
    if (prettyPrint) return BCUtility::prettyJsonText(serializeToDictionary());
    try {
        // nlohmann never escapes "/", so the text needs no unescaping.
        return serializeToDictionary().dump();
    } catch (const nlohmann::json::exception &) {
        // Text that is not valid UTF-8 cannot be written as JSON.
        return std::nullopt;
    }
}

std::optional<std::vector<std::shared_ptr<BCCommonSchemaLog>>> BCAbstractLog::toCommonSchemaLogsWithFlags(
    uint64_t flags) const {
    auto tokens = transmissionTargetTokens();
    if (!tokens) return std::nullopt;
    std::vector<std::shared_ptr<BCCommonSchemaLog>> logs;
    for (const auto &token : *tokens) {
        if (auto log = toCommonSchemaLogForTargetToken(token, flags)) logs.push_back(std::move(log));
    }
    if (logs.empty()) return std::nullopt;
    return logs;
}

std::shared_ptr<BCCommonSchemaLog> BCAbstractLog::toCommonSchemaLogForTargetToken(const std::string &token,
                                                                                  uint64_t flags) const {
    auto csLog = std::make_shared<BCCommonSchemaLog>();
    csLog->setTransmissionTargetTokens(std::set<std::string>{token});
    csLog->ver = "3.0";
    csLog->setTimestamp(timestamp_);
    csLog->iKey = BCUtility::iKeyFromTargetToken(token);
    csLog->flags = static_cast<int64_t>(flags);

    auto ext = std::make_shared<BCCSExtensions>();
    const auto &device = device_;

    ext->protocolExt = std::make_shared<BCProtocolExtension>();
    if (device) {
        ext->protocolExt->devMake = device->oemName;
        ext->protocolExt->devModel = device->model;
    }

    ext->userExt = std::make_shared<BCUserExtension>();
    ext->userExt->localId = BCUserIdContext::prefixedUserIdFromUserId(userId_);
    if (device && device->locale) ext->userExt->locale = platform::text::replaceAll(*device->locale, "_", "-");

    ext->osExt = std::make_shared<BCOSExtension>();
    if (device) {
        ext->osExt->name = device->osName;
        ext->osExt->ver = combineOsVersion(device->osVersion, device->osBuild);
    }

    ext->appExt = std::make_shared<BCAppExtension>();
    if (device) {
        // Without a namespace there is no application id to give.
        if (device->appNamespace) ext->appExt->appId = platform::format("%@%@%@", "I", ":", *device->appNamespace);
        ext->appExt->ver = device->appVersion;
    }
    auto localizations = platform::Bundle::mainBundle()->preferredLocalizations();
    if (!localizations.empty()) ext->appExt->locale = localizations.front();

    ext->netExt = std::make_shared<BCNetExtension>();
    if (device) ext->netExt->provider = device->carrierName;

    ext->sdkExt = std::make_shared<BCSDKExtension>();
    if (device) ext->sdkExt->libVer = combineSDKLibVer(device->sdkName, device->sdkVersion);

    ext->locExt = std::make_shared<BCLocExtension>();
    if (device && device->timeZoneOffset) ext->locExt->tz = convertTimeZoneOffsetToISO8601(*device->timeZoneOffset);

    ext->deviceExt = std::make_shared<BCDeviceExtension>();
    csLog->ext = ext;
    return csLog;
}

std::optional<std::string> BCAbstractLog::combineOsVersion(const std::optional<std::string> &version,
                                                           const std::optional<std::string> &build) {
    std::optional<std::string> text;
    if (version && !version->empty()) text = platform::format("Version %@", *version);
    if (build && !build->empty()) {
        // Without a version the build stands alone in its parentheses.
        text = text ? platform::format("%@ (Build %@)", *text, *build) : platform::format("(Build %@)", *build);
    }
    return text;
}

std::optional<std::string> BCAbstractLog::combineSDKLibVer(const std::optional<std::string> &name,
                                                           const std::optional<std::string> &version) {
    if (!name || name->empty() || !version || version->empty()) return std::nullopt;
    return platform::format("%@-%@", *name, *version);
}

std::string BCAbstractLog::convertTimeZoneOffsetToISO8601(int64_t offsetMinutes) {
    // The sign comes from the offset itself: dividing first would lose it
    // for offsets between -59 and -1 minutes.
    const std::string sign = offsetMinutes < 0 ? "-" : "+";
    const uint64_t magnitude =
        offsetMinutes < 0 ? 0 - static_cast<uint64_t>(offsetMinutes) : static_cast<uint64_t>(offsetMinutes);
    return platform::format("%@%02llu:%02llu", sign, static_cast<unsigned long long>(magnitude / 60),
                            static_cast<unsigned long long>(magnitude % 60));
}

void BCAbstractLog::encodeWithCoder(platform::KeyedArchiver &coder) const {
    coder.encodeString(type_, "type");
    coder.encodeObject(timestamp_ ? platform::Value(*timestamp_) : platform::Value(), "timestamp");
    coder.encodeString(sid_, "sid");
    coder.encodeString(distributionGroupId_, "distributionGroupId");
    coder.encodeString(userId_, "userId");
    coder.encodeObject(device_, "device");
}

void BCAbstractLog::initWithCoder(platform::KeyedUnarchiver &coder) {
    type_ = coder.decodeStringForKey("type");
    timestamp_ = coder.decodeDateForKey("timestamp");
    sid_ = coder.decodeStringForKey("sid");
    distributionGroupId_ = coder.decodeStringForKey("distributionGroupId");
    userId_ = coder.decodeStringForKey("userId");
    device_ = coder.decodeObjectOfClassForKey<BCDevice>("device");
}
