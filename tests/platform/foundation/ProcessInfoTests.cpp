// Process information, including the debugger check seen from a traced
// child process.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/foundation/ProcessInfo.h"

using namespace platform;

TEST(ProcessInfoTest, DescribesThisProcess) {
    auto info = ProcessInfo::processInfo();
    EXPECT_EQ(info->processIdentifier(), getpid());
    EXPECT_EQ(info->executablePath(), std::filesystem::read_symlink("/proc/self/exe"));
    EXPECT_EQ(info->processName(), "platform_foundation_tests");
    EXPECT_FALSE(info->isDebuggerAttached());

    setenv("PLOTWICK_TEST_VARIABLE", "a=b", 1);
    EXPECT_EQ(info->environmentValue("PLOTWICK_TEST_VARIABLE"), "a=b");
    EXPECT_EQ(info->environment().at("PLOTWICK_TEST_VARIABLE"), "a=b");
    setenv("PLOTWICK_TEST_VARIABLE", "", 1);
    EXPECT_EQ(info->environmentValue("PLOTWICK_TEST_VARIABLE"), "");
    unsetenv("PLOTWICK_TEST_VARIABLE");
    EXPECT_EQ(info->environmentValue("PLOTWICK_TEST_VARIABLE"), std::nullopt);

    double first = info->systemUptime();
    EXPECT_GT(first, 0.0);
    EXPECT_GE(info->systemUptime(), first);
}

TEST(ProcessInfoTest, ATracedProcessSeesItsDebugger) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) _exit(2);
        _exit(ProcessInfo::processInfo()->isDebuggerAttached() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "ptrace is not permitted here";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
