#include "BCPendingCrashReports.h"

#include <algorithm>
#include <string_view>

#include "BBCrashReport.h"
#include "BBCrashReporter.h"
#include "BCAppleErrorLog.h"
#include "BCBeacon.h"
#include "BCBeaconUserDefaults.h"
#include "BCChannelUnitProtocol.h"
#include "BCCrashes.h"
#include "BCCrashesDelegate.h"
#include "BCDeviceTracker.h"
#include "BCDispatcherUtil.h"
#include "BCErrorLogFormatter.h"
#include "BCErrorReport.h"
#include "BCFlags.h"
#include "BCLoadedImages.h"
#include "BCLogger.h"
#include "BCSessionContext.h"
#include "BCUserIdContext.h"
#include "BCUtility.h"
#include "BCWrapperExceptionManager.h"
#include "platform/appkit/Exception.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/Once.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/Format.h"

namespace {

constexpr const char *kUserConfirmationKey = "CrashesUserConfirmation";
// Names probed past the current second before a crash file is given up.
constexpr int kMaxNameAttempts = 1000;

// Never destroyed: the delayed block may run while the process exits.
platform::dispatch::Once &delayedProcessingOnce() {
    static auto *once = new platform::dispatch::Once;
    return *once;
}

std::string componentFor(const std::string &directory, const std::filesystem::path &file) {
    return platform::format("%@/%@", directory, file.filename().string());
}

// The formatter with what it needs of this process: the device of the
// crash's time, the wrapper exception saved under the report's UUID, the
// images loaded here, the install id.
std::shared_ptr<BCAppleErrorLog> errorLogFromCrashReport(const BBCrashReport &report) {
    const auto uuid = BCErrorLogFormatter::uuidRefToString(report.uuidRef());
    return BCErrorLogFormatter::errorLogFromCrashReport(
        report,
        BCDeviceTracker::sharedInstance()->deviceForTimestamp(BCErrorLogFormatter::errorTimeForCrashReport(report)),
        uuid ? BCWrapperExceptionManager::loadWrapperExceptionWithUUIDString(*uuid) : nullptr,
        BCLoadedImages::images());
}

std::shared_ptr<BCErrorReport> errorReportFromLog(const BCAppleErrorLog &log) {
    return BCErrorLogFormatter::errorReportFromLog(
        log, BCBeacon::installId(), BCDeviceTracker::sharedInstance()->deviceForTimestamp(log.timestamp()));
}

}  // namespace

BCPendingCrashReports::BCPendingCrashReports(const std::shared_ptr<BCCrashes> &crashes) : crashes_(crashes) {}

std::shared_ptr<BCPendingCrashReports> BCPendingCrashReports::sharedInstance() {
    static auto *mutex = new std::mutex;
    static auto *shared = new std::shared_ptr<BCPendingCrashReports>;
    auto crashes = BCCrashes::sharedInstance();
    std::lock_guard<std::mutex> lock(*mutex);
    if (!*shared || (*shared)->crashes_.lock() != crashes) *shared = std::make_shared<BCPendingCrashReports>(crashes);
    return *shared;
}

// --- At start. ---

void BCPendingCrashReports::handleLatestCrashReport() {
    auto crashes = crashes_.lock();
    if (!crashes) return;
    auto engine = crashes->bbCrashReporter();
    bool purge = true;
    if (BCUtility::fileExistsForPathComponent(crashes->analyzerInProgressFilePathComponent())) {
        BCLogError(BCCrashes::logTag(), "Error on loading the crash report, it will be purged.");
    } else if (engine) {
        createAnalyzerFile();
        platform::ErrorPtr error;
        auto data = engine->loadPendingCrashReportData(&error);
        if (!data) {
            BCLogError(BCCrashes::logTag(), "Couldn't load crash report: %@",
                       error ? std::optional<std::string>(error->localizedDescription()) : std::nullopt);
        } else if (auto report = BBCrashReport::make(*data, &error); !report) {
            BCLogWarning(BCCrashes::logTag(), "Couldn't parse crash report: %@",
                         error ? std::optional<std::string>(error->localizedDescription()) : std::nullopt);
        } else if (!storeCrashData(*data)) {
            // The engine's copy is the only one left: keep it for the next
            // launch rather than lose the crash.
            BCLogError(BCCrashes::logTag(), "Couldn't store the crash report; it is kept for the next launch.");
            purge = false;
        } else {
            auto log = errorLogFromCrashReport(*report);
            auto errorReport = errorReportFromLog(*log);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                lastSessionCrashReport_ = errorReport;
            }
            BCWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport({errorReport});
        }
    }
    removeAnalyzerFile();
    if (purge && engine) engine->purgePendingCrashReport();
}

std::optional<BCPendingCrashReports::Path> BCPendingCrashReports::storeCrashData(const std::vector<uint8_t> &data) {
    auto crashes = crashes_.lock();
    if (!crashes) return std::nullopt;
    const double seconds = platform::Date::now().timeIntervalSinceReferenceDate();
    // Two handlings within one second would share a name: take the next
    // free one, never overwriting a stored crash.
    for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
        const std::string component =
            platform::format("%@/%@", crashes->crashesPathComponent(), platform::format("%.0f", seconds + attempt));
        if (BCUtility::fileExistsForPathComponent(component)) continue;
        auto url = BCUtility::createFileAtPathComponent(component, data, true, false);
        if (!url) return std::nullopt;
        return url;
    }
    return std::nullopt;
}

std::vector<BCPendingCrashReports::Path> BCPendingCrashReports::persistedCrashReports() {
    auto crashes = crashes_.lock();
    if (!crashes) return {};
    std::vector<Path> files;
    auto entries = BCUtility::contentsOfDirectory(crashes->crashesPathComponent());
    if (!entries || entries->empty()) {
        BCLogError(BCCrashes::logTag(), "No persisted crashes found.");
        return files;
    }
    // Regular, non-empty files that are not markers or metadata.
    static const char *const kSkipped[] = {".DS_Store", ".analyzer", ".plist", ".data", ".meta", ".desc"};
    for (const auto &entry : *entries) {
        if (!entry.isRegularFile || static_cast<int32_t>(entry.size) <= 0) continue;
        const bool marker = std::any_of(std::begin(kSkipped), std::end(kSkipped), [&](const char *suffix) {
            const std::string_view name(entry.name), tail(suffix);
            return name.size() >= tail.size() && name.substr(name.size() - tail.size()) == tail;
        });
        if (!marker) files.push_back(entry.url);
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
        auto crashes = self ? self->crashes_.lock() : nullptr;
        if (!crashes) return;
        delayedProcessingOnce().call([&] {
            self->startCrashProcessing();
            crashes->delayedProcessingSemaphore()->signal();
        });
    });
}

void BCPendingCrashReports::resetDelayedProcessing() { delayedProcessingOnce().reset(); }

void BCPendingCrashReports::startCrashProcessing() {
    auto crashes = crashes_.lock();
    if (!crashes) return;
    BCLogDebug(BCCrashes::logTag(), "Start delayed CrashManager processing");
    const auto handler = crashes->exceptionHandler();
    if (handler && handler != platform::appkit::NSGetUncaughtExceptionHandler()) {
        BCLogWarning(BCCrashes::logTag(),
                     "Another exception handler was added. If this invokes any kind of exit() after processing the "
                     "exception, which causes any subsequent error handler not to be invoked, these crashes will NOT "
                     "be reported to Beacon!");
    }
    processCrashReports();
}

void BCPendingCrashReports::processCrashReports() {
    auto crashes = crashes_.lock();
    if (!crashes) return;
    if (!crashes->instanceIsEnabled()) {
        BCLogDebug(BCCrashes::logTag(), "Crashes service is disabled; discard all crash reports");
        deleteAllFromCrashesDirectory();
        BCWrapperExceptionManager::deleteAllWrapperExceptions();
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        unprocessedLogs_.emplace();
        unprocessedReports_.emplace();
        unprocessedFilePaths_.emplace();
    }
    // In the order of the stored files, and one log per file: its error
    // report is made from the log, so both carry the same id.
    std::vector<Entry> parsed;
    for (const auto &file : crashFiles()) {
        auto data = BCUtility::loadDataForPathComponent(componentFor(crashes->crashesPathComponent(), file));
        if (!data || data->empty()) continue;
        platform::ErrorPtr error;
        auto report = BBCrashReport::make(*data, &error);
        if (!report) {
            BCLogWarning(BCCrashes::logTag(), "Crash report found but couldn't parse it, discard the crash report: %@",
                         error ? std::optional<std::string>(error->localizedDescription()) : std::nullopt);
            continue;
        }
        BCLogVerbose(BCCrashes::logTag(), "Crash reports found");
        auto log = errorLogFromCrashReport(*report);
        parsed.push_back({log, errorReportFromLog(*log), file});
    }
    Reports reports;
    for (const auto &entry : parsed) reports.push_back(entry.report);
    BCWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport(reports);

    const bool automatic = crashes->isAutomaticProcessingEnabled();
    for (const auto &entry : parsed) {
        const std::string name = entry.file.filename().string();
        if (automatic && !shouldProcessErrorReport(entry.report)) {
            BCLogDebug(BCCrashes::logTag(), "shouldProcessErrorReport returned NO, discard the crash report: %@", name);
            discard(entry);
            continue;
        }
        if (automatic) {
            BCLogDebug(BCCrashes::logTag(),
                       "shouldProcessErrorReport is not implemented or returned YES, processing the crash report: %@",
                       name);
        } else {
            BCLogDebug(BCCrashes::logTag(),
                       "Automatic crash processing is disabled, storing the crash report for later processing: %@",
                       name);
        }
        std::lock_guard<std::mutex> lock(mutex_);
        unprocessedLogs_->push_back(entry.log);
        unprocessedReports_->push_back(entry.report);
        unprocessedFilePaths_->push_back(entry.file);
    }
    if (automatic) sendCrashReportsOrAwaitUserConfirmation();
}

bool BCPendingCrashReports::shouldProcessErrorReport(const std::shared_ptr<BCErrorReport> &report) {
    auto crashes = crashes_.lock();
    auto delegate = BCCrashes::delegate();
    if (!crashes || !delegate || !delegate->shouldProcessErrorReport) return true;
    return delegate->shouldProcessErrorReport(*crashes, report);
}

std::optional<BCPendingCrashReports::Reports> BCPendingCrashReports::unprocessedCrashReports() {
    auto crashes = crashes_.lock();
    if (crashes && crashes->isAvailable()) {
        auto gate = crashes->delayedProcessingSemaphore();
        gate->wait();
        gate->signal();
    }
    return unprocessedReports();
}

void BCPendingCrashReports::deleteAllFromCrashesDirectory() {
    auto crashes = crashes_.lock();
    std::lock_guard<std::mutex> lock(mutex_);
    if (crashes) BCUtility::deleteItemForPathComponent(crashes->crashesPathComponent());
    crashFiles_.clear();
}

void BCPendingCrashReports::deleteCrashReportWithFileURL(const Path &fileURL) {
    BCUtility::deleteFileAtURL(fileURL);
}

void BCPendingCrashReports::createAnalyzerFile() {
    auto crashes = crashes_.lock();
    if (!crashes) return;
    if (!BCUtility::createFileAtPathComponent(crashes->analyzerInProgressFilePathComponent(), std::nullopt, false,
                                              false)) {
        BCLogError(BCCrashes::logTag(), "Couldn't create crash analyzer file.");
    }
}

void BCPendingCrashReports::removeAnalyzerFile() {
    if (auto crashes = crashes_.lock()) {
        BCUtility::deleteItemForPathComponent(crashes->analyzerInProgressFilePathComponent());
    }
}

std::shared_ptr<BCErrorReport> BCPendingCrashReports::getLastSessionCrashReport() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastSessionCrashReport_;
}

// --- The user's answer. ---

bool BCPendingCrashReports::sendCrashReportsOrAwaitUserConfirmation() {
    auto crashes = crashes_.lock();
    const bool alwaysSend = shouldAlwaysSend();
    if (!crashes) return alwaysSend;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!unprocessedReports_ || unprocessedReports_->empty()) return alwaysSend;
    }
    if (alwaysSend) {
        BCLogDebug(BCCrashes::logTag(),
                   "The flag for user confirmation is set to BCUserConfirmationAlways, continue sending logs");
        handleUserConfirmation(BCUserConfirmationSend);
        return true;
    }
    if (!crashes->isAutomaticProcessingEnabled()) {
        BCLogDebug(BCCrashes::logTag(),
                   "Automatic crash processing is disabled and \"AlwaysSend\" is false. Awaiting user confirmation.");
        return false;
    }
    if (!BCCrashes::userConfirmationHandler() || !userPromptedForConfirmation()) {
        BCLogDebug(BCCrashes::logTag(),
                   "The user confirmation handler is not implemented or returned NO, continue sending logs");
        handleUserConfirmation(BCUserConfirmationSend);
    }
    return false;
}

bool BCPendingCrashReports::shouldAlwaysSend() {
    return BCBeaconUserDefaults::shared()->objectForKey(kUserConfirmationKey).boolValue().value_or(false);
}

bool BCPendingCrashReports::userPromptedForConfirmation() {
    auto handler = BCCrashes::userConfirmationHandler();
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
        processed = unprocessedReports_.has_value();
    }
    if (!BCCrashes::userConfirmationHandler() && !processed) {
        BCLogError(BCCrashes::logTag(), "Incorrect usage of notifyWithUserConfirmation: it should only be called from "
                                        "userConfirmationHandler. For more information refer to the documentation.");
        return;
    }
    handleUserConfirmation(userConfirmation);
}

void BCPendingCrashReports::handleUserConfirmation(unsigned long userConfirmation) {
    auto crashes = crashes_.lock();
    if (!crashes) return;
    const std::vector<Entry> entries = takeUnprocessed();
    if (userConfirmation == BCUserConfirmationDontSend) {
        for (const auto &entry : entries) discard(entry);
        crashes->clearContextHistoryAndKeepCurrentSession();
        return;
    }
    if (userConfirmation == BCUserConfirmationAlways) {
        BCBeaconUserDefaults::shared()->setObject(true, kUserConfirmationKey);
    }
    auto delegate = BCCrashes::delegate();
    auto unit = crashes->channelUnit();
    for (const auto &entry : entries) {
        std::optional<std::vector<std::shared_ptr<BCErrorAttachmentLog>>> attachments;
        if (delegate && delegate->attachmentsWithCrashes) {
            attachments = delegate->attachmentsWithCrashes(*crashes, entry.report);
        } else {
            BCLogDebug(BCCrashes::logTag(), "attachmentsWithCrashes is not implemented");
        }
        if (auto timestamp = entry.log->timestamp()) {
            entry.log->setSid(BCSessionContext::sharedInstance()->sessionIdAt(*timestamp));
            entry.log->setUserId(BCUserIdContext::sharedInstance()->userIdAt(*timestamp));
        }
        if (unit) unit->enqueueItem(entry.log, BCFlagsCritical);
        crashes->instanceSendErrorAttachments(attachments, entry.report->incidentIdentifier().value_or(""));
        discard(entry);
    }
    crashes->clearContextHistoryAndKeepCurrentSession();
}

void BCPendingCrashReports::clearUnprocessedReports() { takeUnprocessed(); }

bool BCPendingCrashReports::sendCrashReportsOrAwaitUserConfirmationForFilteredIds(
    const std::vector<std::string> &filteredIds) {
    std::vector<Entry> dropped;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (unprocessedReports_) {
            // Removed by index, so the three lists stay parallel.
            for (size_t i = unprocessedReports_->size(); i-- > 0;) {
                const auto &id = (*unprocessedReports_)[i]->incidentIdentifier();
                if (id && std::find(filteredIds.begin(), filteredIds.end(), *id) != filteredIds.end()) continue;
                dropped.push_back({(*unprocessedLogs_)[i], (*unprocessedReports_)[i], (*unprocessedFilePaths_)[i]});
                unprocessedLogs_->erase(unprocessedLogs_->begin() + static_cast<std::ptrdiff_t>(i));
                unprocessedReports_->erase(unprocessedReports_->begin() + static_cast<std::ptrdiff_t>(i));
                unprocessedFilePaths_->erase(unprocessedFilePaths_->begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
    }
    for (const auto &entry : dropped) discard(entry);
    return sendCrashReportsOrAwaitUserConfirmation();
}

void BCPendingCrashReports::channelWillSendLog(const std::shared_ptr<BCAbstractLog> &log) {
    relayToDelegate(log, [](const BCCrashesDelegate &delegate) { return bool(delegate.willSendErrorReport); },
                    [](const BCCrashesDelegate &delegate, BCCrashes &crashes, const Report &report) {
                        delegate.willSendErrorReport(crashes, report);
                    });
}

void BCPendingCrashReports::channelDidSucceedSendingLog(const std::shared_ptr<BCAbstractLog> &log) {
    relayToDelegate(log, [](const BCCrashesDelegate &delegate) { return bool(delegate.didSucceedSendingErrorReport); },
                    [](const BCCrashesDelegate &delegate, BCCrashes &crashes, const Report &report) {
                        delegate.didSucceedSendingErrorReport(crashes, report);
                    });
}

void BCPendingCrashReports::channelDidFailSendingLog(const std::shared_ptr<BCAbstractLog> &log,
                                                     const platform::ErrorPtr &error) {
    relayToDelegate(log, [](const BCCrashesDelegate &delegate) { return bool(delegate.didFailSendingErrorReport); },
                    [error](const BCCrashesDelegate &delegate, BCCrashes &crashes, const Report &report) {
                        delegate.didFailSendingErrorReport(crashes, report, error);
                    });
}

void BCPendingCrashReports::relayToDelegate(
    const std::shared_ptr<BCAbstractLog> &log, const std::function<bool(const BCCrashesDelegate &)> &responds,
    std::function<void(const BCCrashesDelegate &, BCCrashes &, const Report &)> call) {
    auto delegate = BCCrashes::delegate();
    auto crashLog = std::dynamic_pointer_cast<BCAppleErrorLog>(log);
    if (!delegate || !responds(*delegate) || !crashLog) return;
    auto report = errorReportFromLog(*crashLog);
    std::weak_ptr<BCCrashes> weakCrashes = crashes_;
    BCDispatcherUtil::performBlockOnMainThread([delegate, report, weakCrashes, call = std::move(call)] {
        if (auto crashes = weakCrashes.lock()) call(*delegate, *crashes, report);
    });
}

std::optional<std::vector<std::shared_ptr<BCAppleErrorLog>>> BCPendingCrashReports::unprocessedLogs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return unprocessedLogs_;
}

std::optional<BCPendingCrashReports::Reports> BCPendingCrashReports::unprocessedReports() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return unprocessedReports_;
}

std::optional<std::vector<BCPendingCrashReports::Path>> BCPendingCrashReports::unprocessedFilePaths() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return unprocessedFilePaths_;
}

std::vector<BCPendingCrashReports::Entry> BCPendingCrashReports::takeUnprocessed() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Entry> entries;
    if (!unprocessedReports_) return entries;
    for (size_t i = 0; i < unprocessedReports_->size(); ++i) {
        entries.push_back({(*unprocessedLogs_)[i], (*unprocessedReports_)[i], (*unprocessedFilePaths_)[i]});
    }
    unprocessedLogs_->clear();
    unprocessedReports_->clear();
    unprocessedFilePaths_->clear();
    return entries;
}

void BCPendingCrashReports::removeCrashFile(const Path &file) {
    std::lock_guard<std::mutex> lock(mutex_);
    crashFiles_.erase(std::remove(crashFiles_.begin(), crashFiles_.end(), file), crashFiles_.end());
}

void BCPendingCrashReports::discard(const Entry &entry) {
    deleteCrashReportWithFileURL(entry.file);
    if (auto id = entry.report->incidentIdentifier()) {
        BCWrapperExceptionManager::deleteWrapperExceptionWithUUIDString(*id);
    }
    removeCrashFile(entry.file);
}
