#include "BCCrashesUtil.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "BCLogger.h"
#include "BCUtility.h"
#include "platform/dispatch/Once.h"
#include "platform/foundation/FileManager.h"

namespace {

constexpr const char *kLogTag = "BeaconCrashes";
constexpr const char *kCrashesDirectory = "crashes";
constexpr const char *kLogBufferDirectory = "crasheslogbuffer";
constexpr const char *kWrapperExceptionsDirectory = "crasheswrapperexceptions";

// Never destroyed: worker threads may still use them while the process exits.
platform::dispatch::Once &crashesOnce() {
    static auto *once = new platform::dispatch::Once;
    return *once;
}
platform::dispatch::Once &logBufferOnce() {
    static auto *once = new platform::dispatch::Once;
    return *once;
}
platform::dispatch::Once &wrapperExceptionsOnce() {
    static auto *once = new platform::dispatch::Once;
    return *once;
}

std::string directory(platform::dispatch::Once &once, const char *name) {
    once.call([name] {
        if (auto url = BCUtility::createDirectoryForPathComponent(std::string(name))) {
            BCCrashesUtil::tightenDirectory(*url);
        }
    });
    return name;
}

// Removes the group and other bits of what `path` names (not of a link).
void narrow(const std::filesystem::path &path, mode_t keep) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || S_ISLNK(st.st_mode)) return;
    const mode_t current = st.st_mode & 07777;
    if ((current & ~keep) == 0) return;
    if (::chmod(path.c_str(), current & keep) != 0) {
        BCLogError(kLogTag, "Couldn't make %@ private: errno %d", path.string(), errno);
    }
}

}  // namespace

std::string BCCrashesUtil::crashesDir() { return directory(crashesOnce(), kCrashesDirectory); }

std::string BCCrashesUtil::logBufferDir() { return directory(logBufferOnce(), kLogBufferDirectory); }

std::string BCCrashesUtil::wrapperExceptionsDir() {
    return directory(wrapperExceptionsOnce(), kWrapperExceptionsDirectory);
}

void BCCrashesUtil::resetDirectory() {
    crashesOnce().reset();
    logBufferOnce().reset();
    wrapperExceptionsOnce().reset();
}

void BCCrashesUtil::tightenDirectory(const std::filesystem::path &directory) {
    narrow(directory, 0700);
    std::error_code error;
    for (std::filesystem::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
        narrow(it->path(), it->is_directory(error) && !it->is_symlink(error) ? 0700 : 0600);
    }
}

std::optional<std::filesystem::path> BCCrashesUtil::writePrivateFile(const std::string &pathComponent,
                                                                     const platform::Data &data) {
    auto url = BCUtility::fullURLForPathComponent(pathComponent);
    // The directory may have gone since it was made (the SDK directory
    // moved, the service disabled): made again, private.
    if (url && ::access(url->parent_path().c_str(), F_OK) != 0 && BCUtility::createDirectoryAtURL(url->parent_path())) {
        tightenDirectory(url->parent_path());
    }
    platform::ErrorPtr error;
    if (url && platform::FileManager::defaultManager()->writeData(data, *url, true, &error, 0600)) return url;
    BCLogError(kLogTag, "Couldn't write the file %@: %@", pathComponent,
               error ? std::optional<std::string>(error->localizedDescription()) : std::nullopt);
    return std::nullopt;
}

std::optional<platform::Data> BCCrashesUtil::readRegularFile(const std::filesystem::path &path, size_t maxSize,
                                                             platform::ErrorPtr *error) {
    auto fail = [&](int code) -> std::optional<platform::Data> {
        if (error) *error = platform::Error::posix(code, path.string());
        return std::nullopt;
    };
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return fail(errno);
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int code = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        ::close(fd);
        return fail(code);
    }
    if (static_cast<uint64_t>(st.st_size) > maxSize) {
        ::close(fd);
        return fail(EFBIG);
    }
    // One byte more than allowed, to notice a file that grew since fstat.
    platform::Data data(static_cast<size_t>(st.st_size) + 1);
    size_t length = 0;
    while (length < data.size()) {
        const ssize_t n = ::read(fd, data.data() + length, data.size() - length);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int code = errno;
            ::close(fd);
            return fail(code);
        }
        if (n == 0) break;
        length += static_cast<size_t>(n);
    }
    ::close(fd);
    if (length > static_cast<size_t>(st.st_size)) return fail(EFBIG);
    data.resize(length);
    return data;
}
