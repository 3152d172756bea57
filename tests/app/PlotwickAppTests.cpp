// Plotwick's launch: the confirmation alert's answers, and the executable
// starting crash reporting and ending cleanly on SIGTERM.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "PlotwickCrashConfirmation.h"
#include "platform/appkit/Alert.h"
#include "support/ForkedChild.h"
#include "support/TestSupport.h"

extern char **environ;

using platform::appkit::Alert;

TEST(PlotwickCrashConfirmation, ButtonsMapToTheAnswersAndAnythingElseToNone) {
    EXPECT_EQ(PlotwickCrashConfirmation::confirmationForResponse(Alert::kFirstButtonReturn), BCUserConfirmationSend);
    EXPECT_EQ(PlotwickCrashConfirmation::confirmationForResponse(Alert::kSecondButtonReturn),
              BCUserConfirmationDontSend);
    EXPECT_EQ(PlotwickCrashConfirmation::confirmationForResponse(Alert::kThirdButtonReturn),
              BCUserConfirmationAlways);
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

TEST(PlotwickExecutable, StartsCrashReportingAndEndsCleanlyOnSigterm) {
    testsupport::TemporaryHome home;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    char program[] = PLOTWICK_EXECUTABLE;
    char *argv[] = {program, nullptr};
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, program, &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    ASSERT_GE(pidfd, 0);

    // Started: the service's directories and the engine's report directory
    // exist. Checked until they do, for a bounded time, while it runs.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::optional<std::filesystem::path> crashes, engine;
    bool ended = false;
    while (std::chrono::steady_clock::now() < deadline && !(crashes && engine) && !ended) {
        crashes = findDirectory(home.path(), "crashes");
        engine = findDirectory(home.path(), "io.bbcrash.crashreporter.data");
        pollfd p{pidfd, POLLIN, 0};
        ended = poll(&p, 1, 50) == 1;
    }
    EXPECT_FALSE(ended) << "plotwick ended by itself";
    EXPECT_TRUE(crashes.has_value());
    ASSERT_TRUE(engine.has_value());
    EXPECT_TRUE(std::filesystem::is_directory(*engine / "com.plotwick.Plotwick"));

    kill(pid, SIGTERM);
    pollfd p{pidfd, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 20000), 1) << "plotwick did not end on SIGTERM";
    close(pidfd);
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(PlotwickExecutable, ExportsItsOwnThrowEntryPoint) {
    // libstdc++'s own throws bind to the executable's __cxa_throw only when
    // the executable exports it.
    const std::string symbols =
        testsupport::runCommand(std::string("nm -D --defined-only '") + PLOTWICK_EXECUTABLE + "'");
    EXPECT_NE(symbols.find(" T __cxa_throw\n"), std::string::npos);
}
