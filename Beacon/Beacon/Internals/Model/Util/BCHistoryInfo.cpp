#include "BCHistoryInfo.h"

void BCHistoryInfo::encodeWithCoder(platform::KeyedArchiver &coder) const {
    coder.encodeObject(timestamp, "timestampKey");
}

void BCHistoryInfo::initWithCoder(platform::KeyedUnarchiver &coder) {
    auto date = coder.decodeDateForKey("timestampKey");
    if (!date) {
        // A history lookup by date needs every entry's date.
        if (!coder.error()) coder.failWithReason("A history entry has no \"timestampKey\" date.");
        return;
    }
    timestamp = *date;
}
