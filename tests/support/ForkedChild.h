#pragma once
// Runs a piece of a test in a forked child with a time limit, for whatever is
// process-global (terminate and signal handlers, singletons' crash state, a
// process that is meant to end abnormally). The parent reads what the child
// printed and how it ended.
#include <functional>
#include <string>

namespace testsupport {

struct ChildResult {
    bool exited = false;  // ended through exit; exitCode holds its status
    int exitCode = -1;
    int signal = 0;      // the signal that ended it, when it did not exit
    std::string output;  // everything it wrote to stdout and stderr
};

// Forks; the child runs `body` on a thread of its own (its answer becomes
// the exit status; an exception thrown out of it ends the child as an
// uncaught one) and is killed by SIGALRM after `seconds`.
ChildResult runInChild(const std::function<int()> &body, unsigned seconds = 20);

}  // namespace testsupport
