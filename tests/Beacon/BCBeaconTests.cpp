// The SDK entry point: configuring and starting, refusals and their lines,
// the held start-service log, the storage size, the install id, the key
// migration and old class names, the debugger check, and the lock order
// between the SDK and its services.
#include <gtest/gtest.h>

#include <cstdlib>
#include <future>

#include <nlohmann/json.hpp>

#include "BCBeacon.h"
#include "BCBeaconUserDefaults.h"
#include "BCChannelGroupDefault.h"
#include "Beacon/Internals/Channel/BCChannelTestSupport.h"
#include "BCChannelUnitDefault.h"
#include "BCCustomProperties.h"
#include "BCStartServiceLog.h"
#include "Beacon/BCTestService.h"
#include "BCUtility.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/syslog/SystemLog.h"

using namespace channeltest;

namespace {

constexpr const char *kSecret = "0dbca56b-b9ae-4d53-856a-7c2856137d85";

class BeaconTest : public ::testing::Test {
protected:
    static BCTestService::Traits traits(const std::string &name, long priority, bool secretRequired) {
        BCTestService::Traits t;
        t.name = name;
        t.priority = priority;
        t.appSecretRequired = secretRequired;
        t.configuration = BCChannelUnitConfiguration(name, 1, 1, 1, 3);
        return t;
    }

    // The names of the start-service logs among the requests' bodies.
    std::vector<std::vector<std::string>> startServiceLogs() {
        std::vector<std::vector<std::string>> result;
        for (const auto &request : home.httpClient()->requests()) {
            const auto body = nlohmann::json::parse(request.body, nullptr, false);
            if (!body.is_object() || !body.contains("logs")) continue;
            for (const auto &log : body["logs"]) {
                if (log.value("type", "") == "startService") result.push_back(log["services"]);
            }
        }
        return result;
    }

    struct EnvironmentVariable {
        EnvironmentVariable(const char *name, const char *value) : name(name) { setenv(name, value, 1); }
        ~EnvironmentVariable() { unsetenv(name); }
        const char *name;
    };

    BeaconHome home;
    modeltest::LogCapture capture;
    const BCServiceClass &testService = BCTestService::serviceClass();
};

}  // namespace

TEST_F(BeaconTest, StartConfiguresTheSdkAndSendsOneStartServiceLog) {
    BCBeacon::start(kSecret, BCBeacon::Services{&testService});
    EXPECT_TRUE(BCBeacon::isConfigured());
    EXPECT_TRUE(BCBeacon::isEnabled());
    EXPECT_TRUE(capture.contains(BCLogLevelInfo, "Beacon SDK configured successfully."));
    EXPECT_TRUE(capture.contains(BCLogLevelVerbose, "Start services BCTestService from an application"));
    const std::string installId = BCBeacon::installId().UUIDString();
    EXPECT_EQ(platform::UserDefaults::standardUserDefaults()->objectForKey("BNBeaconInstallId"),
              platform::Value(installId));

    ASSERT_TRUE(home.httpClient()->waitForRequests(1, 10));
    const auto request = home.httpClient()->requests()[0];
    EXPECT_EQ(request.method, "POST");
    // The default the build set, which may end with a slash.
    std::string base = PLOTWICK_DEFAULT_LOG_URL;
    while (!base.empty() && base.back() == '/') base.pop_back();
    EXPECT_EQ(request.url, base + "/logs?api-version=1.0.0");
    // The client retries a failed send after 10 s, 5 min and 20 min.
    EXPECT_EQ(request.retryIntervals, (std::vector<double>{10, 300, 1200}));
    EXPECT_EQ(request.headers.at("App-Secret"), kSecret);
    EXPECT_EQ(request.headers.at("Install-ID"), installId);
    EXPECT_EQ(startServiceLogs(), (std::vector<std::vector<std::string>>{{"TestService"}}));
}

TEST_F(BeaconTest, ASecondStartFromTheApplicationIsRefused) {
    BCBeacon::start(kSecret, BCBeacon::Services{&testService});
    const auto unitsBefore = BCBeacon::sharedInstance()->channelGroup()->channelUnits().size();
    BCBeacon::start(kSecret, BCBeacon::Services{&testService});
    EXPECT_TRUE(capture.contains(BCLogLevelAssert, "Beacon SDK has already been configured."));
    EXPECT_TRUE(capture.contains(BCLogLevelAssert, "Beacon SDK configuration failed."));
    EXPECT_EQ(BCBeacon::sharedInstance()->channelGroup()->channelUnits().size(), unitsBefore);
    EXPECT_EQ(BCBeacon::sharedInstance()->services().size(), 1u);
}

TEST_F(BeaconTest, AServiceStartedByALibraryIsUpdatedAndNamedByTheApplication) {
    const auto &service = BCTestService::serviceClass(traits("LibraryService", 500, false));
    BCBeacon::startFromLibraryWithServices(BCBeacon::Services{&service});
    EXPECT_TRUE(capture.contains(BCLogLevelInfo, "Beacon SDK configured from a library successfully."));
    BCBeacon::start(kSecret, BCBeacon::Services{&service});
    EXPECT_TRUE(BCTestService::sharedInstance("LibraryService")->isStartedFromApplication());
    EXPECT_EQ(BCBeacon::sharedInstance()->services().size(), 1u);
    ASSERT_TRUE(home.httpClient()->waitForRequests(1, 10));
    EXPECT_EQ(startServiceLogs(), (std::vector<std::vector<std::string>>{{"LibraryService"}}));
}

TEST_F(BeaconTest, WithoutASecretOnlyServicesThatNeedNoneStart) {
    const auto &keyless = BCTestService::serviceClass(traits("KeylessService", 500, false));
    BCBeacon::start("target=abc-123", BCBeacon::Services{&testService, &keyless, nullptr});
    EXPECT_EQ(BCBeacon::sharedInstance()->appSecret(), std::nullopt);
    EXPECT_EQ(BCBeacon::sharedInstance()->defaultTransmissionTargetToken(), "abc-123");
    EXPECT_TRUE(capture.contains(BCLogLevelError,
                                 "Cannot start service BCTestService. Beacon was started without "
                                 "app secret, but the service requires it."));
    EXPECT_TRUE(capture.contains(BCLogLevelError, "Cannot start service (null). Provided value is nil or invalid."));
    EXPECT_FALSE(BCTestService::sharedInstance()->isStarted());
    EXPECT_TRUE(BCTestService::sharedInstance("KeylessService")->isStarted());
}

TEST_F(BeaconTest, TheDisableVariableNamesServicesOrAll) {
    const auto &crashes = BCTestService::serviceClass(traits("Crashes", 500, true));
    {
        EnvironmentVariable variable("BEACON_DISABLE", "Analytics, \t Crashes \t,Other");
        EXPECT_TRUE(BCBeacon::sharedInstance()->shouldDisable("Crashes"));
        EXPECT_FALSE(BCBeacon::sharedInstance()->shouldDisable("crashes"));
        BCBeacon::start(kSecret, BCBeacon::Services{&crashes, &testService});
        EXPECT_TRUE(capture.contains(
            BCLogLevelDebug, "Environment variable to disable service has been set; not starting service BCCrashes"));
        EXPECT_FALSE(BCTestService::sharedInstance("Crashes")->isStarted());
        EXPECT_TRUE(BCTestService::sharedInstance()->isStarted());
    }
    EnvironmentVariable all("BEACON_DISABLE", "All");
    EXPECT_TRUE(BCBeacon::sharedInstance()->shouldDisable("Anything"));
    EXPECT_TRUE(BCBeacon::isConfigured());
}

TEST_F(BeaconTest, StartingWhileDisabledHoldsTheStartServiceLogUntilEnabled) {
    BCBeaconUserDefaults::shared()->setObject(false, "BeaconIsEnabled");
    BCBeacon::start(kSecret, BCBeacon::Services{&testService});
    EXPECT_FALSE(BCTestService::sharedInstance()->instanceIsEnabled());
    EXPECT_EQ(BCBeacon::sharedInstance()->startedServiceNames(), std::vector<std::string>{"TestService"});
    home.settle();
    EXPECT_TRUE(home.httpClient()->requests().empty());

    BCBeacon::setEnabled(true);
    EXPECT_TRUE(capture.contains(BCLogLevelInfo, "Beacon SDK enabled."));
    EXPECT_TRUE(BCTestService::sharedInstance()->instanceIsEnabled());
    EXPECT_EQ(BCBeacon::sharedInstance()->startedServiceNames(), std::nullopt);
    ASSERT_TRUE(home.httpClient()->waitForRequests(1, 10));
    EXPECT_EQ(startServiceLogs(), (std::vector<std::vector<std::string>>{{"TestService"}}));
}

TEST_F(BeaconTest, NoServicesMeansNoStartServiceLog) {
    BCBeacon::start(kSecret, BCBeacon::Services{});
    EXPECT_TRUE(capture.contains(BCLogLevelDebug, "No services have been started."));
    home.settle();
    EXPECT_EQ(std::stoi(home.sqlite("SELECT COUNT(*) FROM logs")), 0);
}

TEST_F(BeaconTest, TheStorageSizeIsCheckedAndAcceptedOnceBeforeConfiguring) {
    std::vector<bool> answers;
    std::mutex mutex;
    Signal signal;
    auto handler = [&](bool applied) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            answers.push_back(applied);
        }
        signal.notify();
    };
    auto answered = [&](size_t count) {
        return signal.waitFor([&] {
            std::lock_guard<std::mutex> lock(mutex);
            return answers.size() >= count;
        });
    };
    BCBeacon::setMaxStorageSize(24575, handler);
    ASSERT_TRUE(answered(1));
    EXPECT_FALSE(answers[0]);
    EXPECT_TRUE(
        capture.contains(BCLogLevelWarning, "Cannot set storage size to 24575 bytes, minimum value is 24576 bytes"));

    BCBeacon::setMaxStorageSize(24576, handler);
    BCBeacon::start(kSecret, BCBeacon::Services{});
    ASSERT_TRUE(answered(2));
    BCBeacon::setMaxStorageSize(32768, handler);
    ASSERT_TRUE(answered(3));
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_TRUE(answers[1]) << "applied by the channel group when it was made";
    EXPECT_FALSE(answers[2]);
    EXPECT_TRUE(capture.contains(BCLogLevelWarning,
                                 "setMaxStorageSize:completionHandler: may only be called once per app launch"));
}

TEST_F(BeaconTest, AnUnreadableInstallIdIsReplacedAndTheNewOneKept) {
    BCBeaconUserDefaults::shared()->setObject("not a uuid", "InstallId");
    const auto first = BCBeacon::installId();
    EXPECT_EQ(BCBeaconUserDefaults::shared()->objectForKey("InstallId"), platform::Value(first.UUIDString()));
    home.relaunch();
    EXPECT_EQ(BCBeacon::installId(), first);
}

TEST_F(BeaconTest, CreationMovesOldKeysAndRegistersOldClassNames) {
    auto defaults = platform::UserDefaults::standardUserDefaults();
    const std::string installId = platform::UUID::random().UUIDString();
    defaults->setObject(installId, "BNInstallId");
    defaults->setObject(false, "BNBeaconIsEnabled");
    defaults->setObject(platform::Date::now(), "BNChannelStartTimer:Crashes");
    defaults->removeObjectForKey("BNBeacon310BeaconUserDefaultsMigratedKey");
    BCBeacon::resetSharedInstance();
    BCBeacon::sharedInstance();
    EXPECT_EQ(defaults->objectForKey("BNBeaconInstallId"), platform::Value(installId));
    EXPECT_TRUE(defaults->objectForKey("BNInstallId").isNull());
    EXPECT_EQ(defaults->objectForKey("BNBeaconBeaconIsEnabled"), platform::Value(false));
    EXPECT_TRUE(defaults->objectForKey("BNBeaconChannelStartTimer:Crashes").isDate());
    EXPECT_EQ(defaults->objectForKey("BNBeacon310BeaconUserDefaultsMigratedKey"), platform::Value(true));

    // An archive written under the old class name decodes into today's class.
    auto log = std::make_shared<BCStartServiceLog>();
    log->setServices(std::vector<std::string>{"Crashes"});
    auto data = BCUtility::archiveKeyedData(platform::Value(log));
    ASSERT_TRUE(data.has_value());
    std::string bytes(data->begin(), data->end());
    const size_t at = bytes.find("BCStartServiceLog");
    ASSERT_NE(at, std::string::npos);
    bytes.replace(at, 17, "BNStartServiceLog");
    const auto decoded = BCUtility::unarchiveKeyedData(platform::Data(bytes.begin(), bytes.end()));
    const auto restored = decoded.objectAs<BCStartServiceLog>();
    ASSERT_NE(restored, nullptr);
    EXPECT_EQ(restored->services(), std::vector<std::string>{"Crashes"});
}

TEST_F(BeaconTest, TheDebuggerCheckAnswersNoUnderTestAndReportsAFailedRead) {
    EXPECT_FALSE(BCBeacon::isDebuggerAttached());
    std::vector<std::string> lines;
    platform::SystemLog::setSink([&](const std::string &line) { lines.push_back(line); });
    EXPECT_FALSE(BCBeacon::debuggerAttachedFromCheck(std::nullopt));
    EXPECT_TRUE(BCBeacon::debuggerAttachedFromCheck(true));
    platform::SystemLog::setSink(nullptr);
    EXPECT_EQ(lines,
              std::vector<std::string>{"[BCCrashes] ERROR: Checking for a running debugger via sysctl() failed."});
}

TEST_F(BeaconTest, AStartedButDisabledServiceIsNotStartedTwice) {
    BCBeacon::start(kSecret, BCBeacon::Services{&testService});
    testService.setEnabled(false);
    const auto units = BCBeacon::sharedInstance()->channelGroup()->channelUnits().size();
    BCBeacon::startService(&testService);
    EXPECT_EQ(BCBeacon::sharedInstance()->channelGroup()->channelUnits().size(), units);
    EXPECT_EQ(BCBeacon::sharedInstance()->services().size(), 1u);
}

TEST_F(BeaconTest, ServicesStartInDescendingPriorityAndTiesKeepTheirOrder) {
    const auto &low = BCTestService::serviceClass(traits("Low", 100, true));
    const auto &tieA = BCTestService::serviceClass(traits("TieA", 500, true));
    const auto &tieB = BCTestService::serviceClass(traits("TieB", 500, true));
    const auto &high = BCTestService::serviceClass(traits("High", 999, true));
    const auto sorted = BCBeacon::sharedInstance()->sortServices({&low, &tieA, &high, &tieB});
    EXPECT_EQ(sorted, (BCBeacon::Services{&high, &tieA, &tieB, &low}));
}

// The service's class forms never wait for the SDK's lock: a thread asking
// them in a loop finishes while the main thread starts and toggles the SDK.
TEST_F(BeaconTest, ServiceClassFormsAndSdkToggleDoNotDeadlock) {
    std::atomic<bool> stop{false};
    auto reader = std::async(std::launch::async, [&] {
        while (!stop) {
            testService.isEnabled();
            testService.setEnabled(true);
        }
    });
    BCBeacon::start(kSecret, BCBeacon::Services{&testService});
    for (int i = 0; i < 50; ++i) BCBeacon::setEnabled(i % 2 == 1);
    stop = true;
    EXPECT_EQ(reader.wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

TEST_F(BeaconTest, SettingsBeforeConfiguringAreRefusedOrKept) {
    BCBeacon::setCustomProperties(nullptr);
    EXPECT_TRUE(capture.contains(BCLogLevelError, "Custom properties may not be null or empty"));
    auto properties = std::make_shared<BCCustomProperties>();
    properties->setString("value", "key");
    BCBeacon::setCustomProperties(properties);  // no unit yet: refused, nothing sent
    EXPECT_TRUE(capture.contains(BCLogLevelError,
                                 "Beacon SDK hasn't been configured. You need to call [BCBeacon start:YOUR_APP_SECRET "
                                 "withServices:LIST_OF_SERVICES] first."));
    BCBeacon::setUserId("user");
    EXPECT_TRUE(capture.contains(BCLogLevelError,
                                 "Beacon must be configured from application, libraries cannot call setUserId."));

    BCBeacon::setLogUrl("http://127.0.0.1:9");
    EXPECT_EQ(BCBeacon::logUrl(), "http://127.0.0.1:9");
    BCBeacon::start(kSecret, BCBeacon::Services{});
    EXPECT_EQ(BCBeacon::logLevel(), BCLogLevelVerbose);  // set by the capture, before configuring
    BCBeacon::setLogUrl("http://127.0.0.1:10");
    EXPECT_TRUE(capture.contains(BCLogLevelInfo, "The log url of Beacon endpoint was changed to http://127.0.0.1:10"));
    BCBeacon::setUserId("user");
    EXPECT_EQ(BCBeacon::userId(), "user");
}

TEST_F(BeaconTest, ConfiguringShowsWarningsWhenNoLevelWasSet) {
    BCLogger::setIsUserDefinedLogLevel(false);
    BCBeacon::start(kSecret, BCBeacon::Services{});
    EXPECT_EQ(BCBeacon::logLevel(), BCLogLevelWarning);
}

TEST_F(BeaconTest, TheTestLabVariableMustBeOne) {
    EXPECT_FALSE(BCBeacon::isRunningInBeaconTestLab());
    EnvironmentVariable variable("RUNNING_IN_BEACON", "1");
    EXPECT_TRUE(BCBeacon::isRunningInBeaconTestLab());
}
