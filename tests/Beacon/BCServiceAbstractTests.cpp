// The service base: its enabled state and key, the order of applying and
// storing, its refusals before start and while the SDK is disabled, and what
// a start and an update set up.
#include <gtest/gtest.h>

#include "BCBeacon.h"
#include "BCBeaconUserDefaults.h"
#include "Beacon/Internals/Channel/BCChannelTestSupport.h"
#include "BCChannelUnitProtocol.h"
#include "Beacon/BCTestService.h"
#include "platform/foundation/UserDefaults.h"

using namespace channeltest;

namespace {

constexpr const char *kSecret = "0dbca56b-b9ae-4d53-856a-7c2856137d85";

class ServiceAbstractTest : public ::testing::Test {
protected:
    BeaconHome home;
    modeltest::LogCapture capture;
    const BCServiceClass &testService = BCTestService::serviceClass();
};

}  // namespace

TEST_F(ServiceAbstractTest, StoresItsStateUnderThePrefixedKeyAndAppliesBeforeStoring) {
    auto service = BCTestService::sharedInstance();
    EXPECT_EQ(service->isEnabledKey(), "TestServiceIsEnabled");
    EXPECT_TRUE(service->instanceIsEnabled());

    service->instanceSetEnabled(false);
    EXPECT_FALSE(service->instanceIsEnabled());
    EXPECT_EQ(platform::UserDefaults::standardUserDefaults()->objectForKey("BNBeaconTestServiceIsEnabled"),
              platform::Value(false));
    // The new state was applied while the old one was still stored.
    ASSERT_EQ(service->appliedStates().size(), 1u);
    EXPECT_EQ(service->appliedStates()[0], std::make_pair(false, true));

    service->instanceSetEnabled(false);
    EXPECT_EQ(service->appliedStates().size(), 1u) << "an unchanged state is not applied again";
}

TEST_F(ServiceAbstractTest, ClassFormsRefuseBeforeTheServiceIsStarted) {
    EXPECT_FALSE(testService.isEnabled());
    testService.setEnabled(false);
    EXPECT_TRUE(BCTestService::sharedInstance()->instanceIsEnabled());
    EXPECT_TRUE(capture.contains(BCLogLevelError,
                                 "TestService service hasn't been started. You need to call [BCBeacon "
                                 "start:YOUR_APP_SECRET withServices:LIST_OF_SERVICES] first."));
}

TEST_F(ServiceAbstractTest, StartAddsTheServiceUnitAndEnablesIt) {
    BCBeacon::start(kSecret, BCBeacon::Services{&testService});
    auto service = BCTestService::sharedInstance();
    EXPECT_TRUE(service->isStarted());
    EXPECT_TRUE(service->isAvailable());
    EXPECT_TRUE(service->isStartedFromApplication());
    EXPECT_EQ(service->appSecret(), kSecret);
    ASSERT_NE(service->channelUnit(), nullptr);
    EXPECT_EQ(service->channelUnit()->configuration()->groupId(), "TestService");
    EXPECT_EQ(service->appliedStates(), (std::vector<std::pair<bool, bool>>{{true, true}}));
    EXPECT_TRUE(testService.isEnabled());
}

TEST_F(ServiceAbstractTest, TheClassCannotBeEnabledWhileTheSdkIsDisabled) {
    BCBeacon::start(kSecret, BCBeacon::Services{&testService});
    BCBeacon::setEnabled(false);
    EXPECT_FALSE(BCTestService::sharedInstance()->instanceIsEnabled()) << "the SDK disables its services";
    testService.setEnabled(true);
    EXPECT_FALSE(BCTestService::sharedInstance()->instanceIsEnabled());
    EXPECT_TRUE(capture.contains(
        BCLogLevelError,
        "The SDK is disabled. Re-enable the whole SDK from Beacon first before enabling TestService service."));
    BCBeacon::setEnabled(true);
    EXPECT_TRUE(testService.isEnabled());
}

TEST_F(ServiceAbstractTest, AnUpdateMarksTheServiceStartedFromTheApplication) {
    BCTestService::Traits traits;
    traits.name = "LibraryService";
    traits.appSecretRequired = false;
    traits.configuration = BCChannelUnitConfiguration("LibraryService", 1, 1, 1, 3);
    const auto &libraryService = BCTestService::serviceClass(traits);
    BCBeacon::startFromLibraryWithServices(BCBeacon::Services{&libraryService});
    auto service = BCTestService::sharedInstance("LibraryService");
    ASSERT_TRUE(service->isStarted());
    EXPECT_FALSE(service->isStartedFromApplication());
    service->updateConfigurationWithAppSecret(kSecret, std::nullopt);
    EXPECT_TRUE(service->isStartedFromApplication());
    EXPECT_EQ(service->appSecret(), kSecret);
}
