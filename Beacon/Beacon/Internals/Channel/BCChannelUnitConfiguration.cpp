#include "BCChannelUnitConfiguration.h"

namespace {

constexpr long kDefaultPriority = 1;
constexpr unsigned long kDefaultFlushInterval = 3;
constexpr unsigned long kDefaultBatchSizeLimit = 50;
constexpr unsigned long kDefaultPendingBatchesLimit = 3;

}  // namespace

BCChannelUnitConfiguration::BCChannelUnitConfiguration(std::string groupId, long priority, unsigned long flushInterval,
                                                       unsigned long batchSizeLimit, unsigned long pendingBatchesLimit)
    : groupId_(std::move(groupId)), priority_(priority), flushInterval_(flushInterval), batchSizeLimit_(batchSizeLimit),
      pendingBatchesLimit_(pendingBatchesLimit) {}

BCChannelUnitConfiguration BCChannelUnitConfiguration::defaultConfigurationWithGroupId(std::string groupId) {
    return BCChannelUnitConfiguration(std::move(groupId), kDefaultPriority, kDefaultFlushInterval,
                                      kDefaultBatchSizeLimit, kDefaultPendingBatchesLimit);
}
