#include "ChildProcess.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/syslog/SystemLog.h"

namespace dispatchtests {

namespace {
constexpr char kRoleVariable[] = "PLOTWICK_DISPATCH_CHILD_ROLE";
}

bool runChildRole(const char *role, int (*body)()) {
    const char *wanted = std::getenv(kRoleVariable);
    if (wanted == nullptr || std::strcmp(wanted, role) != 0) {
        return false;
    }
    platform::SystemLog::setSink([](const std::string &) {});
    const int failures = body();
    std::exit(failures == 0 ? kChildPassed : failures);
}

int spawnChildRole(const char *role, unsigned seconds) {
    std::vector<std::string> environment{std::string(kRoleVariable) + "=" + role};
    for (char **variable = environ; *variable != nullptr; ++variable) {
        if (std::strncmp(*variable, kRoleVariable, sizeof kRoleVariable - 1) != 0) {
            environment.emplace_back(*variable);
        }
    }
    std::vector<char *> envp;
    for (auto &entry : environment) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    char path[] = "/proc/self/exe";
    char noTests[] = "--gtest_filter=-*";  // should the role be missed, run nothing
    char *argv[] = {path, noTests, nullptr};

    const pid_t child = fork();
    if (child < 0) {
        return -1;
    }
    if (child == 0) {
        alarm(seconds);  // the time limit carries over the exec
        execve(path, argv, envp.data());
        _exit(127);
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace dispatchtests
