#pragma once
// The base of every telemetry record: the fields all logs share, their JSON
// form, validity, equality, the transmission target tokens and the
// conversion into common-schema logs.
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "BCLog.h"
#include "BCLogConversion.h"
#include "BCSerializableObject.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/KeyedUnarchiver.h"

class BCDevice;

class BCAbstractLog : public BCSerializableObject, public BCLog, public BCLogConversion {
public:
    BCAbstractLog() = default;

    std::string className() const override { return "BCAbstractLog"; }

    std::optional<std::string> type() const override { return type_; }
    void setType(std::optional<std::string> type) override { type_ = std::move(type); }
    std::optional<platform::Date> timestamp() const override { return timestamp_; }
    void setTimestamp(std::optional<platform::Date> timestamp) override { timestamp_ = timestamp; }
    std::optional<std::string> sid() const override { return sid_; }
    void setSid(std::optional<std::string> sid) override { sid_ = std::move(sid); }
    std::optional<std::string> distributionGroupId() const override { return distributionGroupId_; }
    void setDistributionGroupId(std::optional<std::string> id) override { distributionGroupId_ = std::move(id); }
    std::optional<std::string> userId() const override { return userId_; }
    void setUserId(std::optional<std::string> userId) override { userId_ = std::move(userId); }
    std::shared_ptr<BCDevice> device() const override { return device_; }
    void setDevice(std::shared_ptr<BCDevice> device) override { device_ = std::move(device); }
    std::shared_ptr<platform::Object> tag() const override { return tag_; }
    void setTag(std::shared_ptr<platform::Object> tag) override { tag_ = std::move(tag); }

    std::optional<std::set<std::string>> transmissionTargetTokens() const override;
    void setTransmissionTargetTokens(std::optional<std::set<std::string>> tokens) override;
    void addTransmissionTargetToken(const std::string &token) override;

    // "type", "timestamp", "sid", "distributionGroupId", "userId", "device",
    // each only when present.
    nlohmann::ordered_json serializeToDictionary() const override;
    // type, timestamp and a valid device, tested in that order.
    bool isValid() const override;
    // Another log whose tag, type, timestamp, sid, distribution group, user
    // id and device match; the target tokens are not compared.
    bool isEqual(const platform::Object &other) const override;
    void encodeWithCoder(platform::KeyedArchiver &coder) const override;
    void initWithCoder(platform::KeyedUnarchiver &coder);

    // The JSON text of serializeToDictionary, pretty-printed or compact,
    // with plain slashes; nothing when it cannot be written.
    std::optional<std::string> serializeLogWithPrettyPrinting(bool prettyPrint) const;

    std::optional<std::vector<std::shared_ptr<BCCommonSchemaLog>>> toCommonSchemaLogsWithFlags(
        uint64_t flags) const override;
    std::shared_ptr<BCCommonSchemaLog> toCommonSchemaLogForTargetToken(const std::string &token, uint64_t flags) const;

    // "Version <version>", then " (Build <build>)" when there is a build;
    // nothing when neither is there.
    static std::optional<std::string> combineOsVersion(const std::optional<std::string> &version,
                                                       const std::optional<std::string> &build);
    // "<name>-<version>" when both are present and not empty.
    static std::optional<std::string> combineSDKLibVer(const std::optional<std::string> &name,
                                                       const std::optional<std::string> &version);
    // "+HH:MM" / "-HH:MM" for an offset in minutes; the sign is the
    // offset's own, also for offsets of less than an hour.
    static std::string convertTimeZoneOffsetToISO8601(int64_t offsetMinutes);

private:
    std::optional<std::string> type_;
    std::optional<platform::Date> timestamp_;
    std::optional<std::string> sid_;
    std::optional<std::string> distributionGroupId_;
    std::optional<std::string> userId_;
    std::shared_ptr<BCDevice> device_;
    std::shared_ptr<platform::Object> tag_;

    mutable std::recursive_mutex tokensMutex_;
    std::optional<std::set<std::string>> transmissionTargetTokens_;
};
