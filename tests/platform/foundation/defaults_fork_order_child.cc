// The program the fork-order test starts. Its defaults are made by a global
// initialiser, before the system log's objects are initialised (a
// program's own objects come before the libraries'), so the defaults' fork
// handling is set up before the log's. A thread then holds the defaults'
// file mutex, in a resolve, while another thread forks, and writes a line
// once the fork waits for that mutex: the fork must not hold the log's lock
// meanwhile. Exits 0 when the fork and the line both returned; a deadlock
// ends it by its alarm (SIGALRM). Its argument is the folder of the
// defaults.
#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "platform/foundation/UserDefaults.h"
#include "platform/syslog/SystemLog.h"

namespace {

// Reads the folder from the command line, as the global initialiser below
// runs before main.
std::string folderFromCommandLine() {
    std::ifstream in("/proc/self/cmdline");
    std::string arg;
    std::getline(in, arg, '\0');
    std::getline(in, arg, '\0');
    return arg;
}

const std::unique_ptr<platform::UserDefaults> early =
    std::make_unique<platform::UserDefaults>(folderFromCommandLine() + "/early.plist");

// Whether the thread waits in the kernel for a futex (x86_64's system call
// 202): the forking thread, once its handlers wait for a mutex.
bool waitsForAFutex(pid_t tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/syscall");
    std::string number;
    return in >> number && number == "202";
}

}  // namespace

int main(int argc, char **argv) {
    alarm(10);
    if (argc != 2 || folderFromCommandLine() != argv[1]) return 2;
    std::atomic<int> stage{0};  // 1: the resolve holds the file mutex; 2: it goes on
    std::thread writer([&] {
        early->loadOrStoreObject("Made", [&](const platform::Value &) {
            stage = 1;
            stage.notify_all();
            stage.wait(1);
            platform::SystemLog::write("a line written while the defaults' file mutex is held");
            return platform::Value("made");
        });
    });
    stage.wait(0);
    std::atomic<pid_t> forker{0};
    std::atomic<bool> forked{false};
    std::thread forking([&] {
        forker = gettid();
        const pid_t pid = fork();
        if (pid == 0) _exit(0);
        forked = pid > 0;
        if (pid > 0) waitpid(pid, nullptr, 0);
    });
    // The fork waits in its handlers for the file mutex the resolve holds.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while ((forker == 0 || !waitsForAFutex(forker)) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    stage = 2;
    stage.notify_all();
    writer.join();
    forking.join();
    return forked && early->stringForKey("Made") == "made" ? 0 : 3;
}
