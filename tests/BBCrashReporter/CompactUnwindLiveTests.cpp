// A live walk with only the compact unwind reader: an x86_64 Mach-O image
// built by the tests is mapped into this process and called with sentinels
// in the callee-saved registers; from inside its innermost call the walk
// goes back out through its frame-based, frameless and large-frame
// functions, and must arrive at the call site with the sentinels restored.
#include <gtest/gtest.h>

#include <setjmp.h>

#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "CompactUnwindTestImage.h"
#include "bbcrash_frame_compact_unwind.h"
#include "platform/mach/thread_capture.h"
#include "support/TestSupport.h"

#if PLOTWICK_UNWIND_FIXTURES && defined(__x86_64__)

using namespace platform::mach;

namespace {

constexpr uint64_t kSentinels[5] = {0x5e57000000000b0bULL, 0x5e57000000000c0cULL, 0x5e57000000000d0dULL,
                                    0x5e57000000000e0eULL, 0x5e57000000000f0fULL};
constexpr bbcrash_regnum_t kSentinelRegs[5] = {BBCRASH_X86_64_RBX, BBCRASH_X86_64_R12, BBCRASH_X86_64_R13,
                                               BBCRASH_X86_64_R14, BBCRASH_X86_64_R15};
constexpr int kMaxFrames = 16;

struct WalkContext {
    x86_thread_state64_t captured;  // first: the stub fills it
    bbcrash_async_image_list *images;
    sigjmp_buf *escape;   // left by after the walk, when set
    bool defaultReaders;  // the cursor's own readers rather than compact unwind alone
    int frames;
    bbcrash_frame_error_t end;
    bbcrash_async_thread_state states[kMaxFrames];
};

}  // namespace

extern "C" {
__attribute__((visibility("hidden"))) uint64_t unwind_live_call_site;
__attribute__((visibility("hidden"))) uint64_t unwind_live_caller_rsp;
__attribute__((visibility("hidden"))) uint64_t unwind_live_caller_rbp;
__attribute__((visibility("hidden"))) uint64_t unwind_live_saved_rsp;

// Walks from the captured state with the compact reader alone.
__attribute__((visibility("hidden"))) void unwind_live_walk(void *data) {
    auto *ctx = static_cast<WalkContext *>(data);
    x86_mcontext64_t mctx{};
    mctx.ss = ctx->captured;
    bbcrash_async_thread_state state;
    bbcrash_async_thread_state_mcontext_init(&state, &mctx);
    bbcrash_async_frame_cursor cursor;
    bbcrash_async_frame_cursor_init(&cursor, mach_task_self(), &state, ctx->images);
    const bbcrash_async_frame_reader readers[] = {bbcrash_async_frame_read_compact_unwind};
    ctx->frames = 0;
    while (ctx->frames < kMaxFrames) {
        ctx->end = ctx->defaultReaders ? bbcrash_async_frame_cursor_next(&cursor)
                                       : bbcrash_async_frame_cursor_next_with_readers(&cursor, readers, 1);
        if (ctx->end != BBCRASH_FRAME_ESUCCESS) {
            break;
        }
        ctx->states[ctx->frames++] = cursor.frame;
    }
    bbcrash_async_frame_cursor_free(&cursor);
    if (ctx->escape != nullptr) {
        siglongjmp(*ctx->escape, 1);
    }
}

// The callback the image's innermost function calls: records the state of
// that function at its call (return address, stack pointer after the
// return, its callee-saved registers) and walks from there.
__attribute__((naked, visibility("hidden"))) void unwind_live_stub(void *) {
    __asm__(
        "call platform_mach_thread_capture_state64@PLT\n\t"
        "movq (%rsp), %rax\n\t"
        "movq %rax, 128(%rdi)\n\t"
        "leaq 8(%rsp), %rax\n\t"
        "movq %rax, 56(%rdi)\n\t"
        "subq $8, %rsp\n\t"
        "call unwind_live_walk@PLT\n\t"
        "addq $8, %rsp\n\t"
        "ret\n\t");
}
}

namespace {

// Calls entry(stub, ctx) with the sentinels in rbx and r12-r15, on an
// aligned stack below the red zone, recording the call site.
__attribute__((noinline)) long callWithSentinels(void *entry, void *ctx) {
    void *stub = reinterpret_cast<void *>(&unwind_live_stub);
    __asm__ volatile(
        "movq %%rsp, unwind_live_saved_rsp(%%rip)\n\t"
        "subq $128, %%rsp\n\t"
        "andq $-16, %%rsp\n\t"
        "movq %%rsp, unwind_live_caller_rsp(%%rip)\n\t"
        "movq %%rbp, unwind_live_caller_rbp(%%rip)\n\t"
        "leaq 1f(%%rip), %%rcx\n\t"
        "movq %%rcx, unwind_live_call_site(%%rip)\n\t"
        "movabsq $0x5e57000000000b0b, %%rbx\n\t"
        "movabsq $0x5e57000000000c0c, %%r12\n\t"
        "movabsq $0x5e57000000000d0d, %%r13\n\t"
        "movabsq $0x5e57000000000e0e, %%r14\n\t"
        "movabsq $0x5e57000000000f0f, %%r15\n\t"
        "callq *%%rax\n"
        "1:\n\t"
        "movq unwind_live_saved_rsp(%%rip), %%rsp\n\t"
        : "+a"(entry), "+D"(stub), "+S"(ctx)
        :
        : "rbx", "r12", "r13", "r14", "r15", "rcx", "rdx", "r8", "r9", "r10", "r11", "memory", "cc");
    return reinterpret_cast<long>(entry);
}

struct Function {
    uint64_t start, end;
    std::set<uint64_t> returnAddresses;  // the instruction after each call
};

// Functions of the image by name, from llvm-nm and the disassembly.
std::map<std::string, Function> readFunctions(const std::string &path) {
    std::map<std::string, Function> functions;
    const std::string nm =
        testsupport::runCommand(std::string(PLOTWICK_UNWIND_NM) + " -n --defined-only '" + path + "'");
    static const std::regex symbol(R"(^([0-9a-f]+) [tT] _(\S+)$)");
    std::istringstream syms(nm);
    std::string line, previous;
    std::smatch m;
    while (std::getline(syms, line)) {
        if (std::regex_match(line, m, symbol)) {
            const uint64_t address = std::stoull(m[1], nullptr, 16);
            if (!previous.empty()) functions[previous].end = address;
            functions[m[2]] = Function{address, UINT64_MAX, {}};
            previous = m[2];
        }
    }
    const std::string disasm =
        testsupport::runCommand(std::string(PLOTWICK_UNWIND_OBJDUMP) + " -d --no-show-raw-insn '" + path + "'");
    static const std::regex insn(R"(^\s+([0-9a-f]+):\s+(\w+))");
    std::istringstream in(disasm);
    bool afterCall = false;
    while (std::getline(in, line)) {
        if (!std::regex_search(line, m, insn)) continue;
        const uint64_t address = std::stoull(m[1], nullptr, 16);
        if (afterCall) {
            for (auto &f : functions) {
                if (f.second.start <= address - 1 && address - 1 < f.second.end)
                    f.second.returnAddresses.insert(address);
            }
        }
        afterCall = m[2].str().rfind("call", 0) == 0;
    }
    return functions;
}

}  // namespace

TEST(CompactUnwindLiveTests, WalksOutOfARunningImageWithTheCompactReaderAlone) {
    const std::string path = std::string(PLOTWICK_UNWIND_FIXTURE_DIR) + "/liblive-x86_64.dylib";
    unwindtest::CompactUnwindTestImage image(path, true);
    ASSERT_TRUE(image.loaded()) << image.error();
    const auto functions = readFunctions(path);
    ASSERT_EQ(functions.count("live_entry"), 1u);

    bbcrash_async_image_list images;
    bbcrash_nasync_image_list_init(&images, mach_task_self());
    bbcrash_nasync_image_list_append_with_base(&images, image.header(), image.header(), path.c_str());

    WalkContext ctx{};
    ctx.images = &images;
    void *entry = reinterpret_cast<void *>(functions.at("live_entry").start + image.slide());
    callWithSentinels(entry, &ctx);

    // live_leaf, live_frameless_indirect, live_frameless_immediate,
    // live_entry, then the call site here.
    ASSERT_EQ(ctx.frames, 5) << "walk ended with " << ctx.end;
    EXPECT_EQ(ctx.end, BBCRASH_FRAME_ENOTSUP);  // no image covers this test's code
    const char *expected[] = {"live_leaf", "live_frameless_indirect", "live_frameless_immediate", "live_entry"};
    for (int i = 0; i < 4; i++) {
        const uint64_t ip = bbcrash_async_thread_state_get_reg(&ctx.states[i], BBCRASH_REG_IP) - image.slide();
        const Function &fn = functions.at(expected[i]);
        EXPECT_TRUE(fn.returnAddresses.count(ip))
            << "frame " << i << " at " << std::hex << ip << " is not a call site of " << expected[i];
    }
    const bbcrash_async_thread_state &caller = ctx.states[4];
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&caller, BBCRASH_REG_IP), unwind_live_call_site);
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&caller, BBCRASH_REG_SP), unwind_live_caller_rsp);
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&caller, BBCRASH_REG_FP), unwind_live_caller_rbp);
    for (int r = 0; r < 5; r++) {
        ASSERT_TRUE(bbcrash_async_thread_state_has_reg(&caller, kSentinelRegs[r]));
        EXPECT_EQ(bbcrash_async_thread_state_get_reg(&caller, kSentinelRegs[r]), kSentinels[r]) << "register " << r;
    }
    bbcrash_nasync_image_list_free(&images);
}

#endif

#if PLOTWICK_UNWIND_FIXTURES && defined(__x86_64__)

// live_noreturn_caller ends with a call to live_never_returns, so its
// return address is the first byte of live_after_noreturn_caller, which has
// no unwind information at all. Looking up the address before it finds the
// caller's own entry and the walk goes on to the call site.
TEST(CompactUnwindLiveTests, CallerOfANoReturnCallUnwindsAsItself) {
    const std::string path = std::string(PLOTWICK_UNWIND_FIXTURE_DIR) + "/liblive-x86_64.dylib";
    unwindtest::CompactUnwindTestImage image(path, true);
    ASSERT_TRUE(image.loaded()) << image.error();
    const auto functions = readFunctions(path);
    ASSERT_EQ(functions.at("live_noreturn_caller").end, functions.at("live_after_noreturn_caller").start);

    bbcrash_async_image_list images;
    bbcrash_nasync_image_list_init(&images, mach_task_self());
    bbcrash_nasync_image_list_append_with_base(&images, image.header(), image.header(), path.c_str());
    static sigjmp_buf escape;
    static WalkContext ctx;
    ctx = WalkContext{};
    ctx.images = &images;
    ctx.escape = &escape;
    // Looked up before the jump: the walk leaves by siglongjmp, which would
    // skip the destructor of a temporary key string made in the call.
    void *noreturnCaller = reinterpret_cast<void *>(functions.at("live_noreturn_caller").start + image.slide());
    if (sigsetjmp(escape, 0) == 0) {
        callWithSentinels(noreturnCaller, &ctx);
    }
    ASSERT_EQ(ctx.frames, 3) << "walk ended with " << ctx.end;
    const uint64_t returnAddress = bbcrash_async_thread_state_get_reg(&ctx.states[1], BBCRASH_REG_IP) - image.slide();
    EXPECT_EQ(returnAddress, functions.at("live_after_noreturn_caller").start);  // reported as it is
    const bbcrash_async_thread_state &caller = ctx.states[2];
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&caller, BBCRASH_REG_IP), unwind_live_call_site);
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&caller, BBCRASH_REG_SP), unwind_live_caller_rsp);
    for (int r = 0; r < 5; r++) {
        EXPECT_EQ(bbcrash_async_thread_state_get_reg(&caller, kSentinelRegs[r]), kSentinels[r]) << "register " << r;
    }
    bbcrash_nasync_image_list_free(&images);
}

// An image with __eh_frame and no __unwind_info: the compact reader has
// nothing, and the cursor's next reader, DWARF, unwinds the frame from the
// image's own call-frame information.
TEST(CompactUnwindLiveTests, CursorFallsBackToDwarfInAMachOImage) {
    const std::string path = std::string(PLOTWICK_UNWIND_FIXTURE_DIR) + "/libdwarfonly-x86_64.dylib";
    unwindtest::CompactUnwindTestImage image(path, true);
    ASSERT_TRUE(image.loaded()) << image.error();
    ASSERT_EQ(image.section("__TEXT", "__unwind_info").address, 0u);
    const auto functions = readFunctions(path);
    const Function &fn = functions.at("dwarf_only");
    // The fixture's FDE must cover the function (the linker does not
    // relocate __eh_frame).
    const std::string fdes =
        testsupport::runCommand(std::string(PLOTWICK_UNWIND_DWARFDUMP) + " --eh-frame '" + path + "'");
    char range[64];
    std::snprintf(range, sizeof(range), "pc=%08llx...", (unsigned long long)fn.start);
    ASSERT_NE(fdes.find(range), std::string::npos) << fdes;

    bbcrash_async_image_list images;
    bbcrash_nasync_image_list_init(&images, mach_task_self());
    bbcrash_nasync_image_list_append_with_base(&images, image.header(), image.header(), path.c_str());
    void *entry = reinterpret_cast<void *>(fn.start + image.slide());

    static WalkContext compactOnly;
    compactOnly = WalkContext{};
    compactOnly.images = &images;
    callWithSentinels(entry, &compactOnly);
    EXPECT_EQ(compactOnly.frames, 1);
    EXPECT_EQ(compactOnly.end, BBCRASH_FRAME_ENOTSUP);

    static WalkContext ctx;
    ctx = WalkContext{};
    ctx.images = &images;
    ctx.defaultReaders = true;
    callWithSentinels(entry, &ctx);
    ASSERT_GE(ctx.frames, 2) << "walk ended with " << ctx.end;
    EXPECT_TRUE(
        fn.returnAddresses.count(bbcrash_async_thread_state_get_reg(&ctx.states[0], BBCRASH_REG_IP) - image.slide()));
    const bbcrash_async_thread_state &caller = ctx.states[1];
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&caller, BBCRASH_REG_IP), unwind_live_call_site);
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&caller, BBCRASH_REG_SP), unwind_live_caller_rsp);
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&caller, BBCRASH_REG_FP), unwind_live_caller_rbp);
    for (int r = 0; r < 5; r++) {
        EXPECT_EQ(bbcrash_async_thread_state_get_reg(&caller, kSentinelRegs[r]), kSentinels[r]) << "register " << r;
    }
    bbcrash_nasync_image_list_free(&images);
}

#endif
