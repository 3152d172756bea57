// The crash report writer and reader against baselines measured in the same
// run, printed at the end as ratios:
// - writing a whole symbolicated report of 16 threads parked 32 frames deep,
//   against libunwind walking the same stacks (every thread stopped, its
//   registers read and unw_step run to the end; once bare, once naming
//   every frame with unw_get_proc_name), and the engine's frame cursor
//   alone over them, with the task memory held as the writer holds it and
//   without;
// - reading a report of about 256 KiB and converting it into the crash log
//   that is sent (the formatter with a fixed device, no wrapper exception,
//   no loaded images), against protobuf-c's bare unpack of its body (unpack
//   and free); the same for every golden report file;
// - the bytes a thread, a frame and an image take, and the room left under
//   the 262144-byte limit with 128 threads.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "BBCrashReport.h"
#include "BBCrashReporterSymbolicationStrategy.h"
#include "BCAppleErrorLog.h"
#include "BCDevice.h"
#include "BCErrorLogFormatter.h"
#include "RatioReporter.h"
#include "bbcrash.pb-c.h"
#include "bbcrash_async_capture.h"
#include "bbcrash_crash_handler.h"
#include "bbcrash_frame_cursor.h"
#include "platform/mach/thread_list.h"
#include "platform/mach/thread_suspend.h"
#include "platform/mach/vm_hold.h"
#include "support/FixedDevice.h"

#define UNW_LOCAL_ONLY
#include <libunwind.h>

using namespace platform::mach;

namespace {

constexpr long kDepth = 32;
constexpr int kThreads = 16;

// Threads parked `depth` frames deep until the pool goes away.
class ParkedThreads {
public:
    ParkedThreads(int count, long depth) : depth_(depth) {
        for (int i = 0; i < count; ++i) {
            threads_.emplace_back([this] { recurse(depth_); });
        }
        std::unique_lock<std::mutex> lock(mutex_);
        cond_.wait(lock, [&] { return parked_ == count; });
    }
    ~ParkedThreads() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        cond_.notify_all();
        for (auto &t : threads_) t.join();
    }

private:
    __attribute__((noinline)) long recurse(long depth) {
        if (depth == 0) {
            std::unique_lock<std::mutex> lock(mutex_);
            ++parked_;
            cond_.notify_all();
            cond_.wait(lock, [this] { return done_; });
            return 0;
        }
        long result = recurse(depth - 1);
        __asm__ volatile("" : "+r"(result));
        return result + depth;
    }

    long depth_;
    std::mutex mutex_;
    std::condition_variable cond_;
    int parked_ = 0;
    bool done_ = false;
    std::vector<std::thread> threads_;
};

bbcrash_log_writer *benchWriter() {
    static bbcrash_log_writer *writer = [] {
        auto *w = new bbcrash_log_writer{};
        bbcrash_log_writer_init(w, "io.plotwick.bench", "1", "1.0",
                                getenv("BENCH_NOSYM") ? 0u : uint32_t(BBCrashReporterSymbolicationStrategySymbolTable),
                                false);
        return w;
    }();
    return writer;
}

struct WriteJob {
    int fd;
    size_t limit;
    size_t written;
};

bbcrash_error_t writeReport(bbcrash_async_thread_state *state, void *context) {
    auto *job = static_cast<WriteJob *>(context);
    bbcrash_async_file file;
    lseek(job->fd, 0, SEEK_SET);
    bbcrash_async_file_init(&file, job->fd, job->limit);
    bbcrash_log_signal_info info{{11, 1, 0}, nullptr};
    bbcrash_error_t result =
        bbcrash_log_writer_write(benchWriter(), mach_thread_self(), bbcrash_shared_image_list(), &file, &info, state);
    bbcrash_async_file_flush(&file);
    job->written = file.total_bytes;
    return result;
}

// Writes one report of this process into `path`; its size.
size_t writeReportFile(const char *path) {
    int fd = open(path, O_RDWR | O_CREAT | O_TRUNC, 0644);
    WriteJob job{fd, 0, 0};
    bbcrash_capture_current_thread(writeReport, &job);
    ftruncate(fd, static_cast<off_t>(job.written));
    close(fd);
    return job.written;
}

platform::Data readFile(const char *path) {
    platform::Data data;
    int fd = open(path, O_RDONLY);
    uint8_t buffer[65536];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) data.insert(data.end(), buffer, buffer + n);
    close(fd);
    return data;
}

void WriteReport(benchmark::State &state) {
    ParkedThreads parked(kThreads, kDepth);
    int fd = open("/dev/null", O_WRONLY);
    WriteJob job{fd, 0, 0};
    for (auto _ : state) {
        bbcrash_capture_current_thread(writeReport, &job);
    }
    close(fd);
    state.counters["bytes"] = static_cast<double>(job.written);
}

// libunwind, loaded privately so the C++ runtime keeps its own _Unwind_*.
struct Libunwind {
    int (*initLocal)(unw_cursor_t *, unw_context_t *);
    int (*step)(unw_cursor_t *);
    int (*getContext)(unw_context_t *);
    int (*getProcName)(unw_cursor_t *, char *, size_t, unw_word_t *);
};

const Libunwind *libunwind() {
    static const Libunwind *lib = []() -> const Libunwind * {
        void *h = dlopen("libunwind.so.8", RTLD_NOW | RTLD_LOCAL);
        if (h == nullptr) return nullptr;
        return new Libunwind{reinterpret_cast<decltype(Libunwind::initLocal)>(dlsym(h, "_ULx86_64_init_local")),
                             reinterpret_cast<decltype(Libunwind::step)>(dlsym(h, "_ULx86_64_step")),
                             reinterpret_cast<decltype(Libunwind::getContext)>(dlsym(h, "_Ux86_64_getcontext")),
                             reinterpret_cast<decltype(Libunwind::getProcName)>(dlsym(h, "_ULx86_64_get_proc_name"))};
    }();
    return lib;
}

// Walks one stack to its end; frames walked.
int walk(const Libunwind *lib, unw_context_t *context, bool name) {
    unw_cursor_t cursor;
    if (lib->initLocal(&cursor, context) != 0) return 0;
    int frames = 0;
    char buffer[256];
    unw_word_t offset;
    do {
        ++frames;
        if (name) lib->getProcName(&cursor, buffer, sizeof buffer, &offset);
    } while (lib->step(&cursor) > 0 && frames < 512);
    return frames;
}

// Runs, as often as the benchmark asks, `other` on every other thread's
// registers and `self` on this one; each returns the frames it walked. As
// the writer does, every other thread is stopped first and, when `hold`,
// the task memory is held while the stacks are walked (a fresh hold each
// time, as each report takes one): without a hold, which the writer has only
// when a thread could not be stopped, every read is checked and every
// unwind table is copied out before it is read.
template <typename Self, typename Other>
void walkEveryStack(benchmark::State &state, Self self, Other other, bool hold = true) {
    ParkedThreads parked(kThreads, kDepth);
    thread_t threads[64];
    bool stopped[64];
    mach_msg_type_number_t count = 0;
    task_threads(mach_task_self(), threads, 64, &count);
    const thread_t me = mach_thread_self();
    long frames = 0;
    for (auto _ : state) {
        for (mach_msg_type_number_t i = 0; i < count; ++i) {
            stopped[i] = threads[i] != me && thread_suspend(threads[i]) == KERN_SUCCESS;
        }
        const bool held = hold && task_memory_hold_begin();
        for (mach_msg_type_number_t i = 0; i < count; ++i) {
            if (threads[i] == me) {
                frames += self();
                continue;
            }
            x86_thread_state64_t regs;
            mach_msg_type_number_t words = x86_THREAD_STATE64_COUNT;
            if (stopped[i] && thread_get_state(threads[i], x86_THREAD_STATE64, reinterpret_cast<thread_state_t>(&regs),
                                               &words) == KERN_SUCCESS) {
                frames += other(regs);
            }
        }
        if (held) task_memory_hold_end();
        for (mach_msg_type_number_t i = 0; i < count; ++i) {
            if (stopped[i]) thread_resume(threads[i]);
        }
    }
    state.counters["frames_per_walk"] = static_cast<double>(frames) / static_cast<double>(state.iterations());
}

// libunwind over every thread's stack, as the writer sees them.
void walkAllThreads(benchmark::State &state, bool name) {
    const Libunwind *lib = libunwind();
    if (lib == nullptr) {
        state.SkipWithError("libunwind.so.8 not found");
        return;
    }
    walkEveryStack(
        state,
        [&] {
            unw_context_t context;
            lib->getContext(&context);
            return walk(lib, &context, name);
        },
        [&](const x86_thread_state64_t &regs) {
            unw_context_t context;
            std::memset(&context, 0, sizeof context);
            greg_t *g = context.uc_mcontext.gregs;
            g[REG_RAX] = regs.rax, g[REG_RBX] = regs.rbx, g[REG_RCX] = regs.rcx, g[REG_RDX] = regs.rdx;
            g[REG_RDI] = regs.rdi, g[REG_RSI] = regs.rsi, g[REG_RBP] = regs.rbp, g[REG_RSP] = regs.rsp;
            g[REG_R8] = regs.r8, g[REG_R9] = regs.r9, g[REG_R10] = regs.r10, g[REG_R11] = regs.r11;
            g[REG_R12] = regs.r12, g[REG_R13] = regs.r13, g[REG_R14] = regs.r14, g[REG_R15] = regs.r15;
            g[REG_RIP] = regs.rip;
            return walk(lib, &context, name);
        });
}

// The engine's own frame cursor over the other threads' stacks (no report,
// no symbols): what the writer's walks cost by themselves; unheld, what they
// cost when a thread could not be stopped.
int cursorWalk(const x86_thread_state64_t &regs) {
    x86_mcontext64_t mcontext{};
    mcontext.ss = regs;
    bbcrash_async_thread_state thread;
    bbcrash_async_thread_state_mcontext_init(&thread, &mcontext);
    bbcrash_async_frame_cursor cursor;
    bbcrash_async_frame_cursor_init(&cursor, mach_task_self(), &thread, bbcrash_shared_image_list());
    int frames = 0;
    while (bbcrash_async_frame_cursor_next(&cursor) == BBCRASH_FRAME_ESUCCESS && cursor.depth < 512) {
        ++frames;
    }
    bbcrash_async_frame_cursor_free(&cursor);
    return frames;
}

void CursorWalk(benchmark::State &state) {
    walkEveryStack(
        state, [] { return 0; }, cursorWalk);
}

void CursorWalkUnheld(benchmark::State &state) {
    walkEveryStack(
        state, [] { return 0; }, cursorWalk, false);
}

void LibunwindWalk(benchmark::State &state) { walkAllThreads(state, false); }
void LibunwindWalkNamed(benchmark::State &state) { walkAllThreads(state, true); }

// A report of about 256 KiB: 128 threads 24 frames deep, symbolicated.
const platform::Data &bigReport() {
    static const platform::Data data = [] {
        ParkedThreads parked(128, 24);
        const char *path = "/tmp/bench_report_256k.bbcrash";
        writeReportFile(path);
        platform::Data d = readFile(path);
        unlink(path);
        return d;
    }();
    return data;
}

// The report read into the model, then converted into the log; both freed.
void ReadAndConvert(benchmark::State &state, const platform::Data &data) {
    const auto device = testsupport::fixedDevice();
    for (auto _ : state) {
        auto report = BBCrashReport::make(data);
        if (!report) {
            state.SkipWithError("the report did not read");
            return;
        }
        auto log = BCErrorLogFormatter::errorLogFromCrashReport(*report, device, nullptr, {});
        benchmark::DoNotOptimize(log);
    }
    state.counters["report_bytes"] = static_cast<double>(data.size());
}

// The report read into the model alone.
void ReadOnly(benchmark::State &state, const platform::Data &data) {
    for (auto _ : state) {
        auto report = BBCrashReport::make(data);
        benchmark::DoNotOptimize(report);
    }
    state.counters["report_bytes"] = static_cast<double>(data.size());
}

// protobuf-c's bare unpack of the same body, and its free.
void Unpack(benchmark::State &state, const platform::Data &data) {
    for (auto _ : state) {
        ProtobufCMessage *m =
            protobuf_c_message_unpack(&bbcrash__crash_report__descriptor, nullptr, data.size() - 8, data.data() + 8);
        benchmark::DoNotOptimize(m);
        protobuf_c_message_free_unpacked(m, nullptr);
    }
    state.counters["report_bytes"] = static_cast<double>(data.size());
}

// Every golden report file, by name ("full_x86_64"), that reads.
std::vector<std::pair<std::string, platform::Data>> goldenReports() {
    std::vector<std::pair<std::string, platform::Data>> reports;
    const std::string folder = BENCH_GOLDEN_CASES;
    DIR *dir = opendir(folder.c_str());
    if (dir == nullptr) return reports;
    while (dirent *entry = readdir(dir)) {
        std::string name = entry->d_name;
        const std::string suffix = ".bbcrash";
        if (name.size() <= suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        platform::Data data = readFile((folder + "/" + name).c_str());
        if (!BBCrashReport::make(data)) continue;
        reports.emplace_back(name.substr(0, name.size() - suffix.size()), std::move(data));
    }
    closedir(dir);
    std::sort(reports.begin(), reports.end());
    return reports;
}

// Sizes, measured on real reports of this process.
void printSizes() {
    const char *path = "/tmp/bench_report_sizes.bbcrash";
    size_t bytes16;
    {
        ParkedThreads parked(kThreads, kDepth);
        bytes16 = writeReportFile(path);
    }
    platform::Data data = readFile(path);
    auto *report = reinterpret_cast<Bbcrash__CrashReport *>(
        protobuf_c_message_unpack(&bbcrash__crash_report__descriptor, nullptr, data.size() - 8, data.data() + 8));
    size_t threadBytes = 0, threadCount = 0, frameBytes = 0, frameCount = 0, imageBytes = 0;
    for (size_t i = 0; i < report->n_threads; ++i) {
        threadBytes += protobuf_c_message_get_packed_size(&report->threads[i]->base);
        ++threadCount;
        for (size_t k = 0; k < report->threads[i]->n_frames; ++k) {
            frameBytes += protobuf_c_message_get_packed_size(&report->threads[i]->frames[k]->base);
            ++frameCount;
        }
    }
    for (size_t i = 0; i < report->n_binary_images; ++i) {
        imageBytes += protobuf_c_message_get_packed_size(&report->binary_images[i]->base);
    }
    const size_t images = report->n_binary_images;
    protobuf_c_message_free_unpacked(&report->base, nullptr);

    size_t bytes128;
    {
        ParkedThreads parked(128, kDepth);
        bytes128 = writeReportFile(path);
    }
    unlink(path);
    std::printf("\nReport sizes (symbolicated, %ld-frame stacks):\n", kDepth);
    std::printf("  %zu threads: %zu bytes; per thread %.0f, per frame %.1f, per image %.0f (%zu images)\n", threadCount,
                bytes16, double(threadBytes) / double(threadCount), double(frameBytes) / double(frameCount),
                double(imageBytes) / double(images), images);
    std::printf("  128 threads: %zu bytes; headroom under 262144: %ld bytes\n", bytes128,
                262144L - static_cast<long>(bytes128));
}

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    bbcrash_shared_image_list();
    const platform::Data &big = bigReport();
    static const auto golden = goldenReports();

    // Writing: against libunwind's bare walk, second column its named walk.
    benchmark::RegisterBenchmark("Write/Report", WriteReport)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("Write/CursorWalk", CursorWalk)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("Write/CursorWalkUnheld", CursorWalkUnheld)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("Write/LibunwindWalk", LibunwindWalk)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("Write/LibunwindWalkNamed", LibunwindWalkNamed)->Unit(benchmark::kMicrosecond);
    // Reading and converting (target: at most 2x the bare unpack).
    std::map<std::string, std::string> baselines{{"Write", "LibunwindWalk"}, {"Read", "Unpack"}};
    benchmark::RegisterBenchmark("Read/Unpack", Unpack, big)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("Read/ReadOnly", ReadOnly, big)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("Read/ReadAndConvert", ReadAndConvert, big)->Unit(benchmark::kMicrosecond);
    for (const auto &[name, data] : golden) {
        const std::string group = "Golden." + name;
        baselines[group] = "Unpack";
        benchmark::RegisterBenchmark((group + "/Unpack").c_str(), Unpack, data)->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark((group + "/ReadAndConvert").c_str(), ReadAndConvert, data)
            ->Unit(benchmark::kMicrosecond);
    }

    RatioReporter reporter(baselines, {{"Write", "LibunwindWalkNamed"}});
    benchmark::RunSpecifiedBenchmarks(&reporter);
    printSizes();
    benchmark::Shutdown();
    return 0;
}
