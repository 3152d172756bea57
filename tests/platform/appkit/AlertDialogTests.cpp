// The alert's desktop dialog for real: zenity in an Xvfb display, read back
// from a screenshot with OCR and answered with a click or a key by xdotool.
// These tests run alone (RUN_SERIAL), and every wait is bounded by time, with
// room for a machine loaded well beyond its cores.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <fstream>
#include <sstream>

#include "platform/appkit/Alert.h"
#include "platform/appkit/Application.h"
#include "platform/appkit/CrashAlert.h"
#include "platform/dispatch/MainRunLoop.h"
#include "support/RunningChild.h"
#include "support/TestSupport.h"

using platform::appkit::Alert;

namespace {

bool haveTool(const std::string &name) {
    int code = -1;
    testsupport::runCommand("command -v " + name + " >/dev/null 2>&1", &code);
    return code == 0;
}

// An Xvfb server on a display number it picks itself; stopped when the
// object goes away.
class VirtualDisplay {
public:
    VirtualDisplay() {
        int fds[2];
        if (pipe(fds) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            close(fds[0]);
            int null = open("/dev/null", O_RDWR);
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
            const std::string fd = std::to_string(fds[1]);
            execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24", "-nolisten", "tcp",
                   static_cast<char *>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        std::string number;
        pollfd p{fds[0], POLLIN, 0};
        char c;
        while (poll(&p, 1, 20000) > 0 && read(fds[0], &c, 1) == 1 && c != '\n') number += c;
        close(fds[0]);
        if (!number.empty()) name_ = ":" + number;
    }
    ~VirtualDisplay() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    const std::string &name() const { return name_; }

private:
    pid_t pid_ = -1;
    std::string name_;
};

uint32_t bigEndian32(const std::string &data, size_t at) {
    return (uint32_t(uint8_t(data[at])) << 24) | (uint32_t(uint8_t(data[at + 1])) << 16) |
           (uint32_t(uint8_t(data[at + 2])) << 8) | uint32_t(uint8_t(data[at + 3]));
}

// Converts a 24-bit, 32-bits-per-pixel XWD window dump into a PPM image at
// twice its size (OCR reads small dialog text better so); false for any other
// layout.
bool xwdToPpm(const std::filesystem::path &xwd, const std::filesystem::path &ppm) {
    std::ifstream in(xwd, std::ios::binary);
    std::string data((std::istreambuf_iterator<char>(in)), {});
    if (data.size() < 100) return false;
    const uint32_t headerSize = bigEndian32(data, 0), width = bigEndian32(data, 16), height = bigEndian32(data, 20);
    const uint32_t byteOrder = bigEndian32(data, 28), bitsPerPixel = bigEndian32(data, 44);
    const uint32_t bytesPerLine = bigEndian32(data, 48), colours = bigEndian32(data, 76);
    const size_t pixels = size_t(headerSize) + size_t(colours) * 12;
    if (bitsPerPixel != 32 || byteOrder != 0 || data.size() < pixels + size_t(height) * bytesPerLine) return false;
    std::ofstream out(ppm, std::ios::binary);
    out << "P6 " << width * 2 << " " << height * 2 << " 255\n";
    for (uint32_t y = 0; y < height; ++y) {
        std::string row;
        for (uint32_t x = 0; x < width; ++x) {
            const size_t at = pixels + size_t(y) * bytesPerLine + size_t(x) * 4;
            const char rgb[3] = {data[at + 2], data[at + 1], data[at]};
            row.append(rgb, 3).append(rgb, 3);
        }
        out << row << row;
    }
    return true;
}

struct Word {
    std::string text;
    int centreX = 0, centreY = 0;  // in window coordinates
};

// The words OCR reads in the window, with where they are. tesseract runs on
// one thread: its OpenMP threads spin while they wait for each other, which
// on a loaded machine makes one read take minutes instead of a second.
std::vector<Word> readWindow(const std::string &display, const std::string &window,
                             const std::filesystem::path &folder) {
    const auto xwd = folder / "window.xwd", ppm = folder / "window.ppm";
    testsupport::runCommand("xwd -display " + display + " -id " + window + " -silent > " + xwd.string());
    if (!xwdToPpm(xwd, ppm)) return {};
    std::istringstream tsv(
        testsupport::runCommand("OMP_THREAD_LIMIT=1 tesseract " + ppm.string() + " stdout tsv 2>/dev/null"));
    std::vector<Word> words;
    std::string line;
    while (std::getline(tsv, line)) {
        std::istringstream fields(line);
        std::string level, page, block, par, lineNumber, word, left, top, width, height, conf, text;
        if (!(fields >> level >> page >> block >> par >> lineNumber >> word >> left >> top >> width >> height >>
              conf) ||
            level != "5" || !(fields >> text))
            continue;
        words.push_back(
            {text, (std::stoi(left) + std::stoi(width) / 2) / 2, (std::stoi(top) + std::stoi(height) / 2) / 2});
    }
    return words;
}

// A child that runs the crash alert on the display, forked before this
// process starts any other, so that it holds none of their pipes. With
// `asApplication`, the alert runs in an application's launch, where SIGINT
// and SIGTERM end the application.
class DialogChild {
public:
    DialogChild(const std::string &display, bool asApplication) {
        fflush(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            // Only a bound against a hang of the child itself; the test's own
            // waits are bounded by time on their own.
            alarm(900);
            int null = open("/dev/null", O_RDWR);
            dup2(null, STDIN_FILENO);
            dup2(null, STDOUT_FILENO);
            setenv("DISPLAY", display.c_str(), 1);
            unsetenv("WAYLAND_DISPLAY");
            if (!asApplication) _exit(alerttest::statusFor(alerttest::crashAlert().runModal()));
            platform::dispatch::MainRunLoop::adoptCurrentThreadAsMain();
            auto application = platform::appkit::Application::sharedApplication();
            application->setDelegate(std::make_shared<AlertOnLaunch>());
            application->run();
            _exit(alerttest::statusFor(AlertOnLaunch::answer));
        }
        child_.emplace(pid);
    }
    bool started() const { return child_->started(); }
    pid_t pid() const { return child_->pid(); }
    // Whether it ended within the time (milliseconds); reaps it then.
    bool ended(int milliseconds) { return child_->ended(milliseconds); }
    int status() const { return child_->status(); }

private:
    struct AlertOnLaunch : platform::appkit::ApplicationDelegate {
        static inline long answer = 0;
        void applicationDidFinishLaunching() override { answer = alerttest::crashAlert().runModal(); }
    };
    std::optional<testsupport::RunningChild> child_;
};

// The dialog's window, once it is visible; empty when none is within the
// time.
std::string findDialog(const std::string &display) {
    std::string window = testsupport::runCommand("DISPLAY=" + display +
                                                 " timeout 90 xdotool search --sync --onlyvisible --name '^WARNING$' "
                                                 "2>/dev/null | head -n 1");
    while (!window.empty() && (window.back() == '\n')) window.pop_back();
    return window;
}

// Repeats an input until the child ends, for a bounded time: input that
// arrives while GTK is still settling a new window can be lost.
bool answerUntilEnded(DialogChild &child, const std::string &display, const std::string &xdotoolCommand) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    while (std::chrono::steady_clock::now() < deadline) {
        testsupport::runCommand("DISPLAY=" + display + " timeout 30 xdotool " + xdotoolCommand + " 2>/dev/null");
        if (child.ended(1000)) return true;
    }
    return child.ended(0);
}

bool haveTheTools() {
    for (const char *tool : {"Xvfb", "zenity", "xdotool", "xwd", "tesseract"}) {
        if (!haveTool(tool)) return false;
    }
    return true;
}

std::string joined(const std::vector<Word> &words) {
    std::string text;
    for (const auto &w : words) text += w.text + " ";
    return text;
}

}  // namespace

TEST(AlertDesktopDialog, RealZenityShowsTheTextsAndReportsTheClickedButton) {
    if (!haveTheTools()) GTEST_SKIP() << "Xvfb, zenity, xdotool, xwd or tesseract is not installed (scripts/setup.sh)";
    VirtualDisplay display;
    ASSERT_FALSE(display.name().empty()) << "Xvfb did not start";
    testsupport::TemporaryDirectory folder;

    DialogChild child(display.name(), false);
    ASSERT_TRUE(child.started());
    const std::string window = findDialog(display.name());
    ASSERT_FALSE(window.empty()) << "the dialog did not show";

    // The window is mapped before GTK has drawn it: read it until the texts
    // are there, for a bounded time.
    std::vector<Word> words;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    do {
        words = readWindow(display.name(), window, folder.path());
        const std::string text = joined(words);
        if (text.find("unexpectedly quit") != std::string::npos && text.find("Always Send") != std::string::npos) break;
    } while (std::chrono::steady_clock::now() < deadline);
    const std::string text = joined(words);
    EXPECT_NE(text.find("WARNING"), std::string::npos) << text;
    EXPECT_NE(text.find("Plotwick unexpectedly quit. Would you like to send a report so we can fix the problem?"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("Always Send"), std::string::npos) << text;
    EXPECT_NE(text.find("Send Send"), std::string::npos) << text;  // "Don't Send", then "Send"
    EXPECT_NE(text.find("Don"), std::string::npos) << text;

    auto always = std::find_if(words.begin(), words.end(), [](const Word &w) { return w.text == "Always"; });
    const std::string click = always == words.end()
                                  ? "windowclose " + window
                                  : "mousemove --window " + window + " " + std::to_string(always->centreX) + " " +
                                        std::to_string(always->centreY) + " click 1";
    ASSERT_TRUE(answerUntilEnded(child, display.name(), click)) << "the dialog did not answer";
    ASSERT_TRUE(WIFEXITED(child.status()));
    EXPECT_EQ(WEXITSTATUS(child.status()), 2);
}

// Escape closes the dialog without a button: no answer. SIGINT and SIGTERM
// end the application within a second while the dialog is up, with no
// answer, and take the dialog down with it.
TEST(AlertDesktopDialog, RealZenityEscapeOrATerminationSignalGivesNoAnswer) {
    if (!haveTheTools()) GTEST_SKIP() << "Xvfb, zenity, xdotool, xwd or tesseract is not installed (scripts/setup.sh)";
    VirtualDisplay display;
    ASSERT_FALSE(display.name().empty()) << "Xvfb did not start";
    {
        DialogChild child(display.name(), false);
        ASSERT_TRUE(child.started());
        const std::string window = findDialog(display.name());
        ASSERT_FALSE(window.empty()) << "the dialog did not show";
        ASSERT_TRUE(answerUntilEnded(child, display.name(), "windowfocus " + window + " key Escape"))
            << "Escape did not close the dialog";
        ASSERT_TRUE(WIFEXITED(child.status()));
        EXPECT_EQ(WEXITSTATUS(child.status()), 9);
    }
    for (const int signal : {SIGINT, SIGTERM}) {
        DialogChild child(display.name(), true);
        ASSERT_TRUE(child.started());
        const std::string window = findDialog(display.name());
        ASSERT_FALSE(window.empty()) << "the dialog did not show";
        std::string zenityPid =
            testsupport::runCommand("DISPLAY=" + display.name() + " xdotool getwindowpid " + window + " 2>/dev/null");
        const pid_t zenity = zenityPid.empty() ? 0 : static_cast<pid_t>(std::stol(zenityPid));
        ASSERT_GT(zenity, 0);

        kill(child.pid(), signal);
        const auto sent = std::chrono::steady_clock::now();
        const bool ended = child.ended(10000);
        if (!ended) kill(zenity, SIGKILL);
        ASSERT_TRUE(ended) << strsignal(signal) << " did not end the application";
        EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(10));
        ASSERT_TRUE(WIFEXITED(child.status())) << strsignal(signal);
        EXPECT_EQ(WEXITSTATUS(child.status()), 9) << strsignal(signal);
        const bool left = kill(zenity, 0) == 0;
        EXPECT_FALSE(left) << "zenity was left behind";
        if (left) kill(zenity, SIGKILL);
    }
}
