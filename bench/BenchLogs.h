#pragma once
// Logs and batches for the benchmarks: start-service logs with the tests'
// full device, about 2 KiB each once archived.
#include <memory>
#include <string>
#include <vector>

#include "Beacon/Internals/Model/BCModelTestSupport.h"
#include "BCLogContainer.h"
#include "BCStartServiceLog.h"
#include "platform/foundation/Date.h"

namespace benchlogs {

inline std::shared_ptr<BCStartServiceLog> log(int index, size_t padding = 600) {
    auto log = std::make_shared<BCStartServiceLog>();
    log->setTimestamp(platform::Date::now());
    log->setSid("6A2B1F4E-7C1D-4E2A-9F3B-1D2C3B4A5F60");
    log->setDevice(modeltest::validDevice());
    log->setServices(std::vector<std::string>{"Crashes" + std::to_string(index), std::string(padding, 's')});
    return log;
}

inline BCLogContainer container(int count) {
    std::vector<std::shared_ptr<BCLog>> logs;
    for (int i = 0; i < count; ++i) logs.push_back(log(i));
    return BCLogContainer("bench-batch", logs);
}

}  // namespace benchlogs
