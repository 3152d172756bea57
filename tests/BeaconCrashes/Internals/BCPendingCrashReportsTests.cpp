// Pending crash processing and the user's answer, against the real service
// started in a forked child (enabling installs the engine for the life of
// the process); the channel group's delegates record what is enqueued.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <future>
#include <set>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include "BBCrashReporter.h"
#include "BCAppleErrorLog.h"
#include "BCBeacon.h"
#include "BCBeaconUserDefaults.h"
#include "BCChannelGroupDefault.h"
#include "BCChannelGroupProtocol.h"
#include "BCCrashes.h"
#include "BCErrorReport.h"
#include "BCException.h"
#include "BCHandledErrorLog.h"
#include "BCCrashesLogBuffer.h"
#include "BCEncrypter.h"
#include "BCPendingCrashReports.h"
#include "BCUtility.h"
#include "BCPendingCrashReportsDelegate.h"
#include "BCSessionContext.h"
#include "BCUserIdContext.h"
#include "BCWrapperException.h"
#include "BCWrapperExceptionManager.h"
#include "BeaconCrashes/CrashesTestSupport.h"
#include "BeaconCrashes/FakeChannel.h"
#include "Beacon/Internals/Channel/BCChannelTestSupport.h"
#include "platform/dispatch/MainRunLoop.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/UserDefaults.h"
#include "support/ForkedChild.h"

namespace {

constexpr const char *kSecret = "0dbca56b-b9ae-4d53-856a-7c2856137d85";
const std::string kGolden = PLOTWICK_GOLDEN_DIR;
// The report UUIDs of two golden cases.
constexpr const char *kFullId = "11223344-5566-4788-99AA-BBCCDDEEFF00";
constexpr const char *kExceptionId = "01020304-0506-4708-890A-0B0C0D0E0F10";
constexpr const char *kSymbolsId = "41424344-4546-4748-894A-4B4C4D4E4F50";

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
    return crashes->pendingCrashReports();
}

// Saves the last wrapper exception; with `savedAt` (seconds since 1970), as
// if written then (the file's modification time), so that it falls within
// the life of a stored report's process.
void saveLastWrapperException(const std::string &type, uint64_t pid, std::optional<time_t> savedAt = std::nullopt) {
    auto wrapper = std::make_shared<BCWrapperException>();
    wrapper->modelException = std::make_shared<BCException>();
    wrapper->modelException->type = type;
    wrapper->processId = pid;
    BCWrapperExceptionManager::saveWrapperException(wrapper);
    if (!savedAt) return;
    const struct timespec times[2] = {{0, UTIME_OMIT}, {*savedAt, 0}};
    const auto file = BCUtility::beaconDirectoryURL() / "crasheswrapperexceptions/last_saved_wrapper_exception";
    if (::utimensat(AT_FDCWD, file.c_str(), times, 0) != 0) std::perror("utimensat");
}

std::optional<std::string> exceptionTypeOf(const std::shared_ptr<BCAppleErrorLog> &log) {
    return log && log->exception ? log->exception->type : std::nullopt;
}

// Waits until the channel group's queue has run what was handed to it:
// every enqueued log has been saved (or not) and its completion called.
bool channelSettled() {
    auto group = std::dynamic_pointer_cast<BCChannelGroupDefault>(BCCrashes::sharedInstance()->channelGroup());
    return group && channeltest::drain(group->logsDispatchQueue(), 30);
}

// The crash logs enqueued on the "Crashes" unit, with their flags.
std::vector<channeltest::RecordingDelegate::Call> crashLogsEnqueued(channeltest::RecordingDelegate &recorder) {
    std::vector<channeltest::RecordingDelegate::Call> calls;
    for (auto &call : recorder.calls("didPrepareLog")) {
        if (std::dynamic_pointer_cast<BCAppleErrorLog>(call.log)) calls.push_back(call);
    }
    return calls;
}

// The service as the pending reports see it, with a unit that records what
// is enqueued and answers as the test says.
class FakeService : public BCPendingCrashReportsDelegate {
public:
    std::shared_ptr<BBCrashReporter> bbCrashReporter() const override { return engine; }
    bool pendingReportsServiceEnabled() const override { return enabled; }
    bool pendingReportsServiceAvailable() const override { return enabled; }
    bool isAutomaticProcessingEnabled() const override { return true; }
    platform::appkit::UncaughtExceptionHandler exceptionHandler() const override { return nullptr; }
    std::shared_ptr<BCChannelUnitProtocol> crashesChannelUnit() const override { return unit; }
    bool shouldProcessErrorReport(const std::shared_ptr<BCErrorReport> &) override { return true; }
    std::optional<Attachments> attachmentsWithCrashReport(const std::shared_ptr<BCErrorReport> &) override {
        return std::nullopt;
    }
    std::function<bool(const Reports &reports)> confirmationHandler() const override { return handler; }
    void instanceSendErrorAttachments(const std::optional<Attachments> &, const std::string &) override {}
    void clearContextHistoryAndKeepCurrentSession() override {}
    // Formatted as the service formats them.
    std::shared_ptr<BCAppleErrorLog> errorLogFromCrashReport(const BBCrashReport &report) const override {
        return BCCrashes::sharedInstance()->errorLogFromCrashReport(report);
    }
    // Asked at start while the last session's report is handled: stored,
    // the analyzer marker still there.
    std::shared_ptr<BCErrorReport> errorReportFromCrashReport(
        const std::shared_ptr<BBCrashReport> &report) const override {
        if (whileHandling) whileHandling();
        return BCCrashes::sharedInstance()->errorReportFromCrashReport(report);
    }
    std::shared_ptr<BCErrorReport> errorReportFromLog(const BCAppleErrorLog &log) const override {
        return BCCrashes::sharedInstance()->errorReportFromLog(log);
    }

    bool enabled = true;
    std::function<void()> whileHandling;
    std::shared_ptr<BBCrashReporter> engine;
    std::function<bool(const Reports &reports)> handler;
    std::shared_ptr<crashestest::FakeChannelUnit> unit =
        std::make_shared<crashestest::FakeChannelUnit>(BCChannelUnitConfiguration("Crashes", 2, 1, 1, 3));
};

class BCPendingCrashReportsTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (BCBeacon::isDebuggerAttached()) GTEST_SKIP() << "no crash capture under a debugger";
    }
    void inChild(const std::function<int()> &body, int limitSeconds = 30) {
        auto result = testsupport::runInChild(body, limitSeconds);
        EXPECT_TRUE(result.exited && result.exitCode == 0) << result.exitCode << " signal " << result.signal << "\n"
                                                           << result.output;
    }
    // A launch that crashes, leaving the engine's pending report (and, as a
    // wrapper SDK does, a wrapper exception saved for its process).
    void crashOnce(const std::string &wrapperExceptionType = "") {
        auto crashed = testsupport::runInChild(
            [&] {
                channeltest::RecordingDelegate recorder;
                launch(recorder);
                if (!wrapperExceptionType.empty()) saveLastWrapperException(wrapperExceptionType, getpid());
                BCCrashes::generateTestCrash();
                return 3;
            },
            30);
        ASSERT_EQ(crashed.signal, SIGILL) << crashed.output;
    }
    std::filesystem::path crashesDir() const { return home.path() / "sdk" / "crashes"; }
    std::filesystem::path wrapperExceptionsDir() const { return home.path() / "sdk" / "crasheswrapperexceptions"; }
    // The pending reports of a fake service, with the three golden cases of
    // the given names stored and listed, and a wrapper exception file for
    // each of them.
    std::shared_ptr<BCPendingCrashReports> pendingWith(const std::shared_ptr<FakeService> &service,
                                                       const std::vector<std::pair<std::string, std::string>> &files) {
        // The handler is asked on the main thread: this one.
        platform::dispatch::MainRunLoop::adoptCurrentThreadAsMain();
        std::filesystem::create_directories(wrapperExceptionsDir());
        for (const auto &[name, golden] : files) copyCase(golden, crashesDir() / name);
        for (const char *id : {kFullId, kExceptionId, kSymbolsId}) {
            BCWrapperExceptionManager::saveWrapperException(std::make_shared<BCWrapperException>(), id);
        }
        auto pending = std::make_shared<BCPendingCrashReports>(service, "crashes", "crashes/BNCrashes.analyzer",
                                                               platform::dispatch::Semaphore::create(0));
        pending->setCrashFiles(pending->persistedCrashReports());
        return pending;
    }

    channeltest::BeaconHome home;
};

TEST_F(BCPendingCrashReportsTest, StoredFilesAreProcessedInNameOrderAndSentOnTheAnswer) {
    inChild([this] {
        int failures = 0;
        modeltest::LogCapture capture;
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
        for (const char *name : {"700000010.desc", "700000011.data", "700000012.meta"}) {
            std::ofstream(crashesDir() / name) << "x";
        }
        std::filesystem::create_directories(crashesDir() / "700000004");
        // Not ours, never read (a FIFO would block a plain open): a FIFO, a
        // link to a report.
        mkfifo((crashesDir() / "700000006").c_str(), 0600);
        std::filesystem::create_symlink(crashesDir() / "1000000000", crashesDir() / "700000007");
        // Never a report, though listed: an empty file, one larger than the
        // engine writes, and a sparse one of 3 GiB (past what 32 bits hold
        // signed).
        std::ofstream(crashesDir() / "700000003").close();
        std::ofstream(crashesDir() / "1000000002").close();
        std::filesystem::resize_file(crashesDir() / "1000000002", 262145);
        std::ofstream(crashesDir() / "1000000003").close();
        std::filesystem::resize_file(crashesDir() / "1000000003", uintmax_t{3} << 30);
        const std::vector<std::string> notReports = {"700000003", "1000000001", "1000000002", "1000000003"};
        // Temporary files of interrupted writes, never listed: removed with a
        // line once their writer is gone (no such process; or pid 1, which
        // runs, but an hour ago), else left to the write under way.
        const std::string gone = ".BNCrashes.analyzer.999999999.0", reused = ".1000000004.1.2",
                          writing = ".1000000005." + std::to_string(getpid()) + ".3";
        std::ofstream(crashesDir() / gone).close();
        for (const auto &name : {reused, writing}) std::ofstream(crashesDir() / name) << "half";
        const struct timespec hourAgo[2] = {{0, UTIME_OMIT}, {time(nullptr) - 3600, 0}};
        CHILD_EXPECT(::utimensat(AT_FDCWD, (crashesDir() / reused).c_str(), hourAgo, 0) == 0);
        const auto files = pending->persistedCrashReports();
        std::vector<std::string> listed;
        for (const auto &file : files) listed.push_back(file.filename().string());
        CHILD_EXPECT(listed == (std::vector<std::string>{"700000003", "999999999", "1000000000", "1000000001",
                                                         "1000000002", "1000000003"}));
        pending->setCrashFiles(files);

        pending->processCrashReports();
        CHILD_EXPECT(asked == std::vector<size_t>{2});
        auto entries = pending->unprocessedEntries();
        CHILD_EXPECT(entries && entries->size() == 2);
        if (entries && entries->size() == 2) {
            CHILD_EXPECT((*entries)[0].report->incidentIdentifier() == kExceptionId);
            CHILD_EXPECT((*entries)[1].report->incidentIdentifier() == kFullId);
            CHILD_EXPECT((*entries)[0].file.filename() == "999999999");
            for (const auto &entry : *entries) CHILD_EXPECT(entry.log->errorId == entry.report->incidentIdentifier());
        }
        // Nothing goes out before the answer.
        CHILD_EXPECT(crashLogsEnqueued(recorder).empty());

        pending->notifyWithUserConfirmation(BCUserConfirmationSend);
        auto sent = crashLogsEnqueued(recorder);
        CHILD_EXPECT(sent.size() == 2);
        for (const auto &call : sent) CHILD_EXPECT(call.flags == 2);
        // Each file goes once the store has saved its log.
        CHILD_EXPECT(channelSettled());
        CHILD_EXPECT(!std::filesystem::exists(crashesDir() / "999999999"));
        CHILD_EXPECT(!std::filesystem::exists(crashesDir() / "1000000000"));
        // What can never be a report is set aside, kept, and named once at a
        // level shown by default.
        for (const auto &name : notReports) {
            CHILD_EXPECT(!std::filesystem::exists(crashesDir() / name));
            CHILD_EXPECT(std::filesystem::exists(crashesDir() / (std::string(name) + ".corrupt")));
        }
        CHILD_EXPECT(pending->crashFiles().empty());
        const auto lines = capture.lines();
        auto namedIn = [](const std::vector<std::pair<BCLogLevel, std::string>> &lines, const std::string &name) {
            return std::count_if(lines.begin(), lines.end(), [&](const auto &line) {
                return line.first >= BCLogLevelWarning && line.second.find(name) != std::string::npos;
            });
        };
        for (const auto &name : notReports) {
            CHILD_EXPECT(std::any_of(lines.begin(), lines.end(), [&](const auto &line) {
                return line.first == BCLogLevelWarning &&
                       line.second.rfind("The stored crash report " + std::string(name) + " couldn't be parsed (", 0) ==
                           0 &&
                       line.second.ends_with("); it is set aside as " + std::string(name) + ".corrupt.");
            }));
            CHILD_EXPECT(namedIn(lines, name) == 1);
        }
        // The next listing and processing leave them alone, unmentioned.
        capture.clear();
        pending->setCrashFiles(pending->persistedCrashReports());
        CHILD_EXPECT(pending->crashFiles().empty());
        pending->processCrashReports();
        for (const auto &name : notReports) CHILD_EXPECT(namedIn(capture.lines(), name) == 0);
        for (const auto &name : {gone, reused}) {
            CHILD_EXPECT(!std::filesystem::exists(crashesDir() / name));
            CHILD_EXPECT(std::count(lines.begin(), lines.end(),
                                    std::make_pair(BCLogLevelWarning, "Removed crashes/" + name +
                                                                          ", left by an interrupted write.")) == 1);
        }
        CHILD_EXPECT(std::filesystem::file_size(crashesDir() / writing) == 4);
        CHILD_EXPECT(namedIn(lines, writing) == 0 && namedIn(capture.lines(), writing) == 0);
        // What is not a regular file is named, once a listing, at a level
        // shown by default.
        for (const char *name : {"700000004", "700000006", "700000007"}) {
            CHILD_EXPECT(std::count(lines.begin(), lines.end(),
                                    std::make_pair(BCLogLevelWarning, std::string(name) +
                                                                          " among the stored crashes is not a regular "
                                                                          "file; it is skipped.")) == 1);
        }
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
            return report->incidentIdentifier() != kSymbolsId;
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
        CHILD_EXPECT(pending->unprocessedEntries()->size() == 1 &&
                     pending->unprocessedEntries()->at(0).file.filename() == "700000001");

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
        // The session and user of the crash in 2100 are the ones current
        // now; the crash of 2023 had none.
        BCSessionContext::sharedInstance()->setSessionId("session-of-the-crash");
        BCUserIdContext::sharedInstance()->setUserId("user-of-the-crash");
        copyCase("full_x86_64", crashesDir() / "700000001");
        copyCase("timestamp_2100", crashesDir() / "700000002");
        pending->setCrashFiles(pending->persistedCrashReports());
        pending->processCrashReports();
        CHILD_EXPECT(asked == 0);
        const auto sent = crashLogsEnqueued(recorder);
        CHILD_EXPECT(sent.size() == 2);
        for (const auto &call : sent) {
            const bool future = call.log->timestamp() && *call.log->timestamp() > platform::Date::now();
            CHILD_EXPECT(call.log->sid() ==
                         (future ? std::optional<std::string>("session-of-the-crash") : std::nullopt));
            CHILD_EXPECT(call.log->userId() ==
                         (future ? std::optional<std::string>("user-of-the-crash") : std::nullopt));
        }
        CHILD_EXPECT(channelSettled());
        CHILD_EXPECT(!std::filesystem::exists(crashesDir() / "700000001"));

        // With automatic processing off, the stored flag waits for the
        // wrapper SDK, whose call then sends without asking and answers YES.
        BCCrashes::sharedInstance()->setAutomaticProcessingEnabled(false);
        copyCase("uncaught_exception", crashesDir() / "700000003");
        pending->setCrashFiles(pending->persistedCrashReports());
        pending->processCrashReports();
        CHILD_EXPECT(crashLogsEnqueued(recorder).size() == 2);
        CHILD_EXPECT(pending->unprocessedReports() && pending->unprocessedReports()->size() == 1);
        CHILD_EXPECT(pending->sendCrashReportsOrAwaitUserConfirmationForFilteredIds({kExceptionId}));
        CHILD_EXPECT(asked == 0);
        CHILD_EXPECT(crashLogsEnqueued(recorder).size() == 3);
        CHILD_EXPECT(channelSettled());
        CHILD_EXPECT(pending->persistedCrashReports().empty());
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
        // One with a second name elsewhere: ours becomes a private copy at
        // start (and is listed); the other name keeps its file, never made
        // private.
        const auto theirs = home.path() / "theirs";
        std::ofstream(theirs) << "theirs";
        std::filesystem::permissions(theirs, std::filesystem::perms(0644));
        std::filesystem::create_hard_link(theirs, crashesDir() / "600000000");
        // One already set aside (by an earlier launch, say) and linked since:
        // never set aside again, nor changed, and unmentioned.
        const auto alsoTheirs = home.path() / "also-theirs";
        std::ofstream(alsoTheirs) << "also theirs";
        std::filesystem::permissions(alsoTheirs, std::filesystem::perms(0644));
        std::filesystem::create_hard_link(alsoTheirs, crashesDir() / "600000001.corrupt");
        // The start stores the pending report beside them, private whatever
        // the umask.
        umask(022);
        modeltest::LogCapture capture;
        auto pending = launch(recorder);
        CHILD_EXPECT(std::filesystem::status(theirs).permissions() == std::filesystem::perms(0644));
        CHILD_EXPECT(std::filesystem::hard_link_count(theirs) == 1 && std::filesystem::file_size(theirs) == 6);
        CHILD_EXPECT(std::filesystem::status(crashesDir() / "600000000").permissions() == std::filesystem::perms(0600));
        CHILD_EXPECT(std::filesystem::file_size(crashesDir() / "600000000") == 6);
        CHILD_EXPECT(std::filesystem::status(alsoTheirs).permissions() == std::filesystem::perms(0644));
        CHILD_EXPECT(std::filesystem::equivalent(crashesDir() / "600000001.corrupt", alsoTheirs));
        for (const auto &[level, text] : capture.lines()) CHILD_EXPECT(text.find("600000001") == std::string::npos);
        CHILD_EXPECT(BCCrashes::hasCrashedInLastSession());
        auto engine = BCCrashes::sharedInstance()->bbCrashReporter();
        for (const auto &name : taken) {
            std::ifstream in(crashesDir() / name);
            std::string text;
            std::getline(in, text);
            CHILD_EXPECT(text == "older crash");
        }
        CHILD_EXPECT(pending->persistedCrashReports().size() == 5);
        for (const auto &file : pending->persistedCrashReports()) {
            struct stat st {};
            const bool stored = std::find(taken.begin(), taken.end(), file.filename().string()) == taken.end();
            CHILD_EXPECT(!stored || (::stat(file.c_str(), &st) == 0 && (st.st_mode & 0777) == 0600));
        }
        CHILD_EXPECT(pending->crashFiles().size() == 5);
        CHILD_EXPECT(BCCrashes::lastSessionCrashReport() && BCCrashes::lastSessionCrashReport()->signal() == "SIGILL");
        CHILD_EXPECT(engine && !engine->hasPendingCrashReport());
        CHILD_EXPECT(!std::filesystem::exists(crashesDir() / "BNCrashes.analyzer"));
        return failures;
    });
}

TEST_F(BCPendingCrashReportsTest, TheSavedWrapperExceptionIsTiedToItsReportBeforeTheLogIsBuilt) {
    ASSERT_NO_FATAL_FAILURE(crashOnce("saved by the crashed process"));

    inChild([this] {
        int failures = 0;
        platform::dispatch::MainRunLoop::adoptCurrentThreadAsMain();
        platform::Bundle::resetMainBundle();
        auto service = std::make_shared<FakeService>();
        service->engine = std::make_shared<BBCrashReporter>();
        service->handler = [](const auto &) { return true; };
        auto pending = std::make_shared<BCPendingCrashReports>(service, "crashes", "crashes/BNCrashes.analyzer",
                                                               platform::dispatch::Semaphore::create(0));
        const auto lastSaved = wrapperExceptionsDir() / "last_saved_wrapper_exception";
        CHILD_EXPECT(std::filesystem::exists(lastSaved));
        // At start, the report the engine kept takes the exception its
        // process saved, before any processing.
        pending->handleLatestCrashReport();
        const auto latest = pending->getLastSessionCrashReport();
        const auto latestId = latest ? latest->incidentIdentifier() : std::nullopt;
        CHILD_EXPECT(latestId.has_value());
        CHILD_EXPECT(!std::filesystem::exists(lastSaved));
        CHILD_EXPECT(latestId && std::filesystem::exists(wrapperExceptionsDir() / *latestId));

        // Stored files the start did not see: one of an earlier launch whose
        // process (id 77, started in 2023 a second before it crashed) saved
        // the exception now waiting, and one without a UUID of its own.
        copyCase("uncaught_exception", crashesDir() / "700000000");
        copyCase("no_process_no_crashed_thread", crashesDir() / "700000001");
        saveLastWrapperException("saved by process 77", 77, 1700000000);
        pending->setCrashFiles(pending->persistedCrashReports());
        pending->processCrashReports();
        const auto entries = pending->unprocessedEntries().value_or(std::vector<BCPendingCrashReports::Entry>{});
        CHILD_EXPECT(entries.size() == 3);
        for (const auto &entry : entries) {
            const auto id = entry.report->incidentIdentifier();
            // The log and the report are one crash, with one id: for a report
            // without a UUID, the id given to its report.
            CHILD_EXPECT(id && entry.log->errorId == id);
            const std::string name = entry.file.filename().string();
            if (name == "700000000") {
                CHILD_EXPECT(exceptionTypeOf(entry.log) == "saved by process 77");
            } else if (name == "700000001") {
                CHILD_EXPECT(id && platform::UUID::fromString(*id).has_value());
                CHILD_EXPECT(!exceptionTypeOf(entry.log));
            } else {
                CHILD_EXPECT(id == latestId);
                CHILD_EXPECT(exceptionTypeOf(entry.log) == "saved by the crashed process");
            }
        }
        CHILD_EXPECT(!std::filesystem::exists(lastSaved));
        return failures;
    });
}

TEST_F(BCPendingCrashReportsTest, AFailedStoreKeepsThePendingReportAndAMarkerPurgesItUnread) {
    ASSERT_NO_FATAL_FAILURE(crashOnce("saved by the crashed process"));

    inChild([this] {
        int failures = 0;
        channeltest::RecordingDelegate recorder;
        // The crashes folder cannot hold files: a regular file in its place
        // when the start tries to store the pending report, and every name
        // it could be set aside under taken.
        std::filesystem::remove_all(crashesDir());
        std::ofstream(crashesDir()) << "in the way";
        for (const char *suffix : {"", "1", "2", "3", "4", "5", "6", "7", "8", "9"}) {
            std::ofstream(crashesDir().string() + ".notours" + suffix).close();
        }
        auto pending = launch(recorder);
        auto engine = BCCrashes::sharedInstance()->bbCrashReporter();
        CHILD_EXPECT(BCCrashes::hasCrashedInLastSession());
        CHILD_EXPECT(engine && engine->hasPendingCrashReport());
        CHILD_EXPECT(!BCCrashes::lastSessionCrashReport());
        // So is the wrapper exception its process saved, for the launch
        // that stores the report.
        CHILD_EXPECT(std::filesystem::exists(wrapperExceptionsDir() / "last_saved_wrapper_exception"));

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

// Where a crashed child's threads meet: a pipe each way, as the crash
// handler may only write and poll.
int crashWritten[2] = {-1, -1};
int launchHandled[2] = {-1, -1};

bool awaitByte(int fd) {
    pollfd p{fd, POLLIN, 0};
    int n;
    do {
        n = ::poll(&p, 1, 20000);
    } while (n < 0 && errno == EINTR);
    return n == 1;
}

// Called once the report is written and the other threads run again: the
// process dies only once the launching thread has handled the pending
// report, or after the bound.
void dieOnceTheLaunchHandledItsReport(siginfo_t *, ucontext_t *, void *) {
    [[maybe_unused]] ssize_t n = ::write(crashWritten[1], "w", 1);
    awaitByte(launchHandled[0]);
}

// A crash of another thread at any moment of a launch reaches the next one.
// The launch runs as the service's start does (the engine of this home
// enabled, then the pending report handled) while another thread crashes:
// once with its report written and the process held alive until the
// launching thread has passed the pending-report check, and once while the
// launching thread handles the last session's report, the analyzer marker
// written.
TEST_F(BCPendingCrashReportsTest, ACrashOnAnotherThreadDuringTheLaunchReachesTheNextLaunch) {
    ASSERT_NO_FATAL_FAILURE(crashOnce());
    auto launchAndCrash = [](bool atTheCheck) {
        return testsupport::runInChild(
            [atTheCheck] {
                platform::dispatch::MainRunLoop::adoptCurrentThreadAsMain();
                platform::Bundle::resetMainBundle();
                if (::pipe(crashWritten) != 0 || ::pipe(launchHandled) != 0) return 3;
                auto service = std::make_shared<FakeService>();
                service->engine = std::make_shared<BBCrashReporter>();
                static const BBCrashReporterCallbacks callbacks{0, nullptr, dieOnceTheLaunchHandledItsReport};
                if (atTheCheck) service->engine->setCrashCallbacks(&callbacks);
                if (!service->engine->enableCrashReporter()) return 4;
                std::promise<void> go;
                std::thread crasher([atTheCheck, released = go.get_future()] {
                    released.wait();
                    if (atTheCheck) abort();
                    static volatile int *volatile nowhere = nullptr;
                    *nowhere = 1;
                });
                auto pending = std::make_shared<BCPendingCrashReports>(service, "crashes", "crashes/BNCrashes.analyzer",
                                                                       platform::dispatch::Semaphore::create(0));
                // Whatever goes wrong, the process ends without the crasher.
                auto fail = [&](int code) {
                    crasher.detach();
                    return code;
                };
                if (atTheCheck) {
                    go.set_value();
                    if (!awaitByte(crashWritten[0])) return fail(5);
                } else {
                    service->whileHandling = [&] {
                        go.set_value();
                        crasher.join();
                    };
                }
                if (!service->engine->hasPendingCrashReport()) return fail(6);
                pending->handleLatestCrashReport();
                [[maybe_unused]] ssize_t n = ::write(launchHandled[1], "h", 1);
                if (!atTheCheck) return fail(7);
                crasher.join();
                return 8;
            },
            30);
    };
    auto storedFiles = [this] {
        std::set<std::string> names;
        for (const auto &entry : std::filesystem::directory_iterator(crashesDir()))
            names.insert(entry.path().filename().string());
        return names;
    };
    // The engine's files, found by name: an engine made here would start
    // threads that the next fork races with.
    auto engineHas = [this](const std::string &name) {
        for (const auto &entry : std::filesystem::recursive_directory_iterator(home.path()))
            if (entry.path().filename() == name && entry.is_regular_file()) return true;
        return false;
    };

    // The launching thread handled the last session's report (stored, and
    // the claimed file purged) and left the crash's own report alone.
    auto crashed = launchAndCrash(true);
    ASSERT_EQ(crashed.signal, SIGABRT) << crashed.exitCode << "\n" << crashed.output;
    EXPECT_TRUE(engineHas("live_report.bbcrash"));
    EXPECT_FALSE(engineHas("previous_report.bbcrash"));
    EXPECT_EQ(storedFiles().size(), 1u);

    // A marker left by a launch that died of another thread's crash names
    // the report it guarded, not that crash's.
    crashed = launchAndCrash(false);
    ASSERT_EQ(crashed.signal, SIGSEGV) << crashed.exitCode << "\n" << crashed.output;
    EXPECT_TRUE(storedFiles().contains("BNCrashes.analyzer"));

    inChild([this] {
        int failures = 0;
        modeltest::LogCapture capture;
        channeltest::RecordingDelegate recorder;
        BCCrashes::sharedInstance()->setAutomaticProcessingEnabled(false);
        auto pending = launch(recorder);
        const auto last = BCCrashes::lastSessionCrashReport();
        CHILD_EXPECT(last && last->signal() == "SIGSEGV");
        CHILD_EXPECT(!capture.contains(BCLogLevelError, "Error on loading the crash report, it will be purged."));
        std::multiset<std::string> signals;
        for (const auto &report : pending->unprocessedCrashReports().value_or(BCPendingCrashReports::Reports{}))
            signals.insert(report->signal().value_or("-"));
        CHILD_EXPECT((signals == std::multiset<std::string>{"SIGABRT", "SIGILL", "SIGSEGV"}));
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
        auto log = pending->unprocessedEntries()->at(0).log;
        auto error = std::make_shared<platform::Error>("io.Beacon.SDK.ErrorDomain", 42, platform::Dictionary{});
        auto crashes = BCCrashes::sharedInstance();
        auto unit = crashes->channelUnit();
        std::thread channelQueue([&] {
            crashes->channelWillSendLog(unit, log);
            crashes->channelDidSucceedSendingLog(unit, log);  // the delegate doesn't respond
            crashes->channelDidFailSendingLog(unit, std::make_shared<BCHandledErrorLog>(), error);
            crashes->channelDidFailSendingLog(unit, log, error);
        });
        channelQueue.join();
        platform::dispatch::MainRunLoop::runUntil([&] { return calls.size() >= 2; }, 10);
        CHILD_EXPECT((calls == std::vector<std::string>{std::string("will ") + kExceptionId,
                                                        std::string("fail ") + kExceptionId}));
        return failures;
    });
}

TEST_F(BCPendingCrashReportsTest, AFileGoesOnlyOnceTheStoreHasItsLog) {
    inChild([this] {
        int failures = 0;
        modeltest::LogCapture capture;
        auto service = std::make_shared<FakeService>();
        // The handler answers NO: it will not ask the user, so the logs go
        // out at once.
        size_t asked = 0;
        service->handler = [&](const auto &) {
            ++asked;
            return false;
        };
        service->unit->holdCompletions();
        // What an earlier launch set aside under the name is never replaced.
        std::filesystem::create_directories(crashesDir());
        std::ofstream(crashesDir() / "700000002.unstorable") << "an earlier one";
        auto pending = pendingWith(
            service, {{"700000000", "uncaught_exception"}, {"700000001", "full_x86_64"}, {"700000002", "symbols_os0"}});
        pending->processCrashReports();
        CHILD_EXPECT(asked == 1);
        CHILD_EXPECT(service->unit->items().size() == 3);
        // Nothing is deleted before the store answers.
        for (const char *name : {"700000000", "700000001", "700000002"}) {
            CHILD_EXPECT(std::filesystem::exists(crashesDir() / name));
        }
        CHILD_EXPECT(std::filesystem::exists(wrapperExceptionsDir() / kExceptionId));

        service->unit->answer({BCEnqueueResult::Saved, BCEnqueueResult::Failed, BCEnqueueResult::Unstorable});
        // Saved: the file and its wrapper exception are gone.
        CHILD_EXPECT(!std::filesystem::exists(crashesDir() / "700000000"));
        CHILD_EXPECT(!std::filesystem::exists(wrapperExceptionsDir() / kExceptionId));
        // Not saved now: kept, for a later launch, with an error naming it.
        CHILD_EXPECT(std::filesystem::exists(crashesDir() / "700000001"));
        CHILD_EXPECT(std::filesystem::exists(wrapperExceptionsDir() / kFullId));
        CHILD_EXPECT(capture.contains(BCLogLevelError,
                                      "The crash report 700000001 couldn't be stored for sending; "
                                      "it is kept for a later launch."));
        // Never storable: set aside, out of the pending set.
        CHILD_EXPECT(!std::filesystem::exists(crashesDir() / "700000002"));
        CHILD_EXPECT(std::filesystem::exists(crashesDir() / "700000002.unstorable1") &&
                     std::filesystem::file_size(crashesDir() / "700000002.unstorable1") ==
                         std::filesystem::file_size(kGolden + "/cases/symbols_os0.bbcrash"));
        std::string earlier;
        std::getline(std::ifstream(crashesDir() / "700000002.unstorable"), earlier);
        CHILD_EXPECT(earlier == "an earlier one");
        CHILD_EXPECT(!std::filesystem::exists(wrapperExceptionsDir() / kSymbolsId));
        CHILD_EXPECT(capture.contains(BCLogLevelError,
                                      "The crash report 700000002 can never be stored; it is set "
                                      "aside as 700000002.unstorable1."));
        const auto listed = pending->persistedCrashReports();
        CHILD_EXPECT(listed.size() == 1 && listed[0].filename() == "700000001");
        CHILD_EXPECT(pending->crashFiles().size() == 1);

        // A refusal keeps the file as a failure does.
        auto again = pendingWith(service, {});
        service->handler = nullptr;
        again->processCrashReports();
        service->unit->answer({BCEnqueueResult::Refused});
        CHILD_EXPECT(std::filesystem::exists(crashesDir() / "700000001"));
        return failures;
    });
}

TEST_F(BCPendingCrashReportsTest, DiscardingDeletesTheWrapperExceptionsAndADisabledServiceEverything) {
    inChild([this] {
        int failures = 0;
        auto service = std::make_shared<FakeService>();
        bool answered = false;
        service->handler = [&](const auto &) { return answered = true; };
        auto pending = pendingWith(service, {{"700000000", "uncaught_exception"}, {"700000001", "full_x86_64"}});
        pending->processCrashReports();
        CHILD_EXPECT(answered && service->unit->items().empty());
        pending->handleUserConfirmation(BCUserConfirmationDontSend);
        CHILD_EXPECT(service->unit->items().empty());
        CHILD_EXPECT(!std::filesystem::exists(crashesDir() / "700000000"));
        CHILD_EXPECT(!std::filesystem::exists(wrapperExceptionsDir() / kExceptionId));
        CHILD_EXPECT(!std::filesystem::exists(wrapperExceptionsDir() / kFullId));
        // The third id had no report: its file stays.
        CHILD_EXPECT(std::filesystem::exists(wrapperExceptionsDir() / kSymbolsId));

        // Disabled by the time the delayed processing runs: every stored
        // file and wrapper exception goes, nothing is sent.
        service->enabled = false;
        auto disabled = pendingWith(service, {{"700000003", "full_x86_64"}});
        disabled->processCrashReports();
        CHILD_EXPECT(!std::filesystem::exists(crashesDir() / "700000003"));
        CHILD_EXPECT(!std::filesystem::exists(wrapperExceptionsDir() / kSymbolsId));
        CHILD_EXPECT(disabled->crashFiles().empty());
        CHILD_EXPECT(service->unit->items().empty());
        return failures;
    });
}

TEST_F(BCPendingCrashReportsTest, AStoreLockedByAnotherConnectionKeepsTheCrashAndTheBufferedLogs) {
    inChild(
        [this] {
            int failures = 0;
            modeltest::LogCapture capture;
            channeltest::RecordingDelegate recorder;
            auto pending = launch(recorder);
            CHILD_EXPECT(channelSettled());
            copyCase("uncaught_exception", crashesDir() / "700000000");
            pending->setCrashFiles(pending->persistedCrashReports());
            // A log the last crash left in the buffer.
            const auto bufferFile = home.path() / "sdk/crasheslogbuffer/5.bccrasheslogbuffer";
            const auto archive = BCUtility::archiveKeyedData(platform::Value(std::static_pointer_cast<platform::Object>(
                std::static_pointer_cast<BCAbstractLog>(channeltest::validLog("buffered")))));
            CHILD_EXPECT(archive.has_value());
            if (archive)
                std::ofstream(bufferFile, std::ios::binary)
                    .write(reinterpret_cast<const char *>(archive->data()), archive->size());

            // Another process's connection holds the write lock beyond the
            // store's busy timeout while the answer is given and the buffer read.
            sqlite3 *other = nullptr;
            CHILD_EXPECT(sqlite3_open(home.databasePath().c_str(), &other) == SQLITE_OK);
            CHILD_EXPECT(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) == SQLITE_OK);
            pending->processCrashReports();
            BCEncrypter encrypter;
            BCCrashesLogBuffer::processLogBufferAfterCrash(*BCCrashes::sharedInstance()->channelGroup(), encrypter);
            CHILD_EXPECT(channelSettled());
            sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
            sqlite3_close(other);

            CHILD_EXPECT(crashLogsEnqueued(recorder).size() == 1);
            CHILD_EXPECT(std::filesystem::exists(crashesDir() / "700000000"));
            CHILD_EXPECT(capture.contains(BCLogLevelError,
                                          "The crash report 700000000 couldn't be stored for sending; "
                                          "it is kept for a later launch."));
            CHILD_EXPECT(std::filesystem::file_size(bufferFile) > 0);
            CHILD_EXPECT(capture.contains(BCLogLevelError,
                                          "The buffered log 5.bccrasheslogbuffer couldn't be stored; it "
                                          "is kept for a later launch."));
            CHILD_EXPECT(home.sqlite("SELECT COUNT(*) FROM logs WHERE groupId IN ('Crashes', 'CrashesBuffer')") ==
                         "0\n");
            return failures;
        },
        120);  // every access to the locked store waits out its busy timeout
}

}  // namespace
