// Detached workers may still use the SDK while exit() runs the static
// destructors: the logger, the contexts' histories, the device tracker, the
// encrypter, the keychain and the crypto library must all outlive them. The
// workers run in a program of their own (exit_child/), linked as the
// application is.
#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>

#include <string>

#include "Beacon/Internals/Model/BCModelTestSupport.h"

extern char **environ;

TEST(BCProcessExit, LogsLookupsAndEncryptionFromDetachedThreadsSurviveExit) {
    modeltest::SdkHome home;
    const std::string keychain = home.keychainDirectory().string();
    for (int round = 0; round < 5; ++round) {
        char *argv[] = {const_cast<char *>(PLOTWICK_EXIT_CHILD), const_cast<char *>(keychain.c_str()), nullptr};
        pid_t child = 0;
        ASSERT_EQ(posix_spawn(&child, PLOTWICK_EXIT_CHILD, nullptr, nullptr, argv, environ), 0);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status)) << "round " << round << " ended by signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
}
