#include <gtest/gtest.h>

#include <sys/stat.h>

#include "BCKeychainUtil.h"
#include "Beacon/Internals/Model/BCModelTestSupport.h"

using platform::security::Keychain;

TEST(BCKeychainUtil, StoresReadsReplacesAndDeletes) {
    modeltest::SdkHome home;
    modeltest::LogCapture capture;
    platform::security::OSStatus status = 0;
    EXPECT_EQ(BCKeychainUtil::stringForKey("key", &status), std::nullopt);
    EXPECT_EQ(status, platform::security::errSecItemNotFound);
    EXPECT_EQ(BCKeychainUtil::stringForKey("key"), std::nullopt) << "the status is optional";

    EXPECT_TRUE(BCKeychainUtil::storeString("first", "key"));
    EXPECT_TRUE(capture.contains(BCLogLevelVerbose, "Stored a string with key \"key\" to keychain."));
    EXPECT_EQ(BCKeychainUtil::stringForKey("key", &status), "first");
    EXPECT_EQ(status, platform::security::errSecSuccess);
    EXPECT_TRUE(BCKeychainUtil::storeString("second", "key"));
    EXPECT_EQ(BCKeychainUtil::stringForKey("key"), "second");

    // The item lives under the SDK's service name.
    std::vector<uint8_t> data;
    EXPECT_EQ(Keychain::sharedInstance()->copyMatching(BCKeychainUtil::serviceName(), "key", &data),
              platform::security::errSecSuccess);
    EXPECT_EQ(std::string(data.begin(), data.end()), "second");

    EXPECT_FALSE(BCKeychainUtil::addString("third", "key", &status));
    EXPECT_EQ(status, platform::security::errSecDuplicateItem);
    EXPECT_EQ(BCKeychainUtil::stringForKey("key"), "second");

    EXPECT_TRUE(BCKeychainUtil::deleteStringForKey("key"));
    EXPECT_EQ(BCKeychainUtil::stringForKey("key"), std::nullopt);
    EXPECT_TRUE(BCKeychainUtil::deleteStringForKey("key")) << "nothing to delete is no failure";
    EXPECT_TRUE(BCKeychainUtil::addString("fourth", "key"));
    EXPECT_EQ(BCKeychainUtil::stringForKey("key"), "fourth");
}

TEST(BCKeychainUtil, FilesArePrivateAndAFailedStoreKeepsTheOldValue) {
    modeltest::SdkHome home;
    modeltest::LogCapture capture;
    ASSERT_TRUE(BCKeychainUtil::storeString("old", "key"));
    struct stat info {};
    ASSERT_EQ(stat(home.keychainDirectory().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    for (const auto &entry : std::filesystem::directory_iterator(home.keychainDirectory())) {
        ASSERT_EQ(stat(entry.path().c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u) << entry.path();
    }

    for (auto step : {Keychain::WriteStep::createTemporary, Keychain::WriteStep::write, Keychain::WriteStep::sync,
                      Keychain::WriteStep::publish}) {
        Keychain::sharedInstance()->setFaultHookForTesting([step](Keychain::WriteStep s) { return s == step; });
        capture.clear();
        EXPECT_FALSE(BCKeychainUtil::storeString("new", "key"));
        EXPECT_EQ(capture.lines().size(), 1u);
        EXPECT_EQ(capture.lines()[0].first, BCLogLevelWarning);
        EXPECT_EQ(BCKeychainUtil::stringForKey("key"), "old");
    }
    Keychain::sharedInstance()->setFaultHookForTesting({});
    EXPECT_TRUE(BCKeychainUtil::storeString("new", "key"));
    EXPECT_EQ(BCKeychainUtil::stringForKey("key"), "new");
}

TEST(BCKeychainUtil, AnItemThatIsNotTextIsNotAString) {
    modeltest::SdkHome home;
    ASSERT_EQ(Keychain::sharedInstance()->add(BCKeychainUtil::serviceName(), "binary", {0xff, 0xfe, 0x00}),
              platform::security::errSecSuccess);
    platform::security::OSStatus status = 0;
    EXPECT_EQ(BCKeychainUtil::stringForKey("binary", &status), std::nullopt);
    EXPECT_NE(status, platform::security::errSecSuccess);
}
