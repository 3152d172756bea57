// The delegate forwarders' trace buffer and the application-delegate switch.
#include <gtest/gtest.h>

#include <fstream>

#include "BCAppDelegateForwarder.h"
#include "BCBeacon.h"
#include "BCDelegateForwarder.h"
#include "platform/foundation/Bundle.h"
#include "support/TestSupport.h"

TEST(BCDelegateForwarder, SettingTheLogLevelWritesBufferedLinesOnceInOrder) {
    BCDelegateForwarder::resetTraceBuffer();
    std::vector<int> written;
    BCDelegateForwarder::addTraceBlock([&] { written.push_back(1); });
    BCDelegateForwarder::addTraceBlock([&] { written.push_back(2); });
    EXPECT_TRUE(written.empty());
    const BCLogLevel level = BCBeacon::logLevel();
    BCBeacon::setLogLevel(BCLogLevelDebug);
    EXPECT_EQ(written, (std::vector<int>{1, 2}));
    BCBeacon::setLogLevel(BCLogLevelDebug);
    EXPECT_EQ(written, (std::vector<int>{1, 2}));
    BCDelegateForwarder::addTraceBlock([&] { written.push_back(3); });
    EXPECT_EQ(written, (std::vector<int>{1, 2, 3})) << "after the flush a line is written at once";
    BCLogger::setCurrentLogLevel(level);
    BCLogger::setIsUserDefinedLogLevel(false);
    BCDelegateForwarder::resetTraceBuffer();
}

TEST(BCAppDelegateForwarder, OnlyAnExplicitNoInTheInfoPlistDisablesIt) {
    testsupport::TemporaryDirectory bundle;
    auto withInfo = [&](const std::string &entry) {
        std::ofstream(bundle.path() / "Info.plist")
            << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
            << "<key>CFBundleIdentifier</key><string>com.plotwick.Plotwick</string>" << entry << "</dict></plist>\n";
        platform::Bundle::setMainBundleDirectory(bundle.path());
        BCAppDelegateForwarder::resetSharedInstance();
        return BCBeacon::isAppDelegateForwarderEnabled();
    };
    EXPECT_TRUE(withInfo(""));
    EXPECT_TRUE(withInfo("<key>BeaconAppDelegateForwarderEnabled</key><true/>"));
    EXPECT_FALSE(withInfo("<key>BeaconAppDelegateForwarderEnabled</key><false/>"));
    platform::Bundle::setMainBundleDirectory(std::nullopt);
    BCAppDelegateForwarder::resetSharedInstance();
}
