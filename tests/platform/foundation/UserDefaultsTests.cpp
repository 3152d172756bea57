// User defaults: the two domains, persistence across a relaunch and a crash,
// concurrent writers, and the file on disk.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "platform/foundation/UserDefaults.h"
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
            "python3 -c \"import plistlib,sys; d=plistlib.load(open(sys.argv[1],'rb')); print(" + expression +
                ")\" " + file.string() + " 2>&1",
            &code);
        EXPECT_EQ(code, 0) << out;
        return out;
    }

    testsupport::TemporaryHome home;
};

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
}

TEST_F(UserDefaultsTest, TheFileIsReplacedAtomicallyAndReadableByPlistlib) {
    fs::path file = home.path() / "atomic.plist";
    UserDefaults defaults(file);
    ASSERT_TRUE(defaults.setObject(Value("one"), "A"));
    struct stat first;
    ASSERT_EQ(stat(file.c_str(), &first), 0);
    EXPECT_EQ(first.st_mode & 0777, 0600u);
    ASSERT_TRUE(defaults.setObject(Value(2), "B"));
    struct stat second;
    ASSERT_EQ(stat(file.c_str(), &second), 0);
    // A new file was renamed over the old one; it was not rewritten in place.
    EXPECT_NE(first.st_ino, second.st_ino);
    auto entries = FileManager::defaultManager()->contentsOfDirectory(home.path());
    ASSERT_TRUE(entries);
    for (const auto &e : *entries) EXPECT_EQ(e.name.find(".atomic.plist."), std::string::npos) << "left over: " << e.name;
    EXPECT_EQ(readWithPython(file, "sorted(d.items())"), "[('A', 'one'), ('B', 2)]\n");
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
