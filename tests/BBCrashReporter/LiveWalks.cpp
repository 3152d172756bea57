#include "LiveWalks.h"

#include <dlfcn.h>
#include <unwind.h>

#include <cstdio>

#include "LoadedImages.h"
#include "bbcrash_frame_dwarf_unwind.h"
#include "platform/mach/thread_capture.h"

#if __has_include(<libunwind.h>)
#define UNW_LOCAL_ONLY
#include <libunwind.h>
#define LIVE_WALKS_HAVE_LIBUNWIND 1
#else
#define LIVE_WALKS_HAVE_LIBUNWIND 0
#endif

using namespace platform::mach;

namespace livewalk {

const bbcrash_regnum_t kCalleeSaved[6] = {BBCRASH_X86_64_RBX, BBCRASH_X86_64_RBP, BBCRASH_X86_64_R12,
                                          BBCRASH_X86_64_R13, BBCRASH_X86_64_R14, BBCRASH_X86_64_R15};
const char *const kCalleeSavedNames[6] = {"rbx", "rbp", "r12", "r13", "r14", "r15"};

void record(Walk *walk, const bbcrash_async_thread_state &state) {
    Frame &f = walk->frames[walk->count++];
    f.ip = bbcrash_async_thread_state_get_reg(&state, BBCRASH_REG_IP);
    f.hasSp = bbcrash_async_thread_state_has_reg(&state, BBCRASH_REG_SP);
    f.sp = bbcrash_async_thread_state_get_reg(&state, BBCRASH_REG_SP);
    for (int r = 0; r < 6; r++) {
        f.hasReg[r] = bbcrash_async_thread_state_has_reg(&state, kCalleeSaved[r]);
        f.regs[r] = bbcrash_async_thread_state_get_reg(&state, kCalleeSaved[r]);
    }
}

bool g_defaultReaders = false;

void walkFrom(const bbcrash_async_thread_state &state, Walk *walk) {
    bbcrash_async_frame_cursor cursor;
    bbcrash_async_frame_cursor_init(&cursor, mach_task_self(), &state, unwindtest::loadedImageList());
    const bbcrash_async_frame_reader readers[] = {bbcrash::BN::async::bbcrash_async_frame_read_dwarf_unwind};
    while (walk->count < kMaxFrames) {
        walk->end = g_defaultReaders ? bbcrash_async_frame_cursor_next(&cursor)
                                     : bbcrash_async_frame_cursor_next_with_readers(&cursor, readers, 1);
        if (walk->end != BBCRASH_FRAME_ESUCCESS) {
            break;
        }
        record(walk, cursor.frame);
    }
    bbcrash_async_frame_cursor_free(&cursor);
}

__attribute__((noinline)) void walkOurs(Walk *walk) {
    x86_mcontext64_t mctx{};
    platform_mach_thread_capture_state64(&mctx.ss);
    bbcrash_async_thread_state state;
    bbcrash_async_thread_state_mcontext_init(&state, &mctx);
    walkFrom(state, walk);
}

_Unwind_Reason_Code unwindCallback(_Unwind_Context *context, void *data) {
    auto *walk = static_cast<Walk *>(data);
    if (walk->count == kMaxFrames) {
        return _URC_END_OF_STACK;
    }
    Frame &f = walk->frames[walk->count++];
    f.ip = _Unwind_GetIP(context);
    f.sp = _Unwind_GetCFA(context);  // the callee's CFA: this frame's stack pointer
    f.hasSp = true;
    return _URC_NO_REASON;
}

__attribute__((noinline)) void walkUnwind(Walk *walk) {
    _Unwind_Backtrace(unwindCallback, walk);
    __asm__ volatile("");  // keep the call from becoming a tail call
}

#if LIVE_WALKS_HAVE_LIBUNWIND
namespace {

// libunwind is loaded privately, so that its _Unwind_* functions do not
// replace the C++ runtime's.
struct Libunwind {
    int (*getcontext)(unw_context_t *) = nullptr;
    int (*initLocal)(unw_cursor_t *, unw_context_t *) = nullptr;
    int (*step)(unw_cursor_t *) = nullptr;
    int (*getReg)(unw_cursor_t *, unw_regnum_t, unw_word_t *) = nullptr;

    static const Libunwind &get() {
        static Libunwind lib = [] {
            Libunwind l;
            void *handle = dlopen("libunwind.so.8", RTLD_NOW | RTLD_LOCAL);
            if (handle != nullptr) {
                l.getcontext = reinterpret_cast<decltype(l.getcontext)>(dlsym(handle, "_Ux86_64_getcontext"));
                l.initLocal = reinterpret_cast<decltype(l.initLocal)>(dlsym(handle, "_ULx86_64_init_local"));
                l.step = reinterpret_cast<decltype(l.step)>(dlsym(handle, "_ULx86_64_step"));
                l.getReg = reinterpret_cast<decltype(l.getReg)>(dlsym(handle, "_ULx86_64_get_reg"));
            }
            return l;
        }();
        return lib;
    }
    bool usable() const { return getcontext && initLocal && step && getReg; }
};

}  // namespace
#endif

__attribute__((noinline)) bool walkLibunwind(Walk *walk) {
#if LIVE_WALKS_HAVE_LIBUNWIND
    const Libunwind &lib = Libunwind::get();
    if (!lib.usable()) {
        return false;
    }
    unw_context_t context;
    unw_cursor_t cursor;
    lib.getcontext(&context);
    lib.initLocal(&cursor, &context);
    const unw_regnum_t regs[6] = {UNW_X86_64_RBX, UNW_X86_64_RBP, UNW_X86_64_R12,
                                  UNW_X86_64_R13, UNW_X86_64_R14, UNW_X86_64_R15};
    do {
        Frame &f = walk->frames[walk->count++];
        unw_word_t value = 0;
        lib.getReg(&cursor, UNW_REG_IP, &value);
        f.ip = value;
        lib.getReg(&cursor, UNW_REG_SP, &value);
        f.sp = value;
        f.hasSp = true;
        for (int r = 0; r < 6; r++) {
            f.hasReg[r] = lib.getReg(&cursor, regs[r], &value) == 0;
            f.regs[r] = value;
        }
    } while (walk->count < kMaxFrames && lib.step(&cursor) > 0);
    __asm__ volatile("");
    return true;
#else
    (void)walk;
    return false;
#endif
}

const char *symbolName(uint64_t ip) {
    Dl_info info{};
    return dladdr(reinterpret_cast<void *>(ip - 1), &info) && info.dli_sname ? info.dli_sname : "?";
}

std::string describe(const char *label, const Walk &walk) {
    std::string out = std::string(label) + ":\n";
    char line[160];
    for (int k = 0; k < walk.count; k++) {
        std::snprintf(line, sizeof(line), "  %2d ip %#llx sp %#llx %s\n", k, (unsigned long long)walk.frames[k].ip,
                      (unsigned long long)walk.frames[k].sp, symbolName(walk.frames[k].ip));
        out += line;
    }
    return out;
}

}  // namespace livewalk
