// Plotwick's launch: the confirmation alert's answers, and the executable
// starting crash reporting, asking after a crash and ending cleanly on
// SIGINT and SIGTERM, even while it asks.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <thread>

#include "PlotwickCrashConfirmation.h"
#include "platform/appkit/Alert.h"
#include "support/ForkedChild.h"
#include "support/RunningChild.h"
#include "support/TestSupport.h"

extern char **environ;

using platform::appkit::Alert;

TEST(PlotwickCrashConfirmation, ButtonsMapToTheAnswersAndAnythingElseToNone) {
    EXPECT_EQ(PlotwickCrashConfirmation::confirmationForResponse(Alert::kFirstButtonReturn), BCUserConfirmationSend);
    EXPECT_EQ(PlotwickCrashConfirmation::confirmationForResponse(Alert::kSecondButtonReturn),
              BCUserConfirmationDontSend);
    EXPECT_EQ(PlotwickCrashConfirmation::confirmationForResponse(Alert::kThirdButtonReturn), BCUserConfirmationAlways);
    EXPECT_EQ(PlotwickCrashConfirmation::confirmationForResponse(Alert::kNoAnswer), std::nullopt);
    EXPECT_EQ(PlotwickCrashConfirmation::confirmationForResponse(0), std::nullopt);
}

TEST(PlotwickCrashConfirmation, TakesChargeOfTheAnswerEvenWhenNobodyCanGiveOne) {
    auto child = testsupport::runInChild([] {
        int null = open("/dev/null", O_RDONLY);
        dup2(null, STDIN_FILENO);
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        return PlotwickCrashConfirmation::confirm({}) ? 0 : 1;
    });
    EXPECT_TRUE(child.exited);
    EXPECT_EQ(child.exitCode, 0);
    EXPECT_NE(child.output.find("Alert \"WARNING\" was not shown"), std::string::npos) << child.output;
}

namespace {

// The first directory of that name below the folder.
std::optional<std::filesystem::path> findDirectory(const std::filesystem::path &folder, const std::string &name) {
    std::error_code error;
    for (auto it = std::filesystem::recursive_directory_iterator(folder, error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
        if (it->is_directory() && it->path().filename() == name) return it->path();
    }
    return std::nullopt;
}

}  // namespace

// Another process holding the settings' lock (a stopped copy of the
// application) holds up neither the launch nor the end.
TEST(PlotwickExecutable, StartsCrashReportingAndEndsCleanlyOnSigtermAndSigint) {
    testsupport::TemporaryHome home;
    const std::filesystem::path lockFile = home.path() / ".config" / ".com.plotwick.Plotwick.plist.lock";
    const int held = open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    for (const int signal : {SIGTERM, SIGINT}) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        char program[] = PLOTWICK_OFFLINE_EXECUTABLE;
        char *argv[] = {program, nullptr};
        pid_t pid = -1;
        ASSERT_EQ(posix_spawn(&pid, program, &actions, nullptr, argv, environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        testsupport::RunningChild plotwick(pid);
        ASSERT_TRUE(plotwick.started());

        // Started: the service's directories and the engine's report
        // directory exist. Checked until they do, for a bounded time, while
        // it runs.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        std::optional<std::filesystem::path> crashes, engine;
        bool ended = false;
        while (std::chrono::steady_clock::now() < deadline && !(crashes && engine) && !ended) {
            crashes = findDirectory(home.path(), "crashes");
            engine = findDirectory(home.path(), "io.bbcrash.crashreporter.data");
            ended = plotwick.ended(50);
        }
        EXPECT_FALSE(ended) << "plotwick ended by itself";
        EXPECT_TRUE(crashes.has_value());
        ASSERT_TRUE(engine.has_value());
        EXPECT_TRUE(std::filesystem::is_directory(*engine / "com.plotwick.Plotwick"));

        kill(pid, signal);
        ASSERT_TRUE(plotwick.ended(5000)) << "plotwick did not end on " << strsignal(signal);
        EXPECT_TRUE(WIFEXITED(plotwick.status()) && WEXITSTATUS(plotwick.status()) == 0) << plotwick.status();
        // So that the next launch is seen started by the folders it makes,
        // not by these: signalled before its handler, it would die of it.
        std::filesystem::remove_all(*engine);
        if (crashes) std::filesystem::remove_all(*crashes);
    }
    close(held);
}

TEST(PlotwickExecutable, ExportsItsOwnThrowEntryPoint) {
    // libstdc++'s own throws bind to the executable's __cxa_throw only when
    // the executable exports it.
    const std::string symbols =
        testsupport::runCommand(std::string("nm -D --defined-only '") + PLOTWICK_EXECUTABLE + "'");
    EXPECT_NE(symbols.find(" T __cxa_throw\n"), std::string::npos);
}

namespace {

// One launch of the executable in its own process, its standard input and
// output a pseudo terminal when `terminal` is set, /dev/null otherwise;
// `extraEnvironment` entries replace those of this process, and DISPLAY and
// WAYLAND_DISPLAY are only there when given.
class Launch {
public:
    Launch(bool terminal, const std::vector<std::string> &extraEnvironment) {
        std::vector<std::string> environment;
        for (char **entry = environ; *entry; ++entry) {
            const std::string e = *entry;
            const std::string name = e.substr(0, e.find('='));
            bool replaced = name == "DISPLAY" || name == "WAYLAND_DISPLAY";
            for (const auto &x : extraEnvironment) replaced = replaced || x.rfind(name + "=", 0) == 0;
            if (!replaced) environment.push_back(e);
        }
        environment.insert(environment.end(), extraEnvironment.begin(), extraEnvironment.end());
        std::vector<char *> envp;
        for (auto &e : environment) envp.push_back(e.data());
        envp.push_back(nullptr);
        char program[] = PLOTWICK_OFFLINE_EXECUTABLE;
        char *argv[] = {program, nullptr};
        fflush(nullptr);
        const pid_t pid = terminal ? forkpty(&master_, nullptr, nullptr, nullptr) : fork();
        if (pid == 0) {
            if (!terminal) {
                int null = open("/dev/null", O_RDWR);
                dup2(null, STDIN_FILENO);
                dup2(null, STDOUT_FILENO);
            }
            execve(program, argv, envp.data());
            _exit(127);
        }
        child_.emplace(pid);
    }
    ~Launch() {
        child_.reset();
        if (master_ >= 0) close(master_);
    }
    pid_t pid() const { return child_->pid(); }
    bool started() const { return child_->started(); }

    // Reads the terminal until it shows `text` (or, with an empty text, until
    // it is closed), for a bounded time.
    bool showsOnTerminal(const std::string &text) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while ((text.empty() || screen_.find(text) == std::string::npos) &&
               std::chrono::steady_clock::now() < deadline) {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 100) != 1) continue;
            char buffer[512];
            const ssize_t n = read(master_, buffer, sizeof buffer);
            if (n <= 0) break;  // EIO once the child has closed the terminal
            screen_.append(buffer, static_cast<size_t>(n));
        }
        return screen_.find(text) != std::string::npos;
    }
    const std::string &screen() const { return screen_; }
    void type(const std::string &text) { [[maybe_unused]] ssize_t n = write(master_, text.data(), text.size()); }

    // Waits up to `seconds` for the process to end and reaps it; false when
    // it was still running then (it is killed when the object goes away).
    bool ended(int seconds, int *status) {
        if (!child_->ended(seconds * 1000)) return false;
        *status = child_->status();
        if (master_ >= 0) showsOnTerminal("");  // what it wrote last
        return true;
    }

private:
    std::optional<testsupport::RunningChild> child_;
    int master_ = -1;
    std::string screen_;
};

std::vector<std::filesystem::path> filesIn(const std::optional<std::filesystem::path> &folder) {
    std::vector<std::filesystem::path> files;
    std::error_code error;
    if (!folder) return files;
    for (const auto &entry : std::filesystem::directory_iterator(*folder, error)) files.push_back(entry.path());
    return files;
}

// Waits, for a bounded time, until the predicate holds.
// Whether the process has a handler for the signal (its SigCgt mask).
bool catchesSignal(pid_t pid, int signal) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("SigCgt:", 0) == 0) return (std::stoull(line.substr(7), nullptr, 16) >> (signal - 1)) & 1;
    }
    return false;
}

bool eventually(const std::function<bool()> &predicate) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

}  // namespace

// After a crash, the question holds the application until answered; SIGINT
// (Ctrl-C on the terminal) and SIGTERM end it at once instead, with no
// answer: the crash stays stored and the next launch asks again, whether
// the question is on the terminal or in a desktop dialog. A click on
// "Don't Send" still deletes it.
TEST(PlotwickExecutable, ASignalDuringTheCrashQuestionEndsItAndTheNextLaunchAsksAgain) {
    testsupport::TemporaryHome home;
    {
        // A crash: SIGABRT, as abort() raises it, is written by the engine.
        Launch crashing(false, {});
        ASSERT_TRUE(crashing.started());
        // Sent once the engine's handler is installed, so that it writes a
        // report.
        ASSERT_TRUE(eventually([&] { return catchesSignal(crashing.pid(), SIGABRT); }));
        kill(crashing.pid(), SIGABRT);
        int status = 0;
        ASSERT_TRUE(crashing.ended(20, &status));
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) << status;
    }
    // The texts exactly as the application shows them.
    const std::string question =
        "\r\nWARNING\r\nPlotwick unexpectedly quit. Would you like to send a report so we can fix the problem?\r\n"
        "  1) Send\r\n  2) Don't Send\r\n  3) Always Send\r\nChoose 1-3: ";
    // Ends within the bound, because of the signal: cleanly, as SIGTERM
    // ends the application at any other time.
    auto endsCleanly = [](Launch &launch, const char *how) {
        int status = 0;
        const auto sent = std::chrono::steady_clock::now();
        ASSERT_TRUE(launch.ended(10, &status)) << how << " did not end the application";
        EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(10));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << how << ": " << status;
    };
    std::optional<std::filesystem::path> crashes;
    auto storedCrashes = [&] {
        if (!crashes) crashes = findDirectory(home.path(), "crashes");
        return filesIn(crashes).size();
    };

    for (const bool byTerminal : {true, false}) {
        Launch launch(true, {});
        ASSERT_TRUE(launch.showsOnTerminal(question)) << launch.screen();
        EXPECT_EQ(storedCrashes(), 1u);
        if (byTerminal)
            launch.type("\x03");  // Ctrl-C: the terminal sends SIGINT
        else
            kill(launch.pid(), SIGTERM);
        endsCleanly(launch, byTerminal ? "Ctrl-C" : "SIGTERM");
        EXPECT_EQ(storedCrashes(), 1u) << launch.screen();
        EXPECT_NE(launch.screen().find("No answer about sending the crash reports"), std::string::npos)
            << launch.screen();
    }

    // The desktop dialog: a stand-in zenity on PATH that records its
    // arguments and its pid, then waits for an answer that never comes.
    testsupport::TemporaryDirectory bin;
    {
        std::ofstream script(bin.path() / "zenity");
        script << "#!/bin/sh\ncd '" << bin.path().string()
               << "'\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > args\necho $$ > pid.new\nmv pid.new pid\n"
                  "exec sleep 600\n";
    }
    std::filesystem::permissions(bin.path() / "zenity", std::filesystem::perms::owner_all);
    for (const int signal : {SIGINT, SIGTERM}) {
        std::filesystem::remove(bin.path() / "pid");
        Launch launch(false, {"DISPLAY=:77", "PATH=" + bin.path().string() + ":" + getenv("PATH")});
        ASSERT_TRUE(eventually([&] { return std::filesystem::exists(bin.path() / "pid"); }));
        pid_t zenity = 0;
        std::ifstream(bin.path() / "pid") >> zenity;
        ASSERT_GT(zenity, 0);
        kill(launch.pid(), signal);
        endsCleanly(launch, strsignal(signal));
        EXPECT_EQ(storedCrashes(), 1u);
        const bool zenityLeft = kill(zenity, 0) == 0;
        EXPECT_FALSE(zenityLeft) << "the dialog was left behind";
        if (zenityLeft) kill(zenity, SIGKILL);
    }
    std::ifstream args(bin.path() / "args");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(args), {}),
              "--question\n--no-wrap\n--title=WARNING\n--text=<b>WARNING</b>\n\nPlotwick unexpectedly quit. Would you "
              "like to send a report so we can fix the problem?\n--ok-label=Send\n--cancel-label=Don't Send\n"
              "--extra-button=Always Send\n");

    // Asked again; "Don't Send" deletes the crash.
    Launch last(true, {});
    ASSERT_TRUE(last.showsOnTerminal(question)) << last.screen();
    last.type("2\n");
    EXPECT_TRUE(eventually([&] { return storedCrashes() == 0; }));
    kill(last.pid(), SIGTERM);
    endsCleanly(last, "SIGTERM");
}
