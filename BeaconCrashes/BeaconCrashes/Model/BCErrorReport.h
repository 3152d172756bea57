#pragma once
// The public description of one error: a crash of the last run or a handled
// error, as the application's delegate and confirmation handler see it.
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/Date.h"
#include "platform/foundation/Object.h"

class BCDevice;

class BCErrorReport : public platform::Object {
public:
    BCErrorReport(std::optional<std::string> errorId, std::optional<std::string> reporterKey,
                  std::optional<std::string> signal, std::optional<std::string> exceptionName,
                  std::optional<std::string> exceptionReason, std::optional<platform::Date> appStartTime,
                  std::optional<platform::Date> appErrorTime, std::shared_ptr<BCDevice> device,
                  uint64_t appProcessIdentifier);

    std::string className() const override { return "BCErrorReport"; }

    // For a crash the report's UUID, for a handled error the log's error id.
    const std::optional<std::string> &incidentIdentifier() const { return incidentIdentifier_; }
    // The SDK install id (crashes only).
    const std::optional<std::string> &reporterKey() const { return reporterKey_; }
    std::optional<std::string> signal() const;
    void setSignal(std::optional<std::string> signal);
    const std::optional<std::string> &exceptionName() const { return exceptionName_; }
    const std::optional<std::string> &exceptionReason() const { return exceptionReason_; }
    const std::optional<platform::Date> &appStartTime() const { return appStartTime_; }
    const std::optional<platform::Date> &appErrorTime() const { return appErrorTime_; }
    const std::shared_ptr<BCDevice> &device() const { return device_; }
    // 0 for handled errors.
    uint64_t appProcessIdentifier() const { return appProcessIdentifier_; }

    // Whether the signal, in upper case, is "SIGKILL".
    bool isAppKill() const;

private:
    const std::optional<std::string> incidentIdentifier_;
    const std::optional<std::string> reporterKey_;
    mutable std::mutex signalMutex_;
    std::optional<std::string> signal_;
    const std::optional<std::string> exceptionName_;
    const std::optional<std::string> exceptionReason_;
    const std::optional<platform::Date> appStartTime_;
    const std::optional<platform::Date> appErrorTime_;
    const std::shared_ptr<BCDevice> device_;
    const uint64_t appProcessIdentifier_;
};
