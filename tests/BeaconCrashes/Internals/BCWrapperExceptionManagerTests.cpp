#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <thread>

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

std::shared_ptr<BCErrorReport> report(const std::string &id, uint64_t pid) {
    return std::make_shared<BCErrorReport>(id, std::nullopt, "SIGSEGV", std::nullopt, std::nullopt, std::nullopt,
                                           std::nullopt, nullptr, pid);
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

TEST(BCWrapperExceptionManager, ExceptionWithoutProcessIdMatchesNoReport) {
    crashestest::SdkDirectory dir;
    BCWrapperExceptionManager::saveWrapperException(wrapper("no pid", std::nullopt));
    BCWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport({report("P0", 0)});
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "crasheswrapperexceptions/P0"));
    EXPECT_EQ(typeOf(BCWrapperExceptionManager::loadWrapperExceptionWithUUIDString("P0")), "(none)");
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "crasheswrapperexceptions/last_saved_wrapper_exception"));
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
