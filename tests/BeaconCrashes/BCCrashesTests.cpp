// The crash service's lifecycle. Enabling installs the engine and its
// handlers for the life of the process, so every body runs in a forked
// child; the parent, as the next launch, reads what the child left.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "BBCrashReporter.h"
#include "BCBeacon.h"
#include "BCBeaconUserDefaults.h"
#include "BCChannelGroupDefault.h"
#include "BCChannelUnitProtocol.h"
#include "BCCrashes.h"
#include "BCCrashesUncaughtCXXExceptionHandlerManager.h"
#include "BCWrapperCrashesHelper.h"
#include "BCWrapperException.h"
#include "BCWrapperExceptionManager.h"
#include "BCErrorAttachmentLog.h"
#include "BCErrorReport.h"
#include "BCException.h"
#include "BCHandledErrorLog.h"
#include "BCPendingCrashReports.h"
#include "Beacon/Internals/Channel/BCChannelTestSupport.h"
#include "BeaconCrashes/CrashesTestSupport.h"
#include "BeaconCrashes/EngineCrash.h"
#include "platform/appkit/Application.h"
#include "platform/appkit/NSExceptionBox.h"
#include "platform/dispatch/MainRunLoop.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/UserDefaults.h"

namespace {

constexpr const char *kSecret = "0dbca56b-b9ae-4d53-856a-7c2856137d85";

// Starts the SDK with the crash service, as a new launch: the stored
// defaults are read afresh, then the registered ones added.
void startCrashes(bool machExceptions = true, const platform::Dictionary &registered = {}) {
    platform::dispatch::MainRunLoop::adoptCurrentThreadAsMain();
    platform::UserDefaults::resetStandardUserDefaults();
    BCBeaconUserDefaults::resetSharedInstance();
    platform::UserDefaults::standardUserDefaults()->registerDefaults(registered);
    if (!machExceptions) BCCrashes::disableMachExceptionHandler();
    BCBeacon::start(kSecret, BCBeacon::Services{BCCrashes::serviceClass()});
}

mode_t modeOf(const std::filesystem::path &path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

class BCCrashesTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (BCBeacon::isDebuggerAttached()) {
            GTEST_SKIP() << "a tracer is attached: the service does not enable crash capture under a debugger";
        }
    }

    // The report the engine of this test binary left in this home.
    std::shared_ptr<BBCrashReport> pendingReport() {
        platform::Bundle::resetMainBundle();
        BBCrashReporter reporter;
        auto data = reporter.loadPendingCrashReportData();
        return data ? BBCrashReport::make(*data) : nullptr;
    }

    testsupport::ChildResult inChild(const std::function<int()> &body) {
        auto result = testsupport::runInChild(body, 30);
        EXPECT_TRUE(result.exited) << result.output;
        EXPECT_EQ(result.exitCode, 0) << result.output;
        return result;
    }

    channeltest::BeaconHome home;
};

}  // namespace

TEST_F(BCCrashesTest, EnableDisableAndEnableAgainKeepTheFirstEngine) {
    inChild([this] {
        int failures = 0;
        modeltest::LogCapture capture;
        // Debian's umask, and what an earlier run left readable by others.
        umask(022);
        const auto sdk = home.path() / "sdk";
        for (const char *folder : {"crashes", "crasheslogbuffer", "crasheswrapperexceptions"}) {
            std::filesystem::create_directories(sdk / folder);
            std::filesystem::permissions(sdk / folder, std::filesystem::perms(0755));
        }
        std::ofstream(sdk / "crasheslogbuffer/0.bccrasheslogbuffer").close();
        std::ofstream(sdk / "crasheswrapperexceptions/old") << "x";
        // A wrapper exception with a second name elsewhere: ours becomes a
        // private copy; the other name keeps its file, never made private.
        const auto theirs = home.path() / "theirs";
        std::ofstream(theirs) << "theirs";
        std::filesystem::permissions(theirs, std::filesystem::perms(0644));
        std::filesystem::create_hard_link(theirs, sdk / "crasheswrapperexceptions/1234");
        // A wrapper exception an earlier process saved without leaving a
        // report: this launch has none to tie it to.
        auto wrapper = std::make_shared<BCWrapperException>();
        wrapper->processId = static_cast<uint64_t>(getpid());
        BCWrapperExceptionManager::saveWrapperException(wrapper);
        auto delegate = std::make_shared<BCCrashesDelegate>();
        BCCrashes::setDelegate(delegate);
        BCCrashes::setUserConfirmationHandler([](const auto &) { return true; });
        startCrashes();
        auto crashes = BCCrashes::sharedInstance();
        for (const char *folder : {"crashes", "crasheslogbuffer", "crasheswrapperexceptions"}) {
            CHILD_EXPECT(modeOf(sdk / folder) == 0700);
        }
        CHILD_EXPECT(modeOf(sdk / "crasheswrapperexceptions/old") == 0600);
        CHILD_EXPECT(modeOf(theirs) == 0644 && std::filesystem::file_size(theirs) == 6);
        CHILD_EXPECT(std::filesystem::hard_link_count(theirs) == 1);
        CHILD_EXPECT(modeOf(sdk / "crasheswrapperexceptions/1234") == 0600);
        CHILD_EXPECT(std::filesystem::file_size(sdk / "crasheswrapperexceptions/1234") == 6);
        CHILD_EXPECT(!std::filesystem::exists(sdk / "crasheswrapperexceptions/1234.notours"));
        CHILD_EXPECT(capture.contains(BCLogLevelAssert,
                                      "1 file(s) had other hard links (1234), so they were someone else's files too; "
                                      "each is now a private copy of its own under its name, holding what it held, "
                                      "and the other names keep their files, untouched."));
        CHILD_EXPECT(!std::filesystem::exists(sdk / "crasheswrapperexceptions/last_saved_wrapper_exception"));
        CHILD_EXPECT(std::filesystem::exists(sdk / "crasheswrapperexceptions/old"));
        const auto lines = capture.lines();
        CHILD_EXPECT(std::any_of(lines.begin(), lines.end(), [](const auto &line) {
            return line.first == BCLogLevelWarning &&
                   line.second.find("matches no crash report; it is deleted.") != std::string::npos;
        }));
        // The buffer files are made on a background queue.
        CHILD_EXPECT(platform::dispatch::MainRunLoop::runUntil(
            [&] {
                return modeOf(sdk / "crasheslogbuffer/0.bccrasheslogbuffer") == 0600 &&
                       modeOf(sdk / "crasheslogbuffer/59.bccrasheslogbuffer") == 0600;
            },
            20));
        // The "Crashes" unit: priority 2 (critical), a 1 s flush, batches of
        // one, three batches in flight.
        const auto configuration = crashes->channelUnitConfiguration();
        CHILD_EXPECT(configuration && crashes->channelUnit());
        for (const auto &config : {*configuration, *crashes->channelUnit()->configuration()}) {
            CHILD_EXPECT(config.groupId() == "Crashes");
            CHILD_EXPECT(config.priority() == 2);
            CHILD_EXPECT(config.flushInterval() == 1u);
            CHILD_EXPECT(config.batchSizeLimit() == 1u);
            CHILD_EXPECT(config.pendingBatchesLimit() == 3u);
        }
        CHILD_EXPECT(BCCrashes::delegate() == delegate);
        CHILD_EXPECT(BCCrashes::userConfirmationHandler() != nullptr);
        CHILD_EXPECT(capture.contains(BCLogLevelVerbose, "Started crash service."));
        CHILD_EXPECT(capture.contains(BCLogLevelVerbose, "Enabled Mach exception handler."));
        CHILD_EXPECT(capture.contains(BCLogLevelDebug, "EnableUncaughtExceptionHandler is set to YES"));
        CHILD_EXPECT(capture.contains(BCLogLevelDebug, "Exception handler successfully initialized."));
        CHILD_EXPECT(capture.contains(BCLogLevelInfo, "Crashes service has been enabled."));
        auto engine = crashes->bbCrashReporter();
        CHILD_EXPECT(engine && engine->isEnabled() && engine->config()->signalHandlerType() == 1);
        CHILD_EXPECT(crashes->exceptionHandler() == platform::appkit::NSGetUncaughtExceptionHandler());
        CHILD_EXPECT(BCCrashesUncaughtCXXExceptionHandlerManager::countCXXExceptionHandler() == 1);
        CHILD_EXPECT(crashes->memoryPressureSource() != nullptr);
        CHILD_EXPECT(std::filesystem::is_directory(home.path() / "sdk/crashes"));
        CHILD_EXPECT(std::filesystem::is_directory(home.path() / "sdk/crasheslogbuffer"));
        CHILD_EXPECT(crashes->analyzerInProgressFilePathComponent() == "crashes/BNCrashes.analyzer");
        // No stored crash file: the gate opened exactly once.
        CHILD_EXPECT(capture.contains(BCLogLevelError, "No persisted crashes found."));
        CHILD_EXPECT(crashes->delayedProcessingSemaphore()->wait(0.0) == 0);
        CHILD_EXPECT(crashes->delayedProcessingSemaphore()->wait(0.0) != 0);

        // Selecting signals after enabling changes nothing running.
        BCCrashes::disableMachExceptionHandler();
        CHILD_EXPECT(crashes->bbCrashReporter()->config()->signalHandlerType() == 1);

        BCBeaconUserDefaults::shared()->setObject(true, "AppDidReceiveMemoryWarning");
        std::ofstream(home.path() / "sdk/crashes/stored") << "report";
        capture.clear();
        BCCrashes::setEnabled(false);
        CHILD_EXPECT(!BCCrashes::isEnabled());
        CHILD_EXPECT(platform::UserDefaults::standardUserDefaults()->objectForKey("BNBeaconCrashesIsEnabled") ==
                     platform::Value(false));
        CHILD_EXPECT(capture.contains(BCLogLevelDebug, "Cleaning up all crash files."));
        CHILD_EXPECT(capture.contains(BCLogLevelInfo, "Crashes service has been disabled."));
        CHILD_EXPECT(crashes->memoryPressureSource() == nullptr);
        CHILD_EXPECT(!std::filesystem::exists(home.path() / "sdk/crashes"));
        CHILD_EXPECT(BCBeaconUserDefaults::shared()->objectForKey("AppDidReceiveMemoryWarning").isNull());

        // A report the engine wrote while the service was disabled (claimed
        // at the next launch) is purged unread when it is enabled again.
        std::filesystem::copy_file(std::string(PLOTWICK_GOLDEN_DIR) + "/cases/full_x86_64.bbcrash",
                                   engine->previousCrashReportPath(),
                                   std::filesystem::copy_options::overwrite_existing);
        capture.clear();
        BCCrashes::setEnabled(true);
        CHILD_EXPECT(BCCrashes::isEnabled());
        CHILD_EXPECT(capture.contains(BCLogLevelDebug, "Already configured BBCrashReporter."));
        CHILD_EXPECT(crashes->bbCrashReporter() == engine);
        CHILD_EXPECT(!engine->hasPendingCrashReport());
        CHILD_EXPECT(!BCCrashes::hasCrashedInLastSession());
        CHILD_EXPECT(crashes->pendingCrashReports()->persistedCrashReports().empty());
        CHILD_EXPECT(BCCrashesUncaughtCXXExceptionHandlerManager::countCXXExceptionHandler() == 1);
        CHILD_EXPECT(crashes->memoryPressureSource() != nullptr);
        return failures;
    });
}

TEST_F(BCCrashesTest, AWrapperSetupDelegateIsAskedAroundTheEngineAndDisablingEmptiesTheBuffer) {
    inChild([this] {
        int failures = 0;
        modeltest::LogCapture capture;
        std::vector<std::string> calls;
        auto setup = std::make_shared<BCCrashHandlerSetupDelegate>();
        setup->shouldEnableUncaughtExceptionHandler = [&] {
            calls.push_back("should " + std::to_string(BCCrashes::sharedInstance()->bbCrashReporter() != nullptr));
            return false;
        };
        setup->willSetUpCrashHandlers = [&] {
            calls.push_back("will " + std::to_string(BCCrashes::sharedInstance()->bbCrashReporter() != nullptr));
        };
        setup->didSetUpCrashHandlers = [&] {
            calls.push_back("did " + std::to_string(BCCrashes::sharedInstance()->bbCrashReporter() != nullptr));
        };
        BCWrapperCrashesHelper::setCrashHandlerSetupDelegate(setup);
        startCrashes();
        auto crashes = BCCrashes::sharedInstance();
        CHILD_EXPECT((calls == std::vector<std::string>{"should 0", "will 0", "did 1"}));
        auto engine = crashes->bbCrashReporter();
        CHILD_EXPECT(engine && !engine->config()->shouldRegisterUncaughtExceptionHandler());
        CHILD_EXPECT(capture.contains(
            BCLogLevelDebug, "EnableUncaughtExceptionHandler is set to NO, we're running in a managed runtime."));
        // The buffer of a crash was looked for at start, on a unit of its own.
        auto bufferUnit = crashes->bufferChannelUnit();
        CHILD_EXPECT(bufferUnit && bufferUnit->configuration()->groupId() == "CrashesBuffer");

        // Enabling again configures nothing, so the hooks are asked again
        // around a configuration that stops at once.
        const auto buffer = home.path() / "sdk/crasheslogbuffer/3.bccrasheslogbuffer";
        std::ofstream(buffer) << "buffered at a crash";
        BCCrashes::setEnabled(false);
        CHILD_EXPECT(std::filesystem::exists(buffer) && std::filesystem::file_size(buffer) == 0);
        calls.clear();
        BCCrashes::setEnabled(true);
        CHILD_EXPECT((calls == std::vector<std::string>{"should 1", "will 1", "did 1"}));
        CHILD_EXPECT(crashes->bbCrashReporter() == engine);
        return failures;
    });
}

TEST_F(BCCrashesTest, LinksInPlaceOfTheFoldersAreSetAsideAndWhatTheyPointToIsLeftAlone) {
    inChild([this] {
        int failures = 0;
        modeltest::LogCapture capture;
        // The SDK folder moved to another disk behind a link: followed.
        const auto sdk = home.path() / "sdk";
        const auto disk = home.path() / "disk";
        std::filesystem::create_directories(sdk);
        std::filesystem::rename(sdk, disk);
        std::filesystem::create_directory_symlink(disk, sdk);
        // Each of the service's folders a link to somebody else's folder,
        // which holds what could pass for a report, a buffer and a wrapper
        // exception.
        const auto other = home.path() / "other";
        std::filesystem::create_directories(other);
        const char *theirs[] = {"700000000", "0.bccrasheslogbuffer", "last_saved_wrapper_exception"};
        for (const char *name : theirs) {
            std::ofstream(other / name) << "theirs";
            std::filesystem::permissions(other / name, std::filesystem::perms(0644));
        }
        const std::string folders[] = {"crashes", "crasheslogbuffer", "crasheswrapperexceptions"};
        for (const auto &folder : folders) std::filesystem::create_directory_symlink(other, disk / folder);

        startCrashes();
        auto crashes = BCCrashes::sharedInstance();
        // The buffer files are made on a queue; the processing reads the
        // wrapper exception folder.
        CHILD_EXPECT(platform::dispatch::MainRunLoop::runUntil(
            [&] { return std::filesystem::exists(disk / "crasheslogbuffer/59.bccrasheslogbuffer"); }, 10));
        CHILD_EXPECT(crashes->delayedProcessingSemaphore()->wait(10.0) == 0);
        for (const auto &folder : folders) {
            CHILD_EXPECT(!std::filesystem::is_symlink(disk / folder) && std::filesystem::is_directory(disk / folder));
            CHILD_EXPECT(modeOf(disk / folder) == 0700);
            CHILD_EXPECT(std::filesystem::is_symlink(disk / (folder + ".notours")) &&
                         std::filesystem::read_symlink(disk / (folder + ".notours")) == other);
            CHILD_EXPECT(
                capture.contains(BCLogLevelAssert, folder +
                                                       " in the SDK folder is not a folder of ours (a link or another "
                                                       "file); it is set aside as " +
                                                       folder + ".notours and a private folder is made in its place."));
        }
        CHILD_EXPECT(std::filesystem::is_regular_file(disk / "crasheslogbuffer/0.bccrasheslogbuffer"));
        // Nothing behind the links was read as ours, changed or made.
        size_t entries = 0;
        for (const auto &entry : std::filesystem::directory_iterator(other)) {
            ++entries;
            CHILD_EXPECT(modeOf(entry.path()) == 0644);
            std::ifstream in(entry.path());
            std::string text;
            std::getline(in, text);
            CHILD_EXPECT(text == "theirs");
        }
        CHILD_EXPECT(entries == std::size(theirs));
        CHILD_EXPECT(!BCCrashes::hasCrashedInLastSession());
        return failures;
    });
    // The next launch finds links inside the folders, to files elsewhere:
    // making the folders private at start leaves the links and what they
    // point to as they are.
    const auto disk = home.path() / "disk";
    const auto other = home.path() / "other";
    const std::string folders[] = {"crashes", "crasheslogbuffer", "crasheswrapperexceptions"};
    for (const auto &folder : folders) {
        ASSERT_TRUE(std::filesystem::is_directory(disk / folder));
        std::filesystem::create_symlink(other / "700000000", disk / folder / "linked");
    }
    inChild([&] {
        int failures = 0;
        modeltest::LogCapture capture;
        startCrashes();
        CHILD_EXPECT(BCCrashes::sharedInstance()->delayedProcessingSemaphore()->wait(10.0) == 0);
        // Seen as links, not as the files they point to: no attempt to
        // narrow them.
        for (const auto &line : capture.lines()) CHILD_EXPECT(line.second.find("Couldn't make") == std::string::npos);
        return failures;
    });
    EXPECT_EQ(modeOf(other / "700000000"), 0644u);
    for (const auto &folder : folders) EXPECT_TRUE(std::filesystem::is_symlink(disk / folder / "linked")) << folder;
}

TEST_F(BCCrashesTest, MemoryPressureInOneLaunchIsReportedInTheNext) {
    inChild([] {
        int failures = 0;
        startCrashes();
        auto crashes = BCCrashes::sharedInstance();
        auto first = crashes->memoryPressureSource();
        // Enabling again (the application started the SDK a second time)
        // replaces the source and cancels the old one.
        crashes->applyEnabledState(true);
        auto source = crashes->memoryPressureSource();
        CHILD_EXPECT(source && source != first && !first->isWatching());
        // Both the warning and the critical level are watched.
        for (auto level :
             {platform::dispatch::MemoryPressureSource::Critical, platform::dispatch::MemoryPressureSource::Warning}) {
            BCBeaconUserDefaults::shared()->removeObjectForKey("AppDidReceiveMemoryWarning");
            source->simulateEvent(level);
            first->simulateEvent(level);
            platform::dispatch::MainRunLoop::runUntil(
                [] { return !BCBeaconUserDefaults::shared()->objectForKey("AppDidReceiveMemoryWarning").isNull(); },
                10);
            CHILD_EXPECT(BCBeaconUserDefaults::shared()->objectForKey("AppDidReceiveMemoryWarning") ==
                         platform::Value(true));
        }
        // A source outliving a reset service calls nothing.
        BCCrashes::resetSharedInstance();
        crashes.reset();
        first->simulateEvent(platform::dispatch::MemoryPressureSource::Warning);
        platform::dispatch::MainRunLoop::runPending();
        return failures;
    });
    inChild([] {
        int failures = 0;
        startCrashes();
        CHILD_EXPECT(BCCrashes::hasReceivedMemoryWarningInLastSession());
        CHILD_EXPECT(BCBeaconUserDefaults::shared()->objectForKey("AppDidReceiveMemoryWarning").isNull());
        return failures;
    });
}

TEST_F(BCCrashesTest, GenerateTestCrashEndsTheProcessWithAReport) {
    auto child = testsupport::runInChild(
        [] {
            startCrashes(false);
            BCCrashes::generateTestCrash();
            return 0;
        },
        30);
    EXPECT_EQ(child.signal, SIGILL) << child.output;
    auto report = pendingReport();
    ASSERT_NE(report, nullptr);
    EXPECT_EQ(report->signalInfo()->name(), "SIGILL");
}

TEST_F(BCCrashesTest, UncaughtCxxExceptionBecomesTheReportsException) {
    auto child = testsupport::runInChild(
        []() -> int {
            startCrashes();
            throw std::runtime_error("T");
        },
        30);
    EXPECT_EQ(child.signal, SIGABRT) << child.output;
    auto report = pendingReport();
    ASSERT_NE(report, nullptr);
    ASSERT_TRUE(report->hasExceptionInfo());
    EXPECT_EQ(report->exceptionInfo()->exceptionName(), "std::runtime_error");
    EXPECT_EQ(report->exceptionInfo()->exceptionReason(), "T");
}

namespace {

void raiseInEventHandler() {
    startCrashes(true, {{"NSApplicationCrashOnExceptions", platform::Value(true)}});
    platform::appkit::Application::sharedApplication()->dispatchEvent(platform::appkit::Event([] {
        platform::appkit::nsRaise(
            std::make_shared<platform::appkit::Exception>("NSInternalInconsistencyException", "bad state"));
    }));
}

}  // namespace

TEST_F(BCCrashesTest, ExceptionRaisedInAnEventHandlerIsReportedWithItsNameAndReason) {
    auto child = testsupport::runInChild(
        [] {
            raiseInEventHandler();
            return 0;
        },
        30);
    EXPECT_EQ(child.signal, SIGABRT) << child.output;
    auto report = pendingReport();
    ASSERT_NE(report, nullptr);
    ASSERT_TRUE(report->hasExceptionInfo());
    EXPECT_EQ(report->exceptionInfo()->exceptionName(), "NSInternalInconsistencyException");
    EXPECT_EQ(report->exceptionInfo()->exceptionReason(), "bad state");
}

TEST_F(BCCrashesTest, WithTheForwarderSwitchedOffTheReportHasNoException) {
    const auto bundle = home.path() / "bundle";
    std::filesystem::create_directories(bundle);
    std::ofstream(bundle / "Info.plist") << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                                            "<key>CFBundleIdentifier</key><string>io.plotwick.tests</string>"
                                            "<key>BeaconApplicationForwarderEnabled</key><false/></dict></plist>\n";
    auto child = testsupport::runInChild(
        [bundle] {
            platform::Bundle::setMainBundleDirectory(bundle);
            platform::Bundle::resetMainBundle();
            modeltest::LogCapture capture;
            raiseInEventHandler();
            return 0;
        },
        30);
    // The application object itself ends the process, unreported.
    EXPECT_EQ(child.signal, SIGABRT) << child.output;
    EXPECT_NE(child.output.find("*** NSInternalInconsistencyException: bad state"), std::string::npos);
    platform::Bundle::setMainBundleDirectory(bundle);
    auto report = pendingReport();
    platform::Bundle::setMainBundleDirectory(std::nullopt);
    platform::Bundle::resetMainBundle();
    ASSERT_NE(report, nullptr);
    EXPECT_FALSE(report->hasExceptionInfo());
}

TEST_F(BCCrashesTest, HandledErrorsAndTheirAttachments) {
    inChild([] {
        int failures = 0;
        modeltest::LogCapture capture;
        startCrashes();
        auto crashes = BCCrashes::sharedInstance();
        channeltest::RecordingDelegate recorder;
        BCBeacon::sharedInstance()->channelGroup()->addDelegate(recorder.delegate());

        // A nil exception tracks nothing and sends no attachment.
        auto orphan = BCErrorAttachmentLog::attachmentWithText("x", "x.txt");
        CHILD_EXPECT(!crashes->trackModelException(nullptr, std::nullopt, std::vector{orphan}));
        CHILD_EXPECT(capture.contains(BCLogLevelError, "A handled error needs an exception; nothing was tracked."));
        CHILD_EXPECT(!orphan->errorId);

        auto exception = std::make_shared<BCException>();
        exception->type = "T";
        exception->frames = std::vector{std::make_shared<BCStackFrame>()};
        platform::Dictionary many;
        for (int i = 0; i < 25; ++i) many.emplace("k" + std::to_string(i), platform::Value("v"));
        auto shared = BCErrorAttachmentLog::attachmentWithText("shared", std::nullopt);
        auto empty = BCErrorAttachmentLog::attachmentWithText("", "empty.txt");
        auto exact = BCErrorAttachmentLog::attachmentWithBinary(platform::Data(BCCrashes::kMaxAttachmentSize, 1),
                                                                "exact.bin", "application/octet-stream");
        auto over = BCErrorAttachmentLog::attachmentWithBinary(platform::Data(BCCrashes::kMaxAttachmentSize + 1, 1),
                                                               "over.bin", "application/octet-stream");
        auto first = crashes->trackModelException(exception, many, std::vector{shared, empty, exact, over});
        auto second = crashes->trackModelException(exception, platform::Dictionary{}, std::vector{shared});
        CHILD_EXPECT(first && second && *first != *second);
        CHILD_EXPECT(first == platform::UUID::fromString(first.value_or(""))->UUIDString());
        // The caller's object carries the last error's id.
        CHILD_EXPECT(shared->errorId == second);
        CHILD_EXPECT(capture.contains(BCLogLevelError, "Not all required fields are present in BCErrorAttachmentLog."));
        CHILD_EXPECT(capture.contains(BCLogLevelError,
                                      "Discarding attachment with size above 7340032 bytes: "
                                      "size=7340033, fileName=over.bin."));

        // Preparing is synchronous: each handled error, then the first's two
        // valid attachments and the second's one.
        std::vector<std::string> attachedTo;
        std::vector<std::shared_ptr<BCHandledErrorLog>> errors;
        for (const auto &call : recorder.calls("didPrepareLog")) {
            if (auto attachment = std::dynamic_pointer_cast<BCErrorAttachmentLog>(call.log)) {
                CHILD_EXPECT(attachment != shared);
                attachedTo.push_back(attachment->filename.value_or("-") + "@" + attachment->errorId.value_or(""));
            } else if (auto error = std::dynamic_pointer_cast<BCHandledErrorLog>(call.log)) {
                errors.push_back(error);
            }
        }
        CHILD_EXPECT(attachedTo == (std::vector<std::string>{"-@" + *first, "exact.bin@" + *first, "-@" + *second}));
        CHILD_EXPECT(errors.size() == 2);
        if (errors.size() == 2) {
            CHILD_EXPECT(errors[0]->properties() && errors[0]->properties()->size() == 20);
            CHILD_EXPECT(!errors[1]->properties());
        }

        auto report = crashes->buildHandledErrorReportWithErrorID("E");
        CHILD_EXPECT(report->incidentIdentifier() == "E" && !report->reporterKey() && !report->signal() &&
                     report->appProcessIdentifier() == 0 && report->device());
        return failures;
    });
}
