#pragma once
// The stack the benchmark walks: a recursion of a given depth (with or
// without frame pointers) whose bottom calls the probe through libc and
// libstdc++ frames (qsort's comparator, std::call_once, an ostream writing
// into a custom streambuf).

extern "C" {
typedef void (*bench_probe)(void *ctx);

long bench_recurse_fp(bench_probe probe, void *ctx, long depth);
long bench_recurse_nofp(bench_probe probe, void *ctx, long depth);

// Defined by the benchmark: calls probe(ctx) through the library frames.
long bench_through_libraries(bench_probe probe, void *ctx);
}
