// User defaults: the two domains, persistence across a relaunch and a crash,
// concurrent writers, and the file on disk.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sys/file.h>
#include <functional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "platform/foundation/UUID.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/foundation/UserDefaultsLifetime.h"
#include "platform/foundation/UserDefaultsMerge.h"
#include "platform/syslog/SystemLog.h"
#include "support/ForkedChild.h"
#include "support/Sanitizers.h"
#include "support/RunningChild.h"
#include "support/TestSupport.h"

using namespace platform;
namespace fs = std::filesystem;

namespace {

class UserDefaultsTest : public ::testing::Test {
protected:
    void SetUp() override { UserDefaults::resetStandardUserDefaults(); }
    void TearDown() override { UserDefaults::resetStandardUserDefaults(); }

    // The file as python3's plistlib sees it: "key=repr(value)" lines.
    static std::string readWithPython(const fs::path &file, const std::string &expression) {
        int code = -1;
        std::string out = testsupport::runCommand(
            "python3 -c \"import plistlib,sys; d=plistlib.load(open(sys.argv[1],'rb')); print(" + expression + ")\" " +
                file.string() + " 2>&1",
            &code);
        EXPECT_EQ(code, 0) << out;
        return out;
    }

    // The log lines written while it lives.
    struct CapturedLines {
        CapturedLines() {
            SystemLog::setSink([this](const std::string &line) {
                std::lock_guard<std::mutex> lock(mutex);
                lines.push_back(line);
            });
        }
        ~CapturedLines() { SystemLog::setSink(nullptr); }
        size_t count(const std::string &text) {
            std::lock_guard<std::mutex> lock(mutex);
            return std::count_if(lines.begin(), lines.end(),
                                 [&](const std::string &line) { return line.find(text) != std::string::npos; });
        }
        std::mutex mutex;
        std::vector<std::string> lines;
    };

    testsupport::TemporaryHome home;
};

// Whether the thread waits in the kernel for a futex (x86_64's system call
// 202): a forking thread, once its handlers wait for a lock another thread
// holds. Allocates nothing, as it runs while another thread forks.
bool waitsForAFutex(pid_t tid) {
    char path[64], text[16] = {};
    std::snprintf(path, sizeof path, "/proc/self/task/%d/syscall", static_cast<int>(tid));
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    return n > 4 && std::strncmp(text, "202 ", 4) == 0;
}

// Waits (at most 10 s) until the thread has started a fork that waits for
// a lock; false when the fork returned first.
bool forkWaits(const std::atomic<pid_t> &forker, const std::atomic<bool> &returned) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!returned && (forker == 0 || !waitsForAFutex(forker))) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return !returned;
}

// Defaults a forked child keeps to its very end: flushed by the exit handler,
// then destroyed among the static objects made before any defaults.
std::unique_ptr<UserDefaults> keptToTheEnd;
std::vector<std::unique_ptr<UserDefaults>> endedAtExit;

class Unarchivable : public Object {
    std::string className() const override { return "Unarchivable"; }
};

}  // namespace

TEST_F(UserDefaultsTest, ValuesSurviveARelaunchAndFallBackToTheRegistrationDomain) {
    auto defaults = UserDefaults::standardUserDefaults();
    EXPECT_EQ(defaults->filePath().parent_path(), home.path() / ".config");
    EXPECT_EQ(defaults->filePath().extension(), ".plist");

    defaults->registerDefaults({{"NSApplicationCrashOnExceptions", Value(true)}, {"Shared", Value("registered")}});
    EXPECT_EQ(defaults->objectForKey("NSApplicationCrashOnExceptions"), Value(true));
    EXPECT_TRUE(defaults->setObject(Value("stored"), "Shared"));
    EXPECT_EQ(defaults->objectForKey("Shared"), Value("stored"));

    Date when = Date::fromTimeIntervalSince1970(1765080393.5);
    EXPECT_TRUE(defaults->setObject(Value(false), "Flag"));
    EXPECT_TRUE(defaults->setObject(Value(7), "Count"));
    EXPECT_TRUE(defaults->setObject(Value(0.5), "Ratio"));
    EXPECT_TRUE(defaults->setObject(Value(Data{1, 2}), "Blob"));
    EXPECT_TRUE(defaults->setObject(Value(when), "When"));
    EXPECT_TRUE(defaults->setObject(Value(Array{Value("a"), Value(Dictionary{{"b", Value(1)}})}), "Nested"));
    EXPECT_TRUE(defaults->setObject(Value("gone soon"), "Temporary"));
    EXPECT_TRUE(defaults->removeObjectForKey("Temporary"));

    // Not property-list values: refused and not stored.
    EXPECT_FALSE(defaults->setObject(Value(UUID::random()), "Uuid"));
    EXPECT_FALSE(defaults->setObject(Value(Array{Value(std::make_shared<Unarchivable>())}), "Objects"));
    EXPECT_TRUE(defaults->objectForKey("Uuid").isNull());

    auto snapshot = defaults->dictionaryRepresentation();
    EXPECT_EQ(snapshot["Shared"], Value("stored"));
    EXPECT_EQ(snapshot["NSApplicationCrashOnExceptions"], Value(true));
    EXPECT_EQ(snapshot.count("Temporary"), 0u);

    UserDefaults::resetStandardUserDefaults();
    auto relaunched = UserDefaults::standardUserDefaults();
    ASSERT_NE(relaunched, defaults);
    // The registration domain lives in memory only.
    EXPECT_TRUE(relaunched->objectForKey("NSApplicationCrashOnExceptions").isNull());
    EXPECT_EQ(relaunched->objectForKey("Shared"), Value("stored"));
    EXPECT_TRUE(relaunched->objectForKey("Flag").isBool());
    EXPECT_FALSE(relaunched->boolForKey("Flag"));
    EXPECT_TRUE(relaunched->objectForKey("Count").isInteger());
    EXPECT_EQ(relaunched->integerForKey("Count"), 7);
    EXPECT_EQ(relaunched->doubleForKey("Ratio"), 0.5);
    EXPECT_EQ(relaunched->dataForKey("Blob"), (Data{1, 2}));
    EXPECT_EQ(relaunched->objectForKey("When"), Value(when));
    EXPECT_EQ(relaunched->objectForKey("Nested"), defaults->objectForKey("Nested"));
    EXPECT_TRUE(relaunched->objectForKey("Temporary").isNull());
    EXPECT_FALSE(relaunched->stringForKey("Count"));

    // Removing an application value uncovers the registered one again.
    relaunched->registerDefaults({{"Shared", Value("registered")}});
    relaunched->setObject(Value(), "Shared");
    EXPECT_EQ(relaunched->stringForKey("Shared"), "registered");
}

TEST_F(UserDefaultsTest, AValueSetJustBeforeACrashIsOnDisk) {
    fs::path file = home.path() / "crash" / "defaults.plist";
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        UserDefaults defaults(file);
        bool ok = defaults.setObject(Value("survives"), "Key");
        // Die at once: no destructors, no flushing of anything.
        if (ok) kill(getpid(), SIGKILL);
        _exit(3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child could not store the value";
    UserDefaults after(file);
    EXPECT_EQ(after.stringForKey("Key"), "survives");
    EXPECT_EQ(readWithPython(file, "d['Key']"), "survives\n");

    // A write killed half-way leaves its temporary file: the next start
    // removes it, and only what has exactly that name, unless another
    // process holds the lock (its write may be live).
    const fs::path dir = file.parent_path();
    const std::vector<std::string> stale = {".defaults.plist.Xy12Zq", ".defaults.plist.000000"};
    const std::vector<std::string> kept = {".defaults.plist.Xy12Z", ".defaults.plist.Xy12Zq9", ".defaults.plist.Xy-2Zq",
                                           ".other.plist.Xy12Zq",   "defaults.plist.Xy12Zq",   ".defaults.plist.lock"};
    for (const auto &name : stale) std::ofstream(dir / name) << "half";
    for (const auto &name : kept) std::ofstream(dir / name) << "other";
    fs::create_directory(dir / ".defaults.plist.Dir123");
    fs::create_symlink(dir / "defaults.plist", dir / ".defaults.plist.Lnk123");
    {
        // Held by another writer: nothing is removed.
        int held = open(after.lockFilePath().c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(held, 0);
        ASSERT_EQ(flock(held, LOCK_EX), 0);
        UserDefaults whileLocked(file);
        EXPECT_EQ(whileLocked.stringForKey("Key"), "survives");
        for (const auto &name : stale) EXPECT_TRUE(fs::exists(dir / name)) << name;
        close(held);
    }
    UserDefaults restarted(file);
    for (const auto &name : stale) EXPECT_FALSE(fs::exists(dir / name)) << name;
    for (const auto &name : kept) EXPECT_TRUE(fs::exists(dir / name)) << name;
    EXPECT_TRUE(fs::is_directory(dir / ".defaults.plist.Dir123"));
    EXPECT_TRUE(fs::is_symlink(dir / ".defaults.plist.Lnk123"));
    EXPECT_EQ(restarted.stringForKey("Key"), "survives");
}

// The fsyncs leave the caller's thread: a burst of changes costs one fsync
// of the file and one of its folder, run when the defaults are flushed (here
// at their destruction, else a moment after the burst), and the flush
// leaves a durable copy, ".<name>~", that a file torn by a power loss falls
// back to. A normal exit flushes too.
TEST_F(UserDefaultsTest, ABurstOfChangesCostsOneFlushAndATornFileFallsBackToTheFlushedCopy) {
    fs::path file = home.path() / "burst" / "defaults.plist";
    auto fileSyncs = [] { return FileManager::fileSynchronizationCount(); };
    auto dirSyncs = [] { return FileManager::directorySynchronizationCount(); };
    struct stat st {
    }, backup{};
    for (int round = 0; round < 2; ++round) {
        const uint64_t files = fileSyncs(), dirs = dirSyncs();
        {
            UserDefaults defaults(file);
            for (int i = 0; i < 12; ++i)
                ASSERT_TRUE(defaults.setObject(Value(round * 100 + i), "Key" + std::to_string(i)));
            EXPECT_EQ(fileSyncs(), files) << "round " << round;
            EXPECT_EQ(dirSyncs(), dirs) << "round " << round;
            // In the file already.
            EXPECT_EQ(readWithPython(file, "d['Key11']"), std::to_string(round * 100 + 11) + "\n");
        }
        EXPECT_EQ(fileSyncs() - files, 1u) << "round " << round;
        EXPECT_EQ(dirSyncs() - dirs, 1u) << "round " << round;
        ASSERT_EQ(stat(file.c_str(), &st), 0);
        UserDefaults probe(file);
        ASSERT_EQ(stat(probe.backupFilePath().c_str(), &backup), 0);
        EXPECT_EQ(probe.backupFilePath(), file.parent_path() / ".defaults.plist~");
        EXPECT_EQ(backup.st_ino, st.st_ino) << "the copy is the flushed file itself";
        EXPECT_EQ(backup.st_mode & 0777, 0600u);
    }

    // A change not flushed yet, then a power loss tears the file: the next
    // start sets it aside and reads the copy last flushed.
    {
        UserDefaults defaults(file);
        ASSERT_TRUE(defaults.setObject(Value("lost"), "Key0"));
        ASSERT_EQ(truncate(file.c_str(), 0), 0);
        UserDefaults afterPowerLoss(file);
        EXPECT_EQ(afterPowerLoss.integerForKey("Key0"), 100);
        EXPECT_EQ(afterPowerLoss.integerForKey("Key11"), 111);
        EXPECT_TRUE(fs::exists(fs::path(file.string() + ".corrupt")));
        EXPECT_EQ(UserDefaults(file).integerForKey("Key11"), 111) << "the copy was put back in place";

        // A file removed (the settings reset) takes its copy with it at the
        // next write, so that no power loss brings the old values back.
        afterPowerLoss.synchronize();
        ASSERT_TRUE(fs::exists(afterPowerLoss.backupFilePath()));
        fs::remove(file);
        ASSERT_TRUE(afterPowerLoss.setObject(Value("fresh"), "Other"));
        EXPECT_FALSE(fs::exists(afterPowerLoss.backupFilePath()));
    }

    // A process that exits normally flushes what it wrote.
    fs::path exiting = home.path() / "exit" / "defaults.plist";
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto *leaked = new UserDefaults(exiting);  // never destroyed: only the exit handler flushes
        exit(leaked->setObject(Value("flushed"), "Key") ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_EQ(stat(exiting.c_str(), &st), 0);
    ASSERT_EQ(stat((exiting.parent_path() / ".defaults.plist~").c_str(), &backup), 0);
    EXPECT_EQ(backup.st_ino, st.st_ino);
}

// Defaults another thread destroys while the exit handler ends the
// process's defaults: a detached worker destroys some that the handler has
// listed while it is held inside the end of others (whose lock another
// process holds: its line that their changes are lost parks in the sink).
// They are not used once freed: under AddressSanitizer, a use after free
// would end the child with a report.
TEST_F(UserDefaultsTest, DefaultsDestroyedWhileTheExitEndsOthersAreNotUsedOnceFreed) {
    const fs::path folder = home.path() / "ending";
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        alarm(20);
        auto *made = new UserDefaults(folder / "first.plist");
        auto *other = new UserDefaults(folder / "second.plist");
        // The exit ends defaults in the order of their addresses: the held
        // ones first.
        if (other < made) std::swap(made, other);
        fs::create_directories(folder);
        const int held = open(made->lockFilePath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (held < 0 || flock(held, LOCK_EX) != 0 || !made->setObject(Value("waits"), "Key")) _exit(2);
        static std::mutex mutex;
        static std::condition_variable changed;
        static int stage = 0;  // 1: the exit is held; 2: the other defaults are freed
        SystemLog::setSink([](const std::string &line) {
            if (line.find("are not written, and are lost") == std::string::npos) return;
            std::unique_lock<std::mutex> lock(mutex);
            stage = 1;
            changed.notify_all();
            if (!changed.wait_for(lock, std::chrono::seconds(10), [] { return stage == 2; })) _exit(3);
        });
        std::thread([other] {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [] { return stage == 1; });
            lock.unlock();
            delete other;
            lock.lock();
            stage = 2;
            changed.notify_all();
        }).detach();
        exit(0);
    }
    testsupport::RunningChild child(pid);
    ASSERT_TRUE(child.ended(30000)) << "the exit hangs";
    ASSERT_TRUE(WIFEXITED(child.status())) << "ended by signal " << WTERMSIG(child.status());
    EXPECT_EQ(WEXITSTATUS(child.status()), 0) << "1: AddressSanitizer found a use after free (its report is above)";
}

// A process that forks while its defaults wait for and run their background
// flushes: every child can allocate (a fork taken while another thread is
// inside the allocator leaves the sanitizers' allocator locked in the child
// for good), use defaults of its own and exit. The flushes still run in the
// parent, without a destruction or an exit to prompt them.
TEST_F(UserDefaultsTest, ForksWhileFlushesRunLeaveChildrenThatAllocateAndExit) {
    constexpr int kDefaults = 16;
    std::vector<std::unique_ptr<UserDefaults>> all;
    for (int i = 0; i < kDefaults; ++i)
        all.push_back(std::make_unique<UserDefaults>(home.path() / "fork" / ("d" + std::to_string(i) + ".plist")));
    // Forks go on until the background has flushed every defaults once
    // (nothing else fsyncs in this process meanwhile), and every defaults
    // is written again after its flush, so flushes keep being due.
    const uint64_t syncsBefore = FileManager::fileSynchronizationCount();
    const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    int forks = 0;
    for (; forks < 2 * kDefaults || FileManager::fileSynchronizationCount() - syncsBefore < kDefaults; ++forks) {
        ASSERT_LT(std::chrono::steady_clock::now(), bound) << "no background flushes after " << forks << " forks";
        ASSERT_TRUE(all[forks % kDefaults]->setObject(Value(forks), "Key"));
        const fs::path own = home.path() / "children" / (std::to_string(forks) + ".plist");
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            // Every size class, often enough that the thread's cache of
            // each runs dry and the allocator's shared state is taken.
            std::vector<void *> blocks;
            for (int round = 0; round < 32; ++round)
                for (size_t size = 16; size <= 65536; size += size / 4) blocks.push_back(malloc(size));
            for (void *block : blocks) free(block);
            if (forks % kDefaults != 0) _exit(0);
            // Defaults of the child's own, flushed at its exit.
            auto *defaults = new UserDefaults(own);
            exit(defaults->setObject(Value("child"), "Key") ? 0 : 3);
        }
        testsupport::RunningChild child(pid);
        ASSERT_TRUE(child.ended(60000)) << "fork " << forks << ": the child hangs";
        ASSERT_TRUE(WIFEXITED(child.status()) && WEXITSTATUS(child.status()) == 0) << "fork " << forks;
        if (forks % kDefaults == 0) {
            struct stat file {
            }, backup{};
            ASSERT_EQ(stat(own.c_str(), &file), 0);
            ASSERT_EQ(stat((own.parent_path() / ("." + own.filename().string() + "~")).c_str(), &backup), 0);
            EXPECT_EQ(file.st_ino, backup.st_ino) << "fork " << forks << ": flushed at the child's exit";
            EXPECT_EQ(UserDefaults(own).stringForKey("Key"), "child") << "fork " << forks;
        }
    }
    // Each defaults' file is flushed in the end: its durable copy is the
    // file itself.
    for (const auto &defaults : all) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        struct stat file {
        }, backup{};
        auto flushed = [&] {
            return stat(defaults->filePath().c_str(), &file) == 0 &&
                   stat(defaults->backupFilePath().c_str(), &backup) == 0 && file.st_ino == backup.st_ino;
        };
        while (!flushed() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_TRUE(flushed()) << defaults->filePath();
    }
}

// A program forks at any time, from any thread: here while a thread writes
// the settings without a pause and another opens and closes defaults of
// their own, the standard defaults among them. Each child finds no lock
// file of its parent's open (it never holds the parent's lock), its first
// settings calls return at once, and the change it makes is written by its
// own flush thread while it lives; the parent's last change, made while the
// children still live, is written at its exit, after theirs.
TEST_F(UserDefaultsTest, AForkDuringWritesLeavesAChildThatNeitherHangsNorHoldsTheLock) {
    // The other threads allocate all the while, and the sanitizers'
    // allocator does not survive a fork made in the middle of one of their
    // calls (glibc's does): a child there can hang before any settings call.
    SKIP_UNDER_SANITIZERS("its allocator does not survive a fork while another thread allocates");
    constexpr int kForks = 50;
    const fs::path file = home.path() / "forked" / "app.plist";
    // This process holds the lock of the defaults the opener makes and
    // destroys over and over: each of their ends waits its bound, and no
    // fork may wait behind them.
    fs::create_directories(file.parent_path());
    const int held = open(UserDefaults(file.parent_path() / "other.plist").lockFilePath().c_str(),
                          O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    int alive[2], results[2];
    ASSERT_EQ(pipe2(alive, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(results, O_CLOEXEC), 0);
    const pid_t forker = fork();
    ASSERT_GE(forker, 0);
    if (forker == 0) {
        close(held);
        close(alive[1]);
        close(results[0]);
        auto defaults = std::make_unique<UserDefaults>(file);
        std::atomic<bool> stop{false};
        std::thread writer([&] {
            for (int i = 0; !stop; ++i) defaults->setObject(Value(i), "Writer");
        });
        std::thread opener([&] {
            for (int i = 0; !stop; ++i) {
                UserDefaults(file.parent_path() / "other.plist").setObject(Value(i), "Opened");
                UserDefaults::resetStandardUserDefaults();
                UserDefaults::standardUserDefaults()->setObject(Value(i), "Standard");
            }
        });
        // Lines are written all the while (the settings write theirs through
        // the same log): a child's first line must not wait either.
        SystemLog::setSink([](const std::string &) {});
        std::thread logger([&] {
            while (!stop) SystemLog::write("line");
        });
        int hangs = 0, lockFiles = 0, forks = 0;
        int64_t worst = 0;
        int64_t forkTimes[kForks] = {};
        // Bounded, so that forks that slow down (a child holding its
        // parent's lock makes every end wait its bound) fail the test rather
        // than hold it up.
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        for (; forks < kForks && hangs == 0 && std::chrono::steady_clock::now() < until; ++forks) {
            int done[2];
            if (pipe(done) != 0) _exit(90);
            const auto forking = std::chrono::steady_clock::now();
            const pid_t pid = fork();
            const auto start = std::chrono::steady_clock::now();
            if (pid > 0)
                forkTimes[forks] = std::chrono::duration_cast<std::chrono::microseconds>(start - forking).count();
            if (pid == 0) {
                close(results[1]);
                close(done[0]);
                // The lock files the parent's threads had open are closed.
                char report = 'k';
                SystemLog::write("child");
                for (const auto &entry : fs::directory_iterator("/proc/self/fd")) {
                    std::error_code error;
                    const std::string target = fs::read_symlink(entry.path(), error).string();
                    if (target.size() > 5 && target.compare(target.size() - 5, 5, ".lock") == 0) report = 'L';
                }
                const bool ok = defaults->integerForKey("Writer") >= 0 &&
                                UserDefaults::standardUserDefaults()->integerForKey("Standard") >= 0 &&
                                defaults->setObject(Value(forks), "Child" + std::to_string(forks)) &&
                                UserDefaults(file.parent_path() / "own.plist").setObject(Value(forks), "Own");
                if (!ok) report = 'F';
                const int64_t took =
                    std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start)
                        .count();
                if (write(done[1], &report, 1) != 1 || write(done[1], &took, sizeof took) != sizeof took) _exit(91);
                // Lives on until the test lets go.
                char byte;
                while (read(alive[0], &byte, 1) > 0) {}
                exit(0);
            }
            close(done[1]);
            pollfd p{done[0], POLLIN, 0};
            char report = 0;
            int64_t took = 0;
            if (pid < 0 || poll(&p, 1, 10000) != 1 || read(done[0], &report, 1) != 1 ||
                read(done[0], &took, sizeof took) != sizeof took) {
                ++hangs;
                if (pid > 0) kill(pid, SIGKILL);
            }
            if (report == 'L') ++lockFiles;
            if (report == 'F') ++hangs;
            worst = std::max(worst, took);
            close(done[0]);
        }
        stop = true;
        writer.join();
        opener.join();
        logger.join();
        defaults->setObject(Value("kept"), "Last");
        std::sort(forkTimes, forkTimes + forks);
        const int64_t medianFork = forks > 0 ? forkTimes[forks / 2] : 0,
                      worstFork = forks > 0 ? forkTimes[forks - 1] : 0;
        const std::string line = std::to_string(forks) + " " + std::to_string(hangs) + " " + std::to_string(lockFiles) +
                                 " " + std::to_string(worst) + " " + std::to_string(medianFork) + " " +
                                 std::to_string(worstFork) + "\n";
        if (write(results[1], line.data(), line.size()) < 0) _exit(92);
        close(results[1]);
        // Its children end first (each with the flush it does at its exit,
        // which waits for the lock only so long), then it writes its own
        // change at its exit.
        char byte;
        while (read(alive[0], &byte, 1) > 0) {}
        while (wait(nullptr) > 0 || errno == EINTR) {}
        exit(0);
    }
    testsupport::RunningChild child(forker);
    close(alive[0]);
    close(results[1]);
    std::string line;
    char buffer[128];
    // A fork that never returns holds the forking process up for good.
    pollfd readable{results[0], POLLIN, 0};
    for (ssize_t n; poll(&readable, 1, 240000) == 1 && (n = read(results[0], buffer, sizeof buffer)) > 0;)
        line.append(buffer, static_cast<size_t>(n));
    close(results[0]);
    close(held);
    int forks = 0, hangs = -1, lockFiles = -1;
    long long worst = 0, medianFork = 0, worstFork = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "%d %d %d %lld %lld %lld", &forks, &hangs, &lockFiles, &worst, &medianFork,
                          &worstFork),
              6)
        << "the forking process said \"" << line << "\" (nothing: it died, or a fork never returned)";
    EXPECT_EQ(hangs, 0) << "a child's settings calls did not return, after " << forks << " forks";
    EXPECT_TRUE(hangs > 0 || forks == kForks) << "the forks took more than two minutes: " << forks << " made";
    EXPECT_EQ(lockFiles, 0) << "children kept their parent's lock files open";
    // A fork that waited behind the ends (the opener's defaults are ending
    // nearly all the time, each for 250 ms) would take 250 ms at the median.
    // The worst fork is no measure on a busy machine: the threads holding
    // the locks it waits for are preempted (it took up to a second on two
    // loaded cores).
    EXPECT_LT(medianFork, 100000) << "forks waited behind the ends: the median fork took " << medianFork << " us";
    std::printf(
        "fork during writes, of %d: median fork %lld us, worst %lld us; a child's first settings calls %lld "
        "us at worst\n",
        forks, medianFork, worstFork, worst);
    std::fflush(stdout);
    // What each child was told was kept is written while it lives, once
    // its parent's writer lets go of the lock.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    auto written = [&] {
        const Dictionary all = UserDefaults(file).dictionaryRepresentation();
        for (int i = 0; i < forks; ++i)
            if (!all.count("Child" + std::to_string(i))) return false;
        return true;
    };
    while (!written() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(written()) << "a child's change was lost";
    close(alive[1]);
    ASSERT_TRUE(child.ended(120000)) << "the forking process hangs";
    EXPECT_TRUE(WIFEXITED(child.status()) && WEXITSTATUS(child.status()) == 0);
    EXPECT_EQ(UserDefaults(file).stringForKey("Last"), "kept") << "the parent's change at its exit was lost";
    EXPECT_TRUE(written()) << "a child's change was undone";
}

// Where a thread holds one of the locks, and the one they park at.
namespace parking {
std::mutex mutex;
std::condition_variable changed;
std::optional<UserDefaultsLifetime::Holding> armed;
bool parked = false, released = false;

void hook(UserDefaultsLifetime::Holding where) {
    std::unique_lock<std::mutex> lock(mutex);
    if (armed != where || parked) return;
    parked = true;
    changed.notify_all();
    changed.wait_for(lock, std::chrono::seconds(30), [] { return released; });
}
}  // namespace parking

// A fork waits for every lock a thread of the defaults may hold, whichever
// thread forks: a thread (the caller's, or the flush thread) is parked
// holding one of them, the one a fork takes last of those it holds, and a
// fork from another thread must wait until it lets go. The child then finds
// that lock free: its call that takes it returns.
TEST_F(UserDefaultsTest, AForkWaitsForAThreadParkedInsideEachLockItTakes) {
    using Holding = UserDefaultsLifetime::Holding;
    const fs::path folder = home.path() / "parked";
    UserDefaults defaults(folder / "app.plist");
    ASSERT_TRUE(defaults.setObject(Value("before"), "Key"));
    UserDefaults deferred(folder / "deferred.plist");
    // Its first write asks the flush thread for a flush, which wakes it.
    UserDefaults queued(folder / "queued.plist");
    // A stale temporary file: making defaults for it opens the lock file
    // before they are in the registry, holding none of the locks a fork
    // takes.
    std::ofstream(folder / ".stale.plist.Ab12Cd") << "half";
    const int held = open(deferred.lockFilePath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(held, 0);
    struct Window {
        Holding where;
        const char *name;
        std::function<void()> park;  // parks a thread of its own, or the flush thread
        bool ownThread;
        std::function<bool()> inChild;  // takes the lock
    };
    const std::vector<Window> windows = {
        {Holding::Standard, "the standard defaults' slot", [] { UserDefaults::standardUserDefaults(); }, true,
         [] { return UserDefaults::standardUserDefaults() != nullptr; }},
        {Holding::Flushes, "the flush lock",
         [&] {
             // Deferred while this process holds the lock: the flush thread
             // tries at once.
             flock(held, LOCK_EX);
             deferred.setObject(Value("waits"), "Key");
         },
         false, [&] { return UserDefaults(folder / "child.plist").filePath() == folder / "child.plist"; }},
        {Holding::Registry, "the registry", [&] { UserDefaults(folder / "other.plist"); }, true,
         [&] { return UserDefaults(folder / "child.plist").filePath() == folder / "child.plist"; }},
        {Holding::File, "a defaults' file mutex", [&] { defaults.setObject(Value("parked"), "Key"); }, true,
         [&] { return defaults.setObject(Value("child"), "Child"); }},
        {Holding::State, "a defaults' state mutex",
         [&] {
             defaults.registerDefaults({{"Registered", Value(1)}});
         },
         true, [&] { return defaults.objectForKey("Key").isString(); }},
        {Holding::Queue, "the flusher's queue lock", [&] { queued.setObject(Value("wakes"), "Key"); }, false,
         // The first write of a file asks for a flush.
         [&] { return UserDefaults(folder / "queued-child.plist").setObject(Value("child"), "Child"); }},
        {Holding::LockFiles, "the lock files' table", [&] { UserDefaults(folder / "stale.plist"); }, true,
         [&] { return defaults.setObject(Value("child"), "Child"); }},
    };
    UserDefaultsLifetime::holdingHookForTesting = &parking::hook;
    for (const Window &window : windows) {
        {
            std::lock_guard<std::mutex> lock(parking::mutex);
            parking::armed = window.where;
            parking::parked = parking::released = false;
        }
        std::thread parkedThread;
        if (window.ownThread)
            parkedThread = std::thread(window.park);
        else
            window.park();
        {
            std::unique_lock<std::mutex> lock(parking::mutex);
            ASSERT_TRUE(parking::changed.wait_for(lock, std::chrono::seconds(30), [] { return parking::parked; }))
                << window.name << ": no thread came to hold it";
        }
        std::atomic<pid_t> forker{0};
        std::atomic<bool> returned{false};
        pid_t pid = -1;
        std::thread forking([&] {
            forker = gettid();
            pid = fork();
            if (pid == 0) {
                UserDefaultsLifetime::holdingHookForTesting = nullptr;
                alarm(10);
                _exit(window.inChild() ? 0 : 1);
            }
            returned = true;
        });
        EXPECT_TRUE(forkWaits(forker, returned)) << window.name << ": the fork did not wait for the thread inside";
        {
            std::lock_guard<std::mutex> lock(parking::mutex);
            parking::released = true;
            parking::armed.reset();
        }
        parking::changed.notify_all();
        if (parkedThread.joinable()) parkedThread.join();
        forking.join();
        testsupport::RunningChild child(pid);
        ASSERT_TRUE(child.ended(30000)) << window.name;
        EXPECT_TRUE(WIFEXITED(child.status()) && WEXITSTATUS(child.status()) == 0)
            << window.name << ": the child's call that takes it " << (WIFSIGNALED(child.status()) ? "hangs" : "failed");
        flock(held, LOCK_UN);
    }
    UserDefaultsLifetime::holdingHookForTesting = nullptr;
    close(held);
}

// A child closes the lock files its parent's threads had open, and forgets
// them: a file the child opens next on one of those numbers is its own, and
// stays open in a process the child forks in turn (a program that starts a
// daemon). The parent's thread is parked holding a lock file open: it sets
// a damaged file aside, under the lock, and its line parks in the sink.
TEST_F(UserDefaultsTest, AChildForgetsTheLockFilesItClosedWhenItForksAgain) {
    const fs::path folder = home.path() / "reused";
    fs::create_directories(folder);
    std::ofstream(folder / "app.plist") << "damaged";
    std::mutex mutex;
    std::condition_variable changed;
    bool parked = false, released = false;
    SystemLog::setSink([&](const std::string &line) {
        if (line.find("moved it to") == std::string::npos) return;
        std::unique_lock<std::mutex> lock(mutex);
        parked = true;
        changed.notify_all();
        changed.wait_for(lock, std::chrono::seconds(30), [&] { return released; });
    });
    std::thread opener([&] { UserDefaults defaults(folder / "app.plist"); });
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(30), [&] { return parked; }));
    }
    // The number of the lock file the thread holds open.
    const std::string lockFile = (folder / ".app.plist.lock").string();
    int number = -1;
    for (const auto &entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        if (fs::read_symlink(entry.path(), error).string() == lockFile) number = std::stoi(entry.path().filename());
    }
    ASSERT_GE(number, 0) << "no lock file open";
    const std::string own = (folder / "own.txt").string();
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(10);
        if (fcntl(number, F_GETFD) != -1) _exit(1);  // the parent's lock file is still open
        const int file = open(own.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (file < 0 || (file != number && dup3(file, number, O_CLOEXEC) != number)) _exit(2);
        const pid_t grandchild = fork();
        if (grandchild == 0) {
            char path[64], target[4096] = {};
            std::snprintf(path, sizeof path, "/proc/self/fd/%d", number);
            const ssize_t n = readlink(path, target, sizeof target - 1);
            _exit(n > 0 && own == target ? 0 : 1);
        }
        int status = -1;
        _exit(grandchild > 0 && waitpid(grandchild, &status, 0) == grandchild && status == 0 ? 0 : 3);
    }
    testsupport::RunningChild child(pid);
    {
        std::lock_guard<std::mutex> lock(mutex);
        released = true;
    }
    changed.notify_all();
    opener.join();
    SystemLog::setSink(nullptr);
    ASSERT_TRUE(child.ended(30000));
    ASSERT_TRUE(WIFEXITED(child.status()));
    EXPECT_NE(WEXITSTATUS(child.status()), 1) << "the child kept its parent's lock file open";
    EXPECT_NE(WEXITSTATUS(child.status()), 3) << "the grandchild's fork closed the file its parent opened";
    EXPECT_EQ(WEXITSTATUS(child.status()), 0);
}

// A fork takes the system log's lock after every lock of the defaults, even
// in a program whose defaults were made by a global initialiser, before the
// log's objects were initialised: there a thread that writes a line while
// it holds a defaults' file mutex, which the fork waits for, still writes
// it, and the fork returns (defaults_fork_order_child.cc).
TEST_F(UserDefaultsTest, AForkTakesTheLogsLockLastWhateverWasInitialisedFirst) {
    const std::string folder = (home.path() / "order").string();
    fs::create_directories(folder);
    char *argv[] = {const_cast<char *>(PLOTWICK_FORK_ORDER_CHILD), const_cast<char *>(folder.c_str()), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, PLOTWICK_FORK_ORDER_CHILD, nullptr, nullptr, argv, environ), 0);
    testsupport::RunningChild child(pid);
    ASSERT_TRUE(child.ended(30000)) << "the program hangs";
    ASSERT_FALSE(WIFSIGNALED(child.status()))
        << "the fork and the line deadlocked (ended by signal " << WTERMSIG(child.status()) << ")";
    EXPECT_EQ(WEXITSTATUS(child.status()), 0);
}

// A file of 200,000 keys: a change rewrites it whole, in a time linear in
// it, and what is written is a list that plistlib reads (wide object
// references and offsets, text in UTF-16).
TEST_F(UserDefaultsTest, AChangeToALargeFileKeepsEveryKey) {
    fs::path file = home.path() / "large.plist";
    constexpr int kKeys = 200000;
    {
        Dictionary big;
        for (int i = 0; i < kKeys; ++i)
            big.emplace("key" + std::to_string(i), Value(i % 3 ? Value(int64_t(i) << 20) : Value("v")));
        auto data =
            PropertyListSerialization::dataWithPropertyList(Value(big), PropertyListSerialization::Format::Binary);
        ASSERT_TRUE(data);
        ASSERT_TRUE(FileManager::defaultManager()->writeData(*data, file, true));
    }
    UserDefaults defaults(file);
    EXPECT_EQ(defaults.integerForKey("key199999"), int64_t(199999) << 20);
    ASSERT_TRUE(defaults.setObject(Value("cl\u00e9 \U0001F600"), "\u00e9t\u00e9 \U0001D11E"));
    ASSERT_TRUE(defaults.setObject(Value(int64_t(-5)), "negative"));
    EXPECT_EQ(readWithPython(
                  file, "len(d), d['key199999'], d['key3'], d['negative'], ascii(d['\\u00e9t\\u00e9 \\U0001D11E'])"),
              "200002 " + std::to_string(int64_t(199999) << 20) + " v -5 'cl\\xe9 \\U0001f600'\n");
    UserDefaults reread(file);
    EXPECT_EQ(reread.dictionaryRepresentation().size(), size_t(kKeys + 2));
    EXPECT_EQ(reread.stringForKey("\u00e9t\u00e9 \U0001D11E"), "cl\u00e9 \U0001F600");

    // A change that would make the file larger than a reader takes (64 MiB)
    // is refused: the file keeps what it held, memory too, and a change that
    // fits is still written.
    const fs::path full = home.path() / "full.plist";
    {
        auto data = PropertyListSerialization::dataWithPropertyList(
            Value(Dictionary{{"Kept", Value("yes")}, {"Bulk", Value(Data((size_t(64) << 20) - 4096, 7))}}),
            PropertyListSerialization::Format::Binary);
        ASSERT_TRUE(data);
        ASSERT_TRUE(FileManager::defaultManager()->writeData(*data, full, true));
    }
    struct stat before {
    }, after{};
    ASSERT_EQ(stat(full.c_str(), &before), 0);
    {
        CapturedLines log;
        UserDefaults nearBound(full);
        EXPECT_FALSE(nearBound.setObject(Value(Data(8192, 1)), "More"));
        EXPECT_TRUE(nearBound.objectForKey("More").isNull());
        EXPECT_EQ(log.count("would be larger than settings may be"), 1u);
        ASSERT_EQ(stat(full.c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino) << "the file was replaced";
        EXPECT_TRUE(nearBound.setObject(Value("fits"), "Small"));
        // Changes that wait for the lock together: the one that does not fit
        // is left out, and the one beside it is written.
        const int held = open(nearBound.lockFilePath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(held, 0);
        ASSERT_EQ(flock(held, LOCK_EX), 0);
        ASSERT_TRUE(nearBound.setObject(Value("beside"), "Beside"));
        ASSERT_TRUE(nearBound.setObject(Value(Data(8192, 2)), "More"));
        close(held);
        // Written here, or by the flush thread's try just before (which then
        // leaves synchronize nothing to write): "More" is refused either way.
        nearBound.synchronize();
        EXPECT_EQ(log.count("would be larger than settings may be"), 2u);
        EXPECT_TRUE(nearBound.objectForKey("More").isNull());
    }
    UserDefaults relaunched(full);
    EXPECT_EQ(relaunched.stringForKey("Kept"), "yes");
    EXPECT_EQ(relaunched.stringForKey("Small"), "fits");
    EXPECT_EQ(relaunched.stringForKey("Beside"), "beside");
    EXPECT_TRUE(relaunched.objectForKey("More").isNull());
    EXPECT_FALSE(fs::exists(fs::path(full.string() + ".corrupt")));

    // The bound is on what is larger than 64 MiB: a file of exactly 64 MiB
    // is written and read back. A value too large alone is refused at its
    // own call, even while another process holds the lock, and the change
    // that waits beside it is written.
    const fs::path exact = home.path() / "exact.plist";
    constexpr size_t kBound = size_t(64) << 20;
    auto encoded = [](size_t bytes) {
        auto data = PropertyListSerialization::dataWithPropertyList(Value(Dictionary{{"Bulk", Value(Data(bytes, 7))}}),
                                                                    PropertyListSerialization::Format::Binary);
        return data ? data->size() : 0;
    };
    const size_t bulk = kBound - 4096 + (kBound - encoded(kBound - 4096));
    ASSERT_EQ(encoded(bulk), kBound);
    {
        UserDefaults atBound(exact);
        const int held = open(atBound.lockFilePath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(held, 0);
        ASSERT_EQ(flock(held, LOCK_EX), 0);
        CapturedLines log;
        ASSERT_TRUE(atBound.setObject(Value("waits"), "Unrelated"));
        EXPECT_FALSE(atBound.setObject(Value(Data(bulk + 1, 7)), "Bulk"));
        EXPECT_EQ(log.count("would be larger than settings may be"), 1u);
        EXPECT_TRUE(atBound.objectForKey("Bulk").isNull()) << "the refused value was kept in memory";
        close(held);
        EXPECT_TRUE(atBound.synchronize());
        EXPECT_EQ(UserDefaults(exact).stringForKey("Unrelated"), "waits") << "the change beside it was dropped";
        ASSERT_TRUE(atBound.removeObjectForKey("Unrelated"));
        EXPECT_TRUE(atBound.setObject(Value(Data(bulk, 7)), "Bulk"));
    }
    ASSERT_EQ(stat(exact.c_str(), &after), 0);
    EXPECT_EQ(static_cast<size_t>(after.st_size), kBound);
    EXPECT_EQ(UserDefaults(exact).dataForKey("Bulk").value_or(Data()).size(), bulk);
}

TEST_F(UserDefaultsTest, TheFileIsReplacedAtomicallyAndReadableByPlistlib) {
    fs::path file = home.path() / "atomic.plist";
    UserDefaults defaults(file);
    ASSERT_TRUE(defaults.setObject(Value("one"), "A"));
    struct stat first;
    ASSERT_EQ(stat(file.c_str(), &first), 0);
    EXPECT_EQ(first.st_mode & 0777, 0600u);
    struct stat lock;
    ASSERT_EQ(stat(defaults.lockFilePath().c_str(), &lock), 0);
    EXPECT_EQ(defaults.lockFilePath(), home.path() / ".atomic.plist.lock");
    EXPECT_EQ(lock.st_mode & 0777, 0600u);
    ASSERT_TRUE(defaults.setObject(Value(2), "B"));
    struct stat second;
    ASSERT_EQ(stat(file.c_str(), &second), 0);
    // A new file was renamed over the old one; it was not rewritten in place.
    EXPECT_NE(first.st_ino, second.st_ino);
    auto entries = FileManager::defaultManager()->contentsOfDirectory(home.path());
    ASSERT_TRUE(entries);
    for (const auto &e : *entries)
        EXPECT_TRUE(e.name.find(".atomic.plist.") == std::string::npos || e.name == ".atomic.plist.lock")
            << "left over: " << e.name;
    EXPECT_EQ(readWithPython(file, "sorted(d.items())"), "[('A', 'one'), ('B', 2)]\n");

    // A lock file with another name elsewhere is someone else's file: it is
    // neither chmodded nor locked, but set aside, and a fresh one made.
    const fs::path notes = home.path() / "notes.txt";
    std::ofstream(notes) << "notes";
    ASSERT_EQ(chmod(notes.c_str(), 0644), 0);
    fs::remove(defaults.lockFilePath());
    fs::create_hard_link(notes, defaults.lockFilePath());
    {
        CapturedLines log;
        ASSERT_TRUE(defaults.setObject(Value(3), "C"));
        EXPECT_EQ(log.count("has other links"), 1u);
    }
    struct stat theirs {};
    ASSERT_EQ(stat(notes.c_str(), &theirs), 0);
    EXPECT_EQ(theirs.st_mode & 0777, 0644u);
    ASSERT_EQ(stat(defaults.lockFilePath().c_str(), &lock), 0);
    EXPECT_NE(lock.st_ino, theirs.st_ino);
    EXPECT_EQ(lock.st_nlink, 1u);
    EXPECT_EQ(lock.st_mode & 0777, 0600u);
    ASSERT_EQ(stat((defaults.lockFilePath().string() + ".notours").c_str(), &lock), 0);
    EXPECT_EQ(lock.st_ino, theirs.st_ino);
    std::ifstream in(notes);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), {}), "notes");
    EXPECT_EQ(readWithPython(file, "d['C']"), "3\n");
    // A second one is set aside beside the first, never over it.
    const fs::path others = home.path() / "others.txt";
    std::ofstream(others) << "others";
    fs::remove(defaults.lockFilePath());
    fs::create_hard_link(others, defaults.lockFilePath());
    ASSERT_TRUE(defaults.setObject(Value(4), "D"));
    struct stat asideFirst {
    }, asideSecond{};
    ASSERT_EQ(stat(others.c_str(), &theirs), 0);
    ASSERT_EQ(stat((defaults.lockFilePath().string() + ".notours.1").c_str(), &asideSecond), 0);
    EXPECT_EQ(asideSecond.st_ino, theirs.st_ino);
    ASSERT_EQ(stat((defaults.lockFilePath().string() + ".notours").c_str(), &asideFirst), 0);
    EXPECT_EQ(asideFirst.st_ino, lock.st_ino) << "the first one set aside was replaced";
}

TEST_F(UserDefaultsTest, ConcurrentWritersLoseNothing) {
    fs::path file = home.path() / "concurrent.plist";
    UserDefaults defaults(file);
    constexpr int kThreads = 8, kKeys = 25;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int k = 0; k < kKeys; ++k) {
                std::string key = "t" + std::to_string(t) + "k" + std::to_string(k);
                if (!defaults.setObject(Value(t * 1000 + k), key)) ++failures;
                if (defaults.objectForKey(key) != Value(t * 1000 + k)) ++failures;
            }
        });
    }
    for (auto &th : threads) th.join();
    EXPECT_EQ(failures, 0);
    UserDefaults reread(file);
    auto all = reread.dictionaryRepresentation();
    EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kKeys));
    for (int t = 0; t < kThreads; ++t)
        for (int k = 0; k < kKeys; ++k)
            EXPECT_EQ(reread.integerForKey("t" + std::to_string(t) + "k" + std::to_string(k)), t * 1000 + k);
    EXPECT_EQ(readWithPython(file, "len(d)"), std::to_string(kThreads * kKeys) + "\n");
}

// Two instances of the application sharing the file. Each racer is this
// binary started afresh (fork and exec) with the file and its name in the
// environment; it waits for the parent's go (the end of its stdin), then
// makes the install id, sets a key of its own and keeps writing a counter
// of its own, printing the install id it ended up with.
namespace {

constexpr const char *kRacerFile = "PLOTWICK_DEFAULTS_RACER_FILE";
constexpr const char *kRacerName = "PLOTWICK_DEFAULTS_RACER_NAME";
constexpr int kRacerWrites = 40;

int runRacer(const char *file, const std::string &name) {
    char go;
    while (read(STDIN_FILENO, &go, 1) > 0) {}
    UserDefaults defaults(file);
    const auto making = std::chrono::steady_clock::now();
    const Value made = defaults.loadOrStoreObject("InstallId", [](const Value &stored) {
        return stored.isString() ? stored : Value(UUID::random().UUIDString());
    });
    const auto took = std::chrono::steady_clock::now() - making;
    if (!made.isString()) return 2;
    if (!defaults.setObject(Value(name), "Own" + name)) return 3;
    for (int i = 1; i <= kRacerWrites; ++i)
        if (!defaults.setObject(Value(i), "Counter" + name)) return 4;
    // Written before the end, whose wait for the other's lock is bounded
    // (a change still waiting then is lost, as another test checks): on
    // busy cores the other racer can hold the lock longer than that.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!defaults.synchronize())
        if (std::chrono::steady_clock::now() > deadline) return 5;
    // The id it holds now. Only an id made alone, once the other had held
    // the lock for all the making waits (250 ms), may have yielded to the
    // other's at its write; one answered sooner is the one kept.
    const Value held = defaults.objectForKey("InstallId");
    if (!held.isString()) return 6;
    if (held != made && took < std::chrono::milliseconds(200)) return 7;
    std::printf("%s\n", held.string()->c_str());
    return 0;
}

// Runs at start-up, before any test, when this process is a racer.
const bool kIsRacer = [] {
    const char *file = getenv(kRacerFile);
    const char *name = getenv(kRacerName);
    if (!file || !name) return false;
    alarm(30);
    int code = runRacer(file, name);
    std::fflush(stdout);
    _exit(code);
}();

struct Racer {
    pid_t pid = -1;
    int go = -1;      // write end of the racer's stdin
    int output = -1;  // read end of its stdout
};

Racer startRacer(const fs::path &file, const std::string &name) {
    // Everything the child needs is made before the fork: between fork and
    // exec it only moves descriptors.
    std::vector<std::string> environment;
    for (char **entry = environ; *entry; ++entry) environment.emplace_back(*entry);
    environment.push_back(std::string(kRacerFile) + "=" + file.string());
    environment.push_back(std::string(kRacerName) + "=" + name);
    std::vector<char *> envp;
    for (auto &entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    char arg0[] = "racer";
    char *argv[] = {arg0, nullptr};
    int in[2], out[2];
    Racer racer;
    // Close-on-exec, so that one racer holds no end of the other's pipes.
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return racer;
    racer.pid = fork();
    if (racer.pid == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        close(in[1]);
        close(out[0]);
        execve("/proc/self/exe", argv, envp.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    racer.go = in[1];
    racer.output = out[0];
    return racer;
}

// Its output and exit status (or 128 plus the signal that ended it).
std::pair<std::string, int> finishRacer(Racer &racer) {
    std::string text;
    char buffer[256];
    for (ssize_t n; (n = read(racer.output, buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    close(racer.output);
    int status = 0;
    if (waitpid(racer.pid, &status, 0) != racer.pid) return {text, -1};
    return {text, WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)};
}

}  // namespace

TEST_F(UserDefaultsTest, TwoProcessesAgreeOnTheInstallIdAndKeepEachOthersKeys) {
    ASSERT_FALSE(kIsRacer);
    for (int round = 0; round < 5; ++round) {
        fs::path file = home.path() / ("race" + std::to_string(round)) / "app.plist";
        Racer a = startRacer(file, "A");
        Racer b = startRacer(file, "B");
        ASSERT_GT(a.pid, 0);
        ASSERT_GT(b.pid, 0);
        // Both start at once.
        close(a.go);
        close(b.go);
        auto [idA, statusA] = finishRacer(a);
        auto [idB, statusB] = finishRacer(b);
        ASSERT_EQ(statusA, 0) << idA;
        ASSERT_EQ(statusB, 0) << idB;
        EXPECT_EQ(idA, idB) << "round " << round;
        UserDefaults after(file);
        EXPECT_EQ(after.stringForKey("InstallId").value_or("") + "\n", idA);
        EXPECT_EQ(after.stringForKey("OwnA"), "A") << "round " << round;
        EXPECT_EQ(after.stringForKey("OwnB"), "B") << "round " << round;
        EXPECT_EQ(after.integerForKey("CounterA"), kRacerWrites);
        EXPECT_EQ(after.integerForKey("CounterB"), kRacerWrites);
    }
}

// A write re-reads the file: a value another writer stored meanwhile is
// kept, a key removed here is removed there, and the domain picks up the
// other's values.
TEST_F(UserDefaultsTest, AWriteKeepsWhatAnotherWriterStoredMeanwhile) {
    fs::path file = home.path() / "shared.plist";
    UserDefaults first(file);
    UserDefaults second(file);
    ASSERT_TRUE(first.setObject(Value("one"), "First"));
    ASSERT_TRUE(first.setObject(Value("doomed"), "Removed"));
    ASSERT_TRUE(second.setObject(Value("two"), "Second"));
    EXPECT_EQ(second.stringForKey("First"), "one");
    ASSERT_TRUE(second.removeObjectForKey("Removed"));
    ASSERT_TRUE(first.setObject(Value("again"), "First"));
    EXPECT_EQ(first.stringForKey("Second"), "two");
    EXPECT_TRUE(first.objectForKey("Removed").isNull());
    UserDefaults reread(file);
    EXPECT_EQ(reread.stringForKey("First"), "again");
    EXPECT_EQ(reread.stringForKey("Second"), "two");
    EXPECT_TRUE(reread.objectForKey("Removed").isNull());

    // Load-or-make: a stored value is kept, and nothing is written for it.
    struct stat before {
    }, afterStat{};
    ASSERT_EQ(stat(file.c_str(), &before), 0);
    int calls = 0;
    EXPECT_EQ(second.loadOrStoreObject("First",
                                       [&](const Value &stored) {
                                           ++calls;
                                           return stored;
                                       }),
              Value("again"));
    ASSERT_EQ(stat(file.c_str(), &afterStat), 0);
    EXPECT_EQ(before.st_ino, afterStat.st_ino);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(
        first.loadOrStoreObject("Made", [](const Value &stored) { return stored.isNull() ? Value(1) : Value(2); }),
        Value(1));
    EXPECT_EQ(second.loadOrStoreObject("Made", [](const Value &stored) { return stored.isNull() ? Value(3) : stored; }),
              Value(1));
    EXPECT_EQ(UserDefaults(file).integerForKey("Made"), 1);

    // Another process holds the lock (a stopped copy of the application):
    // changes are in memory at once, and written, merged with what that
    // process wrote meanwhile, when it lets go. One that exits meanwhile
    // does so at once, losing what it could not write.
    ASSERT_TRUE(first.setObject(Value("invalid"), "Replaced"));
    const int held = open(first.lockFilePath().c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(first.setObject(Value("held"), "Mine"));
    ASSERT_TRUE(first.setObject(Value("mine"), "First"));
    ASSERT_TRUE(first.removeObjectForKey("Made"));
    // A stored value that is kept needs no lock.
    EXPECT_EQ(second.loadOrStoreObject("Second", [](const Value &stored) { return stored; }), Value("two"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << "the writes waited for the lock";
    // A value to make waits a little for the lock, holding up none of this
    // process's other writers, then is made here alone.
    {
        std::mutex mutex;
        std::condition_variable asked;
        bool resolving = false;
        Value made;
        std::thread maker([&] {
            made = first.loadOrStoreObject("InstallId", [&](const Value &stored) {
                if (!stored.isNull()) return stored;
                std::lock_guard<std::mutex> lock(mutex);
                resolving = true;
                asked.notify_all();
                return Value("ours");
            });
        });
        {
            std::unique_lock<std::mutex> lock(mutex);
            ASSERT_TRUE(asked.wait_for(lock, std::chrono::seconds(30), [&] { return resolving; }));
        }
        const auto writing = std::chrono::steady_clock::now();
        EXPECT_TRUE(first.setObject(Value("meanwhile"), "Meanwhile"));
        EXPECT_LT(std::chrono::steady_clock::now() - writing, std::chrono::milliseconds(200))
            << "the write waited behind the making";
        maker.join();
        EXPECT_EQ(made, Value("ours"));
    }
    // A value made to replace one the file holds is written over it, even
    // though the file holds a value for the key when it is written.
    EXPECT_EQ(first.loadOrStoreObject(
                  "Replaced", [](const Value &stored) { return stored == Value("invalid") ? Value("fresh") : stored; }),
              Value("fresh"));
    // So is one made by defaults opened before the file got the value it
    // replaces: what it replaced is what the file held when it was read.
    UserDefaults late(file);
    {
        Dictionary onDisk = UserDefaults(file).dictionaryRepresentation();
        onDisk["Rejected"] = Value("invalid");
        auto data =
            PropertyListSerialization::dataWithPropertyList(Value(onDisk), PropertyListSerialization::Format::Binary);
        ASSERT_TRUE(data && FileManager::defaultManager()->writeData(*data, file, true));
    }
    EXPECT_EQ(late.loadOrStoreObject("Rejected",
                                     [](const Value &stored) {
                                         return stored.isString() && stored != Value("invalid") ? stored
                                                                                                : Value("fresh");
                                     }),
              Value("fresh"));
    EXPECT_EQ(first.stringForKey("Mine"), "held");
    EXPECT_TRUE(first.objectForKey("Made").isNull());
    EXPECT_FALSE(UserDefaults(file).stringForKey("Mine")) << "written without the lock";
    // A process that sets values then exits: `release` lets go of the lock
    // between the two. It changes the parent's defaults it inherited (whose
    // own changes wait for the lock: the parent writes those), defaults of
    // its own that exit writes (then destroys), and four more destroyed at
    // the exit, after its handler. Every one waits for the lock within one
    // bound for the exit and says once when its changes are lost. Defaults
    // destroyed before, in the middle of the run, waited a bound of their
    // own, which the exit does not share.
    auto childSetsThenExits = [&](const std::string &key, bool release) {
        int set[2], go[2], lines[2];
        ASSERT_EQ(pipe(set), 0);
        ASSERT_EQ(pipe(go), 0);
        ASSERT_EQ(pipe(lines), 0);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            // Only the parent holds the lock, and the pipes' other ends.
            close(held);
            close(set[0]);
            close(go[1]);
            close(lines[0]);
            SystemLog::setSink([out = lines[1]](const std::string &line) {
                const std::string text = line + "\n";
                if (write(out, text.data(), text.size()) < 0) _exit(5);
            });
            bool ok = UserDefaults(file).setObject(Value("lost"), key + "MidRun");
            keptToTheEnd = std::make_unique<UserDefaults>(file);
            ok = keptToTheEnd->setObject(Value("child"), key) && ok;
            ok = first.setObject(Value("inherited"), key + "Inherited") && ok;
            for (int i = 0; i < 4; ++i) {
                endedAtExit.push_back(std::make_unique<UserDefaults>(file));
                ok = endedAtExit.back()->setObject(Value("ended"), key + "Ended") && ok;
            }
            char byte = 0;
            if (write(set[1], &byte, 1) != 1 || read(go[0], &byte, 1) < 0) _exit(4);
            exit(ok ? 0 : 3);
        }
        testsupport::RunningChild child(pid);
        close(set[1]);
        close(go[0]);
        close(lines[1]);
        char byte;
        ASSERT_EQ(read(set[0], &byte, 1), 1);
        if (release) close(held);
        const auto ending = std::chrono::steady_clock::now();
        close(go[1]);
        std::string said;
        char buffer[512];
        for (ssize_t n; (n = read(lines[0], buffer, sizeof buffer)) != 0;)
            if (n > 0) said.append(buffer, static_cast<size_t>(n));
        close(lines[0]);
        ASSERT_TRUE(child.ended(5000)) << key << ": the exit waited for the lock";
        // Six ends each waiting 250 ms would take 1.5 s; the exit's one
        // bound, 250 ms, is not taken from it by the end in the run.
        const auto exited = std::chrono::steady_clock::now() - ending;
        EXPECT_LT(exited, std::chrono::seconds(1)) << key;
        if (!release) {
            EXPECT_GE(exited, std::chrono::milliseconds(200)) << key << ": the exit did not wait its own bound";
            std::printf("exit of six defaults with the lock held elsewhere: %lld ms\n",
                        static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(exited).count()));
            std::fflush(stdout);
        }
        EXPECT_TRUE(WIFEXITED(child.status()) && WEXITSTATUS(child.status()) == 0) << key;
        size_t lost = 0;
        for (size_t at = 0; (at = said.find("are not written, and are lost", at)) != std::string::npos; ++at) ++lost;
        EXPECT_EQ(lost, release ? 1u : 7u) << said;
        close(set[0]);
    };
    childSetsThenExits("Lost", false);
    {
        // The holder writes meanwhile: its key stays, this process's keys
        // and removals win.
        Dictionary theirs = UserDefaults(file).dictionaryRepresentation();
        theirs["Theirs"] = Value("kept");
        theirs["First"] = Value("theirs");
        theirs["InstallId"] = Value("theirs");  // made there first
        auto data =
            PropertyListSerialization::dataWithPropertyList(Value(theirs), PropertyListSerialization::Format::Binary);
        ASSERT_TRUE(data && FileManager::defaultManager()->writeData(*data, file, true));
    }
    childSetsThenExits("Child", true);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while ((!UserDefaults(file).stringForKey("Mine") || first.stringForKey("Theirs") != "kept" ||
            UserDefaults(file).stringForKey("Rejected") != "fresh") &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(readWithPython(file, "sorted(d.items())"),
              "[('Child', 'child'), ('ChildEnded', 'ended'), ('ChildInherited', 'inherited'), ('First', 'mine'), "
              "('InstallId', 'theirs'), ('Meanwhile', 'meanwhile'), ('Mine', 'held'), ('Rejected', 'fresh'), "
              "('Replaced', 'fresh'), "
              "('Second', 'two'), ('Theirs', 'kept')]\n");
    EXPECT_EQ(first.stringForKey("Theirs"), "kept");
    EXPECT_EQ(first.stringForKey("InstallId"), "theirs") << "the value made there first is taken";
}

// A resolve runs while the defaults hold their locks, and so does the log's
// sink given a line of theirs: a call either makes to any defaults (the
// standard ones, others, the same, defaults made there) fails at once with
// a line, and waits for nothing, not even for a fork that waits for the
// resolve's locks. A sink that uses defaults on every line is refused once
// per line of the defaults, not for the line of its refusal.
TEST_F(UserDefaultsTest, AResolveOrALogSinkThatUsesTheDefaultsFailsAtOnce) {
    const fs::path folder = home.path() / "callbacks";
    const testsupport::ChildResult result = testsupport::runInChild([&] {
        std::mutex linesMutex;
        std::vector<std::string> lines;
        SystemLog::setSink([&](const std::string &line) {
            std::lock_guard<std::mutex> lock(linesMutex);
            lines.push_back(line);
        });
        auto count = [&](const std::string &text) {
            std::lock_guard<std::mutex> lock(linesMutex);
            return std::count_if(lines.begin(), lines.end(),
                                 [&](const std::string &line) { return line.find(text) != std::string::npos; });
        };
        std::vector<std::string> failures;
        UserDefaults defaults(folder / "app.plist");
        UserDefaults other(folder / "other.plist");
        const auto standard = UserDefaults::standardUserDefaults();
        if (!standard->setObject(Value("standard"), "Standard") || !other.setObject(Value("before"), "Key")) return 2;
        std::atomic<pid_t> forker{0};
        std::atomic<bool> returned{false};
        pid_t forked = -1;
        std::thread forking;
        bool asked = false;
        std::chrono::steady_clock::duration took{};
        const Value kept = defaults.loadOrStoreObject("Id", [&](const Value &) {
            if (asked) return Value("made");
            asked = true;
            forking = std::thread([&] {
                forker = gettid();
                forked = fork();
                if (forked == 0) _exit(0);
                returned = true;
            });
            if (!forkWaits(forker, returned)) failures.push_back("the fork did not wait for the resolve's locks");
            const auto start = std::chrono::steady_clock::now();
            if (!UserDefaults::standardUserDefaults()->objectForKey("Standard").isNull())
                failures.push_back("the standard defaults were read");
            if (other.setObject(Value("changed"), "Key")) failures.push_back("other defaults were written");
            if (defaults.setObject(Value("same"), "Same")) failures.push_back("the same defaults were written");
            {
                UserDefaults made(folder / "made.plist");
                if (made.setObject(Value("made"), "Key")) failures.push_back("defaults made there were written");
            }
            UserDefaults::resetStandardUserDefaults();
            took = std::chrono::steady_clock::now() - start;
            return Value("made");
        });
        forking.join();
        int status = -1;
        if (forked <= 0 || waitpid(forked, &status, 0) != forked || status != 0) failures.push_back("the fork failed");
        if (kept != Value("made")) failures.push_back("the value made was not kept");
        if (took > std::chrono::seconds(1)) failures.push_back("the refused calls waited");
        // One line each: the read, the two writes, the making, the write of
        // what was made, the reset.
        if (count("Refused") != 6) failures.push_back(std::to_string(count("Refused")) + " lines refused, not 6");
        // Nothing was changed by them, and the defaults work again after.
        if (UserDefaults::standardUserDefaults() != standard) failures.push_back("the standard defaults were reset");
        if (standard->stringForKey("Standard") != "standard") failures.push_back("the standard defaults changed");
        if (UserDefaults(folder / "other.plist").stringForKey("Key") != "before")
            failures.push_back("the other defaults changed");
        if (fs::exists(folder / "made.plist")) failures.push_back("the defaults made there wrote a file");
        UserDefaults after(folder / "app.plist");
        if (after.stringForKey("Id") != "made" || !after.objectForKey("Same").isNull())
            failures.push_back("the defaults' own file is not what the resolve answered");

        // A sink that writes other defaults on every line: refused for the
        // line of the defaults, silently for the line of its refusal.
        std::vector<bool> written;
        SystemLog::setSink([&](const std::string &line) {
            {
                std::lock_guard<std::mutex> lock(linesMutex);
                lines.push_back(line);
            }
            written.push_back(other.setObject(Value("logged"), "Logged"));
        });
        const size_t before = lines.size();
        if (defaults.setObject(Value(UUID::random()), "NotAPropertyList")) failures.push_back("a UUID was stored");
        SystemLog::setSink(nullptr);
        if (written != std::vector<bool>{false, false} || lines.size() != before + 2 ||
            lines.back().find("Refused setObject on " + (folder / "other.plist").string()) == std::string::npos)
            failures.push_back("the sink's calls were not refused once");
        if (!other.setObject(Value("after"), "Logged"))
            failures.push_back("the defaults refused a call after the sink");

        for (const auto &failure : failures) std::printf("%s\n", failure.c_str());
        if (!failures.empty())
            for (const auto &line : lines) std::printf("  %s\n", line.c_str());
        return failures.empty() ? 0 : 1;
    });
    EXPECT_TRUE(result.exited) << "the child hangs (signal " << result.signal << "):\n" << result.output;
    EXPECT_EQ(result.exitCode, 0) << result.output;
}

// Runs the body in a forked child (killed by its own alarm after 10 s) and
// answers its exit status; as root, the child drops to "nobody" first, so
// that file permissions hold for it.
static int inChildWithoutPrivileges(const std::function<int()> &body) {
    pid_t pid = fork();
    if (pid == 0) {
        alarm(10);
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(90);
        _exit(body());
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST_F(UserDefaultsTest, AnUnreadableFileIsSetAsideNotOverwritten) {
    // Not a property list: set aside, and the domain starts afresh.
    fs::path file = home.path() / "broken.plist";
    std::ofstream(file) << "this is not a property list";
    UserDefaults defaults(file);
    EXPECT_TRUE(defaults.dictionaryRepresentation().empty());
    fs::path aside = file;
    aside += ".corrupt";
    ASSERT_TRUE(fs::exists(aside));
    std::ifstream in(aside);
    std::string kept((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(kept, "this is not a property list");
    EXPECT_TRUE(defaults.setObject(Value("fresh"), "Key"));
    defaults.reload();
    EXPECT_EQ(defaults.stringForKey("Key"), "fresh");

    // A folder in the file's place, with an earlier damaged file set aside
    // already: moved under the next free name, the earlier one kept, and
    // settings are saved again. A hard link to someone's notes is moved
    // without being chmodded. With every name taken, nothing says it moved.
    {
        const fs::path folder = home.path() / "folder.plist";
        const fs::path earlier = folder.string() + ".corrupt";
        fs::create_directories(folder / "inside");
        std::ofstream(earlier) << "earlier";
        CapturedLines log;
        UserDefaults inPlace(folder);
        EXPECT_TRUE(fs::is_directory(folder.string() + ".corrupt.1"));
        EXPECT_EQ(log.count("; moved it to " + folder.string() + ".corrupt.1 "), 1u);
        std::ifstream earlierIn(earlier);
        EXPECT_EQ(std::string((std::istreambuf_iterator<char>(earlierIn)), {}), "earlier");
        EXPECT_TRUE(inPlace.setObject(Value("saved"), "Key"));
        EXPECT_EQ(readWithPython(folder, "d['Key']"), "saved\n");

        const fs::path notes = home.path() / "notes.txt";
        std::ofstream(notes) << "notes";
        ASSERT_EQ(chmod(notes.c_str(), 0644), 0);
        fs::remove(folder);
        fs::create_hard_link(notes, folder);
        UserDefaults linked(folder);
        struct stat st {};
        ASSERT_EQ(stat((folder.string() + ".corrupt.2").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0644u);

        fs::create_directory(folder);
        for (int i = 3; i <= 9; ++i) fs::create_directory(folder.string() + ".corrupt." + std::to_string(i));
        const size_t moved = log.count("moved it to");
        UserDefaults stuck(folder);
        EXPECT_EQ(log.count("could not move it aside (every name for it is taken)"), 1u);
        EXPECT_EQ(log.count("moved it to"), moved);
        EXPECT_TRUE(fs::is_directory(folder));
    }

    // Not ours to read, so set aside unread (a regular file as 0600) and the
    // domain starts empty: a sparse file of 1 GiB, a FIFO, a link (and its
    // copy a link too) to settings elsewhere, which stay untouched.
    const fs::path elsewhere = home.path() / "elsewhere.plist";
    ASSERT_TRUE(UserDefaults(elsewhere).setObject(Value("theirs"), "Elsewhere"));
    ASSERT_EQ(chmod(elsewhere.c_str(), 0644), 0);
    const std::vector<std::pair<mode_t, std::function<void()>>> foreign = {
        {S_IFREG,
         [&] {
             std::ofstream(file) << "bplist00";
             ASSERT_EQ(truncate(file.c_str(), off_t(1) << 30), 0);
             ASSERT_EQ(chmod(file.c_str(), 0644), 0);
             // Its access time before its change: a read would move it on.
             const timespec times[2] = {{1, 0}, {0, UTIME_NOW}};
             ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
         }},
        {S_IFIFO, [&] { ASSERT_EQ(mkfifo(file.c_str(), 0644), 0); }},
        {S_IFLNK,
         [&] {
             fs::create_symlink(elsewhere, file);
             fs::create_symlink(elsewhere, defaults.backupFilePath());
         }},
    };
    for (const auto &[type, make] : foreign) {
        for (const auto &path : {file, aside, defaults.backupFilePath()}) fs::remove(path);
        make();
        UserDefaults notOurs(file);
        EXPECT_TRUE(notOurs.dictionaryRepresentation().empty()) << type;
        struct stat st {};
        ASSERT_EQ(lstat(aside.c_str(), &st), 0) << type;
        EXPECT_EQ(st.st_mode & S_IFMT, type);
        if (type == S_IFREG) {
            EXPECT_EQ(st.st_mode & 0777, 0600u);
            EXPECT_EQ(st.st_size, off_t(1) << 30);
            EXPECT_EQ(st.st_atim.tv_sec, 1) << "the file was read";
        }
        EXPECT_TRUE(notOurs.setObject(Value("fresh"), "Key")) << type;
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(file))) << type;
    }
    fs::remove(aside);
    struct stat target {};
    ASSERT_EQ(stat(elsewhere.c_str(), &target), 0);
    EXPECT_EQ(target.st_mode & 0777, 0644u);
    EXPECT_EQ(readWithPython(elsewhere, "sorted(d.items())"), "[('Elsewhere', 'theirs')]\n");

    // A file that exists but cannot be read (mode 000) is left as it is:
    // writes are refused rather than replacing what it holds.
    fs::path folder = home.path() / "locked";
    fs::create_directory(folder);
    fs::path locked = folder / "locked.plist";
    {
        UserDefaults writer(locked);
        ASSERT_TRUE(writer.setObject(Value("precious"), "InstallId"));
    }
    ASSERT_EQ(chmod(locked.c_str(), 0), 0);
    if (geteuid() == 0) {
        ASSERT_EQ(chmod(home.path().c_str(), 0711), 0);
        ASSERT_EQ(chown(folder.c_str(), 65534, 65534), 0);
        ASSERT_EQ(chown(locked.c_str(), 65534, 65534), 0);
    }
    int status = inChildWithoutPrivileges([&] {
        UserDefaults unreadable(locked);
        if (!unreadable.dictionaryRepresentation().empty()) return 1;
        if (unreadable.setObject(Value("other"), "Key")) return 2;
        if (unreadable.stringForKey("Key") != "other") return 3;  // kept in memory for this run
        if (fs::exists(fs::path(locked.string() + ".corrupt"))) return 4;
        return 0;
    });
    EXPECT_EQ(status, 0);
    ASSERT_EQ(chmod(locked.c_str(), 0600), 0);
    EXPECT_EQ(UserDefaults(locked).stringForKey("InstallId"), "precious");
}

TEST_F(UserDefaultsTest, TextThatIsNotUTF8IsRefusedAndTheFileStaysReadable) {
    fs::path file = home.path() / "text.plist";
    {
        UserDefaults defaults(file);
        ASSERT_TRUE(defaults.setObject(Value("before"), "Name"));
        EXPECT_FALSE(defaults.setObject(Value("\xc3\x28"), "Name"));
        EXPECT_FALSE(defaults.setObject(Value("x"), "\xc0\xc0"));
        EXPECT_FALSE(defaults.setObject(Value(Array{Value("ok"), Value("\xff")}), "List"));
        EXPECT_FALSE(defaults.setObject(Value(Dictionary{{"\xed\xa0\x80", Value("surrogate")}}), "Map"));
        EXPECT_EQ(defaults.stringForKey("Name"), "before");
        EXPECT_TRUE(defaults.objectForKey("List").isNull());
        // Real non-ASCII text is welcome.
        EXPECT_TRUE(defaults.setObject(Value("na\xc3\xafve \xf0\x9f\x93\x9d"), "Title"));
    }
    UserDefaults relaunched(file);
    EXPECT_EQ(relaunched.stringForKey("Name"), "before");
    EXPECT_EQ(relaunched.stringForKey("Title"), "na\xc3\xafve \xf0\x9f\x93\x9d");
    EXPECT_FALSE(fs::exists(fs::path(file.string() + ".corrupt")));
}

// The merge a write makes, without files: only this process's keys change,
// a key removed that the file lacks writes nothing, and a value made alone
// yields to another value the file holds by now, but not to the very value
// it was made to replace.
TEST(UserDefaultsMergeTest, ChangesMadeValuesAndRollBack) {
    using Changes = UserDefaultsMerge::Changes;
    using Made = UserDefaultsMerge::Made;
    const Dictionary file{{"Theirs", Value("kept")}, {"Id", Value("invalid")}, {"Old", Value(1)}};
    struct Case {
        const char *what;
        Changes changes;
        Made made;
        bool differs;
        std::vector<std::string> yielded;
        Dictionary contents;
    };
    const std::vector<Case> cases = {
        {"a key set joins the file's",
         {{"Mine", Value(2)}},
         {},
         true,
         {},
         {{"Theirs", Value("kept")}, {"Id", Value("invalid")}, {"Old", Value(1)}, {"Mine", Value(2)}}},
        {"a key removed goes",
         {{"Old", std::nullopt}},
         {},
         true,
         {},
         {{"Theirs", Value("kept")}, {"Id", Value("invalid")}}},
        {"a key removed that the file lacks writes nothing", {{"Gone", std::nullopt}}, {}, false, {}, file},
        {"a value set again writes nothing", {{"Old", Value(1)}}, {}, false, {}, file},
        {"a value made over the file's value is written",
         {{"Id", Value("fresh")}},
         {{"Id", Value("invalid")}},
         true,
         {},
         {{"Theirs", Value("kept")}, {"Id", Value("fresh")}, {"Old", Value(1)}}},
        {"a value made over nothing yields to the file's",
         {{"Id", Value("fresh")}, {"Mine", Value(2)}},
         {{"Id", Value()}},
         true,
         {"Id"},
         {{"Theirs", Value("kept")}, {"Id", Value("invalid")}, {"Old", Value(1)}, {"Mine", Value(2)}}},
        {"a value made over another yields", {{"Id", Value("fresh")}}, {{"Id", Value("older")}}, false, {"Id"}, file},
        {"a value made over nothing, the file without it, is written",
         {{"New", Value("made")}},
         {{"New", Value()}},
         true,
         {},
         {{"Theirs", Value("kept")}, {"Id", Value("invalid")}, {"Old", Value(1)}, {"New", Value("made")}}},
    };
    for (const auto &c : cases) {
        const UserDefaultsMerge::Outcome outcome = UserDefaultsMerge::merge(file, c.changes, c.made);
        EXPECT_EQ(outcome.differs, c.differs) << c.what;
        EXPECT_EQ(outcome.yielded, c.yielded) << c.what;
        EXPECT_TRUE(outcome.contents == c.contents) << c.what << ": " << Value(outcome.contents).description();
    }
    // A change rolled back (refused for the size) gets back what the file
    // held, set or absent, and the others stay.
    UserDefaultsMerge::Outcome outcome =
        UserDefaultsMerge::merge(file, {{"Old", Value(5)}, {"Big", Value("big")}, {"Mine", Value(2)}}, {});
    UserDefaultsMerge::change(outcome, "Old", Value(6));
    UserDefaultsMerge::rollBack(outcome, "Big");
    UserDefaultsMerge::rollBack(outcome, "Old");
    EXPECT_TRUE(
        (outcome.contents ==
         Dictionary{{"Theirs", Value("kept")}, {"Id", Value("invalid")}, {"Old", Value(1)}, {"Mine", Value(2)}}))
        << Value(outcome.contents).description();
    EXPECT_TRUE(outcome.differs);
    UserDefaultsMerge::rollBack(outcome, "Mine");
    EXPECT_TRUE(outcome.contents == file);
    EXPECT_FALSE(outcome.differs) << "nothing is left to write";
}
