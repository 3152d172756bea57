// Pending crash processing and the user's answer, against the real service
// started in a forked child (enabling installs the engine for the life of
// the process); the channel group's delegates record what is enqueued.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "BBCrashReporter.h"
#include "BCAppleErrorLog.h"
#include "BCBeacon.h"
#include "BCBeaconUserDefaults.h"
#include "BCChannelGroupProtocol.h"
#include "BCCrashes.h"
#include "BCErrorReport.h"
#include "BCHandledErrorLog.h"
#include "BCPendingCrashReports.h"
#include "Beacon/Internals/Channel/BCChannelTestSupport.h"
#include "platform/dispatch/MainRunLoop.h"
#include "platform/foundation/UserDefaults.h"
#include "support/ForkedChild.h"

namespace {

constexpr const char *kSecret = "0dbca56b-b9ae-4d53-856a-7c2856137d85";
const std::string kGolden = PLOTWICK_GOLDEN_DIR;
// The report UUIDs of two golden cases.
constexpr const char *kFullId = "11223344-5566-4788-99AA-BBCCDDEEFF00";
constexpr const char *kExceptionId = "01020304-0506-4708-890A-0B0C0D0E0F10";

#define CHILD_EXPECT(condition)                                                     \
    do {                                                                            \
        if (!(condition)) {                                                         \
            fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #condition); \
            ++failures;                                                             \
        }                                                                           \
    } while (0)

void copyCase(const std::string &name, const std::filesystem::path &to) {
    std::filesystem::create_directories(to.parent_path());
    std::filesystem::copy_file(kGolden + "/cases/" + name + ".bbcrash", to,
                               std::filesystem::copy_options::overwrite_existing);
}

// Starts the SDK with the crash service as a launch would, with a recording
// delegate on its channel group; answers the processor of its pending
// reports.
std::shared_ptr<BCPendingCrashReports> launch(channeltest::RecordingDelegate &recorder) {
    platform::dispatch::MainRunLoop::adoptCurrentThreadAsMain();
    platform::UserDefaults::resetStandardUserDefaults();
    BCBeaconUserDefaults::resetSharedInstance();
    BCBeacon::start(kSecret, BCBeacon::Services{BCCrashes::serviceClass()});
    auto crashes = BCCrashes::sharedInstance();
    crashes->channelGroup()->addDelegate(recorder.delegate());
    return std::make_shared<BCPendingCrashReports>(crashes);
}

// The crash logs enqueued on the "Crashes" unit, with their flags.
std::vector<channeltest::RecordingDelegate::Call> crashLogsEnqueued(channeltest::RecordingDelegate &recorder) {
    std::vector<channeltest::RecordingDelegate::Call> calls;
    for (auto &call : recorder.calls("didPrepareLog")) {
        if (std::dynamic_pointer_cast<BCAppleErrorLog>(call.log)) calls.push_back(call);
    }
    return calls;
}

class BCPendingCrashReportsTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (BCBeacon::isDebuggerAttached()) GTEST_SKIP() << "no crash capture under a debugger";
    }
    void inChild(const std::function<int()> &body) {
        auto result = testsupport::runInChild(body, 30);
        EXPECT_TRUE(result.exited && result.exitCode == 0) << result.exitCode << "\n" << result.output;
    }
    // A launch that crashes, leaving the engine's pending report.
    void crashOnce() {
        auto crashed = testsupport::runInChild([] {
            channeltest::RecordingDelegate recorder;
            launch(recorder);
            BCCrashes::generateTestCrash();
            return 3;
        }, 30);
        ASSERT_EQ(crashed.signal, SIGILL) << crashed.output;
    }
    std::filesystem::path crashesDir() const { return home.path() / "sdk" / "crashes"; }

    channeltest::BeaconHome home;
};

TEST_F(BCPendingCrashReportsTest, StoredFilesAreProcessedInNameOrderAndSentOnTheAnswer) {
    inChild([this] {
        int failures = 0;
        channeltest::RecordingDelegate recorder;
        std::vector<size_t> asked;
        BCCrashes::setUserConfirmationHandler([&](const auto &reports) {
            asked.push_back(reports.size());
            return true;
        });
        auto pending = launch(recorder);
        // Placed after the start, so that only this processor sees them: two
        // reports on either side of the day (in 2032) names get a tenth
        // digit, one unreadable file, and what the listing must skip.
        copyCase("full_x86_64", crashesDir() / "1000000000");
        copyCase("uncaught_exception", crashesDir() / "999999999");
        std::ofstream(crashesDir() / "1000000001") << "not a report";
        std::ofstream(crashesDir() / ".DS_Store") << "x";
        std::ofstream(crashesDir() / "BNCrashes.analyzer") << "x";
        std::ofstream(crashesDir() / "old.plist") << "x";
        std::ofstream(crashesDir() / "700000003");
        std::filesystem::create_directories(crashesDir() / "700000004");
        const auto files = pending->persistedCrashReports();
        CHILD_EXPECT(files.size() == 3);
        CHILD_EXPECT(files.size() == 3 && files[0].filename() == "999999999" && files[2].filename() == "1000000001");
        pending->setCrashFiles(files);

        pending->processCrashReports();
        CHILD_EXPECT(asked == std::vector<size_t>{2});
        auto logs = pending->unprocessedLogs();
        auto reports = pending->unprocessedReports();
        auto paths = pending->unprocessedFilePaths();
        CHILD_EXPECT(logs && reports && paths && logs->size() == 2 && reports->size() == 2 && paths->size() == 2);
        if (logs && logs->size() == 2) {
            CHILD_EXPECT((*reports)[0]->incidentIdentifier() == kExceptionId);
            CHILD_EXPECT((*reports)[1]->incidentIdentifier() == kFullId);
            for (size_t i = 0; i < 2; ++i) CHILD_EXPECT((*logs)[i]->errorId == (*reports)[i]->incidentIdentifier());
        }
        // Nothing goes out before the answer.
        CHILD_EXPECT(crashLogsEnqueued(recorder).empty());

        pending->notifyWithUserConfirmation(BCUserConfirmationSend);
        auto sent = crashLogsEnqueued(recorder);
        CHILD_EXPECT(sent.size() == 2);
        for (const auto &call : sent) CHILD_EXPECT(call.flags == 2);
        CHILD_EXPECT(!std::filesystem::exists(crashesDir() / "999999999"));
        CHILD_EXPECT(!std::filesystem::exists(crashesDir() / "1000000000"));
        // The unreadable file stays, on disk and in the list.
        CHILD_EXPECT(std::filesystem::exists(crashesDir() / "1000000001"));
        CHILD_EXPECT(pending->crashFiles().size() == 1);
        CHILD_EXPECT(pending->unprocessedReports() && pending->unprocessedReports()->empty());

        // A second answer finds nothing to send.
        pending->notifyWithUserConfirmation(BCUserConfirmationAlways);
        CHILD_EXPECT(crashLogsEnqueued(recorder).size() == 2);
        CHILD_EXPECT(pending->shouldAlwaysSend());
        return failures;
    });
}

TEST_F(BCPendingCrashReportsTest, DontSendFiltersAndTheDelegateDiscardFiles) {
    inChild([this] {
        int failures = 0;
        channeltest::RecordingDelegate recorder;
        auto delegate = std::make_shared<BCCrashesDelegate>();
        delegate->shouldProcessErrorReport = [](BCCrashes &, const auto &report) {
            return report->incidentIdentifier() != "41424344-4546-4748-894A-4B4C4D4E4F50";
        };
        BCCrashes::setDelegate(delegate);
        size_t seen = 0;
        BCCrashes::setUserConfirmationHandler([&](const auto &reports) {
            seen = reports.size();
            return true;
        });
        auto pending = launch(recorder);
        copyCase("full_x86_64", crashesDir() / "700000001");
        copyCase("uncaught_exception", crashesDir() / "700000000");
        copyCase("symbols_os0", crashesDir() / "700000005");
        pending->setCrashFiles(pending->persistedCrashReports());
        pending->processCrashReports();
        CHILD_EXPECT(seen == 2);
        CHILD_EXPECT(!std::filesystem::exists(crashesDir() / "700000005"));
        CHILD_EXPECT(pending->crashFiles().size() == 2);

        // A wrapper SDK keeps one of the two.
        pending->sendCrashReportsOrAwaitUserConfirmationForFilteredIds({kFullId});
        CHILD_EXPECT(!std::filesystem::exists(crashesDir() / "700000000"));
        auto reports = pending->unprocessedReports();
        CHILD_EXPECT(reports && reports->size() == 1 && (*reports)[0]->incidentIdentifier() == kFullId);
        CHILD_EXPECT(pending->unprocessedLogs()->size() == 1 && pending->unprocessedFilePaths()->size() == 1);

        pending->handleUserConfirmation(BCUserConfirmationDontSend);
        CHILD_EXPECT(crashLogsEnqueued(recorder).empty());
        CHILD_EXPECT(!std::filesystem::exists(crashesDir() / "700000001"));
        CHILD_EXPECT(pending->crashFiles().empty());
        CHILD_EXPECT(pending->unprocessedReports()->empty());
        CHILD_EXPECT(!pending->shouldAlwaysSend());
        return failures;
    });
}

TEST_F(BCPendingCrashReportsTest, AlwaysSendSkipsTheHandlerAndAnswerSevenIsSend) {
    inChild([this] {
        int failures = 0;
        channeltest::RecordingDelegate recorder;
        size_t asked = 0;
        BCCrashes::setUserConfirmationHandler([&](const auto &) {
            ++asked;
            return true;
        });
        auto pending = launch(recorder);
        BCBeaconUserDefaults::shared()->setObject(true, "CrashesUserConfirmation");
        copyCase("full_x86_64", crashesDir() / "700000001");
        pending->setCrashFiles(pending->persistedCrashReports());
        pending->processCrashReports();
        CHILD_EXPECT(asked == 0);
        CHILD_EXPECT(crashLogsEnqueued(recorder).size() == 1);
        return failures;
    });
    inChild([this] {
        int failures = 0;
        channeltest::RecordingDelegate recorder;
        // The handler answers from inside its own call, as the application's
        // alert does; it sees a copy of the list its answer empties.
        std::shared_ptr<BCPendingCrashReports> pending;
        std::vector<std::shared_ptr<BCErrorReport>> seen;
        BCCrashes::setUserConfirmationHandler([&](const auto &reports) {
            pending->notifyWithUserConfirmation(7);
            seen = reports;
            return true;
        });
        pending = launch(recorder);
        // The previous launch's "always send" is stored; this one asks.
        BCBeaconUserDefaults::shared()->removeObjectForKey("CrashesUserConfirmation");
        copyCase("uncaught_exception", crashesDir() / "700000000");
        pending->setCrashFiles(pending->persistedCrashReports());
        pending->processCrashReports();
        CHILD_EXPECT(seen.size() == 1);
        CHILD_EXPECT(crashLogsEnqueued(recorder).size() == 1);
        CHILD_EXPECT(pending->unprocessedReports()->empty());
        return failures;
    });
}

TEST_F(BCPendingCrashReportsTest, PendingReportBecomesAStoredFileUnderAFreeName) {
    ASSERT_NO_FATAL_FAILURE(crashOnce());

    inChild([this] {
        int failures = 0;
        channeltest::RecordingDelegate recorder;
        // The names of this second and the next are taken.
        const double now = platform::Date::now().timeIntervalSinceReferenceDate();
        std::vector<std::string> taken;
        std::filesystem::create_directories(crashesDir());
        for (int k = 0; k < 3; ++k) {
            taken.push_back(platform::format("%.0f", now + k));
            std::ofstream(crashesDir() / taken.back()) << "older crash";
        }
        // The start stores the pending report beside them.
        auto pending = BCPendingCrashReports::sharedInstance();
        launch(recorder);
        CHILD_EXPECT(BCCrashes::hasCrashedInLastSession());
        auto engine = BCCrashes::sharedInstance()->bbCrashReporter();
        for (const auto &name : taken) {
            std::ifstream in(crashesDir() / name);
            std::string text;
            std::getline(in, text);
            CHILD_EXPECT(text == "older crash");
        }
        CHILD_EXPECT(pending->persistedCrashReports().size() == 4);
        CHILD_EXPECT(pending->crashFiles().size() == 4);
        CHILD_EXPECT(BCCrashes::lastSessionCrashReport() && BCCrashes::lastSessionCrashReport()->signal() == "SIGILL");
        CHILD_EXPECT(engine && !engine->hasPendingCrashReport());
        CHILD_EXPECT(!std::filesystem::exists(crashesDir() / "BNCrashes.analyzer"));
        return failures;
    });
}

TEST_F(BCPendingCrashReportsTest, AFailedStoreKeepsThePendingReportAndAMarkerPurgesItUnread) {
    ASSERT_NO_FATAL_FAILURE(crashOnce());

    inChild([this] {
        int failures = 0;
        channeltest::RecordingDelegate recorder;
        // The crashes folder cannot hold files: a regular file in its place
        // when the start tries to store the pending report.
        std::filesystem::remove_all(crashesDir());
        std::ofstream(crashesDir()) << "in the way";
        auto pending = launch(recorder);
        auto engine = BCCrashes::sharedInstance()->bbCrashReporter();
        CHILD_EXPECT(BCCrashes::hasCrashedInLastSession());
        CHILD_EXPECT(engine && engine->hasPendingCrashReport());
        CHILD_EXPECT(!BCCrashes::lastSessionCrashReport());

        // A marker left by a launch that ended while parsing: purged unread.
        std::filesystem::remove(crashesDir());
        std::filesystem::create_directories(crashesDir());
        std::ofstream(crashesDir() / "BNCrashes.analyzer");
        pending->handleLatestCrashReport();
        CHILD_EXPECT(!engine->hasPendingCrashReport());
        CHILD_EXPECT(pending->persistedCrashReports().empty());
        CHILD_EXPECT(!std::filesystem::exists(crashesDir() / "BNCrashes.analyzer"));
        return failures;
    });
}

TEST_F(BCPendingCrashReportsTest, SendingCallbacksReachTheDelegateOnTheMainThreadForCrashLogsOnly) {
    inChild([this] {
        int failures = 0;
        channeltest::RecordingDelegate recorder;
        auto delegate = std::make_shared<BCCrashesDelegate>();
        std::vector<std::string> calls;
        auto onMain = [&](const std::string &name, const std::shared_ptr<BCErrorReport> &report) {
            CHILD_EXPECT(platform::dispatch::MainRunLoop::isMainThread());
            calls.push_back(name + " " + report->incidentIdentifier().value_or("-"));
        };
        delegate->willSendErrorReport = [&](BCCrashes &, const auto &report) { onMain("will", report); };
        delegate->didFailSendingErrorReport = [&](BCCrashes &, const auto &report, const platform::ErrorPtr &error) {
            CHILD_EXPECT(error && error->code() == 42);
            onMain("fail", report);
        };
        BCCrashes::setDelegate(delegate);
        auto pending = launch(recorder);
        copyCase("uncaught_exception", crashesDir() / "700000000");
        pending->setCrashFiles(pending->persistedCrashReports());
        BCCrashes::setUserConfirmationHandler([](const auto &) { return true; });
        pending->processCrashReports();
        auto log = pending->unprocessedLogs()->at(0);
        auto error = std::make_shared<platform::Error>("io.Beacon.SDK.ErrorDomain", 42, platform::Dictionary{});
        std::thread channelQueue([&] {
            pending->channelWillSendLog(log);
            pending->channelDidSucceedSendingLog(log);  // the delegate doesn't respond
            pending->channelDidFailSendingLog(std::make_shared<BCHandledErrorLog>(), error);
            pending->channelDidFailSendingLog(log, error);
        });
        channelQueue.join();
        platform::dispatch::MainRunLoop::runUntil([&] { return calls.size() >= 2; }, 10);
        CHILD_EXPECT((calls == std::vector<std::string>{std::string("will ") + kExceptionId,
                                                        std::string("fail ") + kExceptionId}));
        return failures;
    });
}

}  // namespace
