#include "platform/foundation/FileManager.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace platform {

namespace fs = std::filesystem;

namespace {

void setError(ErrorPtr *error, int errnum, const fs::path &path) {
    if (error) *error = Error::posix(errnum, path.string());
}

fs::path xdgDirectory(const char *variable, const char *fallback) {
    const char *value = getenv(variable);
    // The XDG rules ignore relative paths.
    if (value && value[0] == '/') return fs::path(value);
    return FileManager::homeDirectory() / fallback;
}

bool writeAll(int fd, const uint8_t *bytes, size_t length) {
    size_t done = 0;
    while (done < length) {
        ssize_t n = ::write(fd, bytes + done, length - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool writeAll(int fd, const Data &data) { return writeAll(fd, data.data(), data.size()); }

std::atomic<uint64_t> fileSyncs{0};
std::atomic<uint64_t> directorySyncs{0};

int syncFile(int fd) {
    fileSyncs.fetch_add(1, std::memory_order_relaxed);
    return ::fsync(fd);
}

bool syncDirectory(const fs::path &dir, int *err = nullptr) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        if (err) *err = errno;
        return false;
    }
    directorySyncs.fetch_add(1, std::memory_order_relaxed);
    bool ok = ::fsync(fd) == 0;
    if (!ok && err) *err = errno;
    ::close(fd);
    return ok;
}

}  // namespace

std::shared_ptr<FileManager> FileManager::defaultManager() {
    // Never destroyed: worker threads may still use it while the process exits.
    static const auto *manager = new std::shared_ptr<FileManager>(std::make_shared<FileManager>());
    return *manager;
}

fs::path FileManager::homeDirectory() {
    const char *home = getenv("HOME");
    if (home && home[0] != '\0') return fs::path(home);
    struct passwd pw;
    struct passwd *result = nullptr;
    char buffer[4096];
    if (getpwuid_r(getuid(), &pw, buffer, sizeof buffer, &result) == 0 && result && result->pw_dir)
        return fs::path(result->pw_dir);
    return fs::path("/");
}

fs::path FileManager::temporaryDirectory() {
    const char *tmp = getenv("TMPDIR");
    if (tmp && tmp[0] == '/') return fs::path(tmp);
    return fs::path("/tmp");
}

fs::path FileManager::URLForDirectory(SearchPathDirectory directory) {
    switch (directory) {
    case SearchPathDirectory::ApplicationSupport: return xdgDirectory("XDG_DATA_HOME", ".local/share");
    case SearchPathDirectory::Caches: return xdgDirectory("XDG_CACHE_HOME", ".cache");
    case SearchPathDirectory::Preferences: return xdgDirectory("XDG_CONFIG_HOME", ".config");
    }
    return homeDirectory();
}

bool FileManager::createDirectory(const fs::path &url, bool withIntermediateDirectories, ErrorPtr *error) const {
    if (url.empty()) {
        setError(error, ENOENT, url);
        return false;
    }
    // mkdir then chmod: the umask may only narrow the mode given to mkdir,
    // and a folder it made unusable (say 0500) would fail every write below.
    auto makeOne = [](const fs::path &path) {
        if (::mkdir(path.c_str(), kPrivateDirectoryMode) != 0) return false;
        ::chmod(path.c_str(), kPrivateDirectoryMode);
        return true;
    };
    if (!withIntermediateDirectories) {
        if (!makeOne(url)) {
            setError(error, errno, url);
            return false;
        }
        return true;
    }
    // Each missing folder of the path is made private; folders that exist
    // already are left as they are.
    fs::path partial;
    for (const auto &component : url) {
        partial /= component;
        if (component.empty() || component == "/" || component == "." || component == "..") continue;
        if (makeOne(partial)) continue;
        int err = errno;
        struct stat st;
        if (err != EEXIST || ::stat(partial.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            // A file in the way (or a dangling link) is not a folder.
            setError(error, err == EEXIST ? ENOTDIR : err, url);
            return false;
        }
    }
    // A path that ends in "." or ".." was not checked by the loop.
    struct stat st;
    if (::stat(url.c_str(), &st) != 0) {
        setError(error, errno, url);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        setError(error, ENOTDIR, url);
        return false;
    }
    return true;
}

bool FileManager::fileExists(const fs::path &url, bool *isDirectory) const {
    struct stat st;
    if (url.empty() || ::stat(url.c_str(), &st) != 0) {
        if (isDirectory) *isDirectory = false;
        return false;
    }
    if (isDirectory) *isDirectory = S_ISDIR(st.st_mode);
    return true;
}

bool FileManager::removeItem(const fs::path &url, ErrorPtr *error) const {
    struct stat st;
    if (url.empty() || ::lstat(url.c_str(), &st) != 0) {
        setError(error, url.empty() ? ENOENT : errno, url);
        return false;
    }
    std::error_code ec;
    fs::remove_all(url, ec);
    if (ec) {
        setError(error, ec.value(), url);
        return false;
    }
    return true;
}

std::optional<std::string> FileManager::setAsideEntry(int directoryFd, const std::string &name,
                                                      const std::string &suffix, AsideNumbering numbering) {
    if (isSetAsideName(name)) {
        errno = EALREADY;
        return std::nullopt;
    }
    for (int attempt = 0; attempt < 10; ++attempt) {
        std::string aside = name + suffix;
        if (attempt > 0) aside += (numbering == AsideNumbering::Dotted ? "." : "") + std::to_string(attempt);
        int moved = ::renameat2(directoryFd, name.c_str(), directoryFd, aside.c_str(), RENAME_NOREPLACE);
        if (moved != 0 && errno == EINVAL) {
            // A file system without the no-replace rename: looked at first.
            struct stat st {};
            if (::fstatat(directoryFd, aside.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) continue;
            if (errno != ENOENT) return std::nullopt;
            moved = ::renameat(directoryFd, name.c_str(), directoryFd, aside.c_str());
        }
        if (moved == 0) return aside;
        if (errno != EEXIST) return std::nullopt;
    }
    errno = EEXIST;
    return std::nullopt;
}

namespace {

// Copies the first `size` bytes of `from` into `to` (less if the file ended
// sooner); false with errno set.
bool copyBytes(int from, int to, uint64_t size) {
    std::vector<uint8_t> buffer(65536);
    while (size > 0) {
        const ssize_t n = ::read(from, buffer.data(), static_cast<size_t>(std::min<uint64_t>(size, buffer.size())));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        if (!writeAll(to, buffer.data(), static_cast<size_t>(n))) return false;
        size -= static_cast<uint64_t>(n);
    }
    return true;
}

}  // namespace

FileManager::TakeBack FileManager::takeBackHardLinkedEntry(int directoryFd, const std::string &name, uint64_t maxSize) {
    if (isSetAsideName(name)) {
        errno = EALREADY;
        return TakeBack::Failed;
    }
    const size_t slash = name.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : name.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
    // A few rounds: the name may be replaced while it is copied.
    for (int round = 0; round < 3; ++round) {
        struct stat st {};
        if (::fstatat(directoryFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
            st.st_nlink <= 1) {
            return TakeBack::NotNeeded;
        }
        const int from = ::openat(directoryFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (from < 0) return errno == ENOENT || errno == ELOOP ? TakeBack::NotNeeded : TakeBack::Failed;
        struct stat opened {};
        if (::fstat(from, &opened) != 0 || opened.st_dev != st.st_dev || opened.st_ino != st.st_ino) {
            ::close(from);
            continue;
        }
        if (static_cast<uint64_t>(opened.st_size) > maxSize) {
            ::close(from);
            errno = EFBIG;
            return TakeBack::Failed;
        }
        const std::string temporary = folder + temporaryFileName(base);
        const int to = ::openat(directoryFd, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                kPrivateFileMode);
        if (to < 0) {
            const int code = errno;
            ::close(from);
            errno = code;
            return TakeBack::Failed;
        }
        const struct timespec times[2] = {opened.st_atim, opened.st_mtim};
        // Whatever the umask took; the old times, so that what reads them
        // (the time a crash was stored) sees the same file.
        bool done = ::fchmod(to, kPrivateFileMode) == 0 && copyBytes(from, to, static_cast<uint64_t>(opened.st_size)) &&
                    ::futimens(to, times) == 0 && syncFile(to) == 0;
        int code = errno;
        ::close(from);
        if (::close(to) != 0 && done) {
            done = false;
            code = errno;
        }
        // Only over the very file copied: one put there meanwhile is not
        // replaced by an older copy.
        struct stat now {};
        const bool same = done && ::fstatat(directoryFd, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
                          now.st_dev == st.st_dev && now.st_ino == st.st_ino;
        if (same && ::renameat(directoryFd, temporary.c_str(), directoryFd, name.c_str()) == 0) {
            if (directoryFd == AT_FDCWD) {
                syncDirectory(folder.empty() ? fs::path(".") : fs::path(folder));
            } else {
                directorySyncs.fetch_add(1, std::memory_order_relaxed);
                ::fsync(directoryFd);
            }
            return TakeBack::TakenBack;
        }
        if (same) code = errno;
        ::unlinkat(directoryFd, temporary.c_str(), 0);
        if (!done || same) {
            errno = code;
            return TakeBack::Failed;
        }
    }
    errno = EAGAIN;
    return TakeBack::Failed;
}

bool FileManager::isSetAsideName(const std::string &name) {
    const size_t slash = name.rfind('/');
    const std::string last = slash == std::string::npos ? name : name.substr(slash + 1);
    for (const char *suffix : {kNotOursSuffix, kCorruptSuffix, kUnstorableSuffix, kHardLinkSuffix, kLinkSuffix}) {
        const size_t at = last.rfind(suffix);
        if (at == std::string::npos || at == 0) continue;
        std::string_view number(last);
        number.remove_prefix(at + std::strlen(suffix));
        if (!number.empty() && number.front() == '.') {
            number.remove_prefix(1);
            if (number.empty()) continue;
        }
        if (std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; })) return true;
    }
    return false;
}

std::string FileManager::temporaryFileName(const std::string &name) {
    static std::atomic<unsigned> counter{0};
    return "." + name + "." + std::to_string(::getpid()) + "." +
           std::to_string(counter.fetch_add(1, std::memory_order_relaxed));
}

std::optional<pid_t> FileManager::temporaryFileWriter(const std::string &name) {
    // ".<name>.<pid>.<n>", read from the end: the name may hold dots.
    auto digits = [](std::string_view text) {
        return !text.empty() && text.size() <= 10 &&
               std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    const size_t last = name.rfind('.');
    if (name.size() < 6 || name[0] != '.' || last == std::string::npos || last < 4) return std::nullopt;
    const size_t middle = name.rfind('.', last - 1);
    if (middle == std::string::npos || middle < 2) return std::nullopt;
    const std::string_view text(name);
    if (!digits(text.substr(last + 1)) || !digits(text.substr(middle + 1, last - middle - 1))) return std::nullopt;
    const unsigned long long pid = std::stoull(name.substr(middle + 1, last - middle - 1));
    if (pid == 0 || pid > 0x7fffffffULL) return std::nullopt;
    return static_cast<pid_t>(pid);
}

bool FileManager::isAbandonedTemporaryFile(const std::string &name, const struct stat &st) {
    const auto writer = temporaryFileWriter(name);
    if (!writer) return false;
    if (::kill(*writer, 0) != 0 && errno == ESRCH) return true;
    // Process ids come round again: an old file's writer may be long gone.
    return ::time(nullptr) - st.st_mtim.tv_sec > kLongestWrite.count();
}

void FileManager::removeAbandonedTemporaryFiles(
    int directoryFd, const std::function<bool(const std::string &name)> &isTemporary,
    const std::function<bool(const std::string &name, const struct stat &st)> &writerGone,
    const std::function<void(const std::string &name)> &removed) {
    const int listFd = ::dup(directoryFd);
    DIR *dir = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
    if (!dir) {
        if (listFd >= 0) ::close(listFd);
        return;
    }
    std::vector<std::string> names;
    while (struct dirent *entry = ::readdir(dir)) {
        if (isTemporary(entry->d_name)) names.emplace_back(entry->d_name);
    }
    ::closedir(dir);
    for (const auto &name : names) {
        struct stat st {};
        if (::fstatat(directoryFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
        if (writerGone(name, st) && ::unlinkat(directoryFd, name.c_str(), 0) == 0 && removed) removed(name);
    }
}

std::optional<std::vector<FileManager::DirectoryEntry>> FileManager::contentsOfDirectory(const fs::path &url,
                                                                                         ErrorPtr *error) const {
    DIR *dir = ::opendir(url.c_str());
    if (!dir) {
        setError(error, errno, url);
        return std::nullopt;
    }
    std::vector<DirectoryEntry> entries;
    while (struct dirent *d = ::readdir(dir)) {
        std::string name = d->d_name;
        if (name == "." || name == "..") continue;
        DirectoryEntry entry;
        entry.url = url / name;
        entry.name = name;
        struct stat st;
        if (::fstatat(dirfd(dir), d->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
            entry.isRegularFile = S_ISREG(st.st_mode);
            entry.isDirectory = S_ISDIR(st.st_mode);
            if (entry.isRegularFile) entry.size = static_cast<uint64_t>(st.st_size);
        }
        entries.push_back(std::move(entry));
    }
    ::closedir(dir);
    std::sort(entries.begin(), entries.end(),
              [](const DirectoryEntry &a, const DirectoryEntry &b) { return a.name < b.name; });
    return entries;
}

uint64_t FileManager::fileSynchronizationCount() { return fileSyncs.load(std::memory_order_relaxed); }
uint64_t FileManager::directorySynchronizationCount() { return directorySyncs.load(std::memory_order_relaxed); }

bool FileManager::synchronizeFile(const fs::path &url, ErrorPtr *error) const {
    int fd = ::open(url.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        setError(error, errno, url);
        return false;
    }
    struct stat st {};
    int err = 0;
    if (::fstat(fd, &st) != 0)
        err = errno;
    else if (!S_ISREG(st.st_mode))
        err = EINVAL;
    else if (syncFile(fd) != 0)
        err = errno;
    ::close(fd);
    if (err != 0) setError(error, err, url);
    return err == 0;
}

bool FileManager::synchronizeDirectory(const fs::path &url, ErrorPtr *error) const {
    int err = 0;
    if (syncDirectory(url.empty() ? fs::path(".") : url, &err)) return true;
    setError(error, err, url);
    return false;
}

bool FileManager::writeData(const Data &data, const fs::path &url, bool atomically, ErrorPtr *error,
                            std::optional<mode_t> permissions, Durability durability) const {
    if (url.empty() || !url.has_filename()) {
        setError(error, EISDIR, url);
        return false;
    }
    mode_t mode;
    if (permissions) {
        mode = *permissions;
    } else {
        struct stat st;
        // A new file is private to the user whatever the umask; a replaced
        // one keeps its permissions, but never more than the owner's.
        mode = ::stat(url.c_str(), &st) == 0 ? (st.st_mode & kPrivateFileMode) : kPrivateFileMode;
    }
    if (!atomically) {
        // O_NONBLOCK: a FIFO without a reader fails at once instead of
        // holding the open; other special files are refused.
        int fd = ::open(url.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK, mode);
        if (fd < 0) {
            setError(error, errno, url);
            return false;
        }
        struct stat st;
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            ::close(fd);
            setError(error, EINVAL, url);
            return false;
        }
        // open() applied the umask to a new file; set the mode exactly.
        if ((st.st_mode & 07777) != mode) ::fchmod(fd, mode);
        if (::ftruncate(fd, 0) != 0) {
            int e = errno;
            ::close(fd);
            setError(error, e, url);
            return false;
        }
        bool ok = writeAll(fd, data);
        int err = errno;
        if (::close(fd) != 0 && ok) {
            ok = false;
            err = errno;
        }
        if (!ok) setError(error, err, url);
        return ok;
    }

    fs::path dir = url.parent_path();
    if (dir.empty()) dir = ".";
    std::string pattern = (dir / ("." + url.filename().string() + ".XXXXXX")).string();
    int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) {
        setError(error, errno, url);
        return false;
    }
    int err = 0;
    const bool synced = durability == Durability::Synced;
    if (::fchmod(fd, mode) != 0 || !writeAll(fd, data) || (synced && syncFile(fd) != 0)) err = errno;
    if (::close(fd) != 0 && err == 0) err = errno;
    if (err == 0 && ::rename(pattern.c_str(), url.c_str()) != 0) err = errno;
    if (err != 0) {
        ::unlink(pattern.c_str());
        setError(error, err, url);
        return false;
    }
    // Make the rename itself durable.
    if (synced) syncDirectory(dir);
    return true;
}

std::optional<Data> FileManager::contentsAtPath(const fs::path &url, ErrorPtr *error) const {
    // O_NONBLOCK so that a FIFO without a writer cannot hold the open; only
    // regular files are read (a FIFO or a device could block or never end).
    int fd = ::open(url.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        setError(error, errno, url);
        return std::nullopt;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        int e = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        ::close(fd);
        setError(error, e, url);
        return std::nullopt;
    }
    Data data;
    uint8_t buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            int e = errno;
            ::close(fd);
            setError(error, e, url);
            return std::nullopt;
        }
        if (n == 0) break;
        data.insert(data.end(), buffer, buffer + n);
    }
    ::close(fd);
    return data;
}

bool FileManager::setExcludedFromBackup(const fs::path &, bool, ErrorPtr *) const { return true; }

}  // namespace platform
