#pragma once
// A channel unit: takes logs of one group id, stores them and sends them in
// batches.
#include <functional>
#include <memory>
#include <string>

#include "BCChannelProtocol.h"
#include "BCFlags.h"

class BCAbstractLog;
class BCChannelUnitConfiguration;

// What became of a log handed to enqueueItem with a completion.
enum class BCEnqueueResult {
    // The store holds it: it will be sent, by this launch or a later one.
    Saved,
    // The store could not save it now (locked, full, an I/O error); the same
    // log may be stored later.
    Failed,
    // The unit did not take it now (it has no room to take more); the same
    // log may be enqueued later.
    Refused,
    // It can never be stored (invalid, too large for the store, not
    // archivable): enqueueing it again fails again.
    Unstorable,
    // Not stored on purpose: a delegate filtered it out, or the unit is
    // disabled and discards new logs.
    Discarded,
};
using BCEnqueueCompletion = std::function<void(BCEnqueueResult result)>;

class BCChannelUnitProtocol : public BCChannelProtocol {
public:
    virtual std::shared_ptr<const BCChannelUnitConfiguration> configuration() const = 0;

    // Prepares the log on the calling thread and stores it asynchronously;
    // returns at once. The log belongs to the channel afterwards: callers
    // must not change it. Failures reach the caller only through the
    // delegate callbacks (or the completion of the overload below).
    virtual void enqueueItem(const std::shared_ptr<BCAbstractLog> &item, uint32_t flags) = 0;
    // The same, and tells the completion what became of the log: called
    // exactly once, on the unit's queue, after the store's answer (before
    // the log can be sent); a log refused because too many saves wait is
    // told at once, on the calling thread. Callers that keep a copy of the log elsewhere
    // delete that copy only once the result is Saved.
    virtual void enqueueItem(const std::shared_ptr<BCAbstractLog> &item, uint32_t flags,
                             BCEnqueueCompletion completion) = 0;

    // Sending stops while any live identifying object holds a pause.
    virtual void pauseWithIdentifyingObject(const std::shared_ptr<const void> &identifyingObject) = 0;
    virtual void resumeWithIdentifyingObject(const std::shared_ptr<const void> &identifyingObject) = 0;
    // Logs of the token's target key are held back until resumed.
    virtual void pauseSendingLogsWithToken(const std::string &token) = 0;
    virtual void resumeSendingLogsWithToken(const std::string &token) = 0;
};
