#include "platform/security/Keychain.h"
#include "support/TestSupport.h"

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <regex>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <thread>

using namespace platform::security;
using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

namespace {

Bytes bytes(const std::string &text) { return Bytes(text.begin(), text.end()); }

// The file names in a directory, and whether any of them is not an item file.
std::vector<std::string> entries(const fs::path &dir) {
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
    return names;
}

bool onlyItemFiles(const fs::path &dir) {
    static const std::regex kItemName("[0-9a-f]{64}\\.item");
    for (const auto &entry : fs::directory_iterator(dir)) {
        if (!entry.is_regular_file() || !std::regex_match(entry.path().filename().string(), kItemName)) return false;
    }
    return true;
}

mode_t modeOf(const fs::path &path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

class KeychainTest : public ::testing::Test {
protected:
    testsupport::TemporaryDirectory temp;
    fs::path dir = temp.path() / "keychain";
    Keychain keychain{dir};
};

}  // namespace

TEST_F(KeychainTest, AddCopyUpdateDeleteAndTheirStatuses) {
    Bytes data = bytes("keep me");
    EXPECT_EQ(keychain.copyMatching("svc", "acct", &data), errSecItemNotFound);
    EXPECT_EQ(data, bytes("keep me"));  // untouched on failure
    EXPECT_EQ(keychain.deleteItem("svc", "acct"), errSecItemNotFound);
    EXPECT_EQ(keychain.update("svc", "acct", bytes("x")), errSecItemNotFound);
    EXPECT_FALSE(fs::exists(dir));  // nothing written yet, nothing created

    EXPECT_EQ(keychain.add("svc", "acct", bytes("first")), errSecSuccess);
    EXPECT_EQ(keychain.add("svc", "acct", bytes("second")), errSecDuplicateItem);
    KeychainAccessibility accessibility{};
    EXPECT_EQ(keychain.copyMatching("svc", "acct", &data, &accessibility), errSecSuccess);
    EXPECT_EQ(data, bytes("first"));
    EXPECT_EQ(accessibility, KeychainAccessibility::afterFirstUnlockThisDeviceOnly);
    EXPECT_EQ(keychain.copyMatching("svc", "acct"), errSecSuccess);  // existence only

    EXPECT_EQ(keychain.update("svc", "acct", bytes("third")), errSecSuccess);
    EXPECT_EQ(keychain.copyMatching("svc", "acct", &data), errSecSuccess);
    EXPECT_EQ(data, bytes("third"));

    // Same account under another service, and empty data, are items of their own.
    EXPECT_EQ(keychain.add("svc2", "acct", Bytes{}), errSecSuccess);
    data = bytes("not empty");
    EXPECT_EQ(keychain.copyMatching("svc2", "acct", &data), errSecSuccess);
    EXPECT_TRUE(data.empty());

    EXPECT_EQ(keychain.deleteItem("svc", "acct"), errSecSuccess);
    EXPECT_EQ(keychain.deleteItem("svc", "acct"), errSecItemNotFound);
    EXPECT_EQ(keychain.copyMatching("svc", "acct", &data), errSecItemNotFound);
    EXPECT_EQ(keychain.copyMatching("svc2", "acct", &data), errSecSuccess);

    // Unusable addresses and oversized data are refused without writing.
    EXPECT_EQ(keychain.add("", "acct", bytes("x")), errSecParam);
    EXPECT_EQ(keychain.add("svc", "", bytes("x")), errSecParam);
    EXPECT_EQ(keychain.copyMatching("", "acct"), errSecParam);
    EXPECT_EQ(keychain.add("svc", std::string(Keychain::kMaximumNameSize + 1, 'a'), bytes("x")), errSecParam);
    EXPECT_EQ(keychain.add("svc", "big", Bytes(Keychain::kMaximumDataSize + 1)), errSecParam);
    EXPECT_EQ(keychain.add("svc", "big", Bytes(Keychain::kMaximumDataSize, 7)), errSecSuccess);
    EXPECT_EQ(keychain.copyMatching("svc", "big", &data), errSecSuccess);
    EXPECT_EQ(data.size(), Keychain::kMaximumDataSize);
}

TEST_F(KeychainTest, DirectoryAndFilesArePrivateWhateverTheUmask) {
    fs::path nested = temp.path() / "data" / "home" / "keychain";
    Keychain deep(nested);
    mode_t saved = ::umask(0);
    OSStatus status = deep.add("svc", "acct", bytes("secret"));
    OSStatus replaced = deep.update("svc", "acct", bytes("secret 2"));
    ::umask(saved);
    ASSERT_EQ(status, errSecSuccess);
    ASSERT_EQ(replaced, errSecSuccess);

    EXPECT_EQ(modeOf(nested), 0700u);
    EXPECT_EQ(modeOf(temp.path() / "data"), 0700u);  // missing parents too
    auto names = entries(nested);
    ASSERT_EQ(names.size(), 1u);
    EXPECT_TRUE(onlyItemFiles(nested));
    EXPECT_EQ(modeOf(nested / names[0]), 0600u);
}

TEST_F(KeychainTest, FailedStoreKeepsTheOldItemAndLeavesNoTemporaryFile) {
    ASSERT_EQ(keychain.add("svc", "acct", bytes("old")), errSecSuccess);
    for (auto step : {Keychain::WriteStep::createTemporary, Keychain::WriteStep::write, Keychain::WriteStep::sync,
                      Keychain::WriteStep::publish}) {
        SCOPED_TRACE(static_cast<int>(step));
        keychain.setFaultHookForTesting([step](Keychain::WriteStep s) { return s == step; });
        EXPECT_EQ(keychain.update("svc", "acct", bytes("new")), errSecIO);
        EXPECT_EQ(keychain.add("svc", "other", bytes("new")), errSecIO);

        // A fresh instance, as after a relaunch, reads the old item whole.
        Keychain relaunched(dir);
        Bytes data;
        EXPECT_EQ(relaunched.copyMatching("svc", "acct", &data), errSecSuccess);
        EXPECT_EQ(data, bytes("old"));
        EXPECT_EQ(relaunched.copyMatching("svc", "other"), errSecItemNotFound);
        EXPECT_EQ(entries(dir).size(), 1u);
        EXPECT_TRUE(onlyItemFiles(dir));
    }
    keychain.setFaultHookForTesting(nullptr);
    EXPECT_EQ(keychain.update("svc", "acct", bytes("new")), errSecSuccess);
    Bytes data;
    EXPECT_EQ(keychain.copyMatching("svc", "acct", &data), errSecSuccess);
    EXPECT_EQ(data, bytes("new"));
}

TEST_F(KeychainTest, DamagedItemFileIsAnErrorNotACrash) {
    ASSERT_EQ(keychain.add("svc", "acct", bytes("a value of some length")), errSecSuccess);
    fs::path file = dir / entries(dir).at(0);
    std::string original;
    {
        std::ifstream in(file, std::ios::binary);
        original.assign(std::istreambuf_iterator<char>(in), {});
    }
    std::string damaged[] = {
        "",
        "garbage",
        original.substr(0, original.size() - 1),                                           // truncated
        original + "x",                                                                    // trailing bytes
        original.substr(0, 8) + std::string("\xff\xff\xff\x7f", 4) + original.substr(12),  // length too large
    };
    for (const auto &content : damaged) {
        std::ofstream(file, std::ios::binary | std::ios::trunc) << content;
        Bytes data = bytes("untouched");
        EXPECT_EQ(keychain.copyMatching("svc", "acct", &data), errSecDecode);
        EXPECT_EQ(data, bytes("untouched"));
        EXPECT_EQ(keychain.update("svc", "acct", bytes("x")), errSecDecode);
    }
    // A damaged item can still be removed and added again.
    EXPECT_EQ(keychain.deleteItem("svc", "acct"), errSecSuccess);
    EXPECT_EQ(keychain.add("svc", "acct", bytes("again")), errSecSuccess);

    // Not an item of ours, so damaged and never read: a sparse file of 1 GiB,
    // a FIFO (whose open would wait for a writer), a link to a file
    // elsewhere. Removing it takes only the name; the link's target stays.
    const fs::path target = temp.path() / "elsewhere";
    std::ofstream(target) << original;
    const std::vector<std::function<void()>> foreign = {
        [&] {
            std::ofstream(file) << original;
            ASSERT_EQ(truncate(file.c_str(), off_t(1) << 30), 0);
        },
        [&] { ASSERT_EQ(mkfifo(file.c_str(), 0600), 0); },
        [&] { fs::create_symlink(target, file); },
    };
    for (size_t i = 0; i < foreign.size(); ++i) {
        fs::remove(file);
        foreign[i]();
        Bytes data = bytes("untouched");
        EXPECT_EQ(keychain.copyMatching("svc", "acct", &data), errSecDecode) << i;
        EXPECT_EQ(data, bytes("untouched"));
        EXPECT_EQ(keychain.update("svc", "acct", bytes("x")), errSecDecode) << i;
        EXPECT_EQ(keychain.deleteItem("svc", "acct"), errSecSuccess) << i;
        EXPECT_EQ(keychain.add("svc", "acct", bytes("again")), errSecSuccess) << i;
    }
    std::ifstream in(target, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), original);
}

TEST_F(KeychainTest, OddNamesStayInsideTheDirectoryAndApart) {
    const std::vector<std::pair<std::string, std::string>> addresses = {
        {"../../escape", "acct"},
        {"svc", "../../../etc/passwd"},
        {"/abs/path", "/"},
        {"..", "."},
        {".", ".."},
        {"a/b", "c"},
        {"a", "b/c"},
        {"ab", "c"},
        {"a", "bc"},
        {"ünïcødé ✓", "日本語 🔑"},
        {"line\nbreak", "tab\there"},
        {std::string(4096, 'x'), "long"},
    };
    for (size_t i = 0; i < addresses.size(); ++i) {
        const auto &[service, account] = addresses[i];
        ASSERT_EQ(keychain.add(service, account, bytes("item " + std::to_string(i))), errSecSuccess) << i;
    }
    for (size_t i = 0; i < addresses.size(); ++i) {
        Bytes data;
        ASSERT_EQ(keychain.copyMatching(addresses[i].first, addresses[i].second, &data), errSecSuccess) << i;
        EXPECT_EQ(data, bytes("item " + std::to_string(i)));
    }
    EXPECT_EQ(entries(dir).size(), addresses.size());
    EXPECT_TRUE(onlyItemFiles(dir));
    EXPECT_EQ(entries(temp.path()), std::vector<std::string>{"keychain"});  // nothing escaped
}

TEST_F(KeychainTest, SecondInstanceOnTheSameDirectorySeesTheItems) {
    ASSERT_EQ(keychain.add("svc", "acct", bytes("v1")), errSecSuccess);
    Keychain other(dir.string() + "/");  // same folder, written differently
    Bytes data;
    EXPECT_EQ(other.copyMatching("svc", "acct", &data), errSecSuccess);
    EXPECT_EQ(data, bytes("v1"));
    EXPECT_EQ(other.add("svc", "acct", bytes("v2")), errSecDuplicateItem);
    EXPECT_EQ(other.update("svc", "acct", bytes("v2")), errSecSuccess);
    EXPECT_EQ(keychain.copyMatching("svc", "acct", &data), errSecSuccess);
    EXPECT_EQ(data, bytes("v2"));
    EXPECT_EQ(other.deleteItem("svc", "acct"), errSecSuccess);
    EXPECT_EQ(keychain.copyMatching("svc", "acct"), errSecItemNotFound);
}

TEST_F(KeychainTest, ConcurrentAddsFromThreads) {
    constexpr int kThreads = 8;
    constexpr int kItemsPerThread = 40;
    Keychain second(dir);  // half the threads go through another instance
    std::atomic<int> contestedWins{0}, contestedDuplicates{0}, failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            Keychain &k = (t % 2) ? second : keychain;
            for (int i = 0; i < kItemsPerThread; ++i) {
                if (k.add("svc", std::to_string(t) + "-" + std::to_string(i), bytes(std::to_string(t * 1000 + i))) !=
                    errSecSuccess) {
                    ++failures;
                }
                // Every thread races for the same item too.
                OSStatus s = k.add("svc", "contested-" + std::to_string(i), bytes(std::to_string(t)));
                if (s == errSecSuccess)
                    ++contestedWins;
                else if (s == errSecDuplicateItem)
                    ++contestedDuplicates;
                else
                    ++failures;
            }
        });
    }
    for (auto &thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(contestedWins.load(), kItemsPerThread);
    EXPECT_EQ(contestedDuplicates.load(), kItemsPerThread * (kThreads - 1));
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kItemsPerThread; ++i) {
            Bytes data;
            ASSERT_EQ(keychain.copyMatching("svc", std::to_string(t) + "-" + std::to_string(i), &data), errSecSuccess);
            EXPECT_EQ(data, bytes(std::to_string(t * 1000 + i)));
        }
    }
    EXPECT_EQ(entries(dir).size(), static_cast<size_t>(kThreads * kItemsPerThread + kItemsPerThread));
    EXPECT_TRUE(onlyItemFiles(dir));
}

TEST(KeychainShared, DefaultDirectoryFollowsTheDataHome) {
    testsupport::TemporaryHome home;
    Keychain::resetSharedInstance();
    fs::path expected = home.path() / ".local/share/plotwick-keychain";
    EXPECT_EQ(Keychain::defaultDirectory(), expected);
    auto shared = Keychain::sharedInstance();
    EXPECT_EQ(shared->directory(), expected);
    EXPECT_EQ(Keychain::sharedInstance(), shared);
    ASSERT_EQ(shared->add("svc", "acct", bytes("v")), errSecSuccess);
    EXPECT_TRUE(fs::is_directory(expected));

    fs::path custom = home.path() / "elsewhere";
    ::setenv("XDG_DATA_HOME", custom.c_str(), 1);
    EXPECT_EQ(Keychain::defaultDirectory(), custom / "plotwick-keychain");
    ::setenv("XDG_DATA_HOME", "relative/path", 1);  // not absolute: ignored
    EXPECT_EQ(Keychain::defaultDirectory(), expected);
    ::unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(Keychain::defaultDirectory(), expected);

    auto mine = std::make_shared<Keychain>(home.path() / "mine");
    Keychain::setSharedInstance(mine);
    EXPECT_EQ(Keychain::sharedInstance(), mine);
    Keychain::resetSharedInstance();
    EXPECT_NE(Keychain::sharedInstance(), mine);
    Keychain::resetSharedInstance();
}
