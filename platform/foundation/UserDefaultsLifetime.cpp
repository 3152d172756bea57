#include "platform/foundation/UserDefaultsLifetime.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>
#include <vector>

#include "platform/foundation/UserDefaults.h"

namespace platform {

UserDefaultsLifetime &UserDefaultsLifetime::shared() {
    // Never destroyed: the exit handler may run after static destructors
    // began.
    static UserDefaultsLifetime *lifetime = new UserDefaultsLifetime;
    return *lifetime;
}

UserDefaultsLifetime::UserDefaultsLifetime() {
    pthread_atfork(&prepareFork, &parentAfterFork, &childAfterFork);
    std::atexit(&atExit);
}

void UserDefaultsLifetime::add(UserDefaults *defaults) {
    std::lock_guard<std::mutex> lock(mutex_);
    all_.insert(defaults);
}

void UserDefaultsLifetime::remove(UserDefaults *defaults) {
    std::lock_guard<std::mutex> lock(mutex_);
    all_.erase(defaults);
}

UserDefaultsLifetime::Clock::time_point UserDefaultsLifetime::endDeadline() {
    Clock::rep deadline = exitDeadline_.load();
    if (deadline == 0) {
        const Clock::rep mine = (Clock::now() + kEndPatience).time_since_epoch().count();
        if (exitDeadline_.compare_exchange_strong(deadline, mine)) deadline = mine;
    }
    return Clock::time_point(Clock::duration(deadline));
}

int UserDefaultsLifetime::openLockFile(const char *path) {
    return ::open(path, O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
}

void UserDefaultsLifetime::closeLockFile(int fd) { ::close(fd); }

// A fork never copies the registry half-changed: a child can use it.
void UserDefaultsLifetime::prepareFork() { shared().mutex_.lock(); }

void UserDefaultsLifetime::parentAfterFork() { shared().mutex_.unlock(); }

void UserDefaultsLifetime::childAfterFork() {
    UserDefaultsLifetime &l = shared();
    // A fork made while the parent exits leaves a child that is not
    // exiting.
    l.exiting_ = false;
    l.exitDeadline_ = 0;
    l.mutex_.unlock();
}

void UserDefaultsLifetime::atExit() {
    UserDefaultsLifetime &l = shared();
    if (!l.mutex_.try_lock()) return;
    const std::vector<UserDefaults *> all(l.all_.begin(), l.all_.end());
    l.mutex_.unlock();
    // A forked child inherits the registry: only the process the defaults
    // are of (their maker, or a child that changed them) writes them. Every
    // one waits for the lock within the exit's one bound.
    l.exiting_ = true;
    for (UserDefaults *defaults : all)
        if (defaults->writerPid_.load() == ::getpid()) defaults->synchronize();
}

}  // namespace platform
