// Real crashes in real child processes: bbcrash_crasher enables the reporter
// and crashes; this process, as the next launch, loads the report it left,
// checks it against the child's side file, `nm`, `readelf -n` and protoc,
// and purges it. Every child runs under a kill timer: a hang fails.
#include "BBCrashReport.h"
#include "BBCrashReporter.h"
#include "platform/mach/thread_suspend.h"
#include "support/Sanitizers.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

constexpr int kKillTimerMs = 10000;

#if PLOTWICK_UNDER_SANITIZERS
// Where the sanitizer's own fault handler comes back into play (the action
// the Mach layer restores), it reports the fault and exits with an error.
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

struct Range {
    uint64_t start;
    uint64_t end;
    bool contains(uint64_t address) const { return address >= start && address < end; }
};

// Function ranges of the crasher from `nm`, relative to its link address.
const std::map<std::string, Range> &linkedFunctions() {
    static const std::map<std::string, Range> functions = [] {
        std::map<std::string, Range> result;
        std::istringstream lines(testsupport::runCommand(std::string("nm -S --defined-only ") + PLOTWICK_CRASHER));
        std::string line;
        while (std::getline(lines, line)) {
            std::istringstream fields(line);
            std::string address, size, type, name;
            if (fields >> address >> size >> type >> name && (type == "T" || type == "t")) {
                uint64_t start = std::stoull(address, nullptr, 16);
                result[name] = {start, start + std::stoull(size, nullptr, 16)};
            }
        }
        return result;
    }();
    return functions;
}

// The first 16 bytes of an ELF file's GNU build id, in lower-case hex.
std::string buildId(const std::string &path) {
    std::string notes = testsupport::runCommand("readelf -n " + path);
    auto at = notes.find("Build ID: ");
    if (at == std::string::npos) {
        return "";
    }
    return notes.substr(at + 10, 32);
}

struct CrashRun {
    bool timedOut = false;
    int status = 0;
    long pid = 0, ppid = 0, tid = 0;
    uint64_t slide = 0;
    std::shared_ptr<BBCrashReport> report;
    platform::Data data;
    bool handled = false;
    std::string counts;
    std::string stackUse;
    std::optional<platform::Data> live;
    bool purged = false;
    unsigned reportMode = 0;  // of the pending report, as left
    bool linkTargetWritten = false;
    std::string outside;    // "<mode> <contents>" of the file "hardlink" links to
    std::string log;        // the lines enabling wrote, where the kind keeps them
    bool setAside = false;  // what was at the report's name was set aside whole

    bool diedOf(int signo) const {
        if (timedOut) return false;
        if (kSanitized && WIFEXITED(status) && WEXITSTATUS(status) != 0) return true;
        return WIFSIGNALED(status) && WTERMSIG(status) == signo;
    }

    Range function(const std::string &name) const {
        auto it = linkedFunctions().find(name);
        if (it == linkedFunctions().end()) {
            ADD_FAILURE() << "no function " << name;
            return {0, 0};
        }
        return {it->second.start + slide, it->second.end + slide};
    }

    std::shared_ptr<const BBCrashReportThreadInfo> crashedThread() const {
        std::shared_ptr<const BBCrashReportThreadInfo> found;
        int count = 0;
        for (const auto &thread : report->threads()) {
            if (thread->crashed()) {
                found = thread;
                ++count;
            }
        }
        EXPECT_EQ(count, 1);
        return found;
    }
};

std::string readText(const std::filesystem::path &path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The signals a crash needs, as a parent may leave them blocked for the
// process it starts: the faults' and the one that suspends threads for the
// report.
sigset_t crashSignalsBlocked() {
    sigset_t set;
    sigemptyset(&set);
    for (int signo : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, platform::mach::thread_rendezvous_signal()}) {
        sigaddset(&set, signo);
    }
    return set;
}

// The command that starts a program as the first process of a new PID
// namespace (and kills that namespace when it is killed itself), or nothing
// where this machine allows none.
std::vector<std::string> pidNamespaceInit() {
    for (const std::string options : {"--user --map-root-user ", ""}) {
        const std::string command = "unshare " + options + "--pid --fork --mount-proc --kill-child";
        int status = -1;
        testsupport::runCommand(command + " true 2>/dev/null", &status);
        if (status == 0) {
            std::istringstream words(command);
            return {std::istream_iterator<std::string>(words), std::istream_iterator<std::string>()};
        }
    }
    return {};
}

// Starts the crasher (with `blocked` as its signal mask, when given; through
// `launcher`, when given), waits for it under the kill timer, then reads and
// purges the pending report as the next launch would.
CrashRun runCrasher(const std::string &mode, const std::string &kind, const sigset_t *blocked = nullptr,
                    const std::vector<std::string> &launcher = {}) {
    testsupport::TemporaryDirectory dir("bbcrash-crash");
    const auto cache = dir.path() / "cache";
    const auto tmp = dir.path() / "tmp";
    std::filesystem::create_directories(tmp);
    const std::string side = (dir.path() / "side").string();

    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        if (entry.rfind("XDG_CACHE_HOME=", 0) != 0 && entry.rfind("TMPDIR=", 0) != 0) env.push_back(entry);
    }
    env.push_back("XDG_CACHE_HOME=" + cache.string());
    env.push_back("TMPDIR=" + tmp.string());
    std::vector<char *> envp;
    for (auto &e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string program = PLOTWICK_CRASHER;
    std::vector<std::string> args = launcher;
    args.insert(args.end(), {program, mode, kind, side});
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    CrashRun run;
    pid_t pid = 0;
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    if (blocked != nullptr) {
        posix_spawnattr_setsigmask(&attributes, blocked);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    }
    const int spawned = posix_spawnp(&pid, argv[0], nullptr, &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) {
        ADD_FAILURE() << "spawn failed";
        return run;
    }
    // The kill timer: wait on the child's pidfd with a deadline.
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    pollfd p{pidfd, POLLIN, 0};
    int ready = 0;
    do {
        ready = poll(&p, 1, kKillTimerMs);
    } while (ready < 0 && errno == EINTR);
    if (ready == 0) {
        run.timedOut = true;
        kill(pid, SIGKILL);
    }
    close(pidfd);
    waitpid(pid, &run.status, 0);

    std::istringstream sideText(readText(side));
    std::string anchor;
    sideText >> run.pid >> run.ppid >> run.tid >> anchor;
    if (!anchor.empty()) {
        run.slide = std::stoull(anchor, nullptr, 16) - linkedFunctions().at("crash_segv_null").start;
    }
    run.handled = std::filesystem::exists(side + ".handled");
    run.counts = readText(side + ".counts");
    run.stackUse = readText(side + ".stack");
    run.log = readText(side + ".log");
    run.setAside = std::filesystem::exists(side + ".aside");
    if (std::filesystem::exists(side + ".live")) {
        std::string live = readText(side + ".live");
        run.live = platform::Data(live.begin(), live.end());
    }

    // The next launch.
    const char *savedCache = getenv("XDG_CACHE_HOME");
    std::string saved = savedCache != nullptr ? savedCache : "";
    setenv("XDG_CACHE_HOME", cache.c_str(), 1);
    BBCrashReporter reporter("io.plotwick/crasher", "7", "1.0", nullptr);
    if (savedCache != nullptr)
        setenv("XDG_CACHE_HOME", saved.c_str(), 1);
    else
        unsetenv("XDG_CACHE_HOME");
    EXPECT_EQ(reporter.crashReportDirectory().filename(), "io.plotwick_crasher");
    run.linkTargetWritten = std::filesystem::exists(side + ".target");
    struct stat outside {};
    if (stat((side + ".outside").c_str(), &outside) == 0) {
        std::ostringstream text;
        text << std::oct << (outside.st_mode & 07777) << " " << readText(side + ".outside");
        run.outside = text.str();
    }
    if (reporter.hasPendingCrashReport()) {
        struct stat st {};
        if (lstat(reporter.crashReportPath().c_str(), &st) == 0) run.reportMode = st.st_mode & 07777;
        platform::ErrorPtr error;
        auto data = reporter.loadPendingCrashReportData(&error);
        if (data) {
            run.data = *data;
            run.report = BBCrashReport::make(*data, &error);
            EXPECT_NE(run.report, nullptr) << (error ? error->localizedDescription() : "");
            int status = -1;
            auto body = dir.path() / "body";
            std::ofstream(body, std::ios::binary)
                .write(reinterpret_cast<const char *>(data->data() + 8),
                       static_cast<std::streamsize>(data->size() - 8));
            testsupport::runCommand("protoc --decode_raw < " + body.string() + " > /dev/null", &status);
            EXPECT_EQ(status, 0) << "protoc rejects the body";
        }
        EXPECT_TRUE(reporter.purgePendingCrashReport(&error));
        run.purged = !reporter.hasPendingCrashReport();
    }
    return run;
}

// Whether a frame among the first `depth` lies in the function (or its
// split-off cold part). Callers' frames hold return addresses, which after a
// call that never returns point just past the function: they are looked up
// at the address before.
bool hasFrameIn(const CrashRun &run, const BBCrashReportThreadInfo &thread, const std::string &function, size_t depth) {
    const Range hot = run.function(function);
    auto cold = linkedFunctions().find(function + ".cold");
    for (size_t i = 0; i < thread.stackFrames().size() && i < depth; ++i) {
        uint64_t pc = thread.stackFrames()[i]->instructionPointer() - (i > 0 ? 1 : 0);
        if (hot.contains(pc)) return true;
        if (cold != linkedFunctions().end() && pc >= cold->second.start + run.slide &&
            pc < cold->second.end + run.slide) {
            return true;
        }
    }
    return false;
}

struct Case {
    const char *kind;
    int hostSignal;
    const char *name;
    const char *code;
    const char *function;  // frame 0, or null: frame 0 is in the C library
};

const Case kCases[] = {
    {"segv_null", SIGSEGV, "SIGSEGV", "SEGV_MAPERR", "crash_segv_null"},
    {"segv_prot", SIGSEGV, "SIGSEGV", "SEGV_ACCERR", "crash_segv_prot"},
    {"segv_noncanonical", SIGSEGV, "SIGSEGV", "SEGV_MAPERR", "crash_segv_noncanonical"},
    {"bus", SIGBUS, "SIGBUS", "BUS_ADRERR", "crash_bus"},
    {"ill", SIGILL, "SIGILL", "ILL_ILLOPN", "crash_ill"},
    {"fpe", SIGFPE, "SIGFPE", "FPE_INTDIV", "crash_fpe"},
    {"trap", SIGTRAP, "SIGTRAP", "TRAP_BRKPT", "crash_trap"},
    {"abort", SIGABRT, "SIGABRT", "#0", nullptr},
};

void checkCommon(const CrashRun &run) {
    ASSERT_NE(run.report, nullptr);
    EXPECT_TRUE(run.purged);
    EXPECT_EQ(run.reportMode, 0600u) << std::oct << run.reportMode;  // the child's umask is 022
    EXPECT_TRUE(run.handled) << "the post-crash callback did not run";
    ASSERT_TRUE(run.report->hasProcessInfo());
    EXPECT_EQ(run.report->processInfo()->processID(), static_cast<uint32_t>(run.pid));
    EXPECT_EQ(run.report->processInfo()->parentProcessID(), static_cast<uint32_t>(getpid()));
    EXPECT_EQ(run.report->processInfo()->processName(), "bbcrash_crasher");
    EXPECT_EQ(run.report->applicationInfo()->applicationIdentifier(), "io.plotwick/crasher");

    // The executable and the C library, with their build ids as UUIDs.
    const std::string exe = std::filesystem::canonical(PLOTWICK_CRASHER).string();
    bool sawExe = false, sawLibc = false;
    for (const auto &image : run.report->images()) {
        const std::string name = image->imageName().value_or("");
        if (name == exe) {
            sawExe = true;
            EXPECT_EQ(image->imageUUID(), buildId(exe));
        } else if (std::filesystem::path(name).filename() == "libc.so.6") {
            sawLibc = true;
            EXPECT_EQ(image->imageUUID(), buildId(name));
        }
    }
    EXPECT_TRUE(sawExe);
    EXPECT_TRUE(sawLibc);

    auto crashed = run.crashedThread();
    ASSERT_NE(crashed, nullptr);
    ASSERT_FALSE(crashed->stackFrames().empty());
    ASSERT_FALSE(crashed->registers().empty());
    EXPECT_EQ(crashed->registers()[0]->registerName(), "rip");
    EXPECT_EQ(crashed->registers()[0]->registerValue(), crashed->stackFrames()[0]->instructionPointer());
}

// The crasher starts with the crash signals blocked: enabling unblocks them,
// and a fault on a thread started before enabling is reported too. Loading
// the engine unblocks the fault signals on the loading thread, so a fault
// there is reported even when another thread enabled it.
void checkFault(const std::string &mode, const Case &c) {
    const sigset_t blocked = crashSignalsBlocked();
    if (std::string(c.kind) == "segv_null") {
        SCOPED_TRACE("on the loading thread, enabled from another one");
        CrashRun run = runCrasher(mode, "enabled_elsewhere", &blocked);
        ASSERT_FALSE(run.timedOut) << "the child hung";
        EXPECT_TRUE(run.diedOf(SIGSEGV)) << "status " << run.status;
        ASSERT_NE(run.report, nullptr) << "the fault was blocked on the loading thread";
        EXPECT_EQ(run.report->signalInfo()->name(), c.name);
        auto crashed = run.crashedThread();
        ASSERT_NE(crashed, nullptr);
        ASSERT_FALSE(crashed->stackFrames().empty());
        EXPECT_TRUE(run.function(c.function).contains(crashed->stackFrames()[0]->instructionPointer()));
    }
    if (c.hostSignal != SIGABRT && c.hostSignal != SIGTRAP) {
        SCOPED_TRACE("on a thread started before enabling");
        CrashRun run = runCrasher(mode, std::string("prestarted_") + c.kind, &blocked);
        ASSERT_FALSE(run.timedOut) << "the child hung";
        EXPECT_TRUE(run.diedOf(c.hostSignal)) << "status " << run.status;
        ASSERT_NE(run.report, nullptr);
        EXPECT_EQ(run.report->signalInfo()->name(), c.name);
        auto crashed = run.crashedThread();
        ASSERT_NE(crashed, nullptr);
        ASSERT_FALSE(crashed->stackFrames().empty());
        EXPECT_TRUE(run.function(c.function).contains(crashed->stackFrames()[0]->instructionPointer()));
    }
    if (c.kind == std::string("bus") || c.kind == std::string("segv_prot")) {
        // The post-crash callback removes the fault's cause (extends the
        // file, makes the page writable): the process dies of the signal
        // all the same, with its one report, and never runs on.
        SCOPED_TRACE("the cause gone after the report");
        CrashRun run = runCrasher(mode, std::string("mended_") + c.kind);
        ASSERT_FALSE(run.timedOut) << "the child hung";
        EXPECT_FALSE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 4) << "the process ran on past its report";
        EXPECT_TRUE(run.diedOf(c.hostSignal)) << "status " << run.status;
        checkCommon(run);
        if (run.report != nullptr) {
            EXPECT_EQ(run.report->signalInfo()->name(), c.name);
        }
    }
    CrashRun run = runCrasher(mode, c.kind, &blocked);
    ASSERT_FALSE(run.timedOut) << "the child hung";
    EXPECT_TRUE(run.diedOf(c.hostSignal)) << "status " << run.status;
    checkCommon(run);
    if (run.report == nullptr) return;
    EXPECT_EQ(run.report->signalInfo()->name(), c.name);
    EXPECT_EQ(run.report->signalInfo()->code(), c.code);
    // Mach mode reports the exception behind every fault; SIGABRT comes
    // through the signal handler in both modes.
    const bool viaMach = mode == "mach" && c.hostSignal != SIGABRT;
    EXPECT_EQ(run.report->machExceptionInfo() != nullptr, viaMach);
    auto crashed = run.crashedThread();
    ASSERT_NE(crashed, nullptr);
    if (c.function != nullptr) {
        // Frame 0 in the faulting function, its caller found by frame pointers.
        EXPECT_TRUE(run.function(c.function).contains(crashed->stackFrames()[0]->instructionPointer()));
        EXPECT_TRUE(hasFrameIn(run, *crashed, "main", 6));
    } else {
        // abort: frame 0 in the C library, the callers through its DWARF data.
        EXPECT_FALSE(run.function("crash_abort").contains(crashed->stackFrames()[0]->instructionPointer()));
        EXPECT_TRUE(hasFrameIn(run, *crashed, "crash_abort", 10));
        EXPECT_TRUE(hasFrameIn(run, *crashed, "main", 12));
    }
}

class BSDCrashTest : public ::testing::TestWithParam<Case> {};

TEST_P(BSDCrashTest, ReportOfTheFaultReadsBackAtTheNextLaunch) { checkFault("bsd", GetParam()); }

INSTANTIATE_TEST_SUITE_P(Faults, BSDCrashTest, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.kind); });

// In Mach mode the report names the signal the exception maps to: a bad
// access other than an unmapped address is SIGBUS, and bad instructions and
// arithmetic faults carry code 0.
const Case kMachCases[] = {
    {"segv_null", SIGSEGV, "SIGSEGV", "SEGV_MAPERR", "crash_segv_null"},
    {"segv_prot", SIGSEGV, "SIGBUS", "BUS_ADRERR", "crash_segv_prot"},
    {"segv_noncanonical", SIGSEGV, "SIGSEGV", "SEGV_MAPERR", "crash_segv_noncanonical"},
    {"bus", SIGBUS, "SIGBUS", "BUS_ADRERR", "crash_bus"},
    {"ill", SIGILL, "SIGILL", "ILL_NOOP", "crash_ill"},
    {"fpe", SIGFPE, "SIGFPE", "FPE_NOOP", "crash_fpe"},
    {"trap", SIGTRAP, "SIGTRAP", "TRAP_BRKPT", "crash_trap"},
    {"abort", SIGABRT, "SIGABRT", "#0", nullptr},
};

class MachCrashTest : public ::testing::TestWithParam<Case> {};

TEST_P(MachCrashTest, ReportOfTheFaultReadsBackAtTheNextLaunch) { checkFault("mach", GetParam()); }

INSTANTIATE_TEST_SUITE_P(Faults, MachCrashTest, ::testing::ValuesIn(kMachCases),
                         [](const auto &info) { return std::string(info.param.kind); });

class CrashTests : public ::testing::TestWithParam<std::string> {};

TEST_P(CrashTests, AFaultAsTheFirstProcessOfAPidNamespaceDiesOfItAndAnAbortStillEnds) {
    // A fault runs its instruction again with the default action in place:
    // the kernel forces the signal, even on a namespace's first process,
    // which dies of it (unshare then dies of the same signal) after its
    // report.
    const std::vector<std::string> launcher = pidNamespaceInit();
    if (launcher.empty()) GTEST_SKIP() << "no PID namespace can be made here (unshare failed)";
    CrashRun run = runCrasher(GetParam(), "segv_null", nullptr, launcher);
    ASSERT_FALSE(run.timedOut) << "the process never ended";
    EXPECT_EQ(run.pid, 1);
    EXPECT_TRUE(run.diedOf(SIGSEGV)) << "status " << run.status << " (" << 128 + SIGSEGV
                                     << ": the process exited instead)";
    EXPECT_TRUE(run.handled);
    ASSERT_NE(run.report, nullptr);
    EXPECT_EQ(run.report->signalInfo()->name(), "SIGSEGV");

    // The post-crash callback removes the fault's cause: the instruction
    // that faulted now succeeds, and the process ends all the same, of the
    // signal or with the status a death by it would give, never running on
    // past its report.
    for (const Case &c : {kCases[3], kCases[1]}) {
        SCOPED_TRACE(std::string("mended_") + c.kind);
        run = runCrasher(GetParam(), std::string("mended_") + c.kind, nullptr, launcher);
        ASSERT_FALSE(run.timedOut) << "the process never ended";
        EXPECT_EQ(run.pid, 1);
        EXPECT_FALSE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 4) << "the process ran on past its report";
        EXPECT_TRUE(run.diedOf(c.hostSignal) ||
                    (WIFEXITED(run.status) && WEXITSTATUS(run.status) == 128 + c.hostSignal))
            << "status " << run.status;
        EXPECT_TRUE(run.handled);
        EXPECT_NE(run.report, nullptr);
    }

    // The kernel drops the signals a namespace's first process sends itself
    // with their default action: the process ends all the same, with the
    // status of a death by SIGABRT, and leaves its report.
    run = runCrasher(GetParam(), "abort", nullptr, launcher);
    ASSERT_FALSE(run.timedOut) << "the process never ended";
    EXPECT_EQ(run.pid, 1);
    EXPECT_TRUE(run.diedOf(SIGABRT) || (WIFEXITED(run.status) && WEXITSTATUS(run.status) == 128 + SIGABRT))
        << "status " << run.status;
    EXPECT_TRUE(run.handled);
    ASSERT_NE(run.report, nullptr);
    EXPECT_EQ(run.report->signalInfo()->name(), "SIGABRT");
}

TEST_P(CrashTests, TheFaultAddressIsReportedAndASentSignalHasNone) {
    CrashRun run = runCrasher(GetParam(), "segv_null");
    ASSERT_NE(run.report, nullptr);
    EXPECT_EQ(run.report->signalInfo()->address(), 16u);
    // abort raises on its own thread; "kill" is sent from another process.
    for (const char *sent : {"abort", "kill"}) {
        SCOPED_TRACE(sent);
        run = runCrasher(GetParam(), sent);
        ASSERT_FALSE(run.timedOut);
        EXPECT_TRUE(run.diedOf(SIGABRT)) << "status " << run.status;
        ASSERT_NE(run.report, nullptr);
        EXPECT_EQ(run.report->signalInfo()->name(), "SIGABRT");
        EXPECT_EQ(run.report->signalInfo()->address(), 0u);
    }
    // A fault signal sent with kill has no instruction to fault again: the
    // waiting process dies of it all the same. The BSD handler reports it;
    // in Mach mode it is no exception and leaves no report.
    const std::map<int, std::string> faults{
        {SIGSEGV, "SIGSEGV"}, {SIGBUS, "SIGBUS"}, {SIGILL, "SIGILL"}, {SIGFPE, "SIGFPE"}};
    for (const auto &[signo, name] : faults) {
        SCOPED_TRACE(name + " sent");
        run = runCrasher(GetParam(), "kill_" + std::to_string(signo));
        EXPECT_TRUE(run.diedOf(signo)) << (run.timedOut ? "the process ran on"
                                                        : "status " + std::to_string(run.status));
        if (GetParam() == "mach") {
            EXPECT_EQ(run.report, nullptr);
            continue;
        }
        ASSERT_NE(run.report, nullptr);
        EXPECT_EQ(run.report->signalInfo()->name(), name);
        EXPECT_EQ(run.report->signalInfo()->address(), 0u);
    }
}

TEST_P(CrashTests, StackOverflowOnAnyThreadIsReportedFromAnAlternateStack) {
    // The thread that enabled the engine, a std::thread started afterwards,
    // and a thread a shared library starts.
    for (const char *kind : {"overflow", "overflow_thread", "overflow_library_thread"}) {
        SCOPED_TRACE(kind);
        CrashRun run = runCrasher(GetParam(), kind);
        ASSERT_FALSE(run.timedOut);
        EXPECT_TRUE(run.diedOf(SIGSEGV)) << "status " << run.status;
        checkCommon(run);
        if (run.report == nullptr) continue;
        auto crashed = run.crashedThread();
        ASSERT_NE(crashed, nullptr);
        ASSERT_EQ(crashed->stackFrames().size(), 512u);
        EXPECT_TRUE(run.function("crash_overflow").contains(crashed->stackFrames()[0]->instructionPointer()));
        EXPECT_TRUE(run.function("crash_overflow").contains(crashed->stackFrames()[511]->instructionPointer()));
    }
}

TEST_P(CrashTests, AWorkerCrashWhileOthersBlockOrAllocateNeverHangs) {
    // One run in five starts with the crash signals blocked, which the
    // threads started after enabling would inherit: the main thread and the
    // 22 started after enabling (the crashed one among them) all have their
    // frames (the image headers' builder, started before, may be there too).
    const sigset_t blocked = crashSignalsBlocked();
    int hangs = 0, reports = 0;
    for (int i = 0; i < 50; ++i) {
        CrashRun run = runCrasher(GetParam(), "worker", i % 5 == 4 ? &blocked : nullptr);
        hangs += run.timedOut ? 1 : 0;
        if (run.report == nullptr || !run.diedOf(SIGSEGV)) continue;
        auto crashed = run.crashedThread();
        size_t withFrames = 0;
        for (const auto &thread : run.report->threads()) {
            withFrames += thread->stackFrames().empty() ? 0 : 1;
        }
        if (crashed != nullptr && !crashed->stackFrames().empty() &&
            run.function("crash_segv_null").contains(crashed->stackFrames()[0]->instructionPointer()) &&
            withFrames >= 23) {
            ++reports;
        }
    }
    EXPECT_EQ(hangs, 0);
    EXPECT_EQ(reports, 50);
}

TEST_P(CrashTests, TwoThreadsCrashingAtOnceLeaveOneValidReport) {
    for (int i = 0; i < 5; ++i) {
        CrashRun run = runCrasher(GetParam(), "two");
        ASSERT_FALSE(run.timedOut);
        EXPECT_TRUE(run.diedOf(SIGSEGV));
        ASSERT_NE(run.report, nullptr);
        auto crashed = run.crashedThread();
        ASSERT_NE(crashed, nullptr);
        ASSERT_FALSE(crashed->stackFrames().empty());
        const auto &top = crashed->stackFrames()[0];
        EXPECT_TRUE(run.function("crash_segv_null").contains(top->instructionPointer()))
            << std::hex << top->instructionPointer() << " "
            << (top->symbolInfo() ? top->symbolInfo()->symbolName().value_or("?") : "no symbol");
    }
}

TEST_P(CrashTests, ACrashBeforeTheImageHeadersAreCompleteStillHasItsFramesAndImages) {
    // The symbol tables and compact unwind tables are still being built:
    // the images are listed with their build ids, and the walk goes by
    // frame pointers and the .eh_frame (through the C library for abort).
    for (const Case &c : {kCases[0], kCases[7]}) {
        SCOPED_TRACE(c.kind);
        CrashRun run = runCrasher(GetParam(), std::string("early_") + c.kind);
        ASSERT_FALSE(run.timedOut);
        EXPECT_TRUE(run.diedOf(c.hostSignal)) << "status " << run.status;
        checkCommon(run);
        if (run.report == nullptr) continue;
        auto crashed = run.crashedThread();
        ASSERT_NE(crashed, nullptr);
        if (c.function != nullptr) {
            EXPECT_TRUE(run.function(c.function).contains(crashed->stackFrames()[0]->instructionPointer()));
        } else {
            EXPECT_TRUE(hasFrameIn(run, *crashed, "crash_abort", 10));
        }
        EXPECT_TRUE(hasFrameIn(run, *crashed, "main", 12));
        // No symbol names: the crash really came before the complete headers.
        for (const auto &frame : crashed->stackFrames()) {
            EXPECT_TRUE(frame->symbolInfo() == nullptr || !frame->symbolInfo()->symbolName().has_value());
        }
    }

    // Once complete, the engine's list has them: the symbols are there.
    CrashRun run = runCrasher(GetParam(), "complete_segv_null");
    ASSERT_FALSE(run.timedOut);
    checkCommon(run);
    if (run.report == nullptr) return;
    auto crashed = run.crashedThread();
    ASSERT_NE(crashed, nullptr);
    const auto &top = crashed->stackFrames()[0];
    ASSERT_NE(top->symbolInfo(), nullptr);
    EXPECT_NE(top->symbolInfo()->symbolName().value_or("").find("crash_segv_null"), std::string::npos);
}

TEST_P(CrashTests, TheReportIsNeverWrittenThroughALinkAtItsPath) {
    CrashRun run = runCrasher(GetParam(), "symlink");
    ASSERT_FALSE(run.timedOut);
    EXPECT_TRUE(run.diedOf(SIGSEGV)) << "status " << run.status;
    EXPECT_FALSE(run.linkTargetWritten);
    EXPECT_EQ(run.report, nullptr);

    // The report with a second name, a 0644 file elsewhere, there at
    // enabling (taken back with a private copy, one line, the other name
    // not tightened) and again at the crash (not truncated or written): the
    // other file keeps its mode and bytes, and the report is made afresh
    // under our name.
    run = runCrasher(GetParam(), "hardlink");
    ASSERT_FALSE(run.timedOut);
    EXPECT_TRUE(run.diedOf(SIGSEGV)) << "status " << run.status << " (10: not taken back at enabling)";
    EXPECT_TRUE(run.outside == "644 notes\n") << run.outside.substr(0, 24);
    EXPECT_NE(run.log.find(" had another hard link, so they were someone else's files too; each is now a private "
                           "copy of its own under its name, holding what it held, and the other names keep their "
                           "files, untouched ("),
              std::string::npos)
        << run.log;
    EXPECT_EQ(std::count(run.log.begin(), run.log.end(), '\n'), 1) << run.log;
    ASSERT_NE(run.report, nullptr);
    EXPECT_EQ(run.reportMode, 0600u) << std::oct << run.reportMode;

    // A dangling link, or a folder, at the report's name before enabling is
    // set aside with a line (the link still naming its target, which is not
    // made; the folder whole), and the crash then writes its report.
    for (const char *kind : {"link_at_report", "folder_at_report"}) {
        SCOPED_TRACE(kind);
        run = runCrasher(GetParam(), kind);
        ASSERT_FALSE(run.timedOut);
        EXPECT_TRUE(run.diedOf(SIGSEGV)) << "status " << run.status;
        EXPECT_TRUE(run.setAside);
        EXPECT_FALSE(run.linkTargetWritten);
        EXPECT_NE(run.log.find("/live_report.bbcrash is not a crash report of ours (a link, a folder or another "
                               "file); set aside as live_report.bbcrash.notours\n"),
                  std::string::npos)
            << run.log;
        ASSERT_NE(run.report, nullptr);
        EXPECT_EQ(run.report->signalInfo()->name(), "SIGSEGV");
        EXPECT_EQ(run.reportMode, 0600u) << std::oct << run.reportMode;
    }
}

TEST_P(CrashTests, TwoThreadsCrashingAtOnceWithDifferentSignalsEndWithTheSignalOfTheReport) {
    // A crash of SIGSEGV on one thread and SIGILL or SIGABRT on another at
    // the same moment, or just as the first report is done: whichever
    // report is written, the process dies of that signal. The race is
    // narrow: run it for a while.
    const std::map<std::string, int> hostSignals{{"SIGSEGV", SIGSEGV}, {"SIGILL", SIGILL}, {"SIGABRT", SIGABRT}};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    int runs = 0, mismatches = 0;
    std::string seen;
    while (runs < 150 && std::chrono::steady_clock::now() < deadline) {
        static const char *const kinds[] = {"two_ill", "two_abort", "two_late"};
        CrashRun run = runCrasher(GetParam(), kinds[runs % 3]);
        ++runs;
        ASSERT_FALSE(run.timedOut);
        ASSERT_NE(run.report, nullptr);
        const std::string name = run.report->signalInfo()->name().value_or("");
        ASSERT_EQ(hostSignals.count(name), 1u) << name;
        if (!run.diedOf(hostSignals.at(name))) {
            ++mismatches;
            seen += name + " report, status " + std::to_string(run.status) + "; ";
        }
    }
    EXPECT_EQ(mismatches, 0) << "in " << runs << " runs: " << seen;
}

TEST_P(CrashTests, ACrashInsideTheCrashCallbackEndsTheProcessWithTheFirstSignal) {
    CrashRun run = runCrasher(GetParam(), "callback_crash");
    ASSERT_FALSE(run.timedOut);
    EXPECT_TRUE(run.diedOf(SIGABRT)) << "status " << run.status;
    ASSERT_NE(run.report, nullptr);
    EXPECT_EQ(run.report->signalInfo()->name(), "SIGABRT");
}

TEST_P(CrashTests, CustomDataReplacedWhileEnabledIsTheNewest) {
    CrashRun run = runCrasher(GetParam(), "custom");
    ASSERT_NE(run.report, nullptr);
    ASSERT_TRUE(run.report->customData().has_value());
    EXPECT_EQ(*run.report->customData(), (platform::Data{'n', 'e', 'w', 'e', 'r'}));
}

TEST_P(CrashTests, UncaughtExceptionIsRecordedAndAborts) {
    CrashRun run = runCrasher(GetParam(), "uncaught");
    ASSERT_FALSE(run.timedOut);
    EXPECT_TRUE(run.diedOf(SIGABRT));
    ASSERT_NE(run.report, nullptr);
    ASSERT_TRUE(run.report->hasExceptionInfo());
    EXPECT_EQ(run.report->exceptionInfo()->exceptionName(), "NSInvalidArgumentException");
    EXPECT_EQ(run.report->exceptionInfo()->exceptionReason(), "boom");
    ASSERT_TRUE(run.report->exceptionInfo()->stackFrames().has_value());
    ASSERT_EQ(run.report->exceptionInfo()->stackFrames()->size(), 2u);
    EXPECT_TRUE(run.function("crash_segv_null")
                    .contains(run.report->exceptionInfo()->stackFrames()->at(0)->instructionPointer()));
}

TEST_P(CrashTests, TheCrashPathAllocatesNothingAndTakesNoLock) {
    CrashRun run = runCrasher(GetParam(), "nomalloc");
    if (run.counts == "unavailable\n") {
        GTEST_SKIP() << "the sanitizer's allocator cannot be interposed";
    }
    ASSERT_FALSE(run.timedOut);
    EXPECT_TRUE(run.diedOf(SIGSEGV));
    ASSERT_NE(run.report, nullptr);
    EXPECT_EQ(run.counts, "0 0\n");  // allocation calls, mutex locks
}

TEST(BSDCrashTests, AWholeReportFitsTheAlternateStackWithRoomToSpare) {
    // abort: the walk goes through the C library's DWARF data; every
    // symbol lookup is on.
    CrashRun run = runCrasher("bsd", "stack");
    ASSERT_FALSE(run.timedOut);
    EXPECT_TRUE(run.diedOf(SIGABRT));
    ASSERT_NE(run.report, nullptr);
    ASSERT_FALSE(run.stackUse.empty());
    const long used = std::stol(run.stackUse);
    RecordProperty("alternate_stack_bytes_used", std::to_string(used));
    std::cout << "alternate stack used: " << used << " of 65536 bytes\n";
    EXPECT_LT(used, 32 * 1024);
}

TEST_P(CrashTests, LiveReportOfARunningThreadLeavesEverythingRunning) {
    CrashRun run = runCrasher(GetParam(), "live");
    ASSERT_FALSE(run.timedOut);
    ASSERT_TRUE(WIFEXITED(run.status));
    EXPECT_EQ(WEXITSTATUS(run.status), 0) << "5: no report, 6: threads stopped, 7: temporary file left";
    EXPECT_EQ(run.report, nullptr);  // no pending report: nothing crashed
    ASSERT_TRUE(run.live.has_value());
    platform::ErrorPtr error;
    auto live = BBCrashReport::make(*run.live, &error);
    ASSERT_NE(live, nullptr) << error->localizedDescription();
    EXPECT_EQ(live->signalInfo()->name(), "SIGTRAP");
    EXPECT_EQ(live->signalInfo()->code(), "TRAP_TRACE");
    int crashed = 0;
    for (const auto &thread : live->threads()) {
        if (thread->crashed()) {
            ++crashed;
            EXPECT_FALSE(thread->stackFrames().empty());
        }
    }
    EXPECT_EQ(crashed, 1);
}

TEST(MachCrashTests, APreviousPortThatMendsTheFaultKeepsTheProcessGoingWithoutAReport) {
    CrashRun run = runCrasher("mach", "prev_success");
    ASSERT_FALSE(run.timedOut);
    ASSERT_TRUE(WIFEXITED(run.status)) << "status " << run.status;
    EXPECT_EQ(WEXITSTATUS(run.status), 0);
    EXPECT_EQ(run.report, nullptr);
    EXPECT_FALSE(run.handled);
}

TEST(MachCrashTests, APreviousPortThatFailsLeavesTheReportAndTheSignal) {
    CrashRun run = runCrasher("mach", "prev_fail");
    ASSERT_FALSE(run.timedOut);
    EXPECT_TRUE(run.diedOf(SIGSEGV)) << "status " << run.status;
    checkCommon(run);
    ASSERT_NE(run.report, nullptr);
    ASSERT_NE(run.report->machExceptionInfo(), nullptr);
    EXPECT_EQ(run.report->machExceptionInfo()->type(), 1u);  // bad access
}

INSTANTIATE_TEST_SUITE_P(Modes, CrashTests, ::testing::Values("bsd", "mach"),
                         [](const auto &info) { return info.param; });

}  // namespace
