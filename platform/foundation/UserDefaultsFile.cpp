#include "platform/foundation/UserDefaultsFile.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "platform/foundation/UserDefaultsLifetime.h"
#include "platform/syslog/SystemLog.h"

namespace platform {

namespace fs = std::filesystem;

void UserDefaultsFile::logLine(const std::string &text) {
    // Often written with the defaults' locks held: the sink may not use
    // any defaults meanwhile.
    UserDefaultsLifetime::Callback callback;
    SystemLog::write("[UserDefaults] " + text);
}

namespace {

// What reading a file at rest found.
enum class AtRest { Read, Absent, NotOurs, Unreadable };

// The file's bytes, read only when it is a regular file, not reached through
// a link, of at most the bound (else NotOurs, with the reason in `why`).
// Opened without blocking, so that a FIFO in its place cannot hold the read.
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
    } else if (!UserDefaultsFile::fits(static_cast<size_t>(st.st_size))) {
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

// Whether the name is one of the atomic writer's temporary files for the
// file: "." + name + "." + six letters or digits (mkstemp's pattern).
bool isTemporaryFileName(const std::string &candidate, const std::string &name) {
    const std::string prefix = "." + name + ".";
    if (candidate.size() != prefix.size() + 6 || candidate.compare(0, prefix.size(), prefix) != 0) return false;
    for (size_t i = prefix.size(); i < candidate.size(); ++i)
        if (!std::isalnum(static_cast<unsigned char>(candidate[i]))) return false;
    return true;
}

}  // namespace

UserDefaultsFile::Lock::Lock(const fs::path &path, Clock::duration patience) {
    // Read-only: a lock needs no more, and the file is never written.
    struct stat st {};
    for (int attempt = 0;; ++attempt) {
        fd_ = UserDefaultsLifetime::openLockFile(path.c_str());
        if (fd_ < 0) {
            if (errno != ENOENT) logLine("Cannot open the lock file " + path.string() + ": " + std::strerror(errno));
            return;
        }
        if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
            logLine("The lock file " + path.string() + " is not a regular file; going on without it");
            release();
            return;
        }
        if (st.st_nlink <= 1) break;
        // Another name of someone else's file: it is not chmodded nor
        // locked, but set aside (once it is sure to be that very file,
        // never over one set aside before) and a fresh one made.
        release();
        struct stat now {};
        const bool same = ::lstat(path.c_str(), &now) == 0 && now.st_dev == st.st_dev && now.st_ino == st.st_ino;
        const std::optional<std::string> aside =
            attempt == 0 && same ? FileManager::setAsideEntry(AT_FDCWD, path.string(), FileManager::kNotOursSuffix,
                                                              FileManager::AsideNumbering::Dotted)
                                 : std::nullopt;
        if (!aside) {
            logLine("The lock file " + path.string() + " has other links, so it is not ours; going on without it");
            return;
        }
        logLine("The lock file " + path.string() + " has other links, so it is not ours; moved it to " + *aside +
                " and made a fresh one");
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

UserDefaultsFile::Lock::~Lock() { release(); }

void UserDefaultsFile::Lock::release() {
    // Closing the only descriptor of the open file drops the lock.
    if (fd_ >= 0) UserDefaultsLifetime::closeLockFile(fd_);
    fd_ = -1;
}

UserDefaultsFile::UserDefaultsFile(fs::path file) : file_(std::move(file)) {}

fs::path UserDefaultsFile::lockPath() const {
    return file_.parent_path() / ("." + file_.filename().string() + ".lock");
}

fs::path UserDefaultsFile::backupPath() const { return file_.parent_path() / ("." + file_.filename().string() + "~"); }

UserDefaultsFile::State UserDefaultsFile::read(Dictionary &out, bool setAside) const {
    out.clear();
    Data data;
    std::string why;
    switch (readAtRest(file_, data, why)) {
    case AtRest::Absent: return State::Absent;
    case AtRest::Unreadable:
        logLine("Cannot read " + file_.string() + ": " + why +
                "; the file is left as it is and changes are not written to it");
        return State::Unreadable;
    case AtRest::NotOurs: break;
    case AtRest::Read: {
        ErrorPtr error;
        auto plist = PropertyListSerialization::propertyListWithData(data, &error);
        if (plist && plist->isDictionary()) {
            out = std::move(*plist->dictionary());
            return State::Read;
        }
        why = "is not a property-list dictionary" +
              (plist || !error ? std::string() : " (" + error->localizedDescription() + ")");
        break;
    }
    }
    if (!setAside) return State::Corrupt;
    // Keep the unreadable file for inspection instead of overwriting it with
    // the next change; a link is moved itself, and what it names is never
    // touched.
    const std::optional<std::string> aside = FileManager::setAsideEntry(
        AT_FDCWD, file_.string(), FileManager::kCorruptSuffix, FileManager::AsideNumbering::Dotted);
    const int failure = errno;
    if (aside) makePrivate(*aside, backupPath());
    const std::string moved =
        aside ? "moved it to " + *aside
              : "could not move it aside (" +
                    std::string(failure == EEXIST ? "every name for it is taken" : std::strerror(failure)) +
                    "), so it is left in place";
    // A file torn by a power loss before its flush: the backup holds the
    // contents flushed last.
    if (readBackup(out)) {
        // The copy becomes the file again (the same, durable, contents), so
        // that a start that writes nothing still finds it.
        if (aside) ::link(backupPath().c_str(), file_.c_str());
        logLine("The defaults file " + file_.string() + " " + why + "; " + moved +
                " and read the copy last flushed to disk");
        return State::Read;
    }
    logLine("The defaults file " + file_.string() + " " + why + "; " + moved + " and starting empty");
    return State::SetAside;
}

bool UserDefaultsFile::readBackup(Dictionary &out) const {
    Data data;
    std::string why;
    if (readAtRest(backupPath(), data, why) != AtRest::Read) return false;
    auto saved = PropertyListSerialization::propertyListWithData(data);
    if (!saved || !saved->isDictionary()) return false;
    out = std::move(*saved->dictionary());
    return true;
}

UserDefaultsFile::WriteResult UserDefaultsFile::write(const Dictionary &contents, bool mayDefer, bool flushPending,
                                                      bool &deferred) const {
    deferred = false;
    ErrorPtr error;
    auto data = PropertyListSerialization::dataWithPropertyList(Value(contents),
                                                                PropertyListSerialization::Format::Binary, &error);
    // Never more than a reader takes, or the next start would set the
    // whole file aside.
    if (data && !fits(data->size())) return WriteResult::TooLarge;
    // The fsyncs are left to the background flush only while a durable copy
    // of the old contents exists, or the old contents are not durable either
    // (none, or this process's own write not flushed yet): a power loss
    // before the flush then falls back to the copy, or to nothing newer than
    // what was lost anyway. Else (a file from before the copies existed)
    // this one write fsyncs as it always did.
    struct stat st {};
    const bool deferrable =
        mayDefer && (flushPending || ::lstat(file_.c_str(), &st) != 0 || ::lstat(backupPath().c_str(), &st) == 0);
    if (!data || !FileManager::defaultManager()->writeData(
                     *data, file_, true, &error, FileManager::kPrivateFileMode,
                     deferrable ? FileManager::Durability::Deferred : FileManager::Durability::Synced)) {
        logLine("Cannot write " + file_.string() + ": " + (error ? error->localizedDescription() : std::string("?")));
        return WriteResult::Failed;
    }
    deferred = deferrable;
    return WriteResult::Written;
}

bool UserDefaultsFile::synchronize() const {
    struct stat file {
    }, backup{};
    if (::lstat(file_.c_str(), &file) != 0 || !S_ISREG(file.st_mode)) return true;
    // The backup is the file itself: flushed already.
    if (::lstat(backupPath().c_str(), &backup) == 0 && backup.st_dev == file.st_dev && backup.st_ino == file.st_ino)
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
        fs::path link = backupPath();
        link += ".new";
        ::unlink(link.c_str());
        ok = ::link(file_.c_str(), link.c_str()) == 0 && ::rename(link.c_str(), backupPath().c_str()) == 0;
        if (!ok) {
            error = Error::posix(errno, backupPath().string());
            ::unlink(link.c_str());
        }
    }
    if (!fm->synchronizeDirectory(dir, ok ? &error : nullptr)) ok = false;
    if (!ok)
        logLine("Cannot flush " + file_.string() +
                " to disk: " + (error ? error->localizedDescription() : std::string("?")));
    return ok;
}

void UserDefaultsFile::removeStaleTemporaryFiles() const {
    const fs::path dir = file_.parent_path().empty() ? fs::path(".") : file_.parent_path();
    const std::string name = file_.filename().string();
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    // While another process holds the lock, its temporary file may be live:
    // nothing is removed then, and the next start looks again. The lock is
    // taken only once there is a file to remove, and held while they go.
    std::optional<Lock> lock;
    FileManager::removeAbandonedTemporaryFiles(
        fd, [&](const std::string &candidate) { return isTemporaryFileName(candidate, name); },
        [&](const std::string &, const struct stat &) {
            if (!lock) lock.emplace(lockPath(), Clock::duration::zero());
            return lock->held();
        },
        [&](const std::string &removed) {
            logLine("Removed " + (dir / removed).string() + ", left by an interrupted write");
        });
    ::close(fd);
}

}  // namespace platform
