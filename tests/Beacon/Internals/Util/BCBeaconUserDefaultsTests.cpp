#include <gtest/gtest.h>

#include <mutex>

#include "BCBeaconUserDefaults.h"
#include "BCLogger.h"
#include "platform/foundation/UserDefaults.h"
#include "support/TestSupport.h"

namespace {

class BCBeaconUserDefaultsTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::UserDefaults::resetStandardUserDefaults();
        BCBeaconUserDefaults::resetSharedInstance();
        BCLogger::setCurrentLogLevel(BCLogLevelVerbose);
        BCLogger::setLogHandler([this](const BCLogMessageProvider &m, BCLogLevel, const std::string &, const char *,
                                       const char *, uint32_t) {
            std::lock_guard<std::mutex> lock(mutex);
            lines.push_back(m());
        });
    }
    void TearDown() override {
        BCLogger::setLogHandler(BCLogger::defaultHandler());
        BCLogger::setCurrentLogLevel(BCLogLevelAssert);
        BCLogger::setIsUserDefinedLogLevel(false);
        platform::UserDefaults::resetStandardUserDefaults();
        BCBeaconUserDefaults::resetSharedInstance();
    }
    // A relaunch: both singletons are made afresh from the file.
    void relaunch() {
        platform::UserDefaults::resetStandardUserDefaults();
        BCBeaconUserDefaults::resetSharedInstance();
        std::lock_guard<std::mutex> lock(mutex);
        lines.clear();
    }
    std::shared_ptr<platform::UserDefaults> standard() { return platform::UserDefaults::standardUserDefaults(); }

    testsupport::TemporaryHome home;
    std::mutex mutex;
    std::vector<std::string> lines;
};

}  // namespace

TEST_F(BCBeaconUserDefaultsTest, KeysCarryThePrefixExactlyOnce) {
    auto defaults = BCBeaconUserDefaults::shared();
    EXPECT_EQ(defaults->getBeaconKeyFrom("InstallId"), "BNBeaconInstallId");
    defaults->setObject(platform::Value("E621E1F8-C36C-495A-93FC-0C247A3E6E5F"), "InstallId");
    EXPECT_EQ(*standard()->objectForKey("BNBeaconInstallId").string(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    EXPECT_TRUE(standard()->objectForKey("InstallId").isNull());
    EXPECT_TRUE(standard()->objectForKey("BNBeaconBNBeaconInstallId").isNull());
    relaunch();
    EXPECT_EQ(*BCBeaconUserDefaults::shared()->objectForKey("InstallId").string(),
              "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    BCBeaconUserDefaults::shared()->removeObjectForKey("InstallId");
    EXPECT_TRUE(standard()->objectForKey("BNBeaconInstallId").isNull());
}

TEST_F(BCBeaconUserDefaultsTest, MigrationMovesOldKeysOnceAndWritesTheMarker) {
    standard()->setObject(platform::Value("old-install-id"), "BNInstallId");
    standard()->setObject(platform::Value(1.5), "BNChannelStartTimer:Crashes");
    standard()->setObject(platform::Value(2.5), "BNChannelStartTimer:Beacon");
    BCBeaconUserDefaults::MigrationTable table{
        {"BNBeaconInstallId", std::string("BNInstallId")},
        {"BNBeaconChannelStartTimer", BCUserDefaultsPrefixKey("BNChannelStartTimer")},
        {"BNBeaconNothing", std::string("BNNothingStoredHere")},
    };
    BCBeaconUserDefaults::shared()->migrateKeys(table, "Beacon");

    EXPECT_EQ(*standard()->objectForKey("BNBeaconInstallId").string(), "old-install-id");
    EXPECT_TRUE(standard()->objectForKey("BNInstallId").isNull());
    EXPECT_EQ(standard()->objectForKey("BNBeaconChannelStartTimer:Crashes"), platform::Value(1.5));
    EXPECT_EQ(standard()->objectForKey("BNBeaconChannelStartTimer:Beacon"), platform::Value(2.5));
    EXPECT_TRUE(standard()->objectForKey("BNChannelStartTimer:Crashes").isNull());
    EXPECT_TRUE(standard()->objectForKey("BNBeaconNothing").isNull());
    EXPECT_EQ(standard()->objectForKey("BNBeacon310BeaconUserDefaultsMigratedKey"), platform::Value(true));
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<std::string> expected = {
            "Migrating the old NSDefaults keys to new ones.",
            "Migrating key BNChannelStartTimer:Beacon -> BNBeaconChannelStartTimer:Beacon",
            "Migrating key BNChannelStartTimer:Crashes -> BNBeaconChannelStartTimer:Crashes",
            "Migrating key BNInstallId -> BNBeaconInstallId"};
        EXPECT_EQ(lines, expected);
    }

    // The second launch moves nothing and logs nothing, even with an old key back.
    relaunch();
    standard()->setObject(platform::Value("again"), "BNInstallId");
    BCBeaconUserDefaults::shared()->migrateKeys(table, "Beacon");
    EXPECT_EQ(*standard()->objectForKey("BNInstallId").string(), "again");
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_TRUE(lines.empty());
}

TEST_F(BCBeaconUserDefaultsTest, MarkerIsWrittenWhenNothingMovesAndIsPerService) {
    BCBeaconUserDefaults::shared()->migrateKeys({}, "Crashes");
    EXPECT_EQ(standard()->objectForKey("BNBeacon310CrashesUserDefaultsMigratedKey"), platform::Value(true));
    EXPECT_TRUE(standard()->objectForKey("BNBeacon310BeaconUserDefaultsMigratedKey").isNull());
}

TEST_F(BCBeaconUserDefaultsTest, EmptyOldKeysLeaveNewKeysAloneAndSelfMovesKeepTheValue) {
    standard()->setObject(platform::Value("current"), "BNBeaconInstallId");
    standard()->setObject(platform::Value(7), "BNBeaconSame");
    BCBeaconUserDefaults::MigrationTable table{
        {"BNBeaconInstallId", std::string("BNInstallId")},  // nothing stored there
        {"BNBeaconSame", std::string("BNBeaconSame")},
    };
    BCBeaconUserDefaults::shared()->migrateKeys(table, "Beacon");
    EXPECT_EQ(*standard()->objectForKey("BNBeaconInstallId").string(), "current");
    EXPECT_EQ(standard()->objectForKey("BNBeaconSame"), platform::Value(7));
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::string> expected = {"Migrating the old NSDefaults keys to new ones.",
                                         "Migrating key BNBeaconSame -> BNBeaconSame"};
    EXPECT_EQ(lines, expected);
}
