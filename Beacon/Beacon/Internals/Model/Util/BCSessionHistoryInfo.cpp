#include "BCSessionHistoryInfo.h"

void BCSessionHistoryInfo::encodeWithCoder(platform::KeyedArchiver &coder) const {
    BCHistoryInfo::encodeWithCoder(coder);
    coder.encodeObject(sessionId, "sessionIdKey");
}

void BCSessionHistoryInfo::initWithCoder(platform::KeyedUnarchiver &coder) {
    BCHistoryInfo::initWithCoder(coder);
    sessionId = coder.decodeStringForKey("sessionIdKey");
}
