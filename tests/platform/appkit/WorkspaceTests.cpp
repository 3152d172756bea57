// Opening URLs through a stand-in xdg-open put first on $PATH.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/appkit/Workspace.h"
#include "support/TestSupport.h"

using platform::appkit::Workspace;

namespace {

class WorkspaceTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char *path = getenv("PATH");
        savedPath_ = path ? path : "";
        setenv("PATH", (dir_.path().string() + ":" + savedPath_).c_str(), 1);
    }
    void TearDown() override { setenv("PATH", savedPath_.c_str(), 1); }

    // Installs an xdg-open that runs the shell body.
    void opener(const std::string &body) {
        auto script = dir_.path() / "xdg-open";
        std::ofstream(script) << "#!/bin/sh\n" << body << "\n";
        chmod(script.c_str(), 0755);
    }
    std::filesystem::path file(const char *name) const { return dir_.path() / name; }

private:
    testsupport::TemporaryDirectory dir_;
    std::string savedPath_;
};

}  // namespace

TEST_F(WorkspaceTest, PassesTheUrlAsOneArgumentAndReportsTheExitStatus) {
    opener("printf '%s' \"$1\" > '" + file("arg").string() + "'; [ \"$1\" != fail ]");
    EXPECT_TRUE(Workspace::openURL("https://example.com/a b;$(true)"));
    std::ifstream in(file("arg"));
    std::string arg((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(arg, "https://example.com/a b;$(true)");
    EXPECT_FALSE(Workspace::openURL("fail"));
    EXPECT_FALSE(Workspace::openURL(""));
    EXPECT_FALSE(Workspace::openURL("--help"));
}

TEST_F(WorkspaceTest, AnOpenerThatStaysInTheForegroundDoesNotHoldTheCaller) {
    opener("echo $$ > '" + file("pid").string() + "'; exec sleep 60");
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(Workspace::openURL("https://example.com", 0.2));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    std::ifstream in(file("pid"));
    pid_t pid = 0;
    in >> pid;
    if (pid > 0) kill(pid, SIGKILL);  // the background reaper collects it
}
