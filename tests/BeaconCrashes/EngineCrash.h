#pragma once
// Crashes a forked child with the crash engine enabled, then reads the
// report it left as the next launch would.
#include <functional>
#include <memory>
#include <string>

#include "BBCrashReport.h"
#include "support/ForkedChild.h"

namespace crashestest {

struct EngineCrash {
    testsupport::ChildResult child;
    std::shared_ptr<BBCrashReport> report;

    std::optional<std::string> exceptionName() const;
    std::optional<std::string> exceptionReason() const;
    // The return addresses the report keeps for the exception, innermost first.
    std::vector<uint64_t> exceptionFrames() const;
};

// The child enables an engine (signal handler type 0, the uncaught-exception
// handler registered) with its files in a temporary folder, runs `setUp`,
// then `crash`.
EngineCrash crashWithEngine(const std::function<void()> &crash);

// Where a function of this test binary lies in memory (a forked child has
// the same addresses): from its address and the size `nm` gives its symbol.
struct CodeRange {
    uint64_t start = 0, end = 0;
    // Return addresses after a call that never returns can point just past
    // the function: they are looked up at the address before.
    bool containsReturnAddress(uint64_t address) const { return address > start && address - 1 < end; }
};
CodeRange codeRange(const void *function, const std::string &symbol);

}  // namespace crashestest
