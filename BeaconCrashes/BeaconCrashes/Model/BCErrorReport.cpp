#include "BCErrorReport.h"

#include <algorithm>

#include "BCDevice.h"

BCErrorReport::BCErrorReport(std::optional<std::string> errorId, std::optional<std::string> reporterKey,
                             std::optional<std::string> signal, std::optional<std::string> exceptionName,
                             std::optional<std::string> exceptionReason, std::optional<platform::Date> appStartTime,
                             std::optional<platform::Date> appErrorTime, std::shared_ptr<BCDevice> device,
                             uint64_t appProcessIdentifier)
    : incidentIdentifier_(std::move(errorId)), reporterKey_(std::move(reporterKey)), signal_(std::move(signal)),
      exceptionName_(std::move(exceptionName)), exceptionReason_(std::move(exceptionReason)),
      appStartTime_(appStartTime), appErrorTime_(appErrorTime), device_(std::move(device)),
      appProcessIdentifier_(appProcessIdentifier) {}

std::optional<std::string> BCErrorReport::signal() const {
    std::lock_guard<std::mutex> lock(signalMutex_);
    return signal_;
}

void BCErrorReport::setSignal(std::optional<std::string> signal) {
    std::lock_guard<std::mutex> lock(signalMutex_);
    signal_ = std::move(signal);
}

bool BCErrorReport::isAppKill() const {
    auto name = signal();
    if (!name) return false;
    std::string upper = *name;
    // ASCII only, as the signal names are.
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; });
    return upper == "SIGKILL";
}
