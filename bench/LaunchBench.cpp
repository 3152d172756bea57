// What a launch of the real application costs: plotwick from exec until it
// handles SIGINT, then SIGINT and its exit, beside a bare program linked
// against the same libraries that opens the same log store and waits for
// SIGINT. Each figure is the median of a series of launches, every launch
// in the same home (the files of the first one exist, as on a user's
// machine); the ratio of medians is printed at the end.
#include <benchmark/benchmark.h>

#include "RatioReporter.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

constexpr int kLaunches = 30;

// A home of its own for a program's launches, removed at the end.
class Home {
public:
    Home() {
        std::string pattern = (std::filesystem::temp_directory_path() / "plotwick-launch-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) std::abort();
        path_ = pattern;
    }
    ~Home() {
        std::error_code error;
        std::filesystem::remove_all(path_, error);
    }
    std::vector<std::string> environment() const {
        std::vector<std::string> env;
        for (char **e = environ; *e != nullptr; ++e) {
            std::string entry(*e);
            bool ours = false;
            for (const char *name : {"HOME=", "XDG_CONFIG_HOME=", "XDG_DATA_HOME=", "XDG_CACHE_HOME=", "TMPDIR="}) {
                ours = ours || entry.rfind(name, 0) == 0;
            }
            if (!ours) env.push_back(entry);
        }
        for (const char *name : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "TMPDIR"}) {
            env.push_back(std::string(name) + "=" + path_.string());
        }
        return env;
    }

private:
    std::filesystem::path path_;
};

// True once the process has a handler for SIGINT (its SigCgt mask).
bool handlesInterrupt(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("SigCgt:", 0) == 0) {
            unsigned long long mask = std::strtoull(line.c_str() + 7, nullptr, 16);
            return (mask & (1ULL << (SIGINT - 1))) != 0;
        }
    }
    return false;
}

// One launch: spawned, polled until it handles SIGINT, interrupted, reaped.
// The seconds it took, or a negative value when it failed.
double launchOnce(const std::string &program, const Home &home) {
    std::vector<std::string> env = home.environment();
    std::vector<char *> envp;
    for (auto &e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string arg0 = program;
    char *argv[] = {arg0.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return -1;
    const auto deadline = start + std::chrono::seconds(20);
    const timespec pause{0, 50 * 1000};
    while (!handlesInterrupt(pid)) {
        if (std::chrono::steady_clock::now() > deadline || waitpid(pid, nullptr, WNOHANG) == pid) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            return -1;
        }
        nanosleep(&pause, nullptr);
    }
    kill(pid, SIGINT);
    int status = 0;
    waitpid(pid, &status, 0);
    const auto end = std::chrono::steady_clock::now();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return std::chrono::duration<double>(end - start).count();
}

// Median of kLaunches launches in one home, after an untimed first launch
// that creates its files.
void Launch(benchmark::State &state, const std::string &program) {
    Home home;
    if (launchOnce(program, home) < 0) {
        state.SkipWithError("the first launch failed");
        return;
    }
    for (auto _ : state) {
        std::vector<double> times;
        for (int i = 0; i < kLaunches; ++i) {
            double t = launchOnce(program, home);
            if (t < 0) {
                state.SkipWithError("a launch failed");
                return;
            }
            times.push_back(t);
        }
        std::nth_element(times.begin(), times.begin() + kLaunches / 2, times.end());
        state.SetIterationTime(times[kLaunches / 2]);
    }
}

}  // namespace

// PLOTWICK_LAUNCH_EXECUTABLE names another plotwick to launch (an older
// build, for a figure before a change).
std::string plotwickPath() {
    const char *other = getenv("PLOTWICK_LAUNCH_EXECUTABLE");
    return other != nullptr ? other : PLOTWICK_EXECUTABLE;
}

BENCHMARK_CAPTURE(Launch, bare, std::string(PLOTWICK_LAUNCH_BARE))
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Launch, plotwick, plotwickPath())->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter(std::map<std::string, std::string>{{"Launch", "bare"}});
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
