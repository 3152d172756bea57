#include "platform/appkit/Workspace.h"

#include <spawn.h>
#include <cerrno>
#include <sys/wait.h>

extern char **environ;

namespace platform::appkit {

bool Workspace::openURL(const std::string &url) {
    if (url.empty()) return false;
    pid_t pid;
    // The URL is one argument: no shell sees it.
    char *argv[] = {const_cast<char *>("xdg-open"), const_cast<char *>(url.c_str()), nullptr};
    if (posix_spawnp(&pid, "xdg-open", nullptr, nullptr, argv, environ) != 0) return false;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace platform::appkit
