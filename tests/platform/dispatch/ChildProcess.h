#pragma once
// Runs parts of the dispatch tests in a fresh child process: the test binary
// re-executes itself with a role in the environment, and the role's body runs
// at start-up, before any test and before any other thread exists.
namespace dispatchtests {

// The exit status of a child that ran its role's body without a failure,
// distinct from the 0 of a plain test run.
constexpr int kChildPassed = 42;

// In a static initializer: when this process was started for `role`, runs
// `body` and exits with kChildPassed when it answered 0, else with its answer.
bool runChildRole(const char *role, int (*body)());

// Starts this binary for `role` with a time limit of `seconds` and waits for
// it. Answers its exit status, or 128 plus the signal that ended it.
int spawnChildRole(const char *role, unsigned seconds = 10);

}  // namespace dispatchtests
