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
#include "platform/appkit/Application.h"
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
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
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
// (Ctrl-D) after the last one when `endInput` is set. With `aborted`, the
// application has aborted modal alerts before this one runs.
PromptRun runPrompt(const std::vector<std::string> &inputs, bool endInput, bool aborted = false) {
    PromptRun run;
    int master = -1;
    fflush(nullptr);
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        alarm(20);
        if (aborted) platform::appkit::Application::sharedApplication()->abortModal();
        _exit(statusFor(crashAlert().runModal()));
    }
    if (pid < 0) return run;
    size_t prompts = 0;
    auto nextPrompt = [&] {
        ++prompts;
        run.screen = readUntil(
            master, [&](const std::string &seen) { return promptCount(seen) >= prompts; }, run.screen);
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
    run.screen = readUntil(
        master, [](const std::string &) { return false; }, run.screen);
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
    EXPECT_NE(run.screen.find("Alert \"WARNING\" got no answer: the input ended."), std::string::npos) << run.screen;

    // An application on its way out (a SIGTERM during launch) shows no alert.
    auto ending = runPrompt({}, false, true);
    EXPECT_EQ(ending.status, 9) << ending.screen;
    EXPECT_EQ(ending.screen.find("Choose"), std::string::npos) << ending.screen;
    EXPECT_NE(ending.screen.find("Alert \"WARNING\" was not shown: the application is terminating."), std::string::npos)
        << ending.screen;
}

namespace {

// A stand-in zenity on PATH that records its arguments and ends as the real
// one does for what ZENITY_PRESS says: OK, CANCEL, ESCAPE, "EXTRA:<label>"
// for an extra button (prints the label, exits as Escape), "killed" for a
// signal, or an exit code of its own (0 for a destroyed window, 1 for a lost
// display, 255 for an error). Like the real one, it takes the codes from
// ZENITY_OK, ZENITY_CANCEL and ZENITY_ESC, 0, 1 and 1 without them.
class FakeZenity {
public:
    FakeZenity() {
        std::ofstream script(dir_.path() / "zenity");
        script << "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"" << argsPath().string() << "\"\n"
               << "case \"$ZENITY_PRESS\" in\n"
                  "  OK) exit \"${ZENITY_OK:-0}\";;\n"
                  "  CANCEL) exit \"${ZENITY_CANCEL:-1}\";;\n"
                  "  ESCAPE) exit \"${ZENITY_ESC:-1}\";;\n"
                  "  EXTRA:*) printf '%s\\n' \"${ZENITY_PRESS#EXTRA:}\"; exit \"${ZENITY_ESC:-1}\";;\n"
                  "  killed) kill -TERM $$;;\n"
                  "  *) exit \"$ZENITY_PRESS\";;\n"
                  "esac\n";
        script.close();
        std::filesystem::permissions(dir_.path() / "zenity", std::filesystem::perms::owner_all);
    }
    std::filesystem::path argsPath() const { return dir_.path() / "args"; }
    std::string args() const {
        std::ifstream in(argsPath());
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // Runs the alert in a child without a terminal, with this zenity first on PATH.
    testsupport::ChildResult run(const std::string &press, const char *display = ":77") const {
        const std::string path = dir_.path().string() + ":" + getenv("PATH");
        return testsupport::runInChild([=] {
            int null = open("/dev/null", O_RDONLY);
            dup2(null, STDIN_FILENO);
            setenv("PATH", path.c_str(), 1);
            if (display)
                setenv("DISPLAY", display, 1);
            else
                unsetenv("DISPLAY");
            unsetenv("WAYLAND_DISPLAY");
            setenv("ZENITY_PRESS", press.c_str(), 1);
            return statusFor(crashAlert().runModal());
        });
    }

private:
    testsupport::TemporaryDirectory dir_;
};

}  // namespace

TEST(AlertDesktopDialog, ZenityAnswersMapToTheButtons) {
    FakeZenity zenity;
    EXPECT_EQ(zenity.run("OK").exitCode, 0);
    EXPECT_EQ(zenity.args(),
              "--question\n--no-wrap\n--title=WARNING\n--text=<b>WARNING</b>\n\nPlotwick unexpectedly quit. Would you "
              "like to send a report so we can fix the problem?\n--ok-label=Send\n--cancel-label=Don't Send\n"
              "--extra-button=Always Send\n");
    EXPECT_EQ(zenity.run("CANCEL").exitCode, 1);
    EXPECT_EQ(zenity.run("EXTRA:Always Send").exitCode, 2);
    // A dialog gone without a button is no answer, and a line says why.
    auto escaped = zenity.run("ESCAPE");
    EXPECT_EQ(escaped.exitCode, 9);
    EXPECT_NE(escaped.output.find("Alert \"WARNING\" got no answer: the dialog was closed without a button."),
              std::string::npos)
        << escaped.output;
    for (const char *ending : {"0", "1", "255", "5", "killed", "EXTRA:Something"}) {
        auto child = zenity.run(ending);
        EXPECT_EQ(child.exitCode, 9) << ending;
        EXPECT_NE(child.output.find("Alert \"WARNING\" got no answer: zenity "), std::string::npos)
            << ending << ": " << child.output;
    }
}

TEST(AlertDesktopDialog, NoTerminalAndNoDisplayGivesNoAnswerAndSaysWhy) {
    FakeZenity zenity;
    auto child = zenity.run("OK", nullptr);
    EXPECT_EQ(child.exitCode, 9);
    EXPECT_FALSE(std::filesystem::exists(zenity.argsPath()));
    EXPECT_NE(child.output.find("Alert \"WARNING\" was not shown: the standard input is not a terminal and no display "
                                "is present, so nobody can answer it."),
              std::string::npos)
        << child.output;
}
