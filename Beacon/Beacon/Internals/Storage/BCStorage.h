#pragma once
// The log store: a persistent queue of logs per group, handed out in batches
// and deleted once delivered.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "BCLog.h"

using BCLoadDataCompletionHandler =
    std::function<void(const std::vector<std::shared_ptr<BCLog>> &logArray, const std::optional<std::string> &batchId)>;

// What a save did.
enum class BCStorageSaveResult {
    Saved,
    // Not now (busy, locked, full, an I/O error): a later save may succeed.
    Failed,
    // Never: the log can't be archived or is larger than the whole store.
    Unstorable,
};

// One log to save with others: its group and flags, as saveLog takes them.
struct BCStorageSaveRequest {
    std::shared_ptr<BCLog> log;
    std::string groupId;
    uint64_t flags = 0;
};

class BCStorage {
public:
    virtual ~BCStorage() = default;
    // The low byte of the flags is the row's priority. True when stored.
    virtual bool saveLog(const std::shared_ptr<BCLog> &log, const std::string &groupId, uint64_t flags) = 0;
    // The same, telling a save that may succeed later from one that never
    // will.
    virtual BCStorageSaveResult saveLogWithResult(const std::shared_ptr<BCLog> &log, const std::string &groupId,
                                                  uint64_t flags) {
        return saveLog(log, groupId, flags) ? BCStorageSaveResult::Saved : BCStorageSaveResult::Failed;
    }
    // Saves the logs together where the store can (one transaction), each
    // with the outcome it would have alone; the results are in the order of
    // the requests.
    virtual std::vector<BCStorageSaveResult> saveLogsWithResults(const std::vector<BCStorageSaveRequest> &requests) {
        std::vector<BCStorageSaveResult> results;
        results.reserve(requests.size());
        for (const auto &request : requests)
            results.push_back(saveLogWithResult(request.log, request.groupId, request.flags));
        return results;
    }
    // Hands out at most `limit` logs that are in no pending batch, highest
    // priority first, oldest first within a priority; calls the handler
    // before returning. True when more logs were waiting.
    virtual bool loadLogsWithGroupId(const std::string &groupId, size_t limit,
                                     const std::optional<std::vector<std::string>> &excludedTargetKeys,
                                     const BCLoadDataCompletionHandler &completionHandler) = 0;
    virtual void deleteLogsWithBatchId(const std::string &batchId, const std::string &groupId) = 0;
    // Lets later loads hand out the logs of a pending batch again (a send
    // that will be retried); the logs stay stored.
    virtual void releaseLogsWithBatchId(const std::string &batchId, const std::string &groupId) = 0;
    // The group's logs, deleted.
    virtual std::vector<std::shared_ptr<BCLog>> deleteLogsWithGroupId(const std::string &groupId) = 0;
    virtual size_t countLogs() = 0;
    virtual void setMaxStorageSize(int64_t sizeInBytes, const std::function<void(bool)> &completionHandler) = 0;
    // A store shared by several running copies of the application lets one
    // of them send at a time. A sender takes the lock before it loads a
    // batch (false: another process sends now, try again later) and gives it
    // back once it has no batch in flight. Each taking is matched by one
    // giving back. A store of one process only always answers true.
    virtual bool acquireSendingLock() { return true; }
    virtual void releaseSendingLock() {}
};
