#pragma once
// The crash reporting service: on start it joins the SDK's channel group,
// installs the crash engine once per process (with the uncaught C++
// exception handler and the application forwarder), watches memory pressure
// while enabled, and keeps the directories of its files. Disabling it
// removes its files; the engine and the handlers stay installed for the life
// of the process. The crash-time log buffer (BCCrashesLogBuffer) mirrors the
// logs the channels prepare; the service's pending reports
// (BCPendingCrashReports, one per service, working through the
// BCPendingCrashReportsDelegate the service implements) own the stored
// crash files, the reports waiting for an answer and the last session's
// report.
//
// Locks: the service's recursive lock (the base's) is held by tracking; the
// engine and the application's objects have a mutex of their own; the crash
// file lists are guarded by the pending reports' one mutex. None is held
// across a call into the application (a synchronous hop to the main queue,
// the confirmation handler, a delegate).
#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "BCChannelDelegate.h"
#include "BCCrashesDelegate.h"
#include "BCPendingCrashReportsDelegate.h"
#include "BCServiceAbstract.h"
#include "BCServiceClass.h"
#include "BCUserConfirmation.h"
#include "platform/appkit/Exception.h"
#include "platform/dispatch/Group.h"
#include "platform/dispatch/MemoryPressureSource.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/Value.h"

class BBCrashReporter;
class BCAbstractLog;
class BCEncrypter;
class BCErrorAttachmentLog;
class BCErrorReport;
class BCException;
class BCPendingCrashReports;

using BCUserConfirmationHandler = std::function<bool(const std::vector<std::shared_ptr<BCErrorReport>> &reports)>;

class BCCrashes : public BCServiceAbstract, public BCChannelDelegate, public BCPendingCrashReportsDelegate {
public:
    // Attachments larger than this many bytes are not sent.
    static constexpr size_t kMaxAttachmentSize = 7 * 1024 * 1024;

    BCCrashes();

    static std::shared_ptr<BCCrashes> sharedInstance();
    static void resetSharedInstance();
    // The class as the SDK entry point takes it in its services list.
    static const BCServiceClass *serviceClass();

    static std::string serviceName() { return "Crashes"; }
    static std::string logTag();
    static bool isEnabled();
    static void setEnabled(bool isEnabled);

    // Stored on the singleton (held weakly), also before the SDK starts.
    static void setDelegate(const std::shared_ptr<BCCrashesDelegate> &delegate);
    static std::shared_ptr<BCCrashesDelegate> delegate();
    static void setUserConfirmationHandler(BCUserConfirmationHandler handler);
    static BCUserConfirmationHandler userConfirmationHandler();
    static void notifyWithUserConfirmation(unsigned long userConfirmation);

    static bool hasCrashedInLastSession();
    static bool hasReceivedMemoryWarningInLastSession();
    static std::shared_ptr<BCErrorReport> lastSessionCrashReport();
    // Selects the BSD signal handlers; only before the first enabling.
    static void disableMachExceptionHandler();
    // An exception the application object reported: handed to the
    // uncaught-exception handler captured when the engine was enabled
    // (nothing while a debugger is attached).
    static void applicationDidReportException(const platform::appkit::Exception &exception);
    // Ends the process with a trap the engine records, once the service is
    // started.
    static void generateTestCrash();

    static void sendErrorAttachments(
        const std::optional<std::vector<std::shared_ptr<BCErrorAttachmentLog>>> &attachments,
        const std::string &incidentIdentifier);
    // Error id, attachment id, data and content type present and not empty.
    static bool validatePropertiesForAttachment(const BCErrorAttachmentLog &attachment);

    // --- The service. ---
    std::string className() const override { return "BCCrashes"; }
    std::string groupId() const override { return "Crashes"; }
    long initializationPriority() const override { return 999; }
    std::optional<BCChannelUnitConfiguration> channelUnitConfiguration() const override;

    void startWithChannelGroup(const std::shared_ptr<BCChannelGroupProtocol> &channelGroup,
                               const std::optional<std::string> &appSecret,
                               const std::optional<std::string> &transmissionTargetToken,
                               bool fromApplication) override;
    // Re-enqueues the buffer of a crash again (on a further unit), then the
    // base's re-configuration.
    void updateConfigurationWithAppSecret(const std::optional<std::string> &appSecret,
                                          const std::optional<std::string> &transmissionTargetToken) override;
    void applyEnabledState(bool isEnabled) override;

    void setEnableMachExceptionHandler(bool enabled) { enableMachExceptionHandler_ = enabled; }
    bool isMachExceptionHandlerEnabled() const { return enableMachExceptionHandler_; }
    void setAutomaticProcessingEnabled(bool enabled) { automaticProcessingEnabled_ = enabled; }
    bool isAutomaticProcessingEnabled() const override { return automaticProcessingEnabled_; }

    // Creates and enables the engine, once per process.
    void configureCrashReporterWithUncaughtExceptionHandlerEnabled(bool enableUncaughtExceptionHandler);
    // Keeps only the newest device, the current session and no user ids.
    void clearContextHistoryAndKeepCurrentSession() override;
    std::shared_ptr<BCAppleErrorLog> errorLogFromCrashReport(const BBCrashReport &report) const override;
    std::shared_ptr<BCErrorReport> errorReportFromCrashReport(
        const std::shared_ptr<BBCrashReport> &report) const override;
    std::shared_ptr<BCErrorReport> errorReportFromLog(const BCAppleErrorLog &log) const override;
    // Remembers, for the next launch, that memory ran low.
    void didReceiveMemoryWarning();
    // Reads and removes the flag of the previous launch.
    void processMemoryWarningInLastSession();

    // Tracks an error the application caught; the new error id, or nothing
    // when nothing was tracked.
    std::optional<std::string> trackModelException(
        const std::shared_ptr<BCException> &exception, const std::optional<platform::Dictionary> &properties,
        const std::optional<std::vector<std::shared_ptr<BCErrorAttachmentLog>>> &attachments);
    std::shared_ptr<BCErrorReport> buildHandledErrorReportWithErrorID(const std::string &errorId);
    void instanceSendErrorAttachments(
        const std::optional<std::vector<std::shared_ptr<BCErrorAttachmentLog>>> &attachments,
        const std::string &incidentIdentifier) override;

    bool didCrashInLastSession() const { return didCrashInLastSession_; }
    bool didReceiveMemoryWarningInLastSession() const { return didReceiveMemoryWarningInLastSession_; }
    std::shared_ptr<BCErrorReport> getLastSessionCrashReport() const;
    std::shared_ptr<BBCrashReporter> bbCrashReporter() const override;
    platform::appkit::UncaughtExceptionHandler exceptionHandler() const override { return exceptionHandler_; }
    // This service's pending crash reports (made on first use).
    std::shared_ptr<BCPendingCrashReports> pendingCrashReports();

    // --- BCPendingCrashReportsDelegate. ---
    bool pendingReportsServiceEnabled() const override { return instanceIsEnabled(); }
    bool pendingReportsServiceAvailable() const override { return isAvailable(); }
    std::shared_ptr<BCChannelUnitProtocol> crashesChannelUnit() const override { return channelUnit(); }
    bool shouldProcessErrorReport(const std::shared_ptr<BCErrorReport> &report) override;
    std::optional<Attachments> attachmentsWithCrashReport(const std::shared_ptr<BCErrorReport> &report) override;
    std::function<bool(const Reports &reports)> confirmationHandler() const override;
    std::shared_ptr<platform::dispatch::MemoryPressureSource> memoryPressureSource() const;
    std::shared_ptr<platform::dispatch::Semaphore> delayedProcessingSemaphore() const {
        return delayedProcessingSemaphore_;
    }
    // The "CrashesBuffer" unit of the last re-enqueueing, if any.
    std::shared_ptr<BCChannelUnitProtocol> bufferChannelUnit() const;
    const std::string &crashesPathComponent() const { return crashesPathComponent_; }
    const std::string &logBufferPathComponent() const { return logBufferPathComponent_; }
    const std::string &analyzerInProgressFilePathComponent() const { return analyzerInProgressFilePathComponent_; }
    const platform::Date &appStartTime() const { return appStartTime_; }

private:
    // Points the channel-delegate members at the log buffer and the pending
    // reports; once, when the shared instance is made.
    void installChannelCallbacks();
    void processLogBufferAfterCrash();
    // Calls the delegate on the main thread, later, with the log's error
    // report, when it is a crash log and the delegate responds.
    void relayToDelegate(
        const std::shared_ptr<BCAbstractLog> &log, const std::function<bool(const BCCrashesDelegate &)> &responds,
        std::function<void(const BCCrashesDelegate &, BCCrashes &, const std::shared_ptr<BCErrorReport> &)> call);
    void startMemoryPressureSource();
    void cancelMemoryPressureSource();

    std::atomic<bool> didCrashInLastSession_{false};
    std::atomic<bool> didReceiveMemoryWarningInLastSession_{false};
    std::atomic<bool> enableMachExceptionHandler_{true};
    std::atomic<bool> automaticProcessingEnabled_{true};
    BCChannelUnitConfiguration channelUnitConfiguration_;
    std::shared_ptr<platform::dispatch::Queue> bufferFileQueue_;
    std::shared_ptr<platform::dispatch::Group> bufferFileGroup_;
    std::shared_ptr<platform::dispatch::Semaphore> delayedProcessingSemaphore_;
    std::shared_ptr<BCEncrypter> targetTokenEncrypter_;
    std::string crashesPathComponent_;
    std::string logBufferPathComponent_;
    std::string analyzerInProgressFilePathComponent_;
    platform::Date appStartTime_;
    std::atomic<platform::appkit::UncaughtExceptionHandler> exceptionHandler_{nullptr};

    // The engine, the memory-pressure source and the application's objects.
    mutable std::mutex stateMutex_;
    std::shared_ptr<BBCrashReporter> bbCrashReporter_;
    std::shared_ptr<platform::dispatch::MemoryPressureSource> memoryPressureSource_;
    std::weak_ptr<BCCrashesDelegate> delegate_;
    BCUserConfirmationHandler userConfirmationHandler_;
    std::shared_ptr<BCChannelUnitProtocol> bufferChannelUnit_;
    std::shared_ptr<BCPendingCrashReports> pendingCrashReports_;
};
