// Stack walks and symbol lookups of the crash engine beside the system's own:
// frames unwound per second by the engine's cursor (and by its frame-pointer
// and DWARF readers alone) against _Unwind_Backtrace and libunwind, on stacks
// of 32 and 256 frames built with and without frame pointers, each passing
// through libc and libstdc++ frames; symbol lookups against dladdr; the
// compact-unwind reader on a Mach-O image. Printed at the end as the time
// per frame (or per lookup) relative to the baseline measured in the same run.
//
// The engine's walks run as at crash time: the walking thread holds the task
// (platform/mach/vm_hold.h; this program runs no other thread), one hold per
// walk, so every walk starts with nothing proved readable. Lookups run under
// one hold, as a report's symbolication does.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <unwind.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <ostream>
#include <streambuf>
#include <string>

#include "CompactUnwindTestImage.h"
#include "LoadedImages.h"
#include "bbcrash_async_symbol.h"
#include "bbcrash_frame_compact_unwind.h"
#include "bbcrash_frame_dwarf_unwind.h"
#include "bbcrash_frame_fp_reader.h"
#include "platform/mach/thread_capture.h"
#include "platform/mach/vm_hold.h"
#include "unwind_bench_stack.h"

#if __has_include(<libunwind.h>)
#define UNW_LOCAL_ONLY
#include <libunwind.h>
#define BENCH_HAVE_LIBUNWIND 1
#endif

using namespace platform::mach;

namespace {

constexpr int kMaxFrames = 2048;

// --- The stack: the recursion's bottom, through libc and libstdc++ ----------

bench_probe g_probe;
void *g_ctx;
bool g_pending;

// Calls the probe from overflow(): std::ostream's insertion lives in
// libstdc++.
class ProbeBuffer : public std::streambuf {
protected:
    int_type overflow(int_type c) override {
        g_probe(g_ctx);
        return traits_type::not_eof(c);
    }
};

__attribute__((noinline)) int compareAndProbe(const void *a, const void *b) {
    if (g_pending) {
        g_pending = false;
        std::once_flag once;  // pthread_once in libc, its proxy in libstdc++
        std::call_once(once, [] {
            ProbeBuffer buffer;
            std::ostream out(&buffer);
            out << 'x' << std::flush;
        });
    }
    return *static_cast<const int *>(a) - *static_cast<const int *>(b);
}

bool g_direct;  // the recursion's bottom calls the probe itself

}  // namespace

extern "C" __attribute__((noinline)) long bench_through_libraries(bench_probe probe, void *ctx) {
    if (g_direct) {
        probe(ctx);
        return 0;
    }
    g_probe = probe;
    g_ctx = ctx;
    g_pending = true;
    int values[8] = {5, 3, 7, 1, 8, 2, 6, 4};
    qsort(values, 8, sizeof(int), compareAndProbe);
    return values[0];
}

namespace {

// The stacks: the recursion with frame pointers alone (what a frame-pointer
// walk can follow to its end), and with or without frame pointers above the
// library frames.
struct Stack {
    const char *name;
    bool framePointers;
    bool direct;
};
const Stack kStacks[] = {{"fp", true, true}, {"fp+libs", true, false}, {"nofp+libs", false, false}};

long runOnStack(const Stack &stack, long depth, bench_probe probe, void *ctx) {
    g_direct = stack.direct;
    return stack.framePointers ? bench_recurse_fp(probe, ctx, depth) : bench_recurse_nofp(probe, ctx, depth);
}

// --- The walkers --------------------------------------------------------------

enum class Walker { Cursor, CursorOneHold, FramePointer, Dwarf, UnwindBacktrace, Libunwind, Compact };

struct Job {
    benchmark::State *state;
    Walker walker;
};

int walkOursFrom(const bbcrash_async_thread_state &start, Walker walker) {
    static const bbcrash_async_frame_reader kFramePointer[] = {bbcrash_async_frame_read_frame_ptr};
    static const bbcrash_async_frame_reader kDwarf[] = {bbcrash::BN::async::bbcrash_async_frame_read_dwarf_unwind};
    task_memory_hold_begin();  // nested in the benchmark's own hold for CursorOneHold
    bbcrash_async_frame_cursor cursor;
    bbcrash_async_frame_cursor_init(&cursor, mach_task_self(), &start, unwindtest::loadedImageList());
    int n = 0;
    while (n < kMaxFrames) {
        bbcrash_frame_error_t err;
        switch (walker) {
        case Walker::FramePointer: err = bbcrash_async_frame_cursor_next_with_readers(&cursor, kFramePointer, 1); break;
        case Walker::Dwarf: err = bbcrash_async_frame_cursor_next_with_readers(&cursor, kDwarf, 1); break;
        default: err = bbcrash_async_frame_cursor_next(&cursor); break;
        }
        if (err != BBCRASH_FRAME_ESUCCESS) break;
        n++;
    }
    benchmark::DoNotOptimize(cursor.frame);
    bbcrash_async_frame_cursor_free(&cursor);
    task_memory_hold_end();
    return n;
}

_Unwind_Reason_Code countFrame(_Unwind_Context *context, void *arg) {
    benchmark::DoNotOptimize(_Unwind_GetIP(context));
    return ++*static_cast<int *>(arg) >= kMaxFrames ? _URC_END_OF_STACK : _URC_NO_REASON;
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

__attribute__((noinline)) int walkLibunwind() {
    const Libunwind *lib = libunwind();
    unw_context_t context;
    unw_cursor_t cursor;
    lib->getcontext(&context);
    lib->initLocal(&cursor, &context);
    int n = 1;
    while (n < kMaxFrames && lib->step(&cursor) > 0) {
        unw_word_t ip;
        lib->getReg(&cursor, UNW_REG_IP, &ip);
        benchmark::DoNotOptimize(ip);
        n++;
    }
    return n;
}
#endif

// Runs the benchmark's loop inside the probe, at the bottom of the stack.
__attribute__((noinline)) void probe(void *data) {
    auto *job = static_cast<Job *>(data);
    x86_mcontext64_t mctx{};
    platform_mach_thread_capture_state64(&mctx.ss);
    bbcrash_async_thread_state start;
    bbcrash_async_thread_state_mcontext_init(&start, &mctx);
    int64_t frames = 0;
    int last = 0;
    // A report walks every thread under one hold: pages proved readable by
    // one walk are not probed again by the next.
    const bool oneHold = job->walker == Walker::CursorOneHold;
    if (oneHold) {
        task_memory_hold_begin();
    }
    for (auto _ : *job->state) {
        int n = 0;
        switch (job->walker) {
        case Walker::UnwindBacktrace: _Unwind_Backtrace(countFrame, &n); break;
#ifdef BENCH_HAVE_LIBUNWIND
        case Walker::Libunwind: n = walkLibunwind(); break;
#endif
        default: n = walkOursFrom(start, job->walker); break;
        }
        frames += n;
        last = n;
    }
    if (oneHold) {
        task_memory_hold_end();
    }
    job->state->counters["frames"] = last;
    job->state->counters["frames_per_second"] = benchmark::Counter(double(frames), benchmark::Counter::kIsRate);
    __asm__ volatile("");
}

void walkBenchmark(benchmark::State &state, const Stack &stack, long depth, Walker walker) {
#ifdef BENCH_HAVE_LIBUNWIND
    if (walker == Walker::Libunwind && libunwind() == nullptr) {
        state.SkipWithError("libunwind.so.8 not found");
        return;
    }
#endif
    Job job{&state, walker};
    runOnStack(stack, depth, probe, &job);
}

#ifdef BENCH_MACHO_IMAGE
// The compact reader needs a Mach-O image: the same recursion built for
// x86_64 macOS, mapped into this process and run. Neither baseline can
// unwind that code; the engine's frame-pointer reader walks it beside the
// compact one, and the ratio is taken against _Unwind_Backtrace per frame on
// the ELF stack of the same depth.
using MachORecurse = long (*)(bench_probe, void *, long);

MachORecurse machoRecurse() {
    static MachORecurse fn = []() -> MachORecurse {
        static unwindtest::CompactUnwindTestImage image(BENCH_MACHO_IMAGE, true);
        if (!image.loaded()) return nullptr;
        bbcrash_nasync_image_list_append_with_base(unwindtest::loadedImageList(), image.header(), image.header(),
                                                   BENCH_MACHO_IMAGE);
        // The recursion is the image's only function, at the start of __text.
        return reinterpret_cast<MachORecurse>(image.section("__TEXT", "__text").address);
    }();
    return fn;
}

// Walks only the recursion's frames (and the probe's): what lies below it
// is this program's ELF code.
__attribute__((noinline)) void probeMachO(void *data) {
    auto *job = static_cast<Job *>(data);
    static const bbcrash_async_frame_reader kCompact[] = {bbcrash_async_frame_read_compact_unwind,
                                                          bbcrash_async_frame_read_frame_ptr};
    static const bbcrash_async_frame_reader kFramePointer[] = {bbcrash_async_frame_read_frame_ptr};
    const long depth = long(job->state->range(0));
    x86_mcontext64_t mctx{};
    platform_mach_thread_capture_state64(&mctx.ss);
    bbcrash_async_thread_state start;
    bbcrash_async_thread_state_mcontext_init(&start, &mctx);
    int64_t frames = 0;
    for (auto _ : *job->state) {
        task_memory_hold_begin();
        bbcrash_async_frame_cursor cursor;
        bbcrash_async_frame_cursor_init(&cursor, mach_task_self(), &start, unwindtest::loadedImageList());
        int n = 0;
        while (n < depth + 2 && bbcrash_async_frame_cursor_next_with_readers(
                                    &cursor, job->walker == Walker::Compact ? kCompact : kFramePointer,
                                    job->walker == Walker::Compact ? 2 : 1) == BBCRASH_FRAME_ESUCCESS) {
            n++;
        }
        task_memory_hold_end();
        if (n < depth + 2) {
            job->state->SkipWithError("the walk ended early");
            break;
        }
        frames += n;
    }
    job->state->counters["frames"] = double(depth + 2);
    job->state->counters["frames_per_second"] = benchmark::Counter(double(frames), benchmark::Counter::kIsRate);
}

void machoBenchmark(benchmark::State &state, Walker walker) {
    if (machoRecurse() == nullptr) {
        state.SkipWithError("the Mach-O image could not be loaded");
        return;
    }
    Job job{&state, walker};
    machoRecurse()(probeMachO, &job, long(state.range(0)));
}
#endif

// --- Symbol lookup ---------------------------------------------------------------

struct LookupTarget {
    const char *label;
    uintptr_t address;
};

const LookupTarget kLookups[] = {
    {"executable", reinterpret_cast<uintptr_t>(&bench_through_libraries) + 5},
    {"libc", reinterpret_cast<uintptr_t>(&qsort) + 5},
    {"libstdc++", reinterpret_cast<uintptr_t>(static_cast<void (*)()>(&std::terminate)) + 5},
};

void ignoreSymbol(mach_vm_address_t address, const char *name, void *) {
    benchmark::DoNotOptimize(address);
    benchmark::DoNotOptimize(name);
}

void LookupOurs(benchmark::State &state) {
    const uintptr_t address = kLookups[state.range(0)].address;
    bbcrash_async_image_list *list = unwindtest::loadedImageList();
    // A report symbolicates all its frames under one hold: the tables' pages
    // are proved readable once, not at every lookup.
    task_memory_hold_begin();
    for (auto _ : state) {
        bbcrash_async_image_list_set_reading(list, true);
        bbcrash_async_macho *image = bbcrash_async_image_containing_address(list, address);
        if (image == nullptr ||
            bbcrash_async_find_symbol(image, 1, nullptr, address, ignoreSymbol, nullptr) != BBCRASH_ESUCCESS) {
            state.SkipWithError("no symbol found");
        }
        bbcrash_async_image_list_set_reading(list, false);
    }
    task_memory_hold_end();
    state.SetLabel(kLookups[state.range(0)].label);
}

void LookupDladdr(benchmark::State &state) {
    const uintptr_t address = kLookups[state.range(0)].address;
    Dl_info info{};
    for (auto _ : state) {
        info = Dl_info{};
        benchmark::DoNotOptimize(dladdr(reinterpret_cast<void *>(address), &info));
        benchmark::DoNotOptimize(info.dli_sname);
    }
    // dladdr knows only exported symbols: say what it found.
    state.SetLabel(std::string(kLookups[state.range(0)].label) + ": " +
                   (info.dli_sname != nullptr ? info.dli_sname : "no symbol"));
}

// --- The table ----------------------------------------------------------------------

// Collects each run's rate (frames per second, or lookups per second), then
// prints the time per frame or lookup relative to its baseline.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto &run : runs) {
            if (run.error_occurred) continue;
            const auto rate = run.counters.find("frames_per_second");
            const auto frames = run.counters.find("frames");
            Result r;
            if (rate != run.counters.end()) {
                r.nsPerUnit = 1e9 / rate->second.value;
                r.frames = frames != run.counters.end() ? int(frames->second.value) : 0;
            } else {
                r.nsPerUnit = run.GetAdjustedRealTime();  // ns per iteration: one lookup
            }
            results_[run.benchmark_name()] = r;
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf(
            "\nTime per frame as a multiple of _Unwind_Backtrace's on the same stack "
            "(frames walked in brackets):\n");
        std::printf("  %-14s %18s %16s %16s %16s %16s %16s\n", "stack", "_Unwind_Backtrace", "libunwind", "cursor",
                    "cursor, 1 hold", "frame pointer", "DWARF only");
        for (const Stack &stack : kStacks) {
            for (int depth : {32, 256}) {
                const std::string key = std::string(stack.name) + "/" + std::to_string(depth);
                const Result *base = find("Walk/" + key + "/UnwindBacktrace");
                if (base == nullptr) continue;
                std::printf("  %-14s", key.c_str());
                for (const char *walker :
                     {"UnwindBacktrace", "Libunwind", "Cursor", "CursorOneHold", "FramePointer", "Dwarf"}) {
                    const Result *r = find("Walk/" + key + "/" + walker);
                    if (r == nullptr) {
                        std::printf(" %16s", "-");
                        continue;
                    }
                    char cell[64];
                    std::snprintf(cell, sizeof(cell), "%.2fx [%d]", r->nsPerUnit / base->nsPerUnit, r->frames);
                    std::printf(" %16s", cell);  // ratio [frames]
                }
                std::printf("   (%.0f ns/frame)\n", base->nsPerUnit);
            }
        }
        for (int depth : {32, 256}) {
            const Result *base = find("Walk/fp+libs/" + std::to_string(depth) + "/UnwindBacktrace");
            const Result *compact = find("MachOCompact/" + std::to_string(depth));
            const Result *fp = find("MachOFramePointer/" + std::to_string(depth));
            if (base != nullptr && compact != nullptr && fp != nullptr) {
                std::printf("  Mach-O/%-15d compact %.2fx, frame pointer %.2fx of _Unwind_Backtrace per frame\n", depth,
                            compact->nsPerUnit / base->nsPerUnit, fp->nsPerUnit / base->nsPerUnit);
            }
        }
        std::printf("\nSymbol lookup time as a multiple of dladdr's:\n");
        for (int i = 0; i < 3; i++) {
            const Result *ours = find("LookupOurs/" + std::to_string(i));
            const Result *base = find("LookupDladdr/" + std::to_string(i));
            if (ours != nullptr && base != nullptr) {
                std::printf("  %-12s %8.2fx  (ours %.0f ns, dladdr %.0f ns)\n", kLookups[i].label,
                            ours->nsPerUnit / base->nsPerUnit, ours->nsPerUnit, base->nsPerUnit);
            }
        }
    }

private:
    struct Result {
        double nsPerUnit = 0;
        int frames = 0;
    };
    const Result *find(const std::string &name) const {
        const auto it = results_.find(name);
        return it == results_.end() ? nullptr : &it->second;
    }
    std::map<std::string, Result> results_;
};

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    unwindtest::loadedImageList();
    const struct {
        const char *name;
        Walker walker;
    } walkers[] = {{"UnwindBacktrace", Walker::UnwindBacktrace},
#ifdef BENCH_HAVE_LIBUNWIND
                   {"Libunwind", Walker::Libunwind},
#endif
                   {"Cursor", Walker::Cursor},
                   {"CursorOneHold", Walker::CursorOneHold},
                   {"FramePointer", Walker::FramePointer},
                   {"Dwarf", Walker::Dwarf}};
    for (const Stack &stack : kStacks) {
        for (long depth : {32L, 256L}) {
            for (const auto &w : walkers) {
                if (w.walker == Walker::FramePointer && !stack.framePointers) continue;  // nothing to follow
                const std::string name = std::string("Walk/") + stack.name + "/" + std::to_string(depth) + "/" + w.name;
                const Walker walker = w.walker;
                const Stack *which = &stack;
                benchmark::RegisterBenchmark(name.c_str(), [which, depth, walker](benchmark::State &state) {
                    walkBenchmark(state, *which, depth, walker);
                });
            }
        }
    }
#ifdef BENCH_MACHO_IMAGE
    benchmark::RegisterBenchmark("MachOCompact", [](benchmark::State &s) { machoBenchmark(s, Walker::Compact); })
        ->Arg(32)
        ->Arg(256);
    benchmark::RegisterBenchmark("MachOFramePointer",
                                 [](benchmark::State &s) { machoBenchmark(s, Walker::FramePointer); })
        ->Arg(32)
        ->Arg(256);
#endif
    benchmark::RegisterBenchmark("LookupOurs", LookupOurs)->DenseRange(0, 2);
    benchmark::RegisterBenchmark("LookupDladdr", LookupDladdr)->DenseRange(0, 2);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
