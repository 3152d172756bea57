#include "platform/appkit/Workspace.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

extern char **environ;

namespace platform::appkit {

bool Workspace::openURL(const std::string &url, double waitSeconds) {
    if (url.empty() || url[0] == '-') return false;
    pid_t pid;
    // The URL is one argument: no shell sees it.
    char *argv[] = {const_cast<char *>("xdg-open"), const_cast<char *>(url.c_str()), nullptr};
    if (posix_spawnp(&pid, "xdg-open", nullptr, nullptr, argv, environ) != 0) return false;

    // The opener is reaped on a thread of its own, which outlives this call
    // when the opener stays in the foreground.
    struct Outcome {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        bool succeeded = false;
    };
    auto outcome = std::make_shared<Outcome>();
    auto reap = [pid, outcome] {
        int status = 0;
        pid_t waited;
        while ((waited = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {}
        std::lock_guard<std::mutex> lock(outcome->mutex);
        outcome->finished = true;
        outcome->succeeded = waited == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
        outcome->done.notify_all();
    };
    try {
        std::thread(reap).detach();
    } catch (const std::system_error &) {
        reap();  // no thread to spare: wait here
    }
    std::unique_lock<std::mutex> lock(outcome->mutex);
    double bounded = waitSeconds > 0 ? (waitSeconds < 3600 ? waitSeconds : 3600) : 0;
    bool finished =
        outcome->done.wait_for(lock, std::chrono::duration<double>(bounded), [&] { return outcome->finished; });
    return finished ? outcome->succeeded : true;
}

}  // namespace platform::appkit
