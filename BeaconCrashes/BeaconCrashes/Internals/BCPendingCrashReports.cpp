#include "BCPendingCrashReports.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string_view>

#include "BBCrashReport.h"
#include "BBCrashReporter.h"
#include "BCAppleErrorLog.h"
#include "BCBeaconUserDefaults.h"
#include "BCCrashesLogTag.h"
#include "BCCrashesUtil.h"
#include "BCErrorLogFormatter.h"
#include "BCErrorReport.h"
#include "BCFlags.h"
#include "BCLogger.h"
#include "BCSessionContext.h"
#include "BCUserIdContext.h"
#include "BCUserConfirmation.h"
#include "BCUtility.h"
#include "BCWrapperExceptionManager.h"
#include "bbcrash_crash_handler.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/Format.h"
#include "platform/security/Sha256.h"

namespace {

constexpr const char *kUserConfirmationKey = "CrashesUserConfirmation";
// Names probed past the current second before a crash file is given up.
constexpr int kMaxNameAttempts = 1000;
// The most an analyzer marker holds: the digest of the report it guards.
constexpr size_t kMarkerSize = 64;

std::optional<std::string> describe(const platform::ErrorPtr &error) {
    return error ? std::optional<std::string>(error->localizedDescription()) : std::nullopt;
}

}  // namespace

BCPendingCrashReports::BCPendingCrashReports(const std::shared_ptr<BCPendingCrashReportsDelegate> &delegate,
                                             std::string crashesDirectory, std::string analyzerFilePathComponent,
                                             std::shared_ptr<platform::dispatch::Semaphore> processingGate)
    : delegate_(delegate), crashesDirectory_(std::move(crashesDirectory)),
      analyzerFilePathComponent_(std::move(analyzerFilePathComponent)), processingGate_(std::move(processingGate)) {}

std::string BCPendingCrashReports::componentFor(const Path &file) const {
    return platform::format("%@/%@", crashesDirectory_, file.filename().string());
}

// --- At start. ---

void BCPendingCrashReports::handleLatestCrashReport() {
    auto delegate = delegate_.lock();
    if (!delegate) return;
    auto engine = delegate->bbCrashReporter();
    bool purge = true;
    platform::ErrorPtr error;
    // The engine refuses a file that is not regular or is larger than its
    // writer ever writes, before reading it.
    auto data = engine ? engine->loadPendingCrashReportData(&error) : std::nullopt;
    // The marker names the report it guards: one left by a launch that
    // died while parsing this very report purges it unparsed. A launch may
    // also die of a crash on another thread meanwhile: its own report then
    // replaced the one named, and is handled.
    const std::string guarded = data ? platform::security::Sha256::hexDigest(*data).value_or("") : "";
    const auto marker = analyzerMarker();
    if (marker && (marker->empty() || *marker == guarded)) {
        BCLogError(kBCCrashesLogTag, "Error on loading the crash report, it will be purged.");
    } else if (engine) {
        if (marker) BCLogDebug(kBCCrashesLogTag, "The crash analyzer marker names an earlier report; it is replaced.");
        createAnalyzerFile(guarded);
        std::shared_ptr<BBCrashReport> report;
        if (!data) {
            BCLogError(kBCCrashesLogTag, "Couldn't load crash report: %@", describe(error));
        } else if (report = BBCrashReport::make(*data, &error); !report) {
            BCLogWarning(kBCCrashesLogTag, "Couldn't parse crash report: %@", describe(error));
        } else if (auto file = storeCrashData(*data); !file) {
            // The engine's copy is the only one left: keep it for the next
            // launch rather than lose the crash.
            BCLogError(kBCCrashesLogTag, "Couldn't store the crash report; it is kept for the next launch.");
            purge = false;
        } else {
            auto errorReport = delegate->errorReportFromCrashReport(report);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                lastSessionCrashReport_ = errorReport;
                latest_ = Parsed{report, errorReport, *file};
            }
            BCWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport({errorReport});
        }
    }
    removeAnalyzerFile();
    if (purge && engine) engine->purgePendingCrashReport();
}

std::optional<std::string> BCPendingCrashReports::analyzerMarker() const {
    if (!BCCrashesUtil::fileExists(analyzerFilePathComponent_)) return std::nullopt;
    // A marker that can't be read (or one of a version that wrote it empty)
    // guards whatever report is pending.
    auto data = BCCrashesUtil::readRegularFile(analyzerFilePathComponent_, kMarkerSize);
    return data ? std::string(data->begin(), data->end()) : std::string();
}

std::optional<BCPendingCrashReports::Path> BCPendingCrashReports::storeCrashData(const std::vector<uint8_t> &data) {
    const double seconds = platform::Date::now().timeIntervalSinceReferenceDate();
    // Two handlings within one second would share a name: take the next
    // free one, never overwriting a stored crash.
    for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
        const std::string component =
            platform::format("%@/%@", crashesDirectory_, platform::format("%.0f", seconds + attempt));
        if (BCCrashesUtil::fileExists(component)) continue;
        return BCCrashesUtil::writePrivateFile(component, data);
    }
    return std::nullopt;
}

std::vector<BCPendingCrashReports::Path> BCPendingCrashReports::persistedCrashReports() {
    std::vector<Path> files;
    // An interrupted write's temporary file is never a report: removed once
    // its writer is gone, else left to the write under way.
    BCCrashesUtil::removeAbandonedTemporaryFiles(crashesDirectory_);
    auto entries = BCCrashesUtil::contentsOfDirectory(crashesDirectory_);
    if (!entries || entries->empty()) {
        BCLogError(kBCCrashesLogTag, "No persisted crashes found.");
        return files;
    }
    // Regular files that are not markers, metadata or set aside, whatever
    // their size: an empty one, or one larger than the engine writes, is no
    // report and is set aside when processed, like any other. Anything else
    // (a link, a FIFO, a folder) is not ours and is left alone.
    static const char *const kSkipped[] = {".DS_Store", ".analyzer", ".plist", ".data", ".meta", ".desc"};
    for (const auto &entry : *entries) {
        if (!entry.isRegularFile) {
            BCLogWarning(kBCCrashesLogTag, "%@ among the stored crashes is not a regular file; it is skipped.",
                         entry.name);
            continue;
        }
        if (BCCrashesUtil::isTemporaryFileName(entry.name)) continue;
        const bool marker = std::any_of(std::begin(kSkipped), std::end(kSkipped), [&](const char *suffix) {
            const std::string_view name(entry.name), tail(suffix);
            return name.size() >= tail.size() && name.substr(name.size() - tail.size()) == tail;
        });
        if (!marker && !platform::FileManager::isSetAsideName(entry.name)) files.push_back(entry.url);
    }
    // Names are whole seconds since 2001: shorter names first, then by text,
    // is time order, the same on every run.
    std::sort(files.begin(), files.end(), [](const Path &a, const Path &b) {
        const std::string x = a.filename().string(), y = b.filename().string();
        return x.size() != y.size() ? x.size() < y.size() : x < y;
    });
    return files;
}

void BCPendingCrashReports::setCrashFiles(std::vector<Path> crashFiles) {
    std::lock_guard<std::mutex> lock(mutex_);
    crashFiles_ = std::move(crashFiles);
}

std::vector<BCPendingCrashReports::Path> BCPendingCrashReports::crashFiles() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return crashFiles_;
}

void BCPendingCrashReports::startDelayedCrashProcessing() {
    std::weak_ptr<BCPendingCrashReports> weakSelf = weak_from_this();
    platform::dispatch::after(1.0, platform::dispatch::globalQueue(), [weakSelf] {
        auto self = weakSelf.lock();
        if (!self || !self->delegate_.lock()) return;
        self->delayedProcessingOnce_.call([&] {
            self->startCrashProcessing();
            if (self->processingGate_) self->processingGate_->signal();
        });
    });
}

void BCPendingCrashReports::startCrashProcessing() {
    auto delegate = delegate_.lock();
    if (!delegate) return;
    BCLogDebug(kBCCrashesLogTag, "Start delayed CrashManager processing");
    const auto handler = delegate->exceptionHandler();
    if (handler && handler != platform::appkit::NSGetUncaughtExceptionHandler()) {
        BCLogWarning(kBCCrashesLogTag,
                     "Another exception handler was added. If this invokes any kind of exit() after processing the "
                     "exception, which causes any subsequent error handler not to be invoked, these crashes will NOT "
                     "be reported to Beacon!");
    }
    processCrashReports();
}

void BCPendingCrashReports::processCrashReports() {
    auto delegate = delegate_.lock();
    if (!delegate) return;
    if (!delegate->pendingReportsServiceEnabled()) {
        BCLogDebug(kBCCrashesLogTag, "Crashes service is disabled; discard all crash reports");
        deleteAllFromCrashesDirectory();
        BCWrapperExceptionManager::deleteAllWrapperExceptions();
        return;
    }
    std::optional<Parsed> latest;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        unprocessed_.emplace();
        latest.swap(latest_);
    }
    // In the order of the stored files, each parsed once: the report stored
    // at this start was parsed then.
    std::vector<Parsed> parsed;
    for (const auto &file : crashFiles()) {
        if (latest && latest->file.filename() == file.filename()) {
            parsed.push_back(*latest);
            continue;
        }
        platform::ErrorPtr error;
        auto data = BCCrashesUtil::readRegularFile(componentFor(file), BBCRASH_REPORT_SIZE_LIMIT, &error);
        if (!data && (!error || error->code() != EFBIG)) {
            BCLogError(kBCCrashesLogTag, "Couldn't read the stored crash report %@: %@", file.filename().string(),
                       describe(error));
            continue;
        }
        auto report = data && !data->empty() ? BBCrashReport::make(*data, &error) : nullptr;
        if (!report) {
            // Empty, larger than the engine writes, or not a report: it never
            // will be one. Set aside (kept, not deleted) so it is said once.
            setAsideCorrupt(file,
                            data && data->empty() ? std::optional<std::string>("the file is empty") : describe(error));
            continue;
        }
        BCLogVerbose(kBCCrashesLogTag, "Crash reports found");
        parsed.push_back({report, delegate->errorReportFromCrashReport(report), file});
    }
    Reports reports;
    for (const auto &item : parsed) reports.push_back(item.report);
    BCWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport(reports);

    const bool automatic = delegate->isAutomaticProcessingEnabled();
    for (auto &item : parsed) {
        // Built now that a wrapper exception saved for the report is tied to
        // it. A report without a UUID of its own got a random id: its log
        // takes the same.
        Entry entry{delegate->errorLogFromCrashReport(*item.crashReport), item.report, item.file};
        entry.log->errorId = entry.report->incidentIdentifier();
        item.crashReport.reset();
        const std::string name = entry.file.filename().string();
        if (automatic && !shouldProcessErrorReport(entry.report)) {
            BCLogDebug(kBCCrashesLogTag, "shouldProcessErrorReport returned NO, discard the crash report: %@", name);
            discard(entry);
            continue;
        }
        if (automatic) {
            BCLogDebug(kBCCrashesLogTag,
                       "shouldProcessErrorReport is not implemented or returned YES, processing the crash report: %@",
                       name);
        } else {
            BCLogDebug(kBCCrashesLogTag,
                       "Automatic crash processing is disabled, storing the crash report for later processing: %@",
                       name);
        }
        std::lock_guard<std::mutex> lock(mutex_);
        unprocessed_->push_back(entry);
    }
    if (automatic) sendCrashReportsOrAwaitUserConfirmation();
}

bool BCPendingCrashReports::shouldProcessErrorReport(const std::shared_ptr<BCErrorReport> &report) {
    auto delegate = delegate_.lock();
    return !delegate || delegate->shouldProcessErrorReport(report);
}

std::optional<BCPendingCrashReports::Reports> BCPendingCrashReports::unprocessedCrashReports() {
    auto delegate = delegate_.lock();
    if (delegate && delegate->pendingReportsServiceAvailable() && processingGate_) {
        processingGate_->wait();
        processingGate_->signal();
    }
    return unprocessedReports();
}

void BCPendingCrashReports::deleteAllFromCrashesDirectory() {
    std::lock_guard<std::mutex> lock(mutex_);
    BCUtility::deleteItemForPathComponent(crashesDirectory_);
    crashFiles_.clear();
}

void BCPendingCrashReports::deleteCrashReportWithFileURL(const Path &fileURL) {
    BCCrashesUtil::deleteFile(componentFor(fileURL));
}

void BCPendingCrashReports::createAnalyzerFile(const std::string &guarded) {
    if (!BCCrashesUtil::writePrivateFile(analyzerFilePathComponent_, platform::Data(guarded.begin(), guarded.end()))) {
        BCLogError(kBCCrashesLogTag, "Couldn't create crash analyzer file.");
    }
}

void BCPendingCrashReports::removeAnalyzerFile() { BCCrashesUtil::deleteFile(analyzerFilePathComponent_); }

std::shared_ptr<BCErrorReport> BCPendingCrashReports::getLastSessionCrashReport() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastSessionCrashReport_;
}

// --- The user's answer. ---

bool BCPendingCrashReports::sendCrashReportsOrAwaitUserConfirmation() {
    auto delegate = delegate_.lock();
    const bool alwaysSend = shouldAlwaysSend();
    if (!delegate) return alwaysSend;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!unprocessed_ || unprocessed_->empty()) return alwaysSend;
    }
    if (alwaysSend) {
        BCLogDebug(kBCCrashesLogTag,
                   "The flag for user confirmation is set to BCUserConfirmationAlways, continue sending logs");
        handleUserConfirmation(BCUserConfirmationSend);
        return true;
    }
    if (!delegate->isAutomaticProcessingEnabled()) {
        BCLogDebug(kBCCrashesLogTag,
                   "Automatic crash processing is disabled and \"AlwaysSend\" is false. Awaiting user confirmation.");
        return false;
    }
    if (!delegate->confirmationHandler() || !userPromptedForConfirmation()) {
        BCLogDebug(kBCCrashesLogTag,
                   "The user confirmation handler is not implemented or returned NO, continue sending logs");
        handleUserConfirmation(BCUserConfirmationSend);
    }
    return false;
}

bool BCPendingCrashReports::shouldAlwaysSend() {
    return BCBeaconUserDefaults::shared()->objectForKey(kUserConfirmationKey).boolValue().value_or(false);
}

bool BCPendingCrashReports::userPromptedForConfirmation() {
    auto delegate = delegate_.lock();
    auto handler = delegate ? delegate->confirmationHandler() : nullptr;
    if (!handler) return false;
    // The handler gets a copy: its own answer empties the list.
    const Reports reports = unprocessedReports().value_or(Reports{});
    if (platform::dispatch::isMainThread()) return handler(reports);
    bool answer = false;
    platform::dispatch::sync(platform::dispatch::mainQueue(), [&] { answer = handler(reports); });
    return answer;
}

void BCPendingCrashReports::notifyWithUserConfirmation(unsigned long userConfirmation) {
    bool processed;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        processed = unprocessed_.has_value();
    }
    auto delegate = delegate_.lock();
    if ((!delegate || !delegate->confirmationHandler()) && !processed) {
        BCLogError(kBCCrashesLogTag,
                   "Incorrect usage of notifyWithUserConfirmation: it should only be called from "
                   "userConfirmationHandler. For more information refer to the documentation.");
        return;
    }
    handleUserConfirmation(userConfirmation);
}

void BCPendingCrashReports::handleUserConfirmation(unsigned long userConfirmation) {
    auto delegate = delegate_.lock();
    if (!delegate) return;
    const std::vector<Entry> entries = takeUnprocessed();
    if (userConfirmation == BCUserConfirmationDontSend) {
        for (const auto &entry : entries) discard(entry);
        delegate->clearContextHistoryAndKeepCurrentSession();
        return;
    }
    if (userConfirmation == BCUserConfirmationAlways) {
        BCBeaconUserDefaults::shared()->setObject(true, kUserConfirmationKey);
    }
    auto unit = delegate->crashesChannelUnit();
    for (const auto &entry : entries) {
        auto attachments = delegate->attachmentsWithCrashReport(entry.report);
        if (auto timestamp = entry.log->timestamp()) {
            entry.log->setSid(BCSessionContext::sharedInstance()->sessionIdAt(*timestamp));
            entry.log->setUserId(BCUserIdContext::sharedInstance()->userIdAt(*timestamp));
        }
        if (unit) {
            // The file stays until the store has the log: a launch that ends
            // first, or a save that fails, leaves it for the next launch.
            unit->enqueueItem(entry.log, BCFlagsCritical, [self = shared_from_this(), entry](BCEnqueueResult result) {
                self->didEnqueue(entry, result);
            });
        } else {
            BCLogError(kBCCrashesLogTag,
                       "The crash report %@ can't be sent before the service starts; it is kept "
                       "for a later launch.",
                       entry.file.filename().string());
        }
        delegate->instanceSendErrorAttachments(attachments, entry.report->incidentIdentifier().value_or(""));
    }
    delegate->clearContextHistoryAndKeepCurrentSession();
}

void BCPendingCrashReports::didEnqueue(const Entry &entry, BCEnqueueResult result) {
    const std::string name = entry.file.filename().string();
    switch (result) {
    case BCEnqueueResult::Saved:
    case BCEnqueueResult::Discarded: discard(entry); return;
    case BCEnqueueResult::Failed:
    case BCEnqueueResult::Refused:
        BCLogError(kBCCrashesLogTag,
                   "The crash report %@ couldn't be stored for sending; it is kept for a later "
                   "launch.",
                   name);
        return;
    case BCEnqueueResult::Unstorable: {
        // Processing it again would fail again, at every launch.
        auto aside = BCCrashesUtil::setAside(componentFor(entry.file), platform::FileManager::kUnstorableSuffix);
        if (!aside) {
            BCLogError(kBCCrashesLogTag,
                       "The crash report %@ can never be stored and couldn't be set aside "
                       "(errno %d); it is deleted.",
                       name, errno);
            discard(entry);
            return;
        }
        BCLogError(kBCCrashesLogTag, "The crash report %@ can never be stored; it is set aside as %@.", name, *aside);
        if (auto id = entry.report->incidentIdentifier()) {
            BCWrapperExceptionManager::deleteWrapperExceptionWithUUIDString(*id);
        }
        removeCrashFile(entry.file);
        return;
    }
    }
}

void BCPendingCrashReports::clearUnprocessedReports() { takeUnprocessed(); }

bool BCPendingCrashReports::sendCrashReportsOrAwaitUserConfirmationForFilteredIds(
    const std::vector<std::string> &filteredIds) {
    std::vector<Entry> dropped;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (unprocessed_) {
            std::erase_if(*unprocessed_, [&](const Entry &entry) {
                const auto &id = entry.report->incidentIdentifier();
                if (id && std::find(filteredIds.begin(), filteredIds.end(), *id) != filteredIds.end()) return false;
                dropped.push_back(entry);
                return true;
            });
        }
    }
    for (const auto &entry : dropped) discard(entry);
    return sendCrashReportsOrAwaitUserConfirmation();
}

std::optional<std::vector<BCPendingCrashReports::Entry>> BCPendingCrashReports::unprocessedEntries() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return unprocessed_;
}

std::optional<BCPendingCrashReports::Reports> BCPendingCrashReports::unprocessedReports() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!unprocessed_) return std::nullopt;
    Reports reports;
    for (const auto &entry : *unprocessed_) reports.push_back(entry.report);
    return reports;
}

std::vector<BCPendingCrashReports::Entry> BCPendingCrashReports::takeUnprocessed() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Entry> entries;
    if (unprocessed_) entries.swap(*unprocessed_);
    return entries;
}

void BCPendingCrashReports::removeCrashFile(const Path &file) {
    std::lock_guard<std::mutex> lock(mutex_);
    crashFiles_.erase(std::remove(crashFiles_.begin(), crashFiles_.end(), file), crashFiles_.end());
}

void BCPendingCrashReports::setAsideCorrupt(const Path &file, const std::optional<std::string> &why) {
    const std::string name = file.filename().string();
    if (auto aside = BCCrashesUtil::setAside(componentFor(file), platform::FileManager::kCorruptSuffix)) {
        BCLogWarning(kBCCrashesLogTag, "The stored crash report %@ couldn't be parsed (%@); it is set aside as %@.",
                     name, why, *aside);
        removeCrashFile(file);
    } else {
        const int code = errno;
        BCLogWarning(kBCCrashesLogTag, "The stored crash report %@ couldn't be parsed (%@) nor set aside: errno %d",
                     name, why, code);
    }
}

void BCPendingCrashReports::discard(const Entry &entry) {
    deleteCrashReportWithFileURL(entry.file);
    if (auto id = entry.report->incidentIdentifier()) {
        BCWrapperExceptionManager::deleteWrapperExceptionWithUUIDString(*id);
    }
    removeCrashFile(entry.file);
}
