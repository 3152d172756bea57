// The SDK's private files directory and the file operations inside it.
// Everything the SDK keeps there is private to the user: folders 0700, files
// 0600, whatever the umask.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>

#include "BCLogger.h"
#include "BCUtility.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/Text.h"

namespace {

constexpr const char *kLogTag = "Beacon";
constexpr const char *kBeaconDirectoryName = "io.beacon.sdk";

// File operations of different threads never interleave. This state is
// never destroyed: detached worker threads may still use it while the
// process exits and static destructors run.
std::recursive_mutex &fileLock() {
    static auto *m = new std::recursive_mutex;
    return *m;
}

struct DirectoryState {
    std::mutex mutex;
    std::optional<BCUtility::URL> override;
    std::once_flag once;
    BCUtility::URL computed;
};
DirectoryState &directoryState() {
    static auto *state = new DirectoryState;
    return *state;
}

const platform::FileManager &fileManager() { return *platform::FileManager::defaultManager(); }

std::string describe(const platform::ErrorPtr &error) { return error ? error->localizedDescription() : "(null)"; }

BCUtility::URL computedDirectory() {
    auto bundleId = platform::Bundle::mainBundle()->bundleIdentifier();
    auto base = platform::FileManager::URLForDirectory(platform::FileManager::SearchPathDirectory::ApplicationSupport);
    // The bundle identifier is one path component; a missing one leaves it out.
    if (bundleId && !bundleId->empty() && bundleId->find('/') == std::string::npos && *bundleId != "..")
        base /= *bundleId;
    return base / kBeaconDirectoryName;
}

// Creates the folder and its missing parents, each 0700 whatever the umask;
// folders that exist are left as they are.
bool createPrivateDirectories(const BCUtility::URL &url, platform::ErrorPtr *error) {
    if (url.empty()) {
        *error = platform::Error::posix(ENOENT, url.string());
        return false;
    }
    std::vector<BCUtility::URL> missing;
    for (BCUtility::URL current = url;;) {
        struct stat st;
        if (::stat(current.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode)) {
                *error = platform::Error::posix(ENOTDIR, current.string());
                return false;
            }
            break;
        }
        if (errno != ENOENT) {
            *error = platform::Error::posix(errno, current.string());
            return false;
        }
        missing.push_back(current);
        BCUtility::URL parent = current.parent_path();
        if (parent.empty() || parent == current) break;
        current = parent;
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (::mkdir(it->c_str(), 0700) != 0) {
            int errnum = errno;
            struct stat st;
            // Made meanwhile by another thread or process.
            if (errnum == EEXIST && ::stat(it->c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
            *error = platform::Error::posix(errnum == EEXIST ? ENOTDIR : errnum, it->string());
            return false;
        }
        // The umask may have taken some of the owner's bits.
        ::fchmodat(AT_FDCWD, it->c_str(), 0700, AT_SYMLINK_NOFOLLOW);
    }
    return true;
}

// Takes the group's and others' permissions off a regular file, through a
// descriptor opened without following a link; a file its owner cannot read
// is changed by name, by a call that refuses links. A file with other hard
// links is someone else's too and is never chmodded (it is taken back first).
bool makeFilePrivate(int dirFd, const char *name) {
    struct stat st;
    int fd = ::openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0) {
        bool done =
            ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 && ::fchmod(fd, st.st_mode & 0700) == 0;
        ::close(fd);
        return done;
    }
    return errno == EACCES && ::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
           st.st_nlink == 1 && ::fchmodat(dirFd, name, st.st_mode & 0700, AT_SYMLINK_NOFOLLOW) == 0;
}

// What one pass over the folder found, by path below the folder: files with
// other hard links, and temporary files that an interrupted write left.
struct Found {
    std::vector<std::string> takenBack;
    std::vector<std::string> failed;
    int failure = 0;
    std::vector<std::string> abandoned;
};

// Takes the group's and others' permissions off the folder's entries, and
// off the entries of its subfolders down to a bounded depth, taking back
// files with other hard links instead and removing temporary files whose
// writer is gone. Symbolic links are never followed:
// folders and files are opened with O_NOFOLLOW and changed through their
// descriptor; other entries are left alone, and so is what was set aside.
// Answers how many changed.
size_t makeEntriesPrivate(int dirFd, int depth, const std::string &prefix, Found &found) {
    int listFd = ::dup(dirFd);
    DIR *dir = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
    if (!dir) {
        if (listFd >= 0) ::close(listFd);
        return 0;
    }
    std::vector<std::string> folders;
    size_t changed = 0;
    while (struct dirent *entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        struct stat st;
        if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            folders.push_back(name);
        } else if (S_ISREG(st.st_mode) && platform::FileManager::isAbandonedTemporaryFile(name, st)) {
            // An interrupted write's temporary file: it holds nothing read.
            if (::unlinkat(dirFd, name.c_str(), 0) == 0) found.abandoned.push_back(prefix + name);
        } else if (S_ISREG(st.st_mode) && st.st_nlink > 1) {
            if (platform::FileManager::isSetAsideName(name)) continue;
            const auto result =
                platform::FileManager::takeBackHardLinkedEntry(dirFd, name, BCUtility::kMaxTakenBackFileSize);
            if (result == platform::FileManager::TakeBack::TakenBack) {
                found.takenBack.push_back(prefix + name);
            } else if (result == platform::FileManager::TakeBack::Failed) {
                found.failure = errno;
                found.failed.push_back(prefix + name);
            }
        } else if (S_ISREG(st.st_mode) && (st.st_mode & 077) != 0) {
            if (makeFilePrivate(dirFd, name.c_str())) ++changed;
        }
    }
    ::closedir(dir);
    for (const auto &name : folders) {
        int fd = ::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat st;
        if (::fstat(fd, &st) == 0 && (st.st_mode & 077) != 0 && ::fchmod(fd, st.st_mode & 0700) == 0) ++changed;
        if (depth > 0) changed += makeEntriesPrivate(fd, depth - 1, prefix + name + "/", found);
        ::close(fd);
    }
    return changed;
}

}  // namespace

void BCUtility::makeDirectoryPrivate(const URL &url) {
    std::lock_guard<std::recursive_mutex> lock(fileLock());
    int fd = ::open(url.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return;
    size_t changed = 0;
    struct stat st;
    if (::fstat(fd, &st) == 0 && (st.st_mode & 077) != 0 && ::fchmod(fd, st.st_mode & 0700) == 0) ++changed;
    // Deep enough for every folder the SDK and its services make.
    Found found;
    changed += makeEntriesPrivate(fd, 8, "", found);
    ::close(fd);
    if (changed > 0) BCLogInfo(kLogTag, "Made %tu item(s) in %@ private to the user.", changed, url.string());
    // One line for the folder, however many files: a copy of the folder made
    // with hard links links every file in it.
    if (!found.takenBack.empty()) {
        std::sort(found.takenBack.begin(), found.takenBack.end());
        BCLogAssert(kLogTag,
                    "%tu file(s) in %@ had other hard links (%@), so they were someone else's files too; each is "
                    "now a private copy of its own under its name, holding what it held, and the other names keep "
                    "their files, untouched.",
                    found.takenBack.size(), url.string(), platform::text::listed(found.takenBack, 3));
    }
    if (!found.abandoned.empty()) {
        std::sort(found.abandoned.begin(), found.abandoned.end());
        BCLogAssert(kLogTag, "Removed %tu temporary file(s) in %@ left by interrupted writes (%@).",
                    found.abandoned.size(), url.string(), platform::text::listed(found.abandoned, 3));
    }
    if (!found.failed.empty()) {
        BCLogAssert(kLogTag,
                    "%tu file(s) in %@ have other hard links and couldn't be copied (%@: errno %d); they are not "
                    "written.",
                    found.failed.size(), url.string(), platform::text::listed(found.failed, 3), found.failure);
    }
}

BCUtility::URL BCUtility::beaconDirectoryURL() {
    std::optional<URL> overridden;
    {
        std::lock_guard<std::mutex> lock(directoryState().mutex);
        overridden = directoryState().override;
    }
    if (overridden) return *overridden;
    DirectoryState &state = directoryState();
    std::call_once(state.once, [&state] {
        state.computed = computedDirectory();
        createDirectoryAtURL(state.computed);
        // Earlier runs, or older versions, may have left items others can read.
        makeDirectoryPrivate(state.computed);
    });
    return state.computed;
}

void BCUtility::setBeaconDirectoryURLForTesting(const URL &url) {
    {
        std::lock_guard<std::mutex> lock(directoryState().mutex);
        if (url.empty())
            directoryState().override.reset();
        else
            directoryState().override = url;
    }
    // Outside the state's lock: the file lock is taken inside, and file
    // operations ask for the directory while holding the file lock.
    if (!url.empty()) {
        createDirectoryAtURL(url);
        makeDirectoryPrivate(url);
    }
}

std::optional<BCUtility::URL> BCUtility::fullURLForPathComponent(const std::optional<std::string> &pathComponent) {
    if (!pathComponent) return std::nullopt;
    // The component is text below the directory: leading slashes don't make
    // it absolute, and no ".." may climb out of the directory.
    URL url = beaconDirectoryURL();
    size_t start = 0;
    const std::string &text = *pathComponent;
    while (start <= text.size()) {
        size_t end = text.find('/', start);
        if (end == std::string::npos) end = text.size();
        std::string segment = text.substr(start, end - start);
        if (segment == "..") return std::nullopt;
        if (!segment.empty() && segment != ".") url /= segment;
        start = end + 1;
    }
    return url;
}

bool BCUtility::fileExistsForPathComponent(const std::optional<std::string> &pathComponent) {
    auto url = fullURLForPathComponent(pathComponent);
    return url && fileManager().fileExists(*url);
}

std::optional<BCUtility::URL> BCUtility::createFileAtPathComponent(const std::optional<std::string> &pathComponent,
                                                                   const std::optional<platform::Data> &data,
                                                                   bool atomically, bool forceOverwrite) {
    std::lock_guard<std::recursive_mutex> lock(fileLock());
    if (!pathComponent) return std::nullopt;
    auto url = fullURLForPathComponent(pathComponent);
    if (!url) {
        BCLogError(kLogTag, "Couldn't create new file at path %@", *pathComponent);
        return std::nullopt;
    }
    const bool existed = fileManager().fileExists(*url);
    if (!forceOverwrite && existed) return url;
    createDirectoryAtURL(url->parent_path());
    platform::ErrorPtr error;
    if (fileManager().writeData(data ? *data : platform::Data{}, *url, atomically, &error, 0600)) {
        // A new file's mode passed through the umask.
        if (!existed) ::fchmodat(AT_FDCWD, url->c_str(), 0600, AT_SYMLINK_NOFOLLOW);
        return url;
    }
    BCLogError(kLogTag, "Couldn't create new file at path %@", url->string());
    return std::nullopt;
}

std::optional<BCUtility::URL> BCUtility::createDirectoryForPathComponent(
    const std::optional<std::string> &pathComponent) {
    std::lock_guard<std::recursive_mutex> lock(fileLock());
    if (!pathComponent) return std::nullopt;
    auto url = fullURLForPathComponent(pathComponent);
    if (!url || !createDirectoryAtURL(*url)) return std::nullopt;
    return url;
}

std::optional<platform::Data> BCUtility::loadDataForPathComponent(const std::optional<std::string> &pathComponent) {
    std::lock_guard<std::recursive_mutex> lock(fileLock());
    if (!pathComponent) return std::nullopt;
    auto url = fullURLForPathComponent(pathComponent);
    if (!url) return std::nullopt;
    return fileManager().contentsAtPath(*url);
}

std::optional<std::vector<platform::FileManager::DirectoryEntry>> BCUtility::contentsOfDirectory(
    const std::optional<std::string> &pathComponent) {
    std::lock_guard<std::recursive_mutex> lock(fileLock());
    if (!pathComponent || pathComponent->empty()) return std::nullopt;
    auto url = fullURLForPathComponent(pathComponent);
    platform::ErrorPtr error;
    std::optional<std::vector<platform::FileManager::DirectoryEntry>> entries;
    if (url) entries = fileManager().contentsOfDirectory(*url, &error);
    if (!entries) {
        BCLogDebug(kLogTag, "Couldn't get files in the directory \"%@\": %@", *pathComponent, describe(error));
        return std::nullopt;
    }
    return entries;
}

bool BCUtility::deleteItemForPathComponent(const std::optional<std::string> &pathComponent) {
    std::lock_guard<std::recursive_mutex> lock(fileLock());
    if (!pathComponent) return false;
    auto url = fullURLForPathComponent(pathComponent);
    if (!url) {
        BCLogDebug(kLogTag, "Couldn't remove item at %@: %@", *pathComponent, "(null)");
        return false;
    }
    return deleteFileAtURL(url);
}

bool BCUtility::deleteFileAtURL(const std::optional<URL> &url) {
    std::lock_guard<std::recursive_mutex> lock(fileLock());
    if (!url) return false;
    platform::ErrorPtr error;
    if (fileManager().removeItem(*url, &error)) return true;
    BCLogDebug(kLogTag, "Couldn't remove item at %@: %@", url->string(), describe(error));
    return false;
}

bool BCUtility::createDirectoryAtURL(const URL &url) {
    platform::ErrorPtr error;
    if (!createPrivateDirectories(url, &error)) {
        BCLogError(kLogTag, "Couldn't create directory at %@: %@", url.string(), describe(error));
        return false;
    }
    disableBackupForDirectoryURL(url);
    return true;
}

bool BCUtility::disableBackupForDirectoryURL(const std::optional<URL> &url) {
    platform::ErrorPtr error;
    if (!url || !fileManager().setExcludedFromBackup(*url, true, &error)) {
        BCLogError(kLogTag, "Error excluding %@ from iCloud backup %@",
                   url ? std::optional<std::string>(url->string()) : std::nullopt, describe(error));
        return false;
    }
    return true;
}
