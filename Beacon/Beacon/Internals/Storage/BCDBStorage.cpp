// The SQLite wrapper: one connection per operation, a column schema, a
// version, auto-vacuum and a size bound.
#include "BCDBStorage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "BCLogger.h"
#include "BCUtility.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/Text.h"

namespace {

constexpr const char *kLogTag = "Beacon";

// SQLite takes URI file names only when switched before its first use, so
// this runs at load time, before the main routine; nothing else opens SQLite
// from a static initialiser.
const int kSQLiteConfigurationResult = BCDBStorage::configureSQLite();

std::once_flag &configurationReportOnce() {
    static auto *once = new std::once_flag;
    return *once;
}

std::string errorMessage(sqlite3 *db) { return db ? std::string(sqlite3_errmsg(db)) : std::string("(null)"); }

void closeDatabase(sqlite3 *db) {
    if (db) sqlite3_close(db);
}

// The files SQLite keeps beside a database while it writes.
constexpr const char *kJournalSuffixes[] = {"-journal", "-wal", "-shm"};

// The last failure of each database file that could not be opened, so that a
// store whose every operation fails says so once. Never destroyed: detached
// worker threads may still use a store while the process exits.
struct OpenFailures {
    std::mutex mutex;
    std::map<std::string, int> codes;
};
OpenFailures &openFailures() {
    static auto *failures = new OpenFailures;
    return *failures;
}

// What stands where one of the store's files should be and is not ours
// alone: a symbolic link, or a file with other hard links (someone else's
// file too).
enum class Foreign { None, SymbolicLink, HardLink };

Foreign foreignAt(const std::string &path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return Foreign::None;
    if (S_ISLNK(st.st_mode)) return Foreign::SymbolicLink;
    return S_ISREG(st.st_mode) && st.st_nlink > 1 ? Foreign::HardLink : Foreign::None;
}

// Sets the entry itself aside under a free name (never replacing an entry,
// never following a link, leaving the other names of a file as they are), or
// removes this name when it cannot be; answers what became of it.
std::string moveAside(const std::string &path, const char *suffix) {
    if (auto aside = platform::FileManager::setAsideEntry(AT_FDCWD, path, suffix)) {
        return "moved to \"" + *aside + "\"";
    }
    return ::unlink(path.c_str()) == 0 ? "removed" : "left in place (" + std::string(std::strerror(errno)) + ")";
}

// Sets aside what stands at `path` and is not the store's ("<path>.link" for
// a symbolic link, "<path>.hardlink" for a file with other names that could
// not be copied, for `copyError`, numbered after the first), with a line;
// answers whether there was one. `database`: the path is the store's file,
// which is then made anew.
bool setAsideForeignFile(const std::string &path, bool database, int copyError) {
    const Foreign foreign = foreignAt(path);
    if (foreign == Foreign::None) return false;
    const bool link = foreign == Foreign::SymbolicLink;
    // Moved before the line is logged: its text is built only when shown.
    const std::string aside =
        moveAside(path, link ? platform::FileManager::kLinkSuffix : platform::FileManager::kHardLinkSuffix);
    BCLogAssert(kLogTag, "%@\"%@\" %@ %@ %@%@.", std::string(database ? "The database " : ""), path,
                link ? std::string("is a symbolic link, which is not followed; the link is")
                     : "has other hard links and couldn't be copied (" + std::string(std::strerror(copyError)) +
                           "), so it is not written; it is",
                aside,
                std::string(link ? "(what it points to is left as it is)" : "(its other names are left as they are)"),
                std::string(database ? " and the database is created anew" : ""));
    return true;
}

// The path SQLite is handed: the SDK's folder resolved (its no-follow flag
// refuses a link in any folder of the path, and the path down to the SDK's
// folder is the user's to arrange, as for the SDK's other files), what is
// below it as it is, so that a link there is still refused. The path as it
// is when the folder cannot be resolved.
std::string resolvedBelow(const std::string &folder, const std::string &below, const std::string &path) {
    if (folder.empty() || below.empty()) return path;
    char *resolved = ::realpath(folder.c_str(), nullptr);
    if (!resolved) return path;
    std::string result = resolved;
    std::free(resolved);
    if (result.empty() || result.back() != '/') result += '/';
    return result + below;
}

}  // namespace

int BCDBStorage::configureSQLite() {
    const int result = sqlite3_config(SQLITE_CONFIG_URI, 1);
    // Page slots that stay with the process: every operation opens and
    // closes its own connection, and a connection's page cache taken from
    // the heap went back to the system at each close, to be faulted in again
    // page by page at the next (under a flood, a tenth of a save's time).
    // Pages beyond the slots, or larger than a slot, come from the heap.
    constexpr int kSlots = 512;
    constexpr int kSlotSize = 4096 + 512;
    alignas(64) static unsigned char slots[kSlots][kSlotSize];
    int header = 0;
    if (result == SQLITE_OK && sqlite3_config(SQLITE_CONFIG_PCACHE_HDRSZ, &header) == SQLITE_OK && header > 0 &&
        header <= kSlotSize - 4096) {
        sqlite3_config(SQLITE_CONFIG_PAGECACHE, slots, kSlotSize, kSlots);
    }
    return result;
}

int BCDBStorage::sqliteConfigurationResult() { return kSQLiteConfigurationResult; }

std::shared_ptr<BCDBStorage> BCDBStorage::make(std::optional<BCDBSchema> schema, unsigned long version,
                                               const std::string &filename) {
    auto storage = std::make_shared<BCDBStorage>(std::move(schema));
    storage->initWithVersion(version, filename);
    return storage;
}

void BCDBStorage::initWithVersion(unsigned long version, const std::string &filename) {
    std::call_once(configurationReportOnce(), [] {
        int result = sqliteConfigurationResult();
        if (result == SQLITE_OK) {
            BCLogDebug(kLogTag, "SQLite global configuration successfully updated.");
        } else {
            BCLogError(kLogTag, "Failed to update SQLite global configuration. Error: %@.",
                       std::string(sqlite3_errstr(result)));
        }
    });
    version_ = version;
    filename_ = filename;
    int result = configureDatabaseWithSchema(schema_, version, filename);
    if (result == SQLITE_NOTADB || result == SQLITE_CORRUPT) {
        // Shown at the level the logger shows by default: what the file
        // held is lost.
        BCLogAssert(kLogTag, "The \"%@\" database is corrupt; it is deleted and created anew, losing what it held.",
                    filename);
        dropDatabase();
        result = configureDatabaseWithSchema(schema_, version, filename);
    } else if (result == kForeignLayoutResult) {
        BCLogAssert(kLogTag, "The \"%@\" database lacks columns of its version %lu; it is deleted and created anew.",
                    filename, version);
        dropDatabase();
        result = configureDatabaseWithSchema(schema_, version, filename);
    }
    if (result != SQLITE_OK) BCLogError(kLogTag, "Failed to initialize database.");
}

int BCDBStorage::configureDatabaseWithSchema(const std::optional<BCDBSchema> &schema, unsigned long version,
                                             const std::string &filename) {
    auto path = BCUtility::fullURLForPathComponent(filename);
    if (!path) return SQLITE_CANTOPEN;
    configuring_ = true;
    struct Done {
        bool &flag;
        ~Done() { flag = false; }
    } done{configuring_};
    dbFilePath_ = path->string();
    dbFileURL_ = platform::URL::fileURLWithPath(path->string());
    // Split at the SDK's folder, which is resolved at each opening.
    const auto folder = BCUtility::beaconDirectoryURL();
    const auto below = path->lexically_normal().lexically_relative(folder.lexically_normal());
    if (!below.empty() && *below.begin() != ".." && *below.begin() != ".") {
        folderPath_ = folder.string();
        pathBelowFolder_ = below.string();
    } else {
        folderPath_.clear();
        pathBelowFolder_.clear();
    }
    maxSizeInBytes_ = kDefaultMaxSizeInBytes;
    // Before anything looks at the file: a link there would be followed.
    setAsideForeignFiles();
    bool existed = BCUtility::fileExistsForPathComponent(filename);
    if (!BCUtility::createFileAtPathComponent(filename, std::nullopt, false, false)) return SQLITE_CANTOPEN;

    int result = SQLITE_OK;
    sqlite3 *db = openDatabase(&result);
    if (!db) return result;
    pageSize_ = getPageSizeInOpenedDatabase(db);
    unsigned long storedVersion = versionInOpenedDatabase(db, &result);
    if (result != SQLITE_OK) {
        closeDatabase(db);
        return result;
    }
    result = createTablesWithSchema(schema, db);
    if (result != SQLITE_OK) {
        BCLogError(kLogTag, "Failed to create tables with schema with error \"%d\".", result);
        closeDatabase(db);
        return result;
    }
    if (!existed) {
        BCLogInfo(kLogTag, "Created \"%@\" database with %lu version.", filename, version);
        customizeDatabase(db);
    } else if (storedVersion < version) {
        BCLogInfo(kLogTag, "Migrating \"%@\" database from version %lu to %lu.", filename, storedVersion, version);
        migrateDatabase(db, storedVersion);
    } else if (!tablesHaveSchemaColumns(schema, db, &result)) {
        // Of our version but not of our layout: every write would fail.
        closeDatabase(db);
        return result == SQLITE_OK ? kForeignLayoutResult : result;
    }
    enableAutoVacuumInOpenedDatabase(db);
    // Written only when it differs: the same value written again would still
    // be a write transaction, with its syncs, at every launch.
    if (storedVersion != version) setVersion(version, db);
    closeDatabase(db);
    return SQLITE_OK;
}

sqlite3 *BCDBStorage::openDatabaseAtFileURL(const platform::URL &fileURL, int *result) {
    sqlite3 *db = nullptr;
    int code = sqlite3_open_v2(fileURL.absoluteString().c_str(), &db, kOpenFlags, nullptr);
    if (result) *result = code;
    if (code != SQLITE_OK) {
        // A failed open may still have allocated a handle.
        closeDatabase(db);
        return nullptr;
    }
    // A second running copy of the application shares the file: wait for
    // its lock a little rather than fail at once.
    sqlite3_busy_timeout(db, 2000);
    return db;
}

sqlite3 *BCDBStorage::openDatabase(int *result) {
    if (!dbFileURL_ || !dbFilePath_) {
        if (result) *result = SQLITE_CANTOPEN;
        return nullptr;
    }
    // A link put in the file's place since the last opening: the store is
    // made anew beside it (once: a link that comes back at once waits for
    // the next opening).
    if (setAsideForeignFiles() && !configuring_) configureDatabaseWithSchema(schema_, version_, filename_);
    int code = SQLITE_OK;
    sqlite3 *db = openDatabaseAtFileURL(
        platform::URL::fileURLWithPath(resolvedBelow(folderPath_, pathBelowFolder_, *dbFilePath_)), &code);
    if (result) *result = code;
    // SQLite opens a file it may not write read-only, and every write then
    // fails: said as a failure of the store, once.
    reportOpening(db && sqlite3_db_readonly(db, "main") == 1 ? SQLITE_READONLY : code);
    return db;
}

bool BCDBStorage::setAsideForeignFiles() {
    if (!dbFilePath_) return false;
    const std::string &path = *dbFilePath_;
    // Files with other hard links are copied first, before SQLite opens any
    // of them: the journals with the file, so that the copies hold one
    // state. One line for all of them.
    std::vector<std::string> takenBack;
    std::map<std::string, int> failures;
    const auto takeBack = [&](const std::string &name) {
        switch (platform::FileManager::takeBackHardLinkedEntry(AT_FDCWD, name, BCUtility::kMaxTakenBackFileSize)) {
        case platform::FileManager::TakeBack::TakenBack: takenBack.push_back(name); break;
        case platform::FileManager::TakeBack::Failed: failures[name] = errno; break;
        case platform::FileManager::TakeBack::NotNeeded: break;
        }
    };
    takeBack(path);
    for (const char *suffix : kJournalSuffixes) takeBack(path + suffix);
    if (!takenBack.empty()) {
        BCLogAssert(kLogTag,
                    "The database \"%@\" had other hard links (%@), so it was someone else's file too; it is now a "
                    "private copy of its own, holding what it held, and the other names keep their files, "
                    "untouched.",
                    path, platform::text::listed(takenBack, takenBack.size()));
    }
    // What is left is a link, or a file that could not be copied.
    const bool fileWasForeign = setAsideForeignFile(path, true, failures[path]);
    for (const char *suffix : kJournalSuffixes) setAsideForeignFile(path + suffix, false, failures[path + suffix]);
    return fileWasForeign;
}

void BCDBStorage::reportOpening(int result) {
    if (!dbFilePath_) return;
    int previous = SQLITE_OK;
    {
        std::lock_guard<std::mutex> lock(openFailures().mutex);
        auto &codes = openFailures().codes;
        auto it = codes.find(*dbFilePath_);
        if (it != codes.end()) previous = it->second;
        if (previous == result) return;
        if (result == SQLITE_OK) {
            codes.erase(it);
        } else {
            codes[*dbFilePath_] = result;
        }
    }
    // Logged outside the lock: the handler is the application's.
    const std::string reason = result != SQLITE_OK ? std::string(sqlite3_errstr(result)) : std::string();
    if (result == SQLITE_READONLY) {
        BCLogAssert(kLogTag,
                    "Cannot write to the database \"%@\" (SQLite result %d: %@): %@ are not kept until it can be "
                    "written. Said again only if this changes.",
                    *dbFilePath_, result, reason, keptItemsName());
    } else if (result != SQLITE_OK) {
        BCLogAssert(kLogTag,
                    "Cannot open the database \"%@\" (SQLite result %d: %@): %@ are not kept until it opens. Said "
                    "again only if this changes.",
                    *dbFilePath_, result, reason, keptItemsName());
    } else if (previous == SQLITE_READONLY) {
        BCLogAssert(kLogTag, "The database \"%@\" can be written again: %@ are kept again.", *dbFilePath_,
                    keptItemsName());
    } else {
        BCLogAssert(kLogTag, "The database \"%@\" opens again: %@ are kept again.", *dbFilePath_, keptItemsName());
    }
}

int BCDBStorage::executeQueryUsingBlock(const std::function<int(sqlite3 *db)> &block) {
    int result = SQLITE_OK;
    sqlite3 *db = openDatabase(&result);
    if (!db) return result;
    // The page size is 0 when the first opening failed: read it now, and
    // apply no bound while it is still unknown.
    if (pageSize_ <= 0) pageSize_ = getPageSizeInOpenedDatabase(db);
    if (pageSize_ > 0) {
        result = setMaxPageCount(maxSizeInBytes_ / pageSize_, db);
        if (result == SQLITE_CORRUPT || result == SQLITE_NOTADB) {
            closeDatabase(db);
            return result;
        }
        if (result != SQLITE_OK) BCLogError(kLogTag, "Failed to open database with specified maximum size constraint.");
    }
    result = block ? block(db) : SQLITE_OK;
    closeDatabase(db);
    return result;
}

void BCDBStorage::dropDatabase() {
    if (!dbFilePath_) {
        BCLogError(kLogTag, "Failed to delete database.");
        return;
    }
    if (BCUtility::deleteFileAtURL(std::filesystem::path(*dbFilePath_))) {
        // Journals left by a crash would otherwise be applied to the new file.
        std::error_code ignored;
        for (const char *suffix : kJournalSuffixes) std::filesystem::remove(*dbFilePath_ + suffix, ignored);
        BCLogVerbose(kLogTag, "Database %@ has been deleted.", dbFileURL_ ? dbFileURL_->absoluteString() : "(null)");
    } else {
        BCLogError(kLogTag, "Failed to delete database.");
    }
}

bool BCDBStorage::changeTable(const std::string &tableName, bool create, const std::string &statement,
                              const char *doneFormat, const char *failedFormat) {
    int result = executeQueryUsingBlock([&](sqlite3 *db) {
        int code = SQLITE_OK;
        // Nothing to do when the table is already as wanted.
        if (tableExists(tableName, db, &code) == create || code != SQLITE_OK) return code;
        code = executeNonSelectionQuery(statement, db);
        if (code == SQLITE_OK) {
            BCLogVerbose(kLogTag, doneFormat, tableName);
        } else {
            BCLogError(kLogTag, failedFormat, tableName);
        }
        return code;
    });
    return result == SQLITE_OK;
}

bool BCDBStorage::dropTable(const std::string &tableName) {
    return changeTable(tableName, false, platform::format("DROP TABLE %@;", quoted(tableName)),
                       "Table %@ has been deleted", "Failed to delete table %@");
}

bool BCDBStorage::createTable(const std::string &tableName, const BCDBColumnsSchema &columnsSchema) {
    return changeTable(
        tableName, true,
        platform::format("CREATE TABLE %@ (%@);", quoted(tableName), columnsQueryFromColumnsSchema(columnsSchema)),
        "Table %@ has been created", "Failed to create table %@");
}

size_t BCDBStorage::countEntriesForTable(const std::string &tableName, const std::optional<std::string> &condition,
                                         const BCStorageBindableArray *values) {
    std::string query = platform::format("SELECT COUNT(*) FROM %@ ", quoted(tableName));
    if (condition && !condition->empty()) query += platform::format("WHERE %@", *condition);
    auto rows = executeSelectionQuery(query, values);
    if (rows.empty() || rows[0].empty()) return 0;
    auto count = rows[0][0].int64Value();
    return count && *count > 0 ? static_cast<size_t>(*count) : 0;
}

int BCDBStorage::executeNonSelectionQuery(const std::string &query) {
    return executeNonSelectionQuery(query, static_cast<const BCStorageBindableArray *>(nullptr));
}

int BCDBStorage::executeNonSelectionQuery(const std::string &query, const BCStorageBindableArray *values) {
    return executeQueryUsingBlock([&](sqlite3 *db) { return executeNonSelectionQuery(query, db, values); });
}

BCDBRows BCDBStorage::executeSelectionQuery(const std::string &query, const BCStorageBindableArray *values) {
    BCDBRows rows;
    executeQueryUsingBlock([&](sqlite3 *db) {
        int result = SQLITE_OK;
        rows = executeSelectionQuery(query, db, &result, values);
        return result;
    });
    return rows;
}

void BCDBStorage::setMaxStorageSize(int64_t sizeInBytes, const std::function<void(bool)> &completionHandler) {
    bool applied = false;
    int result = SQLITE_OK;
    sqlite3 *db = openDatabase(&result);
    // The caller waits for an answer: a store that cannot be opened says no.
    if (!db) {
        if (completionHandler) completionHandler(false);
        return;
    }
    int64_t pageCount = getPageCountInOpenedDatabase(db);
    BCLogDebug(kLogTag, "Found %ld pages in the database.", pageCount);
    if (pageSize_ <= 0) pageSize_ = getPageSizeInOpenedDatabase(db);
    if (pageSize_ > 0) {
        int64_t requestedPages = sizeInBytes / pageSize_ + (sizeInBytes % pageSize_ > 0 ? 1 : 0);
        if (pageCount > requestedPages) {
            BCLogWarning(kLogTag,
                         "Cannot change database size to %ld bytes as it would cause a loss of data. Maximum database "
                         "size will not be changed.",
                         sizeInBytes);
        } else if ((result = setMaxPageCount(requestedPages, db)) != SQLITE_OK) {
            BCLogError(kLogTag, "Could not change maximum database size to %ld bytes. SQLite error code: %i",
                       sizeInBytes, result);
        } else {
            int64_t maxPageCount = getMaxPageCountInOpenedDatabase(db);
            int64_t effectiveSize = pageSize_ * maxPageCount;
            if (maxPageCount == requestedPages) {
                if (effectiveSize == sizeInBytes) {
                    BCLogInfo(kLogTag, "Changed maximum database size to %ld bytes.", sizeInBytes);
                } else {
                    BCLogInfo(kLogTag, "Changed maximum database size to %ld bytes (next multiple of 4KiB).",
                              effectiveSize);
                }
                maxSizeInBytes_ = effectiveSize;
                applied = true;
            } else {
                BCLogError(kLogTag,
                           "Could not change maximum database size to %ld bytes, current maximum size is %ld bytes.",
                           sizeInBytes, effectiveSize);
            }
        }
    }
    closeDatabase(db);
    if (completionHandler) completionHandler(applied);
}

std::string BCDBStorage::quoted(const std::string &name) {
    std::string out = "\"";
    for (char c : name) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

std::string BCDBStorage::columnsQueryFromColumnsSchema(const BCDBColumnsSchema &columnsSchema) {
    std::string query;
    for (const auto &[name, constraints] : columnsSchema) {
        if (!query.empty()) query += ", ";
        std::string words;
        for (const auto &word : constraints) words += (words.empty() ? "" : " ") + word;
        query += platform::format("%@ %@", quoted(name), words);
    }
    return query;
}

BCDBColumnsIndexes BCDBStorage::columnsIndexes(const BCDBSchema &schema) {
    BCDBColumnsIndexes indexes;
    for (const auto &[table, columns] : schema)
        for (size_t i = 0; i < columns.size(); ++i) indexes[table][columns[i].first] = i;
    return indexes;
}

int BCDBStorage::createTablesWithSchema(const std::optional<BCDBSchema> &schema, sqlite3 *db) {
    if (!schema) return SQLITE_OK;
    std::vector<std::string> statements;
    for (const auto &[table, columns] : *schema) {
        int result = SQLITE_OK;
        bool exists = tableExists(table, db, &result);
        if (result != SQLITE_OK) return result;
        if (exists) continue;
        statements.push_back(
            platform::format("CREATE TABLE %@ (%@);", quoted(table), columnsQueryFromColumnsSchema(columns)));
    }
    for (const auto &statement : statements) {
        int result = executeNonSelectionQuery(statement, db);
        if (result != SQLITE_OK) return result;
    }
    return SQLITE_OK;
}

bool BCDBStorage::tablesHaveSchemaColumns(const std::optional<BCDBSchema> &schema, sqlite3 *db, int *result) {
    if (result) *result = SQLITE_OK;
    if (!schema) return true;
    for (const auto &[table, columns] : *schema) {
        BCStorageBindableArray values;
        values.addString(table);
        int code = SQLITE_OK;
        auto rows = executeSelectionQuery(R"(SELECT "name" FROM pragma_table_info(?);)", db, &code, &values);
        if (code != SQLITE_OK) {
            if (result) *result = code;
            return false;
        }
        for (const auto &column : columns) {
            bool found = false;
            for (const auto &row : rows)
                if (!row.empty() && row[0].string() && *row[0].string() == column.first) found = true;
            if (!found) return false;
        }
    }
    return true;
}

bool BCDBStorage::tableExists(const std::string &tableName, sqlite3 *db, int *result) {
    BCStorageBindableArray values;
    values.addString(tableName);
    int code = SQLITE_OK;
    auto rows = executeSelectionQuery(R"(SELECT COUNT(*) FROM "sqlite_master" WHERE "type"='table' AND "name"=?;)", db,
                                      &code, &values);
    if (result) *result = code;
    if (rows.empty() || rows[0].empty()) return false;
    return rows[0][0].int64Value().value_or(0) > 0;
}

unsigned long BCDBStorage::versionInOpenedDatabase(sqlite3 *db, int *result) {
    auto rows = executeSelectionQuery("PRAGMA user_version", db, result, nullptr);
    if (rows.empty() || rows[0].empty()) return 0;
    auto version = rows[0][0].int64Value().value_or(0);
    return version > 0 ? static_cast<unsigned long>(version) : 0;
}

void BCDBStorage::setVersion(unsigned long version, sqlite3 *db) {
    executeNonSelectionQuery(platform::format("PRAGMA user_version = %lu", version), db);
}

void BCDBStorage::enableAutoVacuumInOpenedDatabase(sqlite3 *db) {
    int result = SQLITE_OK;
    auto rows = executeSelectionQuery("PRAGMA auto_vacuum", db, &result, nullptr);
    if (!rows.empty() && !rows[0].empty() && rows[0][0].int64Value().value_or(0) == 1) return;
    BCLogDebug(kLogTag, "Vacuuming database and enabling auto_vacuum");
    executeNonSelectionQuery("PRAGMA auto_vacuum = FULL;", db);
    executeNonSelectionQuery("VACUUM;", db);
}

int BCDBStorage::executeQuery(const std::string &query, sqlite3 *db, const BCStorageBindableArray *values,
                              const std::function<int(sqlite3_stmt *statement)> &block) {
    sqlite3_stmt *statement = nullptr;
    int result = sqlite3_prepare_v2(db, query.c_str(), static_cast<int>(query.size()), &statement, nullptr);
    if (result != SQLITE_OK) {
        BCLogError(kLogTag, "Failed to prepare SQLite statement, result=%d\n\t%@", result, errorMessage(db));
        return result;
    }
    if (!statement) return SQLITE_OK;  // nothing but blanks or comments
    if (values) result = values->bindAllValuesWithStatement(statement, db);
    if (result == SQLITE_OK && block) result = block(statement);
    int finalized = sqlite3_finalize(statement);
    // finalize repeats the last step's error, which is logged already.
    if (finalized != SQLITE_OK && finalized != result)
        BCLogError(kLogTag, "Failed to finalize SQLite statement, result=%d\n\t%@", finalized, errorMessage(db));
    return result;
}

int BCDBStorage::executeNonSelectionQuery(const std::string &query, sqlite3 *db, const BCStorageBindableArray *values) {
    return executeQuery(query, db, values, [db](sqlite3_stmt *statement) { return stepToEnd(statement, db); });
}

int BCDBStorage::executePreparedNonSelection(sqlite3_stmt *statement, sqlite3 *db,
                                             const BCStorageBindableArray *values) {
    int result = values ? values->bindAllValuesWithStatement(statement, db) : SQLITE_OK;
    if (result == SQLITE_OK) result = stepToEnd(statement, db);
    // Ready for the next values; the texts bound are the caller's and are
    // let go here.
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    return result;
}

int BCDBStorage::stepToEnd(sqlite3_stmt *statement, sqlite3 *db) {
    int result = sqlite3_step(statement);
    if (result == SQLITE_DONE) return SQLITE_OK;
    if (result == SQLITE_CORRUPT || result == SQLITE_NOTADB) {
        BCLogError(kLogTag, "A database file is corrupted, result=%d\n\t%@", result, errorMessage(db));
    } else if (result == SQLITE_FULL || (result & 0xFF) == SQLITE_READONLY) {
        // A full file is handled by the caller; a read-only one is said once
        // for the store, with its path, when it is opened.
        BCLogDebug(kLogTag, "Query failed with error: %d\n\t%@", result, errorMessage(db));
    } else {
        BCLogError(kLogTag, "Could not execute the statement, result=%d\n\t%@", result, errorMessage(db));
    }
    return result;
}

sqlite3_stmt *BCDBStorage::prepareStatement(const std::string &query, sqlite3 *db, int *result) {
    sqlite3_stmt *statement = nullptr;
    const int code = sqlite3_prepare_v2(db, query.c_str(), static_cast<int>(query.size()), &statement, nullptr);
    if (result) *result = code;
    if (code != SQLITE_OK) {
        BCLogError(kLogTag, "Failed to prepare SQLite statement, result=%d\n\t%@", code, errorMessage(db));
        return nullptr;
    }
    return statement;
}

BCDBRows BCDBStorage::executeSelectionQuery(const std::string &query, sqlite3 *db, int *result,
                                            const BCStorageBindableArray *values) {
    BCDBRows rows;
    int code = executeQuery(query, db, values, [&](sqlite3_stmt *statement) {
        int step;
        while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
            int count = sqlite3_column_count(statement);
            if (count <= 0) continue;
            BCDBRow row;
            row.reserve(static_cast<size_t>(count));
            for (int i = 0; i < count; ++i) row.push_back(columnValueFromStatement(statement, i));
            rows.push_back(std::move(row));
        }
        if (step == SQLITE_DONE) return static_cast<int>(SQLITE_OK);
        BCLogError(kLogTag, "Query failed with error: %d\n\t%@", step, errorMessage(db));
        return step;
    });
    if (result) *result = code;
    return rows;
}

platform::Value BCDBStorage::columnValueFromStatement(sqlite3_stmt *statement, int index) {
    int type = sqlite3_column_type(statement, index);
    switch (type) {
    case SQLITE_TEXT: {
        auto *text = reinterpret_cast<const char *>(sqlite3_column_text(statement, index));
        int length = sqlite3_column_bytes(statement, index);
        return platform::Value(std::string(text ? text : "", text ? static_cast<size_t>(length) : 0));
    }
    case SQLITE_INTEGER:
        // 64 bits: row ids grow for ever, and a truncated id names another row.
        return platform::Value(static_cast<int64_t>(sqlite3_column_int64(statement, index)));
    case SQLITE_NULL: return platform::Value();
    default:
        BCLogError(kLogTag, "Could not retrieve column value at index %d from statement: unknown type %d.", index,
                   type);
        return platform::Value();
    }
}

int64_t BCDBStorage::querySingleValue(const std::string &query, sqlite3 *db) {
    int result = SQLITE_OK;
    auto rows = executeSelectionQuery(query, db, &result, nullptr);
    if (rows.empty() || rows[0].empty()) return 0;
    return rows[0][0].int64Value().value_or(0);
}

int64_t BCDBStorage::getPageSizeInOpenedDatabase(sqlite3 *db) { return querySingleValue("PRAGMA page_size;", db); }

int64_t BCDBStorage::getPageCountInOpenedDatabase(sqlite3 *db) { return querySingleValue("PRAGMA page_count;", db); }

int64_t BCDBStorage::getMaxPageCountInOpenedDatabase(sqlite3 *db) {
    return querySingleValue("PRAGMA max_page_count;", db);
}

int BCDBStorage::setMaxPageCount(int64_t pageCount, sqlite3 *db) {
    // The pragma answers a row; run it to its end.
    return sqlite3_exec(db, platform::format("PRAGMA max_page_count = %ld", pageCount).c_str(), nullptr, nullptr,
                        nullptr);
}
