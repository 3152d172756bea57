#pragma once
// One batch of logs with the batch id the log store gave it, and the batch
// body {"logs":[...]} that goes to the ingestion service.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "BCLog.h"
#include "platform/foundation/Object.h"

class BCLogContainer : public platform::Object {
public:
    BCLogContainer() = default;
    BCLogContainer(std::optional<std::string> batchId, std::vector<std::shared_ptr<BCLog>> logs);

    const std::optional<std::string> &batchId() const { return batchId_; }
    void setBatchId(std::optional<std::string> batchId) { batchId_ = std::move(batchId); }
    const std::vector<std::shared_ptr<BCLog>> &logs() const { return logs_; }
    void setLogs(std::vector<std::shared_ptr<BCLog>> logs) { logs_ = std::move(logs); }

    // The body without pretty printing.
    std::optional<std::string> serializeLog() const;
    // The body; absent when it cannot be written (logged). Text that is not
    // valid UTF-8 is written with replacement characters.
    std::optional<std::string> serializeLogWithPrettyPrinting(bool prettyPrint) const;
    // At least one log, and every log valid.
    bool isValid() const;

    std::string className() const override { return "BCLogContainer"; }

private:
    std::optional<std::string> batchId_;
    std::vector<std::shared_ptr<BCLog>> logs_;
};
