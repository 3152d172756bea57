#include "support/ForkedChild.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace testsupport {

namespace {

struct ChildBody {
    const std::function<int()> *body;
    int code;
};

// The child's body runs on a thread of its own, so that an exception that
// leaves it finds no handler (the test framework's would catch it on the
// test's thread) and ends the child as an uncaught one does.
void *runBody(void *argument) {
    auto *child = static_cast<ChildBody *>(argument);
    child->code = (*child->body)();
    return nullptr;
}

}  // namespace

ChildResult runInChild(const std::function<int()> &body, unsigned seconds) {
    ChildResult result;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return result;
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return result;
    }
    if (pid == 0) {
        close(fds[0]);
        dup2(fds[1], STDOUT_FILENO);
        dup2(fds[1], STDERR_FILENO);
        alarm(seconds);
        ChildBody child{&body, 127};
        pthread_t thread;
        if (pthread_create(&thread, nullptr, runBody, &child) != 0 || pthread_join(thread, nullptr) != 0) _exit(126);
        fflush(nullptr);
        _exit(child.code);
    }
    close(fds[1]);
    // Read until the child has ended, not until the end of its output:
    // processes it started may inherit the pipe and outlive it.
    const int childFd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    char buffer[4096];
    while (true) {
        pollfd watched[2] = {{fds[0], POLLIN, 0}, {childFd, POLLIN, 0}};
        if (poll(watched, childFd >= 0 ? 2 : 1, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (watched[0].revents & (POLLIN | POLLHUP)) {
            ssize_t n = read(fds[0], buffer, sizeof buffer);
            if (n > 0) result.output.append(buffer, static_cast<size_t>(n));
            if (n > 0 || (n < 0 && errno == EINTR)) continue;
            break;  // end of output
        }
        if (watched[1].revents & POLLIN) {
            // The child has ended: take what is still buffered, then stop.
            fcntl(fds[0], F_SETFL, O_NONBLOCK);
            for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;)
                result.output.append(buffer, static_cast<size_t>(n));
            break;
        }
    }
    if (childFd >= 0) close(childFd);
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    if (WIFEXITED(status)) {
        result.exited = true;
        result.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    return result;
}

}  // namespace testsupport
