// Detached workers may still use the SDK while exit() runs the static
// destructors: the logger, the contexts' histories, the device tracker, the
// encrypter, the keychain and the crypto library must all outlive them.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "BCDeviceTracker.h"
#include "BCEncrypter.h"
#include "BCLogger.h"
#include "BCSessionContext.h"
#include "BCUserIdContext.h"
#include "Beacon/Internals/Model/BCModelTestSupport.h"
#include "platform/syslog/SystemLog.h"

namespace {

// Shared by the child's workers; never destroyed, as they outlive main.
struct Progress {
    std::mutex mutex;
    std::condition_variable changed;
    int rounds = 0;
};

[[noreturn]] void runWorkersThenExit() {
    alarm(20);
    BCLogger::setCurrentLogLevel(BCLogLevelVerbose);
    platform::SystemLog::setSink([](const std::string &) {});
    BCSessionContext::sharedInstance()->setSessionId("session");
    BCUserIdContext::sharedInstance()->setUserId("user");
    auto *progress = new Progress;
    for (int t = 0; t < 4; ++t)
        std::thread([progress] {
            auto *encrypter = new BCEncrypter;
            for (;;) {
                auto now = platform::Date::now();
                BCLogVerbose("Beacon", "still working at %@", now);
                if (BCSessionContext::sharedInstance()->sessionIdAt(now) != "session") std::abort();
                if (BCUserIdContext::sharedInstance()->userIdAt(now) != "user") std::abort();

                if (!BCDeviceTracker::sharedInstance()->deviceForTimestamp(now)) std::abort();
                if (!encrypter->encryptString("token")) std::abort();
                std::lock_guard<std::mutex> lock(progress->mutex);
                ++progress->rounds;
                progress->changed.notify_all();
            }
        }).detach();
    {
        std::unique_lock<std::mutex> lock(progress->mutex);
        progress->changed.wait_for(lock, std::chrono::seconds(10), [&] { return progress->rounds >= 8; });
    }
    std::exit(0);
}

}  // namespace

TEST(BCProcessExit, LogsLookupsAndEncryptionFromDetachedThreadsSurviveExit) {
    modeltest::SdkHome home;
    for (int round = 0; round < 5; ++round) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) runWorkersThenExit();
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status)) << "round " << round << " ended by signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
}
