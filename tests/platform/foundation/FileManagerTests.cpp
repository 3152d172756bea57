// The file manager in a temporary home: standard directories, creation,
// listing (links are not regular files), removal, reading and writing.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/foundation/FileManager.h"
#include "support/ForkedChild.h"
#include "support/TestSupport.h"

using namespace platform;
namespace fs = std::filesystem;

namespace {

class FileManagerTest : public ::testing::Test {
protected:
    void expectPosixError(const ErrorPtr &error, int code, const fs::path &path) {
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain(), kPOSIXErrorDomain);
        EXPECT_EQ(error->code(), code);
        auto it = error->userInfo().find(kFilePathErrorKey);
        ASSERT_NE(it, error->userInfo().end());
        EXPECT_EQ(it->second, Value(path.string()));
    }

    testsupport::TemporaryHome home;
    std::shared_ptr<FileManager> fm = FileManager::defaultManager();
};

}  // namespace

TEST_F(FileManagerTest, StandardDirectoriesFollowTheXdgVariables) {
    using D = FileManager::SearchPathDirectory;
    EXPECT_EQ(FileManager::URLForDirectory(D::ApplicationSupport), home.path() / ".local/share");
    EXPECT_EQ(FileManager::URLForDirectory(D::Caches), home.path() / ".cache");
    EXPECT_EQ(FileManager::URLForDirectory(D::Preferences), home.path() / ".config");
    // Unset or relative values fall back to the home directory.
    unsetenv("XDG_DATA_HOME");
    setenv("XDG_CACHE_HOME", "relative/cache", 1);
    EXPECT_EQ(FileManager::URLForDirectory(D::ApplicationSupport), home.path() / ".local/share");
    EXPECT_EQ(FileManager::URLForDirectory(D::Caches), home.path() / ".cache");
    setenv("XDG_DATA_HOME", "/elsewhere/data", 1);
    EXPECT_EQ(FileManager::URLForDirectory(D::ApplicationSupport), fs::path("/elsewhere/data"));
}

TEST_F(FileManagerTest, CreatesDirectoriesAndReportsPosixErrorsWithThePath) {
    fs::path deep = home.path() / "a" / "b" / "c";
    ErrorPtr error;
    EXPECT_FALSE(fm->createDirectory(deep, false, &error));
    expectPosixError(error, ENOENT, deep);
    EXPECT_TRUE(fm->createDirectory(deep, true));
    bool isDirectory = false;
    EXPECT_TRUE(fm->fileExists(deep, &isDirectory));
    EXPECT_TRUE(isDirectory);
    // Existing: fine with intermediates, an error without.
    EXPECT_TRUE(fm->createDirectory(deep, true));
    error.reset();
    EXPECT_FALSE(fm->createDirectory(deep, false, &error));
    expectPosixError(error, EEXIST, deep);
    // A file in the way.
    fs::path file = home.path() / "a" / "file";
    ASSERT_TRUE(fm->writeData(Data{1}, file, false));
    EXPECT_FALSE(fm->createDirectory(file / "below", true, &error));
    EXPECT_TRUE(error);
    EXPECT_FALSE(fm->createDirectory(file, true, &error));
    EXPECT_TRUE(fm->setExcludedFromBackup(deep, true));
}

TEST_F(FileManagerTest, WritesAndReadsAtomicallyOrNot) {
    fs::path file = home.path() / "data.bin";
    Data payload(100000);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7);
    ASSERT_TRUE(fm->writeData(payload, file, true));
    EXPECT_EQ(fm->contentsAtPath(file), payload);
    ASSERT_EQ(chmod(file.c_str(), 0640), 0);
    ASSERT_TRUE(fm->writeData(Data{9}, file, true));
    EXPECT_EQ(fm->contentsAtPath(file), Data{9});
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "a replaced file keeps its mode less the group's and others' bits";
    ASSERT_EQ(chmod(file.c_str(), 0400), 0);
    ASSERT_TRUE(fm->writeData(Data{8}, file, true));
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0400u) << "a replaced file is never widened";
    ASSERT_EQ(chmod(file.c_str(), 0644), 0);
    ASSERT_TRUE(fm->writeData(Data{7}, file, false));
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_TRUE(fm->writeData(Data{}, file, false));
    EXPECT_EQ(fm->contentsAtPath(file), Data{});

    ErrorPtr error;
    fs::path missing = home.path() / "no-such-dir" / "x";
    EXPECT_FALSE(fm->writeData(Data{1}, missing, true, &error));
    expectPosixError(error, ENOENT, missing);
    EXPECT_FALSE(fm->contentsAtPath(missing, &error));
    expectPosixError(error, ENOENT, missing);
    EXPECT_FALSE(fm->contentsAtPath(home.path(), &error));
    for (const auto &entry : fs::directory_iterator(home.path()))
        EXPECT_NE(entry.path().filename().string().rfind(".data.bin.", 0), 0u) << "temporary file left behind";
}

TEST_F(FileManagerTest, WhatItMakesIsPrivateWhateverTheUmask) {
    // An existing folder is never changed; what is made below it is 0700 and
    // 0600, with Debian's umask and with one that would make a folder
    // unusable. The umask is the process's: changed in a child only.
    fs::path shared = home.path() / "shared";
    ASSERT_EQ(mkdir(shared.c_str(), 0755), 0);
    ASSERT_EQ(chmod(shared.c_str(), 0755), 0);
    auto modeOf = [](const fs::path &path) {
        struct stat st {};
        return ::lstat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
    };
    auto result = testsupport::runInChild([&] {
        int failures = 0;
        for (mode_t mask : {mode_t(022), mode_t(0277)}) {
            ::umask(mask);
            fs::path top = shared / ("umask" + std::to_string(mask));
            if (!fm->createDirectory(top / "a" / "b", true)) return 100;
            if (!fm->createDirectory(top / "single", false)) return 101;
            if (!fm->writeData(Data{1}, top / "a" / "b" / "atomic", true)) return 102;
            if (!fm->writeData(Data{1}, top / "plain", false)) return 103;
            for (const fs::path &dir : {top, top / "a", top / "a" / "b", top / "single"})
                if (modeOf(dir) != 0700) failures++;
            for (const fs::path &file : {top / "a" / "b" / "atomic", top / "plain"})
                if (modeOf(file) != 0600) failures++;
        }
        return failures;
    });
    EXPECT_TRUE(result.exited && result.exitCode == 0) << result.exitCode << result.output;
    EXPECT_EQ(modeOf(shared), 0755);
}

TEST_F(FileManagerTest, ListingFlagsLinksAsNotRegularAndRemovalLeavesLinkTargets) {
    fs::path dir = home.path() / "list";
    ASSERT_TRUE(fm->createDirectory(dir / "sub", true));
    ASSERT_TRUE(fm->writeData(Data(42, 'x'), dir / "file", true));
    fs::create_symlink(dir / "file", dir / "link");
    fs::create_symlink(dir / "nowhere", dir / "dangling");
    fs::path outside = home.path() / "outside";
    ASSERT_TRUE(fm->createDirectory(outside, true));
    ASSERT_TRUE(fm->writeData(Data{1}, outside / "keep", false));
    fs::create_symlink(outside, dir / "dirlink");

    ErrorPtr error;
    auto entries = fm->contentsOfDirectory(dir, &error);
    ASSERT_TRUE(entries) << error->description();
    ASSERT_EQ(entries->size(), 5u);
    std::map<std::string, FileManager::DirectoryEntry> byName;
    for (const auto &e : *entries) byName[e.name] = e;
    EXPECT_TRUE(byName["file"].isRegularFile);
    EXPECT_EQ(byName["file"].size, 42u);
    EXPECT_EQ(byName["file"].url, dir / "file");
    EXPECT_FALSE(byName["link"].isRegularFile);
    EXPECT_FALSE(byName["dangling"].isRegularFile);
    EXPECT_FALSE(byName["dirlink"].isDirectory);
    EXPECT_TRUE(byName["sub"].isDirectory);
    EXPECT_FALSE(byName["sub"].isRegularFile);
    EXPECT_FALSE(fm->fileExists(dir / "dangling"));

    EXPECT_FALSE(fm->contentsOfDirectory(dir / "file", &error));
    expectPosixError(error, ENOTDIR, dir / "file");

    EXPECT_TRUE(fm->removeItem(dir / "dirlink"));
    EXPECT_TRUE(fm->fileExists(outside / "keep"));
    EXPECT_TRUE(fm->removeItem(dir));
    EXPECT_FALSE(fm->fileExists(dir));
    EXPECT_TRUE(fm->fileExists(outside / "keep"));
    EXPECT_FALSE(fm->removeItem(dir, &error));
    expectPosixError(error, ENOENT, dir);
}

TEST_F(FileManagerTest, SpecialFilesAreRefusedWithoutBlocking) {
    // A FIFO without a writer would hold a plain open (and a read) forever.
    fs::path fifo = home.path() / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ErrorPtr error;
    EXPECT_FALSE(fm->contentsAtPath(fifo, &error));
    expectPosixError(error, EINVAL, fifo);
    error.reset();
    EXPECT_FALSE(fm->writeData(Data{'x'}, fifo, false, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), kPOSIXErrorDomain);
    error.reset();
    EXPECT_FALSE(fm->contentsAtPath("/dev/zero", &error));
    expectPosixError(error, EINVAL, "/dev/zero");
    error.reset();
    EXPECT_FALSE(fm->contentsAtPath(home.path(), &error));
    expectPosixError(error, EISDIR, home.path());
    // A regular file is still replaced in place when not written atomically.
    fs::path file = home.path() / "plain";
    ASSERT_TRUE(fm->writeData(Data{'l', 'o', 'n', 'g'}, file, false));
    ASSERT_TRUE(fm->writeData(Data{'x'}, file, false));
    EXPECT_EQ(fm->contentsAtPath(file), Data{'x'});
}

TEST_F(FileManagerTest, SettingAsideNeverReplacesAnEntryNorSetsAsideTwice) {
    fs::path dir = home.path() / "aside";
    ASSERT_TRUE(fm->createDirectory(dir, true));
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    auto write = [&](const std::string &name, char byte) {
        ASSERT_TRUE(fm->writeData(Data{uint8_t(byte)}, dir / name, false));
    };
    auto byteOf = [&](const std::string &name) {
        auto data = fm->contentsAtPath(dir / name);
        return data && data->size() == 1 ? char((*data)[0]) : '?';
    };

    // Appended numbering: "<suffix>", "<suffix>1" ...; an earlier one is kept.
    write("store", 'a');
    EXPECT_EQ(FileManager::setAsideEntry(fd, "store", FileManager::kHardLinkSuffix), "store.hardlink");
    write("store", 'b');
    EXPECT_EQ(FileManager::setAsideEntry(fd, "store", FileManager::kHardLinkSuffix), "store.hardlink1");
    EXPECT_EQ(byteOf("store.hardlink"), 'a');
    EXPECT_EQ(byteOf("store.hardlink1"), 'b');

    // Dotted numbering, through a path; a link is moved itself, not its target.
    fs::create_symlink(dir / "store.hardlink", dir / "plist");
    write("plist.corrupt", 'c');
    EXPECT_EQ(FileManager::setAsideEntry(AT_FDCWD, (dir / "plist").string(), FileManager::kCorruptSuffix,
                                         FileManager::AsideNumbering::Dotted),
              (dir / "plist.corrupt.1").string());
    EXPECT_TRUE(fs::is_symlink(dir / "plist.corrupt.1"));
    EXPECT_EQ(byteOf("plist.corrupt"), 'c');
    EXPECT_EQ(byteOf("store.hardlink"), 'a');

    // Every name taken: nothing moves, nothing is replaced.
    write("full", 'f');
    for (const char *taken : {"full.notours", "full.notours1", "full.notours2", "full.notours3", "full.notours4",
                              "full.notours5", "full.notours6", "full.notours7", "full.notours8", "full.notours9"})
        write(taken, 't');
    errno = 0;
    EXPECT_FALSE(FileManager::setAsideEntry(fd, "full", FileManager::kNotOursSuffix));
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(byteOf("full"), 'f');
    EXPECT_EQ(byteOf("full.notours9"), 't');

    // An entry already set aside stays where it is.
    for (const char *aside : {"store.hardlink1", "full.notours", "plist.corrupt.1", "x.unstorable", "y.link"}) {
        EXPECT_TRUE(FileManager::isSetAsideName(aside)) << aside;
        if (!fs::exists(fs::symlink_status(dir / aside))) write(aside, 's');
        errno = 0;
        EXPECT_FALSE(FileManager::setAsideEntry(fd, aside, FileManager::kNotOursSuffix)) << aside;
        EXPECT_EQ(errno, EALREADY);
        EXPECT_TRUE(fs::exists(fs::symlink_status(dir / aside))) << aside;
    }
    for (const char *ours : {"live_report.bbcrash", ".notours", "Logs.sqlite", "a.corrupt.", "a.notoursx"})
        EXPECT_FALSE(FileManager::isSetAsideName(ours)) << ours;
    ::close(fd);
}

// A file of ours with a second name gets a private copy of its own under our
// name, flushed, with its times; the other name keeps the old file as it was.
// Anything else is left alone, and so is what cannot be copied.
TEST_F(FileManagerTest, TakingBackAHardLinkedFileCopiesItAndLeavesTheOtherNameAlone) {
    const fs::path dir = home.path() / "ours";
    const fs::path elsewhere = home.path() / "snapshot";
    ASSERT_TRUE(fm->createDirectory(dir, true));
    ASSERT_TRUE(fm->createDirectory(elsewhere, true));
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const auto statOf = [](const fs::path &path) {
        struct stat st {};
        EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
        return st;
    };
    // Each with exactly two names: ours, and one in the snapshot.
    const auto linked = [&](const std::string &name, const std::string &text) {
        std::ofstream(dir / name) << text;
        ::chmod((dir / name).c_str(), 0640);
        const struct timespec old[2] = {{1000000000, 5}, {1000000000, 7}};
        ::utimensat(AT_FDCWD, (dir / name).c_str(), old, 0);
        fs::create_hard_link(dir / name, elsewhere / name);
    };
    linked("store", "held");
    linked("empty.lock", "");
    linked("large", std::string(100, 'x'));
    linked("crash.corrupt", "aside");
    const struct stat before = statOf(elsewhere / "store");

    const uint64_t fileSyncs = FileManager::fileSynchronizationCount();
    const uint64_t directorySyncs = FileManager::directorySynchronizationCount();
    EXPECT_EQ(FileManager::takeBackHardLinkedEntry(fd, "store", 99), FileManager::TakeBack::TakenBack);
    EXPECT_EQ(FileManager::fileSynchronizationCount(), fileSyncs + 1);
    EXPECT_EQ(FileManager::directorySynchronizationCount(), directorySyncs + 1);
    const struct stat ours = statOf(dir / "store"), theirs = statOf(elsewhere / "store");
    EXPECT_EQ(fm->contentsAtPath(dir / "store"), (Data{'h', 'e', 'l', 'd'}));
    EXPECT_EQ(ours.st_mode & 07777, 0600u);
    EXPECT_EQ(ours.st_nlink, 1u);
    EXPECT_NE(ours.st_ino, before.st_ino);
    EXPECT_EQ(ours.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(ours.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(fm->contentsAtPath(elsewhere / "store"), (Data{'h', 'e', 'l', 'd'}));
    EXPECT_EQ(theirs.st_ino, before.st_ino);
    EXPECT_EQ(theirs.st_mode & 07777, 0640u);
    EXPECT_EQ(theirs.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(FileManager::takeBackHardLinkedEntry(fd, "store", 99), FileManager::TakeBack::NotNeeded);

    // Through a path; an empty file too.
    EXPECT_EQ(FileManager::takeBackHardLinkedEntry(AT_FDCWD, (dir / "empty.lock").string(), 0),
              FileManager::TakeBack::TakenBack);
    EXPECT_EQ(statOf(dir / "empty.lock").st_nlink, 1u);
    EXPECT_EQ(fs::file_size(dir / "empty.lock"), 0u);

    // Larger than asked, or set aside: left with both names.
    errno = 0;
    EXPECT_EQ(FileManager::takeBackHardLinkedEntry(fd, "large", 99), FileManager::TakeBack::Failed);
    EXPECT_EQ(errno, EFBIG);
    errno = 0;
    EXPECT_EQ(FileManager::takeBackHardLinkedEntry(fd, "crash.corrupt", 99), FileManager::TakeBack::Failed);
    EXPECT_EQ(errno, EALREADY);
    for (const char *name : {"large", "crash.corrupt"}) {
        EXPECT_TRUE(fs::equivalent(dir / name, elsewhere / name)) << name;
        EXPECT_EQ(statOf(dir / name).st_mode & 07777, 0640u) << name;
    }

    // A link to a file with two names, a folder, a FIFO, nothing: not ours to copy.
    fs::create_symlink(elsewhere / "large", dir / "link");
    fs::create_directory(dir / "folder");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    for (const char *name : {"link", "folder", "fifo", "missing"})
        EXPECT_EQ(FileManager::takeBackHardLinkedEntry(fd, name, 99), FileManager::TakeBack::NotNeeded) << name;
    EXPECT_TRUE(fs::is_symlink(dir / "link"));
    EXPECT_TRUE(fs::is_directory(dir / "folder"));
    EXPECT_TRUE(fs::is_fifo(dir / "fifo"));

    // No temporary file is left behind.
    size_t entries = 0;
    for (const auto &entry : fs::directory_iterator(dir)) entries += entry.path().filename().string()[0] == '.';
    EXPECT_EQ(entries, 0u);
    ::close(fd);
}
