#include "BCCrashes.h"

#include <algorithm>

#include "BBCrashReporter.h"
#include "BCApplicationForwarder.h"
#include "BCBeacon.h"
#include "BCBeaconUserDefaults.h"
#include "BCChannelGroupProtocol.h"
#include "BCChannelUnitProtocol.h"
#include "BCCrashesCXXExceptionWrapperException.h"
#include "BCCrashesModelUtil.h"
#include "BCCrashesUncaughtCXXExceptionHandlerManager.h"
#include "BCCrashesUtil.h"
#include "BCDeviceTracker.h"
#include "BCEncrypter.h"
#include "BCErrorReport.h"
#include "BCLogger.h"
#include "BCSessionContext.h"
#include "BCUserIdContext.h"
#include "BCUtility.h"
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

bool hasSuffix(const std::string &text, const std::string &suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
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
    analyzerInProgressFilePathComponent_ = platform::format("%@/%@", BCCrashesUtil::crashesDir(), kAnalyzerFilename);
    delayedProcessingSemaphore_ = platform::dispatch::Semaphore::create(0);
    targetTokenEncrypter_ = std::make_shared<BCEncrypter>();
    bufferFileQueue_ = platform::dispatch::Queue::global(platform::dispatch::Priority::High);
    bufferFileGroup_ = platform::dispatch::Group::create();
}

std::shared_ptr<BCCrashes> BCCrashes::sharedInstance() {
    std::lock_guard<std::mutex> lock(sharedMutex());
    if (!sharedSlot()) sharedSlot() = std::make_shared<BCCrashes>();
    return sharedSlot();
}

void BCCrashes::resetSharedInstance() {
    std::shared_ptr<BCCrashes> previous;
    {
        std::lock_guard<std::mutex> lock(sharedMutex());
        previous.swap(sharedSlot());
    }
    if (previous) previous->cancelMemoryPressureSource();
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
    sharedInstance()->instanceNotifyWithUserConfirmation(userConfirmation);
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
        BCLogWarning(logTag(), "GenerateTestCrash was just called in an App Store environment. The call will be "
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
                                      const std::optional<std::string> &transmissionTargetToken,
                                      bool fromApplication) {
    BCServiceAbstract::startWithChannelGroup(channelGroup, appSecret, transmissionTargetToken, fromApplication);
    if (channelGroup) {
        channelGroup->addDelegate(std::static_pointer_cast<BCChannelDelegate>(
            std::static_pointer_cast<BCCrashes>(shared_from_this())));
    }
    processMemoryWarningInLastSession();
    BCLogVerbose(logTag(), "Started crash service.");
}

void BCCrashes::applyEnabledState(bool isEnabled) {
    BCServiceAbstract::applyEnabledState(isEnabled);
    if (isEnabled) {
        configureCrashReporterWithUncaughtExceptionHandlerEnabled(true);
        startMemoryPressureSource();
        auto engine = bbCrashReporter();
        if (!instanceIsEnabled() && engine) engine->purgePendingCrashReport();
        if (engine && engine->hasPendingCrashReport()) {
            didCrashInLastSession_ = true;
            BCLogDebug(logTag(), "The application crashed in the last session.");
        }
        auto files = persistedCrashReports();
        bool empty;
        {
            std::lock_guard<std::mutex> lock(listsMutex_);
            crashFiles_ = files;
            empty = crashFiles_.empty();
        }
        if (empty) {
            delayedProcessingSemaphore_->signal();
            clearContextHistoryAndKeepCurrentSession();
        }
        if (BCBeacon::isDebuggerAttached()) {
            BCLogInfo(logTag(), "Crashes service has been enabled but the service cannot detect crashes due to "
                                "running the application with a debugger attached.");
        } else {
            BCLogInfo(logTag(), "Crashes service has been enabled.");
        }
        return;
    }
    cancelMemoryPressureSource();
    BCLogDebug(logTag(), "Cleaning up all crash files.");
    BCWrapperExceptionManager::deleteAllWrapperExceptions();
    deleteAllFromCrashesDirectory();
    removeAnalyzerFile();
    if (auto engine = bbCrashReporter()) engine->purgePendingCrashReport();
    clearUnprocessedReports();
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
        BCLogDebug(logTag(), "Exception handler successfully initialized but it has not been registered due to the "
                             "wrapper SDK.");
    } else {
        BCLogError(logTag(), "Exception handler could not be set. Make sure there is no other exception handler set "
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
    std::lock_guard<std::mutex> lock(stateMutex_);
    return lastSessionCrashReport_;
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
    didReceiveMemoryWarningInLastSession_ = defaults->objectForKey(kMemoryWarningKey).boolValue().value_or(false);
    if (didReceiveMemoryWarningInLastSession_) {
        BCLogDebug(logTag(), "The application received a low memory warning in the last session.");
    }
    defaults->removeObjectForKey(kMemoryWarningKey);
}

std::vector<std::filesystem::path> BCCrashes::persistedCrashReports() {
    std::vector<std::filesystem::path> files;
    auto entries = BCUtility::contentsOfDirectory(crashesPathComponent_);
    if (!entries || entries->empty()) {
        BCLogError(logTag(), "No persisted crashes found.");
        return files;
    }
    for (const auto &entry : *entries) {
        if (!entry.isRegularFile || static_cast<int32_t>(entry.size) <= 0) continue;
        static const char *const kSkipped[] = {".DS_Store", ".analyzer", ".plist", ".data", ".meta", ".desc"};
        const bool marker = std::any_of(std::begin(kSkipped), std::end(kSkipped),
                                        [&](const char *suffix) { return hasSuffix(entry.name, suffix); });
        if (!marker) files.push_back(entry.url);
    }
    return files;
}

void BCCrashes::deleteAllFromCrashesDirectory() {
    std::lock_guard<std::mutex> lock(listsMutex_);
    BCUtility::deleteItemForPathComponent(crashesPathComponent_);
    crashFiles_.clear();
}

void BCCrashes::removeAnalyzerFile() { BCUtility::deleteItemForPathComponent(analyzerInProgressFilePathComponent_); }

void BCCrashes::clearUnprocessedReports() {
    std::lock_guard<std::mutex> lock(listsMutex_);
    if (unprocessedLogs_) unprocessedLogs_->clear();
    if (unprocessedReports_) unprocessedReports_->clear();
    if (unprocessedFilePaths_) unprocessedFilePaths_->clear();
}

std::vector<std::filesystem::path> BCCrashes::crashFiles() const {
    std::lock_guard<std::mutex> lock(listsMutex_);
    return crashFiles_;
}

void BCCrashes::instanceNotifyWithUserConfirmation(unsigned long) {
    bool processed;
    {
        std::lock_guard<std::mutex> lock(listsMutex_);
        processed = unprocessedReports_.has_value();
    }
    if (!userConfirmationHandler() && !processed) {
        BCLogError(logTag(), "Incorrect usage of notifyWithUserConfirmation: it should only be called from "
                             "userConfirmationHandler. For more information refer to the documentation.");
    }
}
