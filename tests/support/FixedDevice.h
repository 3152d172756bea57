#pragma once
// One fixed, valid device for logs converted outside a running SDK (the fuzz
// targets, the benchmarks), as the crash service would pass the device of a
// crash's time.
#include <memory>

#include "BCDevice.h"

namespace testsupport {

inline std::shared_ptr<BCDevice> fixedDevice() {
    static const auto device = [] {
        auto d = std::make_shared<BCDevice>();
        d->sdkName = "beacon.linux";
        d->sdkVersion = "1.0.0";
        d->osName = "Linux";
        d->osVersion = "6.1";
        d->locale = "en_US";
        d->timeZoneOffset = 0;
        d->appVersion = "1";
        d->appBuild = "1";
        return d;
    }();
    return device;
}

}  // namespace testsupport
