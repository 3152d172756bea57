// The log store against real files, checked with the sqlite3 CLI.
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <limits>
#include <map>
#include <thread>

#include <sqlite3.h>

#include "BCLogDBStorage.h"
#include "BCUtility.h"
#include "StorageTestSupport.h"

using storagetest::makeLog;
using storagetest::sql;
using storagetest::tagOf;

namespace {

struct Batch {
    std::vector<std::shared_ptr<BCLog>> logs;
    std::optional<std::string> batchId;
    bool more = false;
    bool called = false;
};

Batch load(BCLogDBStorage &store, const std::string &group, size_t limit,
           const std::optional<std::vector<std::string>> &excluded = std::nullopt) {
    Batch batch;
    batch.more = store.loadLogsWithGroupId(
        group, limit, excluded,
        [&](const std::vector<std::shared_ptr<BCLog>> &logs, const std::optional<std::string> &batchId) {
            batch.logs = logs;
            batch.batchId = batchId;
            batch.called = true;
        });
    return batch;
}

std::vector<std::string> tags(const Batch &batch) {
    std::vector<std::string> result;
    for (const auto &log : batch.logs) result.push_back(tagOf(log));
    return result;
}

}  // namespace

class BCLogDBStorageTests : public ::testing::Test {
protected:
    storagetest::StoreHome home;
    std::shared_ptr<BCLogDBStorage> store = BCLogDBStorage::make();
    std::string db(const std::string &statement) { return sql(home.logsFile(), statement); }
};

TEST_F(BCLogDBStorageTests, FileTableIndexAndArchiveLayout) {
    EXPECT_EQ(db("PRAGMA user_version"), "5");
    EXPECT_EQ(db("PRAGMA auto_vacuum"), "1");
    EXPECT_EQ(
        db("SELECT sql FROM sqlite_master WHERE name='logs'"),
        "CREATE TABLE \"logs\" (\"id\" INTEGER PRIMARY KEY AUTOINCREMENT, \"groupId\" TEXT NOT NULL, \"log\" TEXT "
        "NOT NULL, \"targetToken\" TEXT, \"targetKey\" TEXT, \"priority\" INTEGER)");
    EXPECT_EQ(db("SELECT sql FROM sqlite_master WHERE type='index'"),
              "CREATE INDEX \"ix_logs_priority\" ON \"logs\" (\"priority\")");

    // The stored text is a keyed archive in base64, as another reader sees it.
    ASSERT_TRUE(store->saveLog(makeLog("Oracle"), "Crashes", 1));
    auto archive = home.sdkDirectory() / "x.plist";
    testsupport::runCommand("sqlite3 '" + home.logsFile().string() +
                            "' 'select log from logs where id=1' | base64 -d > '" + archive.string() + "'");
    std::string check = testsupport::runCommand(
        "python3 -c 'import plistlib,sys; p=plistlib.load(open(sys.argv[1],\"rb\")); "
        "print(p[\"$archiver\"], any(isinstance(o, dict) and o.get(\"$classname\") == \"BCStartServiceLog\" "
        "for o in p[\"$objects\"]))' '" +
        archive.string() + "'");
    EXPECT_EQ(check, "NSKeyedArchiver True\n");

    // The stored texts of many varied logs are, byte for byte, the texts
    // earlier versions stored (their digest was taken from those versions):
    // later versions read them, and so do the files' other readers.
    std::vector<BCStorageSaveRequest> requests;
    for (int i = 0; i < 240; ++i) requests.push_back({storagetest::makeVariedLog(i), "Varied", uint64_t(1 + i % 2)});
    for (auto result : store->saveLogsWithResults(requests)) ASSERT_EQ(result, BCStorageSaveResult::Saved);
    const std::string stored = db("SELECT log FROM logs WHERE groupId = 'Varied' ORDER BY id");
    uint64_t digest = 0xcbf29ce484222325ull;
    for (unsigned char c : stored) digest = (digest ^ c) * 0x100000001b3ull;
    EXPECT_EQ(std::count(stored.begin(), stored.end(), '\n'), 239);
    EXPECT_EQ(digest, 0xc63a6288d7489ca5ull) << std::hex << digest;
}

TEST_F(BCLogDBStorageTests, BatchesHandOutPriorityThenAgeAndNeverTwice) {
    for (int i = 0; i < 58; ++i) ASSERT_TRUE(store->saveLog(makeLog("n" + std::to_string(i)), "Crashes", 1));
    ASSERT_TRUE(store->saveLog(makeLog("critical0"), "Crashes", 2));
    ASSERT_TRUE(store->saveLog(makeLog("critical1"), "Crashes", 0x102));  // high bits are not the priority
    EXPECT_EQ(db("SELECT DISTINCT priority FROM logs ORDER BY 1"), "1\n2");

    auto first = load(*store, "Crashes", 50);
    ASSERT_EQ(first.logs.size(), 50u);
    EXPECT_TRUE(first.more);
    ASSERT_TRUE(first.batchId);
    EXPECT_EQ(first.batchId->size(), 36u);
    auto firstTags = tags(first);
    EXPECT_EQ(firstTags[0], "critical0");
    EXPECT_EQ(firstTags[1], "critical1");
    EXPECT_EQ(firstTags[2], "n0");

    auto second = load(*store, "Crashes", 50);
    EXPECT_EQ(second.logs.size(), 10u);
    EXPECT_FALSE(second.more);
    EXPECT_EQ(tags(second).front(), "n48");

    auto none = load(*store, "Crashes", 50);
    EXPECT_TRUE(none.called);
    EXPECT_TRUE(none.logs.empty());
    EXPECT_FALSE(none.batchId);

    store->deleteLogsWithBatchId("00000000-0000-0000-0000-000000000000", "Crashes");
    EXPECT_EQ(store->countLogs(), 60u);
    store->deleteLogsWithBatchId(*first.batchId, "Crashes");
    EXPECT_EQ(store->countLogs(), 10u);
    EXPECT_EQ(store->batches().size(), 1u);
    // A released batch stays stored and its logs are handed out again.
    store->releaseLogsWithBatchId(*second.batchId, "Crashes");
    EXPECT_TRUE(store->batches().empty());
    EXPECT_EQ(store->countLogs(), 10u);
    second = load(*store, "Crashes", 50);
    EXPECT_EQ(second.logs.size(), 10u);
    EXPECT_EQ(tags(second).front(), "n48");

    // A limit SQLite cannot take as "limit + 1" still loads.
    store->deleteLogsWithBatchId(*second.batchId, "Crashes");
    ASSERT_TRUE(store->saveLog(makeLog("last"), "Crashes", 1));
    auto all = load(*store, "Crashes", std::numeric_limits<size_t>::max());
    EXPECT_EQ(tags(all), std::vector<std::string>{"last"});
    EXPECT_FALSE(all.more);
}

TEST_F(BCLogDBStorageTests, GroupsWithACommonPrefixKeepTheirOwnBatches) {
    ASSERT_TRUE(store->saveLog(makeLog("crash"), "Crashes", 2));
    ASSERT_TRUE(store->saveLog(makeLog("buffered"), "CrashesBuffer", 1));
    auto buffered = load(*store, "CrashesBuffer", 50);
    ASSERT_EQ(buffered.logs.size(), 1u);

    // Deleting the "Crashes" group leaves the in-flight "CrashesBuffer" batch
    // alone: it is neither handed out again nor forgotten.
    auto deleted = store->deleteLogsWithGroupId("Crashes");
    ASSERT_EQ(deleted.size(), 1u);
    EXPECT_EQ(tagOf(deleted[0]), "crash");
    EXPECT_TRUE(load(*store, "CrashesBuffer", 50).logs.empty());
    store->deleteLogsWithBatchId(*buffered.batchId, "CrashesBuffer");
    EXPECT_EQ(store->countLogs(), 0u);
}

TEST_F(BCLogDBStorageTests, GroupIdsWithQuotesAreBoundNotSpliced) {
    const std::string group = "it's \"quoted\"') OR 1=1 --";
    ASSERT_TRUE(store->saveLog(makeLog("odd"), group, 1));
    ASSERT_TRUE(store->saveLog(makeLog("other"), "Other", 1));
    EXPECT_EQ(store->deleteLogsWithGroupId(group).size(), 1u);
    EXPECT_EQ(db("SELECT groupId FROM logs"), "Other");
}

TEST_F(BCLogDBStorageTests, TargetTokensAreEncryptedAndExclusionKeepsOrdinaryRows) {
    ASSERT_TRUE(store->saveLog(makeLog("plain"), "Analytics", 1));
    ASSERT_TRUE(store->saveLog(storagetest::makeCommonSchemaLog("keyA-secretA"), "Analytics", 1));
    ASSERT_TRUE(store->saveLog(storagetest::makeCommonSchemaLog("keyB-secretB"), "Analytics", 1));
    EXPECT_EQ(db("SELECT id, targetKey, targetToken IS NULL FROM logs ORDER BY id"), "1||1\n2|keyA|0\n3|keyB|0");
    EXPECT_EQ(db("SELECT count(*) FROM logs WHERE targetToken LIKE '%secret%'"), "0");

    auto batch = load(*store, "Analytics", 50, std::vector<std::string>{"keyA"});
    ASSERT_EQ(batch.logs.size(), 2u);
    EXPECT_EQ(tagOf(batch.logs[0]), "plain");
    auto tokens = batch.logs[1]->transmissionTargetTokens();
    ASSERT_TRUE(tokens);
    EXPECT_EQ(*tokens, std::set<std::string>{"keyB-secretB"});
}

TEST_F(BCLogDBStorageTests, UndecodableRowsAreDeletedAtTheNextRead) {
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(store->saveLog(makeLog("g" + std::to_string(i)), "G", 1));
    db("UPDATE logs SET log='@@@' WHERE id=2; UPDATE logs SET log='aGVsbG8=' WHERE id=3");
    auto batch = load(*store, "G", 50);
    EXPECT_EQ(tags(batch), (std::vector<std::string>{"g0", "g3"}));
    EXPECT_EQ(db("SELECT group_concat(id) FROM logs"), "1,4");
    EXPECT_TRUE(home.log.contains(BCLogLevelError, "Deserialization failed for log with Id 2"));
}

TEST_F(BCLogDBStorageTests, OlderVersionsAndForeignLayoutsAreDroppedOnOpening) {
    // An older version, and a file of the current version whose table lacks
    // columns we write (every save would fail, launch after launch).
    for (const char *version : {"4", "5"}) {
        store.reset();
        std::filesystem::remove(home.logsFile());
        db(std::string("CREATE TABLE logs (id INTEGER PRIMARY KEY, groupId TEXT, log TEXT); INSERT INTO logs VALUES "
                       "(1, 'a', 'b'); PRAGMA user_version=") +
           version + ";");
        home.log.clear();
        store = BCLogDBStorage::make();
        EXPECT_EQ(db("SELECT count(*) FROM logs"), "0") << version;
        EXPECT_EQ(db("PRAGMA user_version"), "5");
        EXPECT_EQ(db("SELECT count(*) FROM sqlite_master WHERE name='ix_logs_priority'"), "1") << version;
        EXPECT_TRUE(store->saveLog(makeLog(), "G", 1)) << version;
        EXPECT_TRUE(store->saveLog(storagetest::makeCommonSchemaLog("keyA-secretA"), "G", 1)) << version;
        // Said at the level the logger shows before anyone sets one.
        EXPECT_EQ(home.log.contains(BCLogLevelAssert,
                                    "The \"Logs.sqlite\" database lacks columns of its version 5; it "
                                    "is deleted and created anew."),
                  std::string(version) == "5");
    }
    // A file with more columns than ours is kept as it is.
    store.reset();
    db("ALTER TABLE logs ADD COLUMN extra TEXT");
    store = BCLogDBStorage::make();
    EXPECT_EQ(db("SELECT count(*) FROM logs"), "2");
}

TEST_F(BCLogDBStorageTests, FullStorePurgesOldestOfEqualOrLowerPriorityOnly) {
    std::optional<bool> applied;
    store->setMaxStorageSize(24576, [&](bool ok) { applied = ok; });
    ASSERT_TRUE(applied && *applied);

    // A critical log, then normal ones beyond the bound: the normal ones
    // push out older normal ones, never the critical one.
    ASSERT_TRUE(store->saveLog(makeLog("old critical", 300), "G", 2));
    for (int i = 0; i < 30; ++i) ASSERT_TRUE(store->saveLog(makeLog("n" + std::to_string(i), 300), "G", 1));
    EXPECT_EQ(db("SELECT group_concat(id) FROM logs WHERE priority = 2"), "1");
    const std::string oldestNormal = db("SELECT min(id) FROM logs WHERE priority = 1");
    ASSERT_NE(oldestNormal, "2");
    // A new critical log pushes out the oldest normal one, not the older
    // critical one: a server would lose crash logs first.
    ASSERT_TRUE(store->saveLog(makeLog("new critical", 300), "G", 2));
    EXPECT_EQ(db("SELECT count(*) FROM logs WHERE priority = 2"), "2");
    EXPECT_EQ(db("SELECT count(*) FROM logs WHERE id = " + oldestNormal), "0");

    // Critical logs beyond the bound push out the normal ones, then the
    // oldest critical ones.
    for (int i = 0; i < 30; ++i) ASSERT_TRUE(store->saveLog(makeLog("c" + std::to_string(i), 1500), "G", 2));
    EXPECT_TRUE(home.log.contains(BCLogLevelDebug, "Deleted a log with id 1 to store a new log."));
    EXPECT_EQ(db("SELECT min(id) > 1 FROM logs"), "1");
    EXPECT_LE(std::stoi(db("PRAGMA page_count")), 6);
    EXPECT_LE(std::filesystem::file_size(home.logsFile()), 24576u);
    EXPECT_EQ(db("PRAGMA integrity_check"), "ok");

    // A normal log finds nothing it may push out.
    auto countBefore = store->countLogs();
    EXPECT_FALSE(store->saveLog(makeLog("normal", 1500), "G", 1));
    EXPECT_EQ(store->countLogs(), countBefore);
    EXPECT_TRUE(home.log.contains(
        BCLogLevelError, "Storage is full and no logs with equal or lower priority exist; discarding the log."));

    // Too large for the whole store: refused at once, nothing purged.
    auto count = store->countLogs();
    EXPECT_FALSE(store->saveLog(makeLog("huge", 30000), "G", 2));
    EXPECT_EQ(store->countLogs(), count);
}

// Saves handed over together are one write transaction of the file (its
// header's change counter moves once), and each row keeps the verdict it
// would have alone: "too large", a log that cannot be archived, the purge of
// the oldest rows when full (which sqlite answers by rolling the transaction
// back). A file locked by another connection fails the batch after one busy
// wait, not one per row.
TEST_F(BCLogDBStorageTests, ABatchOfSavesCommitsOnceWithEachRowsOwnOutcome) {
    const auto changeCounter = [&] {
        std::ifstream file(home.logsFile(), std::ios::binary);
        unsigned char bytes[28] = {};
        file.read(reinterpret_cast<char *>(bytes), sizeof bytes);
        return (uint32_t(bytes[24]) << 24) | (uint32_t(bytes[25]) << 16) | (uint32_t(bytes[26]) << 8) | bytes[27];
    };
    std::optional<bool> applied;
    store->setMaxStorageSize(24576, [&](bool ok) { applied = ok; });
    ASSERT_TRUE(applied && *applied);
    ASSERT_TRUE(store->saveLog(makeLog("first"), "G", 1));
    std::vector<BCStorageSaveRequest> requests;
    for (int i = 0; i < 30; ++i) requests.push_back({makeLog("n" + std::to_string(i), 300), "G", 1});
    const auto results = store->saveLogsWithResults(requests);
    EXPECT_EQ(results, std::vector<BCStorageSaveResult>(30, BCStorageSaveResult::Saved));
    EXPECT_TRUE(home.log.contains(BCLogLevelDebug, "Deleted a log with id 1 to store a new log."));
    EXPECT_EQ(tagOf(load(*store, "G", 100).logs.back()), "n29");
    EXPECT_LE(std::filesystem::file_size(home.logsFile()), 24576u);
    EXPECT_EQ(db("PRAGMA integrity_check"), "ok");

    applied.reset();
    store->setMaxStorageSize(102400, [&](bool ok) { applied = ok; });
    ASSERT_TRUE(applied && *applied);
    const uint32_t before = changeCounter();
    const auto together = store->saveLogsWithResults(
        {{makeLog("a"), "G", 1}, {makeLog("huge", 120000), "G", 2}, {nullptr, "G", 1}, {makeLog("b"), "G", 1}});
    EXPECT_EQ(together,
              (std::vector<BCStorageSaveResult>{BCStorageSaveResult::Saved, BCStorageSaveResult::Unstorable,
                                                BCStorageSaveResult::Unstorable, BCStorageSaveResult::Saved}));
    EXPECT_EQ(changeCounter(), before + 1);
    EXPECT_EQ(db("SELECT count(*) FROM logs WHERE id > 31"), "2");

    const size_t count = store->countLogs();
    sqlite3 *other = nullptr;
    ASSERT_EQ(sqlite3_open(home.logsFile().c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    const auto locked =
        store->saveLogsWithResults({{makeLog("x"), "G", 1}, {makeLog("y"), "G", 1}, {makeLog("z"), "G", 1}});
    sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    EXPECT_EQ(locked, std::vector<BCStorageSaveResult>(3, BCStorageSaveResult::Failed));
    EXPECT_EQ(store->countLogs(), count);
}

TEST_F(BCLogDBStorageTests, TheFileItsJournalsAndTheLockArePrivateWhateverTheUmask) {
    auto mode = [](const std::filesystem::path &path) {
        struct stat st {};
        return ::lstat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
    };
    store.reset();
    std::filesystem::remove(home.logsFile());
    const mode_t previous = ::umask(022);
    store = BCLogDBStorage::make();
    EXPECT_EQ(mode(home.logsFile()), 0600);
    EXPECT_EQ(mode(home.sdkDirectory()), 0700);
    ASSERT_TRUE(store->saveLog(makeLog("a"), "G", 1));
    // SQLite gives its journals the main file's permissions: a kept
    // rollback journal, then the write-ahead log and its index while open.
    EXPECT_EQ(store->executeQueryUsingBlock([](sqlite3 *db) {
        return sqlite3_exec(db, "PRAGMA journal_mode=PERSIST; DELETE FROM logs;", nullptr, nullptr, nullptr);
    }),
              SQLITE_OK);
    EXPECT_EQ(mode(home.sdkDirectory() / "Logs.sqlite-journal"), 0600);
    std::map<std::string, int> walModes;
    store->executeQueryUsingBlock([&](sqlite3 *db) {
        int result = sqlite3_exec(db, "PRAGMA journal_mode=WAL; DELETE FROM logs;", nullptr, nullptr, nullptr);
        for (const char *suffix : {"-wal", "-shm"})
            walModes[suffix] = mode(home.sdkDirectory() / (std::string("Logs.sqlite") + suffix));
        return result;
    });
    EXPECT_EQ(walModes["-wal"], 0600);
    EXPECT_EQ(walModes["-shm"], 0600);
    EXPECT_TRUE(store->acquireSendingLock());
    store->releaseSendingLock();
    EXPECT_EQ(mode(home.sdkDirectory() / "Logs.sqlite.lock"), 0600);
    ::umask(previous);
}

// A link where the file or one of its journals should be is not the
// store's: it is moved aside, what it points to is neither opened nor
// changed, and the store works anew; at creation, and when one appears while
// the store is in use. A file there with other hard links is taken back with
// a copy, so the store keeps its logs and the other names keep their files.
// Links above the SDK's folder are the user's and are followed.
TEST_F(BCLogDBStorageTests, LinksInTheStoresPlaceAreMovedAsideNeverFollowed) {
    const auto outside = home.sdkDirectory().parent_path() / "other.sqlite";
    sql(outside,
        "CREATE TABLE logs (id INTEGER PRIMARY KEY, groupId TEXT, log TEXT); INSERT INTO logs VALUES (1, 'a', 'b')");
    const auto bytes = [](const std::filesystem::path &path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    const std::string before = bytes(outside);
    const auto movedAside = [&](const std::string &name, const std::filesystem::path &target) {
        const auto aside = home.sdkDirectory() / (name + ".link");
        return std::filesystem::is_symlink(aside) && std::filesystem::read_symlink(aside) == target &&
               !std::filesystem::is_symlink(home.sdkDirectory() / name);
    };
    const auto linkLines = [&] {
        size_t count = 0;
        for (const auto &[level, text] : home.log.lines())
            if (level == BCLogLevelAssert &&
                text.find("is a symbolic link, which is not followed") != std::string::npos)
                ++count;
        return count;
    };

    store.reset();
    std::filesystem::remove(home.logsFile());
    std::filesystem::create_symlink(outside, home.logsFile());
    home.log.clear();
    store = BCLogDBStorage::make();
    ASSERT_TRUE(store->saveLog(makeLog("a"), "G", 1));
    EXPECT_TRUE(movedAside("Logs.sqlite", outside));
    EXPECT_EQ(bytes(outside), before);
    EXPECT_EQ(db("SELECT count(*) FROM logs"), "1");
    EXPECT_TRUE(home.log.contains(BCLogLevelAssert, "The database \"" + home.logsFile().string() +
                                                        "\" is a symbolic link, which is not followed; the link is "
                                                        "moved to \"" +
                                                        home.logsFile().string() +
                                                        ".link\" (what it points to is left as it is) and the "
                                                        "database is created anew."));

    // Put there while the store is in use: the file, then its journal.
    std::filesystem::remove(home.sdkDirectory() / "Logs.sqlite.link");
    std::filesystem::remove(home.logsFile());
    std::filesystem::create_symlink(outside, home.logsFile());
    ASSERT_TRUE(store->saveLog(makeLog("b"), "G", 1));
    EXPECT_TRUE(movedAside("Logs.sqlite", outside));
    EXPECT_EQ(tags(load(*store, "G", 10)), std::vector<std::string>{"b"});
    const auto journalTarget = home.sdkDirectory().parent_path() / "journal";
    std::ofstream(journalTarget) << "not a journal";
    std::filesystem::create_symlink(journalTarget, home.sdkDirectory() / "Logs.sqlite-journal");
    ASSERT_TRUE(store->saveLog(makeLog("c"), "G", 1));
    EXPECT_TRUE(movedAside("Logs.sqlite-journal", journalTarget));
    EXPECT_EQ(bytes(journalTarget), "not a journal");
    EXPECT_EQ(bytes(outside), before);
    EXPECT_EQ(db("SELECT count(*) FROM logs"), "2");
    EXPECT_EQ(linkLines(), 3u);

    // Opened directly, a link is refused, whatever the caller checked before.
    std::filesystem::create_symlink(outside, home.sdkDirectory() / "direct.sqlite");
    int result = SQLITE_OK;
    sqlite3 *direct = BCDBStorage::openDatabaseAtFileURL(
        platform::URL::fileURLWithPath((home.sdkDirectory() / "direct.sqlite").string()), &result);
    EXPECT_EQ(direct, nullptr);
    sqlite3_close(direct);
    EXPECT_EQ(result & 0xFF, SQLITE_CANTOPEN);
    EXPECT_TRUE(bytes(outside) == before);

    // A copy of the SDK's folder made with hard links, as `cp -al`, snapshot
    // and deduplicating tools make it: the file (with its logs), a journal
    // and the sending lock each have exactly one other name. Found when the
    // folder is made private at start: each becomes a private copy of its
    // own holding what it held, with one line for all; the other names keep
    // their files byte for byte, never chmodded nor written.
    const auto mode = [](const std::filesystem::path &path) {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
    };
    const auto snapshot = home.sdkDirectory().parent_path() / "snapshot";
    std::filesystem::create_directories(snapshot);
    store.reset();
    std::ofstream(home.sdkDirectory() / "Logs.sqlite-journal") << "a journal";
    std::ofstream(home.sdkDirectory() / "Logs.sqlite.lock").close();
    std::map<std::string, std::string> kept;
    for (const std::string name : {"Logs.sqlite", "Logs.sqlite-journal", "Logs.sqlite.lock"}) {
        ASSERT_EQ(::chmod((home.sdkDirectory() / name).c_str(), 0644), 0);
        std::filesystem::create_hard_link(home.sdkDirectory() / name, snapshot / name);
        kept[name] = bytes(snapshot / name);
    }
    const auto untouched = [&](const std::filesystem::path &folder) {
        for (const auto &[name, before] : kept) {
            EXPECT_EQ(bytes(folder / name), before) << name;
            EXPECT_EQ(mode(folder / name), 0644) << name;
            EXPECT_EQ(std::filesystem::hard_link_count(folder / name), 1u) << name;
        }
    };
    const auto hardLinkLines = [&] {
        std::vector<std::string> found;
        for (const auto &[level, text] : home.log.lines())
            if (level == BCLogLevelAssert && text.find("hard links") != std::string::npos) found.push_back(text);
        return found;
    };
    home.log.clear();
    BCUtility::setBeaconDirectoryURLForTesting(home.sdkDirectory());
    store = BCLogDBStorage::make();
    ASSERT_TRUE(store->saveLog(makeLog("d"), "G", 1));
    EXPECT_TRUE(store->acquireSendingLock());
    store->releaseSendingLock();
    untouched(snapshot);
    EXPECT_EQ(tags(load(*store, "G", 10)), (std::vector<std::string>{"b", "c", "d"}));
    for (const char *name : {"Logs.sqlite", "Logs.sqlite.lock"}) {
        EXPECT_EQ(std::filesystem::hard_link_count(home.sdkDirectory() / name), 1u) << name;
        EXPECT_EQ(mode(home.sdkDirectory() / name), 0600) << name;
    }
    EXPECT_EQ(hardLinkLines(),
              std::vector<std::string>{"3 file(s) in " + home.sdkDirectory().string() +
                                       " had other hard links (Logs.sqlite, Logs.sqlite-journal, Logs.sqlite.lock), "
                                       "so they were someone else's files too; each is now a private copy of its own "
                                       "under its name, holding what it held, and the other names keep their files, "
                                       "untouched."});

    // Linked again while the store is in use: taken back before the next
    // opening, and before the lock is taken. A lock file too large to be
    // ours is not copied: set aside instead, and a fresh one made.
    const auto second = home.sdkDirectory().parent_path() / "second";
    std::filesystem::create_directories(second);
    kept.erase("Logs.sqlite-journal");
    for (const std::string name : {"Logs.sqlite", "Logs.sqlite.lock"}) {
        ASSERT_EQ(::chmod((home.sdkDirectory() / name).c_str(), 0644), 0);
        std::filesystem::create_hard_link(home.sdkDirectory() / name, second / name);
        kept[name] = bytes(second / name);
    }
    home.log.clear();
    ASSERT_TRUE(store->saveLog(makeLog("e"), "G", 1));
    EXPECT_TRUE(store->acquireSendingLock());
    store->releaseSendingLock();
    untouched(second);
    EXPECT_EQ(db("SELECT count(*) FROM logs"), "4");
    const auto large = home.sdkDirectory().parent_path() / "large";
    std::ofstream(large) << std::string(5000, 'x');
    std::filesystem::remove(home.sdkDirectory() / "Logs.sqlite.lock");
    std::filesystem::create_hard_link(large, home.sdkDirectory() / "Logs.sqlite.lock");
    EXPECT_TRUE(store->acquireSendingLock());
    store->releaseSendingLock();
    EXPECT_TRUE(std::filesystem::equivalent(home.sdkDirectory() / "Logs.sqlite.lock.hardlink", large));
    EXPECT_EQ(std::filesystem::hard_link_count(home.sdkDirectory() / "Logs.sqlite.lock"), 1u);
    EXPECT_EQ(std::filesystem::file_size(large), 5000u);
    const std::string lock = (home.sdkDirectory() / "Logs.sqlite.lock").string();
    EXPECT_EQ(
        hardLinkLines(),
        (std::vector<std::string>{
            "The database \"" + home.logsFile().string() + "\" had other hard links (" + home.logsFile().string() +
                "), so it was someone else's file too; it is now a private copy of its own, holding what it "
                "held, and the other names keep their files, untouched.",
            "The sending lock \"" + lock +
                "\" had other hard links, so it was someone else's file too; it is now a private copy of its "
                "own, and the other names keep their file, untouched.",
            "The sending lock \"" + lock +
                "\" has other hard links and couldn't be copied (File too large), so it is not used; it is "
                "moved to \"" +
                lock + ".hardlink\" and made anew."}));

    // The SDK's folder below a link (a home reached through a link): the
    // store opens and keeps logs.
    const auto real = home.sdkDirectory().parent_path() / "real";
    const auto linked = home.sdkDirectory().parent_path() / "linked";
    std::filesystem::create_directories(real);
    std::filesystem::create_directory_symlink(real, linked);
    store.reset();
    BCUtility::setBeaconDirectoryURLForTesting(linked / "sdk");
    home.log.clear();
    store = BCLogDBStorage::make();
    EXPECT_TRUE(store->saveLog(makeLog("e"), "G", 1));
    EXPECT_EQ(sql(real / "sdk" / "Logs.sqlite", "SELECT count(*) FROM logs"), "1");
    EXPECT_EQ(tags(load(*store, "G", 10)), std::vector<std::string>{"e"});
    for (const auto &[level, text] : home.log.lines()) EXPECT_LT(level, BCLogLevelWarning) << text;
    store.reset();
    BCUtility::setBeaconDirectoryURLForTesting(home.sdkDirectory());
}

// A lock file that cannot be used lets sending go on, and says so once at
// the level shown by default: again only when the cause changes or after it
// could be used.
TEST_F(BCLogDBStorageTests, AnUnusableSendingLockIsSaidOnceUntilItChanges) {
    const auto lock = home.sdkDirectory() / "Logs.sqlite.lock";
    const auto warnings = [&] {
        size_t count = 0;
        for (const auto &[level, text] : home.log.lines())
            if (level == BCLogLevelAssert &&
                text.rfind("Cannot use the sending lock \"" + lock.string() + "\"", 0) == 0)
                ++count;
        return count;
    };
    const auto send = [](BCLogDBStorage &storage) {
        EXPECT_TRUE(storage.acquireSendingLock());
        storage.releaseSendingLock();
    };
    std::filesystem::create_directory(lock);
    auto second = BCLogDBStorage::make();
    for (int i = 0; i < 3; ++i) {
        send(*store);
        send(*second);
    }
    EXPECT_EQ(warnings(), 1u);
    EXPECT_TRUE(home.log.contains(BCLogLevelAssert, "Cannot use the sending lock \"" + lock.string() +
                                                        "\" (Is a directory): sending without it, so another "
                                                        "running copy of the application may send the same logs "
                                                        "again."));

    std::filesystem::remove(lock);
    std::filesystem::create_symlink(home.sdkDirectory() / "elsewhere", lock);
    send(*store);
    send(*second);
    EXPECT_EQ(warnings(), 2u);
    EXPECT_FALSE(std::filesystem::exists(home.sdkDirectory() / "elsewhere"));

    std::filesystem::remove(lock);
    send(*store);
    std::filesystem::remove(lock);
    std::filesystem::create_symlink(home.sdkDirectory() / "elsewhere", lock);
    send(*store);
    EXPECT_EQ(warnings(), 3u);
}

// A store that can only be read says so once, with its path, at the level
// shown by default, however many writes fail; again when it can be written.
TEST_F(BCLogDBStorageTests, AReadOnlyStoreIsSaidOnceWithItsPath) {
    ASSERT_TRUE(store->saveLog(makeLog("kept"), "G", 1));
    ASSERT_EQ(::chmod(home.logsFile().c_str(), 0400), 0);
    home.log.clear();
    // On a thread of its own without the capability to override file
    // permissions (capabilities are per thread): read-only for root too.
    std::thread([&] {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[2]{};
        if (::syscall(SYS_capget, &header, data) == 0) {
            data[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
            ASSERT_EQ(::syscall(SYS_capset, &header, data), 0);
        }
        for (int i = 0; i < 5; ++i) EXPECT_FALSE(store->saveLog(makeLog("x"), "G", 1));
        EXPECT_EQ(store->saveLogsWithResults({{makeLog("y"), "G", 1}, {makeLog("z"), "G", 1}}),
                  std::vector<BCStorageSaveResult>(2, BCStorageSaveResult::Failed));
        const auto batch = load(*store, "G", 10);
        EXPECT_EQ(tags(batch), std::vector<std::string>{"kept"});
        if (batch.batchId) store->deleteLogsWithBatchId(*batch.batchId, "G");
        EXPECT_EQ(store->countLogs(), 1u);
    }).join();
    const std::string line = "Cannot write to the database \"" + home.logsFile().string() +
                             "\" (SQLite result 8: attempt to write a readonly database): logs are not kept until it "
                             "can be written. Said again only if this changes.";
    std::vector<std::string> shown;
    for (const auto &[level, text] : home.log.lines())
        if (level >= BCLogLevelWarning) shown.push_back(text);
    EXPECT_EQ(shown, std::vector<std::string>{line});
    EXPECT_TRUE(home.log.contains(BCLogLevelAssert, line));

    ASSERT_EQ(::chmod(home.logsFile().c_str(), 0600), 0);
    EXPECT_TRUE(store->saveLog(makeLog("w"), "G", 1));
    EXPECT_TRUE(home.log.contains(BCLogLevelAssert, "The database \"" + home.logsFile().string() +
                                                        "\" can be written again: logs are kept again."));
}

TEST_F(BCLogDBStorageTests, OneProcessAtATimeHoldsTheSendingLock) {
    // Stores of one process share the lock.
    auto second = BCLogDBStorage::make();
    ASSERT_TRUE(store->acquireSendingLock());
    EXPECT_TRUE(second->acquireSendingLock());
    store->releaseSendingLock();

    int toChild[2], fromChild[2];
    ASSERT_EQ(pipe(toChild), 0);
    ASSERT_EQ(pipe(fromChild), 0);
    auto other = [&](bool expectHeld) {
        pid_t child = fork();
        if (child == 0) {
            // Another running application on the same store.
            auto childStore = BCLogDBStorage::make();
            char answer = childStore->acquireSendingLock() ? 'y' : 'n';
            if (write(fromChild[1], &answer, 1) != 1) _exit(3);
            // Holds what it took until the parent lets it go.
            char go;
            if (read(toChild[0], &go, 1) != 1) _exit(4);
            _exit(0);
        }
        char answer = 0;
        EXPECT_EQ(read(fromChild[0], &answer, 1), 1);
        EXPECT_EQ(answer, expectHeld ? 'y' : 'n');
        return child;
    };
    // While this process holds it, the other may not send.
    pid_t first = other(false);
    ASSERT_EQ(write(toChild[1], "x", 1), 1);
    int status = 0;
    waitpid(first, &status, 0);
    EXPECT_EQ(status, 0);

    // Given back by its last holder here, the other takes it; this process
    // waits until the other ends.
    second->releaseSendingLock();
    pid_t holder = other(true);
    EXPECT_FALSE(store->acquireSendingLock());
    EXPECT_FALSE(second->acquireSendingLock());
    ASSERT_EQ(write(toChild[1], "x", 1), 1);
    waitpid(holder, &status, 0);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(store->acquireSendingLock());
    store->releaseSendingLock();
    for (int fd : {toChild[0], toChild[1], fromChild[0], fromChild[1]}) close(fd);
}

TEST_F(BCLogDBStorageTests, AcknowledgedSavesSurviveKill9) {
    store.reset();
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(pipeFds[0]);
        auto childStore = BCLogDBStorage::make();
        for (int i = 0; i < 100000; ++i) {
            if (!childStore->saveLog(makeLog("k" + std::to_string(i)), "G", 1)) _exit(3);
            if (write(pipeFds[1], &i, sizeof i) != sizeof i) _exit(4);
        }
        _exit(0);
    }
    close(pipeFds[1]);
    int last = -1;
    int value;
    while (last < 40 && read(pipeFds[0], &value, sizeof value) == sizeof value) last = value;
    kill(child, SIGKILL);
    while (read(pipeFds[0], &value, sizeof value) == sizeof value) last = value;
    close(pipeFds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_GE(last, 40);

    EXPECT_EQ(db("PRAGMA integrity_check"), "ok");
    store = BCLogDBStorage::make();
    auto batch = load(*store, "G", 200000);
    ASSERT_GE(batch.logs.size(), static_cast<size_t>(last + 1));
    for (int i = 0; i <= last; ++i) EXPECT_EQ(tagOf(batch.logs[i]), "k" + std::to_string(i));
}

TEST_F(BCLogDBStorageTests, RealDiskFullIsReportedAndLeavesTheFileSound) {
    auto mount = home.sdkDirectory().parent_path() / "small";
    std::filesystem::create_directories(mount);
    int status = storagetest::runChildTest("BCLogDBStorageChild.FillsASmallDisk",
                                           "env PLOTWICK_SMALL_DISK='" + mount.string() +
                                               "' unshare -rm sh -c 'mount -t tmpfs -o size=64k none \"" +
                                               mount.string() + "\" && exec \"$0\" \"$@\"'");
    if (status == 77) GTEST_SKIP() << "no user and mount namespaces here";
    EXPECT_EQ(status, 0);
}

TEST(BCLogDBStorageChild, FillsASmallDisk) {
    if (!storagetest::isChild()) GTEST_SKIP() << "runs in a child process";
    const char *dir = std::getenv("PLOTWICK_SMALL_DISK");
    if (!dir) exit(77);
    modeltest::SdkHome home;
    modeltest::LogCapture log;
    BCUtility::setBeaconDirectoryURLForTesting(dir);
    auto store = BCLogDBStorage::make();
    int saved = 0;
    while (store->saveLog(makeLog("d", 4000), "G", 1)) {
        if (++saved > 1000) exit(2);
    }
    bool fullLine = false;
    for (const auto &[level, text] : log.lines())
        if (level == BCLogLevelDebug && text.rfind("Query failed with error: 13", 0) == 0) fullLine = true;
    if (!fullLine) exit(3);
    std::string check = sql(std::filesystem::path(dir) / "Logs.sqlite", "PRAGMA integrity_check");
    exit(check == "ok" ? 0 : 4);
}
