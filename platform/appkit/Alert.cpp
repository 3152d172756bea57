#include "platform/appkit/Alert.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <sstream>

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

// One line of the standard input, without its end; nothing at end of input.
std::optional<std::string> readLine() {
    std::string line;
    while (true) {
        char c;
        ssize_t n = read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return line.empty() ? std::nullopt : std::optional<std::string>(line);
        if (c == '\n') return line;
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
    if (isatty(STDIN_FILENO)) return runTerminalPrompt();
    const char *display = getenv("DISPLAY");
    const char *wayland = getenv("WAYLAND_DISPLAY");
    const bool hasDisplay = (display && *display) || (wayland && *wayland);
    auto zenity = hasDisplay ? findOnPath("zenity") : std::nullopt;
    if (zenity) return runDesktopDialog(*zenity);
    SystemLog::write("Alert \"" + messageText + "\" was not shown: the standard input is not a terminal and " +
                     (hasDisplay ? "zenity is not installed" : "no display is present") +
                     ", so nobody can answer it.");
    return kNoAnswer;
}

long Alert::runTerminalPrompt() const {
    const int out = isatty(STDOUT_FILENO) ? STDOUT_FILENO : STDERR_FILENO;
    std::string text = "\n" + messageText + "\n" + informativeText + "\n";
    for (size_t i = 0; i < buttons_.size(); ++i) text += "  " + std::to_string(i + 1) + ") " + buttons_[i] + "\n";
    writeAll(out, text);
    while (true) {
        writeAll(out, "Choose 1-" + std::to_string(buttons_.size()) + ": ");
        auto line = readLine();
        if (!line) {
            writeAll(out, "\n");
            return kNoAnswer;
        }
        const std::string answer = trimmed(*line);
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
    std::vector<std::string> args = {zenity, buttons_.size() == 1 ? "--info" : "--question", "--no-wrap",
                                     "--title=" + messageText,
                                     "--text=<b>" + markupEscaped(messageText) + "</b>\n\n" +
                                         markupEscaped(informativeText),
                                     "--ok-label=" + buttons_[0]};
    if (buttons_.size() > 1) args.push_back("--cancel-label=" + buttons_[1]);
    for (size_t i = 2; i < buttons_.size(); ++i) args.push_back("--extra-button=" + buttons_[i]);
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return kNoAnswer;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, zenity.c_str(), &actions, nullptr, argv.data(), environ);
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
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
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
    if (!WIFEXITED(status)) return kNoAnswer;
    const int code = WEXITSTATUS(status);
    if (code == 0) return kFirstButtonReturn;
    if (code != 1) return kNoAnswer;
    while (!printed.empty() && (printed.back() == '\n' || printed.back() == '\r')) printed.pop_back();
    for (size_t i = 2; i < buttons_.size(); ++i) {
        if (printed == buttons_[i]) return kFirstButtonReturn + static_cast<long>(i);
    }
    // Cancel, or the window closed: the second button, as Escape picks it.
    return buttons_.size() > 1 && printed.empty() ? kSecondButtonReturn : kNoAnswer;
}

}  // namespace platform::appkit
