#pragma once
// Logs and batches for the benchmarks: start-service logs with a full device,
// about 2 KiB each once archived.
#include <memory>
#include <string>
#include <vector>

#include "BCDevice.h"
#include "BCLogContainer.h"
#include "BCStartServiceLog.h"
#include "platform/foundation/Date.h"

namespace benchlogs {

inline std::shared_ptr<BCStartServiceLog> log(int index, size_t padding = 600) {
    auto device = std::make_shared<BCDevice>();
    device->sdkName = "beacon.macos";
    device->sdkVersion = "4.0.0";
    device->model = "ThinkPad X1";
    device->oemName = "LENOVO";
    device->osName = "Debian GNU/Linux";
    device->osVersion = "12";
    device->osBuild = "6.1.0-18-amd64";
    device->locale = "en_US";
    device->timeZoneOffset = 60;
    device->appVersion = "1.2";
    device->appBuild = "42";
    device->appNamespace = "com.plotwick.Plotwick";
    auto log = std::make_shared<BCStartServiceLog>();
    log->setTimestamp(platform::Date::now());
    log->setSid("6A2B1F4E-7C1D-4E2A-9F3B-1D2C3B4A5F60");
    log->setDevice(device);
    log->setServices(std::vector<std::string>{"Crashes" + std::to_string(index), std::string(padding, 's')});
    return log;
}

inline BCLogContainer container(int count) {
    std::vector<std::shared_ptr<BCLog>> logs;
    for (int i = 0; i < count; ++i) logs.push_back(log(i));
    return BCLogContainer("bench-batch", logs);
}

}  // namespace benchlogs
