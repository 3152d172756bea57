#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>

#include "BCErrorReport.h"
#include "BCWrapperException.h"
#include "BCWrapperExceptionManager.h"
#include "BeaconCrashes/CrashesTestSupport.h"

namespace {

std::shared_ptr<BCWrapperException> wrapper(const std::string &type, std::optional<uint64_t> pid) {
    auto w = std::make_shared<BCWrapperException>();
    w->modelException = std::make_shared<BCException>();
    w->modelException->type = type;
    w->exceptionData = platform::Data{1, 2, 3};
    w->processId = pid;
    return w;
}

std::shared_ptr<BCErrorReport> report(const std::string &id, uint64_t pid,
                                      std::optional<platform::Date> started = std::nullopt,
                                      std::optional<platform::Date> crashed = std::nullopt) {
    return std::make_shared<BCErrorReport>(id, std::nullopt, "SIGSEGV", std::nullopt, std::nullopt, started, crashed,
                                           nullptr, pid);
}

// Saves the last wrapper exception as if written at `saved` (the file's
// modification time).
void saveAt(const std::filesystem::path &sdk, const std::string &type, std::optional<uint64_t> pid,
            const platform::Date &saved) {
    BCWrapperExceptionManager::saveWrapperException(wrapper(type, pid));
    const double at = saved.timeIntervalSince1970();
    const struct timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(at), 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (sdk / "crasheswrapperexceptions/last_saved_wrapper_exception").c_str(), times, 0),
              0);
}

bool hasLine(modeltest::LogCapture &capture, const std::string &start, const std::string &end) {
    const auto lines = capture.lines();
    return std::any_of(lines.begin(), lines.end(), [&](const auto &line) {
        return line.first == BCLogLevelWarning && line.second.rfind(start, 0) == 0 &&
               line.second.size() >= end.size() &&
               line.second.compare(line.second.size() - end.size(), end.size(), end) == 0;
    });
}

std::string typeOf(const std::shared_ptr<BCWrapperException> &w) {
    return w && w->modelException && w->modelException->type ? *w->modelException->type : "(none)";
}

}  // namespace

TEST(BCWrapperExceptionManager, SaveOverwritesAndCorrelatesToTheFirstReportOfTheProcess) {
    crashestest::SdkDirectory dir;
    BCWrapperExceptionManager::saveWrapperException(wrapper("first", 77));
    BCWrapperExceptionManager::saveWrapperException(wrapper("second", 77));
    EXPECT_EQ(typeOf(BCWrapperExceptionManager::loadWrapperExceptionWithBaseFilename("last_saved_wrapper_exception")),
              "second");

    BCWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport(
        {report("R0", 5), report("R1", 77), report("R2", 77)});
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "crasheswrapperexceptions/last_saved_wrapper_exception"));
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "crasheswrapperexceptions/R1"));
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "crasheswrapperexceptions/R2"));
    EXPECT_EQ(typeOf(BCWrapperExceptionManager::loadWrapperExceptionWithUUIDString("R2")), "(none)");

    // The cached exception outlives its file.
    BCWrapperExceptionManager::deleteWrapperExceptionWithUUIDString("R1");
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "crasheswrapperexceptions/R1"));
    EXPECT_EQ(typeOf(BCWrapperExceptionManager::loadWrapperExceptionWithUUIDString("R1")), "second");

    BCWrapperExceptionManager::saveWrapperException(wrapper("x", 1), "other");
    BCWrapperExceptionManager::deleteAllWrapperExceptions();
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "crasheswrapperexceptions"));
}

TEST(BCWrapperExceptionManager, OnlyAProcessRunningWhenItWasSavedGetsTheException) {
    crashestest::SdkDirectory dir;
    modeltest::LogCapture capture;
    const auto lastSaved = dir.path() / "crasheswrapperexceptions/last_saved_wrapper_exception";
    const auto start = platform::Date::fromTimeIntervalSince1970(1700000000);
    const auto exists = [&](const std::string &id) {
        return std::filesystem::exists(dir.path() / "crasheswrapperexceptions" / id);
    };

    // Process ids repeat: saved an hour before the crashed process of the
    // same id started, it is an earlier process's, and goes with a line.
    // Not tied to the report `id`, deleted, and said in a line that starts
    // with `why`.
    const auto notAttached = [&](const std::string &id, const std::string &why) {
        EXPECT_FALSE(exists(id));
        EXPECT_EQ(typeOf(BCWrapperExceptionManager::loadWrapperExceptionWithUUIDString(id)), "(none)");
        EXPECT_FALSE(std::filesystem::exists(lastSaved));
        EXPECT_TRUE(hasLine(capture, why, "it is not attached to it and is deleted.")) << why;
    };
    saveAt(dir.path(), "stale", 9, start.dateByAddingTimeInterval(-3600));
    BCWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport({report("S", 9, start)});
    notAttached("S",
                "The wrapper exception saved at 2023-11-14 21:13:20 +0000 by process 9 is older than the crash "
                "report S of that process id (started 2023-11-14 22:13:20 +0000)");

    // The start is kept in whole seconds: a second's allowance, no more.
    saveAt(dir.path(), "too early", 9, start.dateByAddingTimeInterval(-2));
    BCWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport({report("E", 9, start)});
    EXPECT_FALSE(exists("E"));
    saveAt(dir.path(), "within a second", 9, start.dateByAddingTimeInterval(-1));
    BCWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport({report("W", 9, start)});
    EXPECT_EQ(typeOf(BCWrapperExceptionManager::loadWrapperExceptionWithUUIDString("W")), "within a second");

    // Of the processes of that id running at the save, the one started last;
    // one started after it, and one that had crashed before it, are skipped.
    saveAt(dir.path(), "latest", 9, start);
    BCWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport(
        {report("Old", 9, start.dateByAddingTimeInterval(-7200)),
         report("Later", 9, start.dateByAddingTimeInterval(60)), report("New", 9, start.dateByAddingTimeInterval(-60)),
         report("Gone", 9, start.dateByAddingTimeInterval(-30), start.dateByAddingTimeInterval(-10)),
         report("Other", 8, start)});
    EXPECT_EQ(typeOf(BCWrapperExceptionManager::loadWrapperExceptionWithUUIDString("New")), "latest");
    for (const char *id : {"Old", "Later", "Gone", "Other"}) EXPECT_FALSE(exists(id)) << id;

    // Saved by a later launch of the same id (each one pid 1 in its own PID
    // namespace) after the report's process had crashed: not its own, and
    // goes with a line. The crash time is kept in whole seconds too: a
    // second's allowance, no more.
    const auto crashed = start.dateByAddingTimeInterval(60);
    saveAt(dir.path(), "a later launch's", 1, start.dateByAddingTimeInterval(3600));
    BCWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport({report("C", 1, start, crashed)});
    notAttached("C",
                "The wrapper exception saved at 2023-11-14 23:13:20 +0000 by process 1 is newer than the crash "
                "report C of that process id (crashed 2023-11-14 22:14:20 +0000)");
    saveAt(dir.path(), "too late", 1, crashed.dateByAddingTimeInterval(2));
    BCWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport({report("L", 1, start, crashed)});
    EXPECT_FALSE(exists("L"));
    saveAt(dir.path(), "at the crash", 1, crashed.dateByAddingTimeInterval(1));
    BCWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport({report("A", 1, start, crashed)});
    EXPECT_EQ(typeOf(BCWrapperExceptionManager::loadWrapperExceptionWithUUIDString("A")), "at the crash");

    // No report of its process id, or no process id at all: deleted, with a
    // line.
    saveAt(dir.path(), "lonely", 9, start);
    BCWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport({report("Other", 8, start)});
    EXPECT_FALSE(std::filesystem::exists(lastSaved));
    EXPECT_TRUE(hasLine(capture,
                        "The wrapper exception saved at 2023-11-14 22:13:20 +0000 by process 9 matches no "
                        "crash report; it is deleted.",
                        ""));
    BCWrapperExceptionManager::saveWrapperException(wrapper("no pid", std::nullopt));
    BCWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport({report("P0", 0)});
    EXPECT_FALSE(exists("P0"));
    EXPECT_EQ(typeOf(BCWrapperExceptionManager::loadWrapperExceptionWithUUIDString("P0")), "(none)");
    EXPECT_FALSE(std::filesystem::exists(lastSaved));
    EXPECT_TRUE(hasLine(capture, "The wrapper exception saved at ",
                        "has no process id: it is tied to no crash report "
                        "and is deleted."));
}

TEST(BCWrapperExceptionManager, UndecodableFileIsLoggedAndDeleted) {
    crashestest::SdkDirectory dir;
    modeltest::LogCapture capture;
    std::filesystem::create_directories(dir.path() / "crasheswrapperexceptions");
    {
        std::ofstream out(dir.path() / "crasheswrapperexceptions/broken");
        out << "not an archive";
    }
    EXPECT_EQ(BCWrapperExceptionManager::loadWrapperExceptionWithBaseFilename("broken"), nullptr);
    EXPECT_TRUE(
        capture.contains(BCLogLevelError, "Could not read exception data stored on disk with file name broken"));
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "crasheswrapperexceptions/broken"));

    // Not read at all, and gone the same way: a FIFO (a plain open would
    // block), a link (what it points to is kept), a sparse file far larger
    // than any wrapper exception.
    const auto folder = dir.path() / "crasheswrapperexceptions";
    BCWrapperExceptionManager::saveWrapperException(wrapper("kept", 1), "target");
    ASSERT_EQ(::mkfifo((folder / "fifo").c_str(), 0600), 0);
    std::filesystem::create_symlink(folder / "target", folder / "link");
    std::ofstream(folder / "huge").close();
    std::filesystem::resize_file(folder / "huge", 16 * 1024 * 1024 + 1);
    for (const std::string name : {"fifo", "link", "huge"}) {
        EXPECT_EQ(BCWrapperExceptionManager::loadWrapperExceptionWithBaseFilename(name), nullptr) << name;
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(folder / name))) << name;
        const auto lines = capture.lines();
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const auto &line) {
            return line.first == BCLogLevelError &&
                   line.second.rfind(
                       "Could not read the wrapper exception stored on disk with file name " + name + ": ", 0) == 0;
        })) << name;
    }
    EXPECT_EQ(typeOf(BCWrapperExceptionManager::loadWrapperExceptionWithBaseFilename("target")), "kept");

    // A folder in a file's place is not ours: set aside whole, with a line at
    // the level shown before the application sets one.
    std::filesystem::create_directories(folder / "dir/inside");
    EXPECT_EQ(BCWrapperExceptionManager::loadWrapperExceptionWithBaseFilename("dir"), nullptr);
    EXPECT_TRUE(std::filesystem::is_directory(folder / "dir.notours/inside"));
    EXPECT_TRUE(capture.contains(BCLogLevelAssert,
                                 "The wrapper exception dir is a folder, not ours; it is set aside as dir.notours."));
}

TEST(BCWrapperExceptionManager, BaseNamesThatAreNotOneFileNameAreRefused) {
    crashestest::SdkDirectory dir;
    modeltest::LogCapture capture;
    std::filesystem::create_directories(dir.path() / "keep");
    for (const std::string name : {"..", ".", "", "../keep", "a/b"}) {
        BCWrapperExceptionManager::saveWrapperException(wrapper("x", 1), name);
        EXPECT_EQ(BCWrapperExceptionManager::loadWrapperExceptionWithBaseFilename(name), nullptr) << name;
        BCWrapperExceptionManager::deleteWrapperExceptionWithBaseFilename(name);
        EXPECT_TRUE(capture.contains(BCLogLevelError, "Invalid wrapper exception file name: " + name)) << name;
    }
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "keep"));
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "crasheswrapperexceptions/a"));
}

TEST(BCWrapperExceptionManager, CacheIsSafeFromManyThreads) {
    crashestest::SdkDirectory dir;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 20; ++i) {
                const std::string id = "T" + std::to_string(t) + "-" + std::to_string(i);
                BCWrapperExceptionManager::saveWrapperException(wrapper(id, 100 + t), id + "-saved");
                BCWrapperExceptionManager::loadWrapperExceptionWithUUIDString(id);
            }
        });
    }
    BCWrapperExceptionManager::saveWrapperException(wrapper("main", 9));
    BCWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport({report("M", 9)});
    for (auto &t : threads) t.join();
    EXPECT_EQ(typeOf(BCWrapperExceptionManager::loadWrapperExceptionWithUUIDString("M")), "main");
}
