#pragma once
// The log store "Logs.sqlite": one table "logs" (id, groupId, the archived
// log as base64 text, the encrypted target token and target key of
// common-schema logs, the priority), an index on the priority, batches kept
// in memory while they are in flight, and purging of the oldest rows of equal
// or lower priority when the file is full. Used only from the channel
// group's serial queue.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "BCDBStorage.h"
#include "BCEncrypter.h"
#include "BCStorage.h"

class BCLogDBStorage : public BCDBStorage, public BCStorage {
public:
    static constexpr const char *kDBFileName = "Logs.sqlite";
    static constexpr unsigned long kSchemaVersion = 5;
    static constexpr const char *kTableName = "logs";
    static constexpr const char *kIdColumnName = "id";
    static constexpr const char *kGroupIdColumnName = "groupId";
    static constexpr const char *kLogColumnName = "log";
    static constexpr const char *kTargetTokenColumnName = "targetToken";
    static constexpr const char *kTargetKeyColumnName = "targetKey";
    static constexpr const char *kPriorityColumnName = "priority";

    // The store, created or opened in the SDK directory.
    static std::shared_ptr<BCLogDBStorage> make();
    static const BCDBSchema &logsSchema();

    // BCStorage
    bool saveLog(const std::shared_ptr<BCLog> &log, const std::string &groupId, uint64_t flags) override;
    BCStorageSaveResult saveLogWithResult(const std::shared_ptr<BCLog> &log, const std::string &groupId,
                                          uint64_t flags) override;
    // On one connection, in one transaction; each row keeps its own verdict
    // (the purge of older rows when full, "too large" as Unstorable).
    std::vector<BCStorageSaveResult> saveLogsWithResults(const std::vector<BCStorageSaveRequest> &requests) override;
    bool loadLogsWithGroupId(const std::string &groupId, size_t limit,
                             const std::optional<std::vector<std::string>> &excludedTargetKeys,
                             const BCLoadDataCompletionHandler &completionHandler) override;
    void deleteLogsWithBatchId(const std::string &batchId, const std::string &groupId) override;
    void releaseLogsWithBatchId(const std::string &batchId, const std::string &groupId) override;
    std::vector<std::shared_ptr<BCLog>> deleteLogsWithGroupId(const std::string &groupId) override;
    size_t countLogs() override;
    void setMaxStorageSize(int64_t sizeInBytes, const std::function<void(bool)> &completionHandler) override {
        BCDBStorage::setMaxStorageSize(sizeInBytes, completionHandler);
    }
    // The sending lock is an flock on "Logs.sqlite.lock" (0600) beside the
    // file, held by the process while one of its senders holds it (stores of
    // one process share it). A lock file that cannot be used lets the sender
    // go on: sending a log twice is better than never. That is said once
    // per process and lock file, and again after the lock could be used. A
    // lock file with other hard links (a copy of the folder made with hard
    // links shares it) is replaced by a private copy before it is locked.
    bool acquireSendingLock() override;
    void releaseSendingLock() override;

    // "(?,?,?)" for three.
    static std::string buildKeyFormatWithCount(size_t count);
    // Rows with the log column replaced by the log object; undecodable rows
    // are deleted and left out.
    BCDBRows logsWithCondition(const std::string &condition, const BCStorageBindableArray *values);
    std::vector<std::shared_ptr<BCLog>> logsFromDBWithGroupId(const std::string &groupId);
    int deleteLogFromDBWithId(int64_t dbId);
    int deleteLogsFromDBWithColumnValue(const platform::Value &columnValue, const std::string &columnName);
    int deleteLogsFromDBWithColumnValues(const std::vector<platform::Value> &columnValues,
                                         const std::string &columnName);
    static int deleteLogsFromDBWithColumnValues(const std::vector<platform::Value> &columnValues,
                                                const std::string &columnName, sqlite3 *db);
    static int createPriorityIndex(sqlite3 *db);

    void customizeDatabase(sqlite3 *db) override;
    void migrateDatabase(sqlite3 *db, unsigned long fromVersion) override;
    std::string keptItemsName() const override { return "logs"; }

    const std::map<std::string, std::vector<int64_t>> &batches() const { return batches_; }
    size_t idColumnIndex() const { return idColumnIndex_; }
    size_t groupIdColumnIndex() const { return groupIdColumnIndex_; }
    size_t logColumnIndex() const { return logColumnIndex_; }
    size_t targetTokenColumnIndex() const { return targetTokenColumnIndex_; }
    const std::shared_ptr<BCEncrypter> &targetTokenEncrypter() const { return targetTokenEncrypter_; }

    std::string className() const override { return "BCLogDBStorage"; }

    BCLogDBStorage();
    ~BCLogDBStorage() override;

private:
    // A log ready to insert: its statement (one of a few, kept for the
    // process) and bound values.
    struct Row {
        const std::string *query = nullptr;
        BCStorageBindableArray values;
        size_t storedLength = 0;
        uint64_t priority = 0;
    };
    // The insert statements of one batch on one connection, each prepared on
    // first use and finalized with the batch.
    class PreparedInserts {
    public:
        explicit PreparedInserts(sqlite3 *db) : db_(db) {}
        ~PreparedInserts();
        PreparedInserts(const PreparedInserts &) = delete;
        PreparedInserts &operator=(const PreparedInserts &) = delete;
        // nullptr with the code in `result` when it cannot be prepared (tried
        // again for the next row).
        sqlite3_stmt *statementForQuery(const std::string *query, int *result);

    private:
        sqlite3 *db_;
        std::vector<std::pair<const std::string *, sqlite3_stmt *>> statements_;
    };
    // The log's stored text: its keyed archive in base64; nothing when the
    // log cannot be archived.
    static std::optional<std::string> storedTextForLog(const std::shared_ptr<BCLog> &log);
    Row rowForLog(const std::shared_ptr<BCLog> &log, std::string storedText, const std::string &groupId,
                  uint64_t flags) const;
    // Inserts the row, purging rows of equal or lower priority while full;
    // capacity is the store's size in bytes (0: unknown).
    int executeInsertWithPurging(sqlite3 *db, PreparedInserts &statements, const Row &row, int64_t capacity);
    // The batch keys of the group: exactly the group id followed by a batch id.
    std::vector<std::string> batchKeysOfGroup(const std::string &groupId) const;

    std::map<std::string, std::vector<int64_t>> batches_;
    size_t idColumnIndex_ = 0;
    size_t groupIdColumnIndex_ = 1;
    size_t logColumnIndex_ = 2;
    size_t targetTokenColumnIndex_ = 3;
    std::shared_ptr<BCEncrypter> targetTokenEncrypter_;
    // The process's hold on the lock file while sendingLockHolders_ > 0.
    std::shared_ptr<void> sendingLock_;
    size_t sendingLockHolders_ = 0;
};
