// The wrapper SDK's facade: its weak setup delegate and forwarders that never
// wait on a service that will not process.
#include <gtest/gtest.h>

#include <future>

#include "BCCrashes.h"
#include "BCErrorReport.h"
#include "BCWrapperCrashesHelper.h"
#include "BeaconCrashes/CrashesTestSupport.h"

namespace {

TEST(BCWrapperCrashesHelperTests, BothGettersAnswerTheDelegateUntilItIsGone) {
    EXPECT_EQ(BCWrapperCrashesHelper::sharedInstance(), BCWrapperCrashesHelper::sharedInstance());
    auto delegate = std::make_shared<BCCrashHandlerSetupDelegate>();
    BCWrapperCrashesHelper::setCrashHandlerSetupDelegate(delegate);
    EXPECT_EQ(BCWrapperCrashesHelper::crashHandlerSetupDelegate(), delegate);
    EXPECT_EQ(BCWrapperCrashesHelper::getCrashHandlerSetupDelegate(), delegate);
    delegate.reset();
    EXPECT_EQ(BCWrapperCrashesHelper::crashHandlerSetupDelegate(), nullptr);
    EXPECT_EQ(BCWrapperCrashesHelper::getCrashHandlerSetupDelegate(), nullptr);
}

TEST(BCWrapperCrashesHelperTests, ForwardsToTheServiceAndNeverWaitsOnOneThatWasNotStarted) {
    crashestest::SdkDirectory sdk;
    BCCrashes::resetSharedInstance();
    BCWrapperCrashesHelper::setAutomaticProcessing(false);
    EXPECT_FALSE(BCCrashes::sharedInstance()->isAutomaticProcessingEnabled());
    EXPECT_FALSE(BCWrapperCrashesHelper::automaticProcessing());
    BCWrapperCrashesHelper::setAutomaticProcessing(true);
    EXPECT_TRUE(BCWrapperCrashesHelper::automaticProcessing());

    // The gate only opens once an enabled, started service has looked for
    // crash files; without one the answer comes at once.
    auto answer = std::async(std::launch::async, [] { return BCWrapperCrashesHelper::unprocessedCrashReports(); });
    ASSERT_EQ(answer.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_FALSE(answer.get());
    EXPECT_FALSE(BCWrapperCrashesHelper::sendCrashReportsOrAwaitUserConfirmationForFilteredIds({"x"}));

    auto report = BCWrapperCrashesHelper::buildHandledErrorReportWithErrorID("handled-id");
    ASSERT_TRUE(report);
    EXPECT_EQ(report->incidentIdentifier(), "handled-id");
    BCCrashes::resetSharedInstance();
}

}  // namespace
