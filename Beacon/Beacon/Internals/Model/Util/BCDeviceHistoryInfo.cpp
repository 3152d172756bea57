#include "BCDeviceHistoryInfo.h"

void BCDeviceHistoryInfo::encodeWithCoder(platform::KeyedArchiver &coder) const {
    BCHistoryInfo::encodeWithCoder(coder);
    coder.encodeObject(device, "deviceKey");
}

void BCDeviceHistoryInfo::initWithCoder(platform::KeyedUnarchiver &coder) {
    BCHistoryInfo::initWithCoder(coder);
    device = coder.decodeObjectOfClassForKey<BCDevice>("deviceKey");
}
