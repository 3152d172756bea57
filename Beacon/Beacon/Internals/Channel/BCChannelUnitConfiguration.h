#pragma once
// How one channel unit batches its logs: its group id, the storage priority
// of its group, how long a log may wait before a send, how many logs go in
// one batch and how many batches may be in flight at once.
#include <cstdint>
#include <string>

class BCChannelUnitConfiguration {
public:
    BCChannelUnitConfiguration(std::string groupId, long priority, unsigned long flushInterval,
                               unsigned long batchSizeLimit, unsigned long pendingBatchesLimit);
    // Priority 1, 3 seconds, 50 logs, 3 batches.
    static BCChannelUnitConfiguration defaultConfigurationWithGroupId(std::string groupId);

    const std::string &groupId() const { return groupId_; }
    long priority() const { return priority_; }
    // Seconds.
    unsigned long flushInterval() const { return flushInterval_; }
    unsigned long batchSizeLimit() const { return batchSizeLimit_; }
    unsigned long pendingBatchesLimit() const { return pendingBatchesLimit_; }

private:
    std::string groupId_;
    long priority_;
    unsigned long flushInterval_;
    unsigned long batchSizeLimit_;
    unsigned long pendingBatchesLimit_;
};
