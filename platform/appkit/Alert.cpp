#include "platform/appkit/Alert.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <sstream>

#include "platform/appkit/Application.h"
#include "platform/syslog/SystemLog.h"

extern char **environ;

namespace platform::appkit {

namespace {

void writeAll(int fd, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

// Whether the application ended the modal alert (Application::abortModal).
bool modalAborted() {
    const int fd = Application::modalAbortDescriptor();
    pollfd p{fd, POLLIN, 0};
    return fd >= 0 && poll(&p, 1, 0) == 1;
}

enum class Input { Line, End, Aborted };

// One line of the standard input, without its end, in `line`. Waits for the
// input and for an abort of the alert alike, so that a terminating
// application is not held in the read.
Input readLine(std::string &line) {
    line.clear();
    const int abortFd = Application::modalAbortDescriptor();
    while (true) {
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {abortFd, POLLIN, 0}};
        if (poll(fds, abortFd >= 0 ? 2 : 1, -1) < 0) {
            if (errno == EINTR) continue;
            return Input::End;
        }
        if (fds[1].revents & POLLIN) return Input::Aborted;
        char c;
        ssize_t n = read(STDIN_FILENO, &c, 1);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return line.empty() ? Input::End : Input::Line;
        if (c == '\n') return Input::Line;
        if (c != '\r') line += c;
    }
}

std::string lowercase(std::string text) {
    for (auto &c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return text;
}

std::string trimmed(const std::string &text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The first executable file of that name on PATH.
std::optional<std::string> findOnPath(const std::string &name) {
    const char *path = getenv("PATH");
    if (!path) return std::nullopt;
    std::stringstream dirs(path);
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return std::nullopt;
}

// Pango markup escapes, as zenity renders its texts as markup.
std::string markupEscaped(const std::string &text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        default: out += c;
        }
    }
    return out;
}

}  // namespace

long Alert::runModal() {
    if (buttons_.empty()) buttons_.push_back("OK");
    if (modalAborted()) {
        SystemLog::write("Alert \"" + messageText + "\" was not shown: the application is terminating.");
        return kNoAnswer;
    }
    if (isatty(STDIN_FILENO)) return runTerminalPrompt();
    const char *display = getenv("DISPLAY");
    const char *wayland = getenv("WAYLAND_DISPLAY");
    const bool hasDisplay = (display && *display) || (wayland && *wayland);
    auto zenity = hasDisplay ? findOnPath("zenity") : std::nullopt;
    if (zenity) return runDesktopDialog(*zenity);
    SystemLog::write("Alert \"" + messageText + "\" was not shown: the standard input is not a terminal and " +
                     (hasDisplay ? "zenity is not installed" : "no display is present") + ", so nobody can answer it.");
    return kNoAnswer;
}

long Alert::runTerminalPrompt() const {
    const int out = isatty(STDOUT_FILENO) ? STDOUT_FILENO : STDERR_FILENO;
    std::string text = "\n" + messageText + "\n" + informativeText + "\n";
    for (size_t i = 0; i < buttons_.size(); ++i) text += "  " + std::to_string(i + 1) + ") " + buttons_[i] + "\n";
    writeAll(out, text);
    while (true) {
        writeAll(out, "Choose 1-" + std::to_string(buttons_.size()) + ": ");
        std::string line;
        const Input input = readLine(line);
        if (input != Input::Line) {
            writeAll(out, "\n");
            SystemLog::write("Alert \"" + messageText + "\" got no answer: " +
                             (input == Input::End ? "the input ended." : "the application is terminating."));
            return kNoAnswer;
        }
        const std::string answer = trimmed(line);
        for (size_t i = 0; i < buttons_.size(); ++i) {
            if (answer == std::to_string(i + 1) || lowercase(answer) == lowercase(buttons_[i])) {
                return kFirstButtonReturn + static_cast<long>(i);
            }
        }
    }
}

long Alert::runDesktopDialog(const std::string &zenity) const {
    // A question dialog: its OK button is the first button, its Cancel
    // button the second, and extra buttons, which print their label, the
    // rest.
    std::vector<std::string> args = {
        zenity,
        buttons_.size() == 1 ? "--info" : "--question",
        "--no-wrap",
        "--title=" + messageText,
        "--text=<b>" + markupEscaped(messageText) + "</b>\n\n" + markupEscaped(informativeText),
        "--ok-label=" + buttons_[0]};
    if (buttons_.size() > 1) args.push_back("--cancel-label=" + buttons_[1]);
    for (size_t i = 2; i < buttons_.size(); ++i) args.push_back("--extra-button=" + buttons_[i]);
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    // zenity exits with 1 alike for Cancel, Escape, an extra button, the
    // window manager's close and a lost display, and with 0 for OK or a
    // destroyed window. It takes the codes of its buttons and of Escape from
    // the environment: codes of our own tell a button from everything else.
    const std::vector<std::string> codes = {
        "ZENITY_OK=" + std::to_string(kZenityOk), "ZENITY_CANCEL=" + std::to_string(kZenityCancel),
        "ZENITY_ESC=" + std::to_string(kZenityEscape), "ZENITY_EXTRA=" + std::to_string(kZenityExtra)};
    std::vector<std::string> environment;
    for (char **entry = environ; entry && *entry; ++entry) {
        const std::string e = *entry;
        const bool ours = std::any_of(codes.begin(), codes.end(), [&](const std::string &code) {
            return e.compare(0, code.find('=') + 1, code, 0, code.find('=') + 1) == 0;
        });
        if (!ours) environment.push_back(e);
    }
    environment.insert(environment.end(), codes.begin(), codes.end());
    std::vector<char *> envp;
    for (auto &e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);

    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return kNoAnswer;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, zenity.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (spawned != 0) {
        close(pipeFds[0]);
        SystemLog::write("Alert \"" + messageText + "\": zenity could not be started.");
        return kNoAnswer;
    }
    // Wait for zenity itself, not for the end of its output: helpers it
    // starts (the accessibility bus) inherit the pipe and may outlive it. Its
    // answer is one short line, which fits the pipe without blocking it.
    const bool aborted = !waitForDialog(pid, {});
    int status = 0;
    if (aborted) {
        endDialog(pid);
    } else {
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    }
    fcntl(pipeFds[0], F_SETFL, O_NONBLOCK);
    std::string printed;
    char buffer[256];
    while (true) {
        ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        printed.append(buffer, static_cast<size_t>(n));
    }
    close(pipeFds[0]);
    const std::string noAnswer = "Alert \"" + messageText + "\" got no answer: ";
    if (aborted) {
        SystemLog::write(noAnswer + "the application is terminating.");
        return kNoAnswer;
    }
    while (!printed.empty() && (printed.back() == '\n' || printed.back() == '\r')) printed.pop_back();
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (code == kZenityOk) return kFirstButtonReturn;
    if (code == kZenityCancel && buttons_.size() > 1) return kSecondButtonReturn;
    // An extra button prints its label; zenity gives it the code of Escape
    // (kZenityExtra where it has one of its own).
    if (code == kZenityEscape || code == kZenityExtra) {
        for (size_t i = 2; i < buttons_.size(); ++i) {
            if (printed == buttons_[i]) return kFirstButtonReturn + static_cast<long>(i);
        }
    }
    if (code == kZenityEscape && printed.empty()) {
        SystemLog::write(noAnswer + "the dialog was closed without a button.");
    } else if (WIFSIGNALED(status)) {
        SystemLog::write(noAnswer + "zenity was ended by signal " + std::to_string(WTERMSIG(status)) + ".");
    } else {
        SystemLog::write(noAnswer + "zenity ended with status " + std::to_string(code) +
                         (printed.empty() ? std::string() : " and printed \"" + printed + "\"") +
                         " without a button (the window was closed or the display lost).");
    }
    return kNoAnswer;
}

bool Alert::waitForDialog(pid_t pid, std::chrono::milliseconds bound) {
    // A pidfd turns readable when the child ends; without one (old kernels)
    // the child is looked at every 50 ms.
    const int pidFd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    const int abortFd = bound.count() > 0 ? -1 : Application::modalAbortDescriptor();
    const auto deadline = std::chrono::steady_clock::now() + bound;
    bool ended = false;
    while (!ended) {
        siginfo_t info{};
        if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid) {
            ended = true;
            break;
        }
        int timeout = pidFd >= 0 ? -1 : 50;
        if (bound.count() > 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            timeout = timeout < 0 ? static_cast<int>(left.count()) : std::min(timeout, static_cast<int>(left.count()));
        }
        pollfd fds[2] = {{abortFd, POLLIN, 0}, {pidFd, POLLIN, 0}};
        if (poll(fds, 2, timeout) < 0 && errno != EINTR) break;
        if (fds[0].revents & POLLIN) break;
    }
    if (pidFd >= 0) close(pidFd);
    return ended;
}

void Alert::endDialog(pid_t pid) {
    // Asked first, so that it can take its window down; killed when it does
    // not go within half a second. Reaped either way.
    kill(pid, SIGTERM);
    if (!waitForDialog(pid, std::chrono::milliseconds(500))) kill(pid, SIGKILL);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {}
}

}  // namespace platform::appkit
