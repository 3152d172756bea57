#pragma once
// Walks of this thread's own stack, recorded frame by frame for comparison:
// the engine's cursor (the DWARF reader alone, or the default readers),
// _Unwind_Backtrace and libunwind (loaded privately, when installed).
#include <cstdint>
#include <string>

#include "bbcrash_async_thread_state.h"

namespace livewalk {

constexpr int kMaxFrames = 256;
// The callee-saved registers compared with libunwind's, and their names.
extern const bbcrash_regnum_t kCalleeSaved[6];
extern const char *const kCalleeSavedNames[6];

struct Frame {
    uint64_t ip = 0;
    uint64_t sp = 0;
    bool hasSp = false;
    uint64_t regs[6] = {};
    bool hasReg[6] = {};
};

struct Walk {
    Frame frames[kMaxFrames];
    int count = 0;
    int end = 0;  // the cursor's last result
};

// Walks with the cursor's default readers rather than the DWARF reader alone.
extern bool g_defaultReaders;

void record(Walk *walk, const bbcrash_async_thread_state &state);
// Walks from `state` with the engine's cursor.
void walkFrom(const bbcrash_async_thread_state &state, Walk *walk);
// Frame 0 of each is the walking function itself.
void walkOurs(Walk *walk);
void walkUnwind(Walk *walk);
// False (and nothing recorded) without libunwind.
bool walkLibunwind(Walk *walk);

const char *symbolName(uint64_t ip);
std::string describe(const char *label, const Walk &walk);

}  // namespace livewalk
