#pragma once
// What the pending crash reports need from the crash service that owns them:
// its engine, its state, its unit, and the application's answers (delegate,
// confirmation handler). The service implements it; tests may stand in.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/appkit/Exception.h"

class BBCrashReport;
class BBCrashReporter;
class BCAppleErrorLog;
class BCChannelUnitProtocol;
class BCErrorAttachmentLog;
class BCErrorReport;

class BCPendingCrashReportsDelegate {
public:
    using Reports = std::vector<std::shared_ptr<BCErrorReport>>;
    using Attachments = std::vector<std::shared_ptr<BCErrorAttachmentLog>>;

    virtual ~BCPendingCrashReportsDelegate() = default;

    virtual std::shared_ptr<BBCrashReporter> bbCrashReporter() const = 0;
    // Enabled (the reports are processed, else discarded).
    virtual bool pendingReportsServiceEnabled() const = 0;
    // Started and enabled: the processing gate will open.
    virtual bool pendingReportsServiceAvailable() const = 0;
    virtual bool isAutomaticProcessingEnabled() const = 0;
    // The uncaught-exception handler installed with the engine, if any.
    virtual platform::appkit::UncaughtExceptionHandler exceptionHandler() const = 0;
    // The "Crashes" unit the crash logs go to; null before the start.
    virtual std::shared_ptr<BCChannelUnitProtocol> crashesChannelUnit() const = 0;
    // The application's delegate: whether to process a report (yes when it
    // does not answer), and its attachments (none when it does not answer).
    virtual bool shouldProcessErrorReport(const std::shared_ptr<BCErrorReport> &report) = 0;
    virtual std::optional<Attachments> attachmentsWithCrashReport(const std::shared_ptr<BCErrorReport> &report) = 0;
    // The application's confirmation handler; empty when none is set.
    virtual std::function<bool(const Reports &reports)> confirmationHandler() const = 0;
    virtual void instanceSendErrorAttachments(const std::optional<Attachments> &attachments,
                                              const std::string &incidentIdentifier) = 0;
    virtual void clearContextHistoryAndKeepCurrentSession() = 0;
    // The crash log of a report and the error report of a report or of a
    // log, formatted with what they need of this process (the device of the
    // crash's time, a wrapper exception saved for it, the loaded images, the
    // install id).
    virtual std::shared_ptr<BCAppleErrorLog> errorLogFromCrashReport(const BBCrashReport &report) const = 0;
    virtual std::shared_ptr<BCErrorReport> errorReportFromCrashReport(
        const std::shared_ptr<BBCrashReport> &report) const = 0;
    virtual std::shared_ptr<BCErrorReport> errorReportFromLog(const BCAppleErrorLog &log) const = 0;
};
