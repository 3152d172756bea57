#include "platform/foundation/UserDefaults.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "platform/foundation/SharedInstance.h"
#include "platform/foundation/UserDefaultsFlusher.h"
#include "platform/foundation/Text.h"
#include "platform/syslog/SystemLog.h"

namespace platform {

namespace fs = std::filesystem;

namespace {

void logLine(const std::string &text) { SystemLog::write("[UserDefaults] " + text); }

using Clock = std::chrono::steady_clock;

// ThreadSanitizer cannot follow a fork made while the process has threads,
// and the tests run under it fork right after writing settings: built with
// it, every write fsyncs on the caller's thread, waits there for another
// process's lock, and no flush thread starts.
#if defined(__SANITIZE_THREAD__)
constexpr bool kFlushInBackground = false;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kFlushInBackground = false;
#else
constexpr bool kFlushInBackground = true;
#endif
#else
constexpr bool kFlushInBackground = true;
#endif

// How long a caller's write waits for another process's lock before the
// background thread takes the write over: a live writer holds it for a read
// and a write of a small file.
constexpr Clock::duration kWritePatience =
    kFlushInBackground ? Clock::duration(std::chrono::milliseconds(5)) : Clock::duration(std::chrono::seconds(10));
// How long making a value (loadOrStoreObject) waits: long enough for the
// other writers of a first launch, so that they agree on it.
constexpr Clock::duration kMakePatience = std::chrono::milliseconds(250);
// How long the ends of the defaults (destruction, exit) wait for the lock to
// write what still waits, all of them together: the process's bound, run
// from the first end that found the lock held. Each end tries a live
// writer's moment first.
constexpr Clock::duration kEndPatience = std::chrono::milliseconds(250);
constexpr Clock::duration kEndFirstTry = std::chrono::milliseconds(5);
// A background write that has waited this long for the lock is logged, once.
constexpr Clock::duration kLongWait = std::chrono::seconds(5);
// How long a write waits before its fsyncs run, so that the changes that
// follow it (a burst at launch) share them.
constexpr Clock::duration kSynchronizeDelay = std::chrono::seconds(2);
// The most a settings file (or its copy) may hold to be read: far beyond
// real settings (200,000 keys take a few MiB).
constexpr off_t kMaximumFileSize = off_t(64) << 20;

// Whether the process is exiting: synchronize() is then an end.
std::atomic<bool> exitStarted{false};
// When the process's end patience runs out (the time since the clock's
// epoch), or zero while no end has waited.
std::atomic<Clock::rep> endDeadline{0};

// What is left of the end patience; the first call starts it.
Clock::duration endPatience() {
    Clock::rep deadline = endDeadline.load();
    if (deadline == 0) {
        const Clock::rep mine = (Clock::now() + kEndPatience).time_since_epoch().count();
        if (endDeadline.compare_exchange_strong(deadline, mine)) deadline = mine;
    }
    const Clock::duration left = Clock::time_point(Clock::duration(deadline)) - Clock::now();
    return std::max(left, Clock::duration::zero());
}

std::string seconds(Clock::duration duration) {
    const auto tenths = std::chrono::duration_cast<std::chrono::milliseconds>(duration).count() / 100;
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " s";
}

// The advisory lock on the lock file, held for the object's lifetime.
// Unusable (logged, unless the folder does not exist yet) when the file
// cannot be opened or locked: a write then goes ahead unlocked rather than
// never. Busy when another process held it for all of `patience`.
class FileLock {
public:
    enum class State { Held, Busy, Unusable };

    FileLock(const fs::path &path, Clock::duration patience) {
        // Read-only: a lock needs no more, and the file is never written.
        struct stat st {};
        for (int attempt = 0;; ++attempt) {
            fd_ = ::open(path.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
            if (fd_ < 0) {
                if (errno != ENOENT)
                    logLine("Cannot open the lock file " + path.string() + ": " + std::strerror(errno));
                return;
            }
            if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
                logLine("The lock file " + path.string() + " is not a regular file; going on without it");
                release();
                return;
            }
            if (st.st_nlink <= 1) break;
            // Another name of someone else's file: it is not chmodded nor
            // locked, but set aside (once it is sure to be that very file)
            // and a fresh one made.
            release();
            fs::path aside = path;
            aside += ".notours";
            struct stat now {};
            const bool same = ::lstat(path.c_str(), &now) == 0 && now.st_dev == st.st_dev && now.st_ino == st.st_ino;
            if (attempt > 0 || !same || ::rename(path.c_str(), aside.c_str()) != 0) {
                logLine("The lock file " + path.string() + " has other links, so it is not ours; going on without it");
                return;
            }
            logLine("The lock file " + path.string() + " has other links, so it is not ours; moved it to " +
                    aside.string() + " and made a fresh one");
        }
        if ((st.st_mode & 0777) != 0600 && st.st_uid == ::geteuid()) ::fchmod(fd_, 0600);
        const auto deadline = Clock::now() + patience;
        Clock::duration pause = std::chrono::milliseconds(1);
        for (;;) {
            if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) {
                state_ = State::Held;
                return;
            }
            if (errno == EINTR) continue;
            if (errno != EWOULDBLOCK) break;
            const auto now = Clock::now();
            if (now >= deadline) {
                release();
                state_ = State::Busy;
                return;
            }
            std::this_thread::sleep_for(std::min(pause, deadline - now));
            pause = std::min<Clock::duration>(pause * 2, std::chrono::milliseconds(50));
        }
        logLine("Cannot lock " + path.string() + " (" + std::strerror(errno) + "); going on without the lock");
        release();
    }
    ~FileLock() { release(); }
    State state() const { return state_; }
    bool busy() const { return state_ == State::Busy; }
    bool held() const { return state_ == State::Held; }
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;

private:
    void release() {
        if (fd_ >= 0) ::close(fd_);  // closing the only descriptor drops the lock
        fd_ = -1;
    }
    int fd_ = -1;
    State state_ = State::Unusable;
};

// What reading a file at rest found.
enum class AtRest { Read, Absent, NotOurs, Unreadable };

// The file's bytes, read only when it is a regular file, not reached through
// a link, of at most kMaximumFileSize bytes (else NotOurs, with the reason
// in `why`). Opened without blocking, so that a FIFO in its place cannot
// hold the read.
AtRest readAtRest(const fs::path &path, Data &out, std::string &why) {
    out.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY);
    if (fd < 0) {
        if (errno == ENOENT) return AtRest::Absent;
        if (errno == ELOOP) {
            why = "is a symbolic link";
            return AtRest::NotOurs;
        }
        if (errno == ENXIO) {  // a socket
            why = "is not a regular file";
            return AtRest::NotOurs;
        }
        why = std::strerror(errno);
        return AtRest::Unreadable;
    }
    struct stat st {};
    AtRest result = AtRest::Read;
    if (::fstat(fd, &st) != 0) {
        why = std::strerror(errno);
        result = AtRest::Unreadable;
    } else if (!S_ISREG(st.st_mode)) {
        why = "is not a regular file";
        result = AtRest::NotOurs;
    } else if (st.st_size > kMaximumFileSize) {
        why = "holds " + std::to_string(st.st_size) + " bytes, more than settings ever do";
        result = AtRest::NotOurs;
    } else {
        out.resize(static_cast<size_t>(st.st_size));
        size_t done = 0;
        while (done < out.size()) {
            const ssize_t n = ::read(fd, out.data() + done, out.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                why = std::strerror(errno);
                result = AtRest::Unreadable;
                break;
            }
            if (n == 0) break;
            done += static_cast<size_t>(n);
        }
        out.resize(done);
    }
    ::close(fd);
    if (result != AtRest::Read) out.clear();
    return result;
}

// A regular file set aside keeps what was private: mode 0600. Nothing
// behind a link is touched, nor a file with a name elsewhere (other than
// `copy`, the durable copy, which is by design another name of the file).
void makePrivate(const fs::path &path, const fs::path &copy) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY);
    if (fd < 0) return;
    struct stat st {
    }, other{};
    const bool copied = ::lstat(copy.c_str(), &other) == 0;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0777) != 0600 &&
        st.st_nlink <= (copied && other.st_dev == st.st_dev && other.st_ino == st.st_ino ? 2u : 1u))
        ::fchmod(fd, 0600);
    ::close(fd);
}

// Moves the file to the first free name of "<file>.corrupt",
// "<file>.corrupt.1" ... "<file>.corrupt.9", never over an existing one.
// Answers the name, or nullopt with the reason in `why`.
std::optional<fs::path> setAsideCorrupt(const fs::path &file, std::string &why) {
    for (int attempt = 0; attempt < 10; ++attempt) {
        fs::path aside = file;
        aside += ".corrupt" + (attempt > 0 ? "." + std::to_string(attempt) : std::string());
        int moved = ::renameat2(AT_FDCWD, file.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE);
        if (moved != 0 && errno == EINVAL) {
            // A file system without the no-replace rename: looked at first.
            struct stat st {};
            if (::lstat(aside.c_str(), &st) == 0) continue;
            moved = ::rename(file.c_str(), aside.c_str());
        }
        if (moved == 0) return aside;
        if (errno == EEXIST) continue;
        why = std::strerror(errno);
        return std::nullopt;
    }
    why = "every name for it is taken";
    return std::nullopt;
}

// Whether the name is one of the atomic writer's temporary files for the
// file: "." + name + "." + six letters or digits (mkstemp's pattern).
bool isTemporaryFileName(const std::string &candidate, const std::string &name) {
    const std::string prefix = "." + name + ".";
    if (candidate.size() != prefix.size() + 6 || candidate.compare(0, prefix.size(), prefix) != 0) return false;
    for (size_t i = prefix.size(); i < candidate.size(); ++i)
        if (!std::isalnum(static_cast<unsigned char>(candidate[i]))) return false;
    return true;
}

// The live defaults of this process, flushed when it exits normally. Never
// destroyed: the exit handler may run after static destructors began.
struct LiveDefaults {
    std::mutex mutex;
    std::map<UserDefaults *, pid_t> all;  // each with the process that made it
};

LiveDefaults &liveDefaults() {
    static LiveDefaults *live = [] {
        auto *made = new LiveDefaults;
        // A fork never copies the set half-changed: a child can use it.
        pthread_atfork([] { liveDefaults().mutex.lock(); }, [] { liveDefaults().mutex.unlock(); },
                       [] { liveDefaults().mutex.unlock(); });
        std::atexit([] {
            LiveDefaults &l = liveDefaults();
            if (!l.mutex.try_lock()) return;
            const auto all = l.all;
            l.mutex.unlock();
            // A forked child inherits the set: only the process the defaults
            // are of (their maker, or a child that changed them) flushes
            // them. Every defaults waits for the lock within the process's
            // one end bound, so that another process holding it cannot hold
            // up the exit.
            exitStarted = true;
            for (const auto &[defaults, owner] : all)
                if (owner == ::getpid()) defaults->synchronize();
        });
        return made;
    }();
    return *live;
}

// Whether the dictionary changed.
bool apply(const std::string &key, const std::optional<Value> &value, Dictionary &dictionary) {
    if (!value) return dictionary.erase(key) != 0;
    auto [it, inserted] = dictionary.try_emplace(key, *value);
    if (inserted) return true;
    if (it->second == *value) return false;
    it->second = *value;
    return true;
}

}  // namespace

UserDefaults::UserDefaults(fs::path file) : file_(std::move(file)), writerPid_(::getpid()) {
    removeStaleTemporaryFiles();
    reload();
    LiveDefaults &live = liveDefaults();
    std::lock_guard<std::mutex> lock(live.mutex);
    // An entry a forked child inherited for defaults that lived here in its
    // parent is replaced.
    live.all.insert_or_assign(this, ::getpid());
}

UserDefaults::~UserDefaults() {
    {
        LiveDefaults &live = liveDefaults();
        std::lock_guard<std::mutex> lock(live.mutex);
        live.all.erase(this);
    }
    // A copy in a forked child that the child never changed: its parent's
    // locks may have been held at the fork, and the parent flushes its own
    // writes.
    if (::getpid() == writerPid_.load()) flush(Clock::duration::zero(), FlushBy::End);
    // A flush the child scheduled on it is called off too, or the child's
    // flush thread would run on freed memory.
    UserDefaultsFlusher::shared().cancel(this);
}

void UserDefaults::adoptAfterFork() {
    const pid_t self = ::getpid();
    if (writerPid_.load() == self) return;
    std::lock_guard<std::mutex> fileLock(fileMutex_);
    if (writerPid_.load() == self) return;
    // The parent writes and flushes its own pending changes: a child that
    // wrote them too could undo what the parent changes after the fork.
    writeWaiting_ = false;
    flushPending_ = false;
    waitLogged_ = false;
    lossLogged_ = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        changes_.clear();
        made_.clear();
    }
    {
        LiveDefaults &live = liveDefaults();
        std::lock_guard<std::mutex> lock(live.mutex);
        live.all.insert_or_assign(this, self);
    }
    writerPid_ = self;
}

fs::path UserDefaults::backupFilePath() const { return file_.parent_path() / ("." + file_.filename().string() + "~"); }

void UserDefaults::scheduleSynchronize() { UserDefaultsFlusher::shared().schedule(this, kSynchronizeDelay); }

bool UserDefaults::synchronize() {
    adoptAfterFork();
    if (exitStarted.load()) return flush(Clock::duration::zero(), FlushBy::End);
    return flush(kWritePatience, FlushBy::Caller);
}

bool UserDefaults::flushInBackground() {
    // A flush that failed otherwise is logged, and left to the next write.
    bool busy = false;
    flush(Clock::duration::zero(), FlushBy::Background, &busy);
    return !busy;
}

bool UserDefaults::flush(Clock::duration patience, FlushBy by, bool *busy) {
    std::lock_guard<std::mutex> fileLock(fileMutex_);
    if (!writeWaiting_ && !flushPending_) return true;
    // An end waits a live writer's moment, then what is left of the
    // process's end bound.
    std::optional<FileLock> lock(std::in_place, lockFilePath(), by == FlushBy::End ? kEndFirstTry : patience);
    if (lock->busy() && by == FlushBy::End) lock.emplace(lockFilePath(), endPatience());
    if (lock->busy()) {
        if (busy) *busy = true;
        const Clock::duration waited = Clock::now() - waitingSince_;
        if (by == FlushBy::End && writeWaiting_) {
            // Said once: defaults flushed at exit are destroyed afterwards.
            if (!lossLogged_)
                logLine("Another process holds " + lockFilePath().string() + ": the changes to " + file_.string() +
                        " that waited " + seconds(waited) + " for it are not written, and are lost");
            lossLogged_ = true;
        } else if (by == FlushBy::Background && writeWaiting_ && !waitLogged_ && waited >= kLongWait) {
            waitLogged_ = true;
            logLine("Another process has held " + lockFilePath().string() + " for " + seconds(waited) +
                    ": changes to " + file_.string() + " are kept in memory and written once it lets go");
        }
        return false;
    }
    bool ok = true;
    if (writeWaiting_) {
        writeWaiting_ = false;
        if (waitLogged_)
            logLine("Wrote the changes to " + file_.string() + " that waited " + seconds(Clock::now() - waitingSince_) +
                    " for " + lockFilePath().string());
        ok = writeLocked(nullptr, nullptr);
    }
    if (flushPending_) ok = synchronizeLocked() && ok;
    return ok;
}

void UserDefaults::deferWrite() {
    if (writeWaiting_) return;  // the background thread is at it already
    writeWaiting_ = true;
    waitingSince_ = Clock::now();
    waitLogged_ = false;
    if (kFlushInBackground) UserDefaultsFlusher::shared().schedule(this, Clock::duration::zero());
}

bool UserDefaults::synchronizeLocked() {
    flushPending_ = false;
    struct stat file {
    }, backup{};
    if (::lstat(file_.c_str(), &file) != 0 || !S_ISREG(file.st_mode)) return true;
    // The backup is the file itself: flushed already.
    if (::lstat(backupFilePath().c_str(), &backup) == 0 && backup.st_dev == file.st_dev && backup.st_ino == file.st_ino)
        return true;
    auto fm = FileManager::defaultManager();
    ErrorPtr error;
    const fs::path dir = file_.parent_path().empty() ? fs::path(".") : file_.parent_path();
    // The contents first, so that the backup never names data that is not
    // on disk; then the backup is replaced by a link to the file (by a
    // rename, so that one always exists), and one fsync of the folder makes
    // the file's and the backup's names durable.
    bool ok = fm->synchronizeFile(file_, &error);
    if (ok) {
        fs::path link = backupFilePath();
        link += ".new";
        ::unlink(link.c_str());
        ok = ::link(file_.c_str(), link.c_str()) == 0 && ::rename(link.c_str(), backupFilePath().c_str()) == 0;
        if (!ok) {
            error = Error::posix(errno, backupFilePath().string());
            ::unlink(link.c_str());
        }
    }
    if (!fm->synchronizeDirectory(dir, ok ? &error : nullptr)) ok = false;
    if (!ok)
        logLine("Cannot flush " + file_.string() +
                " to disk: " + (error ? error->localizedDescription() : std::string("?")));
    return ok;
}

std::shared_ptr<UserDefaults> UserDefaults::standardUserDefaults() {
    return SharedInstance<UserDefaults>::get([] { return std::make_shared<UserDefaults>(standardFilePath()); });
}

void UserDefaults::resetStandardUserDefaults() { SharedInstance<UserDefaults>::reset(); }

fs::path UserDefaults::standardFilePath() {
    auto identifier = Bundle::mainBundle()->bundleIdentifier();
    std::string name = identifier && !identifier->empty() ? *identifier : ProcessInfo::processInfo()->processName();
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) name = "defaults";
    return FileManager::URLForDirectory(FileManager::SearchPathDirectory::Preferences) / (name + ".plist");
}

fs::path UserDefaults::lockFilePath() const {
    return file_.parent_path() / ("." + file_.filename().string() + ".lock");
}

void UserDefaults::removeStaleTemporaryFiles() {
    const fs::path dir = file_.parent_path().empty() ? fs::path(".") : file_.parent_path();
    const std::string name = file_.filename().string();
    auto listed = FileManager::defaultManager()->contentsOfDirectory(dir);
    if (!listed) return;
    auto isStale = [&](const FileManager::DirectoryEntry &entry) {
        return entry.isRegularFile && isTemporaryFileName(entry.name, name);
    };
    if (std::none_of(listed->begin(), listed->end(), isStale)) return;
    std::lock_guard<std::mutex> fileLock(fileMutex_);
    // While another process holds the lock, its temporary file may be live:
    // nothing is removed then, and the next start looks again.
    FileLock lock(lockFilePath(), Clock::duration::zero());
    if (!lock.held()) return;
    // Listed again under the lock: a file seen before it was taken may have
    // been a live writer's, renamed into place since.
    listed = FileManager::defaultManager()->contentsOfDirectory(dir);
    if (!listed) return;
    for (const auto &entry : *listed) {
        if (!isStale(entry)) continue;
        if (::unlink(entry.url.c_str()) == 0)
            logLine("Removed " + entry.url.string() + ", left by an interrupted write");
    }
}

UserDefaults::FileState UserDefaults::readFile(Dictionary &out, bool setAside) {
    out.clear();
    Data data;
    std::string why;
    switch (readAtRest(file_, data, why)) {
    case AtRest::Absent: return FileState::Absent;
    case AtRest::Unreadable:
        logLine("Cannot read " + file_.string() + ": " + why +
                "; the file is left as it is and changes are not written to it");
        return FileState::Unreadable;
    case AtRest::NotOurs: break;
    case AtRest::Read: {
        ErrorPtr error;
        auto plist = PropertyListSerialization::propertyListWithData(data, &error);
        if (plist && plist->isDictionary()) {
            out = std::move(*plist->dictionary());
            return FileState::Read;
        }
        why = "is not a property-list dictionary" +
              (plist || !error ? std::string() : " (" + error->localizedDescription() + ")");
        break;
    }
    }
    if (!setAside) return FileState::Corrupt;
    // Keep the unreadable file for inspection instead of overwriting it with
    // the next change; a link is moved itself, and what it names is never
    // touched.
    std::string failure;
    const std::optional<fs::path> aside = setAsideCorrupt(file_, failure);
    if (aside) makePrivate(*aside, backupFilePath());
    const std::string moved =
        aside ? "moved it to " + aside->string() : "could not move it aside (" + failure + "), so it is left in place";
    // A file torn by a power loss before its flush: the backup holds the
    // contents flushed last.
    if (readBackup(out)) {
        // The copy becomes the file again (the same, durable, contents), so
        // that a start that writes nothing still finds it.
        if (aside) ::link(backupFilePath().c_str(), file_.c_str());
        logLine("The defaults file " + file_.string() + " " + why + "; " + moved +
                " and read the copy last flushed to disk");
        return FileState::Read;
    }
    logLine("The defaults file " + file_.string() + " " + why + "; " + moved + " and starting empty");
    return FileState::SetAside;
}

bool UserDefaults::readBackup(Dictionary &out) {
    Data data;
    std::string why;
    if (readAtRest(backupFilePath(), data, why) != AtRest::Read) return false;
    auto saved = PropertyListSerialization::propertyListWithData(data);
    if (!saved || !saved->isDictionary()) return false;
    out = std::move(*saved->dictionary());
    return true;
}

void UserDefaults::refreshDomain(Dictionary onDisk) {
    for (const auto &[key, value] : changes_) apply(key, value, onDisk);
    application_ = std::move(onDisk);
}

void UserDefaults::reload() {
    std::lock_guard<std::mutex> fileLock(fileMutex_);
    Dictionary loaded;
    FileState state = readFile(loaded, false);
    std::optional<FileLock> lock;
    if (state == FileState::Corrupt) {
        // Read again under the lock before setting it aside, so that what
        // is set aside is not a file another process just put in place.
        // While another process holds the lock, the first write sets it
        // aside; until then the copy last flushed stands in.
        lock.emplace(lockFilePath(), kWritePatience);
        if (lock->busy())
            readBackup(loaded);
        else
            state = readFile(loaded, true);
    }
    if (state == FileState::Unreadable) {
        // The file is there but cannot be read (its permissions): it is
        // left alone, the values in memory stay, and no change is written
        // over it.
        std::lock_guard<std::mutex> guard(mutex_);
        unreadable_ = true;
        return;
    }
    std::lock_guard<std::mutex> guard(mutex_);
    unreadable_ = false;
    refreshDomain(std::move(loaded));
}

Value UserDefaults::objectForKey(const std::string &key) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = application_.find(key);
    if (it != application_.end()) return it->second;
    auto reg = registration_.find(key);
    if (reg != registration_.end()) return reg->second;
    return Value();
}

bool UserDefaults::setObject(const Value &value, const std::string &key) { return store(value, key); }

bool UserDefaults::store(const Value &value, const std::string &key, const std::optional<Value> &madeOver) {
    if (value.isNull()) return removeObjectForKey(key);
    adoptAfterFork();
    // Only what the file can hold and give back is taken: a text that is not
    // UTF-8 would make the whole file unreadable at the next launch.
    ErrorPtr error;
    if (!PropertyListSerialization::dataWithPropertyList(Value(Dictionary{{key, value}}),
                                                         PropertyListSerialization::Format::Binary, &error)) {
        logLine("Attempt to set a non-property-list object " + text::lossyUTF8(value.description()) + " for key " +
                text::lossyUTF8(key) + ": " + (error ? error->localizedDescription() : std::string("?")));
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        application_[key] = value;
        changes_[key] = value;
        if (madeOver)
            made_[key] = *madeOver;
        else
            made_.erase(key);
    }
    return persist();
}

bool UserDefaults::removeObjectForKey(const std::string &key) {
    // Written even when the key is not in memory: another process may have
    // set it since this one last read the file.
    adoptAfterFork();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        application_.erase(key);
        changes_[key] = std::nullopt;
        made_.erase(key);
    }
    return persist();
}

bool UserDefaults::persist() {
    std::lock_guard<std::mutex> fileLock(fileMutex_);
    // While the background thread waits for the lock, a change joins the
    // others at once if the lock is still held.
    return writeChanges(writeWaiting_ && kFlushInBackground ? Clock::duration::zero() : kWritePatience) !=
           WriteResult::Failed;
}

UserDefaults::WriteResult UserDefaults::writeChanges(Clock::duration patience, const Edit &edit, bool *edited,
                                                     bool locked) {
    if (edited) *edited = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // A writer that came after us already wrote our change.
        if (changes_.empty() && !edit) return WriteResult::Written;
    }
    ErrorPtr error;
    if (!file_.parent_path().empty() &&
        !FileManager::defaultManager()->createDirectory(file_.parent_path(), true, &error)) {
        logLine("Cannot write " + file_.string() + ": " + (error ? error->localizedDescription() : std::string("?")));
        return WriteResult::Failed;
    }
    std::optional<FileLock> lock;
    if (!locked) lock.emplace(lockFilePath(), patience);
    if (lock && lock->busy()) {
        bool waiting = false;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            waiting = !changes_.empty();
        }
        if (waiting) deferWrite();
        return WriteResult::Deferred;
    }
    return writeLocked(edit, edited) ? WriteResult::Written : WriteResult::Failed;
}

bool UserDefaults::writeLocked(const Edit &edit, bool *edited) {
    if (edited) *edited = false;
    Changes changes;
    std::map<std::string, Value> made;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (changes_.empty() && !edit) return true;
        changes = changes_;
        made = made_;
    }
    auto fm = FileManager::defaultManager();
    ErrorPtr error;
    Dictionary merged;
    const FileState state = readFile(merged, true);
    // The file was removed (say, to reset the settings): its flushed copy
    // goes too, so that a power loss can never bring it back.
    if (state == FileState::Absent) ::unlink(backupFilePath().c_str());
    if (state == FileState::Unreadable) {
        std::lock_guard<std::mutex> guard(mutex_);
        unreadable_ = true;
        logLine("Not writing " + file_.string() +
                ": it exists but could not be read, and writing would replace what it holds");
        return false;
    }
    // Whether the file must be written: told by the changes themselves, not
    // by comparing with a copy of the file's dictionary. What the file held
    // for each key changed is kept, to be put back if the file would grow
    // too large.
    bool differs = false;
    std::vector<std::pair<std::string, std::optional<Value>>> before;
    auto change = [&](const std::string &key, const std::optional<Value> &value) {
        auto it = merged.find(key);
        before.emplace_back(key, it != merged.end() ? std::optional<Value>(it->second) : std::nullopt);
        differs = apply(key, value, merged) || differs;
    };
    // A value made by this process alone while another held the lock yields
    // to another one the file holds by now: that process made it first. Over
    // the very value it was made to replace, it is written.
    std::vector<std::string> yielded;
    for (const auto &[key, value] : changes) {
        const auto over = made.find(key);
        const auto onDisk = merged.find(key);
        if (over != made.end() && onDisk != merged.end() && onDisk->second != over->second) {
            yielded.push_back(key);
            continue;
        }
        change(key, value);
    }
    if (edit) {
        if (edited) *edited = true;
        if (auto decided = edit(merged)) {
            // The edit's key is written as the process's own change; it has
            // been checked for the file by its caller.
            const std::string &key = decided->first;
            change(key, decided->second);
            changes[key] = decided->second;
            std::lock_guard<std::mutex> guard(mutex_);
            changes_[key] = decided->second;
            made_.erase(key);
        }
    }
    bool ok = true, tooLarge = false;
    // Nothing is written when the file holds the changes already (a key
    // removed that was not there).
    if (differs) {
        auto data = PropertyListSerialization::dataWithPropertyList(Value(merged),
                                                                    PropertyListSerialization::Format::Binary, &error);
        // Never more than a reader takes, or the next start would set the
        // whole file aside.
        tooLarge = data && data->size() > static_cast<size_t>(kMaximumFileSize);
        if (tooLarge) data.reset();
        // The fsyncs are left to the background flush only while a durable
        // copy of the old contents exists, or the old contents are not
        // durable either (none, or this process's own write not flushed
        // yet): a power loss before the flush then falls back to the copy,
        // or to nothing newer than what was lost anyway. Else (a file from
        // before the copies existed) this one write fsyncs as it always did.
        struct stat st {};
        const bool deferred = kFlushInBackground && (flushPending_ || ::lstat(file_.c_str(), &st) != 0 ||
                                                     ::lstat(backupFilePath().c_str(), &st) == 0);
        ok = data && fm->writeData(*data, file_, true, &error, FileManager::kPrivateFileMode,
                                   deferred ? FileManager::Durability::Deferred : FileManager::Durability::Synced);
        if (tooLarge) {
            std::string keys;
            size_t named = 0;
            for (const auto &[key, value] : changes)
                if (named++ < 3) keys += (keys.empty() ? "" : ", ") + text::lossyUTF8(key).substr(0, 64);
            if (named > 3) keys += " and " + std::to_string(named - 3) + " more";
            logLine("Not writing " + file_.string() + ": with the changes to " + keys +
                    " it would be larger than settings may be (64 MiB); the file keeps what it held, and the "
                    "changes are dropped");
        } else if (!ok)
            logLine("Cannot write " + file_.string() + ": " +
                    (error ? error->localizedDescription() : std::string("?")));
        else if (deferred) {
            flushPending_ = true;
            scheduleSynchronize();
        } else {
            synchronizeLocked();  // makes the backup; the file is on disk already
        }
    }
    std::lock_guard<std::mutex> guard(mutex_);
    unreadable_ = false;
    // Changes written, refused for the size, or yielding to the file are no
    // longer pending, unless they changed again meanwhile.
    auto settle = [&](const std::string &key, const std::optional<Value> &value) {
        auto it = changes_.find(key);
        if (it == changes_.end() || it->second != value) return;
        changes_.erase(it);
        made_.erase(key);
    };
    for (const auto &key : yielded) {
        settle(key, changes[key]);
        if (auto it = merged.find(key); it != merged.end()) application_[key] = it->second;
        logLine("Another process stored " + text::lossyUTF8(key) + " in " + file_.string() +
                " while this one waited to write it: that value is kept");
    }
    if (tooLarge) {
        // The file keeps what it held, and so does memory: a value kept
        // only there would be gone at the next start, silently.
        for (auto it = before.rbegin(); it != before.rend(); ++it) apply(it->first, it->second, merged);
        for (const auto &[key, value] : changes) settle(key, value);
        if (changes_.empty()) writeWaiting_ = false;
        refreshDomain(std::move(merged));
        return false;
    }
    if (!ok) {
        // The file keeps what it held; memory keeps this process's changes.
        for (const auto &[key, value] : changes_) apply(key, value, application_);
        return false;
    }
    for (const auto &[key, value] : changes) settle(key, value);
    if (changes_.empty()) writeWaiting_ = false;
    refreshDomain(std::move(merged));
    return true;
}

Value UserDefaults::loadOrStoreObject(const std::string &key,
                                      const std::function<Value(const Value &stored)> &resolve) {
    Value kept;
    std::optional<std::string> refused;
    Edit edit = [&](const Dictionary &onDisk) -> std::optional<std::pair<std::string, std::optional<Value>>> {
        auto it = onDisk.find(key);
        Value stored = it != onDisk.end() ? it->second : Value();
        kept = resolve ? resolve(stored) : stored;
        if (kept == stored) return std::nullopt;
        ErrorPtr error;
        if (!kept.isNull() && !PropertyListSerialization::dataWithPropertyList(
                                  Value(Dictionary{{key, kept}}), PropertyListSerialization::Format::Binary, &error)) {
            refused = error ? error->localizedDescription() : std::string("?");
            return std::nullopt;
        }
        return std::make_pair(key, kept.isNull() ? std::optional<Value>() : std::optional<Value>(kept));
    };
    bool edited = false;
    adoptAfterFork();
    WriteResult result;
    {
        std::lock_guard<std::mutex> fileLock(fileMutex_);
        result = writeChanges(kWritePatience, edit, &edited);
    }
    if (result == WriteResult::Deferred) {
        // Another process holds the lock. The file is only ever replaced
        // whole, so it reads whole without the lock: a value it holds that
        // resolve keeps needs no write.
        Dictionary onDisk;
        if (readFile(onDisk, false) == FileState::Read) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                for (const auto &[changed, value] : changes_) apply(changed, value, onDisk);
            }
            auto it = onDisk.find(key);
            const Value stored = it != onDisk.end() ? it->second : Value();
            if (!resolve || resolve(stored) == stored) return stored;
        }
        // A value to make: another instance making it at the same time holds
        // the lock only a moment. The wait holds none of this process's
        // locks, so that its other writers go on meanwhile.
        FileLock lock(lockFilePath(), kMakePatience);
        if (!lock.busy()) {
            std::lock_guard<std::mutex> fileLock(fileMutex_);
            writeChanges(kMakePatience, edit, &edited, lock.held());
        }
    }
    if (refused) {
        logLine("Attempt to set a non-property-list object " + text::lossyUTF8(kept.description()) + " for key " +
                text::lossyUTF8(key) + ": " + *refused);
        return objectForKey(key);
    }
    if (edited) return kept;
    // The file could not be read: this process decides alone, from memory.
    Value madeOver;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = application_.find(key);
        Value stored = it != application_.end() ? it->second : Value();
        kept = resolve ? resolve(stored) : stored;
        if (kept == stored) return kept;
        madeOver = stored;
    }
    store(kept, key, madeOver);
    return kept;
}

void UserDefaults::registerDefaults(const Dictionary &registrationDictionary) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto &[key, value] : registrationDictionary) registration_[key] = value;
}

Dictionary UserDefaults::dictionaryRepresentation() const {
    std::lock_guard<std::mutex> lock(mutex_);
    Dictionary all = registration_;
    for (const auto &[key, value] : application_) all[key] = value;
    return all;
}

bool UserDefaults::boolForKey(const std::string &key) const { return objectForKey(key).boolValue().value_or(false); }

int64_t UserDefaults::integerForKey(const std::string &key) const { return objectForKey(key).int64Value().value_or(0); }

double UserDefaults::doubleForKey(const std::string &key) const {
    return objectForKey(key).doubleValue().value_or(0.0);
}

std::optional<std::string> UserDefaults::stringForKey(const std::string &key) const {
    Value v = objectForKey(key);
    if (const std::string *s = v.string()) return *s;
    return std::nullopt;
}

std::optional<Data> UserDefaults::dataForKey(const std::string &key) const {
    Value v = objectForKey(key);
    if (const Data *d = v.data()) return *d;
    return std::nullopt;
}

}  // namespace platform
