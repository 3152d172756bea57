// The wrapper SDK's facade: its weak setup delegate and forwarders that never
// wait on a service that will not process.
#include <gtest/gtest.h>

#include <future>

#include "BCCrashes.h"
#include "BCErrorReport.h"
#include "BCWrapperCrashesHelper.h"
#include "BeaconCrashes/CrashesTestSupport.h"
#include "support/ForkedChild.h"

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
    // In a child: the service's singleton starts worker threads, and a test
    // process that forks later must not carry them (a child could inherit a
    // queue's condition variable mid-wait and hang on it).
    auto child = testsupport::runInChild(
        [] {
            int failures = 0;
            crashestest::SdkDirectory sdk;
            BCCrashes::resetSharedInstance();
            BCWrapperCrashesHelper::setAutomaticProcessing(false);
            CHILD_EXPECT(!BCCrashes::sharedInstance()->isAutomaticProcessingEnabled());
            CHILD_EXPECT(!BCWrapperCrashesHelper::automaticProcessing());
            BCWrapperCrashesHelper::setAutomaticProcessing(true);
            CHILD_EXPECT(BCWrapperCrashesHelper::automaticProcessing());

            // The gate only opens once an enabled, started service has looked for
            // crash files; without one the answer comes at once.
            auto answer =
                std::async(std::launch::async, [] { return BCWrapperCrashesHelper::unprocessedCrashReports(); });
            CHILD_EXPECT(answer.wait_for(std::chrono::seconds(10)) == std::future_status::ready);
            CHILD_EXPECT(!answer.get());
            CHILD_EXPECT(!BCWrapperCrashesHelper::sendCrashReportsOrAwaitUserConfirmationForFilteredIds({"x"}));

            auto report = BCWrapperCrashesHelper::buildHandledErrorReportWithErrorID("handled-id");
            CHILD_EXPECT(report && report->incidentIdentifier() == "handled-id");
            BCCrashes::resetSharedInstance();
            return failures;
        },
        30);
    EXPECT_TRUE(child.exited && child.exitCode == 0) << child.exitCode << "\n" << child.output;
}

}  // namespace
