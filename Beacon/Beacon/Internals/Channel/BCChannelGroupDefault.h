#pragma once
// The channel group: one log store, one Beacon ingestion and one serial
// queue ("io.beacon.sdk.ChannelGroupQueue") shared by the units of every
// service. It forwards every delegate call of its units to its own
// delegates.
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "BCChannelDelegateList.h"
#include "BCChannelGroupProtocol.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/UUID.h"

class BCChannelUnitDefault;
class BCHttpClientProtocol;
class BCBeaconIngestion;
class BCStorage;

class BCChannelGroupDefault : public BCChannelGroupProtocol,
                              public std::enable_shared_from_this<BCChannelGroupDefault> {
public:
    static constexpr const char *kLogsDispatchQueueLabel = "io.beacon.sdk.ChannelGroupQueue";

    // A group with the log store and a Beacon ingestion at the log URL.
    static std::shared_ptr<BCChannelGroupDefault> make(const std::shared_ptr<BCHttpClientProtocol> &httpClient,
                                                       const platform::UUID &installId, const std::string &logUrl);
    // A group over a given store and ingestion (tests).
    static std::shared_ptr<BCChannelGroupDefault> make(std::shared_ptr<BCIngestionProtocol> ingestion,
                                                       std::shared_ptr<BCStorage> storage);
    ~BCChannelGroupDefault() override;

    void addDelegate(const std::shared_ptr<BCChannelDelegate> &delegate) override;
    void removeDelegate(const std::shared_ptr<BCChannelDelegate> &delegate) override;
    // One block on the queue: the ingestion's flag, every unit's state, then
    // the delegates; a flush never sees the ingestion change in between.
    void setEnabledAndDeleteDataOnDisabled(bool enabled, bool deleteData) override;

    std::shared_ptr<BCChannelUnitProtocol> addChannelUnitWithConfiguration(
        const BCChannelUnitConfiguration &configuration) override;
    std::shared_ptr<BCChannelUnitProtocol> addChannelUnitWithConfiguration(
        const BCChannelUnitConfiguration &configuration,
        const std::shared_ptr<BCIngestionProtocol> &ingestion) override;

    void setAppSecret(const std::optional<std::string> &appSecret) override;
    void setLogUrl(const std::string &logUrl) override;
    void setMaxStorageSize(int64_t sizeInBytes, std::function<void(bool)> completionHandler) override;

    const std::shared_ptr<platform::dispatch::Queue> &logsDispatchQueue() const { return logsDispatchQueue_; }
    const std::shared_ptr<BCStorage> &storage() const { return storage_; }
    const std::shared_ptr<BCIngestionProtocol> &ingestion() const { return ingestion_; }
    std::vector<std::shared_ptr<BCChannelUnitDefault>> channelUnits() const;

private:
    BCChannelGroupDefault(std::shared_ptr<BCIngestionProtocol> ingestion, std::shared_ptr<BCStorage> storage);
    void forwardUnitCallbacks();

    const std::shared_ptr<BCIngestionProtocol> ingestion_;
    const std::shared_ptr<BCStorage> storage_;
    const std::shared_ptr<platform::dispatch::Queue> logsDispatchQueue_;
    // Registered with every unit; hands each call on to the group's delegates.
    const std::shared_ptr<BCChannelDelegate> forwarder_;
    BCChannelDelegateList delegates_;

    mutable std::recursive_mutex mutex_;
    std::vector<std::shared_ptr<BCChannelUnitDefault>> channelUnits_;
    // The state a new unit starts in (changed on the queue).
    bool enabled_ = true;
    bool discarding_ = false;
};
