#pragma once
// Runs a test body in a forked child with a time limit, for tests that touch
// process-wide state (signal handlers, suspended threads).
#include <functional>
#include <string>

namespace threadtest {

// Runs `body` in a child process and returns what it returned ("" means
// success), or a description of how the child failed: killed by a signal, or
// stopped after `timeoutMs`.
std::string runInChild(const std::function<std::string()> &body, int timeoutMs = 20000);

}  // namespace threadtest

// Builds the failure text of a check inside a child.
#define THREAD_CHILD_CHECK(condition, detail)                                                               \
    do {                                                                                                    \
        if (!(condition)) {                                                                                 \
            return std::string("line ") + std::to_string(__LINE__) + ": " #condition " (" + (detail) + ")"; \
        }                                                                                                   \
    } while (0)
