#pragma once
// The common-schema channel delegate. For each unit added to the group it
// adds a mirror unit ("<group id>/EventCollector") that sends through the
// Event Collector endpoint; an ordinary log that carries transmission target
// tokens is converted into common-schema logs, one per target, enqueued on
// the mirror with the same flags; every common-schema log gets the epoch and
// sequence number of its instrumentation key and the install id.
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "BCChannelDelegate.h"
#include "platform/foundation/UUID.h"

class BCCSEpochAndSeq;
class BCEventCollectorIngestion;
class BCHttpClientProtocol;

class BCEventCollectorChannelDelegate : public BCChannelDelegate,
                                        public std::enable_shared_from_this<BCEventCollectorChannelDelegate> {
public:
    static constexpr const char *kGroupIdSuffix = "/EventCollector";

    // baseUrl nothing: the default Event Collector endpoint.
    static std::shared_ptr<BCEventCollectorChannelDelegate> make(std::shared_ptr<BCHttpClientProtocol> httpClient,
                                                                 const platform::UUID &installId,
                                                                 const std::optional<std::string> &baseUrl);

    void setLogUrl(const std::string &logUrl);
    // Holds back, or lets go, the common-schema logs of the token's target on
    // every mirror unit.
    void pauseSendingLogsWithToken(const std::string &token);
    void resumeSendingLogsWithToken(const std::string &token);

    const std::shared_ptr<BCEventCollectorIngestion> &ingestion() const { return ingestion_; }
    // The mirror of a unit, if one was added.
    std::shared_ptr<BCChannelUnitProtocol> mirrorUnitFor(const Unit &unit) const;
    static bool isEventCollectorUnit(const Unit &unit);

private:
    BCEventCollectorChannelDelegate(std::shared_ptr<BCEventCollectorIngestion> ingestion,
                                    const platform::UUID &installId);
    void installCallbacks();
    void addMirror(const std::shared_ptr<BCChannelGroupProtocol> &group, const Unit &unit);
    void stampEpochAndSeq(const Log &log);
    void convertToCommonSchema(const Unit &unit, const Log &log, uint32_t flags);
    std::vector<Unit> mirrors() const;

    const std::shared_ptr<BCEventCollectorIngestion> ingestion_;
    const platform::UUID installId_;
    mutable std::mutex mutex_;
    std::map<std::string, std::shared_ptr<BCCSEpochAndSeq>> epochsAndSeqsByIKey_;
    // Source unit -> its mirror.
    std::map<const BCChannelUnitProtocol *, Unit> mirrorUnits_;
};
