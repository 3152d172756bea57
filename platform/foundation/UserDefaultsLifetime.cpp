#include "platform/foundation/UserDefaultsLifetime.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <new>
#include <unistd.h>
#include <vector>

#include "platform/foundation/UserDefaults.h"
#include "platform/foundation/UserDefaultsFlusher.h"
#include "platform/syslog/SystemLog.h"

namespace platform {

namespace {

// The lock files open in this process, each as its descriptor plus one (zero:
// a free slot). Far more than the threads that write defaults at once.
constexpr size_t kLockFileSlots = 256;
std::atomic<int> lockFiles[kLockFileSlots];
// Guards the opening and closing of lock files, so that no fork copies a
// descriptor that is open but not yet in a slot.
std::mutex lockFilesMutex;

// How many callbacks of the defaults this thread is inside; whether it is
// writing the line of a refused call.
thread_local int callbacks = 0;
thread_local bool refusing = false;

}  // namespace

std::atomic<void (*)(UserDefaultsLifetime::Holding)> UserDefaultsLifetime::holdingHookForTesting{nullptr};

UserDefaultsLifetime::Callback::Callback() { ++callbacks; }

UserDefaultsLifetime::Callback::~Callback() { --callbacks; }

bool UserDefaultsLifetime::insideCallback() { return callbacks > 0; }

void UserDefaultsLifetime::refuse(const std::string &line) {
    if (refusing) return;
    refusing = true;
    UserDefaultsFile::logLine(line);
    refusing = false;
}

UserDefaultsLifetime &UserDefaultsLifetime::shared() {
    // Never destroyed: the exit handler may run after static destructors
    // began.
    static UserDefaultsLifetime *lifetime = new UserDefaultsLifetime;
    return *lifetime;
}

UserDefaultsLifetime::UserDefaultsLifetime() {
    // The flusher exists before the fork handlers that lock it.
    UserDefaultsFlusher::shared();
    SystemLog::addForkHandlers(&prepareFork, &parentAfterFork, &childAfterFork);
    std::atexit(&atExit);
}

std::shared_ptr<UserDefaults> UserDefaultsLifetime::standard(
    const std::function<std::shared_ptr<UserDefaults>()> &make) {
    std::lock_guard<std::mutex> lock(standardMutex_);
    holding(Holding::Standard);
    if (!standard_) standard_ = make();
    return standard_;
}

void UserDefaultsLifetime::resetStandard() {
    std::shared_ptr<UserDefaults> old;
    {
        std::lock_guard<std::mutex> lock(standardMutex_);
        std::swap(old, standard_);
    }
}

void UserDefaultsLifetime::add(UserDefaults *defaults) {
    std::lock_guard<std::mutex> lock(mutex_);
    holding(Holding::Registry);
    all_.insert(defaults);
}

void UserDefaultsLifetime::remove(UserDefaults *defaults) {
    std::unique_lock<std::mutex> lock(mutex_);
    all_.erase(defaults);
    ended_.wait(lock, [&] { return ending_ != defaults; });
}

UserDefaultsLifetime::Clock::time_point UserDefaultsLifetime::endDeadline() {
    if (!exiting()) return Clock::now() + kEndPatience;
    Clock::rep deadline = exitDeadline_.load();
    if (deadline == 0) {
        const Clock::rep mine = (Clock::now() + kEndPatience).time_since_epoch().count();
        if (exitDeadline_.compare_exchange_strong(deadline, mine)) deadline = mine;
    }
    return Clock::time_point(Clock::duration(deadline));
}

int UserDefaultsLifetime::openLockFile(const char *path) {
    shared();  // the fork handlers are in place before any lock file is open
    std::lock_guard<std::mutex> lock(lockFilesMutex);
    const int fd = ::open(path, O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0) return -1;
    holding(Holding::LockFiles);
    for (auto &slot : lockFiles) {
        if (slot.load(std::memory_order_relaxed) != 0) continue;
        slot.store(fd + 1, std::memory_order_relaxed);
        return fd;
    }
    ::close(fd);
    errno = EMFILE;
    return -1;
}

void UserDefaultsLifetime::closeLockFile(int fd) {
    std::lock_guard<std::mutex> lock(lockFilesMutex);
    for (auto &slot : lockFiles) {
        if (slot.load(std::memory_order_relaxed) != fd + 1) continue;
        slot.store(0, std::memory_order_relaxed);
        ::close(fd);
        return;
    }
    // Not in a slot: a fork closed it, in this child.
}

void UserDefaultsLifetime::prepareFork() {
    UserDefaultsLifetime &l = shared();
    UserDefaultsFlusher &flusher = UserDefaultsFlusher::shared();
    // The order every thread takes these in: making the standard defaults
    // holds their slot, then the registry (to add them); a flush holds the
    // flush lock, then a defaults' mutexes, then the queue's (to schedule)
    // or the lock files' (to open one); nothing takes the registry while
    // holding a defaults' mutex.
    l.standardMutex_.lock();
    flusher.lockFlushesForFork();
    l.mutex_.lock();
    for (UserDefaults *defaults : l.all_) defaults->fileMutex_.lock();
    for (UserDefaults *defaults : l.all_) defaults->mutex_.lock();
    flusher.lockQueueForFork();
    lockFilesMutex.lock();
}

void UserDefaultsLifetime::parentAfterFork() {
    UserDefaultsLifetime &l = shared();
    lockFilesMutex.unlock();
    UserDefaultsFlusher::shared().unlockQueueAfterFork(false);
    for (UserDefaults *defaults : l.all_) defaults->mutex_.unlock();
    for (UserDefaults *defaults : l.all_) defaults->fileMutex_.unlock();
    l.mutex_.unlock();
    UserDefaultsFlusher::shared().unlockFlushesAfterFork();
    l.standardMutex_.unlock();
}

void UserDefaultsLifetime::childAfterFork() {
    // First, before anything else can run: the child lets go of every lock
    // file a thread of its parent had open (close is async-signal-safe).
    for (auto &slot : lockFiles) {
        const int held = slot.load(std::memory_order_relaxed);
        if (held == 0) continue;
        ::close(held - 1);
        slot.store(0, std::memory_order_relaxed);
    }
    UserDefaultsLifetime &l = shared();
    lockFilesMutex.unlock();
    UserDefaultsFlusher::shared().unlockQueueAfterFork(true);
    for (UserDefaults *defaults : l.all_) defaults->mutex_.unlock();
    for (UserDefaults *defaults : l.all_) defaults->fileMutex_.unlock();
    // A fork made while the parent exits leaves a child that is not
    // exiting; the condition is made anew, as the threads that waited on it
    // are not here.
    l.exiting_ = false;
    l.exitDeadline_ = 0;
    l.ending_ = nullptr;
    new (&l.ended_) std::condition_variable;
    l.mutex_.unlock();
    UserDefaultsFlusher::shared().unlockFlushesAfterFork();
    l.standardMutex_.unlock();
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
    for (UserDefaults *defaults : all) {
        {
            // Another thread may destroy them meanwhile: those destroyed
            // already are skipped, and a destruction from now on waits
            // until this end is over.
            std::lock_guard<std::mutex> lock(l.mutex_);
            if (!l.all_.count(defaults)) continue;
            l.ending_ = defaults;
        }
        if (defaults->writerPid_.load() == ::getpid()) defaults->synchronize();
        {
            std::lock_guard<std::mutex> lock(l.mutex_);
            l.ending_ = nullptr;
        }
        l.ended_.notify_all();
    }
}

}  // namespace platform
