// From a crash to the ingestion server: each launch is a real process of the
// host program with its own HOME and XDG folders, sending to a loopback
// server that records every request (bodies gunzipped).
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <csignal>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/LoopbackHttpServer.h"
#include "support/TestSupport.h"

namespace {

constexpr const char *kSecret = "7d2c1f0e-3b4a-4c5d-8e9f-0a1b2c3d4e5f";
constexpr double kLaunchLimit = 60.0;

struct Launch {
    bool exited = false;
    int exitCode = -1;
    int signal = 0;
    std::vector<std::string> side;  // the host's notes of this launch
    std::vector<std::string> log;   // what it wrote to its standard error

    bool noted(const std::string &line) const { return std::find(side.begin(), side.end(), line) != side.end(); }
    size_t count(const std::string &prefix) const {
        return std::count_if(side.begin(), side.end(), [&](const auto &l) { return l.rfind(prefix, 0) == 0; });
    }
    std::string value(const std::string &key) const {
        for (const auto &line : side) {
            if (line.rfind(key + " ", 0) == 0) return line.substr(key.size() + 1);
        }
        return "";
    }
};

class CrashRoundTripTest : public ::testing::Test {
protected:
    // Runs the host once with these settings; killed after the limit.
    Launch launch(const std::string &action, int answer, const std::string &waitSent = "",
                  const std::string &logUrl = "") {
        const auto side = home_.path() / ("side-" + std::to_string(++launches_));
        const auto home = launchHome_.empty() ? home_.path() : launchHome_;
        std::vector<std::string> environment = {
            "HOME=" + home.string(),
            "XDG_CONFIG_HOME=" + (home / "config").string(),
            "XDG_DATA_HOME=" + (home / "data").string(),
            "XDG_CACHE_HOME=" + (home / "cache").string(),
            "PATH=/usr/bin:/bin",
            "E2E_LOG_URL=" + (logUrl.empty() ? server_.baseURL() : logUrl),
            "E2E_ANSWER=" + std::to_string(answer),
            "E2E_SIDE=" + side.string(),
            "E2E_ACTION=" + action,
            "E2E_WAIT_SENT=" + waitSent,
            // In the sanitizer build, faults reach the crash engine first and
            // end the host by their signal, as in the application, instead of
            // the sanitizer's own report; other builds ignore the variable.
            "ASAN_OPTIONS=handle_segv=0:handle_sigbus=0:handle_sigill=0:handle_sigfpe=0",
        };
        std::vector<char *> envp;
        for (auto &entry : environment) envp.push_back(entry.data());
        envp.push_back(nullptr);
        char program[] = CRASH_E2E_HOST;
        char *argv[] = {program, nullptr};
        pid_t pid = 0;
        Launch result;
        const auto errors = home_.path() / ("stderr-" + std::to_string(launches_));
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int spawned = posix_spawn(&pid, program, &actions, nullptr, argv, envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) return result;

        std::mutex mutex;
        std::condition_variable ended;
        bool done = false;
        int status = 0;
        std::thread reaper([&] {
            int s = 0;
            waitpid(pid, &s, 0);
            std::lock_guard<std::mutex> lock(mutex);
            status = s;
            done = true;
            ended.notify_all();
        });
        {
            std::unique_lock<std::mutex> lock(mutex);
            if (!ended.wait_for(lock, std::chrono::duration<double>(kLaunchLimit), [&] { return done; })) {
                kill(pid, SIGKILL);
                ADD_FAILURE() << "the host did not end in time";
            }
        }
        reaper.join();
        result.exited = WIFEXITED(status);
        result.exitCode = result.exited ? WEXITSTATUS(status) : -1;
        result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
        std::ifstream in(side);
        for (std::string line; std::getline(in, line);) result.side.push_back(line);
        // Passed on, so that a failing test still shows it.
        std::ifstream log(errors);
        for (std::string line; std::getline(log, line);) {
            result.log.push_back(line);
            std::cerr << line << "\n";
        }
        return result;
    }

    // A folder of that name anywhere under the home.
    std::filesystem::path find(const std::string &name) {
        for (const auto &entry : std::filesystem::recursive_directory_iterator(home_.path())) {
            if (entry.path().filename() == name) return entry.path();
        }
        return {};
    }
    std::vector<std::filesystem::path> filesIn(const std::filesystem::path &dir) {
        std::vector<std::filesystem::path> files;
        if (dir.empty() || !std::filesystem::exists(dir)) return files;
        for (const auto &entry : std::filesystem::directory_iterator(dir)) files.push_back(entry.path());
        return files;
    }
    // Report files of the engine: whatever under the home starts with the
    // report header, outside the service's own stored crash files.
    std::vector<std::filesystem::path> engineReports() {
        std::vector<std::filesystem::path> reports;
        for (const auto &entry : std::filesystem::recursive_directory_iterator(home_.path())) {
            if (!entry.is_regular_file() || entry.path().parent_path().filename() == "crashes") continue;
            std::ifstream in(entry.path(), std::ios::binary);
            char head[8] = {};
            in.read(head, 8);
            if (in.gcount() == 8 && std::string(head, 8) == std::string("bbcrash\x01", 8))
                reports.push_back(entry.path());
        }
        return reports;
    }
    // Every log the server received, in order.
    std::vector<nlohmann::json> receivedLogs() {
        std::vector<nlohmann::json> logs;
        for (const auto &request : server_.requests()) {
            auto body = nlohmann::json::parse(request.body, nullptr, false);
            if (body.is_discarded() || !body.contains("logs")) continue;
            for (const auto &log : body["logs"]) logs.push_back(log);
        }
        return logs;
    }
    std::vector<nlohmann::json> logsOfType(const std::string &type) {
        std::vector<nlohmann::json> logs;
        for (const auto &log : receivedLogs()) {
            if (log.value("type", "") == type) logs.push_back(log);
        }
        return logs;
    }
    // Logs of the crash service's units still in the store (the SDK's own
    // start-up log may be waiting for its unit's timer).
    size_t storedCrashLogCount() {
        const auto database = find("Logs.sqlite");
        if (database.empty()) return 0;
        return std::stoul(
            testsupport::runCommand("sqlite3 '" + database.string() +
                                    "' \"SELECT COUNT(*) FROM logs WHERE groupId IN ('Crashes', 'CrashesBuffer')\""));
    }

    testsupport::TemporaryHome home_;
    // The home the launches are given, when not home_ itself (a link to a
    // folder inside it, say).
    std::filesystem::path launchHome_;
    testsupport::LoopbackHttpServer server_;
    int launches_ = 0;
};

// With the home reached through a link, as a home on another disk is.
TEST_F(CrashRoundTripTest, ASegmentationFaultReachesTheServerWithTheLogBufferedAtCrashTime) {
    std::filesystem::create_directory(home_.path() / "real-home");
    std::filesystem::create_directory_symlink(home_.path() / "real-home", home_.path() / "home");
    launchHome_ = home_.path() / "home";
    const Launch crashed = launch("segv", 1);
    ASSERT_EQ(crashed.signal, SIGSEGV);
    ASSERT_TRUE(crashed.noted("crashing"));
    ASSERT_EQ(engineReports().size(), 1u);
    const auto buffer = find("crasheslogbuffer");
    size_t nonEmpty = 0;
    for (const auto &file : filesIn(buffer)) nonEmpty += std::filesystem::file_size(file) > 0;
    EXPECT_EQ(nonEmpty, 1u);
    const auto wrapperExceptions = find("crasheswrapperexceptions");
    EXPECT_TRUE(std::filesystem::exists(wrapperExceptions / "last_saved_wrapper_exception"));

    const Launch next = launch("idle", 1, "appleError,handledError");
    ASSERT_TRUE(next.exited && next.exitCode == 0) << next.exitCode << " " << next.signal;
    EXPECT_EQ(next.count("asked "), 1u);
    EXPECT_TRUE(next.noted("asked 1"));
    EXPECT_TRUE(next.noted("sent appleError"));

    bool sawLogsRequest = false;
    for (const auto &request : server_.requests()) {
        if (request.method != "POST" || request.path != "/logs") continue;
        sawLogsRequest = true;
        EXPECT_EQ(request.query, "api-version=1.0.0");
        EXPECT_EQ(request.header("app-secret"), kSecret);
        EXPECT_EQ(request.header("install-id"), next.value("installId"));
    }
    EXPECT_TRUE(sawLogsRequest);
    const auto crashLogs = logsOfType("appleError");
    ASSERT_EQ(crashLogs.size(), 1u);
    const auto &log = crashLogs[0];
    EXPECT_EQ(log["processId"].get<int64_t>(), std::stoll(crashed.value("pid")));
    EXPECT_EQ(log["osExceptionType"], "SIGSEGV");
    EXPECT_EQ(log["fatal"], true);
    bool crashedThreadHasFrames = false;
    for (const auto &thread : log["threads"]) {
        if (thread["id"] == log["errorThreadId"]) crashedThreadHasFrames = !thread["frames"].empty();
    }
    EXPECT_TRUE(crashedThreadHasFrames);
    // The wrapper exception saved for the crashed process is the log's.
    ASSERT_TRUE(log.contains("exception"));
    EXPECT_EQ(log["exception"].value("type", ""), "WrapperException");
    EXPECT_EQ(log["exception"].value("message", ""), "saved by the wrapper");
    // The log buffered at crash time arrives once.
    size_t buffered = 0;
    for (const auto &handled : logsOfType("handledError")) {
        buffered += handled["exception"].value("type", "") == "BufferedBeforeTheCrash";
    }
    EXPECT_EQ(buffered, 1u);

    // Nothing of the crash remains.
    EXPECT_TRUE(filesIn(find("crashes")).empty());
    EXPECT_TRUE(filesIn(wrapperExceptions).empty());
    EXPECT_TRUE(engineReports().empty());
    EXPECT_EQ(storedCrashLogCount(), 0u);

    const Launch third = launch("idle", 1);
    EXPECT_TRUE(third.exited && third.exitCode == 0);
    EXPECT_EQ(third.count("asked "), 0u);
    EXPECT_EQ(logsOfType("appleError").size(), 1u);
}

TEST_F(CrashRoundTripTest, DontSendDeletesTheStoredCrashUnsent) {
    ASSERT_EQ(launch("segv", 0).signal, SIGSEGV);
    const Launch next = launch("idle", 0, "handledError");
    EXPECT_TRUE(next.noted("asked 1"));
    EXPECT_TRUE(logsOfType("appleError").empty());
    EXPECT_TRUE(filesIn(find("crashes")).empty());
    EXPECT_TRUE(engineReports().empty());
}

TEST_F(CrashRoundTripTest, ALaunchKilledRightAfterTheAnswerLeavesTheCrashForTheNext) {
    ASSERT_EQ(launch("segv", 1).signal, SIGSEGV);
    const Launch killed = launch("killed-after-answer", 1);
    ASSERT_EQ(killed.signal, SIGKILL);
    ASSERT_TRUE(killed.noted("answered"));
    EXPECT_EQ(filesIn(find("crashes")).size(), 1u);
    EXPECT_TRUE(logsOfType("appleError").empty());
    // The wrapper exception stays, under the report's id, until its log is
    // saved.
    const auto wrapperExceptions = filesIn(find("crasheswrapperexceptions"));
    ASSERT_EQ(wrapperExceptions.size(), 1u);
    EXPECT_NE(wrapperExceptions[0].filename(), "last_saved_wrapper_exception");

    // The next launch asks again and sends it with its wrapper exception;
    // then nothing is left.
    const Launch next = launch("idle", 1, "appleError");
    EXPECT_TRUE(next.noted("asked 1"));
    EXPECT_TRUE(next.noted("sent appleError"));
    const auto logs = logsOfType("appleError");
    ASSERT_EQ(logs.size(), 1u);
    ASSERT_TRUE(logs[0].contains("exception"));
    EXPECT_EQ(logs[0]["exception"].value("type", ""), "WrapperException");
    EXPECT_TRUE(filesIn(find("crashes")).empty());
    EXPECT_TRUE(filesIn(find("crasheswrapperexceptions")).empty());
}

TEST_F(CrashRoundTripTest, AlwaysSendIsRememberedForTheNextCrash) {
    ASSERT_EQ(launch("segv", 2).signal, SIGSEGV);
    const Launch next = launch("idle", 2, "appleError");
    EXPECT_TRUE(next.noted("asked 1"));
    EXPECT_EQ(logsOfType("appleError").size(), 1u);

    ASSERT_EQ(launch("segv", 0).signal, SIGSEGV);
    // Answering "Don't Send" now would discard it: the handler is not asked.
    const Launch after = launch("idle", 0, "appleError");
    EXPECT_EQ(after.count("asked "), 0u);
    EXPECT_EQ(logsOfType("appleError").size(), 2u);
}

TEST_F(CrashRoundTripTest, AStaleAnalyzerMarkerPurgesThePendingReportUnread) {
    ASSERT_EQ(launch("segv", 1).signal, SIGSEGV);
    const auto crashes = find("crashes");
    ASSERT_FALSE(crashes.empty());
    std::ofstream(crashes / "BNCrashes.analyzer");
    const Launch next = launch("idle", 1);
    EXPECT_EQ(next.count("asked "), 0u);
    EXPECT_TRUE(filesIn(crashes).empty());
    EXPECT_TRUE(engineReports().empty());
}

// The code range of the host's thrower: its runtime address (noted by the
// host) and its size (from the symbol table).
std::pair<uint64_t, uint64_t> throwerRange(const Launch &launch) {
    std::istringstream lines(testsupport::runCommand(std::string("nm -S --defined-only ") + CRASH_E2E_HOST));
    const uint64_t start = std::stoull(launch.value("thrower"));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string address, size, type, name;
        if (fields >> address >> size >> type >> name && name == "e2e_thrower") {
            return {start, start + std::stoull(size, nullptr, 16)};
        }
    }
    return {0, 0};
}

TEST_F(CrashRoundTripTest, AnUncaughtExceptionArrivesWithItsTypeMessageAndThrowSite) {
    for (const std::string action : {"throw", "throw-thread"}) {
        SCOPED_TRACE(action);
        const size_t before = logsOfType("appleError").size();
        const Launch crashed = launch(action, 1);
        ASSERT_EQ(crashed.signal, SIGABRT);
        const Launch next = launch("idle", 1, "appleError");
        const auto logs = logsOfType("appleError");
        ASSERT_EQ(logs.size(), before + 1);
        const auto &log = logs.back();
        EXPECT_EQ(log["osExceptionType"], "SIGABRT");
        EXPECT_EQ(log["exceptionType"], "std::runtime_error");
        EXPECT_EQ(log["exceptionReason"], "boom");
        const auto [start, end] = throwerRange(crashed);
        ASSERT_LT(start, end);
        bool checked = false;
        for (const auto &thread : log["threads"]) {
            if (thread["id"] != log["errorThreadId"]) continue;
            ASSERT_TRUE(thread.contains("exception"));
            const uint64_t frame0 =
                std::stoull(thread["exception"]["frames"][0]["address"].get<std::string>(), nullptr, 16);
            // A return address may point just past the call at the end.
            EXPECT_TRUE(frame0 > start && frame0 - 1 < end) << std::hex << frame0 << " " << start << "-" << end;
            checked = true;
        }
        EXPECT_TRUE(checked);
    }
}

TEST_F(CrashRoundTripTest, AnExceptionRaisedInAnEventHandlerArrivesWithItsNameAndReason) {
    ASSERT_EQ(launch("raise", 1).signal, SIGABRT);
    launch("idle", 1, "appleError");
    const auto logs = logsOfType("appleError");
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0]["exceptionType"], "MyException");
    EXPECT_EQ(logs[0]["exceptionReason"], "bad");
}

TEST_F(CrashRoundTripTest, TheTestCrashArrivesAsAnIllegalInstruction) {
    ASSERT_EQ(launch("test-crash", 1).signal, SIGILL);
    launch("idle", 1, "appleError");
    const auto logs = logsOfType("appleError");
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0]["osExceptionType"], "SIGILL");
}

TEST_F(CrashRoundTripTest, ACrashLogTheServerRefusesStaysStoredAndIsSentByALaterLaunch) {
    ASSERT_EQ(launch("segv", 1).signal, SIGSEGV);
    testsupport::LoopbackHttpServer::Answer refused;
    refused.status = 500;
    server_.setDefaultAnswer(refused);
    const Launch refusedLaunch = launch("idle", 1);
    EXPECT_TRUE(refusedLaunch.noted("asked 1"));
    EXPECT_TRUE(filesIn(find("crashes")).empty());
    EXPECT_GE(storedCrashLogCount(), 1u);

    const size_t refusedCount = logsOfType("appleError").size();

    server_.setDefaultAnswer(testsupport::LoopbackHttpServer::Answer{});
    // The stored crash log goes out as soon as the crash unit starts; the
    // service has joined the group by then, so its delegate hears of it. The
    // buffered log refused with it goes on its own unit's timer.
    const Launch later = launch("idle", 1, "appleError,handledError");
    EXPECT_TRUE(later.noted("sent appleError"));
    EXPECT_EQ(later.count("asked "), 0u);
    EXPECT_EQ(logsOfType("appleError").size(), refusedCount + 1);
    EXPECT_EQ(storedCrashLogCount(), 0u);
}

TEST_F(CrashRoundTripTest, ACrashLogSentWhileTheServerIsDownStaysStoredAndIsSentByALaterLaunch) {
    ASSERT_EQ(launch("segv", 1).signal, SIGSEGV);
    const int closed = testsupport::LoopbackHttpServer::closedPort();
    ASSERT_NE(closed, 0);
    const std::string down = "http://127.0.0.1:" + std::to_string(closed);
    const Launch downLaunch = launch("idle", 1, "", down);
    EXPECT_TRUE(downLaunch.noted("asked 1"));
    EXPECT_TRUE(filesIn(find("crashes")).empty());
    EXPECT_GE(storedCrashLogCount(), 1u);
    EXPECT_TRUE(logsOfType("appleError").empty());

    // The data folder is then copied with hard links, as `cp -al`, snapshot
    // and deduplicating tools do: every file of the store and the log
    // buffer has a second name. The launch still delivers the crash, says
    // what it found in one line, and the copy's files stay byte for byte as
    // they were.
    const testsupport::TemporaryDirectory snapshot;
    const auto data = home_.path() / "data", copy = snapshot.path() / "data";
    int copied = -1;
    testsupport::runCommand("cp -al '" + data.string() + "' '" + copy.string() + "'", &copied);
    ASSERT_EQ(copied, 0);
    const auto files = [](const std::filesystem::path &root) {
        std::map<std::string, std::string> contents;  // by path below the root: mode and bytes
        for (const auto &entry : std::filesystem::recursive_directory_iterator(root)) {
            if (!entry.is_regular_file()) continue;
            std::ifstream in(entry.path(), std::ios::binary);
            contents[std::filesystem::relative(entry.path(), root).string()] =
                std::to_string(static_cast<unsigned>(entry.status().permissions())) + " " +
                std::string(std::istreambuf_iterator<char>(in), {});
        }
        return contents;
    };
    const auto before = files(copy);
    const std::string store = find("Logs.sqlite").lexically_relative(data).string();
    ASSERT_TRUE(before.count(store)) << store;
    ASSERT_EQ(std::filesystem::hard_link_count(copy / store), 2u);
    // A copy like the store's, left by a launch killed while it made it (its
    // process no longer runs), is removed with a line of its own.
    const auto interrupted = (data / store).parent_path() / ".Logs.sqlite.999999999.0";
    std::ofstream(interrupted) << "half a copy";

    const Launch later = launch("idle", 1, "appleError,handledError");
    EXPECT_TRUE(later.noted("sent appleError"));
    EXPECT_EQ(later.count("asked "), 0u);
    EXPECT_EQ(logsOfType("appleError").size(), 1u);
    EXPECT_EQ(storedCrashLogCount(), 0u);
    EXPECT_TRUE(files(copy) == before);
    EXPECT_EQ(std::filesystem::hard_link_count(copy / store), 1u);
    EXPECT_EQ(std::filesystem::hard_link_count(data / store), 1u);
    EXPECT_EQ(std::count_if(later.log.begin(), later.log.end(),
                            [](const auto &line) { return line.find("hard link") != std::string::npos; }),
              1)
        << "of " << later.log.size() << " lines";
    EXPECT_FALSE(std::filesystem::exists(interrupted));
    EXPECT_EQ(
        std::count_if(later.log.begin(), later.log.end(),
                      [](const auto &line) { return line.find("left by interrupted writes") != std::string::npos; }),
        1);
}

TEST_F(CrashRoundTripTest, MemoryPressureInOneLaunchIsReportedInTheNextOnly) {
    EXPECT_TRUE(launch("memory", 1).noted("memoryWarning 0"));
    EXPECT_TRUE(launch("idle", 1).noted("memoryWarning 1"));
    EXPECT_TRUE(launch("idle", 1).noted("memoryWarning 0"));
}

}  // namespace
