// What the application costs while it waits: build/app/plotwick started in a
// fresh home (nothing pending, so nothing asks), left to finish its launch
// work, then watched for a while: the context switches of all its threads in
// that window and its thread count, beside a bare program that loads the same
// shared libraries and waits for SIGINT, watched the same way.
//
//   bench_idle [--seconds=60] [--settle=20] [--plotwick=PATH]
//
// The window opens `settle` seconds after launch: by 20 s the first send has
// failed (the default log URL's host does not resolve) and its retry 10 s
// later has too; the next retry is due minutes later, so nothing is due in a
// minute's window.
// A thread's context switches are read from /proc/<pid>/task/<tid>/status
// several times a second; a thread that ends in the window counts with the
// last figure read, and one that starts in it counts from zero. The whole
// life's figure from wait4 (launch and exit included) is printed beside it.
// Not a Google Benchmark: one long measurement of another process is the
// figure, not the time of a repeated operation.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    double seconds = 60;
    double settle = 20;
    std::string plotwick = PLOTWICK_EXECUTABLE;
};

// The context switches (voluntary and not) of one thread, or -1 when it has
// ended.
long long switchesOf(pid_t pid, const std::string &tid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/task/" + tid + "/status");
    if (!status) return -1;
    long long total = 0;
    bool found = false;
    std::string line;
    while (std::getline(status, line)) {
        for (const char *key : {"voluntary_ctxt_switches:", "nonvoluntary_ctxt_switches:"}) {
            if (line.rfind(key, 0) == 0) {
                total += std::atoll(line.c_str() + std::strlen(key));
                found = true;
            }
        }
    }
    return found ? total : -1;
}

std::vector<std::string> threadsOf(pid_t pid) {
    std::vector<std::string> tids;
    DIR *dir = opendir(("/proc/" + std::to_string(pid) + "/task").c_str());
    if (!dir) return tids;
    while (dirent *entry = readdir(dir)) {
        if (entry->d_name[0] != '.') tids.emplace_back(entry->d_name);
    }
    closedir(dir);
    return tids;
}

std::string nameOf(pid_t pid, const std::string &tid) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/task/" + tid + "/comm");
    std::string name;
    std::getline(comm, name);
    return name.empty() ? "?" : name;
}

// Every thread's latest figure, kept after the thread has ended, and its name.
void sample(pid_t pid, std::map<std::string, long long> &latest, std::map<std::string, std::string> &names) {
    for (const auto &tid : threadsOf(pid)) {
        long long n = switchesOf(pid, tid);
        if (n >= 0) latest[tid] = n;
        if (!names.count(tid)) names[tid] = nameOf(pid, tid);
    }
}

long long sum(const std::map<std::string, long long> &figures) {
    long long total = 0;
    for (const auto &[tid, n] : figures) total += n;
    return total;
}

struct Figures {
    std::size_t threadsAt5s = 0;
    std::size_t threadsAtEnd = 0;
    long long switchesInWindow = 0;
    long long switchesInLife = 0;
    std::size_t threadsEndedInWindow = 0;
    std::string busyThreads;  // "name:switches" of each thread switched in the window
    bool ok = false;
};

std::string makeHome() {
    std::string pattern = (std::filesystem::temp_directory_path() / "plotwick-idle-XXXXXX").string();
    if (!mkdtemp(pattern.data())) return {};
    return pattern;
}

// Starts `argv` in a fresh home with no display, its input from /dev/null and
// its output in the home's "output" file, and measures it.
Figures measure(const std::vector<std::string> &arguments, const Options &options) {
    Figures figures;
    const std::string home = makeHome();
    if (home.empty()) return figures;
    // Everything the child needs is made here: after fork it only execs.
    const char *subfolders[] = {"", "/.config", "/.local/share", "/.cache"};
    const char *variables[] = {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"};
    std::vector<std::string> environment;
    for (int i = 0; i < 4; ++i) {
        const std::string dir = home + subfolders[i];
        std::filesystem::create_directories(dir);
        environment.push_back(std::string(variables[i]) + "=" + dir);
    }
    for (char **entry = environ; *entry; ++entry) {
        const std::string e = *entry;
        const std::string name = e.substr(0, e.find('='));
        bool replaced = name == "DISPLAY" || name == "WAYLAND_DISPLAY";
        for (const char *v : variables) replaced = replaced || name == v;
        if (!replaced) environment.push_back(e);
    }
    std::vector<char *> envp;
    for (auto &e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<char *> argv;
    for (const auto &a : arguments) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int out = open((home + "/output").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (in < 0 || out < 0) return figures;

    const Clock::time_point launched = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in, STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        dup2(out, STDERR_FILENO);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(in);
    close(out);
    if (pid < 0) return figures;

    auto sleepUntil = [&](Clock::time_point when) {
        int status;
        while (Clock::now() < when) {
            if (waitpid(pid, &status, WNOHANG) == pid) return false;
            std::this_thread::sleep_for(std::min<Clock::duration>(when - Clock::now(), std::chrono::milliseconds(100)));
        }
        return true;
    };
    bool alive = sleepUntil(launched + std::chrono::seconds(5));
    figures.threadsAt5s = threadsOf(pid).size();
    const auto windowStart = launched + std::chrono::duration_cast<Clock::duration>(
                                            std::chrono::duration<double>(std::max(options.settle, 5.0)));
    alive = alive && sleepUntil(windowStart);
    std::map<std::string, long long> atStart, latest;
    std::map<std::string, std::string> names;
    sample(pid, atStart, names);
    latest = atStart;
    const auto windowEnd =
        windowStart + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.seconds));
    while (alive && Clock::now() < windowEnd) {
        alive = sleepUntil(std::min(windowEnd, Clock::now() + std::chrono::milliseconds(100)));
        if (alive) sample(pid, latest, names);
    }
    const auto live = threadsOf(pid);
    figures.threadsAtEnd = live.size();
    for (const auto &[tid, n] : latest) {
        bool stillThere = false;
        for (const auto &t : live) stillThere = stillThere || t == tid;
        if (!stillThere) ++figures.threadsEndedInWindow;
    }
    figures.switchesInWindow = sum(latest) - sum(atStart);
    for (const auto &[tid, n] : latest) {
        const long long before = atStart.count(tid) ? atStart[tid] : 0;
        if (n > before) figures.busyThreads += " " + names[tid] + ":" + std::to_string(n - before);
    }

    kill(pid, SIGINT);
    int status = 0;
    rusage usage{};
    pid_t waited = -1;
    const auto exitDeadline = Clock::now() + std::chrono::seconds(20);
    while ((waited = wait4(pid, &status, WNOHANG, &usage)) == 0 && Clock::now() < exitDeadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (waited != pid) {
        kill(pid, SIGKILL);
        waited = wait4(pid, &status, 0, &usage);
    }
    figures.switchesInLife = usage.ru_nvcsw + usage.ru_nivcsw;
    figures.ok = alive;
    if (!alive) {
        std::fprintf(stderr, "%s ended before the window closed; its output:\n", arguments[0].c_str());
        std::ifstream output(home + "/output");
        std::fprintf(stderr, "%s\n", std::string(std::istreambuf_iterator<char>(output), {}).c_str());
    }
    std::error_code ignored;
    std::filesystem::remove_all(home, ignored);
    return figures;
}

// The baseline: this program itself, which links the application's shared
// libraries, doing nothing until SIGINT.
int runBare() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    int signal = 0;
    sigwait(&set, &signal);
    return 0;
}

void print(const char *name, const Figures &f, const Options &options) {
    std::printf(
        "  %-10s threads at 5 s %3zu, at the end %3zu (%zu ended in the window); "
        "context switches in %.0f s: %6lld (%.2f/s), whole life %lld\n",
        name, f.threadsAt5s, f.threadsAtEnd, f.threadsEndedInWindow, options.seconds, f.switchesInWindow,
        static_cast<double>(f.switchesInWindow) / options.seconds, f.switchesInLife);
    if (!f.busyThreads.empty()) std::printf("             switched in the window:%s\n", f.busyThreads.c_str());
}

}  // namespace

int main(int argc, char **argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--bare") return runBare();
        if (a.rfind("--seconds=", 0) == 0)
            options.seconds = std::atof(a.c_str() + 10);
        else if (a.rfind("--settle=", 0) == 0)
            options.settle = std::atof(a.c_str() + 9);
        else if (a.rfind("--plotwick=", 0) == 0)
            options.plotwick = a.substr(11);
        else {
            std::fprintf(stderr, "usage: %s [--seconds=60] [--settle=20] [--plotwick=PATH]\n", argv[0]);
            return 2;
        }
    }
    if (options.seconds <= 0) options.seconds = 60;
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return 1;
    self[length] = '\0';

    std::printf("Idle for %.0f s after %.0f s of launch: %s\n", options.seconds, std::max(options.settle, 5.0),
                options.plotwick.c_str());
    // Both measured at once, so that they share whatever else the machine does.
    Figures app, bare;
    std::thread appThread([&] { app = measure({options.plotwick}, options); });
    std::thread bareThread([&] { bare = measure({self, "--bare"}, options); });
    appThread.join();
    bareThread.join();
    print("plotwick", app, options);
    print("bare", bare, options);
    std::printf("  plotwick beyond the bare program: %lld context switches (%.2f/s), %zd threads at the end\n",
                app.switchesInWindow - bare.switchesInWindow,
                static_cast<double>(app.switchesInWindow - bare.switchesInWindow) / options.seconds,
                static_cast<std::ptrdiff_t>(app.threadsAtEnd) - static_cast<std::ptrdiff_t>(bare.threadsAtEnd));
    return app.ok && bare.ok ? 0 : 1;
}
