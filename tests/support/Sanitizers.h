#pragma once
// Whether this build runs under AddressSanitizer and UndefinedBehaviorSanitizer
// (the second build tree of scripts/test.sh, configured with
// -DPLOTWICK_SANITIZE=ON), and a skip for the few tests that cannot run
// instrumented: the instrumentation itself changes what they measure or do
// (stack use, deliberate faults, interceptors in the way of a stack walk).
// Use it as the first statement of such a test, with the reason:
//
//     SKIP_UNDER_SANITIZERS("measures the stack the crash path uses");
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

#define SKIP_UNDER_SANITIZERS(reason) \
    do { \
        if (PLOTWICK_UNDER_SANITIZERS) GTEST_SKIP() << "cannot run under the sanitizers: " << (reason); \
    } while (0)
