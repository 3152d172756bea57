// Frames unwound per second: the engine's frame-pointer, DWARF and compact
// unwind readers against _Unwind_Backtrace and libunwind, walking the same
// 32-frame recursion; printed at the end as ratios to _Unwind_Backtrace.
//
// The ELF stack is this program's own recursion (frame pointers and
// .eh_frame). The compact reader needs a Mach-O image: the same recursion
// built for x86_64 macOS is mapped into this process and run; neither
// baseline can unwind that code, so on it the engine's frame-pointer reader
// is measured beside the compact reader.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <unwind.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "CompactUnwindTestImage.h"
#include "LoadedImages.h"
#include "bbcrash_frame_compact_unwind.h"
#include "bbcrash_frame_dwarf_unwind.h"
#include "bbcrash_frame_fp_reader.h"
#include "platform/mach/thread_capture.h"

#if __has_include(<libunwind.h>)
#define UNW_LOCAL_ONLY
#include <libunwind.h>
#define BENCH_HAVE_LIBUNWIND 1
#endif

using namespace platform::mach;

namespace {

constexpr long kDepth = 32;
constexpr int kFrames = kDepth + 2;  // the callback, the recursion, its caller

using Probe = void (*)(void *);

extern "C" __attribute__((noinline)) long bench_elf_recurse(Probe cb, void *ctx, long depth) {
    __asm__ volatile("" ::: "rbx", "r12");
    if (depth == 0) {
        cb(ctx);
        return 1;
    }
    long result = bench_elf_recurse(cb, ctx, depth - 1);
    __asm__ volatile("" : "+r"(result));  // keeps the recursion a recursion
    return result + depth;
}

struct Job {
    benchmark::State *state;
    const bbcrash_async_frame_reader *readers;
    size_t readerCount;
};

// Walks kFrames frames from the caller's state with the given readers, as
// often as the benchmark asks.
__attribute__((noinline)) void walkOurs(void *data) {
    auto *job = static_cast<Job *>(data);
    x86_mcontext64_t mctx{};
    platform_mach_thread_capture_state64(&mctx.ss);
    bbcrash_async_thread_state start;
    bbcrash_async_thread_state_mcontext_init(&start, &mctx);
    int64_t frames = 0;
    for (auto _ : *job->state) {
        bbcrash_async_frame_cursor cursor;
        bbcrash_async_frame_cursor_init(&cursor, mach_task_self(), &start, unwindtest::loadedImageList());
        int n = 0;
        while (n < kFrames && bbcrash_async_frame_cursor_next_with_readers(&cursor, job->readers, job->readerCount) ==
                                  BBCRASH_FRAME_ESUCCESS) {
            n++;
        }
        if (n < kFrames) {
            job->state->SkipWithError("the walk ended early");
            break;
        }
        frames += n;
        benchmark::DoNotOptimize(cursor.frame);
    }
    job->state->counters["frames_per_second"] = benchmark::Counter(double(frames), benchmark::Counter::kIsRate);
}

__attribute__((noinline)) void walkUnwindBacktrace(void *data) {
    auto *job = static_cast<Job *>(data);
    int64_t frames = 0;
    for (auto _ : *job->state) {
        int n = 0;
        _Unwind_Backtrace(
            [](_Unwind_Context *context, void *arg) {
                int *count = static_cast<int *>(arg);
                benchmark::DoNotOptimize(_Unwind_GetIP(context));
                return ++*count >= kFrames ? _URC_END_OF_STACK : _URC_NO_REASON;
            },
            &n);
        frames += n;
    }
    job->state->counters["frames_per_second"] = benchmark::Counter(double(frames), benchmark::Counter::kIsRate);
}

#ifdef BENCH_HAVE_LIBUNWIND
struct Libunwind {
    int (*getcontext)(unw_context_t *);
    int (*initLocal)(unw_cursor_t *, unw_context_t *);
    int (*step)(unw_cursor_t *);
    int (*getReg)(unw_cursor_t *, unw_regnum_t, unw_word_t *);
};

const Libunwind *libunwind() {
    static const Libunwind *lib = []() -> const Libunwind * {
        void *h = dlopen("libunwind.so.8", RTLD_NOW | RTLD_LOCAL);  // private: keeps the C++ runtime's _Unwind_*
        if (h == nullptr) return nullptr;
        auto *l = new Libunwind{reinterpret_cast<decltype(Libunwind::getcontext)>(dlsym(h, "_Ux86_64_getcontext")),
                                reinterpret_cast<decltype(Libunwind::initLocal)>(dlsym(h, "_ULx86_64_init_local")),
                                reinterpret_cast<decltype(Libunwind::step)>(dlsym(h, "_ULx86_64_step")),
                                reinterpret_cast<decltype(Libunwind::getReg)>(dlsym(h, "_ULx86_64_get_reg"))};
        return l->getcontext && l->initLocal && l->step && l->getReg ? l : nullptr;
    }();
    return lib;
}

__attribute__((noinline)) void walkLibunwind(void *data) {
    auto *job = static_cast<Job *>(data);
    const Libunwind *lib = libunwind();
    int64_t frames = 0;
    for (auto _ : *job->state) {
        unw_context_t context;
        unw_cursor_t cursor;
        lib->getcontext(&context);
        lib->initLocal(&cursor, &context);
        int n = 1;
        while (n < kFrames && lib->step(&cursor) > 0) {
            unw_word_t ip;
            lib->getReg(&cursor, UNW_REG_IP, &ip);
            benchmark::DoNotOptimize(ip);
            n++;
        }
        frames += n;
    }
    job->state->counters["frames_per_second"] = benchmark::Counter(double(frames), benchmark::Counter::kIsRate);
}
#endif

const bbcrash_async_frame_reader kFramePointer[] = {bbcrash_async_frame_read_frame_ptr};
const bbcrash_async_frame_reader kDwarf[] = {bbcrash::BN::async::bbcrash_async_frame_read_dwarf_unwind};
// The first frame (this program's callback) needs another reader than the
// Mach-O frames above it.
const bbcrash_async_frame_reader kCompact[] = {bbcrash_async_frame_read_compact_unwind,
                                                 bbcrash_async_frame_read_frame_ptr};

void ElfFramePointer(benchmark::State &state) {
    Job job{&state, kFramePointer, 1};
    bench_elf_recurse(walkOurs, &job, kDepth);
}
void ElfDwarf(benchmark::State &state) {
    Job job{&state, kDwarf, 1};
    bench_elf_recurse(walkOurs, &job, kDepth);
}
void ElfUnwindBacktrace(benchmark::State &state) {
    Job job{&state, nullptr, 0};
    bench_elf_recurse(walkUnwindBacktrace, &job, kDepth);
}
#ifdef BENCH_HAVE_LIBUNWIND
void ElfLibunwind(benchmark::State &state) {
    if (libunwind() == nullptr) {
        state.SkipWithError("libunwind.so.8 not found");
        return;
    }
    Job job{&state, nullptr, 0};
    bench_elf_recurse(walkLibunwind, &job, kDepth);
}
#endif

#ifdef BENCH_MACHO_IMAGE
using MachORecurse = long (*)(Probe, void *, long);

MachORecurse machoRecurse() {
    static MachORecurse fn = []() -> MachORecurse {
        static unwindtest::CompactUnwindTestImage image(BENCH_MACHO_IMAGE, true);
        if (!image.loaded()) return nullptr;
        bbcrash_nasync_image_list_append_with_base(unwindtest::loadedImageList(), image.header(), image.header(), BENCH_MACHO_IMAGE);
        // The recursion is the image's only function, at the start of __text.
        return reinterpret_cast<MachORecurse>(image.section("__TEXT", "__text").address);
    }();
    return fn;
}

void MachOCompact(benchmark::State &state) {
    Job job{&state, kCompact, 2};
    if (machoRecurse() == nullptr) {
        state.SkipWithError("the Mach-O image could not be loaded");
        return;
    }
    machoRecurse()(walkOurs, &job, kDepth);
}
void MachOFramePointer(benchmark::State &state) {
    Job job{&state, kFramePointer, 1};
    if (machoRecurse() == nullptr) {
        state.SkipWithError("the Mach-O image could not be loaded");
        return;
    }
    machoRecurse()(walkOurs, &job, kDepth);
}
#endif

// Collects every benchmark's rate, then prints them as ratios.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto &run : runs) {
            const auto it = run.counters.find("frames_per_second");
            if (it != run.counters.end() && !run.error_occurred) {
                rates_[run.benchmark_name()] = it->second.value;
            }
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        const auto base = rates_.find("ElfUnwindBacktrace");
        if (base == rates_.end() || base->second <= 0) return;
        std::printf("\nFrames per second, as a ratio to _Unwind_Backtrace on the ELF stack (%.3g frames/s):\n",
                    base->second);
        for (const auto &r : rates_) {
            std::printf("  %-22s %8.3g frames/s  %6.2fx\n", r.first.c_str(), r.second, r.second / base->second);
        }
        const auto compact = rates_.find("MachOCompact");
        const auto fp = rates_.find("MachOFramePointer");
        if (compact != rates_.end() && fp != rates_.end()) {
            std::printf("  compact / frame pointer on the Mach-O stack: %.2fx\n", compact->second / fp->second);
        }
    }

private:
    std::map<std::string, double> rates_;
};

}  // namespace

BENCHMARK(ElfFramePointer);
BENCHMARK(ElfDwarf);
BENCHMARK(ElfUnwindBacktrace);
#ifdef BENCH_HAVE_LIBUNWIND
BENCHMARK(ElfLibunwind);
#endif
#ifdef BENCH_MACHO_IMAGE
BENCHMARK(MachOCompact);
BENCHMARK(MachOFramePointer);
#endif

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    unwindtest::loadedImageList();
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
