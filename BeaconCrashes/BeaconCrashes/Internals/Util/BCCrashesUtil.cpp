#include "BCCrashesUtil.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "BCLogger.h"
#include "BCUtility.h"
#include "platform/foundation/Text.h"

namespace {

constexpr const char *kLogTag = "BeaconCrashes";
constexpr const char *kCrashesDirectory = "crashes";
constexpr const char *kLogBufferDirectory = "crasheslogbuffer";
constexpr const char *kWrapperExceptionsDirectory = "crasheswrapperexceptions";

// For each folder, the SDK folder it was last made and tightened in. Never
// destroyed: worker threads may still use it while the process exits.
struct Prepared {
    std::mutex mutex;
    std::string crashes, logBuffer, wrapperExceptions;
};
Prepared &prepared() {
    static auto *state = new Prepared;
    return *state;
}

// Closes the descriptor on every way out.
struct Descriptor {
    int fd;
    explicit Descriptor(int value) : fd(value) {}
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

// Makes and tightens the folder on its first use with the current SDK
// folder.
std::string directory(std::string Prepared::*slot, const char *name) {
    const std::string sdk = BCUtility::beaconDirectoryURL().string();
    std::lock_guard<std::mutex> lock(prepared().mutex);
    if (prepared().*slot != sdk) {
        Descriptor fd(BCCrashesUtil::openDirectory(name));
        if (fd.fd >= 0) {
            BCCrashesUtil::tightenDirectory(fd.fd);
            prepared().*slot = sdk;
        }
    }
    return name;
}

bool isOurFolder(const std::string &name) {
    return name == kCrashesDirectory || name == kLogBufferDirectory || name == kWrapperExceptionsDirectory;
}

// "<folder>/<name>" split in two; nothing for anything else.
std::optional<std::pair<std::string, std::string>> split(const std::string &pathComponent) {
    const size_t slash = pathComponent.find('/');
    if (slash == std::string::npos) return std::nullopt;
    std::string folder = pathComponent.substr(0, slash), name = pathComponent.substr(slash + 1);
    if (!isOurFolder(folder) || name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
        return std::nullopt;
    }
    return std::make_pair(std::move(folder), std::move(name));
}

// The SDK folder, made if missing: the path down to it is followed.
int openSdkDirectory() {
    const auto url = BCUtility::beaconDirectoryURL();
    int fd = ::open(url.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT && BCUtility::createDirectoryAtURL(url)) {
        fd = ::open(url.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    return fd;
}

// Removes the group and other bits of the entry `name` (not of a link).
void narrow(int directoryFd, const char *name, const struct stat &st, mode_t keep) {
    const mode_t current = st.st_mode & 07777;
    if ((current & ~keep) == 0) return;
    if (::fchmodat(directoryFd, name, current & keep, AT_SYMLINK_NOFOLLOW) != 0) {
        BCLogError(kLogTag, "Couldn't make %@ private: errno %d", std::string(name), errno);
    }
}

std::optional<platform::Data> readOpened(int fd, const std::string &name, size_t maxSize, platform::ErrorPtr *error,
                                         platform::Date *modified) {
    auto fail = [&](int code) -> std::optional<platform::Data> {
        ::close(fd);
        if (error) *error = platform::Error::posix(code, name);
        return std::nullopt;
    };
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return fail(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    if (static_cast<uint64_t>(st.st_size) > maxSize) return fail(EFBIG);
    // One byte more than allowed, to notice a file that grew since fstat.
    platform::Data data(static_cast<size_t>(st.st_size) + 1);
    size_t length = 0;
    while (length < data.size()) {
        const ssize_t n = ::read(fd, data.data() + length, data.size() - length);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail(errno);
        if (n == 0) break;
        length += static_cast<size_t>(n);
    }
    if (length > static_cast<size_t>(st.st_size)) return fail(EFBIG);
    ::close(fd);
    data.resize(length);
    if (modified) {
        *modified = platform::Date::fromTimeIntervalSince1970(static_cast<double>(st.st_mtim.tv_sec) +
                                                              static_cast<double>(st.st_mtim.tv_nsec) / 1e9);
    }
    return data;
}

}  // namespace

std::string BCCrashesUtil::crashesDir() { return directory(&Prepared::crashes, kCrashesDirectory); }

std::string BCCrashesUtil::logBufferDir() { return directory(&Prepared::logBuffer, kLogBufferDirectory); }

std::string BCCrashesUtil::wrapperExceptionsDir() {
    return directory(&Prepared::wrapperExceptions, kWrapperExceptionsDirectory);
}

void BCCrashesUtil::resetDirectory() {
    std::lock_guard<std::mutex> lock(prepared().mutex);
    prepared().crashes.clear();
    prepared().logBuffer.clear();
    prepared().wrapperExceptions.clear();
}

int BCCrashesUtil::openDirectory(const std::string &name, bool create) {
    Descriptor sdk(openSdkDirectory());
    if (sdk.fd < 0) {
        const int code = errno;
        BCLogError(kLogTag, "Couldn't open the SDK folder for %@: errno %d", name, code);
        errno = code;
        return -1;
    }
    // A few rounds: another thread or process may make or move the folder
    // meanwhile.
    for (int round = 0; round < 4; ++round) {
        int fd = ::openat(sdk.fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0) {
            struct stat st {};
            if (::fstat(fd, &st) == 0 && (st.st_mode & 077) != 0) ::fchmod(fd, st.st_mode & 0700);
            return fd;
        }
        if (errno == ENOENT) {
            if (!create) return -1;
            if (::mkdirat(sdk.fd, name.c_str(), 0700) != 0 && errno != EEXIST) break;
            // The umask may have taken some of the owner's bits.
            fd = ::openat(sdk.fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (fd >= 0) {
                ::fchmod(fd, 0700);
                return fd;
            }
            continue;
        }
        // ELOOP: a link; ENOTDIR: a file, a FIFO, a device. Not ours: moved
        // out of the way, never opened, and a folder made in its place.
        if (errno != ELOOP && errno != ENOTDIR) break;
        // Shown at the level the logger shows before the application sets
        // one: the service's folders are prepared that early.
        if (auto aside = platform::FileManager::setAsideEntry(sdk.fd, name, platform::FileManager::kNotOursSuffix)) {
            BCLogAssert(kLogTag,
                        "%@ in the SDK folder is not a folder of ours (a link or another file); it is set aside "
                        "as %@ and a private folder is made in its place.",
                        name, *aside);
            continue;
        }
        const int code = errno;
        BCLogAssert(kLogTag, "%@ in the SDK folder is not a folder of ours and couldn't be set aside: errno %d", name,
                    code);
        errno = code;
        return -1;
    }
    const int code = errno;
    BCLogError(kLogTag, "Couldn't open the folder %@: errno %d", name, code);
    errno = code;
    return -1;
}

void BCCrashesUtil::tightenDirectory(int directoryFd) {
    const int listFd = ::dup(directoryFd);
    DIR *dir = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
    if (!dir) {
        if (listFd >= 0) ::close(listFd);
        return;
    }
    std::vector<std::string> takenBack;
    while (struct dirent *entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        // What was set aside stays as it is: never set aside again, nor
        // changed (what was not ours may still have other names).
        if (platform::FileManager::isSetAsideName(name)) continue;
        struct stat st {};
        if (::fstatat(directoryFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISLNK(st.st_mode)) continue;
        if (S_ISREG(st.st_mode) && st.st_nlink > 1) {
            // Another name of the same file lies outside our folder: our
            // name gets a copy of its own; one that cannot be copied is set
            // aside.
            const auto copied =
                platform::FileManager::takeBackHardLinkedEntry(directoryFd, name, BCUtility::kMaxTakenBackFileSize);
            if (copied == platform::FileManager::TakeBack::TakenBack) {
                takenBack.push_back(name);
            } else if (copied == platform::FileManager::TakeBack::Failed) {
                const int notCopied = errno;
                if (auto aside = platform::FileManager::setAsideEntry(directoryFd, name,
                                                                      platform::FileManager::kNotOursSuffix)) {
                    BCLogAssert(kLogTag,
                                "%@ has other hard links and couldn't be copied (errno %d), so it is not ours "
                                "alone; it is set aside as %@, unchanged.",
                                name, notCopied, *aside);
                } else {
                    const int code = errno;
                    BCLogAssert(kLogTag, "%@ has other hard links and couldn't be set aside: errno %d", name, code);
                }
            }
            continue;
        }
        narrow(directoryFd, name.c_str(), st, S_ISDIR(st.st_mode) ? 0700 : 0600);
    }
    ::closedir(dir);
    if (!takenBack.empty()) {
        std::sort(takenBack.begin(), takenBack.end());
        BCLogAssert(kLogTag,
                    "%tu file(s) had other hard links (%@), so they were someone else's files too; each is now a "
                    "private copy of its own under its name, holding what it held, and the other names keep their "
                    "files, untouched.",
                    takenBack.size(), platform::text::listed(takenBack, 3));
    }
}

std::optional<std::string> BCCrashesUtil::setAside(const std::string &pathComponent, const std::string &suffix) {
    auto parts = split(pathComponent);
    Descriptor dir(parts ? openDirectory(parts->first, false) : -1);
    if (dir.fd < 0) {
        if (!parts) errno = EINVAL;
        return std::nullopt;
    }
    return platform::FileManager::setAsideEntry(dir.fd, parts->second, suffix);
}

std::optional<std::vector<platform::FileManager::DirectoryEntry>> BCCrashesUtil::contentsOfDirectory(
    const std::string &name) {
    Descriptor fd(openDirectory(name, false));
    const int listFd = fd.fd >= 0 ? ::dup(fd.fd) : -1;
    DIR *dir = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
    if (!dir) {
        if (listFd >= 0) ::close(listFd);
        return std::nullopt;
    }
    const auto base = BCUtility::beaconDirectoryURL() / name;
    std::vector<platform::FileManager::DirectoryEntry> entries;
    while (struct dirent *d = ::readdir(dir)) {
        platform::FileManager::DirectoryEntry entry;
        entry.name = d->d_name;
        if (entry.name == "." || entry.name == "..") continue;
        entry.url = base / entry.name;
        struct stat st {};
        if (::fstatat(fd.fd, d->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
            entry.isRegularFile = S_ISREG(st.st_mode);
            entry.isDirectory = S_ISDIR(st.st_mode);
            if (entry.isRegularFile) entry.size = static_cast<uint64_t>(st.st_size);
        }
        entries.push_back(std::move(entry));
    }
    ::closedir(dir);
    std::sort(entries.begin(), entries.end(), [](const auto &a, const auto &b) { return a.name < b.name; });
    return entries;
}

void BCCrashesUtil::removeAbandonedTemporaryFiles(const std::string &name) {
    Descriptor fd(openDirectory(name, false));
    if (fd.fd < 0) return;
    platform::FileManager::removeAbandonedTemporaryFiles(
        fd.fd, isTemporaryFileName, platform::FileManager::isAbandonedTemporaryFile, [&](const std::string &removed) {
            BCLogWarning(kLogTag, "Removed %@/%@, left by an interrupted write.", name, removed);
        });
}

bool BCCrashesUtil::isTemporaryFileName(const std::string &name) {
    return platform::FileManager::temporaryFileWriter(name).has_value();
}

std::optional<std::filesystem::path> BCCrashesUtil::writePrivateFile(const std::string &pathComponent,
                                                                     const platform::Data &data) {
    auto parts = split(pathComponent);
    // The folder may have gone since it was made (the SDK folder moved, the
    // service disabled): made again, private.
    Descriptor dir(parts ? openDirectory(parts->first) : -1);
    int code = parts ? errno : EINVAL;
    if (dir.fd >= 0) {
        const std::string temporary = platform::FileManager::temporaryFileName(parts->second);
        int fd;
        do {
            fd = ::openat(dir.fd, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        } while (fd < 0 && errno == EINTR);
        bool written = fd >= 0;
        code = written ? 0 : errno;
        size_t offset = 0;
        while (written && offset < data.size()) {
            const ssize_t n = ::write(fd, data.data() + offset, data.size() - offset);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                code = errno;
                written = false;
                break;
            }
            offset += static_cast<size_t>(n);
        }
        // Whatever the umask took, and flushed before it takes the name.
        if (written && (::fchmod(fd, 0600) != 0 || ::fsync(fd) != 0)) {
            code = errno;
            written = false;
        }
        if (fd >= 0 && ::close(fd) != 0 && written) {
            code = errno;
            written = false;
        }
        if (written && ::renameat(dir.fd, temporary.c_str(), dir.fd, parts->second.c_str()) == 0) {
            ::fsync(dir.fd);
            return BCUtility::fullURLForPathComponent(pathComponent);
        }
        if (written) code = errno;
        if (fd >= 0) ::unlinkat(dir.fd, temporary.c_str(), 0);
    }
    BCLogError(kLogTag, "Couldn't write the file %@: errno %d", pathComponent, code);
    return std::nullopt;
}

bool BCCrashesUtil::fileExists(const std::string &pathComponent) {
    auto parts = split(pathComponent);
    Descriptor dir(parts ? openDirectory(parts->first, false) : -1);
    struct stat st {};
    return dir.fd >= 0 && ::fstatat(dir.fd, parts->second.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

bool BCCrashesUtil::deleteFile(const std::string &pathComponent) {
    auto parts = split(pathComponent);
    Descriptor dir(parts ? openDirectory(parts->first, false) : -1);
    return dir.fd >= 0 && ::unlinkat(dir.fd, parts->second.c_str(), 0) == 0;
}

std::optional<platform::Data> BCCrashesUtil::readRegularFile(const std::string &pathComponent, size_t maxSize,
                                                             platform::ErrorPtr *error, platform::Date *modified) {
    auto parts = split(pathComponent);
    Descriptor dir(parts ? openDirectory(parts->first, false) : -1);
    if (dir.fd < 0) {
        if (error) *error = platform::Error::posix(parts ? errno : EINVAL, pathComponent);
        return std::nullopt;
    }
    return readRegularFile(dir.fd, parts->second, maxSize, error, modified);
}

std::optional<platform::Data> BCCrashesUtil::readRegularFile(int directoryFd, const std::string &name, size_t maxSize,
                                                             platform::ErrorPtr *error, platform::Date *modified) {
    int fd;
    do {
        fd = ::openat(directoryFd, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        if (error) *error = platform::Error::posix(errno, name);
        return std::nullopt;
    }
    return readOpened(fd, name, maxSize, error, modified);
}
