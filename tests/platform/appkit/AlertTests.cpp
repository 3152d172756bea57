#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>

#include "platform/appkit/Alert.h"
#include "platform/appkit/CrashAlert.h"
#include "platform/syslog/SystemLog.h"
#include "support/ForkedChild.h"
#include "support/TestSupport.h"

using alerttest::crashAlert;
using alerttest::statusFor;
using platform::appkit::Alert;

namespace {

// Reads from the terminal's master side until `done` holds for what was read
// or the time is up; answers everything read.
std::string readUntil(int fd, const std::function<bool(const std::string &)> &done, std::string seen) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done(seen)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        char buffer[512];
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) break;  // EIO once the child has closed the terminal
        seen.append(buffer, static_cast<size_t>(n));
    }
    return seen;
}

size_t promptCount(const std::string &screen) {
    size_t count = 0;
    for (size_t at = screen.find("Choose 1-3: "); at != std::string::npos; at = screen.find("Choose 1-3: ", at + 1))
        ++count;
    return count;
}

struct PromptRun {
    int status = -1;
    std::string screen;
};

// Runs the alert in a child whose standard input and output are a pseudo
// terminal, and types each input once the prompt is showing. Ends the input
// (Ctrl-D) after the last one when `endInput` is set.
PromptRun runPrompt(const std::vector<std::string> &inputs, bool endInput) {
    PromptRun run;
    int master = -1;
    fflush(nullptr);
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        alarm(20);
        _exit(statusFor(crashAlert().runModal()));
    }
    if (pid < 0) return run;
    size_t prompts = 0;
    auto nextPrompt = [&] {
        ++prompts;
        run.screen = readUntil(master, [&](const std::string &seen) { return promptCount(seen) >= prompts; }, run.screen);
    };
    for (const auto &input : inputs) {
        nextPrompt();
        std::string line = input + "\n";
        [[maybe_unused]] ssize_t n = write(master, line.data(), line.size());
    }
    if (endInput) {
        nextPrompt();
        const char eof = 4;
        [[maybe_unused]] ssize_t n = write(master, &eof, 1);
    }
    run.screen = readUntil(master, [](const std::string &) { return false; }, run.screen);
    close(master);
    int status = 0;
    waitpid(pid, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

}  // namespace

TEST(AlertTerminalPrompt, EachButtonByNumberOrTitle) {
    auto send = runPrompt({"1"}, false);
    EXPECT_EQ(send.status, 0) << send.screen;
    EXPECT_NE(send.screen.find("WARNING"), std::string::npos);
    EXPECT_NE(send.screen.find("Plotwick unexpectedly quit."), std::string::npos);
    EXPECT_NE(send.screen.find("1) Send"), std::string::npos);
    EXPECT_NE(send.screen.find("2) Don't Send"), std::string::npos);
    EXPECT_NE(send.screen.find("3) Always Send"), std::string::npos);

    EXPECT_EQ(runPrompt({"2"}, false).status, 1);
    EXPECT_EQ(runPrompt({"always send"}, false).status, 2);
    // Anything else asks again.
    auto retried = runPrompt({"7", "", "3"}, false);
    EXPECT_EQ(retried.status, 2) << retried.screen;
}

TEST(AlertTerminalPrompt, EndOfInputGivesNoAnswer) {
    auto run = runPrompt({}, true);
    EXPECT_EQ(run.status, 9) << run.screen;
}

namespace {

// A stand-in zenity on PATH that records its arguments, prints what
// ZENITY_PRINT says and exits with ZENITY_EXIT.
class FakeZenity {
public:
    FakeZenity() {
        std::ofstream script(dir_.path() / "zenity");
        script << "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"" << argsPath().string()
               << "\"\n[ -n \"$ZENITY_PRINT\" ] && printf '%s\\n' \"$ZENITY_PRINT\"\nexit \"$ZENITY_EXIT\"\n";
        script.close();
        std::filesystem::permissions(dir_.path() / "zenity", std::filesystem::perms::owner_all);
    }
    std::filesystem::path argsPath() const { return dir_.path() / "args"; }
    std::string args() const {
        std::ifstream in(argsPath());
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // Runs the alert in a child without a terminal, with this zenity first on PATH.
    testsupport::ChildResult run(int exitCode, const std::string &printed, const char *display = ":77") const {
        const std::string path = dir_.path().string() + ":" + getenv("PATH");
        return testsupport::runInChild([=] {
            int null = open("/dev/null", O_RDONLY);
            dup2(null, STDIN_FILENO);
            setenv("PATH", path.c_str(), 1);
            if (display) setenv("DISPLAY", display, 1); else unsetenv("DISPLAY");
            unsetenv("WAYLAND_DISPLAY");
            setenv("ZENITY_EXIT", std::to_string(exitCode).c_str(), 1);
            setenv("ZENITY_PRINT", printed.c_str(), 1);
            return statusFor(crashAlert().runModal());
        });
    }

private:
    testsupport::TemporaryDirectory dir_;
};

}  // namespace

TEST(AlertDesktopDialog, ZenityAnswersMapToTheButtons) {
    FakeZenity zenity;
    EXPECT_EQ(zenity.run(0, "").exitCode, 0);
    EXPECT_EQ(zenity.args(),
              "--question\n--no-wrap\n--title=WARNING\n--text=<b>WARNING</b>\n\nPlotwick unexpectedly quit. Would you "
              "like to send a report so we can fix the problem?\n--ok-label=Send\n--cancel-label=Don't Send\n"
              "--extra-button=Always Send\n");
    EXPECT_EQ(zenity.run(1, "").exitCode, 1);
    EXPECT_EQ(zenity.run(1, "Always Send").exitCode, 2);
    // A failed dialog, or an unknown label, is no answer.
    EXPECT_EQ(zenity.run(255, "").exitCode, 9);
    EXPECT_EQ(zenity.run(5, "").exitCode, 9);
    EXPECT_EQ(zenity.run(1, "Something").exitCode, 9);
}

TEST(AlertDesktopDialog, NoTerminalAndNoDisplayGivesNoAnswerAndSaysWhy) {
    FakeZenity zenity;
    auto child = zenity.run(0, "", nullptr);
    EXPECT_EQ(child.exitCode, 9);
    EXPECT_FALSE(std::filesystem::exists(zenity.argsPath()));
    EXPECT_NE(child.output.find("Alert \"WARNING\" was not shown: the standard input is not a terminal and no display "
                                "is present, so nobody can answer it."),
              std::string::npos)
        << child.output;
}
