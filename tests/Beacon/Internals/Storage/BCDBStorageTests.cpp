// The SQLite wrapper against real files, checked with the sqlite3 CLI.
#include <gtest/gtest.h>

#include <fstream>

#include "BCDBStorage.h"
#include "BCUtility.h"
#include "StorageTestSupport.h"

using storagetest::sql;

namespace {

const BCDBSchema kSchema{{"t", {{"id", {"INTEGER", "PRIMARY KEY", "AUTOINCREMENT"}}, {"name", {"TEXT", "NOT NULL"}}}}};

// Records the hooks, so that a test sees they reach the subclass.
class HookedStorage : public BCDBStorage {
public:
    using BCDBStorage::BCDBStorage;
    void customizeDatabase(sqlite3 *) override { ++customized; }
    void migrateDatabase(sqlite3 *, unsigned long fromVersion) override { migratedFrom.push_back(fromVersion); }
    int customized = 0;
    std::vector<unsigned long> migratedFrom;
};

std::shared_ptr<HookedStorage> makeHooked(unsigned long version, const std::string &file = "t.sqlite") {
    auto storage = std::make_shared<HookedStorage>(kSchema);
    storage->initWithVersion(version, file);
    return storage;
}

void writeFile(const std::filesystem::path &path, const std::string &bytes) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

}  // namespace

class BCDBStorageTests : public ::testing::Test {
protected:
    storagetest::StoreHome home;
    std::filesystem::path file() const { return home.sdkDirectory() / "t.sqlite"; }
};

TEST_F(BCDBStorageTests, NewFileIsCreatedCustomizedVersionedAndAutoVacuumed) {
    auto storage = makeHooked(3);
    EXPECT_EQ(storage->customized, 1);
    EXPECT_TRUE(storage->migratedFrom.empty());
    EXPECT_TRUE(home.log.contains(BCLogLevelInfo, "Created \"t.sqlite\" database with 3 version."));
    EXPECT_EQ(storage->maxSizeInBytes(), 10485760);
    EXPECT_EQ(storage->pageSize(), 4096);
    EXPECT_EQ(sql(file(), "PRAGMA user_version"), "3");
    EXPECT_EQ(sql(file(), "PRAGMA auto_vacuum"), "1");
    EXPECT_EQ(sql(file(), "PRAGMA integrity_check"), "ok");
    EXPECT_EQ(sql(file(), "SELECT sql FROM sqlite_master WHERE name='t'"),
              "CREATE TABLE \"t\" (\"id\" INTEGER PRIMARY KEY AUTOINCREMENT, \"name\" TEXT NOT NULL)");
}

TEST_F(BCDBStorageTests, ExistingFilesMigrateOnlyFromALowerVersion) {
    makeHooked(3);
    home.log.clear();
    auto bytes = [this] {
        std::ifstream in(file(), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    const std::string before = bytes();
    auto same = makeHooked(3);
    // Nothing to change, so nothing written (not even the header's change counter).
    EXPECT_EQ(bytes(), before);
    EXPECT_EQ(same->customized, 0);
    EXPECT_TRUE(same->migratedFrom.empty());
    for (const auto &[level, text] : home.log.lines()) EXPECT_EQ(text.find("Migrating"), std::string::npos) << text;

    auto newer = makeHooked(5);
    EXPECT_EQ(newer->migratedFrom, std::vector<unsigned long>{3});
    EXPECT_TRUE(home.log.contains(BCLogLevelInfo, "Migrating \"t.sqlite\" database from version 3 to 5."));
    EXPECT_EQ(sql(file(), "PRAGMA user_version"), "5");
}

TEST_F(BCDBStorageTests, ForeignOrZeroedFilesAreReplacedAtCreation) {
    for (const std::string &bytes : {std::string(100, 'x'), std::string(100, '\0')}) {
        std::filesystem::remove(file());
        writeFile(file(), bytes);
        home.log.clear();
        auto storage = makeHooked(1);
        EXPECT_TRUE(home.log.contains(BCLogLevelInfo, "Created \"t.sqlite\" database with 1 version."));
        EXPECT_FALSE(home.log.contains(BCLogLevelError, "Failed to initialize database."));
        // Said at the level the logger shows before anyone sets one.
        EXPECT_TRUE(home.log.contains(BCLogLevelAssert,
                                      "The \"t.sqlite\" database is corrupt; it is deleted and "
                                      "created anew, losing what it held."));
        EXPECT_EQ(sql(file(), "PRAGMA integrity_check"), "ok");
        BCStorageBindableArray values;
        values.addString("a");
        EXPECT_EQ(storage->executeNonSelectionQuery("INSERT INTO \"t\" (\"name\") VALUES (?)", &values), 0);
    }
}

TEST_F(BCDBStorageTests, CorruptPagesAreNotNoticedAtCreationButReportedLater) {
    auto storage = makeHooked(1);
    ASSERT_EQ(
        storage->executeNonSelectionQuery("WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c "
                                          "WHERE x < 200) INSERT INTO t (name) SELECT printf('%0200d', x) FROM c"),
        0);
    {
        std::fstream f(file(), std::ios::binary | std::ios::in | std::ios::out);
        f.seekp(3 * 4096);
        std::string garbage(6 * 4096, '\xff');  // pages 4 to 9: the table's pages
        f.write(garbage.data(), garbage.size());
    }
    home.log.clear();
    auto reopened = makeHooked(1);
    EXPECT_FALSE(home.log.contains(BCLogLevelInfo, "Created \"t.sqlite\" database with 1 version."));
    int result = 0;
    reopened->executeQueryUsingBlock([&](sqlite3 *db) {
        BCDBStorage::executeSelectionQuery("SELECT * FROM \"t\"", db, &result, nullptr);
        return result;
    });
    EXPECT_EQ(result, SQLITE_CORRUPT);
}

TEST_F(BCDBStorageTests, SizeBoundRoundsUpToWholePagesAndRefusesToLoseData) {
    auto storage = BCDBStorage::make(std::nullopt, 1, "empty.sqlite");
    std::optional<bool> answer;
    storage->setMaxStorageSize(10000, [&](bool applied) { answer = applied; });
    ASSERT_TRUE(answer);
    EXPECT_TRUE(*answer);
    EXPECT_EQ(storage->maxSizeInBytes(), 12288);
    EXPECT_TRUE(
        home.log.contains(BCLogLevelInfo, "Changed maximum database size to 12288 bytes (next multiple of 4KiB)."));

    storage->setMaxStorageSize(16384, [&](bool applied) { answer = applied; });
    EXPECT_TRUE(*answer);
    EXPECT_TRUE(home.log.contains(BCLogLevelInfo, "Changed maximum database size to 16384 bytes."));

    auto tables = makeHooked(1);  // a table and its sequence: more than one page
    tables->setMaxStorageSize(4096, [&](bool applied) { answer = applied; });
    EXPECT_FALSE(*answer);
    EXPECT_TRUE(home.log.contains(BCLogLevelWarning,
                                  "Cannot change database size to 4096 bytes as it would cause a loss of data. "
                                  "Maximum database size will not be changed."));
    EXPECT_EQ(tables->maxSizeInBytes(), 10485760);
}

TEST_F(BCDBStorageTests, UnknownPageSizeIsReadAgainAndNeverDividesByZero) {
    auto storage = makeHooked(1);
    storage->setPageSize(0);
    EXPECT_EQ(storage->countEntriesForTable("t", std::nullopt, nullptr), 0u);
    EXPECT_EQ(storage->pageSize(), 4096);
}

// A file that cannot be opened is said once, with its path and what is lost,
// at the level shown by default, however many operations fail; again when
// the failure changes or after it opened again.
TEST_F(BCDBStorageTests, UnopenableDatabaseAnswersEmptyRowsAndNoAndIsSaidOnce) {
    auto storage = makeHooked(1);
    const auto failures = [this] {
        size_t count = 0;
        for (const auto &[level, text] : home.log.lines())
            if (text.rfind("Cannot open the database", 0) == 0) {
                EXPECT_EQ(level, BCLogLevelAssert);
                ++count;
            }
        return count;
    };
    std::filesystem::remove(file());
    std::filesystem::create_directory(file());  // a folder where the file was
    EXPECT_TRUE(storage->executeSelectionQuery("SELECT * FROM \"t\"", nullptr).empty());
    std::optional<bool> answer;
    storage->setMaxStorageSize(1 << 20, [&](bool applied) { answer = applied; });
    ASSERT_TRUE(answer) << "the handler must be called";
    EXPECT_FALSE(*answer);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(storage->executeNonSelectionQuery("DELETE FROM \"t\""), SQLITE_CANTOPEN);
    EXPECT_EQ(failures(), 1u);
    EXPECT_TRUE(home.log.contains(BCLogLevelAssert, "Cannot open the database \"" + file().string() +
                                                        "\" (SQLite result 14: unable to open database file): rows "
                                                        "are not kept until it opens. Said again only if this "
                                                        "changes."));

    std::filesystem::remove(file());
    EXPECT_TRUE(storage->createTable("t", {{"name", {"TEXT"}}}));
    EXPECT_TRUE(home.log.contains(BCLogLevelAssert,
                                  "The database \"" + file().string() + "\" opens again: rows are kept again."));
    std::filesystem::remove(file());
    std::filesystem::create_directory(file());
    EXPECT_EQ(storage->countEntriesForTable("t", std::nullopt, nullptr), 0u);
    EXPECT_EQ(failures(), 2u);
}

TEST_F(BCDBStorageTests, SelectionValuesByType) {
    auto storage = makeHooked(1);
    ASSERT_TRUE(storage->createTable("v", {{"r", {"REAL"}}, {"i", {"INTEGER"}}, {"s", {"TEXT"}}}));
    EXPECT_TRUE(home.log.contains(BCLogLevelVerbose, "Table v has been created"));
    EXPECT_EQ(storage->executeNonSelectionQuery("INSERT INTO v VALUES (1.5, 5000000000, 'a\"b'), (2.5, NULL, NULL)"),
              0);
    auto rows = storage->executeSelectionQuery("SELECT r, i, s FROM v ORDER BY r", nullptr);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_TRUE(rows[0][0].isNull());
    EXPECT_EQ(rows[0][1].int64Value(), 5000000000);  // not cut to 32 bits
    EXPECT_EQ(*rows[0][2].string(), "a\"b");
    EXPECT_TRUE(rows[1][1].isNull());
    size_t unknownTypeLines = 0;
    for (const auto &[level, text] : home.log.lines())
        if (text == "Could not retrieve column value at index 0 from statement: unknown type 2.") ++unknownTypeLines;
    EXPECT_EQ(unknownTypeLines, 2u);

    // Text is bound whole, embedded NUL and all.
    BCStorageBindableArray values;
    values.addString(std::string("x\0y", 3));
    EXPECT_EQ(storage->executeNonSelectionQuery("INSERT INTO v (s) VALUES (?)", &values), 0);
    EXPECT_EQ(sql(file(), "SELECT length(CAST(s AS BLOB)) FROM v WHERE r IS NULL"), "3");
    EXPECT_TRUE(storage->dropTable("v"));
    EXPECT_TRUE(storage->dropTable("v"));  // gone already: nothing to do
}

TEST_F(BCDBStorageTests, FileNameCharactersThatMeanSomethingInURIsStayInThePath) {
    auto odd = home.sdkDirectory().parent_path() / "a b?c#d%e";
    BCUtility::setBeaconDirectoryURLForTesting(odd);
    auto storage = makeHooked(1);
    EXPECT_TRUE(std::filesystem::exists(odd / "t.sqlite"));
    EXPECT_EQ(sql(odd / "t.sqlite", "PRAGMA user_version"), "1");
    for (const auto &entry : std::filesystem::directory_iterator(odd.parent_path()))
        EXPECT_TRUE(entry.path().filename() == "a b?c#d%e" || entry.path().filename() == "sdk" || entry.is_directory())
            << entry.path();
    EXPECT_FALSE(std::filesystem::exists(odd.parent_path() / "a b"));
    BCUtility::setBeaconDirectoryURLForTesting(home.sdkDirectory());
}

TEST_F(BCDBStorageTests, LoadTimeSwitchIsReportedOnceInAFreshProcess) {
    EXPECT_EQ(storagetest::runChildTest("BCDBStorageChild.ReportsTheSwitchOnce"), 0);
}

TEST(BCDBStorageChild, ReportsTheSwitchOnce) {
    if (!storagetest::isChild()) GTEST_SKIP() << "runs in a child process";
    storagetest::StoreHome home;
    if (BCDBStorage::sqliteConfigurationResult() != SQLITE_OK) exit(2);
    // Too late now: SQLite is initialised.
    if (sqlite3_config(SQLITE_CONFIG_URI, 1) != SQLITE_MISUSE) {
        BCDBStorage::make(std::nullopt, 1, "a.sqlite");
        if (sqlite3_config(SQLITE_CONFIG_URI, 1) != SQLITE_MISUSE) exit(3);
    }
    BCDBStorage::make(std::nullopt, 1, "b.sqlite");
    // The connections took their pages from the slots the process keeps,
    // not from the heap, which each closing gave back to the system.
    int current = 0, highwater = 0;
    if (sqlite3_status(SQLITE_STATUS_PAGECACHE_USED, &current, &highwater, 0) != SQLITE_OK || highwater <= 0) exit(5);
    size_t reports = 0;
    for (const auto &[level, text] : home.log.lines())
        if (level == BCLogLevelDebug && text == "SQLite global configuration successfully updated.") ++reports;
    exit(reports == 1 ? 0 : 4);
}

TEST_F(BCDBStorageTests, BindablesBindInOrderAndReportTheFailingIndex) {
    auto storage = makeHooked(1);
    ASSERT_TRUE(storage->createTable("b", {{"x", {}}, {"y", {}}, {"z", {}}}));
    BCStorageBindableArray values;
    values.addString("text");
    values.addNumber(-9000000000);
    values.addString(std::nullopt);
    EXPECT_EQ(storage->executeNonSelectionQuery("INSERT INTO b VALUES (?, ?, ?)", &values), 0);
    EXPECT_EQ(sql(file(), "SELECT typeof(x), typeof(y), typeof(z), y FROM b"), "text|integer|null|-9000000000");

    // One value too many: the fourth has no parameter to go to.
    values.addNumber(1);
    home.log.clear();
    EXPECT_EQ(storage->executeNonSelectionQuery("INSERT INTO b VALUES (?, ?, ?)", &values), SQLITE_RANGE);
    EXPECT_TRUE(home.log.contains(
        BCLogLevelError, "Binding query parameter 4 failed with error: 25. Message: column index out of range"));
    EXPECT_EQ(sql(file(), "SELECT count(*) FROM b"), "1");
    BCStorageBindableArray none;
    EXPECT_EQ(storage->executeNonSelectionQuery("DELETE FROM b", &none), 0);
}
