// Started by BCProcessExitTests: detached workers log, look up the
// histories and the device, and encrypt while the main thread calls exit().
// A program of its own, linked only with the SDK as the application is, so
// that no test library initialises the crypto library before the SDK does.
// Argument: the keychain directory. Exits 0, or dies if anything the workers
// use was destroyed under them.
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>

#include "BCDeviceTracker.h"
#include "BCEncrypter.h"
#include "BCLogger.h"
#include "BCSessionContext.h"
#include "BCUserIdContext.h"
#include "platform/security/Keychain.h"
#include "platform/syslog/SystemLog.h"

namespace {

// Shared by the workers; never destroyed, as they outlive main.
struct Progress {
    std::mutex mutex;
    std::condition_variable changed;
    int rounds = 0;
};

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) return 2;
    alarm(20);
    platform::security::Keychain::setSharedInstance(std::make_shared<platform::security::Keychain>(argv[1]));
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
