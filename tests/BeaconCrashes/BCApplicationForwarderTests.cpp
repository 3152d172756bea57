// The application forwarder replaces process-wide implementations: every
// body runs in a forked child.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "BCApplicationForwarder.h"
#include "BCBeacon.h"
#include "BCCrashes.h"
#include "BeaconCrashes/CrashesTestSupport.h"
#include "platform/appkit/Application.h"
#include "platform/appkit/NSExceptionBox.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/UserDefaults.h"
#include "support/ForkedChild.h"

using platform::appkit::Application;

namespace {

int captured = 0;
int reportedBefore = 0;

void countingUncaughtHandler(const platform::appkit::Exception &exception) {
    ++captured;
    fprintf(stderr, "captured %s\n", exception.name().c_str());
}

void countingReport(Application &, const platform::appkit::Exception &) { ++reportedBefore; }

// A home with an Info.plist, optionally switching the forwarder off.
class ForwarderHome {
public:
    explicit ForwarderHome(const char *forwarderSwitch) {
        std::ofstream(home_.path() / "Info.plist")
            << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
               "<key>CFBundleIdentifier</key><string>io.plotwick.forwarder-tests</string>"
            << (forwarderSwitch ? std::string("<key>BeaconApplicationForwarderEnabled</key>") + forwarderSwitch : "")
            << "</dict></plist>\n";
    }
    // In the child: the bundle, the defaults, the crash-on-exceptions default.
    void enter(bool crashOnExceptions) const {
        platform::Bundle::setMainBundleDirectory(home_.path());
        platform::Bundle::resetMainBundle();
        platform::UserDefaults::resetStandardUserDefaults();
        if (crashOnExceptions) {
            platform::UserDefaults::standardUserDefaults()->registerDefaults(
                {{"NSApplicationCrashOnExceptions", platform::Value(true)}});
        }
    }

private:
    modeltest::SdkHome home_;
};

}  // namespace

TEST(BCApplicationForwarder, ReportedExceptionReachesTheCapturedHandlerOnceThenThePreviousReport) {
    if (BCBeacon::isDebuggerAttached()) GTEST_SKIP() << "a tracer is attached: reporting skips the handler";
    ForwarderHome home(nullptr);
    auto child = testsupport::runInChild([&home] {
        int failures = 0;
        home.enter(true);
        modeltest::LogCapture capture;
        Application::setReportExceptionImplementation(countingReport);
        platform::appkit::NSSetUncaughtExceptionHandler(countingUncaughtHandler);
        // As under a wrapper SDK: the engine leaves the handler in place,
        // and the service captures it.
        BCCrashes::sharedInstance()->configureCrashReporterWithUncaughtExceptionHandlerEnabled(false);
        CHILD_EXPECT(capture.contains(BCLogLevelDebug,
                                      "Application forwarder for info.plist key "
                                      "'BeaconApplicationForwarderEnabled' enabled. It may use "
                                      "swizzling."));
        CHILD_EXPECT(
            capture.contains(BCLogLevelDebug, "Selector 'reportException:' of class 'NSApplication' is swizzled."));
        CHILD_EXPECT(capture.contains(BCLogLevelDebug, "Selector 'sendEvent:' of class 'NSApplication' is swizzled."));
        auto app = Application::sharedApplication();
        bool passedOn = false;
        try {
            app->sendEvent(platform::appkit::Event([] {
                platform::appkit::nsRaise(std::make_shared<platform::appkit::Exception>("NSRangeException", "r"));
            }));
        } catch (...) {
            passedOn = true;
        }
        CHILD_EXPECT(!passedOn);
        CHILD_EXPECT(captured == 1);
        CHILD_EXPECT(reportedBefore == 1);
        // A second registration replaces nothing again.
        BCApplicationForwarder::registerForwarding();
        app->dispatchEvent(platform::appkit::Event(
            [] { platform::appkit::nsRaise(std::make_shared<platform::appkit::Exception>("NSRangeException", "r")); }));
        CHILD_EXPECT(captured == 2);
        CHILD_EXPECT(reportedBefore == 2);
        // Other exceptions pass through.
        try {
            app->sendEvent(platform::appkit::Event([] { throw 3; }));
        } catch (int) {
            passedOn = true;
        }
        CHILD_EXPECT(passedOn && captured == 2);
        return failures;
    });
    EXPECT_TRUE(child.exited) << child.output;
    EXPECT_EQ(child.exitCode, 0) << child.output;
}

TEST(BCApplicationForwarder, SwitchedOffOrWithoutCrashOnExceptionsNothingIsReplaced) {
    ForwarderHome off("<false/>");
    auto disabled = testsupport::runInChild([&off] {
        int failures = 0;
        off.enter(true);
        modeltest::LogCapture capture;
        BCApplicationForwarder::registerForwarding();
        CHILD_EXPECT(capture.lines().size() == 1);
        CHILD_EXPECT(capture.contains(BCLogLevelDebug,
                                      "Application forwarder for info.plist key "
                                      "'BeaconApplicationForwarderEnabled' disabled. It won't use "
                                      "swizzling."));
        CHILD_EXPECT(Application::sendEventImplementation() == &Application::defaultSendEvent);
        CHILD_EXPECT(Application::reportExceptionImplementation() == &Application::defaultReportException);
        return failures;
    });
    EXPECT_EQ(disabled.exitCode, 0) << disabled.output;

    ForwarderHome on("<integer>1</integer>");
    auto noCrashOnExceptions = testsupport::runInChild([&on] {
        int failures = 0;
        on.enter(false);
        modeltest::LogCapture capture;
        BCApplicationForwarder::registerForwarding();
        CHILD_EXPECT(capture.contains(BCLogLevelInfo,
                                      "Catching uncaught exceptions thrown on the main thread disabled. Set "
                                      "`NSApplicationCrashOnExceptions` flag before SDK initialization, to allow crash "
                                      "on uncaught exceptions and the SDK can report them."));
        CHILD_EXPECT(Application::sendEventImplementation() == &Application::defaultSendEvent);
        return failures;
    });
    EXPECT_EQ(noCrashOnExceptions.exitCode, 0) << noCrashOnExceptions.output;
}
