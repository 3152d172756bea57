// The facade's configuration, paths, pending-report files and live reports.
// Enabling is once per process, so it is tested in forked children.
#include "BBCrashHostInfo.h"
#include "BBCrashReport.h"
#include "BBCrashReporter.h"
#include "bbcrash_crash_handler.h"
#include "platform/syslog/SystemLog.h"
#include "thread_test_child.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/stat.h>

using threadtest::runInChild;

namespace {

TEST(BBCrashReporterConfigTests, DefaultsAndStrategyMapping) {
    BBCrashReporterConfig config;
    EXPECT_EQ(config.signalHandlerType(), BBCrashReporterSignalHandlerTypeBSD);
    EXPECT_EQ(config.symbolicationStrategy(), BBCrashReporterSymbolicationStrategyNone);
    EXPECT_TRUE(config.shouldRegisterUncaughtExceptionHandler());
    EXPECT_EQ(BBCrashReporterConfig(1, 3).signalHandlerType(), 1u);
    EXPECT_TRUE(BBCrashReporterConfig(1, 3).shouldRegisterUncaughtExceptionHandler());
    EXPECT_EQ(BBCrashReporter::mapToAsyncSymbolicationStrategy(0), 0u);
    EXPECT_EQ(BBCrashReporter::mapToAsyncSymbolicationStrategy(7), 3u);
    EXPECT_EQ(BBCrashReporter::mapToAsyncSymbolicationStrategy(4), 0u);
}

TEST(BBCrashReporterConfigTests, MachModeAddsGuardExceptionsFromDarwin13On) {
    EXPECT_EQ(bbcrash_mach_exception_mask(nullptr), 110u);
    auto darwin12 = BBCrashHostInfo::makeWithRelease("12.6.0")->darwinVersion();
    auto darwin13 = BBCrashHostInfo::makeWithRelease("13.0.0")->darwinVersion();
    EXPECT_EQ(bbcrash_mach_exception_mask(&darwin12), 110u);
    EXPECT_EQ(bbcrash_mach_exception_mask(&darwin13), 4206u);
}

TEST(BBCrashReporterTests, PathsLiveUnderTheCachesWithSlashesReplacedInPrivateFolders) {
    testsupport::TemporaryHome home;
    BBCrashReporter reporter("io.plotwick/app/x", "1", std::nullopt, nullptr);
    const char *cache = getenv("XDG_CACHE_HOME");
    ASSERT_NE(cache, nullptr);
    EXPECT_EQ(reporter.crashReportDirectory(),
              std::filesystem::path(cache) / "io.bbcrash.crashreporter.data" / "io.plotwick_app_x");
    EXPECT_EQ(reporter.crashReportPath(), reporter.crashReportDirectory() / "live_report.bbcrash");
    EXPECT_EQ(reporter.queuedCrashReportDirectory(), reporter.crashReportDirectory() / "queued_reports");

    // Private whatever the umask: folders made 0700; what an earlier run
    // left is tightened, never widened.
    const mode_t savedUmask = umask(022);
    auto modeOf = [](const std::filesystem::path &path) {
        struct stat st {};
        return stat(path.c_str(), &st) == 0 ? st.st_mode & 0777 : 01000u;
    };
    const auto data = reporter.crashReportDirectory().parent_path();
    ASSERT_TRUE(reporter.populateCrashReportDirectory());
    EXPECT_EQ(modeOf(reporter.queuedCrashReportDirectory()), 0700u);
    EXPECT_EQ(modeOf(reporter.crashReportDirectory()), 0700u);
    EXPECT_EQ(modeOf(data), 0700u);

    std::filesystem::create_directories(data / "io.plotwick.other");
    chmod((data / "io.plotwick.other").c_str(), 0755);
    chmod(reporter.queuedCrashReportDirectory().c_str(), 0500);
    std::ofstream(reporter.crashReportPath()) << "x";
    chmod(reporter.crashReportPath().c_str(), 0644);
    std::ofstream(data / "io.plotwick.other" / "live_report.bbcrash") << "x";
    chmod((data / "io.plotwick.other" / "live_report.bbcrash").c_str(), 0666);
    std::ofstream(data / "read-only") << "x";
    chmod((data / "read-only").c_str(), 0444);
    // Links inside to a file elsewhere: neither they nor what they point to
    // are changed.
    testsupport::TemporaryDirectory elsewhere("bbcrash-elsewhere");
    std::ofstream(elsewhere.path() / "notes") << "theirs";
    chmod((elsewhere.path() / "notes").c_str(), 0644);
    std::filesystem::create_symlink(elsewhere.path() / "notes", data / "linked");
    std::filesystem::create_symlink(elsewhere.path() / "notes", reporter.crashReportDirectory() / "linked");
    ASSERT_TRUE(reporter.populateCrashReportDirectory());
    EXPECT_EQ(modeOf(elsewhere.path() / "notes"), 0644u);
    EXPECT_TRUE(std::filesystem::is_symlink(data / "linked"));
    EXPECT_TRUE(std::filesystem::is_symlink(reporter.crashReportDirectory() / "linked"));
    EXPECT_EQ(modeOf(data / "io.plotwick.other"), 0700u);
    EXPECT_EQ(modeOf(reporter.queuedCrashReportDirectory()), 0500u);
    EXPECT_EQ(modeOf(reporter.crashReportPath()), 0600u);
    EXPECT_EQ(modeOf(data / "io.plotwick.other" / "live_report.bbcrash"), 0600u);
    EXPECT_EQ(modeOf(data / "read-only"), 0400u);
    chmod(reporter.queuedCrashReportDirectory().c_str(), 0700);

    // A link in place of the queue folder is not ours: set aside (the link
    // itself) with a line and a private folder made; nothing behind it is
    // changed or made. A link above the application's folder is followed.
    testsupport::TemporaryDirectory other("bbcrash-other");
    std::ofstream(other.path() / "report") << "theirs";
    chmod((other.path() / "report").c_str(), 0644);
    chmod(other.path().c_str(), 0755);
    std::filesystem::remove_all(reporter.queuedCrashReportDirectory());
    std::filesystem::create_directory_symlink(other.path(), reporter.queuedCrashReportDirectory());
    std::vector<std::string> lines;
    platform::SystemLog::setSink([&](const std::string &line) { lines.push_back(line); });
    const bool populated = reporter.populateCrashReportDirectory();
    platform::SystemLog::setSink(nullptr);
    ASSERT_TRUE(populated);
    EXPECT_FALSE(std::filesystem::is_symlink(reporter.queuedCrashReportDirectory()));
    EXPECT_EQ(modeOf(reporter.queuedCrashReportDirectory()), 0700u);
    const auto aside = reporter.crashReportDirectory() / "queued_reports.notours";
    EXPECT_EQ(std::filesystem::read_symlink(aside), other.path());
    EXPECT_EQ(lines, (std::vector<std::string>{"[BBCrashReporter] " + reporter.queuedCrashReportDirectory().string() +
                                               " is not a folder of ours (a link or another file); set aside as "
                                               "queued_reports.notours and a private folder made in its place"}));
    EXPECT_EQ(modeOf(other.path() / "report"), 0644u);
    EXPECT_EQ(modeOf(other.path()), 0755u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(other.path()), std::filesystem::directory_iterator()),
              1);

    // What an earlier start set aside is somebody else's and stays as it
    // is, without a line: a report set aside for its other hard link (a
    // file with exactly two names) is not set aside again, and a folder set
    // aside is not tightened.
    const auto shared = elsewhere.path() / "shared";
    std::ofstream(shared) << "theirs";
    chmod(shared.c_str(), 0644);
    const auto asideReport = reporter.crashReportDirectory() / "live_report.bbcrash.notours";
    ASSERT_EQ(link(shared.c_str(), asideReport.c_str()), 0);
    const auto asideFolder = reporter.crashReportDirectory() / "queued_reports.notours1";
    std::filesystem::create_directory(asideFolder);
    chmod(asideFolder.c_str(), 0755);
    // A copy that an interrupted start left (its process no longer runs) is
    // removed, with a line; one this process is writing is left alone.
    const auto interrupted = reporter.crashReportDirectory() / ".previous_report.bbcrash.999999999.0";
    const auto beingWritten =
        reporter.crashReportDirectory() / (".previous_report.bbcrash." + std::to_string(getpid()) + ".0");
    std::ofstream(interrupted) << "half";
    std::ofstream(beingWritten) << "half";
    lines.clear();
    platform::SystemLog::setSink([&](const std::string &line) { lines.push_back(line); });
    const bool repopulated = reporter.populateCrashReportDirectory();
    platform::SystemLog::setSink(nullptr);
    ASSERT_TRUE(repopulated);
    EXPECT_EQ(lines, (std::vector<std::string>{"[BBCrashReporter] Removed 1 temporary file(s) below " +
                                               reporter.crashReportDirectory().parent_path().string() +
                                               " left by interrupted writes (" + interrupted.string() + ")"}));
    EXPECT_FALSE(std::filesystem::exists(interrupted));
    EXPECT_TRUE(std::filesystem::exists(beingWritten));
    std::filesystem::remove(beingWritten);
    EXPECT_EQ(std::filesystem::hard_link_count(asideReport), 2u);
    EXPECT_FALSE(std::filesystem::exists(asideReport.string() + ".notours"));
    EXPECT_EQ(modeOf(shared), 0644u);
    EXPECT_EQ(modeOf(asideFolder), 0755u);

    const auto moved = data.parent_path() / "moved-data";
    std::filesystem::rename(data, moved);
    std::filesystem::create_directory_symlink(moved, data);
    std::filesystem::remove_all(moved / reporter.crashReportDirectory().filename());
    ASSERT_TRUE(reporter.populateCrashReportDirectory());
    EXPECT_TRUE(std::filesystem::is_directory(moved / reporter.crashReportDirectory().filename() / "queued_reports"));
    EXPECT_EQ(modeOf(moved / reporter.crashReportDirectory().filename()), 0700u);
    umask(savedUmask);
}

TEST(BBCrashReporterTests, ABundleWithoutIdentifierOrVersionFallsBackAndSaysSo) {
    testsupport::TemporaryHome home;
    testsupport::TemporaryDirectory empty("bbcrash-bundle");
    std::vector<std::string> lines;
    platform::SystemLog::setSink([&](const std::string &line) { lines.push_back(line); });
    BBCrashReporter reporter(std::make_shared<platform::Bundle>(empty.path()), nullptr);
    platform::SystemLog::setSink(nullptr);
    const std::string name = program_invocation_short_name;
    EXPECT_EQ(reporter.crashReportDirectory().filename(), name);
    EXPECT_EQ(lines,
              (std::vector<std::string>{"[BBCrashReporter] Warning -- bundle identifier, using process name " + name,
                                        "[BBCrashReporter] Warning -- bundle version unavailable"}));

    // A nil marketing version is allowed and written empty.
    testsupport::TemporaryDirectory tmp("bbcrash-live");
    const char *savedTmp = getenv("TMPDIR");
    const std::string saved = savedTmp != nullptr ? savedTmp : "";
    setenv("TMPDIR", tmp.path().c_str(), 1);
    auto data = reporter.generateLiveReport();
    if (savedTmp != nullptr)
        setenv("TMPDIR", saved.c_str(), 1);
    else
        unsetenv("TMPDIR");
    ASSERT_TRUE(data.has_value());
    auto report = BBCrashReport::make(*data);
    ASSERT_NE(report, nullptr);
    EXPECT_EQ(report->applicationInfo()->applicationIdentifier(), name);
    EXPECT_EQ(report->applicationInfo()->applicationVersion(), "");
    EXPECT_EQ(report->applicationInfo()->applicationMarketingVersion(), "");
}

TEST(BBCrashReporterTests, PendingReportFilesPassTheFileSystemsErrorsThrough) {
    testsupport::TemporaryHome home;
    BBCrashReporter reporter("io.plotwick.app", "1", "1.0", nullptr);
    ASSERT_TRUE(reporter.populateCrashReportDirectory());
    EXPECT_FALSE(reporter.hasPendingCrashReport());
    platform::ErrorPtr error;
    EXPECT_FALSE(reporter.loadPendingCrashReportData(&error).has_value());
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain(), platform::kPOSIXErrorDomain);
    EXPECT_EQ(error->code(), ENOENT);
    error.reset();
    EXPECT_FALSE(reporter.purgePendingCrashReport(&error));
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), ENOENT);

    // Never enabled here: a report an earlier launch claimed is pending, and
    // one at the live name, newer, goes first.
    std::ofstream(reporter.previousCrashReportPath()) << "claimed bbcrash";
    EXPECT_TRUE(reporter.hasPendingCrashReport());
    EXPECT_EQ(reporter.loadPendingCrashReportData()->size(), 15u);
    std::ofstream(reporter.crashReportPath()) << "bbcrash";
    EXPECT_TRUE(reporter.hasPendingCrashReport());
    EXPECT_EQ(reporter.loadPendingCrashReportData()->size(), 7u);
    EXPECT_TRUE(reporter.purgePendingCrashReport());
    EXPECT_FALSE(std::filesystem::exists(reporter.crashReportPath()));
    EXPECT_EQ(reporter.loadPendingCrashReportData()->size(), 15u);
    EXPECT_TRUE(reporter.purgePendingCrashReport());
    EXPECT_FALSE(reporter.hasPendingCrashReport());

    // What the writer can't have made is refused before a byte is read: a
    // FIFO (which would block the open), a link, a directory, a file above
    // the writer's limit. The largest file it can write is read. None of
    // them is a pending report (the link to a file is not followed), and
    // the next enabling sets each aside, with a line, so that the next
    // crash can write its report.
    const auto path = reporter.crashReportPath();
    const auto aside = path.string() + ".notours";
    auto refused = [&](int code) {
        platform::ErrorPtr refusal;
        const bool loaded = reporter.loadPendingCrashReportData(&refusal).has_value();
        return !loaded && refusal && refusal->code() == code;
    };
    auto setAsideAtEnabling = [&](const std::filesystem::path &at = {}) {
        const std::filesystem::path name = at.empty() ? path : at;
        const std::string asideName = name.filename().string() + ".notours";
        std::vector<std::string> lines;
        platform::SystemLog::setSink([&](const std::string &line) { lines.push_back(line); });
        const bool populated = reporter.populateCrashReportDirectory();
        platform::SystemLog::setSink(nullptr);
        struct stat st {};
        const bool moved =
            populated && lstat(name.c_str(), &st) != 0 && lstat((name.parent_path() / asideName).c_str(), &st) == 0;
        const bool said = lines == std::vector<std::string>{"[BBCrashReporter] " + name.string() +
                                                            " is not a crash report of ours (a link, a folder or "
                                                            "another file); set aside as " +
                                                            asideName};
        std::filesystem::remove_all(name.parent_path() / asideName);
        std::filesystem::remove_all(name);
        return moved && said;
    };
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    EXPECT_TRUE(refused(EINVAL));
    EXPECT_FALSE(reporter.hasPendingCrashReport());
    EXPECT_TRUE(setAsideAtEnabling());
    std::ofstream(home.path() / "elsewhere") << "bbcrash";
    std::filesystem::create_symlink(home.path() / "elsewhere", path);
    EXPECT_TRUE(refused(ELOOP));
    EXPECT_FALSE(reporter.hasPendingCrashReport());
    EXPECT_TRUE(setAsideAtEnabling());
    EXPECT_EQ(std::filesystem::file_size(home.path() / "elsewhere"), 7u);
    std::filesystem::create_directory(path);
    EXPECT_TRUE(refused(EISDIR));
    EXPECT_FALSE(reporter.hasPendingCrashReport());
    EXPECT_TRUE(setAsideAtEnabling());
    // Nor could a report be claimed onto a folder at the claimed name.
    std::filesystem::create_directory(reporter.previousCrashReportPath());
    EXPECT_TRUE(refused(EISDIR));
    EXPECT_TRUE(setAsideAtEnabling(reporter.previousCrashReportPath()));
    std::ofstream(path).close();
    std::filesystem::resize_file(path, BBCRASH_REPORT_SIZE_LIMIT + 1);
    EXPECT_TRUE(refused(EFBIG));
    std::filesystem::resize_file(path, BBCRASH_REPORT_SIZE_LIMIT);
    EXPECT_EQ(reporter.loadPendingCrashReportData()->size(), BBCRASH_REPORT_SIZE_LIMIT);
}

TEST(BBCrashReporterTests, LiveReportOfTheCallingThreadLeavesNoFileBehind) {
    testsupport::TemporaryHome home;
    testsupport::TemporaryDirectory tmp("bbcrash-live");
    const char *savedTmp = getenv("TMPDIR");
    std::string saved = savedTmp != nullptr ? savedTmp : "";
    setenv("TMPDIR", tmp.path().c_str(), 1);

    BBCrashReporter reporter("io.plotwick.app", "3", "3.0", std::make_shared<BBCrashReporterConfig>(0, 1));
    reporter.setCustomData(platform::Data{1, 2, 3});
    platform::ErrorPtr error;
    auto data = reporter.generateLiveReport(&error);
    ASSERT_TRUE(data.has_value()) << (error ? error->localizedDescription() : "");
    EXPECT_TRUE(std::filesystem::is_empty(tmp.path()));
    auto report = BBCrashReport::make(*data, &error);
    ASSERT_NE(report, nullptr);
    EXPECT_EQ(report->signalInfo()->name(), "SIGTRAP");
    EXPECT_EQ(report->signalInfo()->code(), "TRAP_TRACE");
    EXPECT_EQ(report->applicationInfo()->applicationMarketingVersion(), "3.0");
    EXPECT_EQ(*report->customData(), (platform::Data{1, 2, 3}));
    EXPECT_FALSE(reporter.hasPendingCrashReport());

    // No temporary directory: a code-1 error, nothing written anywhere.
    setenv("TMPDIR", (tmp.path() / "missing").c_str(), 1);
    error.reset();
    EXPECT_FALSE(reporter.generateLiveReport(&error).has_value());
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), BBCrashReporterErrorOperatingSystem);
    EXPECT_EQ(error->localizedDescription(), "Failed to create temporary path");

    if (savedTmp != nullptr)
        setenv("TMPDIR", saved.c_str(), 1);
    else
        unsetenv("TMPDIR");
}

TEST(BBCrashReporterTests, EnablingIsOncePerProcessEvenAfterAFailure) {
    auto result = runInChild([]() -> std::string {
        testsupport::TemporaryHome home;
        // The caches "directory" is a file: the first enable fails at its
        // second step.
        std::ofstream(home.path() / "blocker") << "x";
        setenv("XDG_CACHE_HOME", (home.path() / "blocker").c_str(), 1);
        BBCrashReporter first("io.plotwick.a", "1", std::nullopt, nullptr);
        platform::ErrorPtr error;
        THREAD_CHILD_CHECK(!first.enableCrashReporter(&error), "");
        THREAD_CHILD_CHECK(error != nullptr && error->code() != BBCrashReporterErrorAlreadyEnabled, "");

        setenv("XDG_CACHE_HOME", (home.path() / "cache").c_str(), 1);
        BBCrashReporter second("io.plotwick.b", "1", std::nullopt, nullptr);
        error.reset();
        THREAD_CHILD_CHECK(!second.enableCrashReporter(&error), "");
        THREAD_CHILD_CHECK(error != nullptr && error->code() == BBCrashReporterErrorAlreadyEnabled, "");
        THREAD_CHILD_CHECK(error->domain() == "BBCrashReporterErrorDomain", "");
        THREAD_CHILD_CHECK(error->localizedDescription() == "A BBCrashReporter instance has already been enabled", "");
        THREAD_CHILD_CHECK(!second.isEnabled(), "");
        return "";
    });
    EXPECT_EQ(result, "");
}

TEST(BBCrashReporterTests, EnabledReporterRefusesNewCallbacksAndInstallsTheExceptionHandler) {
    auto result = runInChild([]() -> std::string {
        testsupport::TemporaryHome home;
        BBCrashReporter reporter("io.plotwick.a", "1", std::nullopt, nullptr);
        BBCrashReporterCallbacks callbacks{0, nullptr, nullptr};
        reporter.setCrashCallbacks(&callbacks);
        THREAD_CHILD_CHECK(reporter.enableCrashReporter(), "");
        THREAD_CHILD_CHECK(reporter.isEnabled(), "");
        THREAD_CHILD_CHECK(platform::appkit::NSGetUncaughtExceptionHandler() == bbcrash_uncaught_exception_handler, "");
        try {
            reporter.setCrashCallbacks(&callbacks);
            return "no exception";
        } catch (const BBCrashReporterException &e) {
            THREAD_CHILD_CHECK(std::string(e.what()) == "The crash reporter has alread been enabled", "");
        }
        struct sigaction action {};
        sigaction(SIGSEGV, nullptr, &action);
        THREAD_CHILD_CHECK(action.sa_flags & SA_ONSTACK, "");
        return "";
    });
    EXPECT_EQ(result, "");
}

// Enabling claims the last session's report before any handler is
// installed, so that the process never takes its own report, complete or
// half written, for the last session's: it reads, stores and purges only the
// claimed file, through any reporter of that folder.
TEST(BBCrashReporterTests, EnablingClaimsTheLastReportAndTheProcessNeverReadsItsOwn) {
    auto result = runInChild([]() -> std::string {
        testsupport::TemporaryHome home;
        BBCrashReporter reporter("io.plotwick.a", "1", std::nullopt, nullptr);
        THREAD_CHILD_CHECK(reporter.populateCrashReportDirectory(), "");
        // One claimed by a launch that crashed before storing it, and a
        // newer one: the newer replaces it.
        std::ofstream(reporter.previousCrashReportPath()) << "older";
        std::ofstream(reporter.crashReportPath()) << "newer report";
        THREAD_CHILD_CHECK(reporter.enableCrashReporter(), "");
        THREAD_CHILD_CHECK(!std::filesystem::exists(reporter.crashReportPath()), "");
        THREAD_CHILD_CHECK(std::filesystem::file_size(reporter.previousCrashReportPath()) == 12, "");

        // This process's crash writes the live name, and is for the next
        // launch alone.
        std::ofstream(reporter.crashReportPath()) << "own, half written";
        BBCrashReporter other("io.plotwick.a", "1", std::nullopt, nullptr);
        for (const BBCrashReporter *r : {&reporter, &other}) {
            THREAD_CHILD_CHECK(r->hasPendingCrashReport(), "");
            THREAD_CHILD_CHECK(r->loadPendingCrashReportData()->size() == 12, "");
        }
        THREAD_CHILD_CHECK(reporter.purgePendingCrashReport(), "");
        platform::ErrorPtr error;
        THREAD_CHILD_CHECK(!other.hasPendingCrashReport(), "");
        THREAD_CHILD_CHECK(!other.loadPendingCrashReportData(&error) && error && error->code() == ENOENT, "");
        THREAD_CHILD_CHECK(!other.purgePendingCrashReport(), "");
        THREAD_CHILD_CHECK(std::filesystem::file_size(reporter.crashReportPath()) == 17, "");
        return "";
    });
    EXPECT_EQ(result, "");
}

TEST(BBCrashReporterTests, APathTooLongForTheCrashPathIsRefusedNotCut) {
    auto result = runInChild([]() -> std::string {
        testsupport::TemporaryHome home;
        // The directory still fits a path (so it can be made), the report
        // file in it does not.
        std::filesystem::path deep = home.path();
        while (deep.string().size() < 3700) deep /= std::string(200, 'd');
        setenv("XDG_CACHE_HOME", deep.c_str(), 1);
        const size_t base = (deep / "io.bbcrash.crashreporter.data").string().size() + 1;
        const size_t identifierLength = PATH_MAX - 18 - base;  // "queued_reports" fits, the report does not
        THREAD_CHILD_CHECK(identifierLength > 0 && identifierLength < 256, "");
        BBCrashReporter reporter(std::string(identifierLength, 'i'), "1", std::nullopt, nullptr);
        THREAD_CHILD_CHECK(reporter.crashReportDirectory().string().size() < PATH_MAX, "");
        THREAD_CHILD_CHECK(reporter.crashReportPath().string().size() >= PATH_MAX, "");
        platform::ErrorPtr error;
        THREAD_CHILD_CHECK(!reporter.enableCrashReporter(&error), "");
        THREAD_CHILD_CHECK(error != nullptr && error->code() == BBCrashReporterErrorOperatingSystem, "");
        THREAD_CHILD_CHECK(!reporter.isEnabled(), "");
        return "";
    });
    EXPECT_EQ(result, "");
}

}  // namespace
