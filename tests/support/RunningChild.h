#pragma once
// A child process that a test forked and watches while it runs: it waits for
// the child's end with a bound (through a pidfd, so no polling of waitpid),
// reaps it, and kills it when the test leaves it running.
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

class RunningChild {
public:
    RunningChild() = default;
    // Watches `pid`, a child of this process (nothing when it is not > 0).
    explicit RunningChild(pid_t pid) : pid_(pid) {
        pidfd_ = pid_ > 0 ? static_cast<int>(syscall(SYS_pidfd_open, pid_, 0)) : -1;
    }
    ~RunningChild() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (pidfd_ >= 0) close(pidfd_);
    }
    RunningChild(const RunningChild &) = delete;
    RunningChild &operator=(const RunningChild &) = delete;

    bool started() const { return pidfd_ >= 0; }
    pid_t pid() const { return pid_; }
    // Whether it ended within the time (milliseconds); reaps it then.
    bool ended(int milliseconds) {
        if (reaped_) return true;
        pollfd p{pidfd_, POLLIN, 0};
        if (poll(&p, 1, milliseconds) != 1) return false;
        waitpid(pid_, &status_, 0);
        reaped_ = true;
        return true;
    }
    // The wait status, once it ended.
    int status() const { return status_; }

private:
    pid_t pid_ = -1;
    int pidfd_ = -1;
    int status_ = 0;
    bool reaped_ = false;
};

}  // namespace testsupport
