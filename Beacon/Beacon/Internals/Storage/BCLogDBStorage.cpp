// The log store "Logs.sqlite".
#include "BCLogDBStorage.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>

#include "BCCommonSchemaLog.h"
#include "BCLogger.h"
#include "BCUtility.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/Base64.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/UUID.h"

namespace {

constexpr const char *kLogTag = "Beacon";
// A batch id is a UUID's standard text.
constexpr size_t kBatchIdLength = 36;
// Below this many logs a batch is archived on the saving thread alone: waking
// workers would cost more than they take over.
constexpr size_t kMinLogsArchivedSideBySide = 8;

std::string join(const std::vector<platform::Value> &values, const std::string &separator) {
    std::string text;
    for (size_t i = 0; i < values.size(); ++i) text += (i ? separator : "") + values[i].description();
    return text;
}

// The process's open sending-lock file of one store path. flock locks of two
// open descriptions of a file exclude each other even inside one process, so
// all stores of the process share this one; closing it frees the lock.
class SendingLockFile {
public:
    explicit SendingLockFile(int fd) : fd_(fd) {}
    ~SendingLockFile() { ::close(fd_); }
    SendingLockFile(const SendingLockFile &) = delete;
    SendingLockFile &operator=(const SendingLockFile &) = delete;

private:
    int fd_;
};

// Never destroyed: a store may still be released while the process exits.
std::mutex &sendingLockMutex() {
    static auto *mutex = new std::mutex;
    return *mutex;
}
// By path, with the process that opened it: a child forked without exec
// copies the map, but the lock it shares belongs to its parent.
struct SendingLockEntry {
    std::weak_ptr<SendingLockFile> file;
    pid_t owner = 0;
};
std::map<std::string, SendingLockEntry> &sendingLockFiles() {
    static auto *files = new std::map<std::string, SendingLockEntry>;
    return *files;
}
// The lock files found unusable, with why, since the last time each could
// be used: the warning is given once per cause.
std::map<std::string, int> &unusableSendingLocks() {
    static auto *locks = new std::map<std::string, int>;
    return *locks;
}

}  // namespace

const BCDBSchema &BCLogDBStorage::logsSchema() {
    static const auto *schema = new BCDBSchema{{kTableName,
                                                {{kIdColumnName, {"INTEGER", "PRIMARY KEY", "AUTOINCREMENT"}},
                                                 {kGroupIdColumnName, {"TEXT", "NOT NULL"}},
                                                 {kLogColumnName, {"TEXT", "NOT NULL"}},
                                                 {kTargetTokenColumnName, {"TEXT"}},
                                                 {kTargetKeyColumnName, {"TEXT"}},
                                                 {kPriorityColumnName, {"INTEGER"}}}}};
    return *schema;
}

BCLogDBStorage::BCLogDBStorage() : BCDBStorage(logsSchema()) {
    auto indexes = columnsIndexes(logsSchema()).at(kTableName);
    idColumnIndex_ = indexes.at(kIdColumnName);
    groupIdColumnIndex_ = indexes.at(kGroupIdColumnName);
    logColumnIndex_ = indexes.at(kLogColumnName);
    targetTokenColumnIndex_ = indexes.at(kTargetTokenColumnName);
    targetTokenEncrypter_ = std::make_shared<BCEncrypter>();
}

BCLogDBStorage::~BCLogDBStorage() {
    // The file is closed under the lock, so that no other store of the
    // process opens it anew and finds it still locked.
    std::lock_guard<std::mutex> lock(sendingLockMutex());
    sendingLock_.reset();
}

std::shared_ptr<BCLogDBStorage> BCLogDBStorage::make() {
    auto storage = std::make_shared<BCLogDBStorage>();
    storage->initWithVersion(kSchemaVersion, kDBFileName);
    return storage;
}

bool BCLogDBStorage::saveLog(const std::shared_ptr<BCLog> &log, const std::string &groupId, uint64_t flags) {
    return saveLogWithResult(log, groupId, flags) == BCStorageSaveResult::Saved;
}

BCStorageSaveResult BCLogDBStorage::saveLogWithResult(const std::shared_ptr<BCLog> &log, const std::string &groupId,
                                                      uint64_t flags) {
    return saveLogsWithResults({{log, groupId, flags}}).front();
}

std::optional<std::string> BCLogDBStorage::storedTextForLog(const std::shared_ptr<BCLog> &log) {
    auto object = std::dynamic_pointer_cast<platform::Object>(log);
    auto archive = object ? BCUtility::archiveKeyedData(platform::Value(object)) : std::nullopt;
    if (!archive) return std::nullopt;
    return platform::base64::encode(*archive);
}

BCLogDBStorage::Row BCLogDBStorage::rowForLog(const std::shared_ptr<BCLog> &log, std::string storedText,
                                              const std::string &groupId, uint64_t flags) const {
    Row row;
    row.storedLength = storedText.size();
    const int64_t priority = static_cast<int64_t>(flags & 0xFF);
    row.priority = static_cast<uint64_t>(priority);
    if (std::dynamic_pointer_cast<BCCommonSchemaLog>(log)) {
        std::optional<std::string> token;
        if (auto tokens = log->transmissionTargetTokens(); tokens && !tokens->empty()) token = *tokens->begin();
        std::optional<std::string> encryptedToken = token ? targetTokenEncrypter_->encryptString(*token) : std::nullopt;
        static const auto *query = new std::string(
            platform::format("INSERT INTO %@ (%@, %@, %@, %@, %@) VALUES (?, ?, ?, ?, ?)", quoted(kTableName),
                             quoted(kGroupIdColumnName), quoted(kLogColumnName), quoted(kTargetTokenColumnName),
                             quoted(kTargetKeyColumnName), quoted(kPriorityColumnName)));
        row.query = query;
        row.values.addString(groupId);
        row.values.addString(std::move(storedText));
        row.values.addString(encryptedToken);
        row.values.addString(BCUtility::targetKeyFromTargetToken(token));
        row.values.addNumber(priority);
    } else {
        static const auto *query = new std::string(
            platform::format("INSERT INTO %@ (%@, %@, %@) VALUES (?, ?, ?)", quoted(kTableName),
                             quoted(kGroupIdColumnName), quoted(kLogColumnName), quoted(kPriorityColumnName)));
        row.query = query;
        row.values.addString(groupId);
        row.values.addString(std::move(storedText));
        row.values.addNumber(priority);
    }
    return row;
}

std::vector<BCStorageSaveResult> BCLogDBStorage::saveLogsWithResults(
    const std::vector<BCStorageSaveRequest> &requests) {
    std::vector<BCStorageSaveResult> results(requests.size(), BCStorageSaveResult::Unstorable);
    // Archived before the connection opens, so that the write lock is held
    // for the inserts only. A batch's logs are archived side by side on the
    // spare CPUs: in a flood, archiving is most of what a save costs beyond
    // the insert, and the inserts can only run one after the other.
    std::vector<std::optional<std::string>> texts(requests.size());
    const auto archive = [&](size_t i) {
        if (requests[i].log) texts[i] = storedTextForLog(requests[i].log);
    };
    if (requests.size() >= kMinLogsArchivedSideBySide) {
        platform::dispatch::apply(requests.size(), platform::dispatch::globalQueue(), archive);
    } else {
        for (size_t i = 0; i < requests.size(); ++i) archive(i);
    }
    // The rows are made on this thread: a target token's encryption may
    // create the key, once.
    std::vector<std::optional<Row>> rows(requests.size());
    std::vector<size_t> storable;
    for (size_t i = 0; i < requests.size(); ++i) {
        if (!texts[i]) continue;
        rows[i] = rowForLog(requests[i].log, std::move(*texts[i]), requests[i].groupId, requests[i].flags);
        storable.push_back(i);
    }
    if (storable.empty()) return results;

    std::vector<int> codes(requests.size(), SQLITE_OK);
    bool ran = false;
    const int opened = executeQueryUsingBlock([&](sqlite3 *db) {
        ran = true;
        const int64_t capacity = pageSize() * getMaxPageCountInOpenedDatabase(db);
        // Each kind of row's statement is prepared once for the batch.
        PreparedInserts statements(db);
        const auto insert = [&](size_t i) { codes[i] = executeInsertWithPurging(db, statements, *rows[i], capacity); };
        if (storable.size() == 1) {
            insert(storable.front());
            return SQLITE_OK;
        }
        // One transaction for the whole batch: one journal and one sync
        // instead of one per row. IMMEDIATE takes the write lock at once, so
        // that a busy file fails the batch here, after one busy wait.
        const int begun = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
        if (begun != SQLITE_OK) {
            BCLogError(kLogTag, "Could not begin saving %tu logs, result=%d.", storable.size(), begun);
            for (size_t i : storable) codes[i] = begun;
            return begun;
        }
        bool inTransaction = true;
        for (size_t k = 0; k < storable.size(); ++k) {
            insert(storable[k]);
            // Some failures (a full file, an I/O error) roll the whole
            // transaction back, also when the purge then made room for the
            // row: the rows before it are gone and are saved again, and the
            // rest of the batch each on its own.
            if (inTransaction && sqlite3_get_autocommit(db)) {
                inTransaction = false;
                BCLogWarning(kLogTag, "Saving %tu logs together was rolled back; saving them one by one.",
                             storable.size());
                for (size_t j = 0; j < k; ++j) insert(storable[j]);
            }
        }
        if (!inTransaction) return SQLITE_OK;
        const int committed = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
        if (committed != SQLITE_OK) {
            BCLogError(kLogTag, "Could not commit %tu saved logs, result=%d.", storable.size(), committed);
            if (!sqlite3_get_autocommit(db)) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
            for (size_t i : storable) {
                if (codes[i] == SQLITE_OK) codes[i] = committed;
            }
        }
        return committed;
    });
    for (size_t i : storable) {
        const int code = ran ? codes[i] : opened;
        // Larger than the whole store (or than sqlite takes in one value): no
        // purge or retry will ever make room.
        results[i] = code == SQLITE_OK       ? BCStorageSaveResult::Saved
                     : code == SQLITE_TOOBIG ? BCStorageSaveResult::Unstorable
                                             : BCStorageSaveResult::Failed;
    }
    return results;
}

BCLogDBStorage::PreparedInserts::~PreparedInserts() {
    for (const auto &entry : statements_) sqlite3_finalize(entry.second);
}

sqlite3_stmt *BCLogDBStorage::PreparedInserts::statementForQuery(const std::string *query, int *result) {
    for (const auto &entry : statements_) {
        if (entry.first == query) return entry.second;
    }
    sqlite3_stmt *statement = prepareStatement(*query, db_, result);
    if (statement) statements_.emplace_back(query, statement);
    return statement;
}

int BCLogDBStorage::executeInsertWithPurging(sqlite3 *db, PreparedInserts &statements, const Row &row,
                                             int64_t capacity) {
    const size_t storedLength = row.storedLength;
    const uint64_t priority = row.priority;
    const BCStorageBindableArray &values = row.values;
    // An unknown capacity (the file could not be read, e.g. while another
    // connection locks it) is no verdict on the log: the insert answers.
    if (capacity > 0 && static_cast<int64_t>(storedLength) >= capacity) {
        BCLogError(kLogTag,
                   "Log is too large (%tu bytes) to store in database. Current maximum database size is %tu bytes.",
                   storedLength, static_cast<size_t>(capacity > 0 ? capacity : 0));
        return SQLITE_TOOBIG;
    }
    const auto insert = [&] {
        int prepared = SQLITE_OK;
        sqlite3_stmt *statement = statements.statementForQuery(row.query, &prepared);
        return statement ? executePreparedNonSelection(statement, db, &values) : prepared;
    };
    int result = insert();
    bool deletionFailed = false;
    if (result == SQLITE_FULL) {
        BCStorageBindableArray priorityValue;
        priorityValue.addNumber(static_cast<int64_t>(priority));
        int selection = SQLITE_OK;
        auto candidates = executeSelectionQuery(
            platform::format("SELECT %@ FROM %@ WHERE %@ <= ? ORDER BY %@ ASC, %@ ASC", quoted(kIdColumnName),
                             quoted(kTableName), quoted(kPriorityColumnName), quoted(kPriorityColumnName),
                             quoted(kIdColumnName)),
            db, &selection, &priorityValue);
        long deleted = 0;
        for (const auto &row : candidates) {
            if (row.empty()) continue;
            int deletion = deleteLogsFromDBWithColumnValues({row[0]}, kIdColumnName, db);
            if (deletion != SQLITE_OK) {
                result = deletion;
                deletionFailed = true;
                break;
            }
            ++deleted;
            BCLogDebug(kLogTag, "Deleted a log with id %@ to store a new log.", row[0]);
            result = insert();
            if (result != SQLITE_FULL) break;
        }
        if (deleted > 0)
            BCLogDebug(kLogTag,
                       "Log storage was over capacity, %ld oldest log(s) with equal or lower priority deleted.",
                       deleted);
    }
    if (result == SQLITE_OK) {
        BCLogVerbose(kLogTag, "Log is stored with id: '%ld'", static_cast<long>(sqlite3_last_insert_rowid(db)));
    } else if (result == SQLITE_FULL && !deletionFailed) {
        BCLogError(kLogTag, "Storage is full and no logs with equal or lower priority exist; discarding the log.");
    }
    return result;
}

std::vector<std::string> BCLogDBStorage::batchKeysOfGroup(const std::string &groupId) const {
    // Exactly the group id and a batch id: "Crashes" must not claim the
    // batches of "CrashesBuffer".
    std::vector<std::string> keys;
    for (const auto &entry : batches_) {
        const std::string &key = entry.first;
        if (key.size() == groupId.size() + kBatchIdLength && key.compare(0, groupId.size(), groupId) == 0)
            keys.push_back(key);
    }
    return keys;
}

bool BCLogDBStorage::loadLogsWithGroupId(const std::string &groupId, size_t limit,
                                         const std::optional<std::vector<std::string>> &excludedTargetKeys,
                                         const BCLoadDataCompletionHandler &completionHandler) {
    std::vector<int64_t> pendingIds;
    for (const auto &key : batchKeysOfGroup(groupId)) {
        const auto &ids = batches_.at(key);
        pendingIds.insert(pendingIds.end(), ids.begin(), ids.end());
    }
    BCStorageBindableArray values;
    std::string condition = platform::format("%@ = ?", quoted(kGroupIdColumnName));
    values.addString(groupId);
    if (excludedTargetKeys && !excludedTargetKeys->empty()) {
        // Rows without a target key are never excluded (NULL NOT IN (...) is
        // not true).
        condition +=
            platform::format(" AND (%@ IS NULL OR %@ NOT IN %@)", quoted(kTargetKeyColumnName),
                             quoted(kTargetKeyColumnName), buildKeyFormatWithCount(excludedTargetKeys->size()));
        for (const auto &key : *excludedTargetKeys) values.addString(key);
    }
    if (!pendingIds.empty()) {
        condition +=
            platform::format(" AND %@ NOT IN %@", quoted(kIdColumnName), buildKeyFormatWithCount(pendingIds.size()));
        for (int64_t id : pendingIds) values.addNumber(id);
    }
    condition += platform::format(" ORDER BY %@ DESC, %@ ASC", quoted(kPriorityColumnName), quoted(kIdColumnName));
    // One row more than the limit tells whether more are waiting; a limit
    // that SQLite cannot take means none.
    if (limit >= static_cast<size_t>(std::numeric_limits<int64_t>::max())) {
        condition += " LIMIT -1";
    } else {
        condition += platform::format(" LIMIT %lu", static_cast<unsigned long>(limit + 1));
    }

    auto rows = logsWithCondition(condition, &values);
    bool moreDataAvailable = false;
    if (rows.size() > limit) {
        rows.resize(limit);
        moreDataAvailable = true;
    }
    std::vector<std::shared_ptr<BCLog>> logs;
    std::vector<int64_t> ids;
    std::vector<platform::Value> idValues;
    for (const auto &row : rows) {
        ids.push_back(row[idColumnIndex_].int64Value().value_or(0));
        idValues.push_back(row[idColumnIndex_]);
        logs.push_back(std::dynamic_pointer_cast<BCLog>(row[logColumnIndex_].object()));
    }
    std::optional<std::string> batchId;
    if (!logs.empty()) {
        batchId = platform::UUID::random().UUIDString();
        batches_[groupId + *batchId] = ids;
        BCLogVerbose(kLogTag, "Load log(s) with id(s) '%@' as batch Id:%@", join(idValues, "','"), *batchId);
    }
    if (completionHandler) completionHandler(logs, batchId);
    return moreDataAvailable;
}

BCDBRows BCLogDBStorage::logsWithCondition(const std::string &condition, const BCStorageBindableArray *values) {
    std::string query = platform::format("SELECT * FROM %@", quoted(kTableName));
    if (!condition.empty()) query += platform::format(" WHERE %@", condition);
    BCDBRows result;
    for (auto &row : executeSelectionQuery(query, values)) {
        if (row.size() <= std::max(logColumnIndex_, targetTokenColumnIndex_)) continue;
        const platform::Value dbId = row[idColumnIndex_];
        std::shared_ptr<platform::Object> object;
        if (const std::string *text = row[logColumnIndex_].string()) {
            if (auto data = platform::base64::decodeLenient(*text))
                object = BCUtility::unarchiveKeyedData(*data).object();
        }
        auto log = std::dynamic_pointer_cast<BCLog>(object);
        if (!log) {
            BCLogError(kLogTag, "Deserialization failed for log with Id %@", dbId);
            deleteLogFromDBWithId(dbId.int64Value().value_or(0));
            continue;
        }
        if (const std::string *token = row[targetTokenColumnIndex_].string()) {
            if (token->empty()) {
                BCLogError(kLogTag, "Unexpected empty target token for log with Id %@.", dbId);
            } else if (auto decrypted = targetTokenEncrypter_->decryptString(*token)) {
                log->addTransmissionTargetToken(*decrypted);
            } else {
                BCLogError(kLogTag, "Failed to decrypt the target token for log with Id %@.", dbId);
            }
        }
        row[logColumnIndex_] = platform::Value(object);
        result.push_back(std::move(row));
    }
    return result;
}

std::vector<std::shared_ptr<BCLog>> BCLogDBStorage::logsFromDBWithGroupId(const std::string &groupId) {
    BCStorageBindableArray values;
    values.addString(groupId);
    std::vector<std::shared_ptr<BCLog>> logs;
    for (const auto &row : logsWithCondition(platform::format("%@ = ?", quoted(kGroupIdColumnName)), &values))
        logs.push_back(std::dynamic_pointer_cast<BCLog>(row[logColumnIndex_].object()));
    return logs;
}

void BCLogDBStorage::deleteLogsWithBatchId(const std::string &batchId, const std::string &groupId) {
    auto it = batches_.find(groupId + batchId);
    if (it == batches_.end()) return;
    std::vector<platform::Value> ids(it->second.begin(), it->second.end());
    deleteLogsFromDBWithColumnValues(ids, kIdColumnName);
    // Forgotten even when the deletion failed: the rows may go out again,
    // which is better than never.
    batches_.erase(it);
}

void BCLogDBStorage::releaseLogsWithBatchId(const std::string &batchId, const std::string &groupId) {
    batches_.erase(groupId + batchId);
}

std::vector<std::shared_ptr<BCLog>> BCLogDBStorage::deleteLogsWithGroupId(const std::string &groupId) {
    auto logs = logsFromDBWithGroupId(groupId);
    deleteLogsFromDBWithColumnValue(platform::Value(groupId), kGroupIdColumnName);
    for (const auto &key : batchKeysOfGroup(groupId)) batches_.erase(key);
    return logs;
}

bool BCLogDBStorage::acquireSendingLock() {
    if (sendingLockHolders_ > 0 || !dbFilePath()) {
        ++sendingLockHolders_;
        return true;
    }
    const std::string path = *dbFilePath() + ".lock";
    std::lock_guard<std::mutex> lock(sendingLockMutex());
    auto &files = sendingLockFiles();
    const pid_t self = ::getpid();
    std::erase_if(files,
                  [self](const auto &entry) { return entry.second.owner == self && entry.second.file.expired(); });
    std::shared_ptr<SendingLockFile> file;
    if (auto it = files.find(path); it != files.end() && it->second.owner == self) file = it->second.file.lock();
    if (!file) {
        int fd = -1;
        int error = 0;
        // A file there with other hard links is someone else's too: never
        // locked or chmodded; our name is taken back with a copy of our own
        // (set aside when it cannot be copied), once.
        for (int attempt = 0; attempt < 2; ++attempt) {
            fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
            struct stat st {};
            error = 0;
            if (fd < 0) {
                error = errno;
            } else if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
                error = EINVAL;
            } else if (st.st_nlink > 1) {
                error = EMLINK;
                ::close(fd);
                fd = -1;
                if (attempt > 0) break;
                // The lock file holds nothing: a large one is not ours to copy.
                const auto copied = platform::FileManager::takeBackHardLinkedEntry(AT_FDCWD, path, 4096);
                if (copied == platform::FileManager::TakeBack::Failed) {
                    const std::string notCopied = std::strerror(errno);
                    const auto aside =
                        platform::FileManager::setAsideEntry(AT_FDCWD, path, platform::FileManager::kHardLinkSuffix);
                    const std::string why = aside ? std::string() : std::string(std::strerror(errno));
                    BCLogAssert(kLogTag,
                                "The sending lock \"%@\" has other hard links and couldn't be copied (%@), so it is "
                                "not used; %@.",
                                path, notCopied,
                                aside ? "it is moved to \"" + *aside + "\" and made anew"
                                      : "it is left in place (" + why + ")");
                    if (!aside) break;
                } else if (copied == platform::FileManager::TakeBack::TakenBack) {
                    BCLogAssert(kLogTag,
                                "The sending lock \"%@\" had other hard links, so it was someone else's file too; it "
                                "is now a private copy of its own, and the other names keep their file, untouched.",
                                path);
                }
                continue;
            } else {
                ::fchmod(fd, 0600);
                if (::flock(fd, LOCK_EX | LOCK_NB) != 0) error = errno;
            }
            break;
        }
        auto &unusable = unusableSendingLocks();
        if (error == EWOULDBLOCK) {
            ::close(fd);
            unusable.erase(path);
            BCLogDebug(kLogTag, "Another running application sends the stored logs; sending later.");
            return false;
        }
        if (error != 0) {
            if (fd >= 0) ::close(fd);
            if (auto it = unusable.find(path); it == unusable.end() || it->second != error) {
                unusable[path] = error;
                BCLogAssert(kLogTag,
                            "Cannot use the sending lock \"%@\" (%@): sending without it, so another running copy "
                            "of the application may send the same logs again.",
                            path, std::string(std::strerror(error)));
            }
            ++sendingLockHolders_;
            return true;
        }
        unusable.erase(path);
        file = std::make_shared<SendingLockFile>(fd);
        files[path] = {file, self};
        BCLogVerbose(kLogTag, "Took the sending lock %@.", path);
    }
    sendingLock_ = std::move(file);
    ++sendingLockHolders_;
    return true;
}

void BCLogDBStorage::releaseSendingLock() {
    if (sendingLockHolders_ == 0 || --sendingLockHolders_ > 0) return;
    std::lock_guard<std::mutex> lock(sendingLockMutex());
    sendingLock_.reset();
}

size_t BCLogDBStorage::countLogs() { return countEntriesForTable(kTableName, std::nullopt, nullptr); }

std::string BCLogDBStorage::buildKeyFormatWithCount(size_t count) {
    std::string text = "(";
    for (size_t i = 0; i < count; ++i) text += i ? ",?" : "?";
    return text + ")";
}

int BCLogDBStorage::deleteLogFromDBWithId(int64_t dbId) {
    return deleteLogsFromDBWithColumnValue(platform::Value(dbId), kIdColumnName);
}

int BCLogDBStorage::deleteLogsFromDBWithColumnValue(const platform::Value &columnValue, const std::string &columnName) {
    return deleteLogsFromDBWithColumnValues(std::vector<platform::Value>{columnValue}, columnName);
}

int BCLogDBStorage::deleteLogsFromDBWithColumnValues(const std::vector<platform::Value> &columnValues,
                                                     const std::string &columnName) {
    return executeQueryUsingBlock(
        [&](sqlite3 *db) { return deleteLogsFromDBWithColumnValues(columnValues, columnName, db); });
}

int BCLogDBStorage::deleteLogsFromDBWithColumnValues(const std::vector<platform::Value> &columnValues,
                                                     const std::string &columnName, sqlite3 *db) {
    if (columnValues.empty()) return SQLITE_OK;
    // The values are bound, never written into the statement.
    BCStorageBindableArray values;
    for (const auto &value : columnValues) {
        if (const std::string *text = value.string()) {
            values.addString(*text);
        } else {
            values.addNumber(value.int64Value().value_or(0));
        }
    }
    std::string query = platform::format("DELETE FROM %@ WHERE %@ IN %@", quoted(kTableName), quoted(columnName),
                                         buildKeyFormatWithCount(columnValues.size()));
    std::string description =
        platform::format("Deletion of log(s) by %@ with value(s) '%@'", columnName, join(columnValues, "','"));
    int result = executeNonSelectionQuery(query, db, &values);
    if (result == SQLITE_OK) {
        BCLogVerbose(kLogTag, "%@ succeeded.", description);
    } else if ((result & 0xFF) == SQLITE_READONLY) {
        BCLogDebug(kLogTag, "%@ failed.", description);
    } else {
        BCLogError(kLogTag, "%@ failed.", description);
    }
    return result;
}

int BCLogDBStorage::createPriorityIndex(sqlite3 *db) {
    return executeNonSelectionQuery(
        platform::format("CREATE INDEX %@ ON %@ (%@)",
                         quoted(platform::format("ix_%@_%@", kTableName, kPriorityColumnName)), quoted(kTableName),
                         quoted(kPriorityColumnName)),
        db);
}

void BCLogDBStorage::customizeDatabase(sqlite3 *db) { createPriorityIndex(db); }

void BCLogDBStorage::migrateDatabase(sqlite3 *db, unsigned long fromVersion) {
    (void)fromVersion;
    // Logs stored under an older layout are dropped.
    dropTable(kTableName);
    createTablesWithSchema(logsSchema(), db);
    createPriorityIndex(db);
}
