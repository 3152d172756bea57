// The async-safe basics: error texts, offsets, checked task reads, string
// helpers, UTF-8 validation, and the process and host descriptions.
#include "BBCrashHostInfo.h"
#include "BBCrashProcessInfo.h"
#include "bbcrash_async.h"
#include "bbcrash_async_capture.h"
#include "bbcrash_sysctl.h"
#include "platform/syslog/SystemLog.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <vector>

using platform::mach::mach_task_self;

namespace {

TEST(AsyncSupportTests, ErrorTexts) {
    EXPECT_STREQ(bbcrash_error_text(0), "No error");
    EXPECT_STREQ(bbcrash_error_text(2), "Output file can not be opened (or written to)");
    EXPECT_STREQ(bbcrash_error_text(8), "Not found");
    EXPECT_STREQ(bbcrash_error_text(9), "The input data is in an unknown or invalid format.");
    EXPECT_STREQ(bbcrash_error_text(10), "Unhandled error code");
    EXPECT_STREQ(bbcrash_error_text(-1), "Unhandled error code");
}

TEST(AsyncSupportTests, ByteOrdersAndOffsets) {
    EXPECT_EQ(bbcrash_async_byteorder_native()->swap32(0x11223344), 0x11223344u);
    EXPECT_EQ(bbcrash_async_byteorder_swapped()->swap16(0x1122), 0x2211u);
    EXPECT_EQ(bbcrash_async_byteorder_swapped()->swap64(0x1122334455667788ULL), 0x8877665544332211ULL);

    uint64_t result = 0;
    EXPECT_TRUE(bbcrash_async_apply_offset(100, -100, &result));
    EXPECT_EQ(result, 0u);
    EXPECT_FALSE(bbcrash_async_apply_offset(100, -101, &result));
    EXPECT_FALSE(bbcrash_async_apply_offset(UINT64_MAX - 1, 2, &result));
    EXPECT_TRUE(bbcrash_async_apply_offset(UINT64_MAX - 1, 1, &result));
    EXPECT_EQ(result, UINT64_MAX);
    EXPECT_FALSE(bbcrash_async_apply_offset(0, INT64_MIN, &result));
}

TEST(AsyncSupportTests, TaskReadCodes) {
    const long page = sysconf(_SC_PAGESIZE);
    auto *p =
        static_cast<uint8_t *>(mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(p, MAP_FAILED);
    std::memset(p, 0xAB, 3 * page);
    uint32_t value = 0x11223344;
    std::memcpy(p + 8, &value, 4);
    mprotect(p + page, page, PROT_NONE);
    munmap(p + 2 * page, page);

    uint8_t buffer[16];
    EXPECT_EQ(bbcrash_async_task_read(mach_task_self(), reinterpret_cast<uintptr_t>(p), 4, buffer, 8),
              BBCRASH_ESUCCESS);
    uint32_t out = 0;
    EXPECT_EQ(bbcrash_async_task_read_uint32(mach_task_self(), bbcrash_async_byteorder_swapped(),
                                             reinterpret_cast<uintptr_t>(p), 8, &out),
              BBCRASH_ESUCCESS);
    EXPECT_EQ(out, 0x44332211u);
    // Protected page: access; unmapped page: not found; a read running from
    // a good page into the protected one fails too.
    EXPECT_EQ(bbcrash_async_task_read(mach_task_self(), reinterpret_cast<uintptr_t>(p + page), 0, buffer, 4),
              BBCRASH_EACCESS);
    EXPECT_EQ(bbcrash_async_task_read(mach_task_self(), reinterpret_cast<uintptr_t>(p + page - 4), 0, buffer, 8),
              BBCRASH_EACCESS);
    EXPECT_EQ(bbcrash_async_task_read(mach_task_self(), reinterpret_cast<uintptr_t>(p + 2 * page), 0, buffer, 4),
              BBCRASH_ENOTFOUND);
    // An offset that wraps: 3, and nothing read.
    std::memset(buffer, 0, sizeof(buffer));
    EXPECT_EQ(bbcrash_async_task_read(mach_task_self(), 8, -16, buffer, 4), BBCRASH_ENOMEM);
    EXPECT_EQ(bbcrash_async_task_read(mach_task_self(), UINT64_MAX - 2, 0, buffer, 8), BBCRASH_EUNKNOWN);
    EXPECT_EQ(buffer[0], 0);
    munmap(p, 2 * page);
}

TEST(AsyncSupportTests, StringHelpers) {
    EXPECT_EQ(bbcrash_async_strncmp("abc", "abd", 2), 0);
    EXPECT_LT(bbcrash_async_strncmp("abc", "abd", 3), 0);
    EXPECT_EQ(bbcrash_async_strncmp("ab\0x", "ab\0y", 4), 0);
    EXPECT_EQ(bbcrash_async_strncmp("b", "a", 0), 0);
    EXPECT_GT(bbcrash_async_strncmp("\xC3", "a", 1), 0);  // bytes compare unsigned
    char dest[4] = {'x', 'x', 'x', 'x'};
    bbcrash_async_memcpy(dest, "ab", 0);
    EXPECT_EQ(dest[0], 'x');
    bbcrash_async_memcpy(dest, "ab", 2);
    bbcrash_async_memset(dest + 2, 'z', 2);
    EXPECT_EQ(std::string(dest, 4), "abzz");
    EXPECT_EQ(static_cast<pid_t>(bbcrash_thread_self()), gettid());
}

TEST(AsyncSupportTests, ValidUtf8Length) {
    auto length = [](const std::string &s) {
        return bbcrash_valid_utf8_length(reinterpret_cast<const uint8_t *>(s.data()), s.size());
    };
    EXPECT_EQ(length(std::string("abc\0def", 7)), 3u);
    EXPECT_EQ(length("ab\xC3"), 2u);
    EXPECT_EQ(length("\xEF\xBB\xBF"), 3u);
    EXPECT_EQ(length("\xC3\xA9t\xC3\xA9"), 5u);
    EXPECT_EQ(length("a\xF0\x9F\x98\x80z"), 6u);
    EXPECT_EQ(length("a\xE2\x82"), 1u);
    EXPECT_EQ(length("a\x80"), 1u);
    EXPECT_EQ(length("a\xC3(b"), 1u);
}

TEST(AsyncSupportTests, HostVersionFromRelease) {
    std::vector<std::string> lines;
    platform::SystemLog::setSink([&](const std::string &line) { lines.push_back(line); });
    auto full = BBCrashHostInfo::makeWithRelease("19.6.0");
    EXPECT_EQ(full->darwinVersion().major, 19u);
    EXPECT_EQ(full->darwinVersion().minor, 6u);
    EXPECT_EQ(full->darwinVersion().revision, 0u);
    EXPECT_TRUE(lines.empty());
    auto partial = BBCrashHostInfo::makeWithRelease("20.1");
    EXPECT_EQ(partial->darwinVersion().major, 20u);
    EXPECT_EQ(partial->darwinVersion().minor, 1u);
    EXPECT_EQ(partial->darwinVersion().revision, 0u);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "[BBCrashReporter] Unexpected kern.osrelease string format: 20.1");
    // The running kernel ("6.1.0-18-amd64" and the like) gives three numbers.
    auto current = BBCrashHostInfo::currentHostInfo();
    ASSERT_NE(current, nullptr);
    EXPECT_GT(current->darwinVersion().major, 0u);
    platform::SystemLog::setSink(nullptr);
}

TEST(AsyncSupportTests, SysctlValues) {
    int32_t value = 0;
    ASSERT_TRUE(bbcrash_sysctl_int("hw.cputype", &value));
#if defined(__x86_64__)
    EXPECT_EQ(value, 0x01000007);
    ASSERT_TRUE(bbcrash_sysctl_int("hw.cpusubtype", &value));
    EXPECT_EQ(value, 3);
#endif
    ASSERT_TRUE(bbcrash_sysctl_int("hw.logicalcpu_max", &value));
    EXPECT_EQ(value, sysconf(_SC_NPROCESSORS_CONF));
    EXPECT_FALSE(bbcrash_sysctl_int("no.such.name", &value));
    EXPECT_EQ(errno, ENOENT);
    char *release = bbcrash_sysctl_string("kern.osrelease");
    ASSERT_NE(release, nullptr);
    utsname uts{};
    ASSERT_EQ(uname(&uts), 0);
    EXPECT_STREQ(release, uts.release);
    std::free(release);
    EXPECT_EQ(bbcrash_sysctl_string("no.such.name"), nullptr);
}

struct Captured {
    bbcrash_async_thread_state state;
    int calls = 0;
};

bbcrash_error_t keepState(bbcrash_async_thread_state *state, void *context) {
    auto *captured = static_cast<Captured *>(context);
    captured->state = *state;
    captured->calls++;
    return BBCRASH_ENOTFOUND;
}

struct CallerView {
    uintptr_t frame;
    uintptr_t returnAddress;
    uintptr_t function;
};

__attribute__((noinline)) bbcrash_error_t captureFromHere(Captured *captured, CallerView *view) {
    view->frame = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    view->function = reinterpret_cast<uintptr_t>(&captureFromHere);
    bbcrash_error_t result = bbcrash_capture_current_thread(keepState, captured);
    asm volatile("" ::: "memory");
    return result;
}

TEST(AsyncSupportTests, CapturedStateDescribesTheCaller) {
    Captured captured;
    CallerView view{};
    EXPECT_EQ(captureFromHere(&captured, &view), BBCRASH_ENOTFOUND);
    ASSERT_EQ(captured.calls, 1);
    const bbcrash_async_thread_state &state = captured.state;
    // Instruction pointer inside the caller, just after its call; frame
    // pointer the caller's; stack pointer below the caller's frame.
    const uint64_t ip = bbcrash_async_thread_state_get_reg(&state, BBCRASH_REG_IP);
    EXPECT_GT(ip, view.function);
    EXPECT_LT(ip, view.function + 512);
    EXPECT_EQ(bbcrash_async_thread_state_get_reg(&state, BBCRASH_REG_FP), view.frame);
    const uint64_t sp = bbcrash_async_thread_state_get_reg(&state, BBCRASH_REG_SP);
    EXPECT_LE(sp, view.frame);
    EXPECT_GT(sp + 4096, view.frame);
    EXPECT_TRUE(bbcrash_async_thread_state_has_reg(&state, BBCRASH_REG_IP));
}

TEST(AsyncSupportTests, ProcessInfoOfThisProcessAndParent) {
    auto self = BBCrashProcessInfo::currentProcessInfo();
    ASSERT_NE(self, nullptr);
    EXPECT_EQ(self->processID(), getpid());
    EXPECT_EQ(self->parentProcessID(), getppid());
    ASSERT_TRUE(self->processName().has_value());
    EXPECT_EQ(*self->processName(), std::string(program_invocation_short_name).substr(0, 15));
    const time_t now = time(nullptr);
    EXPECT_LE(self->startTime().seconds, static_cast<uint64_t>(now));
    EXPECT_GT(self->startTime().seconds + 3600, static_cast<uint64_t>(now));
    EXPECT_LT(self->startTime().microseconds, 1000000u);
    EXPECT_EQ(BBCrashProcessInfo::make(-5), nullptr);
}

}  // namespace
