#include "BCWrapperExceptionManager.h"

#include <cerrno>
#include <map>
#include <mutex>
#include <optional>

#include "BCCrashesModelUtil.h"
#include "BCCrashesUtil.h"
#include "BCErrorReport.h"
#include "BCLogger.h"
#include "BCUtility.h"
#include "BCWrapperException.h"
#include "platform/foundation/Format.h"

namespace {

constexpr const char *kLogTag = "BeaconCrashes";
constexpr const char *kLastSavedBaseFilename = "last_saved_wrapper_exception";
// Far beyond any wrapper exception a wrapper SDK saves (a few kilobytes): a
// larger file is not read, and a larger exception not written.
constexpr size_t kMaxWrapperExceptionFileSize = 16 * 1024 * 1024;

// Never destroyed: the public methods may be called from any thread, also
// while the process exits.
std::mutex &cacheMutex() {
    static auto *m = new std::mutex;
    return *m;
}
std::map<std::string, std::shared_ptr<BCWrapperException>> &cache() {
    static auto *c = new std::map<std::string, std::shared_ptr<BCWrapperException>>;
    return *c;
}

// The file's path component, or nothing for a name that is not one plain
// file name inside the directory.
std::optional<std::string> pathComponent(const std::string &baseFilename) {
    if (baseFilename.empty() || baseFilename == "." || baseFilename == ".." ||
        baseFilename.find('/') != std::string::npos) {
        BCLogError(kLogTag, "Invalid wrapper exception file name: %@", baseFilename);
        return std::nullopt;
    }
    return platform::format("%@/%@", BCCrashesUtil::wrapperExceptionsDir(), baseFilename);
}

}  // namespace

void BCWrapperExceptionManager::saveWrapperException(const std::shared_ptr<BCWrapperException> &wrapperException) {
    saveWrapperException(wrapperException, kLastSavedBaseFilename);
}

void BCWrapperExceptionManager::saveWrapperException(const std::shared_ptr<BCWrapperException> &wrapperException,
                                                     const std::string &baseFilename) {
    auto component = pathComponent(baseFilename);
    if (!component || !wrapperException) return;
    auto archive = BCUtility::archiveKeyedData(wrapperException);
    if (!archive) {
        BCLogError(kLogTag, "Couldn't archive the wrapper exception %@", baseFilename);
        return;
    }
    if (archive->size() > kMaxWrapperExceptionFileSize) {
        BCLogError(kLogTag, "The wrapper exception %@ is too large to be saved (%tu bytes).", baseFilename,
                   archive->size());
        return;
    }
    BCCrashesUtil::writePrivateFile(*component, *archive);
}

std::shared_ptr<BCWrapperException> BCWrapperExceptionManager::loadWrapperExceptionWithBaseFilename(
    const std::string &baseFilename) {
    auto component = pathComponent(baseFilename);
    if (!component || !BCCrashesUtil::fileExists(*component)) return nullptr;
    // Only a regular file of a size we could have written is read (opened
    // without following a link and without blocking); anything else goes
    // as an undecodable one does.
    platform::ErrorPtr error;
    auto data = BCCrashesUtil::readRegularFile(*component, kMaxWrapperExceptionFileSize, &error);
    if (!data) {
        BCLogError(kLogTag, "Could not read the wrapper exception stored on disk with file name %@: %@; it is deleted.",
                   baseFilename, error ? std::optional<std::string>(error->localizedDescription()) : std::nullopt);
        deleteWrapperExceptionWithBaseFilename(baseFilename);
        return nullptr;
    }
    BCCrashesModelUtil::registerArchivableClasses();
    auto exception = BCUtility::unarchiveKeyedData(*data).objectAs<BCWrapperException>();
    if (!exception) {
        BCLogError(kLogTag, "Could not read exception data stored on disk with file name %@", baseFilename);
        deleteWrapperExceptionWithBaseFilename(baseFilename);
    }
    return exception;
}

std::shared_ptr<BCWrapperException> BCWrapperExceptionManager::loadWrapperExceptionWithUUIDString(
    const std::string &uuidString) {
    {
        std::lock_guard<std::mutex> lock(cacheMutex());
        auto it = cache().find(uuidString);
        if (it != cache().end()) return it->second;
    }
    return loadWrapperExceptionWithBaseFilename(uuidString);
}

void BCWrapperExceptionManager::deleteWrapperExceptionWithUUIDString(const std::string &uuidString) {
    deleteWrapperExceptionWithBaseFilename(uuidString);
}

void BCWrapperExceptionManager::deleteWrapperExceptionWithBaseFilename(const std::string &baseFilename) {
    auto component = pathComponent(baseFilename);
    if (!component || BCCrashesUtil::deleteFile(*component) || errno != EISDIR) return;
    // A folder in the file's place is not ours: moved out of the way.
    if (auto aside = BCCrashesUtil::setAside(*component, BCCrashesUtil::kNotOursSuffix)) {
        BCLogAssert(kLogTag, "The wrapper exception %@ is a folder, not ours; it is set aside as %@.", baseFilename,
                    *aside);
    }
}

void BCWrapperExceptionManager::deleteAllWrapperExceptions() {
    BCUtility::deleteItemForPathComponent(BCCrashesUtil::wrapperExceptionsDir());
}

void BCWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport(
    const std::vector<std::shared_ptr<BCErrorReport>> &reports) {
    auto saved = loadWrapperExceptionWithBaseFilename(kLastSavedBaseFilename);
    if (!saved) return;
    deleteWrapperExceptionWithBaseFilename(kLastSavedBaseFilename);
    if (!saved->processId) return;
    for (const auto &report : reports) {
        if (!report || !report->incidentIdentifier() || report->appProcessIdentifier() != *saved->processId) {
            continue;
        }
        const std::string &identifier = *report->incidentIdentifier();
        {
            std::lock_guard<std::mutex> lock(cacheMutex());
            cache()[identifier] = saved;
        }
        saveWrapperException(saved, identifier);
        return;
    }
}
