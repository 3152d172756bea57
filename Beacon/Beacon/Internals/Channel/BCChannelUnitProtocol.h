#pragma once
// A channel unit: takes logs of one group id, stores them and sends them in
// batches.
#include <memory>
#include <string>

#include "BCChannelProtocol.h"
#include "BCFlags.h"

class BCAbstractLog;
class BCChannelUnitConfiguration;

class BCChannelUnitProtocol : public BCChannelProtocol {
public:
    virtual std::shared_ptr<const BCChannelUnitConfiguration> configuration() const = 0;

    // Prepares the log on the calling thread and stores it asynchronously;
    // returns at once. The log belongs to the channel afterwards: callers
    // must not change it. Failures reach the caller only through the
    // delegate callbacks.
    virtual void enqueueItem(const std::shared_ptr<BCAbstractLog> &item, uint32_t flags) = 0;

    // Sending stops while any live identifying object holds a pause.
    virtual void pauseWithIdentifyingObject(const std::shared_ptr<const void> &identifyingObject) = 0;
    virtual void resumeWithIdentifyingObject(const std::shared_ptr<const void> &identifyingObject) = 0;
    // Logs of the token's target key are held back until resumed.
    virtual void pauseSendingLogsWithToken(const std::string &token) = 0;
    virtual void resumeSendingLogsWithToken(const std::string &token) = 0;
};
