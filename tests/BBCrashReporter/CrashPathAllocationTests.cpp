// The stack walk and symbol lookup as a crash handler runs them (task held,
// every reader, symbol table and Objective-C lookups), in a crashing child
// whose malloc, calloc, realloc, free and pthread_mutex_lock count their
// calls: none may happen while the handler runs.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "support/TestSupport.h"
#include "support/Sanitizers.h"

#ifdef PLOTWICK_CRASH_PATH_PROBE

TEST(CrashPathAllocationTests, WalksAndLookupsAllocateNothingAndTakeNoLock) {
    SKIP_UNDER_SANITIZERS("AddressSanitizer replaces malloc and free, so the probe cannot interpose them");
    int exitCode = -1;
    const std::string out = testsupport::runCommand(PLOTWICK_CRASH_PATH_PROBE, &exitCode);
    ASSERT_EQ(exitCode, 0) << out;
    int allocations = -1, locks = -1, frames[4] = {}, symbols = 0;
    ASSERT_EQ(std::sscanf(out.c_str(), "allocations %d locks %d frames %d %d %d %d symbols %d", &allocations, &locks,
                          &frames[0], &frames[1], &frames[2], &frames[3], &symbols),
              7)
        << out;
    EXPECT_EQ(allocations, 0);
    EXPECT_EQ(locks, 0);
    // Fault, comparator, qsort's frames, sortAndCrash, main, libc's start, _start.
    EXPECT_GE(frames[0], 7) << out;
    EXPECT_EQ(frames[2], frames[0]) << out;  // DWARF alone walks the same stack
    EXPECT_GE(frames[1], 3) << out;
    EXPECT_GE(symbols, frames[0] - 1) << out;
}

#endif
