#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <mutex>

#include "BCLogger.h"
#include "BCUtility.h"
#include "platform/foundation/Bundle.h"
#include "support/TestSupport.h"

namespace {

// The permission bits, of a link itself rather than what it points to.
int modeOf(const std::filesystem::path &path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

class BCUtilityFileTest : public ::testing::Test {
protected:
    void SetUp() override { BCUtility::setBeaconDirectoryURLForTesting(dir.path() / "sdk"); }
    void TearDown() override { BCUtility::setBeaconDirectoryURLForTesting({}); }
    static platform::Data bytes(const std::string &s) { return platform::Data(s.begin(), s.end()); }
    testsupport::TemporaryDirectory dir;
};

}  // namespace

TEST_F(BCUtilityFileTest, CreateKeepsOrReplacesAndMakesParents) {
    auto url = BCUtility::createFileAtPathComponent(std::string("crashes/a.bin"), bytes("first"), true, false);
    ASSERT_TRUE(url);
    EXPECT_EQ(*url, dir.path() / "sdk" / "crashes" / "a.bin");
    EXPECT_TRUE(BCUtility::fileExistsForPathComponent(std::string("crashes/a.bin")));

    auto kept = BCUtility::createFileAtPathComponent(std::string("crashes/a.bin"), bytes("second"), true, false);
    EXPECT_EQ(kept, url);
    EXPECT_EQ(BCUtility::loadDataForPathComponent(std::string("crashes/a.bin")), bytes("first"));

    BCUtility::createFileAtPathComponent(std::string("crashes/a.bin"), bytes("third"), false, true);
    EXPECT_EQ(BCUtility::loadDataForPathComponent(std::string("crashes/a.bin")), bytes("third"));

    auto empty = BCUtility::createFileAtPathComponent(std::string("empty"), std::nullopt, true, true);
    ASSERT_TRUE(empty);
    EXPECT_EQ(BCUtility::loadDataForPathComponent(std::string("empty")), platform::Data{});
    EXPECT_FALSE(BCUtility::createFileAtPathComponent(std::nullopt, bytes("x"), true, true));
}

TEST_F(BCUtilityFileTest, ComponentsNeverEscapeTheDirectory) {
    EXPECT_EQ(BCUtility::fullURLForPathComponent(std::string("/x")), dir.path() / "sdk" / "x");
    EXPECT_FALSE(BCUtility::fullURLForPathComponent(std::string("..")));
    EXPECT_FALSE(BCUtility::fullURLForPathComponent(std::string("a/../../escape")));
    EXPECT_FALSE(BCUtility::createFileAtPathComponent(std::string("../escape"), bytes("x"), true, true));
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "escape"));
    EXPECT_FALSE(BCUtility::deleteItemForPathComponent(std::string("..")));
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "sdk"));
    EXPECT_FALSE(BCUtility::fullURLForPathComponent(std::nullopt));
}

TEST_F(BCUtilityFileTest, ListingAndDeleting) {
    BCUtility::createFileAtPathComponent(std::string("logs/one"), bytes("12345"), true, true);
    BCUtility::createFileAtPathComponent(std::string("logs/two"), bytes(""), true, true);
    std::filesystem::create_symlink(dir.path() / "sdk" / "logs" / "one", dir.path() / "sdk" / "logs" / "link");
    auto entries = BCUtility::contentsOfDirectory(std::string("logs"));
    ASSERT_TRUE(entries);
    ASSERT_EQ(entries->size(), 3u);
    std::map<std::string, platform::FileManager::DirectoryEntry> byName;
    for (auto &e : *entries) byName[e.name] = e;
    EXPECT_EQ(byName["one"].size, 5u);
    EXPECT_TRUE(byName["one"].isRegularFile);
    EXPECT_FALSE(byName["link"].isRegularFile);
    EXPECT_FALSE(BCUtility::contentsOfDirectory(std::string("")));
    EXPECT_FALSE(BCUtility::contentsOfDirectory(std::string("missing")));

    EXPECT_TRUE(BCUtility::deleteItemForPathComponent(std::string("logs/one")));
    EXPECT_FALSE(BCUtility::deleteItemForPathComponent(std::string("logs/one")));
    EXPECT_TRUE(BCUtility::deleteItemForPathComponent(std::string("logs")));
    EXPECT_FALSE(BCUtility::fileExistsForPathComponent(std::string("logs")));
    EXPECT_FALSE(BCUtility::deleteFileAtURL(std::nullopt));
    EXPECT_TRUE(BCUtility::createDirectoryForPathComponent(std::string("a/b/c")));
    EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "sdk" / "a" / "b" / "c"));
    EXPECT_FALSE(BCUtility::disableBackupForDirectoryURL(std::nullopt));
}

TEST(BCUtilityDirectory, DefaultDirectoryIsUnderApplicationSupport) {
    testsupport::TemporaryHome home;
    std::ofstream(home.path() / "Info.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
           "<key>CFBundleIdentifier</key><string>com.plotwick.Tests</string></dict></plist>\n";
    platform::Bundle::setMainBundleDirectory(home.path());
    // What an earlier run left readable by others; the first use in a
    // process makes it private.
    const mode_t previous = ::umask(022);
    const auto sdk = home.path() / ".local/share/com.plotwick.Tests/io.beacon.sdk";
    std::filesystem::create_directories(sdk / "crashes");
    std::ofstream(sdk / "Logs.sqlite") << "x";
    std::ofstream(sdk / "crashes" / "report") << "x";
    // The computed directory is made once per process; this test is the
    // only one that asks for it.
    auto url = BCUtility::beaconDirectoryURL();
    platform::Bundle::setMainBundleDirectory(std::nullopt);
    ::umask(previous);
    EXPECT_EQ(url, sdk);
    EXPECT_TRUE(std::filesystem::is_directory(url));
    EXPECT_EQ(modeOf(sdk), 0700);
    EXPECT_EQ(modeOf(sdk / "crashes"), 0700);
    EXPECT_EQ(modeOf(sdk / "Logs.sqlite"), 0600);
    EXPECT_EQ(modeOf(sdk / "crashes" / "report"), 0600);
    // Folders above it that the SDK did not make are left as they are.
    EXPECT_EQ(modeOf(sdk.parent_path()), 0755);
}

TEST_F(BCUtilityFileTest, FoldersAndFilesArePrivateWhateverTheUmask) {
    const mode_t previous = ::umask(022);
    const auto mode = modeOf;
    // The SDK makes its folder and the missing folders above it 0700; one
    // that exists keeps its permissions.
    const auto top = dir.path() / "existing";
    std::filesystem::create_directory(top);
    ::chmod(top.c_str(), 0755);
    BCUtility::setBeaconDirectoryURLForTesting(top / "made" / "sdk");
    EXPECT_EQ(mode(top), 0755);
    EXPECT_EQ(mode(top / "made"), 0700);
    EXPECT_EQ(mode(top / "made" / "sdk"), 0700);
    ASSERT_TRUE(BCUtility::createFileAtPathComponent(std::string("crashes/a"), bytes("1"), false, false));
    ASSERT_TRUE(BCUtility::createFileAtPathComponent(std::string("crasheslogbuffer/b"), bytes("2"), true, false));
    EXPECT_TRUE(BCUtility::createDirectoryForPathComponent(std::string("crasheswrapperexceptions")));
    EXPECT_EQ(mode(top / "made" / "sdk" / "crashes"), 0700);
    EXPECT_EQ(mode(top / "made" / "sdk" / "crashes" / "a"), 0600);
    EXPECT_EQ(mode(top / "made" / "sdk" / "crasheslogbuffer" / "b"), 0600);
    EXPECT_EQ(mode(top / "made" / "sdk" / "crasheswrapperexceptions"), 0700);

    // Items an earlier run left lose the group's and others' permissions,
    // and nothing gains any; links are not followed.
    const auto old = dir.path() / "old";
    const auto outside = dir.path() / "outside";
    std::filesystem::create_directories(old / "crashes" / "deep" / "er");
    std::filesystem::create_directories(outside);
    for (const char *name :
         {"Logs.sqlite", "Logs.sqlite-journal", "crashes/r", "crashes/deep/er/f", "readonly", "writeonly"})
        std::ofstream(old / name) << "x";
    std::ofstream(outside / "file") << "x";
    ::chmod((old / "crashes").c_str(), 0777);
    ::chmod((old / "crashes" / "r").c_str(), 0666);
    ::chmod((old / "readonly").c_str(), 0444);
    ::chmod((old / "writeonly").c_str(), 0222);
    ASSERT_EQ(::mkfifo((old / "fifo").c_str(), 0666), 0);
    std::filesystem::create_symlink(outside / "file", old / "crashes" / "link");
    std::filesystem::create_symlink(outside, old / "crashes" / "folderlink");
    BCUtility::setBeaconDirectoryURLForTesting(old);
    ::umask(previous);
    EXPECT_EQ(mode(old), 0700);
    EXPECT_EQ(mode(old / "Logs.sqlite"), 0600);
    EXPECT_EQ(mode(old / "Logs.sqlite-journal"), 0600);
    EXPECT_EQ(mode(old / "crashes"), 0700);
    EXPECT_EQ(mode(old / "crashes" / "r"), 0600);
    EXPECT_EQ(mode(old / "crashes" / "deep" / "er"), 0700);
    EXPECT_EQ(mode(old / "crashes" / "deep" / "er" / "f"), 0600);
    EXPECT_EQ(mode(old / "readonly"), 0400);
    EXPECT_EQ(mode(old / "writeonly"), 0200);
    EXPECT_EQ(mode(old / "fifo"), 0644);  // not ours to open
    EXPECT_EQ(mode(outside), 0755);
    EXPECT_EQ(mode(outside / "file"), 0644);
}

TEST_F(BCUtilityFileTest, FailuresAreLoggedAtTheirLevels) {
    std::mutex mutex;
    std::vector<std::pair<BCLogLevel, std::string>> lines;
    BCLogger::setCurrentLogLevel(BCLogLevelVerbose);
    BCLogger::setLogHandler([&](const BCLogMessageProvider &m, BCLogLevel level, const std::string &tag, const char *,
                                const char *, uint32_t) {
        EXPECT_EQ(tag, "Beacon");
        std::lock_guard<std::mutex> lock(mutex);
        lines.push_back({level, m()});
    });
    auto sdk = dir.path() / "sdk";
    EXPECT_FALSE(BCUtility::deleteItemForPathComponent(std::string("missing")));
    EXPECT_FALSE(BCUtility::contentsOfDirectory(std::string("missing")));
    // A file where the parent directory should be.
    BCUtility::createFileAtPathComponent(std::string("blocker"), bytes("x"), true, true);
    EXPECT_FALSE(BCUtility::createFileAtPathComponent(std::string("blocker/child"), bytes("y"), true, true));
    // A FIFO in the directory is refused rather than read forever.
    ASSERT_EQ(::mkfifo((sdk / "fifo").c_str(), 0600), 0);
    EXPECT_FALSE(BCUtility::loadDataForPathComponent(std::string("fifo")));
    BCLogger::setLogHandler(BCLogger::defaultHandler());
    BCLogger::setCurrentLogLevel(BCLogLevelAssert);
    BCLogger::setIsUserDefinedLogLevel(false);

    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].first, BCLogLevelDebug);
    EXPECT_EQ(lines[0].second, "Couldn't remove item at " + (sdk / "missing").string() + ": " +
                                   platform::Error::posix(ENOENT, (sdk / "missing").string())->localizedDescription());
    EXPECT_EQ(lines[1].first, BCLogLevelDebug);
    EXPECT_EQ(lines[1].second.rfind("Couldn't get files in the directory \"missing\": ", 0), 0u) << lines[1].second;
    EXPECT_EQ(lines[2].first, BCLogLevelError);
    EXPECT_EQ(lines[2].second.rfind("Couldn't create directory at " + (sdk / "blocker").string() + ": ", 0), 0u)
        << lines[2].second;
    EXPECT_EQ(lines[3].first, BCLogLevelError);
    EXPECT_EQ(lines[3].second, "Couldn't create new file at path " + (sdk / "blocker" / "child").string());
}
