#include "BCCrashes.h"

#include <algorithm>

#include "BBCrashReport.h"
#include "BBCrashReporter.h"
#include "BCAppleErrorLog.h"
#include "BCApplicationForwarder.h"
#include "BCBeacon.h"
#include "BCBeaconUserDefaults.h"
#include "BCChannelGroupProtocol.h"
#include "BCChannelUnitProtocol.h"
#include "BCCrashesCXXExceptionWrapperException.h"
#include "BCCrashesLogTag.h"
#include "BCCrashesLogBuffer.h"
#include "BCCrashesModelUtil.h"
#include "BCCrashesUncaughtCXXExceptionHandlerManager.h"
#include "BCCrashesUtil.h"
#include "BCDeviceTracker.h"
#include "BCDispatcherUtil.h"
#include "BCEncrypter.h"
#include "BCErrorLogFormatter.h"
#include "BCErrorReport.h"
#include "BCLoadedImages.h"
#include "BCLogger.h"
#include "BCPendingCrashReports.h"
#include "BCSessionContext.h"
#include "BCUserIdContext.h"
#include "BCUtility.h"
#include "BCWrapperCrashesHelper.h"
#include "BCWrapperExceptionManager.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Format.h"

namespace {

constexpr const char *kAnalyzerFilename = "BNCrashes.analyzer";
constexpr const char *kMemoryWarningKey = "AppDidReceiveMemoryWarning";

std::mutex &sharedMutex() {
    static auto *m = new std::mutex;
    return *m;
}
std::shared_ptr<BCCrashes> &sharedSlot() {
    static auto *slot = new std::shared_ptr<BCCrashes>;
    return *slot;
}

}  // namespace

BCCrashes::BCCrashes() : channelUnitConfiguration_("Crashes", 2, 1, 1, 3) {
    BCBeaconUserDefaults::shared()->migrateKeys(
        {{"BNBeaconCrashesIsEnabled", std::string("kBNCrashesIsEnabledKey")},
         {"BNBeaconAppDidReceiveMemoryWarning", std::string("BNAppDidReceiveMemoryWarning")},
         {"BNBeaconCrashesUserConfirmation", std::string("BNUserConfirmation")}},
        "Crashes");
    BCCrashesModelUtil::registerArchivableClasses();
    BCUtility::addMigrationClasses(BCCrashesModelUtil::migrationClasses());
    appStartTime_ = platform::Date::now();
    crashesPathComponent_ = BCCrashesUtil::crashesDir();
    logBufferPathComponent_ = BCCrashesUtil::logBufferDir();
    // Made (or narrowed, with the files an earlier run left) at start.
    BCCrashesUtil::wrapperExceptionsDir();
    analyzerInProgressFilePathComponent_ = platform::format("%@/%@", BCCrashesUtil::crashesDir(), kAnalyzerFilename);
    delayedProcessingSemaphore_ = platform::dispatch::Semaphore::create(0);
    targetTokenEncrypter_ = std::make_shared<BCEncrypter>();
    bufferFileQueue_ = platform::dispatch::Queue::global(platform::dispatch::Priority::High);
    bufferFileGroup_ = platform::dispatch::Group::create();
    BCCrashesLogBuffer::setupLogBuffer(bufferFileQueue_, bufferFileGroup_);
}

std::shared_ptr<BCCrashes> BCCrashes::sharedInstance() {
    std::lock_guard<std::mutex> lock(sharedMutex());
    if (!sharedSlot()) {
        auto crashes = std::make_shared<BCCrashes>();
        crashes->installChannelCallbacks();
        sharedSlot() = std::move(crashes);
    }
    return sharedSlot();
}

void BCCrashes::resetSharedInstance() {
    std::shared_ptr<BCCrashes> previous;
    {
        std::lock_guard<std::mutex> lock(sharedMutex());
        previous.swap(sharedSlot());
    }
    if (!previous) return;
    previous->cancelMemoryPressureSource();
    // The buffer files the service began creating belong to its SDK folder:
    // let that work end before a caller points the folder elsewhere.
    if (previous->bufferFileGroup_ && !previous->bufferFileGroup_->wait(5.0)) {
        BCLogWarning(logTag(), "The log buffer files were still being created when the service was reset.");
    }
}

void BCCrashes::installChannelCallbacks() {
    // Held weakly: the channel group may outlive a reset service.
    std::weak_ptr<BCServiceAbstract> weakSelf = weak_from_this();
    auto service = [weakSelf] { return std::static_pointer_cast<BCCrashes>(weakSelf.lock()); };
    channelDidPrepareLog = [service](const auto &, const auto &log, const std::string &internalId, uint32_t) {
        if (auto self = service()) {
            BCCrashesLogBuffer::didPrepareLog(log, internalId, self->instanceIsEnabled(), *self->targetTokenEncrypter_);
        }
    };
    channelDidCompleteEnqueueingLog = [](const auto &, const auto &log, const std::string &internalId) {
        BCCrashesLogBuffer::didCompleteEnqueueingLog(log, internalId);
    };
    channelWillSendLog = [service](const auto &, const auto &log) {
        if (auto self = service()) {
            self->relayToDelegate(
                log, [](const BCCrashesDelegate &delegate) { return bool(delegate.willSendErrorReport); },
                [](const BCCrashesDelegate &delegate, BCCrashes &crashes, const auto &report) {
                    delegate.willSendErrorReport(crashes, report);
                });
        }
    };
    channelDidSucceedSendingLog = [service](const auto &, const auto &log) {
        if (auto self = service()) {
            self->relayToDelegate(
                log, [](const BCCrashesDelegate &delegate) { return bool(delegate.didSucceedSendingErrorReport); },
                [](const BCCrashesDelegate &delegate, BCCrashes &crashes, const auto &report) {
                    delegate.didSucceedSendingErrorReport(crashes, report);
                });
        }
    };
    channelDidFailSendingLog = [service](const auto &, const auto &log, const platform::ErrorPtr &error) {
        if (auto self = service()) {
            self->relayToDelegate(
                log, [](const BCCrashesDelegate &delegate) { return bool(delegate.didFailSendingErrorReport); },
                [error](const BCCrashesDelegate &delegate, BCCrashes &crashes, const auto &report) {
                    delegate.didFailSendingErrorReport(crashes, report, error);
                });
        }
    };
}

std::string BCCrashes::logTag() { return kBCCrashesLogTag; }

std::shared_ptr<BCAppleErrorLog> BCCrashes::errorLogFromCrashReport(const BBCrashReport &report) const {
    const auto uuid = BCErrorLogFormatter::uuidRefToString(report.uuidRef());
    const auto crashTime = BCErrorLogFormatter::errorTimeForCrashReport(report);
    return BCErrorLogFormatter::errorLogFromCrashReport(
        report, BCDeviceTracker::sharedInstance()->deviceForTimestamp(crashTime),
        uuid ? BCWrapperExceptionManager::loadWrapperExceptionWithUUIDString(*uuid) : nullptr,
        BCLoadedImages::images());
}

std::shared_ptr<BCErrorReport> BCCrashes::errorReportFromCrashReport(
    const std::shared_ptr<BBCrashReport> &report) const {
    if (!report) return nullptr;
    return BCErrorLogFormatter::errorReportFromCrashReport(
        report,
        BCDeviceTracker::sharedInstance()->deviceForTimestamp(BCErrorLogFormatter::errorTimeForCrashReport(*report)),
        BCBeacon::installId());
}

std::shared_ptr<BCErrorReport> BCCrashes::errorReportFromLog(const BCAppleErrorLog &log) const {
    return BCErrorLogFormatter::errorReportFromLog(
        log, BCBeacon::installId(), BCDeviceTracker::sharedInstance()->deviceForTimestamp(log.timestamp()));
}

void BCCrashes::relayToDelegate(
    const std::shared_ptr<BCAbstractLog> &log, const std::function<bool(const BCCrashesDelegate &)> &responds,
    std::function<void(const BCCrashesDelegate &, BCCrashes &, const std::shared_ptr<BCErrorReport> &)> call) {
    auto delegate = BCCrashes::delegate();
    auto crashLog = std::dynamic_pointer_cast<BCAppleErrorLog>(log);
    if (!delegate || !responds(*delegate) || !crashLog) return;
    auto report = errorReportFromLog(*crashLog);
    std::weak_ptr<BCServiceAbstract> weakSelf = weak_from_this();
    BCDispatcherUtil::performBlockOnMainThread([delegate, report, weakSelf, call = std::move(call)] {
        if (auto self = std::static_pointer_cast<BCCrashes>(weakSelf.lock())) call(*delegate, *self, report);
    });
}

std::shared_ptr<BCPendingCrashReports> BCCrashes::pendingCrashReports() {
    std::lock_guard<std::mutex> lock(stateMutex_);
    if (!pendingCrashReports_) {
        auto self = std::static_pointer_cast<BCCrashes>(shared_from_this());
        pendingCrashReports_ = std::make_shared<BCPendingCrashReports>(
            std::static_pointer_cast<BCPendingCrashReportsDelegate>(self), crashesPathComponent_,
            analyzerInProgressFilePathComponent_, delayedProcessingSemaphore_);
    }
    return pendingCrashReports_;
}

bool BCCrashes::shouldProcessErrorReport(const std::shared_ptr<BCErrorReport> &report) {
    auto delegate = BCCrashes::delegate();
    if (!delegate || !delegate->shouldProcessErrorReport) return true;
    return delegate->shouldProcessErrorReport(*this, report);
}

std::optional<BCCrashes::Attachments> BCCrashes::attachmentsWithCrashReport(
    const std::shared_ptr<BCErrorReport> &report) {
    auto delegate = BCCrashes::delegate();
    if (!delegate || !delegate->attachmentsWithCrashes) {
        BCLogDebug(logTag(), "attachmentsWithCrashes is not implemented");
        return std::nullopt;
    }
    return delegate->attachmentsWithCrashes(*this, report);
}

std::function<bool(const BCCrashes::Reports &reports)> BCCrashes::confirmationHandler() const {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return userConfirmationHandler_;
}

const BCServiceClass *BCCrashes::serviceClass() {
    static const auto *serviceClass = new BCServiceClass{
        "BCCrashes", [] { return std::static_pointer_cast<BCServiceAbstract>(sharedInstance()); },
        [] { return serviceName(); }, [] { return isEnabled(); }, [](bool enabled) { setEnabled(enabled); }};
    return serviceClass;
}

bool BCCrashes::isEnabled() { return BCServiceAbstract::isEnabled(sharedInstance()); }

void BCCrashes::setEnabled(bool isEnabled) { BCServiceAbstract::setEnabled(sharedInstance(), isEnabled); }

void BCCrashes::setDelegate(const std::shared_ptr<BCCrashesDelegate> &delegate) {
    auto crashes = sharedInstance();
    std::lock_guard<std::mutex> lock(crashes->stateMutex_);
    crashes->delegate_ = delegate;
}

std::shared_ptr<BCCrashesDelegate> BCCrashes::delegate() {
    auto crashes = sharedInstance();
    std::lock_guard<std::mutex> lock(crashes->stateMutex_);
    return crashes->delegate_.lock();
}

void BCCrashes::setUserConfirmationHandler(BCUserConfirmationHandler handler) {
    auto crashes = sharedInstance();
    std::lock_guard<std::mutex> lock(crashes->stateMutex_);
    crashes->userConfirmationHandler_ = std::move(handler);
}

BCUserConfirmationHandler BCCrashes::userConfirmationHandler() {
    auto crashes = sharedInstance();
    std::lock_guard<std::mutex> lock(crashes->stateMutex_);
    return crashes->userConfirmationHandler_;
}

void BCCrashes::notifyWithUserConfirmation(unsigned long userConfirmation) {
    sharedInstance()->pendingCrashReports()->notifyWithUserConfirmation(userConfirmation);
}

bool BCCrashes::hasCrashedInLastSession() { return sharedInstance()->didCrashInLastSession(); }

bool BCCrashes::hasReceivedMemoryWarningInLastSession() {
    return sharedInstance()->didReceiveMemoryWarningInLastSession();
}

std::shared_ptr<BCErrorReport> BCCrashes::lastSessionCrashReport() {
    return sharedInstance()->getLastSessionCrashReport();
}

void BCCrashes::disableMachExceptionHandler() { sharedInstance()->setEnableMachExceptionHandler(false); }

void BCCrashes::applicationDidReportException(const platform::appkit::Exception &exception) {
    if (BCBeacon::isDebuggerAttached()) return;
    if (auto handler = sharedInstance()->exceptionHandler()) handler(exception);
}

void BCCrashes::generateTestCrash() {
    auto crashes = sharedInstance();
    std::lock_guard<std::recursive_mutex> lock(crashes->mutex());
    if (!crashes->canBeUsed()) return;
    if (BCUtility::currentAppEnvironment() == BCEnvironmentAppStore) {
        BCLogWarning(logTag(),
                     "GenerateTestCrash was just called in an App Store environment. The call will be "
                     "ignored.");
        return;
    }
    if (BCBeacon::isDebuggerAttached()) {
        BCLogWarning(logTag(), "The debugger is attached. The following crash cannot be detected by the SDK!");
    }
    // An illegal instruction: a synchronous fault the engine records.
    __builtin_trap();
}

std::optional<BCChannelUnitConfiguration> BCCrashes::channelUnitConfiguration() const {
    return channelUnitConfiguration_;
}

void BCCrashes::startWithChannelGroup(const std::shared_ptr<BCChannelGroupProtocol> &channelGroup,
                                      const std::optional<std::string> &appSecret,
                                      const std::optional<std::string> &transmissionTargetToken, bool fromApplication) {
    // The group's delegate before the base start adds the "Crashes" unit: the
    // unit starts sending the logs stored by an earlier launch at once, and
    // their callbacks must reach the pending reports.
    if (channelGroup) {
        channelGroup->addDelegate(
            std::static_pointer_cast<BCChannelDelegate>(std::static_pointer_cast<BCCrashes>(shared_from_this())));
    }
    BCServiceAbstract::startWithChannelGroup(channelGroup, appSecret, transmissionTargetToken, fromApplication);
    processLogBufferAfterCrash();
    processMemoryWarningInLastSession();
    BCLogVerbose(logTag(), "Started crash service.");
}

void BCCrashes::updateConfigurationWithAppSecret(const std::optional<std::string> &appSecret,
                                                 const std::optional<std::string> &transmissionTargetToken) {
    processLogBufferAfterCrash();
    BCServiceAbstract::updateConfigurationWithAppSecret(appSecret, transmissionTargetToken);
}

void BCCrashes::processLogBufferAfterCrash() {
    auto group = channelGroup();
    if (!group) return;
    auto unit = BCCrashesLogBuffer::processLogBufferAfterCrash(*group, *targetTokenEncrypter_);
    std::lock_guard<std::mutex> lock(stateMutex_);
    bufferChannelUnit_ = std::move(unit);
}

std::shared_ptr<BCChannelUnitProtocol> BCCrashes::bufferChannelUnit() const {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return bufferChannelUnit_;
}

void BCCrashes::applyEnabledState(bool isEnabled) {
    BCServiceAbstract::applyEnabledState(isEnabled);
    auto pending = pendingCrashReports();
    if (isEnabled) {
        // The wrapper's setup hooks, each only when it answers; no lock is
        // held across them.
        auto setupDelegate = BCWrapperCrashesHelper::getCrashHandlerSetupDelegate();
        bool enableUncaughtExceptionHandler = true;
        if (setupDelegate && setupDelegate->shouldEnableUncaughtExceptionHandler) {
            enableUncaughtExceptionHandler = setupDelegate->shouldEnableUncaughtExceptionHandler();
        }
        if (setupDelegate && setupDelegate->willSetUpCrashHandlers) setupDelegate->willSetUpCrashHandlers();
        configureCrashReporterWithUncaughtExceptionHandlerEnabled(enableUncaughtExceptionHandler);
        if (setupDelegate && setupDelegate->didSetUpCrashHandlers) setupDelegate->didSetUpCrashHandlers();
        startMemoryPressureSource();
        auto engine = bbCrashReporter();
        if (!instanceIsEnabled() && engine) engine->purgePendingCrashReport();
        if (engine && engine->hasPendingCrashReport()) {
            didCrashInLastSession_ = true;
            BCLogDebug(logTag(), "The application crashed in the last session.");
            pending->handleLatestCrashReport();
        }
        // Listed after the pending report is stored, so that its file opens
        // the processing instead of the gate.
        pending->setCrashFiles(pending->persistedCrashReports());
        if (!pending->crashFiles().empty()) {
            pending->startDelayedCrashProcessing();
        } else {
            // No report to tie a saved wrapper exception to (unless the
            // engine's report is kept for the next launch): kept, it would
            // be tied to a later crash of a process with the same id.
            if (engine && !engine->hasPendingCrashReport()) {
                BCWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport({});
            }
            delayedProcessingSemaphore_->signal();
            clearContextHistoryAndKeepCurrentSession();
        }
        if (BCBeacon::isDebuggerAttached()) {
            BCLogInfo(logTag(),
                      "Crashes service has been enabled but the service cannot detect crashes due to "
                      "running the application with a debugger attached.");
        } else {
            BCLogInfo(logTag(), "Crashes service has been enabled.");
        }
        return;
    }
    cancelMemoryPressureSource();
    BCLogDebug(logTag(), "Cleaning up all crash files.");
    BCWrapperExceptionManager::deleteAllWrapperExceptions();
    pending->deleteAllFromCrashesDirectory();
    BCCrashesLogBuffer::emptyLogBufferFiles();
    pending->removeAnalyzerFile();
    if (auto engine = bbCrashReporter()) engine->purgePendingCrashReport();
    pending->clearUnprocessedReports();
    clearContextHistoryAndKeepCurrentSession();
    BCBeaconUserDefaults::shared()->removeObjectForKey(kMemoryWarningKey);
    BCLogInfo(logTag(), "Crashes service has been disabled.");
}

void BCCrashes::configureCrashReporterWithUncaughtExceptionHandlerEnabled(bool enableUncaughtExceptionHandler) {
    std::shared_ptr<BBCrashReporter> engine;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        if (bbCrashReporter_) {
            BCLogDebug(logTag(), "Already configured BBCrashReporter.");
            return;
        }
        if (enableUncaughtExceptionHandler) {
            BCLogDebug(logTag(), "EnableUncaughtExceptionHandler is set to YES");
        } else {
            BCLogDebug(logTag(), "EnableUncaughtExceptionHandler is set to NO, we're running in a managed runtime.");
        }
        uint32_t signalHandlerType = 0;
        if (isMachExceptionHandlerEnabled()) {
            BCLogVerbose(logTag(), "Enabled Mach exception handler.");
            signalHandlerType = 1;
        }
        auto config = std::make_shared<BBCrashReporterConfig>(signalHandlerType, 0, enableUncaughtExceptionHandler);
        try {
            bbCrashReporter_ = std::make_shared<BBCrashReporter>(config);
        } catch (const BBCrashReporterException &e) {
            // Without an identity for its files the engine can't be made.
            BCLogError(logTag(), "Could not create BBCrashReporter: %@", std::string(e.what()));
            return;
        }
        engine = bbCrashReporter_;
    }
    if (BCBeacon::isDebuggerAttached()) {
        BCLogWarning(logTag(), "Detecting crashes is NOT enabled due to running the app with a debugger attached.");
        return;
    }
    const auto initialHandler = platform::appkit::NSGetUncaughtExceptionHandler();
    // The crash-time write of the log buffer, called by the engine after it
    // has written its report; the engine keeps the pointer.
    static const BBCrashReporterCallbacks callbacks{0, nullptr, bc_save_log_buffer};
    engine->setCrashCallbacks(&callbacks);
    platform::ErrorPtr error;
    if (!engine->enableCrashReporter(&error)) {
        BCLogError(logTag(), "Could not enable crash reporter: %@",
                   error ? std::optional<std::string>(error->localizedDescription()) : std::nullopt);
    }
    const auto currentHandler = platform::appkit::NSGetUncaughtExceptionHandler();
    if (currentHandler && currentHandler != initialHandler) {
        exceptionHandler_ = currentHandler;
        BCLogDebug(logTag(), "Exception handler successfully initialized.");
    } else if (!enableUncaughtExceptionHandler && currentHandler) {
        exceptionHandler_ = currentHandler;
        BCLogDebug(logTag(),
                   "Exception handler successfully initialized but it has not been registered due to the "
                   "wrapper SDK.");
    } else {
        BCLogError(logTag(),
                   "Exception handler could not be set. Make sure there is no other exception handler set "
                   "up!");
    }
    BCCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(bc_cxx_exception_handler);
    BCApplicationForwarder::registerForwarding();
}

void BCCrashes::startMemoryPressureSource() {
    // A source left from an earlier enabling (the application started the
    // SDK again) is cancelled, so that one warning is one event.
    cancelMemoryPressureSource();
    auto source = platform::dispatch::MemoryPressureSource::create(
        platform::dispatch::Queue::main(),
        platform::dispatch::MemoryPressureSource::Warning | platform::dispatch::MemoryPressureSource::Critical);
    std::weak_ptr<BCServiceAbstract> weakSelf = weak_from_this();
    source->setEventHandler([weakSelf] {
        if (auto self = std::static_pointer_cast<BCCrashes>(weakSelf.lock())) self->didReceiveMemoryWarning();
    });
    source->resume();
    std::lock_guard<std::mutex> lock(stateMutex_);
    memoryPressureSource_ = std::move(source);
}

void BCCrashes::cancelMemoryPressureSource() {
    std::shared_ptr<platform::dispatch::MemoryPressureSource> source;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        source.swap(memoryPressureSource_);
    }
    if (source) source->cancel();
}

std::shared_ptr<platform::dispatch::MemoryPressureSource> BCCrashes::memoryPressureSource() const {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return memoryPressureSource_;
}

std::shared_ptr<BBCrashReporter> BCCrashes::bbCrashReporter() const {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return bbCrashReporter_;
}

std::shared_ptr<BCErrorReport> BCCrashes::getLastSessionCrashReport() const {
    std::shared_ptr<BCPendingCrashReports> pending;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        pending = pendingCrashReports_;
    }
    return pending ? pending->getLastSessionCrashReport() : nullptr;
}

void BCCrashes::clearContextHistoryAndKeepCurrentSession() {
    BCDeviceTracker::sharedInstance()->clearDevices();
    BCSessionContext::sharedInstance()->clearSessionHistoryAndKeepCurrentSession(true);
    BCUserIdContext::sharedInstance()->clearUserIdHistory();
}

void BCCrashes::didReceiveMemoryWarning() {
    BCLogDebug(logTag(), "The application received a low memory warning in the last session.");
    BCBeaconUserDefaults::shared()->setObject(true, kMemoryWarningKey);
}

void BCCrashes::processMemoryWarningInLastSession() {
    if (!instanceIsEnabled()) return;
    auto defaults = BCBeaconUserDefaults::shared();
    const platform::Value stored = defaults->objectForKey(kMemoryWarningKey);
    didReceiveMemoryWarningInLastSession_ = stored.boolValue().value_or(false);
    if (didReceiveMemoryWarningInLastSession_) {
        BCLogDebug(logTag(), "The application received a low memory warning in the last session.");
    }
    // Removed only when there is one: removing an absent key still rewrites
    // the settings file, at every launch.
    if (!stored.isNull()) defaults->removeObjectForKey(kMemoryWarningKey);
}
