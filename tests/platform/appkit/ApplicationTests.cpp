#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <stdexcept>

#include "platform/appkit/Application.h"
#include "platform/appkit/NSExceptionBox.h"
#include "platform/dispatch/MainRunLoop.h"
#include "platform/foundation/UserDefaults.h"
#include "support/ForkedChild.h"
#include "support/TestSupport.h"

using platform::appkit::Application;
using platform::appkit::Event;
using platform::appkit::Exception;

namespace {

std::atomic<int> reported{0};
std::string lastReported;
std::atomic<int> sentThroughReplacement{0};
platform::appkit::SendEventImplementation previousSend = nullptr;

void countingReport(Application &, const Exception &exception) {
    ++reported;
    lastReported = exception.name() + "/" + exception.reason().value_or("(null)");
}

void wrappingSend(Application &app, const Event &event) {
    ++sentThroughReplacement;
    previousSend(app, event);
}

// Puts the built-in implementations back when a test ends.
struct RestoreTable {
    ~RestoreTable() {
        Application::setSendEventImplementation(&Application::defaultSendEvent);
        Application::setReportExceptionImplementation(&Application::defaultReportException);
    }
};

void raiseNamed(const char *name, const char *reason) {
    platform::appkit::nsRaise(std::make_shared<Exception>(name, reason));
}

void recordUncaught(const Exception &exception) {
    fprintf(stderr, "uncaught %s: %s\n", exception.name().c_str(), exception.reason().value_or("").c_str());
}

}  // namespace

TEST(ApplicationMethodTable, SettingAnswersTheReplacedImplementation) {
    RestoreTable restore;
    EXPECT_EQ(Application::sendEventImplementation(), &Application::defaultSendEvent);
    previousSend = Application::setSendEventImplementation(&wrappingSend);
    EXPECT_EQ(previousSend, &Application::defaultSendEvent);
    EXPECT_EQ(Application::sendEventImplementation(), &wrappingSend);
    auto old = Application::setReportExceptionImplementation(&countingReport);
    EXPECT_EQ(old, &Application::defaultReportException);

    int delivered = 0;
    sentThroughReplacement = 0;
    Application::sharedApplication()->sendEvent(Event([&] { ++delivered; }));
    EXPECT_EQ(delivered, 1);
    EXPECT_EQ(sentThroughReplacement, 1);
}

TEST(ApplicationEventDispatch, RaisedExceptionIsReportedAndDoesNotPassOn) {
    RestoreTable restore;
    Application::setReportExceptionImplementation(&countingReport);
    reported = 0;
    auto app = Application::sharedApplication();
    EXPECT_NO_THROW(app->dispatchEvent(Event([] { raiseNamed("NSRangeException", "index 3 beyond bounds"); })));
    EXPECT_EQ(reported, 1);
    EXPECT_EQ(lastReported, "NSRangeException/index 3 beyond bounds");
    // A raised exception passes by handlers of std::exception.
    EXPECT_NO_THROW(app->dispatchEvent(Event([] {
        try {
            raiseNamed("N", "R");
        } catch (const std::exception &) {}
    })));
    EXPECT_EQ(reported, 2);
    // Other C++ exceptions are not the application's business.
    EXPECT_THROW(app->dispatchEvent(Event([] { throw std::runtime_error("x"); })), std::runtime_error);
    EXPECT_EQ(reported, 2);
}

TEST(ApplicationEventDispatch, DefaultReportWritesAndAbortsOnlyWhenAskedTo) {
    testsupport::TemporaryHome home;
    auto keepsRunning = testsupport::runInChild([] {
        platform::UserDefaults::resetStandardUserDefaults();
        Application::sharedApplication()->dispatchEvent(Event([] { raiseNamed("NSGenericException", "boom"); }));
        return 7;
    });
    EXPECT_TRUE(keepsRunning.exited);
    EXPECT_EQ(keepsRunning.exitCode, 7);
    EXPECT_NE(keepsRunning.output.find("*** NSGenericException: boom"), std::string::npos) << keepsRunning.output;

    auto aborts = testsupport::runInChild([] {
        platform::UserDefaults::resetStandardUserDefaults();
        platform::UserDefaults::standardUserDefaults()->registerDefaults(
            {{"NSApplicationCrashOnExceptions", platform::Value(true)}});
        Application::sharedApplication()->dispatchEvent(Event([] { raiseNamed("NSGenericException", "boom"); }));
        return 7;
    });
    EXPECT_EQ(aborts.signal, SIGABRT);
    EXPECT_NE(aborts.output.find("*** NSGenericException: boom"), std::string::npos);
}

TEST(ApplicationUncaughtException, TerminateHandsItToTheUncaughtHandlerThenAborts) {
    auto child = testsupport::runInChild([] {
        platform::appkit::NSSetUncaughtExceptionHandler(&recordUncaught);
        raiseNamed("NSInternalInconsistencyException", "bad state");
        return 0;
    });
    EXPECT_EQ(child.signal, SIGABRT);
    EXPECT_NE(child.output.find("uncaught NSInternalInconsistencyException: bad state"), std::string::npos)
        << child.output;

    // Other uncaught exceptions keep the runtime's own terminate message.
    auto plain = testsupport::runInChild([] {
        platform::appkit::NSSetUncaughtExceptionHandler(&recordUncaught);
        throw std::logic_error("plain");
        return 0;
    });
    EXPECT_EQ(plain.signal, SIGABRT);
    EXPECT_EQ(plain.output.find("uncaught"), std::string::npos);
    EXPECT_NE(plain.output.find("plain"), std::string::npos);
}

namespace {

class RecordingDelegate : public platform::appkit::ApplicationDelegate {
public:
    void applicationWillFinishLaunching() override { printf("will-finish\n"); }
    void applicationDidFinishLaunching() override {
        printf("did-finish\n");
        fflush(stdout);
        Application::sharedApplication()->postEvent(Event([] {
            printf("event\n");
            fflush(stdout);
            kill(getpid(), SIGTERM);
        }));
    }
    void applicationWillTerminate() override { printf("will-terminate\n"); }
};

}  // namespace

TEST(ApplicationRun, RunsEventsUntilSigtermAndEndsCleanly) {
    auto child = testsupport::runInChild([] {
        platform::dispatch::MainRunLoop::adoptCurrentThreadAsMain();
        auto app = Application::sharedApplication();
        app->setDelegate(std::make_shared<RecordingDelegate>());
        app->run();
        return 0;
    });
    EXPECT_TRUE(child.exited);
    EXPECT_EQ(child.exitCode, 0);
    EXPECT_EQ(child.output, "will-finish\ndid-finish\nevent\nwill-terminate\n");
}
