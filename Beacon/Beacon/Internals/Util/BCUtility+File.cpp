// The SDK's private files directory and the file operations inside it.
#include <mutex>

#include "BCLogger.h"
#include "BCUtility.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Format.h"

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

}  // namespace

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
    });
    return state.computed;
}

void BCUtility::setBeaconDirectoryURLForTesting(const URL &url) {
    std::lock_guard<std::mutex> lock(directoryState().mutex);
    if (url.empty()) directoryState().override.reset();
    else directoryState().override = url;
    if (!url.empty()) createDirectoryAtURL(url);
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
    if (!forceOverwrite && fileManager().fileExists(*url)) return url;
    createDirectoryAtURL(url->parent_path());
    platform::ErrorPtr error;
    if (fileManager().writeData(data ? *data : platform::Data{}, *url, atomically, &error)) return url;
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
    if (!fileManager().createDirectory(url, true, &error)) {
        BCLogError(kLogTag, "Couldn't create directory at %@: %@", url.string(), describe(error));
        return false;
    }
    disableBackupForDirectoryURL(url);
    return true;
}

bool BCUtility::disableBackupForDirectoryURL(const std::optional<URL> &url) {
    platform::ErrorPtr error;
    if (!url || !fileManager().setExcludedFromBackup(*url, true, &error)) {
        BCLogError(kLogTag, "Error excluding %@ from iCloud backup %@", url ? std::optional<std::string>(url->string()) : std::nullopt,
                   describe(error));
        return false;
    }
    return true;
}
