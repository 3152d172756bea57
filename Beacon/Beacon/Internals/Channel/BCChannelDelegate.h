#pragma once
// What a channel group or unit tells the objects that watch it. Every
// callback is optional: an empty member means the delegate does not respond
// to it and is not called. Members are set before the delegate is added and
// never reassigned afterwards, since the channels read them from other
// threads without a lock.
//
// Threads: the prepare callbacks run on the thread that enqueues the log;
// everything else runs on the channel group's serial queue (the group-added
// callback on the thread that adds the unit).
#include <functional>
#include <memory>
#include <string>

#include "BCFlags.h"
#include "platform/foundation/Error.h"

class BCAbstractLog;
class BCChannelProtocol;
class BCChannelGroupProtocol;
class BCChannelUnitProtocol;

class BCChannelDelegate {
public:
    using Unit = std::shared_ptr<BCChannelUnitProtocol>;
    using Log = std::shared_ptr<BCAbstractLog>;

    virtual ~BCChannelDelegate() = default;

    // channelGroup:didAddChannelUnit:
    std::function<void(const std::shared_ptr<BCChannelGroupProtocol> &group, const Unit &unit)>
        channelGroupDidAddChannelUnit;
    // channel:didSetEnabled:andDeleteDataOnDisabled: (channel: a group or a unit)
    std::function<void(const std::shared_ptr<BCChannelProtocol> &channel, bool enabled, bool deleteData)>
        channelDidSetEnabled;
    // channel:prepareLog: — before any channel:didPrepareLog:...
    std::function<void(const Unit &unit, const Log &log)> channelPrepareLog;
    // channel:didPrepareLog:internalId:flags:
    std::function<void(const Unit &unit, const Log &log, const std::string &internalId, uint32_t flags)>
        channelDidPrepareLog;
    // Whether the log must not be stored by this unit; any YES filters it.
    std::function<bool(const Unit &unit, const Log &log)> channelShouldFilterLog;
    // channel:didCompleteEnqueueingLog:internalId: — once for every log that
    // passed validation, whether it was stored, filtered, discarded or
    // refused (too many saves waiting; told on the enqueueing thread).
    std::function<void(const Unit &unit, const Log &log, const std::string &internalId)>
        channelDidCompleteEnqueueingLog;
    // channel:willSendLog:
    std::function<void(const Unit &unit, const Log &log)> channelWillSendLog;
    // channel:didSucceedSendingLog:
    std::function<void(const Unit &unit, const Log &log)> channelDidSucceedSendingLog;
    // channel:didFailSendingLog:withError:
    std::function<void(const Unit &unit, const Log &log, const platform::ErrorPtr &error)> channelDidFailSendingLog;
};
