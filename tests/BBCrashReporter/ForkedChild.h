#pragma once
// Runs a test body in a forked child under a kill timer, for what is
// process-wide (signal handlers, the crash reporter's once-only state).
#include <functional>

namespace bbcrashtest {

struct ChildResult {
    bool timedOut = false;
    bool exited = false;
    int exitCode = -1;  // when exited
    int signal = 0;     // when killed by a signal
};

// The child runs `body` and exits with what it returns (0 for success; a
// check's line number otherwise), unless a signal ends it first.
ChildResult runForked(const std::function<int()> &body, int timeoutMs = 10000);

}  // namespace bbcrashtest

// Inside a forked body: return the line when the condition fails.
#define CHILD_CHECK(condition) \
    do {                       \
        if (!(condition)) {    \
            return __LINE__ % 250 + 1; \
        }                      \
    } while (0)
