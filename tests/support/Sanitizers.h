#pragma once
// Whether this build runs under AddressSanitizer and UndefinedBehaviorSanitizer
// (the second build tree of scripts/test.sh, configured with
// -DPLOTWICK_SANITIZE=ON), and a skip for the few tests that cannot run
// instrumented: the instrumentation itself changes what they measure or do
// (stack use, deliberate faults, interceptors in the way of a stack walk).
// Use it as the first statement of such a test, with the reason:
//
//     SKIP_UNDER_SANITIZERS("measures the stack the crash path uses");
//
// The ThreadSanitizer build (scripts/tsan.sh, -DPLOTWICK_TSAN=ON) has a skip
// of its own, SKIP_UNDER_TSAN, for tests it cannot run: a crash child whose
// signals and faults ThreadSanitizer's own handlers take over, a test whose
// point is a deliberate race, waits that its slowdown makes meaningless.
#include <gtest/gtest.h>

#if defined(PLOTWICK_SANITIZED) || defined(__SANITIZE_ADDRESS__)
#define PLOTWICK_UNDER_SANITIZERS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(undefined_behavior_sanitizer)
#define PLOTWICK_UNDER_SANITIZERS 1
#endif
#endif
#ifndef PLOTWICK_UNDER_SANITIZERS
#define PLOTWICK_UNDER_SANITIZERS 0
#endif

#if defined(PLOTWICK_THREAD_SANITIZED) || defined(__SANITIZE_THREAD__)
#define PLOTWICK_UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define PLOTWICK_UNDER_TSAN 1
#endif
#endif
#ifndef PLOTWICK_UNDER_TSAN
#define PLOTWICK_UNDER_TSAN 0
#endif

#define SKIP_UNDER_TSAN(reason)                                                                    \
    do {                                                                                           \
        if (PLOTWICK_UNDER_TSAN) GTEST_SKIP() << "cannot run under ThreadSanitizer: " << (reason); \
    } while (0)

#define SKIP_UNDER_SANITIZERS(reason)                                                                   \
    do {                                                                                                \
        if (PLOTWICK_UNDER_SANITIZERS) GTEST_SKIP() << "cannot run under the sanitizers: " << (reason); \
    } while (0)
