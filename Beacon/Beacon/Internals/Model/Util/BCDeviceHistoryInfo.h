#pragma once
// The device description that became current at a time.
#include <memory>
#include <string>

#include "BCDevice.h"
#include "BCHistoryInfo.h"

class BCDeviceHistoryInfo : public BCHistoryInfo {
public:
    BCDeviceHistoryInfo() = default;
    BCDeviceHistoryInfo(platform::Date timestamp, std::shared_ptr<BCDevice> device)
        : BCHistoryInfo(timestamp), device(std::move(device)) {}

    std::shared_ptr<BCDevice> device;

    std::string className() const override { return "BCDeviceHistoryInfo"; }
    // The timestamp, then the device under "deviceKey".
    void encodeWithCoder(platform::KeyedArchiver &coder) const override;
    void initWithCoder(platform::KeyedUnarchiver &coder);
};
