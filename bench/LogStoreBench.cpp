// The log store against raw SQLite with the same schema, SQL and stored
// texts: on one persistent connection with a prepared statement, and opening,
// bounding and closing per operation as the store does. Each group runs on
// the disk (the build folder) and on /dev/shm.
#include <sqlite3.h>

#include <filesystem>

#include "BCLogDBStorage.h"
#include "BCLogger.h"
#include "BCUtility.h"
#include "BenchLogs.h"
#include "RatioReporter.h"
#include "platform/foundation/Base64.h"

namespace {

namespace fs = std::filesystem;

const char *kCreate =
    "PRAGMA auto_vacuum = FULL; CREATE TABLE IF NOT EXISTS \"logs\" (\"id\" INTEGER PRIMARY KEY AUTOINCREMENT, "
    "\"groupId\" TEXT NOT NULL, \"log\" TEXT NOT NULL, \"targetToken\" TEXT, \"targetKey\" TEXT, \"priority\" "
    "INTEGER); CREATE INDEX IF NOT EXISTS \"ix_logs_priority\" ON \"logs\" (\"priority\");";
const char *kInsert = "INSERT INTO \"logs\" (\"groupId\", \"log\", \"priority\") VALUES (?, ?, ?)";
const char *kSelect = "SELECT * FROM \"logs\" WHERE \"groupId\" = ? ORDER BY \"priority\" DESC, \"id\" ASC LIMIT 51";

const std::string &storedText() {
    static const std::string text = platform::base64::encode(
        *BCUtility::archiveKeyedData(platform::Value(std::static_pointer_cast<platform::Object>(benchlogs::log(0)))));
    return text;
}

fs::path freshDir(const fs::path &dir) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

sqlite3 *openRaw(const fs::path &file) {
    sqlite3 *db = nullptr;
    sqlite3_open_v2(platform::URL::fileURLWithPath(file.string()).absoluteString().c_str(), &db,
                    SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_URI, nullptr);
    sqlite3_exec(db, "PRAGMA max_page_count = 2560", nullptr, nullptr, nullptr);
    return db;
}

void insertRaw(sqlite3 *db, sqlite3_stmt *statement) {
    sqlite3_bind_text(statement, 1, "G", 1, SQLITE_STATIC);
    sqlite3_bind_text(statement, 2, storedText().data(), static_cast<int>(storedText().size()), SQLITE_STATIC);
    sqlite3_bind_int64(statement, 3, 1);
    sqlite3_step(statement);
    sqlite3_reset(statement);
    (void)db;
}

void fill(const fs::path &file, int count) {
    sqlite3 *db = openRaw(file);
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt *statement = nullptr;
    sqlite3_prepare_v2(db, kInsert, -1, &statement, nullptr);
    for (int i = 0; i < count; ++i) insertRaw(db, statement);
    sqlite3_finalize(statement);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);
}

std::shared_ptr<BCLogDBStorage> makeStore(const fs::path &dir) {
    BCUtility::setBeaconDirectoryURLForTesting(freshDir(dir));
    return BCLogDBStorage::make();
}

fs::path makeRaw(const fs::path &dir) {
    auto file = freshDir(dir) / "raw.sqlite";
    sqlite3 *db = openRaw(file);
    sqlite3_exec(db, kCreate, nullptr, nullptr, nullptr);
    sqlite3_close(db);
    return file;
}

void saveWrapper(benchmark::State &state, fs::path dir, bool atBound) {
    auto store = makeStore(dir);
    if (atBound) store->setMaxStorageSize(24576, nullptr);
    auto log = benchlogs::log(0);
    for (auto _ : state) store->saveLog(log, "G", atBound ? 2 : 1);
}

// What the store does to a log before any SQL: archive it and write base64.
void archiveOnly(benchmark::State &state) {
    auto log = std::static_pointer_cast<platform::Object>(benchlogs::log(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(platform::base64::encode(*BCUtility::archiveKeyedData(platform::Value(log))));
}

// What the store does to 50 stored texts after the SQL: decode them.
void decodeOnly(benchmark::State &state) {
    for (auto _ : state)
        for (int i = 0; i < 50; ++i)
            benchmark::DoNotOptimize(BCUtility::unarchiveKeyedData(platform::base64::decodeLenient(storedText())));
}

void saveRawPersistent(benchmark::State &state, fs::path dir) {
    auto file = makeRaw(dir);
    sqlite3 *db = openRaw(file);
    sqlite3_stmt *statement = nullptr;
    sqlite3_prepare_v2(db, kInsert, -1, &statement, nullptr);
    for (auto _ : state) insertRaw(db, statement);
    sqlite3_finalize(statement);
    sqlite3_close(db);
}

void saveRawOpenPerOperation(benchmark::State &state, fs::path dir) {
    auto file = makeRaw(dir);
    for (auto _ : state) {
        sqlite3 *db = openRaw(file);
        sqlite3_stmt *statement = nullptr;
        sqlite3_prepare_v2(db, kInsert, -1, &statement, nullptr);
        insertRaw(db, statement);
        sqlite3_finalize(statement);
        sqlite3_close(db);
    }
}

void loadDeleteWrapper(benchmark::State &state, fs::path dir) {
    auto store = makeStore(dir);
    for (auto _ : state) {
        state.PauseTiming();
        fill(dir / "Logs.sqlite", 50);
        state.ResumeTiming();
        std::optional<std::string> batchId;
        store->loadLogsWithGroupId(
            "G", 50, std::nullopt,
            [&](const std::vector<std::shared_ptr<BCLog>> &, const std::optional<std::string> &id) { batchId = id; });
        if (batchId) store->deleteLogsWithBatchId(*batchId, "G");
    }
}

// SELECT ... LIMIT 51, then DELETE ... IN (the ids), each on `db` or on a
// connection of its own.
void loadDeleteRawOnce(const fs::path &file, sqlite3 *persistent) {
    sqlite3 *db = persistent ? persistent : openRaw(file);
    sqlite3_stmt *select = nullptr;
    sqlite3_prepare_v2(db, kSelect, -1, &select, nullptr);
    sqlite3_bind_text(select, 1, "G", 1, SQLITE_STATIC);
    std::vector<int64_t> ids;
    std::vector<std::string> texts;
    while (sqlite3_step(select) == SQLITE_ROW) {
        ids.push_back(sqlite3_column_int64(select, 0));
        texts.emplace_back(reinterpret_cast<const char *>(sqlite3_column_text(select, 2)));
    }
    sqlite3_finalize(select);
    if (!persistent) {
        sqlite3_close(db);
        db = openRaw(file);
    }
    std::string sql = "DELETE FROM \"logs\" WHERE \"id\" IN (";
    for (size_t i = 0; i < ids.size() && i < 50; ++i) sql += i ? ",?" : "?";
    sql += ")";
    sqlite3_stmt *remove = nullptr;
    sqlite3_prepare_v2(db, sql.c_str(), -1, &remove, nullptr);
    for (size_t i = 0; i < ids.size() && i < 50; ++i) sqlite3_bind_int64(remove, static_cast<int>(i + 1), ids[i]);
    sqlite3_step(remove);
    sqlite3_finalize(remove);
    if (!persistent) sqlite3_close(db);
}

void loadDeleteRaw(benchmark::State &state, fs::path dir, bool persistent) {
    auto file = makeRaw(dir);
    sqlite3 *db = persistent ? openRaw(file) : nullptr;
    for (auto _ : state) {
        state.PauseTiming();
        fill(file, 50);
        state.ResumeTiming();
        loadDeleteRawOnce(file, db);
    }
    if (db) sqlite3_close(db);
}

void registerAll() {
    struct Place {
        std::string name;
        fs::path dir;
        int saves;
    };
    std::vector<Place> places{{"disk", fs::current_path() / "bench-log-store", 300},
                              {"shm", "/dev/shm/plotwick-bench-log-store", 3000}};
    for (const auto &place : places) {
        auto save = "Save(" + place.name + ")/";
        benchmark::RegisterBenchmark((save + "BCLogDBStorage").c_str(), saveWrapper, place.dir, false)
            ->Iterations(place.saves);
        benchmark::RegisterBenchmark((save + "raw_persistent").c_str(), saveRawPersistent, place.dir)
            ->Iterations(place.saves);
        benchmark::RegisterBenchmark((save + "raw_open_per_op").c_str(), saveRawOpenPerOperation, place.dir)
            ->Iterations(place.saves);
        benchmark::RegisterBenchmark((save + "BCLogDBStorage_at_bound").c_str(), saveWrapper, place.dir, true)
            ->Iterations(place.saves);
        benchmark::RegisterBenchmark((save + "archive_only").c_str(), archiveOnly)->Iterations(place.saves);
        auto load = "LoadDelete50(" + place.name + ")/";
        benchmark::RegisterBenchmark((load + "BCLogDBStorage").c_str(), loadDeleteWrapper, place.dir)
            ->Iterations(place.saves / 10);
        benchmark::RegisterBenchmark((load + "raw_persistent").c_str(), loadDeleteRaw, place.dir, true)
            ->Iterations(place.saves / 10);
        benchmark::RegisterBenchmark((load + "raw_open_per_op").c_str(), loadDeleteRaw, place.dir, false)
            ->Iterations(place.saves / 10);
        benchmark::RegisterBenchmark((load + "decode_only").c_str(), decodeOnly)->Iterations(place.saves / 10);
    }
}

}  // namespace

int main(int argc, char **argv) {
    BCLogger::setLogHandler(nullptr);
    registerAll();
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter({{"Save(disk)", "raw_open_per_op"},
                            {"Save(shm)", "raw_open_per_op"},
                            {"LoadDelete50(disk)", "raw_open_per_op"},
                            {"LoadDelete50(shm)", "raw_open_per_op"}});
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    std::filesystem::remove_all(std::filesystem::current_path() / "bench-log-store");
    std::filesystem::remove_all("/dev/shm/plotwick-bench-log-store");
}
