// The launch benchmark's baseline: a program linked against the same
// libraries as plotwick that opens the same log store, then waits for SIGINT
// as the application does, without starting anything.
#include "BCLogDBStorage.h"

#include <csignal>

namespace {

volatile sig_atomic_t interrupted = 0;

void onInterrupt(int) { interrupted = 1; }

}  // namespace

int main() {
    auto storage = BCLogDBStorage::make();
    if (storage == nullptr) {
        return 1;
    }
    (void)storage->countLogs();
    // SIGINT stays blocked except inside sigsuspend: one that came between
    // the test and a plain pause() would leave the program waiting forever.
    sigset_t blocked, waiting;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigprocmask(SIG_BLOCK, &blocked, &waiting);
    sigdelset(&waiting, SIGINT);
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    while (!interrupted) {
        sigsuspend(&waiting);
    }
    return 0;
}
