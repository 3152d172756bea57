// What a launch of the real application costs, beside a bare program linked
// against the same libraries that opens the same log store and waits for
// SIGINT, in two figures:
// - Ready: from exec until the main thread waits with nothing to do (in the
//   run loop's wait, for the bare program in sigsuspend), seen from outside
//   in /proc/<pid>/task/<pid>/syscall: a condition wait without a deadline
//   (futex FUTEX_WAIT_BITSET, no timeout) or sigsuspend. Nothing else on
//   plotwick's main thread waits that way during its launch.
// - Exit: from SIGINT, sent once it is ready, until it has exited.
// Each figure is the median of a series of launches, every launch in the same
// home (the files of the first one exist, as on a user's machine); the
// ratios of medians are printed at the end.
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
#include <linux/futex.h>
#include <optional>
#include <spawn.h>
#include <string>
#include <sys/syscall.h>
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

// True once the process's main thread waits with nothing to do: blocked in
// sigsuspend, or in a futex wait of the bitset kind without a timeout (how a
// condition variable waits without a deadline; a mutex waits with
// FUTEX_WAIT).
bool mainThreadIdle(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/syscall");
    long number = -1;
    std::string arguments[4];
    if (!(file >> number)) return false;  // "running"
    for (auto &argument : arguments) file >> argument;
    if (number == SYS_rt_sigsuspend) return true;
    if (number != SYS_futex) return false;
    const unsigned long op = std::strtoul(arguments[1].c_str(), nullptr, 16) & FUTEX_CMD_MASK;
    return op == FUTEX_WAIT_BITSET && std::strtoul(arguments[3].c_str(), nullptr, 16) == 0;
}

struct LaunchTimes {
    double ready;  // seconds from exec until idle
    double exit;   // seconds from SIGINT until reaped
};

// One launch: spawned, polled until idle, interrupted, reaped. Nothing when
// it failed.
std::optional<LaunchTimes> launchOnce(const std::string &program, const Home &home) {
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
    if (spawned != 0) return std::nullopt;
    const auto deadline = start + std::chrono::seconds(20);
    const timespec pause{0, 50 * 1000};
    while (!mainThreadIdle(pid)) {
        if (std::chrono::steady_clock::now() > deadline || waitpid(pid, nullptr, WNOHANG) == pid) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            return std::nullopt;
        }
        nanosleep(&pause, nullptr);
    }
    const auto ready = std::chrono::steady_clock::now();
    kill(pid, SIGINT);
    int status = 0;
    waitpid(pid, &status, 0);
    const auto end = std::chrono::steady_clock::now();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
    return LaunchTimes{std::chrono::duration<double>(ready - start).count(),
                       std::chrono::duration<double>(end - ready).count()};
}

double median(std::vector<double> values) {
    std::nth_element(values.begin(), values.begin() + static_cast<long>(values.size() / 2), values.end());
    return values[values.size() / 2];
}

// The medians of kLaunches launches of a program in one home, after an
// untimed first launch that creates its files; run once per program, for
// both figures.
const std::optional<LaunchTimes> &series(const std::string &program) {
    static std::map<std::string, std::optional<LaunchTimes>> done;
    auto found = done.find(program);
    if (found != done.end()) return found->second;
    std::optional<LaunchTimes> result;
    Home home;
    if (launchOnce(program, home)) {
        std::vector<double> ready, exit;
        for (int i = 0; i < kLaunches; ++i) {
            const auto times = launchOnce(program, home);
            if (!times) break;
            ready.push_back(times->ready);
            exit.push_back(times->exit);
        }
        if (ready.size() == static_cast<size_t>(kLaunches)) result = LaunchTimes{median(ready), median(exit)};
    }
    return done.emplace(program, result).first->second;
}

// One figure of the program's series: its ready or its exit time.
void Figure(benchmark::State &state, const std::string &program, double LaunchTimes::*figure) {
    const auto &times = series(program);
    if (!times) {
        state.SkipWithError("a launch failed");
        return;
    }
    for (auto _ : state) state.SetIterationTime((*times).*figure);
}

void Ready(benchmark::State &state, const std::string &program) { Figure(state, program, &LaunchTimes::ready); }
void Exit(benchmark::State &state, const std::string &program) { Figure(state, program, &LaunchTimes::exit); }

}  // namespace

// PLOTWICK_LAUNCH_EXECUTABLE names another plotwick to launch (an older
// build, for a figure before a change).
std::string plotwickPath() {
    const char *other = getenv("PLOTWICK_LAUNCH_EXECUTABLE");
    return other != nullptr ? other : PLOTWICK_EXECUTABLE;
}

BENCHMARK_CAPTURE(Ready, bare, std::string(PLOTWICK_LAUNCH_BARE))
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Ready, plotwick, plotwickPath())->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Exit, bare, std::string(PLOTWICK_LAUNCH_BARE))
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Exit, plotwick, plotwickPath())->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter(std::map<std::string, std::string>{{"Ready", "bare"}, {"Exit", "bare"}});
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
