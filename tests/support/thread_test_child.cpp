#include "thread_test_child.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace threadtest {

std::string runInChild(const std::function<std::string()> &body, int timeoutMs) {
    int fds[2];
    if (pipe(fds) != 0) return "pipe failed";
    const pid_t pid = fork();
    if (pid < 0) return "fork failed";
    if (pid == 0) {
        close(fds[0]);
        const std::string result = body();
        const std::string message = "result:" + result;
        size_t written = 0;
        while (written < message.size()) {
            const ssize_t n = write(fds[1], message.data() + written, message.size() - written);
            if (n <= 0) break;
            written += static_cast<size_t>(n);
        }
        _exit(0);
    }
    close(fds[1]);
    std::string output;
    bool timedOut = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timedOut = true;
            break;
        }
        pollfd p{fds[0], POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) continue;
        char buffer[512];
        const ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        output.append(buffer, static_cast<size_t>(n));
    }
    close(fds[0]);
    if (timedOut) kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    if (timedOut) return "child timed out; it said: " + output;
    if (WIFSIGNALED(status)) return "child died of signal " + std::to_string(WTERMSIG(status)) + "; it said: " + output;
    if (output.rfind("result:", 0) != 0) return "child ended without a result: " + output;
    return output.substr(7);
}

}  // namespace threadtest
