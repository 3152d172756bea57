#include "BCUserIdHistoryInfo.h"

void BCUserIdHistoryInfo::encodeWithCoder(platform::KeyedArchiver &coder) const {
    BCHistoryInfo::encodeWithCoder(coder);
    coder.encodeObject(userId, "userIdKey");
}

void BCUserIdHistoryInfo::initWithCoder(platform::KeyedUnarchiver &coder) {
    BCHistoryInfo::initWithCoder(coder);
    userId = coder.decodeStringForKey("userIdKey");
}
