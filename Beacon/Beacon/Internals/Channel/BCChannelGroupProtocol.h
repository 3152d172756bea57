#pragma once
// The channel group: the units of all services, sharing one store, one
// ingestion and one serial queue.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "BCChannelProtocol.h"

class BCChannelUnitConfiguration;
class BCChannelUnitProtocol;
class BCIngestionProtocol;

class BCChannelGroupProtocol : public BCChannelProtocol {
public:
    // A new unit for the configuration, sending through the group's
    // ingestion; every call makes a new unit.
    virtual std::shared_ptr<BCChannelUnitProtocol> addChannelUnitWithConfiguration(
        const BCChannelUnitConfiguration &configuration) = 0;
    // The same, sending through another ingestion.
    virtual std::shared_ptr<BCChannelUnitProtocol> addChannelUnitWithConfiguration(
        const BCChannelUnitConfiguration &configuration, const std::shared_ptr<BCIngestionProtocol> &ingestion) = 0;

    virtual void setAppSecret(const std::optional<std::string> &appSecret) = 0;
    virtual void setLogUrl(const std::string &logUrl) = 0;
    // The completion handler runs on the group's queue with whether the store
    // could apply the size.
    virtual void setMaxStorageSize(int64_t sizeInBytes, std::function<void(bool)> completionHandler) = 0;
};
