// A program that enables the crash reporter and then crashes in the way its
// arguments name; the crash tests start it and read what it leaves behind.
//
//   bbcrash_crasher <bsd|mach> <kind> <side file>
//
// Before crashing it writes the side file: "pid ppid tid anchor_address", one
// line; the test maps function ranges from `nm` onto the running image with
// crash_segv_null's address. The post-crash callback writes "<side file>.handled"; the
// "nomalloc" kind writes "<side file>.counts" with the allocations and mutex
// locks the crashing thread made while the report was written. A crasher
// that runs on past its crash exits with 4.
#include "BBCrashMachExceptionPort.h"
#include "BBCrashReporter.h"
#include "BBCrashSignalHandler.h"
#include "bbcrash_crash_handler.h"
#include "platform/dyld/dyld.h"
#include "platform/syslog/SystemLog.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <pthread.h>
#include <string>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

// ---------------------------------------------------------------------------
// Counting interposers. BSD mode: armed on the crashing thread only, from the
// first link of the signal chain until the report is written. Mach mode: the
// report is written on the server thread, so they are armed for every thread
// but the allocating one, from the exception handler that was there before
// (which the server offers the exception first) until the post-crash
// callback; the other threads are suspended or blocked meanwhile.

// Under AddressSanitizer the allocator is the sanitizer's own: nothing is
// interposed and the counts say so.
#if defined(__SANITIZE_ADDRESS__)
#define CRASHER_COUNTS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CRASHER_COUNTS 0
#endif
#endif
#ifndef CRASHER_COUNTS
#define CRASHER_COUNTS 1
#endif

extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);
extern "C" void __libc_free(void *);

namespace {
__thread bool countingArmed = false;
std::atomic<bool> globallyArmed{false};
std::atomic<long> allocatingThread{0};
std::atomic<int> allocationCalls{0};
std::atomic<int> lockCalls{0};
}  // namespace

#if CRASHER_COUNTS
namespace {
bool counting() { return countingArmed || (globallyArmed.load() && syscall(SYS_gettid) != allocatingThread.load()); }
int (*realMutexLock)(pthread_mutex_t *) = nullptr;
}  // namespace

extern "C" void *malloc(size_t size) {
    if (counting()) allocationCalls++;
    return __libc_malloc(size);
}
extern "C" void *calloc(size_t count, size_t size) {
    if (counting()) allocationCalls++;
    return __libc_calloc(count, size);
}
extern "C" void *realloc(void *p, size_t size) {
    if (counting()) allocationCalls++;
    return __libc_realloc(p, size);
}
extern "C" void free(void *p) {
    if (counting()) allocationCalls++;
    __libc_free(p);
}
extern "C" int pthread_mutex_lock(pthread_mutex_t *mutex) {
    if (counting()) lockCalls++;
    if (realMutexLock == nullptr) {
        realMutexLock = reinterpret_cast<int (*)(pthread_mutex_t *)>(dlsym(RTLD_NEXT, "pthread_mutex_lock"));
    }
    return realMutexLock(mutex);
}
#endif

extern "C" void crash_segv_null();
extern "C" int bbcrash_library_run_on_thread(void (*body)());

// Addresses come through a volatile so the compiler cannot see the fault.
// The "null" page's address is 16, not 0, which the undefined-behaviour
// sanitizer would stop at before it faults.
volatile uintptr_t nullAddress = 16;
volatile uintptr_t nonCanonicalAddress = 0x8000000000000000ull;

namespace {

const char *sidePath = nullptr;
std::string handledPath;
std::string countsPath;
const char *kind = "";
// "mended_<kind>": the post-crash callback removes the fault's cause, so the
// faulting instruction would succeed if it ran again.
bool mendInCallback = false;
std::string mapPath;

void writeText(const char *path, const char *text) {
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
        ssize_t ignored = write(fd, text, strlen(text));
        (void)ignored;
        close(fd);
    }
}

// Async-signal-safe decimal.
void appendNumber(char *out, long value) {
    char digits[24];
    int n = 0;
    bool negative = value < 0;
    unsigned long v = negative ? 0ul - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    size_t o = strlen(out);
    if (negative) out[o++] = '-';
    while (n > 0) out[o++] = digits[--n];
    out[o] = '\0';
}

// The "stack" kind's alternate stack, painted so that the deepest use can be
// read afterwards.
constexpr size_t kPaintedStackSize = 65536;
constexpr uint8_t kPaint = 0xA5;
uint8_t *paintedStack = nullptr;

void reportStackUse() {
    size_t untouched = 0;
    while (untouched < kPaintedStackSize && paintedStack[untouched] == kPaint) untouched++;
    char text[32] = "";
    appendNumber(text, static_cast<long>(kPaintedStackSize - untouched));
    strcat(text, "\n");
    writeText((std::string(sidePath) + ".stack").c_str(), text);
}

void writeCounts() {
    if (!CRASHER_COUNTS) {
        writeText(countsPath.c_str(), "unavailable\n");
        return;
    }
    char text[64] = "";
    appendNumber(text, allocationCalls.load());
    strcat(text, " ");
    appendNumber(text, lockCalls.load());
    strcat(text, "\n");
    writeText(countsPath.c_str(), text);
}

std::atomic<bool> postCrashCallbackRan{false};

void handleSignal(siginfo_t *info, ucontext_t *, void *context) {
    postCrashCallbackRan = true;
    if (mendInCallback) {
        // The file "bus" reads past the end of gets its page; the page
        // "segv_prot" writes to becomes writable.
        if (strcmp(kind, "bus") == 0) {
            const int fd = open(mapPath.c_str(), O_RDWR);
            if (fd >= 0) {
                int ignored = ftruncate(fd, 4096);
                (void)ignored;
                close(fd);
            }
        } else if (info != nullptr) {
            const uintptr_t page = reinterpret_cast<uintptr_t>(info->si_addr) & ~uintptr_t{4095};
            mprotect(reinterpret_cast<void *>(page), 4096, PROT_READ | PROT_WRITE);
        }
    }
    if (globallyArmed.exchange(false)) {
        writeCounts();
    }
    writeText(static_cast<const char *>(context), "handled\n");
    if (paintedStack != nullptr) {
        reportStackUse();
    }
    if (strcmp(kind, "callback_crash") == 0) {
        *reinterpret_cast<volatile int *>(nullAddress) = 1;  // a crash inside the crash callback
    }
}

// First link of the chain: counts what the rest of the chain (the report)
// does on this thread.
bool countingCallback(int signo, siginfo_t *info, ucontext_t *uap, void *, bbcrash_signal_handler_callback *next) {
    countingArmed = true;
    bool handled = next != nullptr && bbcrash_signal_handler_forward(next, signo, info, uap);
    countingArmed = false;
    writeCounts();
    return handled;
}

// "two_late" in BSD mode, first link of the chain: once the report is
// written and the rest of the chain has answered, lets the second thread
// crash and gives its signal time to land before the process dies of the
// first one.
std::atomic<bool> firstChainDone{false};
std::atomic<bool> secondCrashing{false};

bool lateCallback(int signo, siginfo_t *info, ucontext_t *uap, void *, bbcrash_signal_handler_callback *next) {
    bool handled = next != nullptr && bbcrash_signal_handler_forward(next, signo, info, uap);
    if (!firstChainDone.exchange(true)) {
        struct timespec start {
        }, now{};
        clock_gettime(CLOCK_MONOTONIC, &start);
        auto elapsedMs = [&] {
            clock_gettime(CLOCK_MONOTONIC, &now);
            return (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        };
        while (!secondCrashing.load() && elapsedMs() < 2000) {}
        const long crashingAt = elapsedMs();
        while (elapsedMs() < crashingAt + 20) {}
    }
    return handled;
}

void writeSideFile() {
    char text[256];
    snprintf(text, sizeof(text), "%d %d %ld %p\n", getpid(), getppid(), static_cast<long>(syscall(SYS_gettid)),
             reinterpret_cast<void *>(&crash_segv_null));
    writeText(sidePath, text);
}

// Threads that block until the process ends, and one that keeps the
// allocator busy.
std::mutex blockMutex;
std::condition_variable blockCond;
std::atomic<long> loops{0};

std::atomic<int> blockedThreads{0};

void startBusyThreads(int blocked) {
    for (int i = 0; i < blocked; ++i) {
        std::thread([] {
            std::unique_lock<std::mutex> lock(blockMutex);
            blockedThreads++;
            blockCond.wait(lock, [] { return false; });
        }).detach();
    }
    // All of them waiting (each has taken the mutex and let it go in wait).
    for (;;) {
        std::unique_lock<std::mutex> lock(blockMutex);
        if (blockedThreads.load() == blocked) break;
    }
    std::thread([] {
        allocatingThread = syscall(SYS_gettid);
        for (;;) {
            void *p = malloc(64 + static_cast<size_t>(loops.load() % 512));
            free(p);
            loops++;
        }
    }).detach();
    while (loops.load() < 1000) {
        std::this_thread::yield();
    }
}

}  // namespace

extern "C" {
__attribute__((noinline)) void crash_segv_null() {
    *reinterpret_cast<volatile int *>(nullAddress) = 1;
    __asm__ volatile("");
}

__attribute__((noinline)) void crash_segv_prot() {
    void *page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    *static_cast<volatile int *>(page) = 1;
    __asm__ volatile("");
}

__attribute__((noinline)) void crash_segv_noncanonical() {
    *reinterpret_cast<volatile int *>(nonCanonicalAddress) = 1;
    __asm__ volatile("");
}

__attribute__((noinline)) void crash_bus(const char *path) {
    int fd = open(path, O_RDWR | O_CREAT | O_TRUNC, 0600);
    void *map = mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0);
    volatile int value = *static_cast<volatile int *>(map);  // past the end of the (empty) file
    (void)value;
    __asm__ volatile("");
}

__attribute__((noinline)) void crash_ill() { __asm__ volatile("ud2"); }

__attribute__((noinline)) int crash_fpe(int divisor) {
    int result;
    int dividend = 1;
    __asm__ volatile("cltd; idivl %2" : "=a"(result) : "a"(dividend), "r"(static_cast<int>(divisor)) : "edx");
    return result;
}

__attribute__((noinline)) void crash_trap() {
    __asm__ volatile("int3");
    __asm__ volatile("");
}

__attribute__((noinline)) void crash_abort() { abort(); }

__attribute__((noinline)) long crash_overflow(long depth) {
    volatile char pad[256];
    pad[0] = static_cast<char>(depth);
    if (depth < 0) return 0;
    return crash_overflow(depth + 1) + pad[0];
}
}

namespace {

// An exception handler that was there before the reporter: it either mends
// the fault (makes the page writable) and answers success, or answers
// failure.
// Mach mode's "nomalloc": arms the counting and passes the exception on.
platform::mach::kern_return_t armingHandler(platform::mach::task_t, platform::mach::thread_t,
                                            platform::mach::exception_type_t, platform::mach::mach_exception_data_t,
                                            platform::mach::mach_msg_type_number_t, void *) {
    globallyArmed = true;
    return platform::mach::KERN_FAILURE;
}

platform::mach::kern_return_t previousHandler(platform::mach::task_t, platform::mach::thread_t,
                                              platform::mach::exception_type_t,
                                              platform::mach::mach_exception_data_t codes,
                                              platform::mach::mach_msg_type_number_t count, void *context) {
    if (context == nullptr || count < 2) {
        return platform::mach::KERN_FAILURE;
    }
    uintptr_t page = static_cast<uintptr_t>(codes[1]) & ~static_cast<uintptr_t>(4095);
    mprotect(reinterpret_cast<void *>(page), 4096, PROT_READ | PROT_WRITE);
    return platform::mach::KERN_SUCCESS;
}

std::shared_ptr<BBCrashMachExceptionServer> installPreviousHandler(
    bool answersSuccess, bbcrash_mach_exception_callback_t handler = previousHandler) {
    platform::ErrorPtr error;
    auto server = BBCrashMachExceptionServer::make(handler, answersSuccess ? &error : nullptr, &error);
    if (server == nullptr) return nullptr;
    auto port = server->exceptionPortWithMask(platform::mach::EXC_MASK_BAD_ACCESS, &error);
    if (port == nullptr || !port->registerForTask(platform::mach::mach_task_self(), nullptr, &error)) return nullptr;
    return server;
}

class ThrowingException : public platform::appkit::Exception {
public:
    using Exception::Exception;
    std::vector<uint64_t> callStackReturnAddresses() const override {
        return {reinterpret_cast<uintptr_t>(&crash_segv_null) + 1, reinterpret_cast<uintptr_t>(&crash_abort) + 1};
    }
};

int crashAs(const std::string &what) {
    if (what == "segv_null")
        crash_segv_null();
    else if (what == "segv_prot")
        crash_segv_prot();
    else if (what == "segv_noncanonical")
        crash_segv_noncanonical();
    else if (what == "bus")
        crash_bus(mapPath.c_str());
    else if (what == "ill")
        crash_ill();
    else if (what == "fpe")
        crash_fpe(0);
    else if (what == "trap")
        crash_trap();
    else if (what == "abort" || what == "callback_crash" || what == "stack")
        crash_abort();
    else if (what == "overflow")
        crash_overflow(0);
    else if (what == "overflow_thread")
        std::thread([] { crash_overflow(0); }).join();
    else if (what == "overflow_library_thread")
        bbcrash_library_run_on_thread([] { crash_overflow(0); });
    return 4;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: bbcrash_crasher <bsd|mach> <kind> <side file>\n");
        return 2;
    }
    struct rlimit noCore {
        0, 0
    };
    setrlimit(RLIMIT_CORE, &noCore);
    umask(022);  // the usual one: the report must be private all the same
    const std::string mode = argv[1];
    kind = argv[2];
    sidePath = argv[3];
    handledPath = std::string(sidePath) + ".handled";
    countsPath = std::string(sidePath) + ".counts";
    mapPath = std::string(sidePath) + ".map";
    // "early_<kind>": crashes as <kind> before the image headers are
    // complete (their background build is held); "complete_<kind>": once
    // they are.
    // "prestarted_<kind>": crashes as <kind> on a thread started before
    // enabling, once enabling is done.
    const bool prestarted = std::string(kind).rfind("prestarted_", 0) == 0;
    if (prestarted) kind += 11;
    const bool early = std::string(kind).rfind("early_", 0) == 0;
    const bool complete = std::string(kind).rfind("complete_", 0) == 0;
    if (early) {
        platform::dyld::dyld_hold_background_headers(true);
        kind += 6;
    } else if (complete) {
        kind += 9;
    }
    mendInCallback = std::string(kind).rfind("mended_", 0) == 0;
    if (mendInCallback) kind += 7;
    const std::string what = kind;

    std::shared_ptr<BBCrashMachExceptionServer> previous;
    if (what == "prev_success" || what == "prev_fail") {
        previous = installPreviousHandler(what == "prev_success");
        if (previous == nullptr) return 9;
    } else if (what == "nomalloc" && mode == "mach") {
        previous = installPreviousHandler(false, armingHandler);
        if (previous == nullptr) return 9;
    }
    if (what == "stack") {
        // The reporter keeps a stack the thread already has.
        paintedStack = static_cast<uint8_t *>(
            mmap(nullptr, kPaintedStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        memset(paintedStack, kPaint, kPaintedStackSize);
        stack_t stack{paintedStack, 0, kPaintedStackSize};
        sigaltstack(&stack, nullptr);
    }
    std::atomic<bool> enabledNow{false};
    std::thread prestartedThread;
    if (prestarted) {
        prestartedThread = std::thread([&enabledNow, what] {
            while (!enabledNow.load()) std::this_thread::yield();
            writeSideFile();
            crashAs(what);
        });
    }
    auto config = std::make_shared<BBCrashReporterConfig>(
        mode == "mach" ? BBCrashReporterSignalHandlerTypeMach : BBCrashReporterSignalHandlerTypeBSD,
        what == "stack" ? BBCrashReporterSymbolicationStrategyAll : BBCrashReporterSymbolicationStrategySymbolTable,
        true);
    auto reporter = std::make_shared<BBCrashReporter>("io.plotwick/crasher", "7", "1.0", config);
    const std::string outside = std::string(sidePath) + ".outside";
    const std::string target = std::string(sidePath) + ".target";
    if (what == "hardlink") {
        // A file of somebody else's, hard-linked where the report goes.
        writeText(outside.c_str(), "notes\n");
        std::filesystem::create_directories(reporter->crashReportDirectory());
        if (link(outside.c_str(), reporter->crashReportPath().c_str()) != 0) return 9;
    }
    if (what == "link_at_report" || what == "folder_at_report") {
        // A dangling link, or a folder with a file in it, where the report
        // goes, there before enabling.
        std::filesystem::create_directories(reporter->crashReportDirectory());
        const std::string at = reporter->crashReportPath().string();
        if (what == "link_at_report") {
            if (symlink(target.c_str(), at.c_str()) != 0) return 9;
        } else {
            if (mkdir(at.c_str(), 0755) != 0) return 9;
            writeText((at + "/notes").c_str(), "notes\n");
        }
    }
    if (what == "hardlink" || what == "link_at_report" || what == "folder_at_report") {
        // Enabling's lines go to "<side>.log".
        static std::string logPath = std::string(sidePath) + ".log";
        platform::SystemLog::setSink([](const std::string &line) {
            const std::string text = line + "\n";
            int fd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (fd >= 0) {
                ssize_t ignored = write(fd, text.data(), text.size());
                (void)ignored;
                close(fd);
            }
        });
    }
    BBCrashReporterCallbacks callbacks{0, const_cast<char *>(handledPath.c_str()), handleSignal};
    reporter->setCrashCallbacks(&callbacks);
    if (what == "custom") {
        reporter->setCustomData(platform::Data{'c', 'u', 's', 't', 'o', 'm'});
    }
    platform::ErrorPtr error;
    bool enabled = false;
    if (what == "enabled_elsewhere") {
        // Enabled on another thread: the main thread, which loaded the
        // engine, keeps the signal mask it started with.
        std::thread([&] { enabled = reporter->enableCrashReporter(&error); }).join();
    } else {
        enabled = reporter->enableCrashReporter(&error);
    }
    if (!enabled) {
        fprintf(stderr, "enable failed: %s\n", error ? error->localizedDescription().c_str() : "?");
        return 3;
    }
    if (complete) {
        platform::dyld::dyld_complete_headers();
    }
    if (prestarted) {
        enabledNow = true;
        prestartedThread.join();
        return 4;
    }
    if (what == "custom") {
        // Replaced while enabled: the crash reads the newest block.
        reporter->setCustomData(platform::Data{'n', 'e', 'w', 'e', 'r'});
    }

    if (what == "live") {
        startBusyThreads(3);
        std::atomic<bool> stop{false};
        std::atomic<long> ticks{0};
        std::atomic<long> tickerThread{0};
        std::thread ticker([&] {
            tickerThread = syscall(SYS_gettid);
            while (!stop.load()) ticks++;
        });
        while (ticks.load() == 0) std::this_thread::yield();
        auto data =
            reporter->generateLiveReportWithThread(static_cast<platform::mach::thread_t>(tickerThread.load()), &error);
        if (!data) {
            fprintf(stderr, "live report failed\n");
            return 5;
        }
        int fd = open((std::string(sidePath) + ".live").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ssize_t ignored = write(fd, data->data(), data->size());
        (void)ignored;
        close(fd);
        // Everything runs on afterwards.
        long before = ticks.load(), loopsBefore = loops.load();
        for (int i = 0; i < 1000000 && (ticks.load() == before || loops.load() == loopsBefore); ++i) {
            std::this_thread::yield();
        }
        stop = true;
        ticker.join();
        if (ticks.load() == before || loops.load() == loopsBefore) {
            fprintf(stderr, "threads stopped after the live report\n");
            return 6;
        }
        // The temporary file is gone.
        const char *tmp = getenv("TMPDIR");
        DIR *dir = opendir(tmp != nullptr ? tmp : "/tmp");
        int leftovers = 0;
        while (dirent *entry = dir != nullptr ? readdir(dir) : nullptr) {
            if (strncmp(entry->d_name, "live_crash_report.", 18) == 0) leftovers++;
        }
        if (dir != nullptr) closedir(dir);
        if (leftovers != 0) {
            fprintf(stderr, "temporary file left behind\n");
            return 7;
        }
        writeSideFile();
        _exit(0);  // blocked threads still wait on the condition exit would destroy
    }

    if (what == "worker" || what == "nomalloc") {
        if (what == "nomalloc") {
            // The image headers' background build is over: it is no part of
            // the crash path, and every other thread is quiet.
            platform::dyld::dyld_complete_headers();
        }
        startBusyThreads(20);
        if (what == "nomalloc" && mode == "bsd") {
            BBCrashSignalHandler::sharedHandler()->registerHandlerForSignal(SIGSEGV, countingCallback, nullptr);
        }
        std::thread crasher([] {
            writeSideFile();
            crash_segv_null();
        });
        crasher.join();
        return 4;
    }

    if (what == "two") {
        startBusyThreads(2);
        writeSideFile();  // before either can crash
        std::atomic<int> ready{0};
        auto body = [&] {
            ready++;
            while (ready.load() < 2) {}
            crash_segv_null();
        };
        std::thread a(body), b(body);
        a.join();
        b.join();
        return 4;
    }

    if (what == "two_ill" || what == "two_abort" || what == "two_late") {
        // Two threads crash at once with different signals; in "two_late"
        // the second one crashes just as the first one's report is done.
        startBusyThreads(2);
        if (what == "two_late" && mode == "bsd") {
            for (int signo : {SIGSEGV, SIGILL}) {
                BBCrashSignalHandler::sharedHandler()->registerHandlerForSignal(signo, lateCallback, nullptr);
            }
        }
        writeSideFile();
        std::atomic<int> ready{0};
        auto start = [&] {
            ready++;
            while (ready.load() < 2) {}
        };
        std::thread a([&] {
            start();
            crash_segv_null();
        });
        std::thread b([&] {
            start();
            if (what == "two_late") {
                while (!(mode == "bsd" ? firstChainDone.load() : postCrashCallbackRan.load())) {}
                secondCrashing = true;
            }
            if (what == "two_abort")
                crash_abort();
            else
                crash_ill();
        });
        a.join();
        b.join();
        return 4;
    }

    if (what == "uncaught") {
        writeSideFile();
        auto handler = platform::appkit::NSGetUncaughtExceptionHandler();
        if (handler == nullptr) return 8;
        handler(ThrowingException("NSInvalidArgumentException", "boom"));
        return 4;
    }

    if (what == "hardlink") {
        // Taken back at enabling: the report it claimed is a private copy of
        // the notes, nothing set aside. Linked again afterwards at the live
        // name, for the crash.
        const std::string claimed = reporter->pendingCrashReportPath().string();
        const std::string report = reporter->crashReportPath().string();
        struct stat st {};
        std::ifstream copy(claimed);
        const std::string copied((std::istreambuf_iterator<char>(copy)), std::istreambuf_iterator<char>());
        if (access((report + ".notours").c_str(), F_OK) == 0 || access((claimed + ".notours").c_str(), F_OK) == 0 ||
            lstat(claimed.c_str(), &st) != 0 || st.st_nlink != 1 || (st.st_mode & 07777) != 0600 ||
            copied != "notes\n") {
            return 10;
        }
        if (link(outside.c_str(), report.c_str()) != 0) return 9;
        writeSideFile();
        crash_segv_null();
    }
    if (what == "link_at_report" || what == "folder_at_report") {
        // "<side>.aside" says it was set aside at enabling, as it was: the
        // link still names its (missing) target, the folder still holds its
        // file.
        const std::string aside = reporter->crashReportPath().string() + ".notours";
        struct stat st {};
        char named[PATH_MAX] = {};
        const bool kept =
            lstat(aside.c_str(), &st) == 0 &&
            (what == "link_at_report"
                 ? S_ISLNK(st.st_mode) && readlink(aside.c_str(), named, sizeof named - 1) > 0 && target == named
                 : S_ISDIR(st.st_mode) && access((aside + "/notes").c_str(), F_OK) == 0);
        if (kept) writeText((std::string(sidePath) + ".aside").c_str(), "aside\n");
        writeSideFile();
        crash_segv_null();
    }
    if (what == "enabled_elsewhere") {
        writeSideFile();
        crash_segv_null();
    }
    if (what == "symlink") {
        // A link planted where the report goes: the crash must not write
        // through it.
        if (symlink((std::string(sidePath) + ".target").c_str(), reporter->crashReportPath().c_str()) != 0) return 9;
        writeSideFile();
        crash_segv_null();
    }
    writeSideFile();
    if (what.rfind("kill", 0) == 0) {
        // A signal sent by another process (SIGABRT, or the fault signal
        // "kill_<number>" names), which the kernel gives with the sender's
        // pid and uid where a fault's address would be.
        const int sent = what == "kill" ? SIGABRT : atoi(what.c_str() + 5);
        if (fork() == 0) {
            kill(getppid(), sent);
            _exit(0);
        }
        for (;;) pause();
    }
    if (what == "custom") crash_segv_null();
    if (what == "prev_success" || what == "prev_fail") {
        crash_segv_prot();  // mended by the previous handler, or not
        writeText((std::string(sidePath) + ".survived").c_str(), "survived\n");
        _exit(0);
    }
    return crashAs(what);
}
