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
// How much earlier than the crashed process's start, or later than its
// crash, a wrapper exception may seem to be saved and still be its own: the
// report keeps both times in whole seconds (the start counted from the boot
// time, itself whole seconds, both rounded down), and a file's time comes
// from the file system's coarse clock.
constexpr double kTimeAllowance = 1.0;

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

namespace {

// The decoded file and, with `saved`, when it was written (its modification
// time, read from the descriptor the bytes came through).
std::shared_ptr<BCWrapperException> loadFile(const std::string &baseFilename, platform::Date *saved) {
    auto component = pathComponent(baseFilename);
    if (!component || !BCCrashesUtil::fileExists(*component)) return nullptr;
    // Only a regular file of a size we could have written is read (opened
    // without following a link and without blocking); anything else goes
    // as an undecodable one does.
    platform::ErrorPtr error;
    auto data = BCCrashesUtil::readRegularFile(*component, kMaxWrapperExceptionFileSize, &error, saved);
    if (!data) {
        BCLogError(kLogTag, "Could not read the wrapper exception stored on disk with file name %@: %@; it is deleted.",
                   baseFilename, error ? std::optional<std::string>(error->localizedDescription()) : std::nullopt);
        BCWrapperExceptionManager::deleteWrapperExceptionWithBaseFilename(baseFilename);
        return nullptr;
    }
    BCCrashesModelUtil::registerArchivableClasses();
    auto exception = BCUtility::unarchiveKeyedData(*data).objectAs<BCWrapperException>();
    if (!exception) {
        BCLogError(kLogTag, "Could not read exception data stored on disk with file name %@", baseFilename);
        BCWrapperExceptionManager::deleteWrapperExceptionWithBaseFilename(baseFilename);
    }
    return exception;
}

}  // namespace

std::shared_ptr<BCWrapperException> BCWrapperExceptionManager::loadWrapperExceptionWithBaseFilename(
    const std::string &baseFilename) {
    return loadFile(baseFilename, nullptr);
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
    if (auto aside = BCCrashesUtil::setAside(*component, platform::FileManager::kNotOursSuffix)) {
        BCLogAssert(kLogTag, "The wrapper exception %@ is a folder, not ours; it is set aside as %@.", baseFilename,
                    *aside);
    }
}

void BCWrapperExceptionManager::deleteAllWrapperExceptions() {
    BCUtility::deleteItemForPathComponent(BCCrashesUtil::wrapperExceptionsDir());
}

void BCWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport(
    const std::vector<std::shared_ptr<BCErrorReport>> &reports) {
    platform::Date saved;
    auto exception = loadFile(kLastSavedBaseFilename, &saved);
    if (!exception) return;
    deleteWrapperExceptionWithBaseFilename(kLastSavedBaseFilename);
    if (!exception->processId) {
        BCLogWarning(kLogTag,
                     "The wrapper exception saved at %@ has no process id: it is tied to no crash report and "
                     "is deleted.",
                     saved);
        return;
    }
    // Process ids repeat (a PID namespace gives the application the same
    // small id at every launch): of the reports of that id, only a process
    // running when the exception was saved can have saved it, that is one
    // started no later than the save and crashed no earlier. Of several, the
    // one started last; a report without a start time counts as started long
    // before, one without a crash time as crashed long after.
    std::shared_ptr<BCErrorReport> match, startedLater, crashedEarlier;
    const auto startOf = [](const BCErrorReport &report) {
        return report.appStartTime().value_or(platform::Date::distantPast());
    };
    const auto crashOf = [](const BCErrorReport &report) {
        return report.appErrorTime().value_or(platform::Date::distantFuture());
    };
    for (const auto &report : reports) {
        if (!report || !report->incidentIdentifier() || report->appProcessIdentifier() != *exception->processId) {
            continue;
        }
        if (startOf(*report).dateByAddingTimeInterval(-kTimeAllowance) > saved) {
            startedLater = report;
            continue;
        }
        if (crashOf(*report).dateByAddingTimeInterval(kTimeAllowance) < saved) {
            crashedEarlier = report;
            continue;
        }
        if (!match || startOf(*report) > startOf(*match)) match = report;
    }
    if (!match) {
        if (crashedEarlier) {
            BCLogWarning(kLogTag,
                         "The wrapper exception saved at %@ by process %llu is newer than the crash report %@ of "
                         "that process id (crashed %@): it is not attached to it and is deleted.",
                         saved, *exception->processId, crashedEarlier->incidentIdentifier(), crashOf(*crashedEarlier));
        } else if (startedLater) {
            BCLogWarning(kLogTag,
                         "The wrapper exception saved at %@ by process %llu is older than the crash report %@ of "
                         "that process id (started %@): it is not attached to it and is deleted.",
                         saved, *exception->processId, startedLater->incidentIdentifier(), startOf(*startedLater));
        } else {
            BCLogWarning(kLogTag,
                         "The wrapper exception saved at %@ by process %llu matches no crash report; it is deleted.",
                         saved, *exception->processId);
        }
        return;
    }
    const std::string &identifier = *match->incidentIdentifier();
    {
        std::lock_guard<std::mutex> lock(cacheMutex());
        cache()[identifier] = exception;
    }
    saveWrapperException(exception, identifier);
}
