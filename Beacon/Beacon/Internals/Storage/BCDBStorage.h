#pragma once
// A thin layer over SQLite for one database file in the SDK's directory: it
// creates the tables of a column schema, keeps a schema version in
// user_version, hands migration and first-time set-up to its subclass, keeps
// the file in full auto-vacuum mode and bounds its size through
// max_page_count. Every operation opens a connection of its own and closes it
// afterwards; the size bound is applied anew at each opening. No lock: its
// callers serialise its use.
//
// Links are not followed: a symbolic link where the file or one of its
// journals should be is not the store's; it is set aside ("<name>.link",
// numbered after the first: one set aside before is never replaced; never
// its target) before the next opening, and the store made anew when the file
// itself was one. A file there with other hard links is someone else's file
// too and is never written through: before SQLite opens it, it is copied to
// a private file that takes its name (journals with it), so the store keeps
// what it held and the other names keep their files; one that cannot be
// copied is set aside as "<name>.hardlink" instead. The path down to
// the SDK's folder is the user's: SQLite is handed the path with it
// resolved, at each opening. A file that cannot be opened, or can only be
// read, is reported once, with its path, until the failure changes or the
// file opens again.
//
// SQLite is switched to URI file names for the whole process at load time.
#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "BCStorageBindableArray.h"
#include "platform/foundation/Object.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/Value.h"

// Column name and its constraint words ("INTEGER", "PRIMARY KEY", ...).
using BCDBColumn = std::pair<std::string, std::vector<std::string>>;
using BCDBColumnsSchema = std::vector<BCDBColumn>;
// Table name to its columns in order.
using BCDBSchema = std::map<std::string, BCDBColumnsSchema>;
// Table name to (column name to position).
using BCDBColumnsIndexes = std::map<std::string, std::map<std::string, size_t>>;
// One row per result: text, integer (64-bit) or null values, in column order.
using BCDBRow = std::vector<platform::Value>;
using BCDBRows = std::vector<BCDBRow>;

class BCDBStorage : public platform::Object {
public:
    static constexpr int64_t kDefaultMaxSizeInBytes = 10485760;
    // The flags of every opening: read-write, create, URI, and a link in
    // the file's place refused (SQLite opens its journals without following
    // links in any case).
    static constexpr int kOpenFlags =
        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_URI | SQLITE_OPEN_NOFOLLOW;
    // What configureDatabaseWithSchema answers for a file of the current
    // version whose tables lack columns of the schema (it is replaced); no
    // SQLite result code, so that no SQLite error is taken for it.
    static constexpr int kForeignLayoutResult = -1;

    // The storage, initialised.
    static std::shared_ptr<BCDBStorage> make(std::optional<BCDBSchema> schema, unsigned long version,
                                             const std::string &filename);
    explicit BCDBStorage(std::optional<BCDBSchema> schema = std::nullopt) : schema_(std::move(schema)) {}
    ~BCDBStorage() override = default;

    // Reports the load-time URI switch (once per process) and configures the
    // database; a corrupt or foreign file, or one of the current version
    // whose tables lack columns, is deleted and configured again.
    // Call once, right after construction, so that the hooks reach the
    // subclass.
    void initWithVersion(unsigned long version, const std::string &filename);
    int configureDatabaseWithSchema(const std::optional<BCDBSchema> &schema, unsigned long version,
                                    const std::string &filename);

    // Runs the block on a connection of its own, with the size bound applied.
    int executeQueryUsingBlock(const std::function<int(sqlite3 *db)> &block);
    void dropDatabase();
    bool dropTable(const std::string &tableName);
    bool createTable(const std::string &tableName, const BCDBColumnsSchema &columnsSchema);
    size_t countEntriesForTable(const std::string &tableName, const std::optional<std::string> &condition,
                                const BCStorageBindableArray *values);
    int executeNonSelectionQuery(const std::string &query);
    int executeNonSelectionQuery(const std::string &query, const BCStorageBindableArray *values);
    BCDBRows executeSelectionQuery(const std::string &query, const BCStorageBindableArray *values);
    // Calls the handler with whether the bound could be applied; also when
    // the database cannot be opened (with false).
    void setMaxStorageSize(int64_t sizeInBytes, const std::function<void(bool)> &completionHandler);

    // Hooks for the subclass.
    virtual void customizeDatabase(sqlite3 *db) { (void)db; }
    virtual void migrateDatabase(sqlite3 *db, unsigned long fromVersion) {
        (void)db;
        (void)fromVersion;
    }
    // What the file keeps, plural, for the line that says it is not kept
    // while the file cannot be opened.
    virtual std::string keptItemsName() const { return "rows"; }

    const std::optional<platform::URL> &dbFileURL() const { return dbFileURL_; }
    void setDbFileURL(std::optional<platform::URL> url) { dbFileURL_ = std::move(url); }
    // The file's path on disk (absent before configuration).
    std::optional<std::string> dbFilePath() const { return dbFilePath_; }
    int64_t maxSizeInBytes() const { return maxSizeInBytes_; }
    void setMaxSizeInBytes(int64_t size) { maxSizeInBytes_ = size; }
    int64_t pageSize() const { return pageSize_; }
    void setPageSize(int64_t pageSize) { pageSize_ = pageSize; }
    const std::optional<BCDBSchema> &schema() const { return schema_; }

    std::string className() const override { return "BCDBStorage"; }

    // Class operations on a connection the caller opened and will close.
    static int configureSQLite();
    // The result of the load-time switch.
    static int sqliteConfigurationResult();
    // The open connection, or nullptr with the code in `result` (a failed
    // opening is closed); the caller reports it.
    static sqlite3 *openDatabaseAtFileURL(const platform::URL &fileURL, int *result);
    static std::string columnsQueryFromColumnsSchema(const BCDBColumnsSchema &columnsSchema);
    static BCDBColumnsIndexes columnsIndexes(const BCDBSchema &schema);
    static int createTablesWithSchema(const std::optional<BCDBSchema> &schema, sqlite3 *db);
    static bool tableExists(const std::string &tableName, sqlite3 *db, int *result = nullptr);
    // Whether every table of the schema has (at least) its columns; false
    // with the error in `result` when they cannot be read.
    static bool tablesHaveSchemaColumns(const std::optional<BCDBSchema> &schema, sqlite3 *db, int *result = nullptr);
    static unsigned long versionInOpenedDatabase(sqlite3 *db, int *result);
    static void setVersion(unsigned long version, sqlite3 *db);
    static void enableAutoVacuumInOpenedDatabase(sqlite3 *db);
    static int executeNonSelectionQuery(const std::string &query, sqlite3 *db,
                                        const BCStorageBindableArray *values = nullptr);
    static int executeQuery(const std::string &query, sqlite3 *db, const BCStorageBindableArray *values,
                            const std::function<int(sqlite3_stmt *statement)> &block);
    // The statement prepared, or nullptr with the failure logged and its
    // code in `result`; the caller finalizes it.
    static sqlite3_stmt *prepareStatement(const std::string &query, sqlite3 *db, int *result);
    // Binds the values to a statement prepared once for many executions, runs
    // it as executeNonSelectionQuery does and resets it for the next values.
    static int executePreparedNonSelection(sqlite3_stmt *statement, sqlite3 *db, const BCStorageBindableArray *values);
    static BCDBRows executeSelectionQuery(const std::string &query, sqlite3 *db, int *result,
                                          const BCStorageBindableArray *values);
    static platform::Value columnValueFromStatement(sqlite3_stmt *statement, int index);
    static int64_t getPageSizeInOpenedDatabase(sqlite3 *db);
    static int64_t getPageCountInOpenedDatabase(sqlite3 *db);
    static int64_t getMaxPageCountInOpenedDatabase(sqlite3 *db);
    static int64_t querySingleValue(const std::string &query, sqlite3 *db);
    static int setMaxPageCount(int64_t pageCount, sqlite3 *db);
    // A name in double quotes, inner quotes doubled.
    static std::string quoted(const std::string &name);

private:
    // A connection to the file after links in its place were set aside (and
    // the store made anew if the file was one), or nullptr with the code in
    // `result`; the failure or the recovery reported.
    sqlite3 *openDatabase(int *result);
    // Takes back files with other hard links found where the file or its
    // journals should be, and renames symbolic links (and files that could
    // not be taken back); answers whether the file itself was renamed.
    bool setAsideForeignFiles();
    // Says once that the file cannot be opened (again when the code
    // changes), and that it opens again after it could not.
    void reportOpening(int result);
    // Steps a statement that answers no rows; SQLITE_OK when it ran to its
    // end, otherwise the code, logged.
    static int stepToEnd(sqlite3_stmt *statement, sqlite3 *db);
    // Creates or drops the table on a connection of its own unless it already
    // is as wanted; logs the outcome.
    bool changeTable(const std::string &tableName, bool create, const std::string &statement, const char *doneFormat,
                     const char *failedFormat);

    std::optional<BCDBSchema> schema_;
    std::optional<platform::URL> dbFileURL_;
    std::optional<std::string> dbFilePath_;
    // The file's path split at the SDK's folder: the folder, resolved at each
    // opening, and the rest (both empty when the file is not below it: then
    // it is opened as it is).
    std::string folderPath_;
    std::string pathBelowFolder_;
    // As given at initialisation, to make the store anew.
    unsigned long version_ = 0;
    std::string filename_;
    bool configuring_ = false;
    int64_t maxSizeInBytes_ = 0;
    int64_t pageSize_ = 0;
};
